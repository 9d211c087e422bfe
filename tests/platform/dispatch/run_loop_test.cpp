#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/dispatch/run_loop.h"
#include "platform/runtime/thread.h"

namespace platform {
namespace {

constexpr double kLong = 20.0;

TEST(MainQueue, BlocksRunOnlyWhileTheMainLoopRunsAndOnTheMainThread) {
  auto main = DispatchQueue::main();
  EXPECT_EQ(main->label(), "com.apple.main-thread");
  EXPECT_TRUE(main->isMain());
  EXPECT_TRUE(main->isSerial());
  std::atomic<int> ran{0};
  std::atomic<bool> allOnMain{true};
  std::vector<int> order;
  auto post = [&](int i) {
    main->async([&, i] {
      if (!isMainThread() || DispatchQueue::currentQueueLabel() != "com.apple.main-thread") allOnMain = false;
      order.push_back(i);
      ++ran;
    });
  };
  post(0);
  std::thread([&] {
    for (int i = 1; i <= 50; ++i) post(i);
  }).join();
  sleepFor(0.05);
  EXPECT_EQ(ran.load(), 0);  // nobody runs the main loop yet
  EXPECT_TRUE(runMainLoopUntil([&] { return ran.load() == 51; }, kLong));
  EXPECT_TRUE(allOnMain);
  for (int i = 0; i <= 50; ++i) EXPECT_EQ(order[i], i);
}

TEST(MainQueue, SyncFromAnotherThreadRunsOnTheMainThread) {
  std::atomic<bool> done{false};
  bool onMain = false;
  std::thread other([&] {
    DispatchQueue::main()->sync([&] { onMain = isMainThread(); });
    done = true;
  });
  EXPECT_TRUE(runMainLoopUntil([&] { return done.load(); }, kLong));
  other.join();
  EXPECT_TRUE(onMain);
  // From the main thread itself, outside any block, it runs at once.
  bool ranInline = false;
  DispatchQueue::main()->sync([&] { ranInline = isMainThread(); });
  EXPECT_TRUE(ranInline);
}

TEST(MainQueue, SerialQueuesTargetingItRunOnTheMainThreadInOrder) {
  static int mainKey;
  DispatchQueue::main()->setSpecific(&mainKey, &mainKey);
  EXPECT_EQ(DispatchQueue::getSpecificCurrent(&mainKey), &mainKey);  // the main thread counts as on it
  auto scheduler = DispatchQueue::createSerial("test.mainscheduler", DispatchQueue::main());
  std::vector<int> order;
  std::atomic<bool> allOnMain{true};
  std::atomic<int> ran{0};
  std::thread([&] {
    EXPECT_EQ(DispatchQueue::getSpecificCurrent(&mainKey), nullptr);
    for (int i = 0; i < 100; ++i) {
      scheduler->async([&, i] {
        if (!isMainThread() || DispatchQueue::getSpecificCurrent(&mainKey) != &mainKey) allOnMain = false;
        order.push_back(i);
        ++ran;
      });
    }
  }).join();
  EXPECT_TRUE(runMainLoopUntil([&] { return ran.load() == 100; }, kLong));
  EXPECT_TRUE(allOnMain);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
  DispatchQueue::main()->setSpecific(&mainKey, nullptr);
}

TEST(MainQueue, SuspensionHoldsBlocksUntilResume) {
  auto main = DispatchQueue::main();
  std::atomic<bool> ran{false};
  main->suspend();
  main->async([&] { ran = true; });
  EXPECT_FALSE(runMainLoopUntil([&] { return ran.load(); }, 0.05));
  main->resume();
  EXPECT_TRUE(runMainLoopUntil([&] { return ran.load(); }, kLong));
}

TEST(MainQueueDeathTest, SyncOntoTheMainQueueFromAMainQueueBlockAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        DispatchQueue::main()->async([] { DispatchQueue::main()->sync([] {}); });
        runMainLoopUntil([] { return false; }, 5);
      },
      "deadlock");
}

TEST(RunLoop, RunsOnlyOnTheMainThread) {
  bool ran = true;
  std::thread([&] { ran = RunLoop::main().runOnce(Date::now().addingTimeInterval(0.01)); }).join();
  EXPECT_FALSE(ran);
  EXPECT_TRUE(RunLoop::main().runOnce(Date::now().addingTimeInterval(0.01)));
  auto start = std::chrono::steady_clock::now();
  RunLoop::main().runFor(0.03);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
  Date limit = Date::now().addingTimeInterval(0.03);
  RunLoop::main().runUntil(limit);
  EXPECT_GE(Date::now(), limit);
}

TEST(Timer, RepeatingTimerFiresUntilInvalidated) {
  int fired = 0;
  auto timer = Timer::scheduledTimer(0.01, true, [&](Timer& t) {
    EXPECT_TRUE(isMainThread());
    if (++fired == 3) t.invalidate();
  });
  EXPECT_TRUE(timer->isValid());
  EXPECT_TRUE(timer->repeats());
  EXPECT_DOUBLE_EQ(timer->timeInterval(), 0.01);
  EXPECT_TRUE(runMainLoopUntil([&] { return fired == 3; }, kLong));
  EXPECT_FALSE(timer->isValid());
  RunLoop::main().runFor(0.05);
  EXPECT_EQ(fired, 3);
  timer->fire();  // an invalid timer does nothing
  EXPECT_EQ(fired, 3);
}

TEST(Timer, FireNowKeepsARepeatingTimerAndEndsAOneShot) {
  int repeating = 0, oneShot = 0;
  auto every = Timer::scheduledTimer(3600, true, [&](Timer&) { ++repeating; });
  every->fire();
  EXPECT_EQ(repeating, 1);
  EXPECT_TRUE(every->isValid());
  every->invalidate();
  EXPECT_FALSE(every->isValid());

  auto once = Timer::scheduledTimer(3600, false, [&](Timer&) { ++oneShot; });
  once->fire();
  EXPECT_EQ(oneShot, 1);
  EXPECT_FALSE(once->isValid());
}

TEST(Timer, OneShotFiresOnceAndTheLoopKeepsItAlive) {
  int fired = 0;
  std::weak_ptr<Timer> weak;
  {
    auto timer = Timer::scheduledTimer(0.01, false, [&](Timer&) { ++fired; });
    weak = timer;
  }
  EXPECT_FALSE(weak.expired());  // the run loop holds a valid timer
  EXPECT_TRUE(runMainLoopUntil([&] { return fired == 1; }, kLong));
  RunLoop::main().runFor(0.05);
  EXPECT_EQ(fired, 1);
  EXPECT_TRUE(weak.expired());
}

TEST(Timer, InvalidateFromAnotherThreadStopsIt) {
  std::atomic<int> fired{0};
  auto timer = Timer::scheduledTimer(0.005, true, [&](Timer&) { ++fired; });
  EXPECT_TRUE(runMainLoopUntil([&] { return fired.load() >= 1; }, kLong));
  std::thread([&] { timer->invalidate(); }).join();
  int atInvalidate = fired.load();
  RunLoop::main().runFor(0.05);
  EXPECT_EQ(fired.load(), atInvalidate);
}

}  // namespace
}  // namespace platform
