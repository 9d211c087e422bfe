#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/dispatch/run_loop.h"
#include "reactive/RFSignal.h"
#include "reactive/RFSubject.h"
#include "tests/reactive/marbles.h"

namespace {

using platform::Value;
using Events = std::vector<std::string>;

// Collects events from any thread.
struct Collector {
  std::mutex lock;
  Events events;
  platform::DispatchSemaphore ended;
  RFDisposablePtr subscribeTo(const RFSignalPtr& signal) {
    return signal->subscribeNext([this](const Value& v) { add(v.description()); },
                                 [this](const platform::ErrorPtr& e) {
                                   add("error " + std::to_string(e ? e->code() : -1));
                                   ended.signal();
                                 },
                                 [this] {
                                   add("completed");
                                   ended.signal();
                                 });
  }
  void add(std::string s) {
    std::lock_guard g(lock);
    events.push_back(std::move(s));
  }
  Events snapshot() {
    std::lock_guard g(lock);
    return events;
  }
};

TEST(Start, LazilyRunsTheBlockOnceAtTheFirstSubscription) {
  std::atomic<int> runs{0};
  RFSignalPtr started = RFSignal::startLazilyWithScheduler(RFScheduler::scheduler(), [&](const RFSubscriberPtr& s) {
    runs.fetch_add(1);
    s->sendNext(Value(1));
    s->sendNext(Value(2));
    s->sendCompleted();
  });
  platform::sleepFor(0.02);
  EXPECT_EQ(runs.load(), 0);
  Collector first, second;
  first.subscribeTo(started);
  ASSERT_TRUE(first.ended.wait(10));
  second.subscribeTo(started);  // after the block finished
  ASSERT_TRUE(second.ended.wait(10));
  EXPECT_EQ(runs.load(), 1);
  EXPECT_EQ(first.snapshot(), (Events{"1", "2", "completed"}));
  EXPECT_EQ(second.snapshot(), first.snapshot());
}

TEST(Start, EagerlyRunsTheBlockWithoutASubscriber) {
  platform::DispatchSemaphore ran;
  RFSignalPtr started = RFSignal::startEagerlyWithScheduler(RFScheduler::scheduler(), [&](const RFSubscriberPtr& s) {
    s->sendNext(Value("eager"));
    s->sendCompleted();
    ran.signal();
  });
  ASSERT_TRUE(ran.wait(10));
  Collector late;
  late.subscribeTo(started);
  ASSERT_TRUE(late.ended.wait(10));
  EXPECT_EQ(late.snapshot(), (Events{"eager", "completed"}));
}

TEST(Start, WithABlockGivesItsValueOrItsError) {
  struct Row {
    const char* name;
    bool succeed;
    Events expected;
  };
  const Row rows[] = {
      {"success: the value, then completion", true, {"(null)", "completed"}},
      {"failure: only the error", false, {"error 5"}},
  };
  for (const Row& row : rows) {
    RFReplaySubjectPtr subject = RFSignal::start([succeed = row.succeed](bool* success, platform::ErrorPtr* error) {
      if (!succeed) {
        *success = false;
        *error = platform::Error::make("D", 5);
      }
      return Value();
    });
    Collector c;
    c.subscribeTo(subject);
    ASSERT_TRUE(c.ended.wait(10)) << row.name;
    EXPECT_EQ(c.snapshot(), row.expected) << row.name;
  }
  auto test = RFTestScheduler::create();
  RFReplaySubjectPtr filled = RFSignal::startWithSchedulerSubjectBlock(
      test, [](const RFSubjectPtr& subject) { subject->sendNext(Value("filled")); });
  Collector c;
  c.subscribeTo(filled);
  EXPECT_TRUE(c.snapshot().empty());  // scheduled, not run yet
  test->stepAll();
  EXPECT_EQ(c.snapshot(), (Events{"filled"}));
}

TEST(AsynchronousWait, RunsTheMainRunLoopWhileItWaits) {
  ASSERT_TRUE(platform::isMainThread());
  struct Row {
    const char* name;
    RFSignalPtr signal;
    Value expected;
    bool success;
    std::int64_t errorCode;
  };
  const Row rows[] = {
      {"empty: the default", RFSignal::empty(), Value("default"), true, 0},
      {"an error at once", RFSignal::error(platform::Error::make("D", 3)), Value("default"), false, 3},
      {"a value from another thread", RFSignal::returnValue(Value(4))->delay(0.01), Value(4), true, 0},
  };
  for (const Row& row : rows) {
    bool success = !row.success;
    platform::ErrorPtr error;
    EXPECT_EQ(row.signal->asynchronousFirstOrDefault(Value("default"), &success, &error), row.expected) << row.name;
    EXPECT_EQ(success, row.success) << row.name;
    EXPECT_EQ(error ? error->code() : 0, row.errorCode) << row.name;
  }
  // Other main-thread work goes on during the wait.
  bool timerFired = false;
  auto timer = platform::Timer::scheduledTimer(0.01, false, [&](platform::Timer&) { timerFired = true; });
  EXPECT_TRUE(RFSignal::empty()->delay(0.1)->asynchronouslyWaitUntilCompleted());
  EXPECT_TRUE(timerFired);
}

TEST(AsynchronousWait, GivesUpAfterTenSecondsWithTheTimeOutError) {
  auto started = std::chrono::steady_clock::now();
  platform::ErrorPtr error;
  EXPECT_FALSE(RFSignal::never()->asynchronouslyWaitUntilCompleted(&error));
  double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  EXPECT_GE(waited, 9.5);
  EXPECT_LT(waited, 30);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain(), "RFSignalErrorDomain");
  EXPECT_EQ(error->code(), kRFSignalErrorTimedOut);
}

