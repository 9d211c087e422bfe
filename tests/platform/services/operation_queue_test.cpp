#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/dispatch/run_loop.h"
#include "platform/runtime/error.h"
#include "platform/runtime/kvo.h"
#include "platform/services/operation_queue.h"

namespace platform {
namespace {

constexpr double kLong = 20.0;

// Waits (off the main loop) until the condition holds or the seconds pass.
bool waitFor(const std::function<bool()>& condition, double seconds = kLong) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// An operation that finishes when told to, from any thread, as asynchronous operations do.
class ManualOperation : public Operation {
  ZORVEL_CLASS(ManualOperation, Operation)

 public:
  bool isAsynchronous() const override { return true; }
  bool isExecuting() const override { return executing_; }
  bool isFinished() const override { return finished_; }
  void start() override {
    if (isCancelled()) {
      willChangeValueForKey("isFinished");
      finished_ = true;
      didChangeValueForKey("isFinished");
      return;
    }
    willChangeValueForKey("isExecuting");
    executing_ = true;
    didChangeValueForKey("isExecuting");
    started = true;
  }
  void finish() {
    willChangeValueForKey("isFinished");
    willChangeValueForKey("isExecuting");
    executing_ = false;
    finished_ = true;
    didChangeValueForKey("isExecuting");
    didChangeValueForKey("isFinished");
  }
  std::atomic<bool> started{false};

