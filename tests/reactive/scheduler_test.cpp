#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/dispatch/run_loop.h"
#include "reactive/RFScheduler.h"

namespace {

using platform::Date;

// Waits (on a background semaphore) for work on other threads.
bool waitFor(platform::DispatchSemaphore& semaphore) { return semaphore.wait(10); }

TEST(CurrentScheduler, MainThreadFallsBackToTheMainThreadScheduler) {
  ASSERT_TRUE(platform::isMainThread());
  EXPECT_EQ(RFScheduler::currentScheduler(), RFScheduler::mainThreadScheduler());
  RFSchedulerPtr onThread = RFScheduler::mainThreadScheduler();
  std::thread([&] { onThread = RFScheduler::currentScheduler(); }).join();
  EXPECT_EQ(onThread, nullptr);
}

TEST(CurrentScheduler, IsTheRunningSchedulerAndIsRestoredAfterwards) {
  auto outer = RFTestScheduler::create();
  auto inner = RFTestScheduler::create();
  RFSchedulerPtr seenOuter, seenInner, seenAfter;
  outer->performAsCurrentScheduler([&] {
    seenOuter = RFScheduler::currentScheduler();
    inner->performAsCurrentScheduler([&] { seenInner = RFScheduler::currentScheduler(); });
    seenAfter = RFScheduler::currentScheduler();
  });
  EXPECT_EQ(seenOuter, outer);
  EXPECT_EQ(seenInner, inner);
  EXPECT_EQ(seenAfter, outer);
  EXPECT_EQ(RFScheduler::currentScheduler(), RFScheduler::mainThreadScheduler());
  // Off the main thread nothing is left behind.
  RFSchedulerPtr leftOver = outer;
  std::thread([&] {
    inner->performAsCurrentScheduler([] {});
    leftOver = RFScheduler::currentScheduler();
  }).join();
  EXPECT_EQ(leftOver, nullptr);
}

TEST(QueueScheduler, RunsBlocksInOrderAsTheCurrentScheduler) {
  RFSchedulerPtr scheduler = RFScheduler::scheduler();
  std::vector<int> order;
  std::vector<RFSchedulerPtr> current;
  platform::DispatchSemaphore done;
  for (int i = 0; i < 20; ++i)
    scheduler->schedule([&, i] {
      order.push_back(i);
      current.push_back(RFScheduler::currentScheduler());
      if (i == 19) done.signal();
    });
  ASSERT_TRUE(waitFor(done));
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(order[i], i);
    EXPECT_EQ(current[i], scheduler);
  }
}

TEST(QueueScheduler, DisposedBlockNeverRuns) {
  auto queue = platform::DispatchQueue::createSerial("test.cancel");
  RFSchedulerPtr scheduler = RFScheduler::schedulerWithQueue(queue, "test");
  platform::DispatchSemaphore gate, done;
  std::atomic<bool> ran{false};
  scheduler->schedule([&] { gate.wait(); });
  scheduler->schedule([&] { ran = true; })->dispose();
  scheduler->schedule([&] { done.signal(); });
  gate.signal();
  ASSERT_TRUE(waitFor(done));
  EXPECT_FALSE(ran.load());
}

TEST(QueueScheduler, EachCallMakesANewSchedulerWithItsOwnQueue) {
  auto a = std::static_pointer_cast<RFQueueScheduler>(RFScheduler::scheduler());
  auto b = std::static_pointer_cast<RFQueueScheduler>(RFScheduler::scheduler());
  EXPECT_NE(a, b);
  EXPECT_NE(a->queue(), b->queue());
  EXPECT_EQ(a->name(), "com.zorvel.reactive.RFScheduler.backgroundScheduler");
  EXPECT_EQ(a->queue()->label(), a->name());
}

TEST(QueueScheduler, NegativeDelayRunsSoon) {
  RFSchedulerPtr scheduler = RFScheduler::scheduler();
  platform::DispatchSemaphore done;
  scheduler->afterDelay(-5, [&] { done.signal(); });
  EXPECT_TRUE(waitFor(done));
}

TEST(QueueScheduler, RecursiveReschedulesRunAfterTheBlockReturns) {
  RFSchedulerPtr scheduler = RFScheduler::scheduler();
  std::mutex m;
  std::vector<std::string> log;
  std::atomic<int> runs{0};
  platform::DispatchSemaphore done;
  scheduler->scheduleRecursiveBlock([&](const std::function<void()>& reschedule) {
    int run = runs.fetch_add(1);
    {
      std::lock_guard g(m);
      log.push_back("start " + std::to_string(run));
    }
    if (run == 0) {
      reschedule();
      reschedule();
      reschedule();
    }
    {
      std::lock_guard g(m);
      log.push_back("end " + std::to_string(run));
    }
    if (run == 3) done.signal();
  });
  ASSERT_TRUE(waitFor(done));
  std::lock_guard g(m);
  ASSERT_EQ(log.size(), 8u);
  EXPECT_EQ(log[0], "start 0");
  EXPECT_EQ(log[1], "end 0");  // no nesting
  EXPECT_EQ(runs.load(), 4);
}