TEST(AsynchronousWait, OffTheMainThreadWaitsWithoutTheRunLoop) {
  Value got;
  std::thread([&] { got = RFSignal::returnValue(Value(9))->delay(0.01)->asynchronousFirstOrDefault(Value()); }).join();
  EXPECT_EQ(got, Value(9));
}

TEST(Log, WritesEachEventWithTheSignal) {
  RFSubjectPtr subject = RFSubject::subject();
  subject->setName("logged");
  RFSignalPtr logged = subject->logAll();
  logged->subscribeNext([](const Value&) {});
  testing::internal::CaptureStderr();
  subject->sendNext(Value("v"));
  subject->sendCompleted();
  std::string text = testing::internal::GetCapturedStderr();
  EXPECT_NE(text.find("name: logged next: v"), std::string::npos) << text;
  // logAll logs completion from the last of its three steps, named as the receiver only when
  // debug names are kept.
  EXPECT_NE(text.find("> name:  completed"), std::string::npos) << text;

  RFSubjectPtr failing = RFSubject::subject();
  failing->logError()->subscribeError([](const platform::ErrorPtr&) {});
  testing::internal::CaptureStderr();
  failing->sendError(platform::Error::make("D", 2));
  text = testing::internal::GetCapturedStderr();
  EXPECT_NE(text.find("> name:  error: Error Domain=D Code=2"), std::string::npos) << text;
  // The log operators keep the receiver's name.
  marbles::DebugNames on;
  EXPECT_EQ(subject->logNext()->name(), "logged");
}

TEST(StartingNames, FollowTheirFormats) {
  marbles::DebugNames on;
  auto test = RFTestScheduler::create();
  auto nothing = [](const RFSubscriberPtr&) {};
  auto none = [](bool*, platform::ErrorPtr*) { return Value(); };
  marbles::expectNames({
      marbles::startsWith(RFSignal::startLazilyWithScheduler(test, nothing),
                          "+startLazilyWithScheduler: <RFTestScheduler: 0x"),
      marbles::startsWith(RFSignal::startEagerlyWithScheduler(test, nothing),
                          "+startEagerlyWithScheduler: <RFTestScheduler: 0x"),
      {RFSignal::startWithSchedulerSubjectBlock(test, [](const RFSubjectPtr&) {}), "+startWithScheduler:subjectBlock:"},
      {RFSignal::startWithScheduler(test, none), "+startWithScheduler:block:"},
      {RFSignal::start(none), "+start:"},
  });
  test->stepAll();
}

}  // namespace
