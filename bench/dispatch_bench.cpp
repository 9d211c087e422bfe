// Serial-queue throughput and sync latency against the simplest alternative: one worker thread
// fed through a std::mutex + std::condition_variable queue of std::function.

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "bench/support/compare.h"
#include "platform/dispatch/dispatch.h"

namespace {

constexpr int kBlocks = 10000;

class MutexWorker {
 public:
  MutexWorker() : thread_([this] { run(); }) {}
  ~MutexWorker() {
    post(nullptr);
    thread_.join();
  }

  void post(std::function<void()> block) {
    {
      std::lock_guard lock(mutex_);
      queue_.push_back(std::move(block));
    }
    cv_.notify_one();
  }

  // Runs the block on the worker and waits for it.
  void call(const std::function<void()>& block) {
    std::mutex doneMutex;
    std::condition_variable doneCv;
    bool done = false;
    post([&] {
      block();
      std::lock_guard lock(doneMutex);
      done = true;
      doneCv.notify_one();
    });
    std::unique_lock lock(doneMutex);
    doneCv.wait(lock, [&] { return done; });
  }

 private:
  void run() {
    for (;;) {
      std::function<void()> block;
      {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [&] { return !queue_.empty(); });
        block = std::move(queue_.front());
        queue_.pop_front();
      }
      if (!block) return;
      block();
    }
  }

  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> queue_;
  std::thread thread_;
};

void BM_SerialQueueAsync(benchmark::State& state) {
  auto queue = platform::DispatchQueue::createSerial("bench.serial");
  long counter = 0;
  for (auto _ : state) {
    platform::DispatchSemaphore done(0);
    for (int i = 0; i < kBlocks - 1; ++i) queue->async([&counter] { ++counter; });
    queue->async([&] {
      ++counter;
      done.signal();
    });
    done.wait();
  }
  benchmark::DoNotOptimize(counter);
  state.SetItemsProcessed(state.iterations() * kBlocks);
}
BENCHMARK(BM_SerialQueueAsync)->UseRealTime();

void BM_MutexWorkerAsync(benchmark::State& state) {
  MutexWorker worker;
  long counter = 0;
  for (auto _ : state) {
    platform::DispatchSemaphore done(0);
    for (int i = 0; i < kBlocks - 1; ++i) worker.post([&counter] { ++counter; });
    worker.post([&] {
      ++counter;
      done.signal();
    });
    done.wait();
  }
  benchmark::DoNotOptimize(counter);
  state.SetItemsProcessed(state.iterations() * kBlocks);
}
BENCHMARK(BM_MutexWorkerAsync)->UseRealTime();

void BM_SerialQueueSync(benchmark::State& state) {
  auto queue = platform::DispatchQueue::createSerial("bench.sync");
  long counter = 0;
  for (auto _ : state) queue->sync([&] { ++counter; });
  benchmark::DoNotOptimize(counter);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SerialQueueSync)->UseRealTime();

// Sync onto a queue that is busy with other work, so the caller has to wait its turn.
void BM_SerialQueueSyncContended(benchmark::State& state) {
  auto queue = platform::DispatchQueue::createSerial("bench.sync.busy");
  long counter = 0;
  for (auto _ : state) {
    queue->async([&] { ++counter; });
    queue->sync([&] { ++counter; });
  }
  benchmark::DoNotOptimize(counter);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SerialQueueSyncContended)->UseRealTime();

void BM_MutexWorkerSync(benchmark::State& state) {
  MutexWorker worker;
  long counter = 0;
  for (auto _ : state) worker.call([&] { ++counter; });
  benchmark::DoNotOptimize(counter);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MutexWorkerSync)->UseRealTime();

// The same handoff to a busy worker: a block queued ahead of the call.
void BM_MutexWorkerSyncContended(benchmark::State& state) {
  MutexWorker worker;
  long counter = 0;
  for (auto _ : state) {
    worker.post([&] { ++counter; });
    worker.call([&] { ++counter; });
  }
  benchmark::DoNotOptimize(counter);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MutexWorkerSyncContended)->UseRealTime();

// The same two handoffs made from a thread other than the main one, as the store's connections
// make them (the main thread never runs other queues' work, so there a sync always waits for the
// queue's worker). Each iteration is a batch of calls on a fresh thread.
constexpr int kOffMainCalls = 1000;

template <class Call>
void runOffMain(benchmark::State& state, Call&& call) {
  for (auto _ : state) {
    std::thread thread([&] {
      for (int i = 0; i < kOffMainCalls; ++i) call();
    });
    thread.join();
  }
  state.SetItemsProcessed(state.iterations() * kOffMainCalls);
}

void BM_SerialQueueSyncContendedOffMain(benchmark::State& state) {
  auto queue = platform::DispatchQueue::createSerial("bench.sync.busy.offmain");
  long counter = 0;
  runOffMain(state, [&] {
    queue->async([&] { ++counter; });
    queue->sync([&] { ++counter; });
  });
  benchmark::DoNotOptimize(counter);
}
BENCHMARK(BM_SerialQueueSyncContendedOffMain)->UseRealTime();

void BM_MutexWorkerSyncContendedOffMain(benchmark::State& state) {
  MutexWorker worker;
  long counter = 0;
  runOffMain(state, [&] {
    worker.post([&] { ++counter; });
    worker.call([&] { ++counter; });
  });
  benchmark::DoNotOptimize(counter);
}
BENCHMARK(BM_MutexWorkerSyncContendedOffMain)->UseRealTime();

}  // namespace

ZORVEL_BENCH_MAIN({{"BM_SerialQueueAsync/real_time", "BM_MutexWorkerAsync/real_time", 1.0},
                   {"BM_SerialQueueSync/real_time", "BM_MutexWorkerSync/real_time", 0},
                   {"BM_SerialQueueSyncContended/real_time", "BM_MutexWorkerSyncContended/real_time", 1.0},
                   {"BM_SerialQueueSyncContendedOffMain/real_time", "BM_MutexWorkerSyncContendedOffMain/real_time",
                    1.0}})
