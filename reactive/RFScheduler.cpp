#include "reactive/RFScheduler.h"

#include <limits>
#include <queue>
#include <vector>

#include "platform/runtime/format.h"
#include "platform/runtime/thread.h"
#include "platform/runtime/value.h"
#include "platform/system/locks.h"

namespace {
const char kPrefix[] = "com.zorvel.reactive.";

std::string prefixed(const char* name) { return std::string(kPrefix) + name; }

}  // namespace

// Scopes open on this thread, plus one on the main thread (which always has a current
// scheduler) once it has asked: while above zero, the thread has a current scheduler without a
// look at its dictionary (operators ask on every value).
constinit thread_local int rf_tCurrentSchedulerHints = 0;

namespace {
thread_local bool tMainThreadCounted = false;

// Restores the thread's current scheduler even when the block throws.
class CurrentSchedulerScope {
 public:
  explicit CurrentSchedulerScope(const RFSchedulerPtr& scheduler) {
    ++rf_tCurrentSchedulerHints;
    platform::ThreadDictionary& dict = platform::threadDictionary();
    auto it = dict.find(RFScheduler::kCurrentSchedulerKey);
    if (it != dict.end())
      previous_ = it->second;
    else if (RFScheduler::isOnMainThread())
      previous_ = platform::Value(RFScheduler::mainThreadScheduler());
    dict.insert_or_assign(RFScheduler::kCurrentSchedulerKey, platform::Value(scheduler));
  }
  ~CurrentSchedulerScope() {
    platform::ThreadDictionary& dict = platform::threadDictionary();
    if (previous_.isNil())
      dict.erase(RFScheduler::kCurrentSchedulerKey);
    else
      dict.insert_or_assign(RFScheduler::kCurrentSchedulerKey, std::move(previous_));
    --rf_tCurrentSchedulerHints;
  }
  CurrentSchedulerScope(const CurrentSchedulerScope&) = delete;
  CurrentSchedulerScope& operator=(const CurrentSchedulerScope&) = delete;

 private:
  platform::Value previous_;
};

// A scheduled block's disposable. It owns the block until the block runs or it is disposed, so
// that disposing lets go of what the block captured at once, not when its time comes.
class ScheduledBlock final : public RFDisposable {
 public:
  explicit ScheduledBlock(RFScheduler::Block block) : block_(std::move(block)) {}
  static std::shared_ptr<ScheduledBlock> make(RFScheduler::Block block) {
    return platform::make<ScheduledBlock>(std::move(block));
  }

  void dispose() override {
    RFDisposable::dispose();
    RFScheduler::Block released;
    platform::MutexLock lock(lock_);
    released.swap(block_);
  }
  // The block, once; empty when disposed first.
  RFScheduler::Block take() {
    RFScheduler::Block block;
    platform::MutexLock lock(lock_);
    if (!isDisposed()) block.swap(block_);
    return block;
  }

 private:
  platform::SpinLock lock_;
  RFScheduler::Block block_;
};

}  // namespace

// --- RFScheduler ---------------------------------------------------------------------------------

RFScheduler::RFScheduler(std::string name, const char* className)
    : name_(name.empty() ? std::string(className) + ".anonymousScheduler" : std::move(name)) {}

const RFSchedulerPtr& RFScheduler::immediateScheduler() {
  static const RFSchedulerPtr scheduler = platform::make<RFImmediateScheduler>();
  return scheduler;
}

const RFSchedulerPtr& RFScheduler::mainThreadScheduler() {
  static const RFSchedulerPtr scheduler =
      RFTargetQueueScheduler::create(prefixed("RFScheduler.mainThreadScheduler"), platform::DispatchQueue::main());
  return scheduler;
}

RFSchedulerPtr RFScheduler::schedulerWithPriority(long priority, std::string name) {
  return RFTargetQueueScheduler::create(std::move(name), platform::DispatchQueue::globalWithPriority(priority));
}

RFSchedulerPtr RFScheduler::schedulerWithPriority(long priority) {
  return schedulerWithPriority(priority, prefixed("RFScheduler.backgroundScheduler"));
}

