#pragma once

// Operations and operation queues: units of work with a life cycle (ready, executing, finished),
// cancellation, dependencies and completion blocks, run by queues that bound how many run at once,
// on our dispatch layer (dispatch.h).
//
// Operation life cycle: an operation is ready once every dependency has finished (or once it is
// cancelled); a queue then calls start(). The base start() runs main() on the calling thread
// between two announcements: executing (true, then false) and finished (true). An asynchronous
// subclass overrides start(), isExecuting() and isFinished(), keeps its own flags, and announces
// each change of them with willChangeValueForKey / didChangeValueForKey under the keys
// "isExecuting" and "isFinished"; it may finish on any thread, long after start() returned.
// Whatever finishes an operation, the announcement of "isFinished" is what releases it: its queue
// drops it (before the announcement returns, so operationCount() no longer counts it), its
// dependents become ready, waiters wake and its completion block is queued.
//
// Key-value observing: "isExecuting", "isFinished", "isCancelled" and "isReady" of an operation,
// and "operationCount" and "isSuspended" of a queue, are announced to observers (kvo.h) and read
// through valueForKey. Announcements reach observers on the thread that made the change.
//
// Limits: a queue's maximum concurrent count is kOperationQueueDefaultMaxConcurrentOperationCount
// (no limit of its own: the global dispatch pool decides) or a count >= 0 (0 starts nothing).
// An operation belongs to at most one queue, once; adding it again, or adding one that is
// executing or finished, raises kInvalidArgumentException. A dependency on itself, or one that
// would close a cycle, raises too (a cycle would never become ready).
//
// Threads: every member may be called from any thread. An operation started by a queue runs on
// the queue's underlying dispatch queue (a global queue of the queue's quality of service unless
// one is set; the main dispatch queue for mainQueue()). Completion blocks run on a global dispatch
// queue after the operation has finished. waitUntilFinished() and
// waitUntilAllOperationsAreFinished() block the calling thread: never call them from an operation
// of the same queue, nor on the main thread for work of the main queue (that work needs the
// thread that waits).

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/runtime/object.h"
#include "platform/runtime/thread.h"

namespace platform {

class Operation;
class OperationQueue;
using OperationPtr = std::shared_ptr<Operation>;
using OperationQueuePtr = std::shared_ptr<OperationQueue>;

// Order among ready operations of one queue (the platform's numbers); equal priorities start in
// the order they were added.
enum class OperationQueuePriority : int { VeryLow = -8, Low = -4, Normal = 0, High = 4, VeryHigh = 8 };

// Where a queue's operations run when it has no underlying dispatch queue of its own.
enum class QualityOfService : int {
  UserInteractive = 33,
  UserInitiated = 25,
  Default = -1,
  Utility = 17,
  Background = 9
};

inline constexpr long kOperationQueueDefaultMaxConcurrentOperationCount = -1;

class Operation : public Object {
  ZORVEL_CLASS(Operation, Object)

 public:
  using CompletionBlock = std::function<void()>;

  Operation();
  ~Operation() override;

  // Runs the operation on the calling thread (see the life cycle above). Raises
  // kInvalidArgumentException when it is already executing or finished, or not ready and not
  // cancelled. A cancelled operation finishes without main().
  virtual void start();
  // The work. The base does nothing.
  virtual void main();

  // Marks the operation cancelled (once; later calls do nothing). Work already running is not
  // stopped: main() should look at isCancelled(). A cancelled operation counts as ready.
  virtual void cancel();
  bool isCancelled() const { return cancelled_.load(std::memory_order_acquire); }

  virtual bool isExecuting() const;
  virtual bool isFinished() const;
  // True when the operation finishes on its own schedule after start() returns.
  virtual bool isAsynchronous() const { return false; }
  bool isConcurrent() const { return isAsynchronous(); }
  // Every dependency finished, or cancelled.
  virtual bool isReady() const;

  // The operation will not become ready before `operation` has finished. Adding the same
  // dependency twice keeps one. Raises kInvalidArgumentException for a null operation, for the
  // operation itself, and when the dependency would close a cycle.
  void addDependency(const OperationPtr& operation);
  void removeDependency(const OperationPtr& operation);
  std::vector<OperationPtr> dependencies() const;

  // Runs once, on a global dispatch queue, after the operation has finished (cancelled ones too);
  // it is dropped after it ran, so a block that holds the operation does not keep it alive.
  void setCompletionBlock(CompletionBlock block);
  CompletionBlock completionBlock() const;

  void setName(std::string name);
  std::string name() const;
  void setQueuePriority(OperationQueuePriority priority);
  OperationQueuePriority queuePriority() const;

  // Blocks until the operation has finished.
  void waitUntilFinished();

  Value valueForKey(std::string_view key) const override;
  void didChangeValueForKey(std::string_view key) override;
  std::string description() const override;

