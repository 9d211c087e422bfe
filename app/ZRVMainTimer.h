#pragma once

// ZRVMainTimer: the one-second clock of the whole interface. start() sends the current date
// (ZRVClock::now()) into the subject `tick` at once and then once a second; the list items redraw
// their countdowns from it and the main view controller completes due events on it.
//
// By default the ticks come from a repeating timer on the main run loop, so they are delivered on
// the main thread while it runs its loop; call start() and stop() on the main thread. A timer made
// with a scheduler ticks on that scheduler instead (tests pass a virtual-time scheduler).
//
// Lifetime: a running timer keeps itself alive until stop(). When the object finally goes away,
// subscribers of `tick` receive completion and "Timer deallocated" is written to the console log.
//
// Threads: start, stop and the ticks belong to the main thread (or to the given scheduler);
// `tick` may be subscribed from any thread.

#include <atomic>
#include <memory>

#include "platform/dispatch/run_loop.h"
#include "platform/runtime/object.h"
#include "platform/system/locks.h"
#include "reactive/RFDisposable.h"
#include "reactive/RFScheduler.h"
#include "reactive/RFSubject.h"

class ZRVMainTimer : public platform::Object {
  ZORVEL_CLASS(ZRVMainTimer, platform::Object)

 public:
  static constexpr double kTickInterval = 1.0;

  // Ticks on the main run loop.
  ZRVMainTimer();
  // Ticks on the scheduler (nullptr: the main run loop).
  explicit ZRVMainTimer(RFSchedulerPtr scheduler);
  ~ZRVMainTimer() override;

  // Carries one date per tick.
  const RFSubjectPtr& tick() const { return tick_; }

  // Starts ticking: one tick now, then one every second. A running timer is stopped first, so
  // there is never more than one schedule.
  void start();
  // Stops ticking; nothing when stopped.
  void stop();
  bool isRunning() const;
  // Sends the current date on `tick`.
  void timerTick();

 private:
  RFSchedulerPtr scheduler_;
  RFSubjectPtr tick_;
  // The running schedule's reference to this object.
  using Holder = std::atomic<std::shared_ptr<ZRVMainTimer>>;

  mutable platform::Mutex mutex_;
  std::shared_ptr<Holder> holder_ ZORVEL_GUARDED_BY(mutex_);
  std::shared_ptr<platform::Timer> timer_ ZORVEL_GUARDED_BY(mutex_);
  RFDisposablePtr scheduled_ ZORVEL_GUARDED_BY(mutex_);
};
