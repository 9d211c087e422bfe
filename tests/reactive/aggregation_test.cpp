#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/dispatch/run_loop.h"
#include "reactive/RFSignal.h"
#include "reactive/RFSubject.h"
#include "tests/reactive/marbles.h"

namespace {

using namespace marbles;
using platform::Value;

Value add(const Value& a, const Value& v) { return Value(a.asInt64() + v.asInt64()); }

TEST(Aggregate, SendsOneValueWhenTheReceiverCompletes) {
  marbles::runCases({
      {"the sum",
       [](Inputs& in) { return in.a->aggregateWithStart(Value(0), add); },
       {next('a', 1, 1), next('a', 2, 2), next('a', 3, 3), mark(3.5), done('a', 4)},
       {"@3.5", "6", "completed"}},
      {"the start when nothing came",
       [](Inputs& in) { return in.a->aggregateWithStart(Value(0), add); },
       {done('a', 1)},
       {"0", "completed"}},
      {"an error and nothing else",
       [](Inputs& in) { return in.a->aggregateWithStart(Value(0), add); },
       {next('a', 1, 1), fail('a', 2, 3)},
       {"error 3"}},
      {"with the index",
       [](Inputs& in) {
         return in.a->aggregateWithStartReduceWithIndex(Value(""), [](const Value& a, const Value& v, std::uint64_t i) {
           return Value(a.asString() + v.asString() + std::to_string(i));
         });
       },
       {next('a', 1, "x"), next('a', 2, "y"), done('a', 3)},
       {"x0y1", "completed"}},
      {"collect keeps nil as the null marker",
       [](Inputs& in) { return in.a->collect(); },
       {next('a', 1, 1), next('a', 2, Value()), next('a', 3, 3), done('a', 4)},
       {"[1,<null>,3]", "completed"}},
      {"takeLast 2",
       [](Inputs& in) { return in.a->takeLast(2); },
       {next('a', 1, 1), next('a', 2, Value()), next('a', 3, 3), mark(3.5), done('a', 4)},
       {"@3.5", "(null)", "3", "completed"}},
      {"takeLast 0 sends only completion",
       [](Inputs& in) { return in.a->takeLast(0); },
       {next('a', 1, 1), done('a', 2)},
       {"completed"}},
      {"takeLast drops what it kept at an error",
       [](Inputs& in) { return in.a->takeLast(2); },
       {next('a', 1, 1), fail('a', 2, 4)},
       {"error 4"}},
  });
}

TEST(Aggregate, TheFactoryMakesAFreshStartForEverySubscription) {
  int made = 0;
  RFSignalPtr sum = RFSignal::returnValue(Value(5))->aggregateWithStartFactory(
      [&made] {
        ++made;
        return Value(0);
      },
      add);
  std::vector<std::string> got;
  sum->subscribeNext([&](const Value& v) { got.push_back(v.description()); });
  sum->subscribeNext([&](const Value& v) { got.push_back(v.description()); });
  EXPECT_EQ(made, 2);
  EXPECT_EQ(got, (std::vector<std::string>{"5", "5"}));
  // The older names give the same results.
  EXPECT_EQ(RFSignal::returnValue(Value(2))->aggregateWithStartCombine(Value(1), add)->first(), Value(3));
  EXPECT_EQ(RFSignal::returnValue(Value(2))->aggregateWithStartFactoryCombine([] { return Value(1); }, add)->first(),
            Value(3));
}

TEST(Blocking, FirstWaitsForTheFirstValueOrTheEnd) {
  struct Row {
    const char* name;
    RFSignalPtr signal;
    Value expected;
    bool success;
    std::int64_t errorCode;  // 0: none
  };
  RFSubjectPtr running = RFSubject::subject();
  const Row rows[] = {
      {"a value", RFSignal::returnValue(Value(5))->concat(RFSignal::never()), Value(5), true, 0},
      {"empty gives the default", RFSignal::empty(), Value("default"), true, 0},
      {"a failure gives the default and the error", RFSignal::error(platform::Error::make("D", 3)), Value("default"),
       false, 3},
      {"a nil value", RFSignal::returnValue(Value()), Value(), true, 0},
  };
  for (const Row& row : rows) {
    bool success = !row.success;
    platform::ErrorPtr error;
    Value got = row.signal->firstOrDefault(Value("default"), &success, &error);
    EXPECT_EQ(got, row.expected) << row.name;
    EXPECT_EQ(success, row.success) << row.name;
    EXPECT_EQ(error ? error->code() : 0, row.errorCode) << row.name;
  }
  EXPECT_EQ(RFSignal::empty()->first(), Value());
}

// A subject keeps nothing for later subscribers: a sender waits until the blocking call below has
// subscribed (a fixed delay is not enough on a loaded machine or under a sanitizer).
void waitForASubscriber(const RFSubjectPtr& subject) {
  while (subject->subscriberCount() == 0) platform::sleepFor(0.001);
}

TEST(Blocking, WaitsForValuesSentFromAnotherThread) {
  RFSubjectPtr subject = RFSubject::subject();
  std::thread sender([subject] {
    waitForASubscriber(subject);
    subject->sendNext(Value(7));
  });
  // On this (main) thread while the value comes from another one; and on a background thread.
  EXPECT_EQ(subject->first(), Value(7));
  sender.join();
  Value fromBackground;
  std::thread waiter([&] {
    RFSubjectPtr s = RFSubject::subject();
    std::thread late([s] {
      waitForASubscriber(s);
      s->sendCompleted();
    });
    fromBackground = Value(s->waitUntilCompleted() ? "completed" : "failed");
    late.join();
  });
  waiter.join();
  EXPECT_EQ(fromBackground, Value("completed"));
}

TEST(Blocking, OnTheMainThreadAWaitForAMainQueueDeliveryDoesNotDeadlock) {
  // The value comes through the main queue, which this very thread serves: the wait runs the
  // main run loop.
  ASSERT_TRUE(platform::isMainThread());
  RFSignalPtr later =
      RFSignal::returnValue(Value("from the main queue"))->deliverOn(RFScheduler::mainThreadScheduler());
  EXPECT_EQ(later->first(), Value("from the main queue"));
  platform::ErrorPtr error;
  EXPECT_TRUE(RFSignal::empty()
                  ->deliverOnMainThread()
                  ->deliverOn(RFScheduler::mainThreadScheduler())
                  ->waitUntilCompleted(&error));
}

TEST(Blocking, WaitUntilCompletedAndToArray) {
  platform::ErrorPtr error;
  EXPECT_TRUE(RFSignal::returnValue(Value(1))->waitUntilCompleted(&error));
  EXPECT_FALSE(error);
  EXPECT_FALSE(RFSignal::error(platform::Error::make("D", 5))->waitUntilCompleted(&error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), 5);

  auto array = RFSignal::returnValue(Value(1))->concat(RFSignal::returnValue(Value()))->toArray();
  ASSERT_TRUE(array);
  EXPECT_EQ(*array, (platform::ValueArray{Value(1), Value::null()}));
  EXPECT_FALSE(RFSignal::error(platform::Error::make("D", 1))->toArray());
  EXPECT_EQ(RFSignal::empty()->toArray(), platform::ValueArray{});
}

TEST(AggregationNames, FollowTheirFormats) {
  DebugNames on;
  RFSubjectPtr s = namedSubject("s");
  expectNames({
      {s->aggregateWithStart(Value(0), add), "[s] -aggregateWithStart: 0 reduce:"},
      {s->aggregateWithStartReduceWithIndex(Value(1), [](const Value& a, const Value&, std::uint64_t) { return a; }),
       "[s] -aggregateWithStart: 1 reduceWithIndex:"},
      {s->aggregateWithStartFactory([] { return Value(0); }, add), "[s] -aggregateWithStartFactory:reduce:"},
      {s->collect(), "[s] -collect"},
      {s->takeLast(3), "[s] -takeLast: 3"},
  });
}

}  // namespace
