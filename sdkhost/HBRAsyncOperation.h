#pragma once

// Operations whose work ends after main() returns, and a compound operation that runs a set of
// them on a queue of its own and finishes when all have finished.
//
// HBRAsyncOperation: start() marks it executing and calls main() (a cancelled operation goes
// straight to finished without main()); a subclass ends every path with finishWithError(),
// which hands the result to the optional asynchronous completion and then marks the operation
// finished, once. The flags change under a recursive lock and are announced to key-value
// observers ("isExecuting", "isFinished"), which is what an operation queue watches. The flags
// are read without the lock, so a queue asking about one operation while another finishes on a
// second thread never waits on it.
//
// HBRCompoundOperation: main() wraps each operation's asynchronous completion (to count its
// result) and completion block (to try to complete) and adds them all to its own queue. The
// counting runs on a serial counting queue. It finishes once: with nil when every operation
// succeeded, with the failure error (gathering the operations' errors) when one failed, or with
// the cancellation error once cancelled. Error domain "<maker>.HBRCompoundOperation.error";
// codes 4294967294 (cancelled) and 4294967293 (operations failed, their errors under
// "<maker>.HBRCompoundOperation.error.user-info-key.underlying-errors").
//
// Threads: any thread may start, cancel or finish them. An asynchronous completion that an
// operation had before it joined a compound runs on the counting queue and must not dispatch
// synchronously onto it.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/runtime/error.h"
#include "platform/runtime/thread.h"
#include "platform/services/operation_queue.h"
#include "platform/system/locks.h"

inline constexpr std::int64_t kHBRCompoundOperationCancelledError = 4294967294;
inline constexpr std::int64_t kHBRCompoundOperationFailedError = 4294967293;
std::string HBRCompoundOperationErrorDomain();
std::string HBRCompoundOperationUnderlyingErrorsKey();

class HBRAsyncOperation : public platform::Operation {
  ZORVEL_CLASS(HBRAsyncOperation, platform::Operation)

 public:
  using AsyncCompletion = std::function<void(const platform::ErrorPtr& error)>;

  HBRAsyncOperation();

  void start() override;
  bool isAsynchronous() const override { return true; }
  bool isExecuting() const override { return executing_.load(std::memory_order_acquire); }
  bool isFinished() const override { return finished_.load(std::memory_order_acquire); }

  // Calls the asynchronous completion with the error, when one is set, then marks the operation
  // done.
  void finishWithError(const platform::ErrorPtr& error);

  void setAsyncCompletion(AsyncCompletion completion);
  AsyncCompletion asyncCompletion() const;
  // "<maker>.<class name>-lock".
  std::string lockName() const;

 protected:
  void markStarted();
  // Executing becomes false, then finished true; later calls do nothing.
  void markDone();
  // When cancelled: marks the operation done and answers true.
  bool checkForCancellation();
  void changeValueForKey(std::string_view key, const std::function<void()>& block);
  void lock(const std::function<void()>& block);

 private:
  mutable platform::RecursiveLock lock_;
  AsyncCompletion asyncCompletion_ ZORVEL_GUARDED_BY(lock_);
  std::atomic<bool> executing_{false};
  std::atomic<bool> finished_{false};
};

class HBRCompoundOperation : public HBRAsyncOperation {
  ZORVEL_CLASS(HBRCompoundOperation, HBRAsyncOperation)

 public:
  static std::shared_ptr<HBRCompoundOperation> make(std::vector<std::shared_ptr<HBRAsyncOperation>> operations);

  const std::vector<std::shared_ptr<HBRAsyncOperation>>& operations() const { return operations_; }
  const platform::OperationQueuePtr& compoundQueue() const { return compoundQueue_; }
  // Read on the counting queue.
  std::uint64_t completedOperations() const;
  std::vector<platform::ErrorPtr> errors() const;

  void main() override;
  void cancel() override;

 private:
  HBRCompoundOperation();
  void attemptCompoundCompletion();  // on the counting queue

  std::vector<std::shared_ptr<HBRAsyncOperation>> operations_;
  platform::OperationQueuePtr compoundQueue_;
  platform::DispatchQueuePtr countingQueue_;
  std::atomic<bool> mainRan_{false};
  std::uint64_t completedOperations_ = 0;   // on countingQueue_
  std::vector<platform::ErrorPtr> errors_;  // on countingQueue_
};
