#pragma once

// Dispatch queues, groups, semaphores and timer sources: our own work-queue layer on std::thread.
//
// Queues are held by std::shared_ptr; a queue stays alive while blocks for it are pending.
// Every function here may be called from any thread unless its comment says otherwise.
//
// - A serial queue runs one block at a time, in submission order. A concurrent queue starts its
//   blocks in submission order and may run several at once; a barrier block waits for the blocks
//   before it and runs alone.
// - Each queue has a target. A queue's blocks run on its target: a serial queue drains on its
//   target as one unit, so blocks of two serial queues that target the same serial queue never
//   overlap. New queues target the default-priority global queue.
// - The global queues are concurrent and run on a shared pool of worker threads. The pool starts
//   up to one worker per processor and adds more (up to 64) when work is waiting and every
//   worker has stopped making progress, e.g. because blocks wait for other blocks.
// - The main queue is serial and runs its blocks on the main thread while the main run loop runs
//   (see run_loop.h). Outside any queue block, the main thread counts as being on the main queue.
// - An exception that escapes an asynchronous block ends the process with a message.
//
// For run-once initialisation use std::call_once or a function-local static.

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>

#include "platform/system/date.h"
#include "platform/system/function_ref.h"

namespace platform {

class DispatchQueue;
using DispatchQueuePtr = std::shared_ptr<DispatchQueue>;
using DispatchBlock = std::function<void()>;

// "Wait forever" for the time-outs below.
inline constexpr double kDispatchForever = std::numeric_limits<double>::infinity();

enum class DispatchPriority { High, Default, Low, Background };

class DispatchQueue : public std::enable_shared_from_this<DispatchQueue> {
 public:
  enum class Kind { Serial, Concurrent };

  // A new queue. A null target means the default-priority global queue.
  static DispatchQueuePtr create(std::string label, Kind kind, DispatchQueuePtr target = nullptr);
  static DispatchQueuePtr createSerial(std::string label = {}, DispatchQueuePtr target = nullptr) {
    return create(std::move(label), Kind::Serial, std::move(target));
  }
  static DispatchQueuePtr createConcurrent(std::string label = {}, DispatchQueuePtr target = nullptr) {
    return create(std::move(label), Kind::Concurrent, std::move(target));
  }

  // The global concurrent queues, labelled "com.apple.root.<high|default|low|background>-priority".
  static DispatchQueuePtr global(DispatchPriority priority = DispatchPriority::Default);
  // By the platform's numeric priorities: 2 and above high, 0 default, -2 (any negative above
  // -32768) low, -32768 and below background; 1 counts as high.
  static DispatchQueuePtr globalWithPriority(long priority);
  // The main queue, labelled "com.apple.main-thread".
  static DispatchQueuePtr main();

  virtual ~DispatchQueue() = default;
  DispatchQueue(const DispatchQueue&) = delete;
  DispatchQueue& operator=(const DispatchQueue&) = delete;

  const std::string& label() const { return label_; }
  bool isSerial() const;
  bool isGlobal() const;
  bool isMain() const;

  DispatchQueuePtr target() const;
  // Changes where this queue's blocks run (null: the default global queue). Meant for set-up,
  // before blocks are submitted; blocks already waiting may still go to the old target. Aborts
  // for the global and main queues and when the change would make a target cycle.
  void setTarget(DispatchQueuePtr target);

  // Queues the block and returns at once.
  void async(DispatchBlock block);
  // Runs the block and returns its result when it has finished. On a queue that nothing else
  // occupies the block runs at once on the calling thread; otherwise it waits its turn (and, for
  // queues that end in the main queue, runs on the main thread). Waiting on a queue that the
  // calling block already occupies would never end: that aborts the process with a message
  // instead. Exceptions thrown by the block reach the caller as they were thrown.
  template <class F>
  std::invoke_result_t<F&> sync(F&& block) {
    return syncReturning(block, false);
  }
  // On a concurrent queue: runs after the blocks before it and alone; later blocks wait for it.
  // On a serial or global queue the same as async/sync.
  void barrierAsync(DispatchBlock block);
  template <class F>
  std::invoke_result_t<F&> barrierSync(F&& block) {
    return syncReturning(block, true);
  }

  // Queues the block once the seconds have passed on the monotonic clock (at once for <= 0).
  void after(double seconds, DispatchBlock block);
  // Queues the block once the wall clock reaches the date; a change of the system clock moves it.
  void afterWallClock(Date date, DispatchBlock block);

