#pragma once

// Schedulers decide where and when a block runs. Every scheduling call returns a disposable that
// cancels work not yet started (cancellation is cooperative: a queued block skips its work), or
// null when the work cannot be cancelled (the immediate scheduler); callers must accept null.
//
// The current scheduler of a thread is the one whose block the thread is running (kept in the
// thread dictionary under "RFSchedulerCurrentSchedulerKey"); the main thread falls back to the
// main-thread scheduler, other threads to none.
//
// - immediateScheduler(): runs blocks at once on the calling thread.
// - mainThreadScheduler(): runs blocks on the main thread (main queue), in order.
// - scheduler(), schedulerWithPriority(): a new serial scheduler on a global queue; each call
//   makes its own queue.
// - schedulerWithQueue(): a serial scheduler on a private queue that targets the given queue.
// - subscriptionScheduler(): inline when the calling thread has a current scheduler, else on its
//   own background scheduler. Signals subscribe through it.
// - RFTestScheduler: virtual time; blocks run only when its owner steps it.
//
// Schedulers may be called from any thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/dispatch/dispatch.h"
#include "platform/runtime/object.h"
#include "platform/system/date.h"
#include "platform/system/locks.h"
#include "reactive/RFDisposable.h"

class RFScheduler;
using RFSchedulerPtr = std::shared_ptr<RFScheduler>;

// Internal: above zero while the calling thread is known to have a current scheduler.
extern constinit thread_local int rf_tCurrentSchedulerHints;

class RFScheduler : public platform::Object {
  ZORVEL_CLASS(RFScheduler, platform::Object)

 public:
  using Block = std::function<void()>;
  // Receives the reschedule block; each call of it asks for one more run.
  using RecursiveBlock = std::function<void(const std::function<void()>& reschedule)>;

  static constexpr const char* kCurrentSchedulerKey = "RFSchedulerCurrentSchedulerKey";
  // Priorities for schedulerWithPriority (the platform's global-queue priorities).
  static constexpr long kPriorityHigh = 2;
  static constexpr long kPriorityDefault = 0;
  static constexpr long kPriorityLow = -2;
  static constexpr long kPriorityBackground = -32768;

  static const RFSchedulerPtr& immediateScheduler();
  static const RFSchedulerPtr& mainThreadScheduler();
  static RFSchedulerPtr schedulerWithPriority(long priority, std::string name);
  static RFSchedulerPtr schedulerWithPriority(long priority);
  static RFSchedulerPtr scheduler();
  static RFSchedulerPtr schedulerWithQueue(platform::DispatchQueuePtr queue, std::string name);
  static const RFSchedulerPtr& subscriptionScheduler();
  // The calling thread's scheduler (see above), or null.
  static RFSchedulerPtr currentScheduler();
  // Whether the calling thread has a current scheduler, without building a reference to it.
  static bool hasCurrentScheduler() {
    if (rf_tCurrentSchedulerHints > 0) [[likely]]
      return true;
    return hasCurrentSchedulerSlow();
  }
  static bool isOnMainThread();

  const std::string& name() const { return name_; }
  std::string description() const override;

  // Runs the block once.
  virtual RFDisposablePtr schedule(Block block);
  // Runs the block once, at or after the date.
  virtual RFDisposablePtr after(platform::Date date, Block block);
  // What "now" is to this scheduler: the wall clock, or a test scheduler's virtual time.
  virtual platform::Date currentDate() const;
  // after() with the date that lies that many seconds after currentDate().
  RFDisposablePtr afterDelay(double seconds, Block block);
  // Runs the block at the start date, then every interval; each firing may be deferred by up to
  // the leeway. Disposing stops the repetition.
  virtual RFDisposablePtr afterRepeatingEvery(platform::Date start, double interval, double leeway, Block block);
  // Runs the block, and once more for every call of its reschedule block. A reschedule asked
  // for while the block runs waits until it has returned, so runs never nest on one stack.
  virtual RFDisposablePtr scheduleRecursiveBlock(RecursiveBlock block);
  // One step of that recursion, adding its work to `disposable`.
  void scheduleRecursiveBlock(const std::shared_ptr<const RecursiveBlock>& block,
                              const RFCompoundDisposablePtr& disposable);

  // Runs the block with this scheduler as the calling thread's current scheduler, then puts the
  // previous one back.
  void performAsCurrentScheduler(const Block& block);

 protected:
  // An empty name gives "<className>.anonymousScheduler".
  RFScheduler(std::string name, const char* className);
  RFSchedulerPtr self() { return std::static_pointer_cast<RFScheduler>(shared_from_this()); }

 private:
  RFScheduler() : RFScheduler({}, "RFScheduler") {}
  static bool hasCurrentSchedulerSlow();
  void reschedule(const std::shared_ptr<const RecursiveBlock>& block, const RFCompoundDisposablePtr& disposable);

  std::string name_;
};

class RFImmediateScheduler final : public RFScheduler {
  ZORVEL_CLASS(RFImmediateScheduler, RFScheduler)

