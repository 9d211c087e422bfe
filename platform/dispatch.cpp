#include "platform/dispatch.h"

#include <glib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/console.h"
#include "platform/thread.h"

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;
using WallClock = std::chrono::system_clock;

// Waits further away than this (about 31 years) count as "forever".
constexpr double kFarAwaySeconds = 1e9;
// A serial queue hands its thread back to its target after draining this long in one go, so
// queues that share a target take turns.
constexpr auto kDrainBudget = std::chrono::milliseconds(2);

[[noreturn]] void fatal(const std::string& message) {
  consoleLog("dispatch: " + message);
  std::abort();
}

Clock::time_point deadlineAfter(double seconds) {
  if (!(seconds > 0)) return Clock::now();
  if (seconds > kFarAwaySeconds) seconds = kFarAwaySeconds;
  return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

WallClock::time_point wallTimeOf(Date date) {
  double since1970 = date.timeIntervalSince1970();
  if (std::isnan(since1970)) return WallClock::time_point::min() + std::chrono::hours(24);
  double now1970 = std::chrono::duration<double>(WallClock::now().time_since_epoch()).count();
  since1970 = std::clamp(since1970, now1970 - kFarAwaySeconds, now1970 + kFarAwaySeconds);
  return WallClock::time_point(
      std::chrono::duration_cast<WallClock::duration>(std::chrono::duration<double>(since1970)));
}

void runBlock(const DispatchBlock& block, const std::string& label) {
  try {
    if (block) block();
  } catch (const std::exception& e) {
    fatal("uncaught exception in a block on queue \"" + label + "\": " + e.what());
  } catch (...) {
    fatal("uncaught exception in a block on queue \"" + label + "\"");
  }
}

// A synchronous submission that had to wait its turn.
struct SyncState {
  std::mutex mutex;
  std::condition_variable cv;
  bool started = false;   // the queue is ready for the caller to run the block
  bool finished = false;  // the block has run
  bool runOnDrainer = false;
  void (*invoke)(void*) = nullptr;
  void* callable = nullptr;
  std::exception_ptr error;
};

struct Item {
  DispatchBlock block;
  bool barrier = false;
};

// FIFO of items: a vector with a read position, so that a drain can take the whole content by
// swapping buffers and the buffers' memory is reused instead of allocated per item.
struct ItemQueue {
  std::vector<Item> items;
  std::size_t head = 0;

  bool empty() const { return head == items.size(); }
  void push_back(Item item) { items.push_back(std::move(item)); }
  Item& front() { return items[head]; }
  void pop_front() {
    items[head] = Item{};
    if (++head == items.size()) clear();
  }
  void clear() {
    items.clear();
    head = 0;
  }
  // Moves everything out into `out` (which must be empty), leaving this queue empty.
  void takeAll(std::vector<Item>& out) {
    if (head == 0) {
      out.swap(items);
    } else {
      for (std::size_t i = head; i < items.size(); ++i) out.push_back(std::move(items[i]));
    }
    clear();
  }
  // Puts items back in front of the current content, keeping their order.
  void putBackInFront(std::vector<Item>& front, std::size_t from) {
    std::vector<Item> merged;
    merged.reserve(front.size() - from + items.size() - head);
    for (std::size_t i = from; i < front.size(); ++i) merged.push_back(std::move(front[i]));
    for (std::size_t i = head; i < items.size(); ++i) merged.push_back(std::move(items[i]));
    items.swap(merged);
    head = 0;
  }
};

// The queue's side of a synchronous submission that had to wait its turn.
void serveSync(SyncState& state) {
  if (state.runOnDrainer) {
    try {
      state.invoke(state.callable);
    } catch (...) {
      state.error = std::current_exception();
    }
    std::lock_guard lock(state.mutex);
    state.finished = true;
    state.cv.notify_all();
    return;
  }
  // The caller runs the block on its own thread; this thread holds the queue meanwhile.
  std::unique_lock lock(state.mutex);
  state.started = true;
  state.cv.notify_all();
  state.cv.wait(lock, [&] { return state.finished; });
}

enum class QueueKind { Serial, Concurrent, Global, Main };

class QueueImpl;

// The queues whose blocks the calling thread is running, innermost first.
struct Frame {
  QueueImpl* queue;
  Frame* outer;
};
thread_local Frame* tCurrentFrame = nullptr;

class FrameScope {
 public:
  explicit FrameScope(QueueImpl* queue) : frame_{queue, tCurrentFrame} { tCurrentFrame = &frame_; }
  ~FrameScope() { tCurrentFrame = frame_.outer; }
  FrameScope(const FrameScope&) = delete;
  FrameScope& operator=(const FrameScope&) = delete;

 private:
  Frame frame_;
};

std::atomic<QueueImpl*> gMainQueue{nullptr};

void wakeMainLoop() {
  g_main_context_wakeup(g_main_context_default());
}

class Pool;
Pool& pool();

class QueueImpl final : public DispatchQueue {
 public:
  QueueImpl(std::string label, QueueKind kind, int priorityIndex = 0)
      : DispatchQueue(std::move(label)), kind(kind), priorityIndex(priorityIndex) {}

  const QueueKind kind;
  const int priorityIndex;  // global queues: 0 high .. 3 background

  // Configuration.
  mutable std::mutex configMutex;
  DispatchQueuePtr targetPtr;
  std::vector<DispatchQueuePtr> retiredTargets;  // keeps old targets alive for lock-free walks
  std::atomic<QueueImpl*> targetRaw{nullptr};
  std::vector<std::pair<const void*, void*>> specifics;

  // Work.
  std::mutex mutex;
  ItemQueue fifo;
  std::vector<Item> spare;  // the drainer's batch buffer, kept for its capacity
  bool scheduled = false;  // serial: a drain is queued or running, or a sync holds the queue
  std::atomic<std::uint64_t> submissions{0};  // serial: counts submissions, read without the lock
  int running = 0;         // concurrent: blocks started and not finished
  bool barrierRunning = false;
  std::atomic<int> suspendCount{0};

  std::shared_ptr<QueueImpl> self() { return std::static_pointer_cast<QueueImpl>(shared_from_this()); }
  QueueImpl* next() const { return targetRaw.load(std::memory_order_acquire); }

  void assignTarget(DispatchQueuePtr target) {
    std::lock_guard lock(configMutex);
    if (targetPtr) retiredTargets.push_back(targetPtr);
    targetRaw.store(static_cast<QueueImpl*>(target.get()), std::memory_order_release);
    targetPtr = std::move(target);
  }

  void submit(Item item);
  void scheduleDrain();
  void drainSerial();
  void lingerForWork();
  void drainMain();
  bool mainReady();
  void runBatch(std::vector<Item>& batch);
  void runItem(Item& item);
  void pumpLocked(std::vector<Item>& ready);
  void forward(std::vector<Item>& ready);
  void finishConcurrent(bool barrier);
  bool tryAcquire(bool barrier);
  void release(bool barrier);
  void doSuspend();
  void doResume();
};

QueueImpl* impl(DispatchQueue* queue) {
  return static_cast<QueueImpl*>(queue);
}

// ---------------------------------------------------------------------------------------------
// Timer thread: fires deadlines (monotonic or wall-clock) and watches the pool for stalls.

class TimerThread {
 public:
  TimerThread() { std::thread([this] { loop(); }).detach(); }

  void at(Clock::time_point when, std::function<void()> fn) {
    std::lock_guard lock(mutex_);
    steady_.push_back({when, seq_++, std::move(fn)});
    std::push_heap(steady_.begin(), steady_.end(), Later<Clock>{});
    cv_.notify_one();
  }

  void atWall(WallClock::time_point when, std::function<void()> fn) {
    std::lock_guard lock(mutex_);
    wall_.push_back({when, seq_++, std::move(fn)});
    std::push_heap(wall_.begin(), wall_.end(), Later<WallClock>{});
    cv_.notify_one();
  }

  void watchPool() {
    std::lock_guard lock(mutex_);
    if (!poolWatch_) {
      poolWatch_ = true;
      nextPoolCheck_ = Clock::now() + kPoolCheckInterval;
      cv_.notify_one();
    }
  }

 private:
  static constexpr auto kPoolCheckInterval = std::chrono::milliseconds(50);

  template <class C>
  struct Entry {
    typename C::time_point when;
    std::uint64_t seq;
    std::function<void()> fn;
  };
  template <class C>
  struct Later {
    bool operator()(const Entry<C>& a, const Entry<C>& b) const {
      return a.when > b.when || (a.when == b.when && a.seq > b.seq);
    }
  };

  template <class C>
  static void takeDue(std::vector<Entry<C>>& heap, typename C::time_point now, std::vector<std::function<void()>>& due) {
    while (!heap.empty() && heap.front().when <= now) {
      std::pop_heap(heap.begin(), heap.end(), Later<C>{});
      due.push_back(std::move(heap.back().fn));
      heap.pop_back();
    }
  }

  void loop();

  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Entry<Clock>> steady_;
  std::vector<Entry<WallClock>> wall_;
  std::uint64_t seq_ = 0;
  bool poolWatch_ = false;
  Clock::time_point nextPoolCheck_;
};

TimerThread& timerThread() {
  // Never destroyed: blocks may be scheduled while the process exits.
  static TimerThread* instance = new TimerThread;
  return *instance;
}

// ---------------------------------------------------------------------------------------------
// Worker pool behind the global queues.

class Pool {
 public:
  Pool() {
    unsigned n = std::thread::hardware_concurrency();
    softCap_ = static_cast<int>(std::max(2u, n));
  }

  void push(QueueImpl* root, Item item) {
    bool spawn = false, poke = false;
    {
      std::lock_guard lock(mutex_);
      queues_[root->priorityIndex].push_back({root, std::move(item)});
      ++pending_;
      if (idle_ > wakePending_) {
        ++wakePending_;
        cv_.notify_one();
      } else if (threads_ < softCap_) {
        ++threads_;
        spawn = true;
      } else if (!watched_) {
        watched_ = true;
        poke = true;
      }
    }
    if (spawn) startWorker();
    if (poke) timerThread().watchPool();
  }

  // Called by the timer thread while work waits and no worker is free: when no block has started
  // since the last look, the workers are stuck (typically waiting for queued work), so add one.
  // Returns whether to keep watching.
  bool checkStalled() {
    bool spawn = false;
    {
      std::lock_guard lock(mutex_);
      if (pending_ == 0) {
        watched_ = false;
        return false;
      }
      if (progress_ == lastSeenProgress_) {
        if (idle_ > 0) {
          cv_.notify_all();
        } else if (threads_ < kHardCap) {
          ++threads_;
          spawn = true;
        }
      }
      lastSeenProgress_ = progress_;
    }
    if (spawn) startWorker();
    return true;
  }

 private:
  static constexpr int kHardCap = 64;
  static constexpr auto kIdleExit = std::chrono::seconds(5);

  struct Task {
    QueueImpl* root;
    Item item;
  };

  void startWorker() {
    try {
      std::thread([this] { workerLoop(); }).detach();
    } catch (const std::exception& e) {
      consoleLog(std::string("dispatch: cannot start a worker thread: ") + e.what());
      std::lock_guard lock(mutex_);
      --threads_;
    }
  }

  bool popLocked(Task& task) {
    for (auto& queue : queues_) {
      if (!queue.empty()) {
        task = std::move(queue.front());
        queue.pop_front();
        --pending_;
        ++progress_;
        return true;
      }
    }
    return false;
  }

  void workerLoop() {
    std::unique_lock lock(mutex_);
    for (;;) {
      {
        Task task;
        if (popLocked(task)) {
          lock.unlock();
          {
            FrameScope frame(task.root);
            task.root->runItem(task.item);
          }
          task = Task{};  // the block's captures go before the lock is taken again
          lock.lock();
          continue;
        }
      }
      ++idle_;
      bool timedOut = cv_.wait_for(lock, kIdleExit) == std::cv_status::timeout;
      --idle_;
      if (wakePending_ > 0) --wakePending_;
      if (timedOut && pending_ == 0) {
        --threads_;
        return;
      }
    }
  }

  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Task> queues_[4];
  std::size_t pending_ = 0;
  int threads_ = 0;
  int idle_ = 0;
  int wakePending_ = 0;
  int softCap_ = 2;
  bool watched_ = false;
  std::uint64_t progress_ = 0;
  std::uint64_t lastSeenProgress_ = 0;
};

Pool& pool() {
  // Never destroyed: workers keep running while the process exits.
  static Pool* instance = new Pool;
  return *instance;
}

void TimerThread::loop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    auto now = Clock::now();
    auto wallNow = WallClock::now();
    std::vector<std::function<void()>> due;
    takeDue(steady_, now, due);
    takeDue(wall_, wallNow, due);
    if (!due.empty()) {
      lock.unlock();
      for (auto& fn : due) fn();
      due.clear();
      lock.lock();
      continue;
    }
    if (poolWatch_ && now >= nextPoolCheck_) {
      poolWatch_ = false;
      lock.unlock();
      bool keep = pool().checkStalled();
      lock.lock();
      if (keep) {
        poolWatch_ = true;
        nextPoolCheck_ = Clock::now() + kPoolCheckInterval;
      }
      continue;
    }
    auto wake = Clock::time_point::max();
    if (!steady_.empty()) wake = steady_.front().when;
    if (!wall_.empty()) {
      // Look again at least every second so that a change of the wall clock is noticed.
      auto untilWall = std::min<WallClock::duration>(wall_.front().when - wallNow, std::chrono::seconds(1));
      wake = std::min(wake, now + std::chrono::duration_cast<Clock::duration>(untilWall));
    }
    if (poolWatch_) wake = std::min(wake, nextPoolCheck_);
    if (wake == Clock::time_point::max())
      cv_.wait(lock);
    else
      cv_.wait_until(lock, wake);
  }
}

