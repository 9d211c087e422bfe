#pragma once

// ZRVMainEditCollectionViewItem: the list item of an event being added or edited. Only its shell is
// here: its row height, its layout file and the event's name; the editor's controls come with the
// event editor. It is never dimmed. Row height 236.
//
// Threads: main thread only.

#include <optional>

#include "app/ui/ZRVMainCollectionViewItem.h"

class ZRVMainEditCollectionViewItem : public ZRVMainCollectionViewItem {
  ZORVEL_CLASS(ZRVMainEditCollectionViewItem, ZRVMainCollectionViewItem)

 public:
  static std::optional<double> height() { return 236; }

  void updateWithEvent(const std::shared_ptr<ZRVEvent>& event, const std::shared_ptr<ZRVMainTimer>& timer) override;

 private:
  ZRVMainEditCollectionViewItem() : ZRVMainCollectionViewItem(ZRVMainEditItemIdentifier, false) {}
};
