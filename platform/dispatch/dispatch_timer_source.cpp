// Timer sources: a schedule on the timer thread whose firings queue the event handler on the
// source's queue, merged while one is still queued or the source is suspended.

#include <algorithm>
#include <mutex>

#include "platform/dispatch/dispatch_internal.h"

namespace platform {

using namespace detail;

namespace {

class TimerImpl final : public DispatchTimerSource {
 public:
  explicit TimerImpl(std::shared_ptr<QueueImpl> queue) : queue(std::move(queue)) {}

  mutable std::mutex mutex;
  std::shared_ptr<QueueImpl> queue;
  DispatchBlock handler;
  DispatchBlock cancelHandler;
  int suspendCount = 1;
  bool cancelled = false;
  bool armed = false;  // a schedule is set and has firings left
  bool wall = false;
  Clock::time_point next;
  WallClock::time_point nextWall;
  Clock::duration interval{0};   // zero: fires once
  std::uint64_t generation = 0;  // deadlines of older generations are ignored
  bool handlerQueued = false;

  std::shared_ptr<TimerImpl> self() { return std::static_pointer_cast<TimerImpl>(shared_from_this()); }

  void setSchedule(bool isWall, Clock::time_point start, WallClock::time_point wallStart, double intervalSeconds) {
    std::lock_guard lock(mutex);
    if (cancelled) return;
    armed = true;
    wall = isWall;
    next = start;
    nextWall = wallStart;
    if (intervalSeconds > 0 && intervalSeconds <= kFarAwaySeconds)
      interval = std::max<Clock::duration>(
          std::chrono::microseconds(100),
          std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(intervalSeconds)));
    else
      interval = Clock::duration::zero();
    ++generation;
    if (suspendCount == 0) armLocked();
  }

  void armLocked() {
    std::weak_ptr<TimerImpl> weak = self();
    std::uint64_t gen = generation;
    auto fire = [weak, gen] {
      if (auto source = weak.lock()) source->onDeadline(gen);
    };
    if (wall)
      timerAtWall(nextWall, std::move(fire));
    else
      timerAt(next, std::move(fire));
  }

  bool dueLocked() const { return wall ? nextWall <= WallClock::now() : next <= Clock::now(); }

  // Moves the schedule past now; false when a one-shot timer has nothing left.
  bool advanceLocked() {
    if (interval == Clock::duration::zero()) {
      armed = false;
      return false;
    }
    if (wall) {
      auto now = WallClock::now();
      auto step = std::chrono::duration_cast<WallClock::duration>(interval);
      if (step <= WallClock::duration::zero()) step = WallClock::duration(1);
      nextWall += step;
      if (nextWall <= now) nextWall += step * ((now - nextWall) / step + 1);
    } else {
      auto now = Clock::now();
      next += interval;
      if (next <= now) next += interval * ((now - next) / interval + 1);
    }
    return true;
  }

  void fireLocked() {
    if (handlerQueued) return;  // merged with the run already queued
    handlerQueued = true;
    queue->submit(Item{[source = self()] { source->runHandler(); }});
  }

  void onDeadline(std::uint64_t gen) {
    std::lock_guard lock(mutex);
    if (gen != generation || cancelled || !armed || suspendCount > 0) return;
    fireLocked();
    if (advanceLocked()) armLocked();
  }

  void runHandler() {
    DispatchBlock block;
    {
      std::lock_guard lock(mutex);
      handlerQueued = false;
      if (cancelled) return;
      block = handler;
    }
    if (block) block();
  }

  void submitCancelLocked() {
    DispatchBlock block = std::move(cancelHandler);
    cancelHandler = nullptr;
    handler = nullptr;  // handlers often hold the source; let go of them
    if (block) queue->submit(Item{std::move(block)});
  }
};

TimerImpl* impl(DispatchTimerSource* source) { return static_cast<TimerImpl*>(source); }

}  // namespace

std::shared_ptr<DispatchTimerSource> DispatchTimerSource::create(DispatchQueuePtr queue) {
  if (!queue) queue = DispatchQueue::global();
  return std::make_shared<TimerImpl>(std::static_pointer_cast<QueueImpl>(std::move(queue)));
}

void DispatchTimerSource::setTimer(std::uint64_t startMonotonicNanoseconds, double intervalSeconds, double) {
  Clock::time_point start{std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(
      std::min<std::uint64_t>(startMonotonicNanoseconds, static_cast<std::uint64_t>(INT64_MAX / 2))))};
  impl(this)->setSchedule(false, start, {}, intervalSeconds);
}

void DispatchTimerSource::setTimerAfter(double delaySeconds, double intervalSeconds, double) {
  impl(this)->setSchedule(false, deadlineAfter(delaySeconds), {}, intervalSeconds);
}

void DispatchTimerSource::setTimerWallClock(Date start, double intervalSeconds, double) {
  impl(this)->setSchedule(true, {}, wallTimeOf(start), intervalSeconds);
}

void DispatchTimerSource::setEventHandler(DispatchBlock handler) {
  auto* self = impl(this);
  std::lock_guard lock(self->mutex);
  if (!self->cancelled) self->handler = std::move(handler);
}

void DispatchTimerSource::setCancelHandler(DispatchBlock handler) {
  auto* self = impl(this);
  std::lock_guard lock(self->mutex);
  if (!self->cancelled) self->cancelHandler = std::move(handler);
}

void DispatchTimerSource::suspend() {
  auto* self = impl(this);
  std::lock_guard lock(self->mutex);
  ++self->suspendCount;
  ++self->generation;
}

void DispatchTimerSource::resume() {
  auto* self = impl(this);
  std::lock_guard lock(self->mutex);
  if (self->suspendCount == 0) dispatchFatal("timer source resumed more often than suspended");
  if (--self->suspendCount > 0) return;
  if (self->cancelled) {
    self->submitCancelLocked();
    return;
  }
  if (!self->armed) return;
  ++self->generation;
  if (self->dueLocked()) {
    // Firings missed while suspended come as one run now.
    self->fireLocked();
    if (!self->advanceLocked()) return;
  }
  self->armLocked();
}

void DispatchTimerSource::cancel() {
  auto* self = impl(this);
  std::lock_guard lock(self->mutex);
  if (self->cancelled) return;
  self->cancelled = true;
  self->armed = false;
  ++self->generation;
  if (self->suspendCount == 0) self->submitCancelLocked();
}

bool DispatchTimerSource::isCancelled() const {
  auto* self = static_cast<const TimerImpl*>(this);
  std::lock_guard lock(self->mutex);
  return self->cancelled;
}

}  // namespace platform