RFSchedulerPtr RFScheduler::scheduler() { return schedulerWithPriority(kPriorityDefault); }

RFSchedulerPtr RFScheduler::schedulerWithQueue(platform::DispatchQueuePtr queue, std::string name) {
  return RFTargetQueueScheduler::create(std::move(name), std::move(queue));
}

const RFSchedulerPtr& RFScheduler::subscriptionScheduler() {
  static const RFSchedulerPtr scheduler = platform::make<RFSubscriptionScheduler>();
  return scheduler;
}

bool RFScheduler::isOnMainThread() { return platform::isMainThread(); }

RFSchedulerPtr RFScheduler::currentScheduler() {
  platform::ThreadDictionary& dict = platform::threadDictionary();
  auto it = dict.find(kCurrentSchedulerKey);
  if (it != dict.end()) return it->second.as<RFScheduler>();
  if (isOnMainThread()) return mainThreadScheduler();
  return nullptr;
}

bool RFScheduler::hasCurrentSchedulerSlow() {
  if (isOnMainThread()) {
    if (!tMainThreadCounted) {
      tMainThreadCounted = true;
      ++rf_tCurrentSchedulerHints;
    }
    return true;
  }
  platform::ThreadDictionary& dict = platform::threadDictionary();
  return dict.find(kCurrentSchedulerKey) != dict.end();
}

std::string RFScheduler::description() const {
  return platform::format("<%s: %p> %s", objectClass().name(), static_cast<const void*>(this), name_);
}

RFDisposablePtr RFScheduler::schedule(Block) { return nullptr; }
RFDisposablePtr RFScheduler::after(platform::Date, Block) { return nullptr; }
RFDisposablePtr RFScheduler::afterRepeatingEvery(platform::Date, double, double, Block) { return nullptr; }

platform::Date RFScheduler::currentDate() const { return platform::Date::now(); }

RFDisposablePtr RFScheduler::afterDelay(double seconds, Block block) {
  return after(currentDate().addingTimeInterval(seconds), std::move(block));
}

void RFScheduler::performAsCurrentScheduler(const Block& block) {
  CurrentSchedulerScope scope(self());
  block();
}

RFDisposablePtr RFScheduler::scheduleRecursiveBlock(RecursiveBlock block) {
  auto disposable = RFCompoundDisposable::compoundDisposable();
  scheduleRecursiveBlock(std::make_shared<const RecursiveBlock>(std::move(block)), disposable);
  return disposable;
}

void RFScheduler::reschedule(const std::shared_ptr<const RecursiveBlock>& block,
                             const RFCompoundDisposablePtr& disposable) {
  if (disposable->isDisposed()) return;
  scheduleRecursiveBlock(block, disposable);
}

void RFScheduler::scheduleRecursiveBlock(const std::shared_ptr<const RecursiveBlock>& block,
                                         const RFCompoundDisposablePtr& disposable) {
  auto runDisposable = RFCompoundDisposable::compoundDisposable();
  disposable->addDisposable(runDisposable);
  std::weak_ptr<RFCompoundDisposable> weakRun = runDisposable;
  RFSchedulerPtr me = self();

  auto scheduled = schedule([me, block, disposable, weakRun] {
    if (auto run = weakRun.lock()) disposable->removeDisposable(run.get());
    if (disposable->isDisposed()) return;

    // Reschedules asked for while the block runs are counted and made after it returns; later
    // ones are made at once.
    struct State {
      platform::Mutex lock;
      std::uint64_t pending ZORVEL_GUARDED_BY(lock) = 0;
      bool immediately ZORVEL_GUARDED_BY(lock) = false;
    };
    auto state = std::make_shared<State>();
    std::function<void()> rescheduleBlock = [me, block, disposable, state] {
      bool now;
      {
        platform::MutexLock guard(state->lock);
        now = state->immediately;
        if (!now) ++state->pending;
      }
      if (now) me->reschedule(block, disposable);
    };
    (*block)(rescheduleBlock);

    std::uint64_t count;
    {
      platform::MutexLock guard(state->lock);
      count = state->pending;
      state->immediately = true;
    }
    for (std::uint64_t i = 0; i < count; ++i) me->reschedule(block, disposable);
  });
  runDisposable->addDisposable(scheduled);
}