TEST(TestScheduler, RecursionStopsWhenDisposed) {
  auto scheduler = RFTestScheduler::create();
  int runs = 0;
  RFDisposablePtr d = scheduler->scheduleRecursiveBlock([&](const std::function<void()>& reschedule) {
    ++runs;
    reschedule();
  });
  scheduler->step(3);
  EXPECT_EQ(runs, 3);
  d->dispose();
  scheduler->stepAll();
  EXPECT_EQ(runs, 3);
}

TEST(ImmediateScheduler, RecursionIteratesWithoutNesting) {
  int depth = 0, maxDepth = 0, runs = 0;
  RFDisposablePtr d =
      RFScheduler::immediateScheduler()->scheduleRecursiveBlock([&](const std::function<void()>& reschedule) {
        ++depth;
        maxDepth = std::max(maxDepth, depth);
        ++runs;
        if (runs == 1) {
          reschedule();
          reschedule();
        } else if (runs < 10000 && runs > 2) {
          reschedule();
        }
        --depth;
      });
  EXPECT_EQ(d, nullptr);
  EXPECT_EQ(maxDepth, 1);
  EXPECT_EQ(runs, 10000);
}

TEST(ImmediateScheduler, RunsAtOnceAndCannotRepeat) {
  bool ran = false;
  EXPECT_EQ(RFScheduler::immediateScheduler()->schedule([&] { ran = true; }), nullptr);
  EXPECT_TRUE(ran);
  EXPECT_EQ(RFScheduler::immediateScheduler()->afterRepeatingEvery(Date::now(), 1, 0, [] {}), nullptr);
}

TEST(SubscriptionScheduler, RunsInlineWhereThereIsACurrentScheduler) {
  bool ran = false;
  EXPECT_EQ(RFScheduler::subscriptionScheduler()->schedule([&] { ran = true; }), nullptr);
  EXPECT_TRUE(ran);

  // On a bare thread: later, on the background scheduler.
  platform::DispatchSemaphore done;
  std::thread::id callerThread, runThread;
  RFDisposablePtr d;
  std::thread([&] {
    callerThread = std::this_thread::get_id();
    d = RFScheduler::subscriptionScheduler()->schedule([&] {
      runThread = std::this_thread::get_id();
      done.signal();
    });
  }).join();
  ASSERT_TRUE(waitFor(done));
  EXPECT_NE(d, nullptr);
  EXPECT_NE(runThread, callerThread);

  // Inside any scheduler's block: inline again.
  auto test = RFTestScheduler::create();
  bool inlineInBlock = false;
  std::thread([&] {
    test->performAsCurrentScheduler(
        [&] { RFScheduler::subscriptionScheduler()->schedule([&] { inlineInBlock = true; }); });
  }).join();
  EXPECT_TRUE(inlineInBlock);
}

TEST(MainThreadScheduler, RunsOnTheMainThreadInOrder) {
  std::vector<int> order;
  std::atomic<bool> offMain{false};
  std::thread([&] {
    for (int i = 0; i < 5; ++i)
      RFScheduler::mainThreadScheduler()->schedule([&, i] {
        if (!platform::isMainThread()) offMain = true;
        order.push_back(i);
      });
  }).join();
  ASSERT_TRUE(platform::runMainLoopUntil([&] { return order.size() == 5; }, 10));
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
  EXPECT_FALSE(offMain.load());
}

TEST(TestScheduler, OrdersDirectAndDatedBlocksByVirtualTime) {
  auto scheduler = RFTestScheduler::create();
  std::vector<std::string> log;
  scheduler->schedule([&] { log.push_back("a"); });
  scheduler->after(Date::now(), [&] { log.push_back("today"); });
  scheduler->schedule([&] { log.push_back("b"); });
  scheduler->after(Date::fromTimeIntervalSince1970(946684800), [&] { log.push_back("2000"); });  // 2000-01-01
  scheduler->schedule([&] { log.push_back("c"); });
  EXPECT_EQ(scheduler->numberOfDirectlyScheduledBlocks(), 3u);
  scheduler->step(0);
  EXPECT_TRUE(log.empty());
  scheduler->stepAll();
  EXPECT_EQ(log, (std::vector<std::string>{"2000", "a", "b", "c", "today"}));
}

TEST(TestScheduler, CancelledActionsAreDroppedButCountAsSteps) {
  auto scheduler = RFTestScheduler::create();
  std::vector<int> log;
  scheduler->schedule([&] { log.push_back(1); })->dispose();
  scheduler->schedule([&] { log.push_back(2); });
  scheduler->step();
  EXPECT_TRUE(log.empty());
  scheduler->step();
  EXPECT_EQ(log, (std::vector<int>{2}));
}

