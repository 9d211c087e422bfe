// The worker pool behind the global queues: up to one worker per processor, more (up to 64) when
// work waits and every worker has stopped making progress; idle workers leave after 5 seconds.
// New work wakes the worker that went idle last: it is likeliest to be warm on its processor, and
// under light load the same few workers serve while the others time out.

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/dispatch/dispatch_internal.h"
#include "platform/system/diagnostics.h"

namespace platform::detail {

namespace {

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
      if (!idle_.empty()) {
        wakeLocked(*idle_.back());
        idle_.pop_back();
      } else if (threads_ < softCap_) {
        ++threads_;
        spawn = true;
      } else if (!watched_) {
        watched_ = true;
        poke = true;
      }
    }
    if (spawn) startWorker();
    if (poke) timerWatchPool();
  }

  // When no block has started since the last look, the workers are stuck (typically waiting for
  // queued work), so add one.
  bool checkStalled() {
    bool spawn = false;
    {
      std::lock_guard lock(mutex_);
      if (pending_ == 0) {
        watched_ = false;
        return false;
      }
      if (progress_ == lastSeenProgress_) {
        if (!idle_.empty()) {
          for (Idle* idle : idle_) wakeLocked(*idle);
          idle_.clear();
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

  // A worker waiting for work; on `idle_` until woken.
  struct Idle {
    std::condition_variable cv;
    bool woken = false;
  };

  // With the lock held; the caller takes `idle` off `idle_`.
  static void wakeLocked(Idle& idle) {
    idle.woken = true;
    idle.cv.notify_one();
  }

  void startWorker() {
    try {
      std::thread([this] { workerLoop(); }).detach();
    } catch (const std::exception& e) {
      ZORVEL_DIAGNOSTIC_ERROR(std::string("dispatch: cannot start a worker thread: ") + e.what());
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
      Idle idle;
      idle_.push_back(&idle);
      if (!idle.cv.wait_for(lock, kIdleExit, [&] { return idle.woken; })) {
        idle_.erase(std::find(idle_.begin(), idle_.end(), &idle));
        if (pending_ == 0) {
          --threads_;
          return;
        }
      }
    }
  }

  std::mutex mutex_;
  std::deque<Task> queues_[4];
  std::size_t pending_ = 0;
  int threads_ = 0;
  std::vector<Idle*> idle_;  // waiting workers, the one that went idle last at the back
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

}  // namespace

void poolPush(QueueImpl* root, Item item) { pool().push(root, std::move(item)); }

bool poolCheckStalled() { return pool().checkStalled(); }

}  // namespace platform::detail
