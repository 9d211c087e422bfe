#pragma once

// ZRVResizablePopover: the panel, an undecorated window kept out of the taskbar, whose height the
// user drags from its resize corner and which remembers its content size in the user defaults
// under "MainWindowSize" (a keyed archive whose root is a ZRVResizablePopoverContentSize).
//
// Limits: the height stays between minHeight() (235) and maxHeight() (the visible height of the
// main screen, its work area, minus 30; -30 without a screen); where the screen is too short for
// the minimum (or missing), the minimum wins. Restoring a saved size clamps its
// height into those limits and, when it had to be clamped, stores the clamped size at once; a
// missing or unreadable entry, or a height not above 0, leaves the panel at its content's size.
// Dragging clamps the same way; the end of a drag stores the size.
//
// Placement: next to the point where the user clicked the status item (see frameForPoint), within
// the work area of the display's first monitor. There is no arrow.
//
// Threads: main thread only.

#include <gtk/gtk.h>

#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "platform/interface/view.h"
#include "platform/runtime/geometry.h"
#include "platform/runtime/object.h"
#include "platform/services/user_defaults.h"

// What the panel's resizing needs from the panel (the main view controller drives it).
class ZRVResizingDelegate {
 public:
  virtual ~ZRVResizingDelegate() = default;
  virtual double minHeight() = 0;
  virtual double maxHeight() = 0;
  virtual void didStartResizing() = 0;
  virtual void didChangedContentSize(platform::Size size) = 0;
  virtual void didEndResizing() = 0;
};

// The archived form of the panel's content size.
class ZRVResizablePopoverContentSize : public platform::Object {
  ZORVEL_CLASS(ZRVResizablePopoverContentSize, platform::Object)

 public:
  ZRVResizablePopoverContentSize() = default;
  explicit ZRVResizablePopoverContentSize(platform::Size size) : size_(size) {}
  platform::Size size() const { return size_; }

  bool supportsCoding() const override { return true; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;
  bool initWithCoder(platform::KeyedUnarchiver& coder) override;

 private:
  platform::Size size_;
};

class ZRVResizablePopover;
using ZRVResizablePopoverPtr = std::shared_ptr<ZRVResizablePopover>;

class ZRVResizablePopover : public platform::Object, public ZRVResizingDelegate {
  ZORVEL_CLASS(ZRVResizablePopover, platform::Object)

 public:
  static constexpr double kMinHeight = 235;
  static constexpr double kScreenMargin = 30;
  static constexpr std::string_view kContentSizeKey = "MainWindowSize";
  // The height of the main screen's visible frame (nullopt: no screen).
  using VisibleHeight = std::function<std::optional<double>()>;

  // A new panel window (not shown). Null defaults: the standard user defaults; a null visible
  // height: the work area of the display's first monitor.
  static ZRVResizablePopoverPtr make(platform::UserDefaultsPtr defaults = nullptr,
                                     VisibleHeight visibleHeight = nullptr);
  ~ZRVResizablePopover() override;

  GtkWidget* window() const { return window_->widget(); }
  void setContentView(const platform::ViewPtr& content);

  // The size the window is asked to have (its default size), else its allocated size.
  platform::Size contentSize() const;
  void setContentSize(platform::Size size);
  bool animates() const { return animates_; }
  void setAnimates(bool animates) { animates_ = animates; }

  // The stored size; 0 x 0 when missing or unreadable.
  platform::Size archivedContentSize() const;
  void loadContentSizeFromUserDefaults();
  // Stores the size and writes the defaults at once. False when they cannot be written.
  [[nodiscard]] bool saveContentSize(platform::Size size);

  // Where the panel of `size` goes for a point of the screen (the status item's click): centred on
  // the point's x, just below a point in the upper half of the work area or just above one in the
  // lower half, then moved inside the work area.
  static platform::Rect frameForPoint(platform::Point point, platform::Size size, platform::Rect workArea);
  // Shows the panel placed for the point (none, or (0, 0): the pointer's position). On X11 the
  // window is moved there before its first frame; elsewhere the compositor places it.
  void showAtPoint(std::optional<platform::Point> point);
  // Where showAtPoint() put the window (nullopt before it placed one).
  std::optional<platform::Rect> placedFrame() const { return placedFrame_; }

  // The height within the limits; the minimum wins where the screen is shorter than it.
  double clampedHeight(double height);

  // Lets the user resize the panel by dragging `corner` (up-down resize cursor over it).
  void installResizeCorner(GtkWidget* corner);

  // ZRVResizingDelegate
  double minHeight() override { return kMinHeight; }
  double maxHeight() override;
  void didStartResizing() override;
  void didChangedContentSize(platform::Size size) override;
  void didEndResizing() override;

 private:
  ZRVResizablePopover(platform::UserDefaultsPtr defaults, VisibleHeight visibleHeight);
  void moveToPlacedFrame();

  platform::ViewPtr window_;
  platform::UserDefaultsPtr defaults_;
  VisibleHeight visibleHeight_;
  bool animates_ = true;
  // While dragging: the flag as it was, the height and the pointer's window y at the start.
  bool savedAnimates_ = true;
  double dragStartHeight_ = 0;
  double dragStartY_ = 0;
  std::optional<platform::Rect> placedFrame_;
  unsigned long mapHandler_ = 0;
};
