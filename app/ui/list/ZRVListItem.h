#pragma once

// ZRVListItem: one thing the list container shows, a row or a section header: an object that owns
// a root widget. The container places the widget, hands it to a reuse pool under the item's
// identifier when its row leaves the screen or the list, and gives it out again for a row of the
// same identifier; subclasses then bind it to their new content.
//
// Threads: main thread only, as its widget.

#include <memory>
#include <string>

#include "platform/interface/view.h"
#include "platform/runtime/object.h"

class ZRVListItem;
using ZRVListItemPtr = std::shared_ptr<ZRVListItem>;

class ZRVListItem : public platform::Object {
  ZORVEL_CLASS(ZRVListItem, platform::Object)

 public:
  ZRVListItem() = default;
  ~ZRVListItem() override;

  // The item's root view; nullptr until a subclass has set one.
  const platform::ViewPtr& view() const { return view_; }
  // The identifier the item was registered under with its container ("" before it was made by one).
  const std::string& reuseIdentifier() const { return reuseIdentifier_; }

  // Called when the item is taken from the reuse pool for another row, before it is bound again.
  virtual void prepareForReuse() {}

 protected:
  // Sets the root view (the container parents its widget).
  void setView(platform::ViewPtr view) { view_ = std::move(view); }

 private:
  friend class ZRVListView;
  platform::ViewPtr view_;
  std::string reuseIdentifier_;
};
