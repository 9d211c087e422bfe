#pragma once

// Progress: what a long-running piece of work reports about itself and how its caller stops it.
// The work sets the total and completed unit counts as it goes and checks isCancelled() between
// steps; the caller reads the counts and may cancel() at any time. Cancelling only asks: the work
// decides where it stops, and says so through its own result.
//
// Counts: a total of 0 means "not known yet" (fractionCompleted() is then 0). Completed counts
// above the total are reported as they are; fractionCompleted() is capped at 1.
//
// Observing: a completed-count handler, when set, runs on the working thread after each
// setCompletedUnitCount (the work reports through it, e.g. to update a display or to cancel at a
// chosen point).
//
// Threads: every member may be called from any thread at once. The cancellation handler runs once,
// on the thread that cancels (or at once on the thread that sets it when cancelled already). Neither
// handler may set itself or the other handler again from inside.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/system/locks.h"

namespace platform {

class Progress {
 public:
  using Ptr = std::shared_ptr<Progress>;

  // A progress with the given total (0: not known yet) and nothing completed.
  static Ptr make(std::int64_t totalUnitCount = 0) { return std::make_shared<Progress>(totalUnitCount); }
  explicit Progress(std::int64_t totalUnitCount = 0) : total_(totalUnitCount) {}
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  std::int64_t totalUnitCount() const { return total_.load(std::memory_order_acquire); }
  void setTotalUnitCount(std::int64_t count) { total_.store(count, std::memory_order_release); }
  std::int64_t completedUnitCount() const { return completed_.load(std::memory_order_acquire); }
  void setCompletedUnitCount(std::int64_t count);
  void setCompletedUnitCountHandler(std::function<void(const Progress&)> handler);
  // completed / total, between 0 and 1; 0 while the total is not known.
  double fractionCompleted() const;
  // Whether the completed count has reached a known total.
  bool isFinished() const;

  // Asks the work to stop; the first call runs the cancellation handler. Later calls do nothing.
  void cancel();
  bool isCancelled() const { return cancelled_.load(std::memory_order_acquire); }
  void setCancellationHandler(std::function<void()> handler);

 private:
  std::atomic<std::int64_t> total_;
  std::atomic<std::int64_t> completed_{0};
  std::atomic<bool> cancelled_{false};
  platform::Mutex handlerMutex_;
  std::function<void()> cancellationHandler_ ZORVEL_GUARDED_BY(handlerMutex_);
  std::function<void(const Progress&)> completedHandler_ ZORVEL_GUARDED_BY(handlerMutex_);
};

}  // namespace platform
