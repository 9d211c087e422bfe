#include "platform/system/progress.h"

#include <algorithm>
#include <utility>

#include "platform/system/locks.h"

namespace platform {

double Progress::fractionCompleted() const {
  const std::int64_t total = totalUnitCount();
  if (total <= 0) return 0;
  const double fraction = static_cast<double>(completedUnitCount()) / static_cast<double>(total);
  return std::clamp(fraction, 0.0, 1.0);
}

bool Progress::isFinished() const {
  const std::int64_t total = totalUnitCount();
  return total > 0 && completedUnitCount() >= total;
}

void Progress::setCompletedUnitCount(std::int64_t count) {
  completed_.store(count, std::memory_order_release);
  std::function<void(const Progress&)> handler;
  {
    platform::MutexLock lock(handlerMutex_);
    handler = completedHandler_;
  }
  if (handler) handler(*this);
}

void Progress::setCompletedUnitCountHandler(std::function<void(const Progress&)> handler) {
  platform::MutexLock lock(handlerMutex_);
  completedHandler_ = std::move(handler);
}

void Progress::cancel() {
  std::function<void()> handler;
  {
    platform::MutexLock lock(handlerMutex_);
    if (cancelled_.exchange(true, std::memory_order_acq_rel)) return;
    handler = std::move(cancellationHandler_);
    cancellationHandler_ = nullptr;
  }
  if (handler) handler();
}

void Progress::setCancellationHandler(std::function<void()> handler) {
  {
    platform::MutexLock lock(handlerMutex_);
    if (!cancelled_.load(std::memory_order_acquire)) {
      cancellationHandler_ = std::move(handler);
      return;
    }
  }
  if (handler) handler();
}

}  // namespace platform
