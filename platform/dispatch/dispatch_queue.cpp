// Queues: submission, serial draining on the target, concurrent admission with barriers,
// suspension, synchronous submission (run at once on the calling thread when every queue on the
// way down is free, else handed over), deadlock detection and queue-specific data.

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/dispatch/dispatch_internal.h"
#include "platform/system/console.h"
#include "platform/system/this_thread.h"

namespace platform {

namespace detail {

thread_local Frame* tCurrentFrame = nullptr;

namespace {

// A serial queue hands its thread back to its target after draining this long in one go, so
// queues that share a target take turns.
constexpr auto kDrainBudget = std::chrono::milliseconds(2);

// How long a synchronous caller looks for its turn before it sleeps.
constexpr auto kSyncSpin = std::chrono::microseconds(5);

void runBlock(const DispatchBlock& block, const std::string& label) {
  try {
    if (block) block();
  } catch (const std::exception& e) {
    dispatchFatal("uncaught exception in a block on queue \"" + label + "\": " + e.what());
  } catch (...) {
    dispatchFatal("uncaught exception in a block on queue \"" + label + "\"");
  }
}

}  // namespace

// A synchronous submission that had to wait its turn.
struct SyncState {
  std::mutex mutex;
  std::condition_variable cv;
  // The queue is ready for the caller to run the block. Set under the mutex; also read without it
  // while the caller looks for a moment before it sleeps.
  std::atomic<bool> started{false};
  // The drain handed the queue over: the caller holds it and releases it after its block. Set
  // before `started`.
  bool handedOver = false;
  bool finished = false;  // the block has run
  bool waiting = false;   // the caller sleeps on the condition variable
  bool runOnDrainer = false;
  FunctionRef<void()> block;
  std::exception_ptr error;
};

namespace {

// Lets the waiting caller run its block: while this thread holds the queue, or, `handedOver`,
// holding the queue itself from now on.
void startSync(SyncState& state, bool handedOver = false) {
  bool wake;
  {
    std::lock_guard lock(state.mutex);
    state.handedOver = handedOver;
    state.started.store(true, std::memory_order_release);
    wake = state.waiting;
  }
  if (wake) state.cv.notify_all();
}

// The queue's side of a synchronous submission that had to wait its turn.
void serveSync(SyncState& state) {
  if (state.runOnDrainer) {
    try {
      state.block();
    } catch (...) {
      state.error = std::current_exception();
    }
    std::lock_guard lock(state.mutex);
    state.finished = true;
    state.cv.notify_all();
    return;
  }
  // The caller runs the block on its own thread; this thread holds the queue meanwhile.
  startSync(state);
  std::unique_lock lock(state.mutex);
  state.cv.wait(lock, [&] { return state.finished; });
}

}  // namespace

[[noreturn]] void dispatchFatal(const std::string& message) {
  consoleLog("dispatch: " + message);
  std::abort();
}

Clock::time_point deadlineAfter(double seconds) { return Clock::now() + durationOfSeconds(seconds); }

WallClock::time_point wallTimeOf(Date date) {
  double since1970 = date.timeIntervalSince1970();
  if (std::isnan(since1970)) return WallClock::time_point::min() + std::chrono::hours(24);
  double now1970 = std::chrono::duration<double>(WallClock::now().time_since_epoch()).count();
  since1970 = std::clamp(since1970, now1970 - kFarAwaySeconds, now1970 + kFarAwaySeconds);
  return WallClock::time_point(
      std::chrono::duration_cast<WallClock::duration>(std::chrono::duration<double>(since1970)));
}

void QueueImpl::assignTarget(DispatchQueuePtr target) {
  std::lock_guard lock(configMutex);
  if (targetPtr) retiredTargets.push_back(targetPtr);
  targetRaw.store(static_cast<QueueImpl*>(target.get()), std::memory_order_release);
  targetPtr = std::move(target);
}

void* QueueImpl::specific(const void* key) const {
  std::lock_guard lock(configMutex);
  for (const auto& entry : specifics)
    if (entry.first == key) return entry.second;
  return nullptr;
}

void QueueImpl::submit(Item item) {
  switch (kind) {
    case QueueKind::Global:
      poolPush(this, std::move(item));
      return;
    case QueueKind::Main: {
      bool wake;
      {
        std::lock_guard lock(mutex);
        wake = fifo.empty() && suspendCount.load(std::memory_order_relaxed) == 0;
        fifo.push_back(std::move(item));
      }
      if (wake) wakeMainLoop();
      return;
    }
    case QueueKind::Serial: {
      bool schedule = false;
      {
        std::lock_guard lock(mutex);
        fifo.push_back(std::move(item));
        submissions.fetch_add(1, std::memory_order_relaxed);
        if (!scheduled && suspendCount.load(std::memory_order_relaxed) == 0) {
          scheduled = true;
          schedule = true;
        }
      }
      if (schedule) scheduleDrain();
      return;
    }
    case QueueKind::Concurrent: {
      std::vector<Item> ready;
      {
        std::lock_guard lock(mutex);
        fifo.push_back(std::move(item));
        pumpLocked(ready);
      }
      forward(ready);
      return;
    }
  }
}

void QueueImpl::scheduleDrain() {
  std::uint64_t ticket;
  {
    std::lock_guard lock(mutex);
    ticket = ++drainTicket;
    drainPending = true;
  }
  next()->submit(Item{[queue = self(), ticket] { queue->drainSerial(ticket); }});
}

bool QueueImpl::tryTakeQueuedDrain() {
  std::lock_guard lock(mutex);
  if (!scheduled || !drainPending || suspendCount.load(std::memory_order_relaxed) > 0) return false;
  drainPending = false;
  ++drainTicket;  // the queued drain finds itself outdated and leaves the queue alone
  return true;
}

bool QueueImpl::runQueuedHere() {
  FrameScope frame(this);
  std::vector<Item> batch;
  {
    std::lock_guard lock(mutex);
    fifo.takeAll(batch);
  }
  runBatch(batch);
  return suspendCount.load(std::memory_order_acquire) == 0;
}

void QueueImpl::runItem(Item& item) { runBlock(item.block, label()); }

void QueueImpl::runBatch(std::vector<Item>& batch, std::shared_ptr<SyncState>* handOver) {
  std::size_t i = 0;
  while (i < batch.size()) {
    if (handOver && batch[i].sync) {
      // The caller runs its block on its own thread, holding the queue; what comes after it waits
      // for the caller's release.
      *handOver = std::move(batch[i].sync);
      std::lock_guard lock(mutex);
      fifo.putBackInFront(batch, i + 1);
      break;
    }
    {
      Item item = std::move(batch[i++]);
      runItem(item);
    }
    if (i < batch.size() && suspendCount.load(std::memory_order_acquire) > 0) {
      // Suspended by the block that just ran (or meanwhile): the rest waits for resume.
      std::lock_guard lock(mutex);
      fifo.putBackInFront(batch, i);
      break;
    }
  }
  batch.clear();
}

void QueueImpl::drainSerial(std::uint64_t ticket) {
  {
    std::lock_guard lock(mutex);
    if (ticket != drainTicket || !drainPending) return;  // a synchronous caller took the queue meanwhile
    drainPending = false;
  }
  FrameScope frame(this);
  std::vector<Item> batch;
  batch.swap(spare);
  const auto budgetEnd = Clock::now() + kDrainBudget;
  bool lingered = false;
  for (;;) {
    {
      std::unique_lock lock(mutex);
      if (fifo.empty() && !lingered && suspendCount.load(std::memory_order_relaxed) == 0) {
        // A producer that is still submitting usually adds more in a moment: waiting briefly
        // here is much cheaper than handing the queue to a worker again.
        lock.unlock();
        lingered = true;
        lingerForWork();
        continue;
      }
      if (fifo.empty() || suspendCount.load(std::memory_order_relaxed) > 0) {
        spare.swap(batch);
        scheduled = false;
        return;
      }
      lingered = false;
      if (Clock::now() < budgetEnd) fifo.takeAll(batch);
    }
    if (batch.empty()) break;
    // Only a queue that drains straight on the pool can pass to a caller: a queue on another
    // queue runs inside that queue's drain, which must not go on meanwhile.
    std::shared_ptr<SyncState> caller;
    runBatch(batch, next()->kind == QueueKind::Global ? &caller : nullptr);
    if (caller) {
      // The queue (still scheduled) now belongs to the caller: nothing of it may be touched once
      // the caller has been told.
      batch.clear();
      spare.swap(batch);
      startSync(*caller, true);
      return;
    }
  }
  // Out of budget with work left: give the target's other work a turn, stay scheduled.
  spare.swap(batch);
  scheduleDrain();
}

void QueueImpl::lingerForWork() {
  constexpr auto kLinger = std::chrono::microseconds(20);
  std::uint64_t seen = submissions.load(std::memory_order_relaxed);
  auto until = Clock::now() + kLinger;
  for (int i = 0; submissions.load(std::memory_order_relaxed) == seen; ++i) {
    if ((i & 63) == 63) {
      if (Clock::now() >= until) return;
      std::this_thread::yield();
    }
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  }
}

void QueueImpl::pumpLocked(std::vector<Item>& ready) {
  while (!fifo.empty() && suspendCount.load(std::memory_order_relaxed) == 0 && !barrierRunning) {
    if (fifo.front().barrier) {
      if (running > 0) break;
      barrierRunning = true;
      ready.push_back(std::move(fifo.front()));
      fifo.pop_front();
      break;
    }
    ++running;
    ready.push_back(std::move(fifo.front()));
    fifo.pop_front();
  }
}

void QueueImpl::forward(std::vector<Item>& ready) {
  if (ready.empty()) return;
  QueueImpl* target = next();
  for (Item& item : ready) {
    target->submit(Item{[queue = self(), item = std::move(item)]() mutable {
                          {
                            FrameScope frame(queue.get());
                            queue->runItem(item);
                          }
                          bool barrier = item.barrier;
                          item = Item{};
                          queue->finishConcurrent(barrier);
                        },
                        false});
  }
  ready.clear();
}

void QueueImpl::finishConcurrent(bool barrier) {
  std::vector<Item> ready;
  {
    std::lock_guard lock(mutex);
    if (barrier)
      barrierRunning = false;
    else
      --running;
    pumpLocked(ready);
  }
  forward(ready);
}

bool QueueImpl::tryAcquire(bool barrier) {
  std::lock_guard lock(mutex);
  if (!fifo.empty() || suspendCount.load(std::memory_order_relaxed) > 0) return false;
  if (kind == QueueKind::Serial) {
    if (scheduled) return false;
    scheduled = true;
    return true;
  }
  if (barrierRunning) return false;
  if (barrier) {
    if (running > 0) return false;
    barrierRunning = true;
  } else {
    ++running;
  }
  return true;
}

void QueueImpl::release(bool barrier) {
  if (kind == QueueKind::Concurrent) {
    finishConcurrent(barrier);
    return;
  }
  bool schedule = false;
  {
    std::lock_guard lock(mutex);
    scheduled = false;
    if (!fifo.empty() && suspendCount.load(std::memory_order_relaxed) == 0) {
      scheduled = true;
      schedule = true;
    }
  }
  if (schedule) scheduleDrain();
}

void QueueImpl::doSuspend() {
  if (kind == QueueKind::Global) return;  // global queues cannot be suspended
  std::lock_guard lock(mutex);
  suspendCount.fetch_add(1, std::memory_order_release);
}

void QueueImpl::doResume() {
  if (kind == QueueKind::Global) return;
  bool schedule = false, wake = false;
  std::vector<Item> ready;
  {
    std::lock_guard lock(mutex);
    int count = suspendCount.load(std::memory_order_relaxed);
    if (count == 0) dispatchFatal("queue \"" + label() + "\" resumed more often than suspended");
    suspendCount.store(count - 1, std::memory_order_release);
    if (count - 1 > 0) return;
    switch (kind) {
      case QueueKind::Serial:
        if (!scheduled && !fifo.empty()) scheduled = schedule = true;
        break;
      case QueueKind::Main:
        wake = !fifo.empty();
        break;
      case QueueKind::Concurrent:
        pumpLocked(ready);
        break;
      case QueueKind::Global:
        break;
    }
  }
  if (schedule) scheduleDrain();
  if (wake) wakeMainLoop();
  forward(ready);
}

namespace {

// Whether the calling thread is running a block that holds `queue`, directly or through a
// queue that drains on it.
bool threadOccupies(const QueueImpl* queue) {
  for (Frame* frame = tCurrentFrame; frame; frame = frame->outer)
    for (QueueImpl* q = frame->queue; q; q = q->next())
      if (q == queue) return true;
  return false;
}

void checkDeadlock(QueueImpl* queue, bool barrier) {
  if (!tCurrentFrame) return;
  for (QueueImpl* q = queue; q; q = q->next()) {
    bool exclusive = q->kind == QueueKind::Serial || q->kind == QueueKind::Main ||
                     (q == queue && barrier && q->kind == QueueKind::Concurrent);
    if (exclusive && threadOccupies(q)) {
      std::string what = q == queue ? std::string("it") : "its target \"" + q->label() + "\"";
      dispatchFatal("synchronous submission to queue \"" + queue->label() + "\" from a block that already holds " +
                    what + " would wait forever (deadlock)");
    }
  }
}

}  // namespace

QueueImpl* currentOrMainQueue() {
  if (tCurrentFrame) return tCurrentFrame->queue;
  if (isMainThread()) return impl(DispatchQueue::main().get());
  return nullptr;
}

}  // namespace detail

using namespace detail;

DispatchQueuePtr DispatchQueue::create(std::string label, Kind kind, DispatchQueuePtr target) {
  auto queue =
      std::make_shared<QueueImpl>(std::move(label), kind == Kind::Serial ? QueueKind::Serial : QueueKind::Concurrent);
  queue->assignTarget(target ? std::move(target) : global(DispatchPriority::Default));
  return queue;
}

DispatchQueuePtr DispatchQueue::global(DispatchPriority priority) {
  static const DispatchQueuePtr* queues = [] {
    auto* made = new DispatchQueuePtr[4];
    made[0] = std::make_shared<QueueImpl>("com.apple.root.high-priority", QueueKind::Global, 0);
    made[1] = std::make_shared<QueueImpl>("com.apple.root.default-priority", QueueKind::Global, 1);
    made[2] = std::make_shared<QueueImpl>("com.apple.root.low-priority", QueueKind::Global, 2);
    made[3] = std::make_shared<QueueImpl>("com.apple.root.background-priority", QueueKind::Global, 3);
    return made;
  }();
  return queues[static_cast<int>(priority)];
}

DispatchQueuePtr DispatchQueue::globalWithPriority(long priority) {
  if (priority > 0) return global(DispatchPriority::High);
  if (priority == 0) return global(DispatchPriority::Default);
  if (priority > -32768) return global(DispatchPriority::Low);
  return global(DispatchPriority::Background);
}

bool DispatchQueue::isSerial() const {
  auto kind = static_cast<const QueueImpl*>(this)->kind;
  return kind == QueueKind::Serial || kind == QueueKind::Main;
}

bool DispatchQueue::isGlobal() const { return static_cast<const QueueImpl*>(this)->kind == QueueKind::Global; }

bool DispatchQueue::isMain() const { return static_cast<const QueueImpl*>(this)->kind == QueueKind::Main; }

DispatchQueuePtr DispatchQueue::target() const {
  auto* self = static_cast<const QueueImpl*>(this);
  std::lock_guard lock(self->configMutex);
  return self->targetPtr;
}

void DispatchQueue::setTarget(DispatchQueuePtr target) {
  auto* self = impl(this);
  if (self->kind == QueueKind::Global || self->kind == QueueKind::Main)
    dispatchFatal("the target of queue \"" + label() + "\" cannot be changed");
  if (!target) target = global(DispatchPriority::Default);
  for (QueueImpl* q = impl(target.get()); q; q = q->next())
    if (q == self)
      dispatchFatal("queue \"" + label() + "\" cannot target \"" + target->label() + "\": that makes a cycle");
  self->assignTarget(std::move(target));
}

void DispatchQueue::async(DispatchBlock block) { impl(this)->submit(Item{std::move(block)}); }

void DispatchQueue::barrierAsync(DispatchBlock block) { impl(this)->submit(Item{std::move(block), true}); }

void DispatchQueue::syncInvoke(FunctionRef<void()> block, bool barrier) {
  auto* self = impl(this);
  if (self->kind != QueueKind::Concurrent) barrier = false;
  checkDeadlock(self, barrier);

  // Fast path: every queue on the way down to the root is free, so take them and run here.
  constexpr int kMaxDepth = 16;
  QueueImpl* held[kMaxDepth];
  int depth = 0;
  bool mainRooted = false;
  for (QueueImpl* q = self; q; q = q->next())
    if (q->kind == QueueKind::Main) mainRooted = true;
  bool free = true;
  for (QueueImpl* q = self; q; q = q->next()) {
    if (q->kind == QueueKind::Global) break;
    if (q->kind == QueueKind::Main) {
      free = isMainThread();
      break;
    }
    if (depth == kMaxDepth || !q->tryAcquire(q == self && barrier)) {
      free = false;
      break;
    }
    held[depth++] = q;
  }
  auto releaseAll = [&] {
    for (int i = 0; i < depth; ++i) held[i]->release(i == 0 && barrier);
  };
  if (free) {
    struct Release {
      decltype(releaseAll)& fn;
      ~Release() { fn(); }
    } release{releaseAll};
    FrameScope frame(self);
    block();
    return;
  }
  releaseAll();

  if (mainRooted && isMainThread())
    dispatchFatal("synchronous submission to queue \"" + label() +
                  "\" from the main thread while that queue waits for the main thread would wait forever (deadlock)");

  // A drain queued on the pool that no worker has picked up yet: rather than wait for a worker to
  // wake and hand the queue over, run the queued work and the block here (not on the main thread,
  // whose identity blocks of other queues must never take on).
  if (self->kind == QueueKind::Serial && self->next()->kind == QueueKind::Global && !isMainThread() &&
      self->tryTakeQueuedDrain()) {
    if (self->runQueuedHere()) {
      struct Release {
        QueueImpl* queue;
        ~Release() { queue->release(false); }
      } release{self};
      FrameScope frame(self);
      block();
      return;
    }
    self->release(false);  // suspended by its own work: wait for the resume like any caller
  }

  auto state = std::make_shared<SyncState>();
  state->block = block;
  state->runOnDrainer = mainRooted;
  // A serial queue's drain may hand the queue over rather than serve the caller (see Item::sync).
  std::shared_ptr<SyncState> handOver = self->kind == QueueKind::Serial && !mainRooted ? state : nullptr;
  self->submit(Item{[state] { serveSync(*state); }, barrier, std::move(handOver)});
  if (state->runOnDrainer) {
    std::unique_lock lock(state->mutex);
    state->cv.wait(lock, [&] { return state->finished; });
    if (state->error) std::rethrow_exception(state->error);
    return;
  }
  // The queue often comes free within microseconds: look for a moment before going to sleep.
  const auto spinUntil = Clock::now() + kSyncSpin;
  for (int i = 1; !state->started.load(std::memory_order_acquire); ++i) {
    if ((i & 15) == 0 && Clock::now() >= spinUntil) break;
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  }
  {
    std::unique_lock lock(state->mutex);
    state->waiting = true;
    state->cv.wait(lock, [&] { return state->started.load(std::memory_order_relaxed); });
  }
  std::exception_ptr error;
  {
    FrameScope frame(self);
    try {
      block();
    } catch (...) {
      error = std::current_exception();
    }
  }
  if (state->handedOver) {
    // Nobody waits for this caller: it leaves the queue as the fast path does.
    self->release(barrier);
  } else {
    std::lock_guard lock(state->mutex);
    state->finished = true;
    state->cv.notify_all();
  }
  if (error) std::rethrow_exception(error);
}

void DispatchQueue::after(double seconds, DispatchBlock block) {
  if (!(seconds > 0)) {
    async(std::move(block));
    return;
  }
  timerAt(deadlineAfter(seconds),
          [queue = impl(this)->self(), block = std::move(block)]() mutable { queue->submit(Item{std::move(block)}); });
}

void DispatchQueue::afterWallClock(Date date, DispatchBlock block) {
  timerAtWall(wallTimeOf(date), [queue = impl(this)->self(), block = std::move(block)]() mutable {
    queue->submit(Item{std::move(block)});
  });
}

void DispatchQueue::suspend() { impl(this)->doSuspend(); }

void DispatchQueue::resume() { impl(this)->doResume(); }

void DispatchQueue::setSpecific(const void* key, void* value) {
  auto* self = impl(this);
  std::lock_guard lock(self->configMutex);
  auto& specifics = self->specifics;
  auto it = std::find_if(specifics.begin(), specifics.end(), [&](const auto& entry) { return entry.first == key; });
  if (it != specifics.end()) {
    if (value)
      it->second = value;
    else
      specifics.erase(it);
  } else if (value) {
    specifics.emplace_back(key, value);
  }
}

void* DispatchQueue::getSpecific(const void* key) const { return impl(this)->specific(key); }

void* DispatchQueue::getSpecificCurrent(const void* key) {
  for (QueueImpl* q = currentOrMainQueue(); q; q = q->next())
    if (void* value = q->specific(key)) return value;
  return nullptr;
}

std::string DispatchQueue::currentQueueLabel() {
  QueueImpl* q = currentOrMainQueue();
  return q ? q->label() : std::string();
}

}  // namespace platform
