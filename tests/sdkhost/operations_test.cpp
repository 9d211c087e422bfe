#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/runtime/kvo.h"
#include "sdkhost/HBRAsyncOperation.h"

using namespace platform;

namespace {

// Finishes when told to, from any thread.
class ManualOperation : public HBRAsyncOperation {
  ZORVEL_CLASS(ManualOperation, HBRAsyncOperation)

 public:
  std::atomic<int> mainCalls{0};
  void main() override { ++mainCalls; }
};

class Recorder : public KeyValueObserver {
 public:
  void observeValueForKeyPath(std::string_view keyPath, Object&, const KeyValueChange& change, void*) override {
    std::lock_guard lock(mutex);
    seen.push_back(std::string(keyPath) + "=" + change.newValue.description());
  }
  std::mutex mutex;
  std::vector<std::string> seen;
};

std::shared_ptr<ManualOperation> manual() { return platform::make<ManualOperation>(); }

ErrorPtr failure(int code) { return Error::make("test", code); }

}  // namespace

TEST(HBRAsyncOperation, RunsThroughExecutingToFinishedWithAnnouncements) {
  auto op = manual();
  auto recorder = std::make_shared<Recorder>();
  op->addObserver(recorder, "isExecuting", ObserveNew);
  op->addObserver(recorder, "isFinished", ObserveNew);
  EXPECT_TRUE(op->isAsynchronous());
  EXPECT_TRUE(op->isConcurrent());
  op->start();
  EXPECT_EQ(op->mainCalls, 1);
  EXPECT_TRUE(op->isExecuting());
  EXPECT_FALSE(op->isFinished());
  ErrorPtr handed;
  int calls = 0;
  op->setAsyncCompletion([&](const ErrorPtr& e) {
    if (calls++ == 0) handed = e;
  });
  op->finishWithError(failure(7));
  op->finishWithError(nullptr);  // a second finish marks nothing again
  ASSERT_TRUE(handed);
  EXPECT_EQ(handed->code(), 7);
  EXPECT_EQ(calls, 2);
  EXPECT_FALSE(op->isExecuting());
  EXPECT_TRUE(op->isFinished());
  EXPECT_EQ(recorder->seen, (std::vector<std::string>{"isExecuting=1", "isExecuting=0", "isFinished=1"}));
  EXPECT_EQ(op->lockName(), "org.zorvel.sdk.ManualOperation-lock");
  op->removeObserver(recorder.get(), "isExecuting");
  op->removeObserver(recorder.get(), "isFinished");
}

TEST(HBRAsyncOperation, CancelledOperationFinishesWithoutMain) {
  auto op = manual();
  op->cancel();
  op->start();
  EXPECT_EQ(op->mainCalls, 0);
  EXPECT_TRUE(op->isFinished());
  auto plain = manual();
  plain->start();
  plain->finishWithError(nullptr);  // no completion set: still finished
  EXPECT_TRUE(plain->isFinished());
}

