#include "platform/system/locks.h"

#include <sched.h>

#include <chrono>
#include <cmath>

namespace platform {

void Condition::wait() {
  std::unique_lock<std::mutex> lock(mutex_, std::adopt_lock);
  cv_.wait(lock);
  lock.release();
}

bool Condition::waitFor(double seconds) {
  std::unique_lock<std::mutex> lock(mutex_, std::adopt_lock);
  bool woken = cv_.wait_for(lock, durationOfSeconds(seconds)) == std::cv_status::no_timeout;
  lock.release();
  return woken;
}

bool Condition::waitUntil(Date date) {
  std::unique_lock<std::mutex> lock(mutex_, std::adopt_lock);
  auto deadline = std::chrono::system_clock::time_point(std::chrono::duration_cast<std::chrono::system_clock::duration>(
      std::chrono::duration<double>(date.timeIntervalSince1970())));
  bool woken = true;
  if (std::isnan(date.timeIntervalSinceReferenceDate()) || date.timeIntervalSinceNow() <= 0) {
    woken = false;
  } else if (date.timeIntervalSinceNow() > 1e9) {
    cv_.wait(lock);
  } else {
    woken = cv_.wait_until(lock, deadline) == std::cv_status::no_timeout;
  }
  lock.release();
  return woken;
}

void SpinLock::yield() { sched_yield(); }

}  // namespace platform