 private:
  std::atomic<bool> executing_{false};
  std::atomic<bool> finished_{false};
};

class Recorder : public KeyValueObserver {
 public:
  void observeValueForKeyPath(std::string_view keyPath, Object&, const KeyValueChange& change, void*) override {
    std::lock_guard lock(mutex);
    seen.push_back(std::string(keyPath) + "=" + change.newValue.description());
  }
  std::vector<std::string> events() {
    std::lock_guard lock(mutex);
    return seen;
  }
  std::mutex mutex;
  std::vector<std::string> seen;
};

TEST(Operation, StartRunsMainAndAnnouncesExecutingThenFinished) {
  std::atomic<bool> ran{false};
  std::vector<int> blocks;
  auto op = BlockOperation::make([&] {
    ran = true;
    blocks.push_back(1);
  });
  op->addExecutionBlock([&] { blocks.push_back(2); });
  auto recorder = std::make_shared<Recorder>();
  op->addObserver(recorder, "isExecuting", ObserveNew);
  op->addObserver(recorder, "isFinished", ObserveNew);
  EXPECT_TRUE(op->isReady());
  op->start();
  EXPECT_TRUE(ran);
  EXPECT_EQ(blocks, (std::vector<int>{1, 2})) << "execution blocks run in the order added";
  EXPECT_TRUE(op->isFinished());
  EXPECT_FALSE(op->isExecuting());
  EXPECT_EQ(recorder->events(), (std::vector<std::string>{"isExecuting=1", "isExecuting=0", "isFinished=1"}));
  EXPECT_EQ(op->valueForKey("isFinished"), Value(true));
  EXPECT_THROW(op->addExecutionBlock([] {}), Exception);
  op->removeObserver(recorder.get(), "isExecuting");
  op->removeObserver(recorder.get(), "isFinished");
  try {
    op->start();
    FAIL() << "a second start must raise";
  } catch (const Exception& e) {
    EXPECT_EQ(e.name(), kInvalidArgumentException);
  }
}

TEST(Operation, CancelledOperationFinishesWithoutMainAndRunsItsCompletionBlock) {
  std::atomic<bool> ran{false}, completed{false};
  auto op = BlockOperation::make([&] { ran = true; });
  op->setCompletionBlock([&] { completed = true; });
  op->cancel();
  op->cancel();  // once is enough
  EXPECT_TRUE(op->isCancelled());
  op->start();
  EXPECT_TRUE(op->isFinished());
  EXPECT_FALSE(ran);
  EXPECT_TRUE(waitFor([&] { return completed.load(); }));
  EXPECT_FALSE(op->completionBlock()) << "the block is dropped after it ran";
}

TEST(Operation, DependenciesDecideReadinessAndRefuseCycles) {
  auto a = BlockOperation::make([] {});
  auto b = BlockOperation::make([] {});
  auto c = BlockOperation::make([] {});
  b->addDependency(a);
  c->addDependency(b);
  c->addDependency(b);
  EXPECT_EQ(c->dependencies().size(), 1u);
  EXPECT_FALSE(b->isReady());
  EXPECT_THROW(a->addDependency(c), Exception);
  EXPECT_THROW(a->addDependency(a), Exception);
  EXPECT_THROW(b->start(), Exception) << "not ready";
  a->start();
  EXPECT_TRUE(b->isReady());
  EXPECT_FALSE(c->isReady());
  c->cancel();
  EXPECT_TRUE(c->isReady()) << "a cancelled operation is ready whatever it waits for";
  c->removeDependency(b);
  EXPECT_TRUE(c->dependencies().empty());
}

TEST(Operation, AnExceptionFromMainStillFinishesTheOperation) {
  auto op = BlockOperation::make([] { throw std::runtime_error("boom"); });
  EXPECT_THROW(op->start(), std::runtime_error);
  EXPECT_TRUE(op->isFinished());
  EXPECT_FALSE(op->isExecuting());
}

TEST(OperationQueue, RunsOperationsAndWaitsUntilAllAreFinished) {
  auto queue = OperationQueue::create("test.queue");
  EXPECT_EQ(queue->name(), "test.queue");
  std::atomic<int> count{0};
  for (int i = 0; i < 200; ++i) queue->addOperationWithBlock([&] { ++count; });
  queue->waitUntilAllOperationsAreFinished();
  EXPECT_EQ(count.load(), 200);
  EXPECT_EQ(queue->operationCount(), 0u);
}

TEST(OperationQueue, NeverRunsMoreThanTheMaximumAtOnce) {
  for (long width : {1L, 3L}) {
    auto queue = OperationQueue::create();
    queue->setMaxConcurrentOperationCount(width);
    std::atomic<int> inside{0}, most{0};
    std::vector<int> order;
    std::mutex orderMutex;
    for (int i = 0; i < 40; ++i) {
      queue->addOperationWithBlock([&, i] {
        int now = ++inside;
        int seen = most.load();
        while (now > seen && !most.compare_exchange_weak(seen, now)) {
        }
        std::this_thread::sleep_for(std::chrono::microseconds(300));
        {
          std::lock_guard lock(orderMutex);
          order.push_back(i);
        }
        --inside;
      });
    }
    queue->waitUntilAllOperationsAreFinished();
    EXPECT_LE(most.load(), width);
    ASSERT_EQ(order.size(), 40u);
    if (width == 1) {
      for (int i = 0; i < 40; ++i) EXPECT_EQ(order[i], i) << "a width of one runs in the order added";
    }
  }
  EXPECT_THROW(OperationQueue::create()->setMaxConcurrentOperationCount(-2), Exception);
}

TEST(OperationQueue, SuspendedQueueStartsNothingUntilResumed) {
  auto queue = OperationQueue::create();
  queue->setSuspended(true);
  std::atomic<int> count{0};
  for (int i = 0; i < 5; ++i) queue->addOperationWithBlock([&] { ++count; });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(count.load(), 0);
  EXPECT_EQ(queue->operationCount(), 5u);
  queue->setSuspended(false);
  queue->waitUntilAllOperationsAreFinished();
  EXPECT_EQ(count.load(), 5);
}

TEST(OperationQueue, DependenciesAcrossQueuesOrderTheWork) {
  auto first = OperationQueue::create();
  auto second = OperationQueue::create();
  std::vector<int> order;
  std::mutex mutex;
  auto record = [&](int n) {
    return BlockOperation::make([&, n] {
      std::lock_guard lock(mutex);
      order.push_back(n);
    });
  };
  auto a = platform::make<ManualOperation>();
  auto b = record(2), c = record(3);
  b->addDependency(a);
  c->addDependency(b);
  second->addOperation(c);
  second->addOperation(b);
  first->addOperation(a);
  ASSERT_TRUE(waitFor([&] { return a->started.load(); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_TRUE(order.empty());
  EXPECT_EQ(second->operationCount(), 2u);
  a->finish();
  second->waitUntilAllOperationsAreFinished();
  first->waitUntilAllOperationsAreFinished();
  EXPECT_EQ(order, (std::vector<int>{2, 3}));
}

TEST(OperationQueue, AsynchronousOperationHoldsItsSlotUntilItAnnouncesFinished) {
  auto queue = OperationQueue::create();
  queue->setMaxConcurrentOperationCount(1);
  auto slow = platform::make<ManualOperation>();
  std::atomic<bool> next{false};
  queue->addOperation(slow);
  queue->addOperationWithBlock([&] { next = true; });
  ASSERT_TRUE(waitFor([&] { return slow->started.load(); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(next.load());
  // The queue drops a finished operation before the announcement returns.
  std::thread([&] { slow->finish(); }).join();
  auto left = queue->operations();
  EXPECT_EQ(std::find(left.begin(), left.end(), slow), left.end());
  queue->waitUntilAllOperationsAreFinished();
  EXPECT_TRUE(next.load());
}

TEST(OperationQueue, CancelAllOperationsFinishesWaitingOnesWithoutRunningThem) {
  auto queue = OperationQueue::create();
  queue->setMaxConcurrentOperationCount(1);
  auto running = platform::make<ManualOperation>();
  auto waiting = platform::make<ManualOperation>();
  auto dependent = platform::make<ManualOperation>();
  dependent->addDependency(running);
  queue->addOperation(running);
  queue->addOperation(waiting);
  queue->addOperation(dependent);
  ASSERT_TRUE(waitFor([&] { return running->started.load(); }));
  queue->cancelAllOperations();
  EXPECT_TRUE(running->isCancelled());
  running->finish();  // a running operation ends on its own terms
  queue->waitUntilAllOperationsAreFinished();
  EXPECT_FALSE(waiting->started.load());
  EXPECT_FALSE(dependent->started.load());
  EXPECT_TRUE(waiting->isFinished());
  EXPECT_TRUE(dependent->isFinished());
}

TEST(OperationQueue, RefusesAnOperationTwiceOrOnceFinished) {
  auto queue = OperationQueue::create();
  queue->setSuspended(true);
  auto op = BlockOperation::make([] {});
  queue->addOperation(op);
  EXPECT_THROW(queue->addOperation(op), Exception);
  EXPECT_THROW(OperationQueue::create()->addOperation(op), Exception);
  auto done = BlockOperation::make([] {});
  done->start();
  EXPECT_THROW(queue->addOperation(done), Exception);
  queue->setSuspended(false);
  queue->waitUntilAllOperationsAreFinished();
}

TEST(OperationQueue, HigherPriorityStartsFirst) {
  auto queue = OperationQueue::create();
  queue->setMaxConcurrentOperationCount(1);
  queue->setSuspended(true);
  std::vector<int> order;
  std::mutex mutex;
  for (auto [n, priority] : std::vector<std::pair<int, OperationQueuePriority>>{{1, OperationQueuePriority::Low},
                                                                                {2, OperationQueuePriority::Normal},
                                                                                {3, OperationQueuePriority::VeryHigh},
                                                                                {4, OperationQueuePriority::Normal}}) {
    auto op = BlockOperation::make([&, n = n] {
      std::lock_guard lock(mutex);
      order.push_back(n);
    });
    op->setQueuePriority(priority);
    queue->addOperation(op);
  }
  queue->setSuspended(false);
  queue->waitUntilAllOperationsAreFinished();
  EXPECT_EQ(order, (std::vector<int>{3, 2, 4, 1}));
}

TEST(OperationQueue, WaitingForOperationsAndCurrentQueue) {
  auto queue = OperationQueue::create();
  std::atomic<bool> onQueue{false};
  auto a = BlockOperation::make([&] { onQueue = OperationQueue::currentQueue() == queue; });
  auto b = BlockOperation::make([] {});
  queue->addOperations({a, b}, true);
  EXPECT_TRUE(a->isFinished());
  EXPECT_TRUE(b->isFinished());
  EXPECT_TRUE(onQueue.load());
  EXPECT_EQ(OperationQueue::currentQueue(), OperationQueue::mainQueue()) << "tests run on the main thread";
  std::thread([] { EXPECT_EQ(OperationQueue::currentQueue(), nullptr); }).join();
}

TEST(OperationQueue, AnnouncesOperationCountAndSuspension) {
  auto queue = OperationQueue::create();
  auto recorder = std::make_shared<Recorder>();
  queue->addObserver(recorder, "operationCount", ObserveNew);
  queue->addObserver(recorder, "isSuspended", ObserveNew);
  queue->setSuspended(true);
  queue->addOperationWithBlock([] {});
  queue->setSuspended(false);
  queue->waitUntilAllOperationsAreFinished();
  ASSERT_TRUE(waitFor([&] { return recorder->events().size() >= 4; }));
  EXPECT_EQ(recorder->events(),
            (std::vector<std::string>{"isSuspended=1", "operationCount=1", "isSuspended=0", "operationCount=0"}));
  queue->removeObserver(recorder.get(), "operationCount");
  queue->removeObserver(recorder.get(), "isSuspended");
}

TEST(OperationQueue, BusyQueueOutlivesItsLastOutsideReference) {
  std::atomic<int> count{0};
  auto gate = platform::make<ManualOperation>();
  std::weak_ptr<OperationQueue> weak;
  {
    auto queue = OperationQueue::create();
    queue->setMaxConcurrentOperationCount(1);
    queue->addOperation(gate);
    for (int i = 0; i < 3; ++i) queue->addOperationWithBlock([&] { ++count; });
    weak = queue;
  }
  ASSERT_TRUE(waitFor([&] { return gate->started.load(); }));
  EXPECT_FALSE(weak.expired());
  gate->finish();
  EXPECT_TRUE(waitFor([&] { return count.load() == 3 && weak.expired(); }));
}

TEST(OperationQueue, MainQueueRunsOperationsOnTheMainThreadOneAtATime) {
  auto main = OperationQueue::mainQueue();
  EXPECT_EQ(main->maxConcurrentOperationCount(), 1);
  main->setMaxConcurrentOperationCount(4);
  EXPECT_EQ(main->maxConcurrentOperationCount(), 1) << "the main queue stays serial";
  std::vector<int> order;  // touched on the main thread only
  bool allOnMain = true;
  for (int i = 0; i < 10; ++i) {
    main->addOperationWithBlock([&, i] {
      allOnMain = allOnMain && isMainThread() && OperationQueue::currentQueue() == OperationQueue::mainQueue();
      order.push_back(i);
    });
  }
  EXPECT_TRUE(order.empty()) << "nothing runs before the main loop does";
  ASSERT_TRUE(runMainLoopUntil([&] { return order.size() == 10; }, kLong));
  EXPECT_TRUE(allOnMain);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(order[i], i);
}

TEST(OperationQueue, ManyThreadsAddCancelAndWaitConcurrently) {
  auto queue = OperationQueue::create();
  queue->setMaxConcurrentOperationCount(4);
  std::atomic<int> ran{0}, finished{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      OperationPtr previous;
      for (int i = 0; i < 250; ++i) {
        auto op = BlockOperation::make([&] { ++ran; });
        op->setCompletionBlock([&] { ++finished; });
        if (previous && i % 3 == 0) op->addDependency(previous);
        queue->addOperation(op);
        if (i % 7 == t) op->cancel();
        previous = op;
      }
    });
  }
  std::thread suspender([&] {
    for (int i = 0; i < 50; ++i) {
      queue->setSuspended(i % 2 == 0);
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    queue->setSuspended(false);
  });
  for (auto& t : threads) t.join();
  suspender.join();
  queue->waitUntilAllOperationsAreFinished();
  EXPECT_TRUE(waitFor([&] { return finished.load() == 1000; }));
  EXPECT_LE(ran.load(), 1000);
  EXPECT_GT(ran.load(), 0);
}

}  // namespace
}  // namespace platform