// --- RFImmediateScheduler ------------------------------------------------------------------------

RFImmediateScheduler::RFImmediateScheduler()
    : RFScheduler(prefixed("RFScheduler.immediateScheduler"), "RFImmediateScheduler") {}

RFDisposablePtr RFImmediateScheduler::schedule(Block block) {
  block();
  return nullptr;
}

RFDisposablePtr RFImmediateScheduler::after(platform::Date date, Block block) {
  platform::sleepUntil(date);
  block();
  return nullptr;
}

RFDisposablePtr RFImmediateScheduler::afterRepeatingEvery(platform::Date, double, double, Block) { return nullptr; }

RFDisposablePtr RFImmediateScheduler::scheduleRecursiveBlock(RecursiveBlock block) {
  // A loop, so the stack does not grow with the number of repetitions.
  std::uint64_t pending = 1;
  std::function<void()> reschedule = [&pending] { ++pending; };
  while (pending > 0) {
    block(reschedule);
    --pending;
  }
  return nullptr;
}

// --- RFQueueScheduler ----------------------------------------------------------------------------

RFQueueScheduler::RFQueueScheduler(std::string name, platform::DispatchQueuePtr queue, const char* className)
    : RFScheduler(std::move(name), className), queue_(std::move(queue)) {}

RFDisposablePtr RFQueueScheduler::schedule(Block block) {
  auto scheduled = ScheduledBlock::make(std::move(block));
  queue_->async([me = self(), scheduled] {
    if (Block block = scheduled->take()) me->performAsCurrentScheduler(block);
  });
  return scheduled;
}

RFDisposablePtr RFQueueScheduler::after(platform::Date date, Block block) {
  auto scheduled = ScheduledBlock::make(std::move(block));
  queue_->afterWallClock(date, [me = self(), scheduled] {
    if (Block block = scheduled->take()) me->performAsCurrentScheduler(block);
  });
  return scheduled;
}

RFDisposablePtr RFQueueScheduler::afterRepeatingEvery(platform::Date start, double interval, double leeway,
                                                      Block block) {
  auto source = platform::DispatchTimerSource::create(queue_);
  source->setTimerWallClock(start, interval, leeway);
  source->setEventHandler(std::move(block));
  source->resume();
  return RFDisposable::disposableWithBlock([source] { source->cancel(); });
}

std::shared_ptr<RFTargetQueueScheduler> RFTargetQueueScheduler::create(std::string name,
                                                                       platform::DispatchQueuePtr target) {
  if (!target) target = platform::DispatchQueue::global();
  if (name.empty()) name = platform::format("%sRFTargetQueueScheduler(%s)", kPrefix, target->label());
  auto queue = platform::DispatchQueue::createSerial(name, target);
  if (!queue) return nullptr;
  return platform::make<RFTargetQueueScheduler>(std::move(name), std::move(queue));
}

// --- RFSubscriptionScheduler ---------------------------------------------------------------------

RFSubscriptionScheduler::RFSubscriptionScheduler()
    : RFScheduler(prefixed("RFScheduler.subscriptionScheduler"), "RFSubscriptionScheduler"),
      background_(RFScheduler::scheduler()) {}

RFDisposablePtr RFSubscriptionScheduler::schedule(Block block) {
  if (hasCurrentScheduler()) {
    block();
    return nullptr;
  }
  return background_->schedule(std::move(block));
}

RFDisposablePtr RFSubscriptionScheduler::after(platform::Date date, Block block) {
  RFSchedulerPtr current = currentScheduler();
  return (current ? current : background_)->after(date, std::move(block));
}

platform::Date RFSubscriptionScheduler::currentDate() const {
  RFSchedulerPtr current = currentScheduler();
  return (current ? current : background_)->currentDate();
}

