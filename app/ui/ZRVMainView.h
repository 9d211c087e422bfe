#pragma once

// ZRVMainView: the panel's content view. Each time it is placed in a window it lays a
// ZRVMainViewBackground under all of its other children, so the whole panel is painted in the main
// background colour; clicks pass through the background to the content. ZRVMainViewBackground: the
// view that paints that colour over its bounds and is never hit itself.
//
// Threads: main thread only.

#include <gtk/gtk.h>

#include <memory>

#include "platform/interface/view.h"
#include "platform/runtime/object.h"

class ZRVMainView;
using ZRVMainViewPtr = std::shared_ptr<ZRVMainView>;

class ZRVMainViewBackground : public platform::Object {
  ZORVEL_CLASS(ZRVMainViewBackground, platform::Object)

 public:
  static std::shared_ptr<ZRVMainViewBackground> make();
  const platform::ViewPtr& view() const { return view_; }

 private:
  ZRVMainViewBackground();
  platform::ViewPtr view_;
};

class ZRVMainView : public platform::Object {
  ZORVEL_CLASS(ZRVMainView, platform::Object)

 public:
  static ZRVMainViewPtr make();
  ~ZRVMainView() override;

  const platform::ViewPtr& view() const { return view_; }
  // The panel's content, laid over the background and filling the view.
  void setContent(const platform::ViewPtr& content);
  // The background laid in while the view is in a window (nullptr otherwise).
  const std::shared_ptr<ZRVMainViewBackground>& background() const { return background_; }

  // Called when the view is placed in a window or taken out of one.
  void viewDidMoveToWindow();

 private:
  ZRVMainView();
  platform::ViewPtr view_;
  platform::ViewPtr content_;
  std::shared_ptr<ZRVMainViewBackground> background_;
  unsigned long rootHandler_ = 0;
};
