#include "support/interface/test_window.h"

#include <gtest/gtest.h>

#include "platform/dispatch/run_loop.h"

namespace zorvel::test {

bool initGtk() {
  static const bool ready = gtk_init_check();
  return ready;
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
