#include "app/ZRVMainTimer.h"

#include "app/ZRVClock.h"
#include "platform/system/console.h"
#include "platform/system/locks.h"

ZRVMainTimer::ZRVMainTimer() : ZRVMainTimer(nullptr) {}

ZRVMainTimer::ZRVMainTimer(RFSchedulerPtr scheduler) : scheduler_(std::move(scheduler)), tick_(RFSubject::subject()) {}

ZRVMainTimer::~ZRVMainTimer() {
  tick_->sendCompleted();
  stop();
  platform::consoleLog("Timer deallocated");
}

void ZRVMainTimer::start() {
  stop();
  // The schedule holds the timer object strongly, so it ticks until stop() whether or not anyone
  // else keeps it; stop() empties the holder, so a schedule that lingers (a scheduler that lets go
  // of cancelled work late) no longer keeps it.
  auto holder = std::make_shared<Holder>(std::static_pointer_cast<ZRVMainTimer>(shared_from_this()));
  auto fire = [holder] {
    if (std::shared_ptr<ZRVMainTimer> timer = holder->load()) timer->timerTick();
  };
  std::shared_ptr<platform::Timer> timer;
  RFDisposablePtr scheduled;
  if (scheduler_) {
    scheduled = scheduler_->afterRepeatingEvery(platform::Date::now().addingTimeInterval(kTickInterval), kTickInterval,
                                                0, fire);
  } else {
    timer = platform::Timer::scheduledTimer(kTickInterval, true, [fire](platform::Timer&) { fire(); });
  }
  {
    platform::MutexLock lock(mutex_);
    holder_ = holder;
    timer_ = timer;
    scheduled_ = std::move(scheduled);
  }
  fire();
}

void ZRVMainTimer::stop() {
  // Emptying the holder may drop the last reference to this object (a tick handler stopping an
  // unowned timer); stay alive until done.
  platform::ObjectPtr keepAlive = weak_from_this().lock();
  std::shared_ptr<Holder> holder;
  std::shared_ptr<platform::Timer> timer;
  RFDisposablePtr scheduled;
  {
    platform::MutexLock lock(mutex_);
    holder = std::move(holder_);
    timer = std::move(timer_);
    scheduled = std::move(scheduled_);
  }
  if (timer) timer->invalidate();
  if (scheduled) scheduled->dispose();
  if (holder) holder->store(nullptr);
}

bool ZRVMainTimer::isRunning() const {
  platform::MutexLock lock(mutex_);
  return holder_ != nullptr;
}

void ZRVMainTimer::timerTick() { tick_->sendNext(platform::Value(ZRVClock::now())); }