RFDisposablePtr RFSubscriptionScheduler::afterRepeatingEvery(platform::Date start, double interval, double leeway,
                                                             Block block) {
  RFSchedulerPtr current = currentScheduler();
  return (current ? current : background_)->afterRepeatingEvery(start, interval, leeway, std::move(block));
}

// --- RFTestScheduler -----------------------------------------------------------------------------

struct RFTestScheduler::Action {
  platform::Date date;
  std::uint64_t sequence;  // keeps equal dates in scheduling order
  std::shared_ptr<ScheduledBlock> block;
};

struct RFTestScheduler::Queue {
  struct Later {
    bool operator()(const Action& a, const Action& b) const {
      if (a.date != b.date) return a.date > b.date;
      return a.sequence > b.sequence;
    }
  };
  std::priority_queue<Action, std::vector<Action>, Later> heap;
};

RFTestScheduler::RFTestScheduler()
    : RFScheduler(prefixed("tests.RFTestScheduler"), "RFTestScheduler"), queue_(std::make_unique<Queue>()) {}

RFTestScheduler::~RFTestScheduler() {
  // Pending work still runs; nothing can refer to this scheduler any more, so it is not made
  // current, and repeating actions find it gone and stop.
  runSteps(std::numeric_limits<std::uint64_t>::max(), false);
}

RFDisposablePtr RFTestScheduler::enqueue(platform::Date date, Block block) {
  auto scheduled = ScheduledBlock::make(std::move(block));
  platform::MutexLock lock(lock_);
  queue_->heap.push(Action{date, sequence_++, scheduled});
  return scheduled;
}

RFDisposablePtr RFTestScheduler::schedule(Block block) {
  platform::MutexLock lock(lock_);
  platform::Date date(static_cast<double>(directCount_));
  ++directCount_;
  return enqueue(date, std::move(block));
}

RFDisposablePtr RFTestScheduler::after(platform::Date date, Block block) { return enqueue(date, std::move(block)); }

RFDisposablePtr RFTestScheduler::afterRepeatingEvery(platform::Date start, double interval, double leeway,
                                                     Block block) {
  platform::MutexLock lock(lock_);
  auto compound = RFCompoundDisposable::compoundDisposable();
  std::weak_ptr<RFTestScheduler> weakSelf = std::static_pointer_cast<RFTestScheduler>(self());
  auto shared = std::make_shared<Block>(std::move(block));
  // The action's own disposable is known only after it is queued.
  auto own = std::make_shared<RFDisposablePtr>();
  RFDisposablePtr disposable = enqueue(start, [weakSelf, compound, own, start, interval, leeway, shared] {
    compound->removeDisposable(own->get());
    if (auto me = weakSelf.lock())
      compound->addDisposable(me->afterRepeatingEvery(start.addingTimeInterval(interval), interval, leeway, *shared));
    (*shared)();
  });
  *own = disposable;
  compound->addDisposable(disposable);
  return compound;
}

void RFTestScheduler::runSteps(std::uint64_t count, bool asCurrent) {
  platform::MutexLock lock(lock_);
  for (std::uint64_t i = 0; i < count && !queue_->heap.empty(); ++i) {
    Action action = queue_->heap.top();
    queue_->heap.pop();
    Block block = action.block->take();
    if (!block) continue;  // cancelled
    if (action.date > now_) now_ = action.date;
    if (asCurrent) {
      CurrentSchedulerScope scope(self());
      block();
    } else {
      block();
    }
  }
}

void RFTestScheduler::step(std::uint64_t count) { runSteps(count, true); }

void RFTestScheduler::stepAll() { runSteps(std::numeric_limits<std::uint64_t>::max(), true); }

std::uint64_t RFTestScheduler::numberOfDirectlyScheduledBlocks() const {
  platform::MutexLock lock(lock_);
  return directCount_;
}

platform::Date RFTestScheduler::currentDate() const {
  platform::MutexLock lock(lock_);
  return now_;
}

std::size_t RFTestScheduler::pendingCount() const {
  platform::MutexLock lock(lock_);
  return queue_->heap.size();
}
