// The timer thread: one thread for the whole process that fires deadlines on the monotonic and the
// wall clock (after(), afterWallClock(), timer sources) and, while asked to, looks at the worker
// pool periodically for stalls.

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/dispatch/dispatch_internal.h"

namespace platform::detail {

namespace {

class TimerThread {
 public:
  TimerThread() {
    std::thread([this] { loop(); }).detach();
  }

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
  static void takeDue(std::vector<Entry<C>>& heap, typename C::time_point now,
                      std::vector<std::function<void()>>& due) {
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
      bool keep = poolCheckStalled();
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

TimerThread& timerThread() {
  // Never destroyed: blocks may be scheduled while the process exits.
  static TimerThread* instance = new TimerThread;
  return *instance;
}

}  // namespace

void timerAt(Clock::time_point when, std::function<void()> fn) { timerThread().at(when, std::move(fn)); }

void timerAtWall(WallClock::time_point when, std::function<void()> fn) { timerThread().atWall(when, std::move(fn)); }

void timerWatchPool() { timerThread().watchPool(); }

}  // namespace platform::detail
