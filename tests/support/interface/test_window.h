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

// Initialises GTK on the calling (main) thread once; false when there is no display.
bool initGtk();

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