// ---------------------------------------------------------------------------------------------
// Queue behaviour.

void QueueImpl::submit(Item item) {
  switch (kind) {
    case QueueKind::Global:
      pool().push(this, std::move(item));
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
  next()->submit(Item{[queue = self()] { queue->drainSerial(); }});
}

void QueueImpl::runItem(Item& item) {
  runBlock(item.block, label());
}

void QueueImpl::runBatch(std::vector<Item>& batch) {
  std::size_t i = 0;
  while (i < batch.size()) {
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

void QueueImpl::drainSerial() {
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
    runBatch(batch);
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

bool QueueImpl::mainReady() {
  if (!isMainThread()) return false;
  std::lock_guard lock(mutex);
  return !fifo.empty() && suspendCount.load(std::memory_order_relaxed) == 0;
}

void QueueImpl::drainMain() {
  // One batch per main-loop iteration, so that other main-loop sources get their turn.
  FrameScope frame(this);
  std::vector<Item> batch;
  {
    std::lock_guard lock(mutex);
    if (suspendCount.load(std::memory_order_relaxed) > 0) return;
    batch.swap(spare);
    fifo.takeAll(batch);
  }
  runBatch(batch);
  std::lock_guard lock(mutex);
  spare.swap(batch);
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
    if (count == 0) fatal("queue \"" + label() + "\" resumed more often than suspended");
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
      fatal("synchronous submission to queue \"" + queue->label() + "\" from a block that already holds " + what +
            " would wait forever (deadlock)");
    }
  }
}

QueueImpl* currentOrMainQueue() {
  if (tCurrentFrame) return tCurrentFrame->queue;
  if (isMainThread()) return impl(DispatchQueue::main().get());
  return nullptr;
}

// The main loop source that drains the main queue on the main thread.
gboolean mainSourcePrepare(GSource*, gint* timeout) {
  *timeout = -1;
  QueueImpl* main = gMainQueue.load(std::memory_order_acquire);
  return main && main->mainReady();
}

gboolean mainSourceCheck(GSource*) {
  QueueImpl* main = gMainQueue.load(std::memory_order_acquire);
  return main && main->mainReady();
}

gboolean mainSourceDispatch(GSource*, GSourceFunc, gpointer) {
  QueueImpl* main = gMainQueue.load(std::memory_order_acquire);
  if (main) main->drainMain();
  return G_SOURCE_CONTINUE;
}

GSourceFuncs gMainSourceFuncs = {mainSourcePrepare, mainSourceCheck, mainSourceDispatch, nullptr, nullptr, nullptr};

}  // namespace

// ---------------------------------------------------------------------------------------------
// DispatchQueue

DispatchQueuePtr DispatchQueue::create(std::string label, Kind kind, DispatchQueuePtr target) {
  auto queue = std::make_shared<QueueImpl>(std::move(label),
                                           kind == Kind::Serial ? QueueKind::Serial : QueueKind::Concurrent);
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

DispatchQueuePtr DispatchQueue::main() {
  static const DispatchQueuePtr* queue = [] {
    auto made = std::make_shared<QueueImpl>("com.apple.main-thread", QueueKind::Main);
    gMainQueue.store(made.get(), std::memory_order_release);
    GSource* source = g_source_new(&gMainSourceFuncs, sizeof(GSource));
    g_source_set_priority(source, G_PRIORITY_DEFAULT);
    g_source_set_name(source, "main dispatch queue");
    g_source_attach(source, g_main_context_default());
    g_source_unref(source);
    return new DispatchQueuePtr(std::move(made));
  }();
  return *queue;
}

bool DispatchQueue::isSerial() const {
  auto kind = static_cast<const QueueImpl*>(this)->kind;
  return kind == QueueKind::Serial || kind == QueueKind::Main;
}

bool DispatchQueue::isGlobal() const {
  return static_cast<const QueueImpl*>(this)->kind == QueueKind::Global;
}

bool DispatchQueue::isMain() const {
  return static_cast<const QueueImpl*>(this)->kind == QueueKind::Main;
}

DispatchQueuePtr DispatchQueue::target() const {
  auto* self = static_cast<const QueueImpl*>(this);
  std::lock_guard lock(self->configMutex);
  return self->targetPtr;
}

void DispatchQueue::setTarget(DispatchQueuePtr target) {
  auto* self = impl(this);
  if (self->kind == QueueKind::Global || self->kind == QueueKind::Main)
    fatal("the target of queue \"" + label() + "\" cannot be changed");
  if (!target) target = global(DispatchPriority::Default);
  for (QueueImpl* q = impl(target.get()); q; q = q->next())
    if (q == self) fatal("queue \"" + label() + "\" cannot target \"" + target->label() + "\": that makes a cycle");
  self->assignTarget(std::move(target));
}

void DispatchQueue::async(DispatchBlock block) {
  impl(this)->submit(Item{std::move(block)});
}

void DispatchQueue::barrierAsync(DispatchBlock block) {
  impl(this)->submit(Item{std::move(block), true});
}

void DispatchQueue::syncInvoke(void (*invoke)(void*), void* callable, bool barrier) {
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
    invoke(callable);
    return;
  }
  releaseAll();

  if (mainRooted && isMainThread())
    fatal("synchronous submission to queue \"" + label() +
          "\" from the main thread while that queue waits for the main thread would wait forever (deadlock)");

  auto state = std::make_shared<SyncState>();
  state->invoke = invoke;
  state->callable = callable;
  state->runOnDrainer = mainRooted;
  self->submit(Item{[state] { serveSync(*state); }, barrier});
  std::unique_lock lock(state->mutex);
  if (state->runOnDrainer) {
    state->cv.wait(lock, [&] { return state->finished; });
    if (state->error) std::rethrow_exception(state->error);
    return;
  }
  state->cv.wait(lock, [&] { return state->started; });
  lock.unlock();
  std::exception_ptr error;
  {
    FrameScope frame(self);
    try {
      invoke(callable);
    } catch (...) {
      error = std::current_exception();
    }
  }
  lock.lock();
  state->finished = true;
  state->cv.notify_all();
  lock.unlock();
  if (error) std::rethrow_exception(error);
}

void DispatchQueue::after(double seconds, DispatchBlock block) {
  if (!(seconds > 0)) {
    async(std::move(block));
    return;
  }
  timerThread().at(deadlineAfter(seconds), [queue = impl(this)->self(), block = std::move(block)]() mutable {
    queue->submit(Item{std::move(block)});
  });
}

void DispatchQueue::afterWallClock(Date date, DispatchBlock block) {
  timerThread().atWall(wallTimeOf(date), [queue = impl(this)->self(), block = std::move(block)]() mutable {
    queue->submit(Item{std::move(block)});
  });
}

void DispatchQueue::suspend() {
  impl(this)->doSuspend();
}

void DispatchQueue::resume() {
  impl(this)->doResume();
}

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

void* DispatchQueue::getSpecific(const void* key) const {
  auto* self = static_cast<const QueueImpl*>(this);
  std::lock_guard lock(self->configMutex);
  for (const auto& entry : self->specifics)
    if (entry.first == key) return entry.second;
  return nullptr;
}

void* DispatchQueue::getSpecificCurrent(const void* key) {
  for (QueueImpl* q = currentOrMainQueue(); q; q = q->next())
    if (void* value = q->getSpecific(key)) return value;
  return nullptr;
}

std::string DispatchQueue::currentQueueLabel() {
  QueueImpl* q = currentOrMainQueue();
  return q ? q->label() : std::string();
}

// ---------------------------------------------------------------------------------------------
// DispatchGroup

namespace {

class GroupImpl final : public DispatchGroup {
 public:
  std::mutex mutex;
  std::condition_variable cv;
  long count = 0;
  std::vector<std::pair<DispatchQueuePtr, DispatchBlock>> notifications;
};

GroupImpl* impl(DispatchGroup* group) {
  return static_cast<GroupImpl*>(group);
}

}  // namespace

std::shared_ptr<DispatchGroup> DispatchGroup::create() {
  return std::make_shared<GroupImpl>();
}

void DispatchGroup::enter() {
  auto* self = impl(this);
  std::lock_guard lock(self->mutex);
  ++self->count;
}

void DispatchGroup::leave() {
  auto* self = impl(this);
  std::vector<std::pair<DispatchQueuePtr, DispatchBlock>> notifications;
  {
    std::lock_guard lock(self->mutex);
    if (self->count == 0) fatal("dispatch group left more often than entered");
    if (--self->count > 0) return;
    notifications.swap(self->notifications);
    self->cv.notify_all();
  }
  for (auto& [queue, block] : notifications) queue->async(std::move(block));
}

void DispatchGroup::async(const DispatchQueuePtr& queue, DispatchBlock block) {
  enter();
  queue->async([group = shared_from_this(), block = std::move(block)] {
    block();
    group->leave();
  });
}

bool DispatchGroup::wait(double timeoutSeconds) {
  auto* self = impl(this);
  std::unique_lock lock(self->mutex);
  auto empty = [&] { return self->count == 0; };
  if (timeoutSeconds > kFarAwaySeconds) {
    self->cv.wait(lock, empty);
    return true;
  }
  return self->cv.wait_until(lock, deadlineAfter(timeoutSeconds), empty);
}

void DispatchGroup::notify(const DispatchQueuePtr& queue, DispatchBlock block) {
  auto* self = impl(this);
  {
    std::lock_guard lock(self->mutex);
    if (self->count > 0) {
      self->notifications.emplace_back(queue, std::move(block));
      return;
    }
  }
  queue->async(std::move(block));
}

// ---------------------------------------------------------------------------------------------
// DispatchSemaphore

struct DispatchSemaphore::State {
  std::mutex mutex;
  std::condition_variable cv;
  long value = 0;
  long waiters = 0;
};

DispatchSemaphore::DispatchSemaphore(long value) : state_(std::make_unique<State>()) {
  state_->value = value;
}

DispatchSemaphore::~DispatchSemaphore() = default;

bool DispatchSemaphore::wait(double timeoutSeconds) {
  std::unique_lock lock(state_->mutex);
  auto available = [&] { return state_->value > 0; };
  ++state_->waiters;
  bool got;
  if (timeoutSeconds > kFarAwaySeconds) {
    state_->cv.wait(lock, available);
    got = true;
  } else {
    got = state_->cv.wait_until(lock, deadlineAfter(timeoutSeconds), available);
  }
  --state_->waiters;
  if (got) --state_->value;
  return got;
}

bool DispatchSemaphore::signal() {
  std::lock_guard lock(state_->mutex);
  ++state_->value;
  if (state_->waiters == 0) return false;
  state_->cv.notify_one();
  return true;
}

// ---------------------------------------------------------------------------------------------
// DispatchTimerSource

namespace {

class TimerImpl final : public DispatchTimerSource {
 public:
  explicit TimerImpl(std::shared_ptr<QueueImpl> queue) : queue(std::move(queue)) {}

  mutable std::mutex mutex;
  std::shared_ptr<QueueImpl> queue;
  DispatchBlock handler;
  DispatchBlock cancelHandler;
  int suspendCount = 1;
  bool cancelled = false;
  bool armed = false;  // a schedule is set and has firings left
  bool wall = false;
  Clock::time_point next;
  WallClock::time_point nextWall;
  Clock::duration interval{0};  // zero: fires once
  std::uint64_t generation = 0;  // deadlines of older generations are ignored
  bool handlerQueued = false;

  std::shared_ptr<TimerImpl> self() { return std::static_pointer_cast<TimerImpl>(shared_from_this()); }

  void setSchedule(bool isWall, Clock::time_point start, WallClock::time_point wallStart, double intervalSeconds) {
    std::lock_guard lock(mutex);
    if (cancelled) return;
    armed = true;
    wall = isWall;
    next = start;
    nextWall = wallStart;
    if (intervalSeconds > 0 && intervalSeconds <= kFarAwaySeconds)
      interval = std::max<Clock::duration>(std::chrono::microseconds(100),
                                           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(intervalSeconds)));
    else
      interval = Clock::duration::zero();
    ++generation;
    if (suspendCount == 0) armLocked();
  }

  void armLocked() {
    std::weak_ptr<TimerImpl> weak = self();
    std::uint64_t gen = generation;
    auto fire = [weak, gen] {
      if (auto source = weak.lock()) source->onDeadline(gen);
    };
    if (wall)
      timerThread().atWall(nextWall, std::move(fire));
    else
      timerThread().at(next, std::move(fire));
  }

  bool dueLocked() const { return wall ? nextWall <= WallClock::now() : next <= Clock::now(); }

  // Moves the schedule past now; false when a one-shot timer has nothing left.
  bool advanceLocked() {
    if (interval == Clock::duration::zero()) {
      armed = false;
      return false;
    }
    if (wall) {
      auto now = WallClock::now();
      auto step = std::chrono::duration_cast<WallClock::duration>(interval);
      if (step <= WallClock::duration::zero()) step = WallClock::duration(1);
      nextWall += step;
      if (nextWall <= now) nextWall += step * ((now - nextWall) / step + 1);
    } else {
      auto now = Clock::now();
      next += interval;
      if (next <= now) next += interval * ((now - next) / interval + 1);
    }
    return true;
  }

  void fireLocked() {
    if (handlerQueued) return;  // merged with the run already queued
    handlerQueued = true;
    queue->submit(Item{[source = self()] { source->runHandler(); }});
  }

  void onDeadline(std::uint64_t gen) {
    std::lock_guard lock(mutex);
    if (gen != generation || cancelled || !armed || suspendCount > 0) return;
    fireLocked();
    if (advanceLocked()) armLocked();
  }

  void runHandler() {
    DispatchBlock block;
    {
      std::lock_guard lock(mutex);
      handlerQueued = false;
      if (cancelled) return;
      block = handler;
    }
    if (block) block();
  }

  void submitCancelLocked() {
    DispatchBlock block = std::move(cancelHandler);
    cancelHandler = nullptr;
    handler = nullptr;  // handlers often hold the source; let go of them
    if (block) queue->submit(Item{std::move(block)});
  }
};

TimerImpl* impl(DispatchTimerSource* source) {
  return static_cast<TimerImpl*>(source);
}

}  // namespace

