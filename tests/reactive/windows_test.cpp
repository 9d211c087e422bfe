#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "reactive/RFSignal.h"
#include "reactive/RFSubject.h"
#include "tests/reactive/marbles.h"

namespace {

using namespace marbles;
using platform::Value;
using Events = std::vector<std::string>;

RFSignalPtr synchronous(std::vector<Value> values) {
  return RFSignal::createSignal([values](const RFSubscriberPtr& s) -> RFDisposablePtr {
    for (const Value& v : values) s->sendNext(v);
    s->sendCompleted();
    return nullptr;
  });
}

TEST(Buffer, SendsTuplesOfTheCount) {
  marbles::runCases({
      {"values left at completion are not sent",
       [](Inputs& in) { return in.a->buffer(2); },
       {next('a', 1, 1), next('a', 2, 2), next('a', 3, 3), next('a', 4, 4), next('a', 5, 5), done('a', 6)},
       {"(1,2)", "(3,4)", "completed"}},
      {"a nil value reads as nil",
       [](Inputs& in) { return in.a->buffer(2); },
       {next('a', 1, Value()), next('a', 2, 2)},
       {"((null),2)"}},
      {"an error passes", [](Inputs& in) { return in.a->buffer(3); }, {next('a', 1, 1), fail('a', 2, 7)}, {"error 7"}},
  });
  // A signal that sends everything at subscription: the opening subscription opens one window
  // while the second one delivers, and nothing opens another.
  Events got;
  synchronous({Value(1), Value(2), Value(3), Value(4), Value(5)})
      ->buffer(2)
      ->subscribeNext([&](const Value& v) { got.push_back(marbles::text(v)); }, nullptr,
                      [&] { got.push_back("completed"); });
  EXPECT_EQ(got, (Events{"(1,2)", "completed"}));
}

TEST(Window, OpensOnTheOpeningSignalAndClosesOnTheClosingOne) {
  RFSubjectPtr open = RFSubject::subject(), source = RFSubject::subject();
  RFSubjectPtr close = RFSubject::subject();
  Events log;
  int windows = 0;
  source->windowWithStart(open, [&](const RFSignalPtr&) -> RFSignalPtr { return close; })
      ->subscribeNext(
          [&](const Value& v) {
            std::string name = "w" + std::to_string(++windows);
            log.push_back("open " + name);
            v.as<RFSignal>()->subscribeNext(
                [&log, name](const Value& x) { log.push_back(name + " " + x.description()); }, nullptr,
                [&log, name] { log.push_back(name + " completed"); });
          },
          nullptr, [&] { log.push_back("completed"); });
  source->sendNext(Value("dropped"));  // no window open
  open->sendNext(Value());
  source->sendNext(Value(1));
  open->sendNext(Value());  // a window is open: nothing new
  source->sendNext(Value(2));
  close->sendError(platform::Error::make("D", 1));  // closes it, completed, and the result goes on
  source->sendNext(Value("dropped too"));
  source->sendCompleted();
  EXPECT_EQ(log, (Events{"open w1", "w1 1", "w1 2", "w1 completed", "completed"}));
}

TEST(Let, GivesTheBlockOneSharedSubscription) {
  int subscriptions = 0;
  RFSubjectPtr source = RFSubject::subject();
  RFSignalPtr counted = RFSignal::createSignal([&](const RFSubscriberPtr& s) {
    ++subscriptions;
    return source->subscribe(s);
  });
  Events got;
  RFDisposablePtr d =
      counted->let([](const RFSignalPtr& shared) { return shared->merge(shared); })->subscribeNext([&](const Value& v) {
        got.push_back(v.description());
      });
  EXPECT_EQ(subscriptions, 1);
  source->sendNext(Value("x"));
  EXPECT_EQ(got, (Events{"x", "x"}));
  d->dispose();
  EXPECT_EQ(source->subscriberCount(), 0u);
  // Nothing of the receiver is missed: the block's signal is subscribed before the connection.
  Events all;
  synchronous({Value(1), Value(2)})
      ->let([](const RFSignalPtr& shared) { return shared; })
      ->subscribeNext([&](const Value& v) { all.push_back(v.description()); }, nullptr,
                      [&] { all.push_back("completed"); });
  EXPECT_EQ(all, (Events{"1", "2", "completed"}));
}

TEST(WindowNames, FollowTheirFormats) {
  DebugNames on;
  RFSubjectPtr s = namedSubject("s");
  expectNames({
      {s->buffer(3), "[s] -buffer: 3"},
      {s->let([](const RFSignalPtr& x) { return x; }), "[s] -let:"},
      startsWith(s->windowWithStart(s, [](const RFSignalPtr& w) { return w; }), "[s] -windowWithStart: <RFSubject: 0x"),
      // The forwarding forms give the names of the operators they forward to.
      {s->ignoreElements(), "[s] -ignoreValues"},
      {s->sequenceNext([] { return RFSignal::empty(); }), "[s] -then:"},
      {s->aggregateWithStartCombine(Value(0), [](const Value& a, const Value&) { return a; }),
       "[s] -aggregateWithStart: 0 reduce:"},
      startsWith(s->timeout(5), "[s] -timeout: 5.000000 onScheduler: <RFTargetQueueScheduler: 0x"),
      startsWith(s->bufferWithTime(5), "[s] -bufferWithTime: 5.000000 onScheduler: <RFTargetQueueScheduler"),
  });
}

}  // namespace