 private:
  friend class OperationQueue;
  // A dependency of this operation has finished: announce that readiness may have changed.
  void dependencyFinished();
  void handleFinished();
  void handleReadinessChanged();
  bool dependsOn(const Operation& other) const;  // directly or through its dependencies

  mutable std::mutex mutex_;
  std::vector<OperationPtr> dependencies_;
  std::vector<std::weak_ptr<Operation>> dependents_;
  CompletionBlock completionBlock_;
  std::string name_;
  OperationQueuePriority priority_ = OperationQueuePriority::Normal;
  std::weak_ptr<OperationQueue> queue_;
  bool enqueued_ = false;

  std::atomic<bool> cancelRequested_{false};
  std::atomic<bool> cancelled_{false};
  std::atomic<bool> executing_{false};
  std::atomic<bool> finished_{false};
  std::atomic<bool> started_{false};
  std::atomic<bool> finishHandled_{false};
  Condition finishedCondition_;
};

// An operation that runs its blocks one after another, in the order added, on the thread that
// runs it.
class BlockOperation : public Operation {
  ZORVEL_CLASS(BlockOperation, Operation)

 public:
  using Block = std::function<void()>;

  BlockOperation() = default;
  static std::shared_ptr<BlockOperation> make(Block block);

  // Raises kInvalidArgumentException once the operation is executing or finished.
  void addExecutionBlock(Block block);
  std::vector<Block> executionBlocks() const;

  void main() override;

 private:
  mutable std::mutex blocksMutex_;
  std::vector<Block> blocks_;
};

// A queue keeps itself alive while it holds operations, so work it accepted is not dropped with
// the last outside reference (a suspended queue that is never resumed therefore stays).
class OperationQueue : public Object {
  ZORVEL_CLASS(OperationQueue, Object)

 public:
  OperationQueue();
  ~OperationQueue() override;

  // A new queue (always use this or platform::make; the queue must be owned by a shared_ptr).
  static OperationQueuePtr create(std::string name = {});
  // The queue whose operations run on the main dispatch queue, one at a time. Its maximum
  // concurrent count stays 1.
  static const OperationQueuePtr& mainQueue();
  // The queue whose operation is running on the calling thread; on the main thread outside any
  // operation, the main queue; else null.
  static OperationQueuePtr currentQueue();

  // Adds the operation (see the limits above); it starts once it is ready and a slot is free.
  void addOperation(const OperationPtr& operation);
  // Adds them all; with `waitUntilFinished`, blocks until they have all finished.
  void addOperations(const std::vector<OperationPtr>& operations, bool waitUntilFinished);
  // A block operation around the block.
  void addOperationWithBlock(std::function<void()> block);

  // The operations not yet finished, in the order added.
  std::vector<OperationPtr> operations() const;
  std::size_t operationCount() const;

  // Cancels every operation in the queue (they still finish through start()).
  void cancelAllOperations();
  // Blocks until the queue holds no operation (including ones added while waiting).
  void waitUntilAllOperationsAreFinished();

  void setMaxConcurrentOperationCount(long count);  // raises for count < -1
  long maxConcurrentOperationCount() const;
  // A suspended queue starts no operation; the ones already running go on.
  void setSuspended(bool suspended);
  bool isSuspended() const;

  void setName(std::string name);
  std::string name() const;
  void setQualityOfService(QualityOfService qos);
  QualityOfService qualityOfService() const;
  // The dispatch queue the operations run on; null: a global queue of the quality of service.
  // A serial underlying queue runs one operation at a time whatever the maximum says.
  void setUnderlyingQueue(DispatchQueuePtr queue);
  DispatchQueuePtr underlyingQueue() const;

  Value valueForKey(std::string_view key) const override;
  std::string description() const override;

 private:
  friend class Operation;
  void operationFinished(Operation& operation);
  // Starts what may start now. Never called with mutex_ held.
  void startReadyOperations();
  void runOperation(const OperationPtr& operation);
  DispatchQueuePtr dispatchQueueLocked() const;

  struct Entry {
    OperationPtr operation;
    bool started = false;  // started by this queue
  };

  mutable std::mutex mutex_;
  std::condition_variable emptied_;
  std::vector<Entry> entries_;  // in the order added; removed once finished
  // Holds the queue while it has operations, so that dropping the last outside reference to a
  // busy queue does not drop work that was accepted.
  OperationQueuePtr selfWhileBusy_;
  long maxConcurrent_ = kOperationQueueDefaultMaxConcurrentOperationCount;
  long running_ = 0;  // started by this queue and not finished
  bool suspended_ = false;
  bool isMain_ = false;
  std::string name_;
  QualityOfService qos_ = QualityOfService::Default;
  DispatchQueuePtr underlying_;
};

}  // namespace platform
