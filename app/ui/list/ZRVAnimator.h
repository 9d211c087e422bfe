#pragma once

// ZRVAnimator: short animations driven by a widget's frame clock. An animation calls its step with
// the eased progress (0 to 1) once per frame for its duration, then once with 1, then its
// completion. The timing curve is the interface's ease-out, cubic-bezier(0, 0, 0.58, 1).
//
// An animation runs at zero duration (one step with 1, then the completion) when its duration is
// not positive, when GTK's "gtk-enable-animations" setting is off (tests turn it off), or when the
// widget is not mapped (an unmapped widget gets no frames). A widget unmapped while an animation
// runs finishes it at once. The completion never runs inside animate(): it is queued on the main
// queue for a zero-duration animation, so a caller may start another animation from it.
//
// Failure: none; an animation always ends with its completion, unless it is cancelled.
// Threads: main thread only (GTK's frame clock and the main queue).

#include <functional>
#include <memory>

typedef struct _GtkWidget GtkWidget;

class ZRVAnimation;
using ZRVAnimationPtr = std::shared_ptr<ZRVAnimation>;

class ZRVAnimator {
 public:
  using Step = std::function<void(double progress)>;
  // finished: false when the animation was cancelled before its end.
  using Completion = std::function<void(bool finished)>;

  // The interface's ease-out curve, cubic-bezier(0, 0, 0.58, 1), at time t in [0, 1].
  static double easeOut(double t);
  // Whether animations are on for the widget's display ("gtk-enable-animations").
  static bool animationsEnabled(GtkWidget* widget);
  // Animates over `duration` seconds on the widget's frame clock (see above).
  static ZRVAnimationPtr animate(GtkWidget* widget, double duration, Step step, Completion completion);
};

// A running animation. Cancelling it stops the steps and runs the completion with false.
class ZRVAnimation : public std::enable_shared_from_this<ZRVAnimation> {
 public:
  ~ZRVAnimation();
  ZRVAnimation(const ZRVAnimation&) = delete;
  ZRVAnimation& operator=(const ZRVAnimation&) = delete;

  bool isRunning() const { return running_; }
  // Jumps to the end: one step with 1, then the completion with true.
  void finish();
  // Stops where it is; the completion runs with false.
  void cancel();

 private:
  friend class ZRVAnimator;
  ZRVAnimation() = default;
  void end(bool finished, bool stepToEnd);
  static int tick(GtkWidget* widget, void* clock, void* data);

  GtkWidget* widget_ = nullptr;  // a reference is held while running
  double duration_ = 0;
  long long start_ = -1;  // frame time of the first frame, microseconds
  unsigned tickId_ = 0;
  unsigned long unmapHandler_ = 0;
  bool running_ = false;
  ZRVAnimator::Step step_;
  ZRVAnimator::Completion completion_;
};