TEST(TestScheduler, RepeatingActionFiresOncePerStepUntilDisposed) {
  auto scheduler = RFTestScheduler::create();
  Date start(1000);
  std::vector<double> fired;
  RFDisposablePtr d = scheduler->afterRepeatingEvery(start, 10, 1, [&] { fired.push_back(0); });
  // Dates: record through a dated marker instead of wall time.
  std::vector<std::string> log;
  scheduler->after(Date(1015), [&] { log.push_back("at 1015 after " + std::to_string(fired.size())); });
  scheduler->step();
  scheduler->step();
  scheduler->step();  // the marker at 1015 runs between the 1010 and 1020 firings
  scheduler->step();
  EXPECT_EQ(fired.size(), 3u);
  EXPECT_EQ(log, (std::vector<std::string>{"at 1015 after 2"}));
  d->dispose();
  scheduler->stepAll();
  EXPECT_EQ(fired.size(), 3u);
}

TEST(TestScheduler, BlocksScheduledWhileSteppingRunInTheSameStepAll) {
  auto scheduler = RFTestScheduler::create();
  std::vector<int> log;
  scheduler->schedule([&] {
    log.push_back(1);
    scheduler->schedule([&] { log.push_back(2); });
  });
  scheduler->stepAll();
  EXPECT_EQ(log, (std::vector<int>{1, 2}));
}

TEST(TestScheduler, PendingBlocksRunWhenTheSchedulerGoesAway) {
  bool ran = false;
  {
    auto scheduler = RFTestScheduler::create();
    scheduler->schedule([&] { ran = true; });
    scheduler->afterRepeatingEvery(Date(5), 1, 0, [] {});
  }
  EXPECT_TRUE(ran);
}

TEST(TestScheduler, ItsCurrentDateIsTheDateOfTheBlockItRuns) {
  auto scheduler = RFTestScheduler::create();
  Date made = scheduler->currentDate();
  EXPECT_LT(std::abs(made.timeIntervalSinceNow()), 60);  // the wall clock until a block runs
  Date base = made.addingTimeInterval(1000);
  std::vector<std::string> log;
  scheduler->after(base, [&] {
    log.push_back("at base");
    EXPECT_EQ(scheduler->currentDate(), base);
    // Delays count from the running block's date, in virtual time.
    scheduler->afterDelay(5, [&] {
      log.push_back("base + 5");
      EXPECT_EQ(scheduler->currentDate(), base.addingTimeInterval(5));
      // A directly scheduled block is dated in 2001, but time does not go back.
      scheduler->schedule([&] {
        log.push_back("direct");
        EXPECT_EQ(scheduler->currentDate(), base.addingTimeInterval(5));
      });
    });
  });
  scheduler->after(base.addingTimeInterval(6), [&] { log.push_back("base + 6"); });
  scheduler->stepAll();
  EXPECT_EQ(log, (std::vector<std::string>{"at base", "base + 5", "direct", "base + 6"}));
}

TEST(Schedulers, DisposingAScheduledBlockLetsGoOfWhatItCaptured) {
  auto queue = RFScheduler::scheduler();
  auto test = RFTestScheduler::create();
  for (const RFSchedulerPtr& scheduler : {queue, RFSchedulerPtr(test)}) {
    auto token = std::make_shared<int>(0);
    std::weak_ptr<int> watch = token;
    RFDisposablePtr later = scheduler->afterDelay(1000, [token] {});
    RFDisposablePtr soon = scheduler->after(Date::now().addingTimeInterval(500), [token] {});
    token.reset();
    EXPECT_FALSE(watch.expired());
    later->dispose();
    soon->dispose();
    EXPECT_TRUE(watch.expired()) << scheduler->name();
  }
  EXPECT_EQ(test->pendingCount(), 2u);  // still queued, with nothing in them
  test->stepAll();
  EXPECT_EQ(test->pendingCount(), 0u);
}

TEST(Scheduler, DescriptionsAndNames) {
  EXPECT_EQ(RFScheduler::immediateScheduler()->name(), "com.zorvel.reactive.RFScheduler.immediateScheduler");
  EXPECT_EQ(RFScheduler::mainThreadScheduler()->name(), "com.zorvel.reactive.RFScheduler.mainThreadScheduler");
  EXPECT_EQ(RFScheduler::subscriptionScheduler()->name(), "com.zorvel.reactive.RFScheduler.subscriptionScheduler");
  auto anonymous = RFScheduler::schedulerWithQueue(platform::DispatchQueue::createSerial("q.label"), "");
  EXPECT_EQ(anonymous->name(), "com.zorvel.reactive.RFTargetQueueScheduler(q.label)");
  EXPECT_NE(anonymous->description().find("RFTargetQueueScheduler: 0x"), std::string::npos);
}

}  // namespace
