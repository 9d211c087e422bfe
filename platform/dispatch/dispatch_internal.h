#pragma once

#ifndef ZORVEL_INTERNAL_platform
#error "platform/dispatch_internal.h is internal to the platform layer"
#endif

// Internal to the dispatch layer (dispatch_*.cpp): the queue implementation behind DispatchQueue,
// the worker pool behind the global queues, the timer thread, and the per-thread record of which
// queues the calling thread is running. Not for use elsewhere.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/dispatch/dispatch.h"

namespace platform::detail {

using Clock = std::chrono::steady_clock;
using WallClock = std::chrono::system_clock;

// Waits further away than this (about 31 years) count as "forever".
inline constexpr double kFarAwaySeconds = 1e9;

// Logs "dispatch: <message>" and aborts: misuse that cannot be answered otherwise.
[[noreturn]] void dispatchFatal(const std::string& message);

// The monotonic deadline the seconds from now (now for <= 0 or not-a-number; far away is capped).
Clock::time_point deadlineAfter(double seconds);
// The wall-clock time of the date (clamped to about 31 years from now).
WallClock::time_point wallTimeOf(Date date);

// A synchronous submission that had to wait for its turn (dispatch_queue.cpp).
struct SyncState;

struct Item {
  DispatchBlock block;
  bool barrier = false;
  // A synchronous caller's turn on a serial queue. A drain on the worker pool hands the queue over
  // to the caller, who runs its block on its own thread and then releases the queue, instead of
  // running `block`, which serves the caller while this thread holds the queue and waits.
  std::shared_ptr<SyncState> sync = nullptr;
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

enum class QueueKind { Serial, Concurrent, Global, Main };

class QueueImpl;

// The queues whose blocks the calling thread is running, innermost first.
struct Frame {
  QueueImpl* queue;
  Frame* outer;
};
extern thread_local Frame* tCurrentFrame;

class FrameScope {
 public:
  explicit FrameScope(QueueImpl* queue) : frame_{queue, tCurrentFrame} { tCurrentFrame = &frame_; }
  ~FrameScope() { tCurrentFrame = frame_.outer; }
  FrameScope(const FrameScope&) = delete;
  FrameScope& operator=(const FrameScope&) = delete;

 private:
  Frame frame_;
};

// Every queue: serial, concurrent, global (a door into the worker pool) or the main queue.
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
  std::vector<Item> spare;                    // the drainer's batch buffer, kept for its capacity
  bool scheduled = false;                     // serial: a drain is queued or running, or a sync holds the queue
  bool drainPending = false;                  // serial: a drain is queued on the target and has not started
  std::uint64_t drainTicket = 0;              // serial: the queued drain's number; older ones find nothing to do
  std::atomic<std::uint64_t> submissions{0};  // serial: counts submissions, read without the lock
  int running = 0;                            // concurrent: blocks started and not finished
  bool barrierRunning = false;
  std::atomic<int> suspendCount{0};

  std::shared_ptr<QueueImpl> self() { return std::static_pointer_cast<QueueImpl>(shared_from_this()); }
  QueueImpl* next() const { return targetRaw.load(std::memory_order_acquire); }

  void assignTarget(DispatchQueuePtr target);
  void* specific(const void* key) const;

  void submit(Item item);
  void runItem(Item& item);
  bool tryAcquire(bool barrier);
  // Serial queues draining on the pool: takes the queue from a drain that is queued but has not
  // started (true), so that the calling thread runs the queue's work itself; release() afterwards.
  bool tryTakeQueuedDrain();
  // With the queue taken: runs what is queued now on the calling thread; false when a block
  // suspended the queue (the rest stays queued).
  bool runQueuedHere();
  void release(bool barrier);
  void doSuspend();
  void doResume();
  // Main queue only (dispatch_main_queue.cpp): whether a drain has work, and one drain.
  bool mainReady();
  void drainMain();
  // Runs the items in order. With `handOver` (a serial queue's drain on the pool), a synchronous
  // caller's turn ends the run before it: the items from there on go back to the front of the
  // queue, and the caller's state comes back through `handOver` for the drain to hand the queue to.
  void runBatch(std::vector<Item>& batch, std::shared_ptr<SyncState>* handOver = nullptr);

 private:
  void scheduleDrain();
  void drainSerial(std::uint64_t ticket);
  void lingerForWork();
  void pumpLocked(std::vector<Item>& ready);
  void forward(std::vector<Item>& ready);
  void finishConcurrent(bool barrier);
};

inline QueueImpl* impl(DispatchQueue* queue) { return static_cast<QueueImpl*>(queue); }
inline const QueueImpl* impl(const DispatchQueue* queue) { return static_cast<const QueueImpl*>(queue); }

// The main queue once made (null before DispatchQueue::main() first ran), for the main loop source.
extern std::atomic<QueueImpl*> gMainQueue;
// Makes the main loop look at the main queue again (it may sleep in poll).
void wakeMainLoop();

// The queue whose block the calling thread runs; the main queue on the main thread outside any
// block; else null.
QueueImpl* currentOrMainQueue();

// The worker pool behind the global queues (dispatch_worker_pool.cpp).
// Queues the item on the pool at the root's priority.
void poolPush(QueueImpl* root, Item item);
// Called by the timer thread while work waits and no worker is free: adds a worker when no block
// started since the last look. Returns whether to keep watching.
bool poolCheckStalled();

// The timer thread (dispatch_timer_thread.cpp): fires deadlines and watches the pool for stalls.
void timerAt(Clock::time_point when, std::function<void()> fn);
void timerAtWall(WallClock::time_point when, std::function<void()> fn);
// Starts (or keeps) the periodic look at the pool (poolCheckStalled) while it asks for it.
void timerWatchPool();

}  // namespace platform::detail