 public:
  // Runs at once; returns null.
  RFDisposablePtr schedule(Block block) override;
  // Blocks the calling thread until the date, then runs the block; returns null.
  RFDisposablePtr after(platform::Date date, Block block) override;
  // Cannot repeat: does nothing and returns null.
  RFDisposablePtr afterRepeatingEvery(platform::Date start, double interval, double leeway, Block block) override;
  // Iterates instead of recursing; returns null when no reschedule is pending.
  RFDisposablePtr scheduleRecursiveBlock(RecursiveBlock block) override;

 private:
  RFImmediateScheduler();
};

class RFQueueScheduler : public RFScheduler {
  ZORVEL_CLASS(RFQueueScheduler, RFScheduler)

 public:
  const platform::DispatchQueuePtr& queue() const { return queue_; }

  RFDisposablePtr schedule(Block block) override;
  // Fires by the wall clock: a change of the system clock moves the firing.
  RFDisposablePtr after(platform::Date date, Block block) override;
  // A timer source on the queue; the block runs as its handler (not as current scheduler).
  RFDisposablePtr afterRepeatingEvery(platform::Date start, double interval, double leeway, Block block) override;

 protected:
  RFQueueScheduler(std::string name, platform::DispatchQueuePtr queue, const char* className = "RFQueueScheduler");

 private:
  platform::DispatchQueuePtr queue_;
};

class RFTargetQueueScheduler final : public RFQueueScheduler {
  ZORVEL_CLASS(RFTargetQueueScheduler, RFQueueScheduler)

 public:
  // A scheduler on a new serial queue (labelled with the name) that targets `target`, so its
  // blocks run one at a time even on a concurrent target. An empty name gives
  // "RFTargetQueueScheduler(<target label>)" behind the framework's prefix.
  static std::shared_ptr<RFTargetQueueScheduler> create(std::string name, platform::DispatchQueuePtr target);

 private:
  RFTargetQueueScheduler(std::string name, platform::DispatchQueuePtr queue)
      : RFQueueScheduler(std::move(name), std::move(queue), "RFTargetQueueScheduler") {}
};

class RFSubscriptionScheduler final : public RFScheduler {
  ZORVEL_CLASS(RFSubscriptionScheduler, RFScheduler)

 public:
  const RFSchedulerPtr& backgroundScheduler() const { return background_; }

  // Inline (returning null) when the calling thread has a current scheduler, else on the
  // background scheduler.
  RFDisposablePtr schedule(Block block) override;
  // On the current scheduler, else on the background scheduler; so is currentDate().
  RFDisposablePtr after(platform::Date date, Block block) override;
  platform::Date currentDate() const override;
  RFDisposablePtr afterRepeatingEvery(platform::Date start, double interval, double leeway, Block block) override;

 private:
  RFSubscriptionScheduler();
  RFSchedulerPtr background_;
};

// Virtual time. Directly scheduled blocks are dated one virtual second apart from the first
// instant of 2001 (in order of scheduling); dated blocks keep their dates. step() runs the
// earliest pending block (blocks with equal dates run in the order they were scheduled) with
// this scheduler as the current one. Every operation, running included, holds the scheduler's
// recursive lock, so blocks may schedule more work on it. Pending blocks run when the scheduler
// goes away (without it as the current scheduler then, and repeating blocks do not reschedule).
//
// Its currentDate() is virtual: the wall-clock time when it was made, then the date of each
// block it runs (it never goes back, so the early dates of directly scheduled blocks leave it
// where it is). So afterDelay() from a running block, and with it every timing operator,
// counts from that block's date, whatever time the test takes.
class RFTestScheduler final : public RFScheduler {
  ZORVEL_CLASS(RFTestScheduler, RFScheduler)

 public:
  static std::shared_ptr<RFTestScheduler> create() { return platform::make<RFTestScheduler>(); }
  ~RFTestScheduler() override;

  RFDisposablePtr schedule(Block block) override;
  // Never waits: the block is queued at the date.
  RFDisposablePtr after(platform::Date date, Block block) override;
  // Fires at start, start + interval, ...; each firing queues the next. The leeway is ignored.
  RFDisposablePtr afterRepeatingEvery(platform::Date start, double interval, double leeway, Block block) override;

  platform::Date currentDate() const override;

  // Runs up to `count` pending blocks; a cancelled block is dropped and still counts.
  void step(std::uint64_t count = 1);
  // Until nothing is pending (a live repeating block never lets that happen).
  void stepAll();
  std::uint64_t numberOfDirectlyScheduledBlocks() const;
  std::size_t pendingCount() const;

 private:
  RFTestScheduler();
  struct Action;
  struct Queue;
  RFDisposablePtr enqueue(platform::Date date, Block block);
  void runSteps(std::uint64_t count, bool asCurrent);

  mutable platform::RecursiveLock lock_;
  std::unique_ptr<Queue> queue_ ZORVEL_PT_GUARDED_BY(lock_);
  std::uint64_t directCount_ ZORVEL_GUARDED_BY(lock_) = 0;
  std::uint64_t sequence_ ZORVEL_GUARDED_BY(lock_) = 0;
  platform::Date now_ ZORVEL_GUARDED_BY(lock_) = platform::Date::now();
};