TEST(HBRAsyncOperation, QueueKeepsTheSlotUntilItFinishesOnAnotherThread) {
  auto queue = OperationQueue::create();
  queue->setMaxConcurrentOperationCount(1);
  auto first = manual();
  auto second = manual();
  queue->addOperation(first);
  queue->addOperation(second);
  for (int i = 0; i < 1000 && first->mainCalls == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_EQ(first->mainCalls, 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(second->mainCalls, 0);
  std::thread([&] { first->finishWithError(nullptr); }).join();
  for (int i = 0; i < 1000 && second->mainCalls == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(second->mainCalls, 1);
  second->finishWithError(nullptr);
  queue->waitUntilAllOperationsAreFinished();
}

TEST(HBRCompoundOperation, FinishesOnceAfterTheLastWithTheGatheredErrors) {
  auto a = manual(), b = manual(), c = manual();
  std::atomic<int> previousCompletions{0};
  b->setAsyncCompletion([&](const ErrorPtr&) { ++previousCompletions; });
  auto compound = HBRCompoundOperation::make({a, b, c});
  compound->setName("upload");
  std::atomic<int> finishes{0};
  ErrorPtr result;
  DispatchSemaphore done;
  compound->setAsyncCompletion([&](const ErrorPtr& e) {
    result = e;
    ++finishes;
    done.signal();
  });
  compound->start();
  for (auto& op : {a, b, c})
    for (int i = 0; i < 1000 && op->mainCalls == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::thread t1([&] { a->finishWithError(nullptr); });
  std::thread t2([&] { b->finishWithError(failure(5)); });
  t1.join();
  t2.join();
  EXPECT_FALSE(done.wait(0.05));  // two of three
  c->finishWithError(nullptr);
  ASSERT_TRUE(done.wait(10));
  compound->waitUntilFinished();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // any late completion block
  EXPECT_EQ(finishes, 1);
  EXPECT_EQ(previousCompletions, 1);
  ASSERT_TRUE(result);
  EXPECT_EQ(result->domain(), "org.zorvel.sdk.HBRCompoundOperation.error");
  EXPECT_EQ(result->code(), kHBRCompoundOperationFailedError);
  const Value& underlying =
      result->userInfo()["org.zorvel.sdk.HBRCompoundOperation.error.user-info-key.underlying-errors"];
  ASSERT_EQ(underlying.count(), 1u);
  EXPECT_EQ(underlying[0].as<Error>()->code(), 5);
  EXPECT_EQ(compound->completedOperations(), 2u);
  EXPECT_TRUE(compound->isFinished());
}

TEST(HBRCompoundOperation, AllSucceedingFinishesWithoutError) {
  std::vector<std::shared_ptr<HBRAsyncOperation>> ops;
  for (int i = 0; i < 5; ++i) ops.push_back(manual());
  auto compound = HBRCompoundOperation::make(ops);
  DispatchSemaphore done;
  ErrorPtr result = failure(1);
  compound->setAsyncCompletion([&](const ErrorPtr& e) {
    result = e;
    done.signal();
  });
  auto queue = OperationQueue::create();
  queue->addOperation(compound);
  for (auto& op : ops) {
    auto m = std::static_pointer_cast<ManualOperation>(op);
    for (int i = 0; i < 1000 && m->mainCalls == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::thread([m] { m->finishWithError(nullptr); }).detach();
  }
  ASSERT_TRUE(done.wait(10));
  EXPECT_FALSE(result);
  queue->waitUntilAllOperationsAreFinished();
}

TEST(HBRCompoundOperation, WithoutOperationsNeverFinishesByItself) {
  auto compound = HBRCompoundOperation::make({});
  compound->start();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(compound->isFinished());
  EXPECT_TRUE(compound->isExecuting());
  compound->finishWithError(nullptr);
}

TEST(HBRCompoundOperation, CancellingARunningCompoundFinishesWithTheCancellationError) {
  auto a = manual(), b = manual();
  auto compound = HBRCompoundOperation::make({a, b});
  compound->setName("batch");
  std::atomic<int> finishes{0};
  ErrorPtr result;
  DispatchSemaphore done;
  compound->setAsyncCompletion([&](const ErrorPtr& e) {
    result = e;
    ++finishes;
    done.signal();
  });
  compound->start();
  for (auto& op : {a, b})
    for (int i = 0; i < 1000 && op->mainCalls == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  compound->cancel();
  ASSERT_TRUE(done.wait(10));
  EXPECT_EQ(result->code(), kHBRCompoundOperationCancelledError);
  EXPECT_EQ(result->localizedDescription(), "batch cancelled");
  EXPECT_TRUE(a->isCancelled());
  a->finishWithError(nullptr);  // late completions call nothing
  b->finishWithError(nullptr);
  compound->compoundQueue()->waitUntilAllOperationsAreFinished();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(finishes, 1);
}

TEST(HBRCompoundOperation, CancellingBeforeStartCancelsEveryOperation) {
  auto a = manual(), b = manual();
  auto compound = HBRCompoundOperation::make({a, b});
  compound->cancel();
  compound->cancel();  // the operations join the queue once
  compound->compoundQueue()->waitUntilAllOperationsAreFinished();
  EXPECT_TRUE(a->isFinished());
  EXPECT_TRUE(b->isFinished());
  EXPECT_EQ(a->mainCalls + b->mainCalls, 0);
  compound->start();
  EXPECT_TRUE(compound->isFinished());
}
