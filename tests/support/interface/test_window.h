#pragma once

// Interface tests: real GTK widgets in a real window on the headless X server that
// run_with_display.sh starts for each test program.

#include <gtk/gtk.h>

#include <ostream>

#include "platform/interface/view.h"
#include "platform/runtime/geometry.h"

namespace platform {
inline void PrintTo(const Rect& r, std::ostream* os) {
  *os << "{{" << r.origin.x << ", " << r.origin.y << "}, {" << r.size.width << ", " << r.size.height << "}}";
}
}  // namespace platform

namespace zorvel::test {

// Initialises GTK on the calling (main) thread once, for still pictures: animations and the
// cursor's blinking off, "DejaVu Sans 10" as the font. False when there is no display; tests
// then fail (ZORVEL_ASSERT_DISPLAY), never skip.
bool initGtk();

#define ZORVEL_ASSERT_DISPLAY() \
  ASSERT_TRUE(::zorvel::test::initGtk()) << "no display: interface tests run under tests/support/run_with_display.sh"

// Runs the main loop until the widget's window has laid out and painted once more (the widget
// must be in a shown window). False on time-out.
bool nextFrame(GtkWidget* widget);

// An undecorated, shown window of the given size holding `child`, for widgets that are not views.
// The caller destroys it (gtk_window_destroy). Waits until it is mapped and painted.
GtkWidget* showInWindow(GtkWidget* child, int width, int height);

// An undecorated window of the given size whose content is a plain view (root()), shown.
class TestWindow {
 public:
  explicit TestWindow(int width = 400, int height = 300);
  ~TestWindow();
  TestWindow(const TestWindow&) = delete;
  TestWindow& operator=(const TestWindow&) = delete;

  GtkWidget* window() const { return window_; }
  const platform::ViewPtr& root() const { return root_; }
  // A new plain view, child of `parent` (the root when empty).
  platform::ViewPtr addView(const platform::ViewPtr& parent = nullptr);
  // Runs the main loop until GTK has laid the window out (and painted it) after the changes made
  // so far. False on time-out.
  bool layout();
  // The view's frame in the root's coordinates after the last layout.
  platform::Rect frame(const platform::ViewPtr& view) const;
  // Frames painted so far.
  int paintedFrames() const { return painted_; }

 private:
  GtkWidget* window_ = nullptr;
  platform::ViewPtr root_;
  GdkFrameClock* clock_ = nullptr;
  gulong handler_ = 0;
  int painted_ = 0;
};

}  // namespace zorvel::test
