#include "app/ui/list/ZRVAnimator.h"

#include <gtk/gtk.h>

#include <algorithm>
#include <cmath>

#include "platform/dispatch/dispatch.h"

namespace {

// One coordinate of the cubic Bézier curve from (0, 0) to (1, 1) with control values a and b.
double bezier(double s, double a, double b) {
  const double r = 1 - s;
  return 3 * r * r * s * a + 3 * r * s * s * b + s * s * s;
}

}  // namespace

double ZRVAnimator::easeOut(double t) {
  if (t <= 0) return 0;
  if (t >= 1) return 1;
  // x(s) = t is solved for s by bisection (x is monotonic for these control points), then y(s).
  constexpr double kX1 = 0, kX2 = 0.58, kY1 = 0, kY2 = 1;
  double lo = 0, hi = 1, s = t;
  for (int i = 0; i < 40; ++i) {
    s = (lo + hi) / 2;
    const double x = bezier(s, kX1, kX2);
    if (std::abs(x - t) < 1e-9) break;
    (x < t ? lo : hi) = s;
  }
  return bezier(s, kY1, kY2);
}

bool ZRVAnimator::animationsEnabled(GtkWidget* widget) {
  GtkSettings* settings = widget ? gtk_widget_get_settings(widget) : gtk_settings_get_default();
  if (!settings) return false;
  gboolean enabled = FALSE;
  g_object_get(settings, "gtk-enable-animations", &enabled, nullptr);
  return enabled;
}

ZRVAnimationPtr ZRVAnimator::animate(GtkWidget* widget, double duration, Step step, Completion completion) {
  ZRVAnimationPtr animation(new ZRVAnimation());
  animation->step_ = std::move(step);
  animation->completion_ = std::move(completion);
  animation->duration_ = duration;
  animation->running_ = true;
  if (duration <= 0 || !widget || !gtk_widget_get_mapped(widget) || !animationsEnabled(widget)) {
    // Zero duration: the end state now, the completion from the main queue.
    if (animation->step_) animation->step_(1.0);
    animation->step_ = nullptr;
    platform::DispatchQueue::main()->async([animation] { animation->end(true, false); });
    return animation;
  }
  animation->widget_ = GTK_WIDGET(g_object_ref(widget));
  auto* holder = new ZRVAnimationPtr(animation);  // the running animation keeps itself alive
  animation->tickId_ =
      gtk_widget_add_tick_callback(widget, reinterpret_cast<GtkTickCallback>(&ZRVAnimation::tick), holder,
                                   [](gpointer data) { delete static_cast<ZRVAnimationPtr*>(data); });
  std::weak_ptr<ZRVAnimation> weak = animation;
  auto* weakHolder = new std::weak_ptr<ZRVAnimation>(weak);
  animation->unmapHandler_ = g_signal_connect_data(
      widget, "unmap", G_CALLBACK(+[](GtkWidget*, gpointer data) {
        if (auto a = static_cast<std::weak_ptr<ZRVAnimation>*>(data)->lock()) a->finish();
      }),
      weakHolder, [](gpointer data, GClosure*) { delete static_cast<std::weak_ptr<ZRVAnimation>*>(data); },
      GConnectFlags(0));
  return animation;
}

ZRVAnimation::~ZRVAnimation() {
  if (widget_) g_object_unref(widget_);
}

int ZRVAnimation::tick(GtkWidget*, void* clock, void* data) {
  ZRVAnimationPtr self = *static_cast<ZRVAnimationPtr*>(data);
  if (!self->running_) {
    self->tickId_ = 0;
    return G_SOURCE_REMOVE;
  }
  const long long now = gdk_frame_clock_get_frame_time(static_cast<GdkFrameClock*>(clock));
  if (self->start_ < 0) self->start_ = now;
  const double t = static_cast<double>(now - self->start_) / 1e6 / self->duration_;
  if (t >= 1) {
    self->tickId_ = 0;  // removed by the return value below
    self->end(true, true);
    return G_SOURCE_REMOVE;
  }
  if (self->step_) self->step_(ZRVAnimator::easeOut(t));
  return G_SOURCE_CONTINUE;
}

void ZRVAnimation::finish() {
  if (running_) end(true, true);
}

void ZRVAnimation::cancel() {
  if (running_) end(false, false);
}

void ZRVAnimation::end(bool finished, bool stepToEnd) {
  if (!running_) return;
  running_ = false;
  ZRVAnimationPtr keep = shared_from_this();  // the tick holder may go below
  if (stepToEnd && step_) step_(1.0);
  step_ = nullptr;
  if (widget_) {
    if (unmapHandler_) g_signal_handler_disconnect(widget_, unmapHandler_);
    unmapHandler_ = 0;
    if (tickId_) gtk_widget_remove_tick_callback(widget_, tickId_);
    tickId_ = 0;
  }
  if (auto completion = std::move(completion_)) {
    completion_ = nullptr;
    completion(finished);
  }
}
