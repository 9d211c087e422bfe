// The one-second tick: on virtual time for its schedule, and once on the real main run loop.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "app/ZRVMainTimer.h"
#include "app_test_support.h"
#include "platform/dispatch/run_loop.h"
#include "reactive/RFScheduler.h"
#include "reactive/RFSignal.h"

namespace {

using platform::Date;
using platform::Value;
using zorvel::test::localDate;
using zorvel::test::ScopedClock;

struct Ticks {
  std::vector<Date> dates;
  std::vector<std::thread::id> threads;
  int completions = 0;
};

std::shared_ptr<Ticks> record(const std::shared_ptr<ZRVMainTimer>& timer) {
  auto ticks = std::make_shared<Ticks>();
  timer->tick()->subscribeNextCompleted(
      [ticks](const Value& value) {
        ticks->dates.push_back(value.asDate());
        ticks->threads.push_back(std::this_thread::get_id());
      },
      [ticks] { ++ticks->completions; });
  return ticks;
}

TEST(MainTimer, SendsTheClocksDateAtOnceAndThenOncePerSecond) {
  ScopedClock clock(localDate(2024, 6, 1, 12));
  auto scheduler = RFTestScheduler::create();
  auto timer = platform::make<ZRVMainTimer>(scheduler);
  auto ticks = record(timer);
  EXPECT_FALSE(timer->isRunning());

  timer->start();
  ASSERT_EQ(ticks->dates.size(), 1u);  // immediately, not a second later
  EXPECT_EQ(ticks->dates[0], clock.now());
  for (int second = 1; second <= 3; ++second) {
    clock.advance(1);
    scheduler->step();
    ASSERT_EQ(ticks->dates.size(), static_cast<std::size_t>(1 + second));
    EXPECT_EQ(ticks->dates.back(), clock.now());
  }
  EXPECT_EQ(scheduler->pendingCount(), 1u);  // exactly one schedule: the next second

  timer->stop();
  EXPECT_FALSE(timer->isRunning());
  scheduler->step(5);
  EXPECT_EQ(ticks->dates.size(), 4u);
  for (std::thread::id id : ticks->threads) EXPECT_EQ(id, std::this_thread::get_id());
}

TEST(MainTimer, StartingAgainReplacesTheScheduleAndRestarts) {
  ScopedClock clock(localDate(2024, 6, 1, 12));
  auto scheduler = RFTestScheduler::create();
  auto timer = platform::make<ZRVMainTimer>(scheduler);
  auto ticks = record(timer);
  timer->start();
  timer->start();  // a running timer restarts: one schedule, one more immediate tick
  EXPECT_EQ(ticks->dates.size(), 2u);
  scheduler->step();
  EXPECT_EQ(ticks->dates.size(), 2u);  // the dropped schedule's turn does nothing
  scheduler->step(3);
  EXPECT_EQ(ticks->dates.size(), 5u);
  timer->stop();
  timer->start();
  EXPECT_EQ(ticks->dates.size(), 6u);
  EXPECT_TRUE(timer->isRunning());
  timer->stop();
}

TEST(MainTimer, ARunningTimerLivesUntilStoppedAndThenCompletesTick) {
  auto scheduler = RFTestScheduler::create();
  std::weak_ptr<ZRVMainTimer> weak;
  std::shared_ptr<Ticks> ticks;
  {
    auto timer = platform::make<ZRVMainTimer>(scheduler);
    ticks = record(timer);
    timer->start();
    weak = timer;
  }
  ASSERT_FALSE(weak.expired());  // its schedule holds it
  scheduler->step();
  EXPECT_EQ(ticks->dates.size(), 2u);
  EXPECT_EQ(ticks->completions, 0);

  testing::internal::CaptureStderr();
  weak.lock()->stop();  // the scheduler still has the cancelled turn: it must not keep the timer
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(weak.expired());
  EXPECT_EQ(ticks->completions, 1);
  EXPECT_THAT(log, testing::HasSubstr("Timer deallocated"));
}

TEST(MainTimer, TicksOnTheMainRunLoop) {
  auto timer = platform::make<ZRVMainTimer>();
  auto ticks = record(timer);
  std::uint64_t started = platform::monotonicNanoseconds();
  timer->start();
  ASSERT_EQ(ticks->dates.size(), 1u);
  ASSERT_TRUE(platform::runMainLoopUntil([&] { return ticks->dates.size() >= 2; }, 10));
  double waited = static_cast<double>(platform::monotonicNanoseconds() - started) / 1e9;
  EXPECT_GE(waited, 0.9);  // a timer never fires early; how late it may be is not tested
  EXPECT_EQ(ticks->threads[1], std::this_thread::get_id());
  timer->stop();
  EXPECT_FALSE(timer->isRunning());
}

}  // namespace
