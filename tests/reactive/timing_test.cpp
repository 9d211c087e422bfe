#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "reactive/RFSignal.h"
#include "reactive/RFSubject.h"
#include "tests/reactive/marbles.h"

namespace {

using namespace marbles;
using platform::Value;

TEST(Throttle, HoldsValuesBackUntilTheIntervalPassesQuietly) {
  marbles::runCases({
      {"only the last of a quick run, one interval after it",
       [](Inputs& in) { return in.a->throttle(seconds(1)); },
       {next('a', 0.1, 1), next('a', 0.2, 2), next('a', 0.3, 3), mark(1.2), mark(1.4), next('a', 2, 4), mark(2.5)},
       {"@1.2", "3", "@1.4", "@2.5", "4"}},
      {"a value the predicate refuses passes at once and drops the held one",
       [](Inputs& in) { return in.a->throttle(seconds(1), [](const Value& v) { return v.asInt64() < 10; }); },
       {next('a', 0.1, 1), next('a', 0.2, 10), mark(0.25), mark(1.5)},
       {"10", "@0.25", "@1.5"}},
      {"completion sends the held value at once",
       [](Inputs& in) { return in.a->throttle(seconds(1)); },
       {next('a', 0.1, 1), done('a', 0.2), mark(0.3)},
       {"1", "completed", "@0.3"}},
      {"an error drops the held value",
       [](Inputs& in) { return in.a->throttle(seconds(1)); },
       {next('a', 0.1, 1), fail('a', 0.2, 3), mark(2)},
       {"error 3", "@2"}},
  });
}

TEST(Delay, ShiftsValuesAndCompletionButNotErrors) {
  marbles::runCases({
      {"values and completion one interval later, in order",
       [](Inputs& in) { return in.a->delay(seconds(1)); },
       {next('a', 0.1, 1), next('a', 0.2, 2), done('a', 0.3), mark(0.5)},
       {"@0.5", "1", "2", "completed"}},
      {"an error arrives at once, ahead of values still waiting",
       [](Inputs& in) { return in.a->delay(seconds(1)); },
       {next('a', 0.1, 1), fail('a', 0.2, 4), mark(0.5), mark(2)},
       {"error 4", "@0.5", "@2"}},
  });
}

TEST(BufferWithTime, SendsABatchOneIntervalAfterItsFirstValue) {
  marbles::runCases({
      {"values within the interval make one tuple, nil included",
       [](Inputs& in) {
         return RFSignal::defer([a = in.a] { return a->bufferWithTime(seconds(1), RFScheduler::currentScheduler()); });
       },
       {next('a', 0.1, 1), next('a', 0.2, Value()), mark(1), next('a', 1.5, 3), mark(2), done('a', 3)},
       {"@1", "(1,(null))", "@2", "(3)", "completed"}},
      {"completion flushes and sends no empty tuple",
       [](Inputs& in) {
         return RFSignal::defer([a = in.a] { return a->bufferWithTime(seconds(1), RFScheduler::currentScheduler()); });
       },
       {next('a', 0.1, 1), done('a', 0.2), mark(0.3)},
       {"(1)", "completed", "@0.3"}},
      {"an error drops the batch",
       [](Inputs& in) {
         return RFSignal::defer([a = in.a] { return a->bufferWithTime(seconds(1), RFScheduler::currentScheduler()); });
       },
       {next('a', 0.1, 1), fail('a', 0.2, 2), mark(1.5)},
       {"error 2", "@1.5"}},
  });
}

TEST(Interval, SendsTheDateOneIntervalAfterSubscriptionThenEveryInterval) {
  marbles::Marbles m;
  std::vector<platform::Date> sent;
  m.at(0, [&] {
    m.subscription = RFSignal::interval(seconds(1), m.scheduler)->subscribeNext([&](const Value& v) {
      m.transcript.push_back("tick");
      sent.push_back(v.asDate());
    });
  });
  m.script(Inputs(), {mark(0.5), mark(1.5), mark(2.5), dispose(2.7), mark(5)});
  m.run();
  EXPECT_EQ(m.transcript, (marbles::Transcript{"@0.5", "tick", "@1.5", "tick", "@2.5", "@5"}));
  // The scheduler's current date: here, virtual time.
  EXPECT_EQ(sent, (std::vector<platform::Date>{m.date(1), m.date(2)}));
}

TEST(Interval, WithoutASchedulerEachCallMakesItsOwn) {
  DebugNames on;
  RFSignalPtr one = RFSignal::interval(1), two = RFSignal::interval(1);
  std::string first = one->name(), second = two->name();
  EXPECT_EQ(first.rfind("+interval: 1.000000 onScheduler: <RFTargetQueueScheduler: 0x", 0), 0u) << first;
  EXPECT_NE(first.find("RFScheduler.backgroundScheduler"), std::string::npos) << first;
  EXPECT_NE(first, second);
}

TEST(Interval, TicksOnARealScheduler) {
  std::atomic<int> ticks{0};
  platform::DispatchSemaphore third;
  RFDisposablePtr d = RFSignal::intervalWithLeeway(0.01, 0.001)->subscribeNext([&](const Value&) {
    if (ticks.fetch_add(1) + 1 == 3) third.signal();
  });
  EXPECT_TRUE(third.wait(10));
  d->dispose();
}

TEST(Timeout, EndsASlowSignalWithErrorOneAndLetsItGo) {
  marbles::runCases({
      {"values do not restart the timer",
       [](Inputs& in) {
         return RFSignal::defer([a = in.a] { return a->timeout(seconds(1), RFScheduler::currentScheduler()); });
       },
       {next('a', 0.5, 1), next('a', 0.9, 2), next('a', 1.1, 3), mark(1.2)},
       {"1", "2", "error 1", "@1.2"}},
      {"an ending in time cancels it",
       [](Inputs& in) {
         return RFSignal::defer([a = in.a] { return a->timeout(seconds(1), RFScheduler::currentScheduler()); });
       },
       {next('a', 0.5, 1), done('a', 0.6), mark(2)},
       {"1", "completed", "@2"}},
  });
  // The error is in the framework's domain, and the receiver is let go.
  RFSubjectPtr slow = RFSubject::subject();
  platform::ErrorPtr error;
  platform::DispatchSemaphore failed;
  slow->timeout(0.01)->subscribeError([&](const platform::ErrorPtr& e) {
    error = e;
    failed.signal();
  });
  ASSERT_TRUE(failed.wait(10));
  EXPECT_EQ(error->domain(), "RFSignalErrorDomain");
  EXPECT_EQ(error->code(), kRFSignalErrorTimedOut);
  EXPECT_EQ(slow->subscriberCount(), 0u);
}

TEST(Sample, ResendsTheLatestValueAtEachSamplerValue) {
  marbles::runCases({
      {"nothing before the receiver's first value; the latest again and again",
       [](Inputs& in) { return in.a->sample(in.b); },
       {next('b', 1, "tick"), next('a', 2, 1), next('a', 3, 2), next('b', 4, "tick"), next('b', 5, "tick"),
        next('a', 6, Value()), next('b', 7, "tick")},
       {"2", "2", "(null)"}},
      {"the receiver's completion ends it",
       [](Inputs& in) { return in.a->sample(in.b); },
       {next('a', 1, 1), done('a', 2), next('b', 3, "tick")},
       {"completed"}},
      {"the sampler's error ends it",
       [](Inputs& in) { return in.a->sample(in.b); },
       {next('a', 1, 1), fail('b', 2, 6), next('a', 3, 2)},
       {"error 6"}},
  });
}

TEST(TimingNames, FollowTheirFormats) {
  DebugNames on;
  RFSubjectPtr s = namedSubject("s");
  auto scheduler = RFTestScheduler::create();
  expectNames({
      {s->throttle(1.5), "[s] -throttle: 1.500000"},
      {s->throttle(1, [](const Value&) { return true; }), "[s] -throttle: 1.000000 valuesPassingTest:"},
      {s->delay(2), "[s] -delay: 2.000000"},
      startsWith(s->bufferWithTime(1, scheduler), "[s] -bufferWithTime: 1.000000 onScheduler: <RFTestScheduler: 0x"),
      startsWith(RFSignal::interval(1, scheduler), "+interval: 1.000000 onScheduler: <RFTestScheduler: 0x"),
      startsWith(RFSignal::interval(1, scheduler, 0.5), "+interval: 1.000000 onScheduler: <RFTestScheduler"),
      startsWith(s->timeout(3, scheduler), "[s] -timeout: 3.000000 onScheduler: <RFTestScheduler: 0x"),
      startsWith(s->sample(RFSignal::never()), "[s] -sample: <RFDynamicSignal: 0x"),
  });
  EXPECT_NE(RFSignal::interval(1, scheduler, 0.5)->name().find("withLeeway: 0.500000"), std::string::npos);
}

}  // namespace