  // Counted: blocks stop starting after the block that is running finishes, until as many
  // resume() calls as suspend() calls. Resuming more often than suspending aborts. No effect on
  // the global queues. A sync onto a suspended queue waits for the resume.
  void suspend();
  void resume();

  // Queue-specific data: an opaque value under an opaque key (typically the address of a static).
  // A null value removes the key.
  void setSpecific(const void* key, void* value);
  void* getSpecific(const void* key) const;
  // The value for the key on the queue whose block is running on the calling thread, else on its
  // target, its target's target, and so on; null when none has it. This is how code asks "am I on
  // this queue".
  static void* getSpecificCurrent(const void* key);
  // The label of the queue whose block is running on the calling thread; the main queue's label
  // on the main thread outside any block; empty elsewhere.
  static std::string currentQueueLabel();

 protected:
  explicit DispatchQueue(std::string label) : label_(std::move(label)) {}

 private:
  template <class F>
  std::invoke_result_t<F&> syncReturning(F& block, bool barrier) {
    using R = std::invoke_result_t<F&>;
    if constexpr (std::is_void_v<R>) {
      syncInvoke(block, barrier);
    } else if constexpr (std::is_reference_v<R>) {
      std::remove_reference_t<R>* result = nullptr;
      syncInvoke([&] { result = std::addressof(block()); }, barrier);
      return static_cast<R>(*result);
    } else {
      std::optional<R> result;
      syncInvoke([&] { result.emplace(block()); }, barrier);
      return std::move(*result);
    }
  }
  void syncInvoke(FunctionRef<void()> block, bool barrier);

  std::string label_;
};

// Tracks a set of blocks: enter() before each piece of work, leave() after it.
class DispatchGroup : public std::enable_shared_from_this<DispatchGroup> {
 public:
  static std::shared_ptr<DispatchGroup> create();
  virtual ~DispatchGroup() = default;

  void enter();
  // Aborts when it does not match an enter().
  void leave();
  // Queues the block on the queue as part of the group.
  void async(const DispatchQueuePtr& queue, DispatchBlock block);
  // Waits until the group is empty; false when the seconds passed first.
  bool wait(double timeoutSeconds = kDispatchForever);
  // Queues the block on the queue once the group is empty (at once when it is empty now).
  void notify(const DispatchQueuePtr& queue, DispatchBlock block);

 protected:
  DispatchGroup() = default;
};

// A counting semaphore. wait() takes one unit, blocking while there is none; signal() adds one.
class DispatchSemaphore {
 public:
  explicit DispatchSemaphore(long value = 0);
  ~DispatchSemaphore();
  DispatchSemaphore(const DispatchSemaphore&) = delete;
  DispatchSemaphore& operator=(const DispatchSemaphore&) = delete;

  // False when the seconds passed before a unit was available (nothing taken then).
  bool wait(double timeoutSeconds = kDispatchForever);
  // True when a waiting thread was woken.
  bool signal();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// A timer whose event handler runs as a block on its queue. Created suspended: set the timer and
// the handlers, then resume(). Firings that come while the handler is still queued, or while the
// source is suspended, are merged into one run. The leeway is accepted for compatibility; firings
// are never early. Dropping the last reference stops the source (without its cancel handler).
class DispatchTimerSource : public std::enable_shared_from_this<DispatchTimerSource> {
 public:
  static std::shared_ptr<DispatchTimerSource> create(DispatchQueuePtr queue);
  virtual ~DispatchTimerSource() = default;

  // First firing at `start` on the monotonic clock of monotonicNanoseconds() (a start in the past
  // fires at once), then every interval seconds; an interval <= 0 or infinite fires once.
  // Setting the timer again replaces the schedule.
  void setTimer(std::uint64_t startMonotonicNanoseconds, double intervalSeconds, double leewaySeconds = 0);
  void setTimerAfter(double delaySeconds, double intervalSeconds, double leewaySeconds = 0);
  // First firing when the wall clock reaches the date.
  void setTimerWallClock(Date start, double intervalSeconds, double leewaySeconds = 0);

  void setEventHandler(DispatchBlock handler);
  // Runs once on the queue after cancel() (once the source is not suspended).
  void setCancelHandler(DispatchBlock handler);

  // Counted like a queue's; the source starts with one suspension. Resuming more than
  // suspending aborts.
  void suspend();
  void resume();
  // Stops the source for good: no handler starts after this returns (one already running
  // finishes).
  void cancel();
  bool isCancelled() const;

 protected:
  DispatchTimerSource() = default;
};

}  // namespace platform
