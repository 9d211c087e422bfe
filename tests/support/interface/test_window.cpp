#include "support/interface/test_window.h"

#include <gtest/gtest.h>

#include "platform/dispatch/run_loop.h"

namespace zorvel::test {

bool initGtk() {
  static const bool ready = [] {
    if (!gtk_init_check()) return false;
    // Still pictures: no animations, no blinking cursor, one pinned font.
    g_object_set(gtk_settings_get_default(), "gtk-enable-animations", FALSE, "gtk-cursor-blink", FALSE, "gtk-font-name",
                 "DejaVu Sans 10", nullptr);
    return true;
  }();
  return ready;
}

bool nextFrame(GtkWidget* widget) {
  GdkFrameClock* clock = gtk_widget_get_frame_clock(widget);
  if (!clock) return false;
  int painted = 0;
  const gulong handler =
      g_signal_connect_swapped(clock, "after-paint", G_CALLBACK(+[](int* count) { ++*count; }), &painted);
  gtk_widget_queue_resize(widget);
  const bool done = platform::runMainLoopUntil([&] { return painted > 0; }, 10);
  g_signal_handler_disconnect(clock, handler);
  return done;
}

GtkWidget* showInWindow(GtkWidget* child, int width, int height) {
  if (!initGtk()) {
    ADD_FAILURE() << "GTK cannot open a display";
    return nullptr;
  }
  GtkWidget* window = gtk_window_new();
  gtk_window_set_decorated(GTK_WINDOW(window), FALSE);
  gtk_window_set_default_size(GTK_WINDOW(window), width, height);
  gtk_window_set_child(GTK_WINDOW(window), child);
  gtk_window_present(GTK_WINDOW(window));
  EXPECT_TRUE(platform::runMainLoopUntil([&] { return gtk_widget_get_mapped(window); }, 10));
  EXPECT_TRUE(nextFrame(window));
  return window;
}

TestWindow::TestWindow(int width, int height) {
  if (!initGtk()) {
    ADD_FAILURE() << "GTK cannot open a display";
    return;
  }
  window_ = gtk_window_new();
  gtk_window_set_decorated(GTK_WINDOW(window_), FALSE);
  gtk_window_set_default_size(GTK_WINDOW(window_), width, height);
  root_ = platform::View::make();
  gtk_window_set_child(GTK_WINDOW(window_), root_->widget());
  gtk_window_present(GTK_WINDOW(window_));
  clock_ = GDK_FRAME_CLOCK(g_object_ref(gtk_widget_get_frame_clock(window_)));
  handler_ =
      g_signal_connect_swapped(clock_, "after-paint", G_CALLBACK(+[](TestWindow* self) { ++self->painted_; }), this);
  EXPECT_TRUE(platform::runMainLoopUntil([this] { return gtk_widget_get_mapped(window_) && painted_ > 0; }, 10));
}

TestWindow::~TestWindow() {
  if (!window_) return;
  g_signal_handler_disconnect(clock_, handler_);
  g_object_unref(clock_);
  root_.reset();
  gtk_window_destroy(GTK_WINDOW(window_));
}

platform::ViewPtr TestWindow::addView(const platform::ViewPtr& parent) {
  platform::ViewPtr view = platform::View::make();
  (parent ? parent : root_)->addSubview(view);
  return view;
}

bool TestWindow::layout() {
  const int before = painted_;
  gtk_widget_queue_resize(root_->widget());
  return platform::runMainLoopUntil([&] { return painted_ > before; }, 10);
}

platform::Rect TestWindow::frame(const platform::ViewPtr& view) const {
  graphene_rect_t bounds;
  if (!gtk_widget_compute_bounds(view->widget(), root_->widget(), &bounds)) return {};
  return {{bounds.origin.x, bounds.origin.y}, {bounds.size.width, bounds.size.height}};
}

}  // namespace zorvel::test