std::shared_ptr<DispatchTimerSource> DispatchTimerSource::create(DispatchQueuePtr queue) {
  if (!queue) queue = DispatchQueue::global();
  return std::make_shared<TimerImpl>(std::static_pointer_cast<QueueImpl>(std::move(queue)));
}

void DispatchTimerSource::setTimer(std::uint64_t startMonotonicNanoseconds, double intervalSeconds, double) {
  Clock::time_point start{std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(
      std::min<std::uint64_t>(startMonotonicNanoseconds, static_cast<std::uint64_t>(INT64_MAX / 2))))};
  impl(this)->setSchedule(false, start, {}, intervalSeconds);
}

void DispatchTimerSource::setTimerAfter(double delaySeconds, double intervalSeconds, double) {
  impl(this)->setSchedule(false, deadlineAfter(delaySeconds), {}, intervalSeconds);
}

void DispatchTimerSource::setTimerWallClock(Date start, double intervalSeconds, double) {
  impl(this)->setSchedule(true, {}, wallTimeOf(start), intervalSeconds);
}

void DispatchTimerSource::setEventHandler(DispatchBlock handler) {
  auto* self = impl(this);
  std::lock_guard lock(self->mutex);
  if (!self->cancelled) self->handler = std::move(handler);
}

void DispatchTimerSource::setCancelHandler(DispatchBlock handler) {
  auto* self = impl(this);
  std::lock_guard lock(self->mutex);
  if (!self->cancelled) self->cancelHandler = std::move(handler);
}

void DispatchTimerSource::suspend() {
  auto* self = impl(this);
  std::lock_guard lock(self->mutex);
  ++self->suspendCount;
  ++self->generation;
}

void DispatchTimerSource::resume() {
  auto* self = impl(this);
  std::lock_guard lock(self->mutex);
  if (self->suspendCount == 0) fatal("timer source resumed more often than suspended");
  if (--self->suspendCount > 0) return;
  if (self->cancelled) {
    self->submitCancelLocked();
    return;
  }
  if (!self->armed) return;
  ++self->generation;
  if (self->dueLocked()) {
    // Firings missed while suspended come as one run now.
    self->fireLocked();
    if (!self->advanceLocked()) return;
  }
  self->armLocked();
}

void DispatchTimerSource::cancel() {
  auto* self = impl(this);
  std::lock_guard lock(self->mutex);
  if (self->cancelled) return;
  self->cancelled = true;
  self->armed = false;
  ++self->generation;
  if (self->suspendCount == 0) self->submitCancelLocked();
}

bool DispatchTimerSource::isCancelled() const {
  auto* self = static_cast<const TimerImpl*>(this);
  std::lock_guard lock(self->mutex);
  return self->cancelled;
}

}  // namespace platform
