#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "reactive/RFEvent.h"
#include "reactive/RFSignal.h"
#include "reactive/RFSubject.h"
#include "tests/reactive/marbles.h"

namespace {

using namespace marbles;
using platform::Value;
using Log = std::vector<std::string>;

TEST(SideEffects, BlocksRunBeforeTheEventIsPassedOn) {
  auto log = std::make_shared<Log>();
  auto note = [log](std::string s) { log->push_back(std::move(s)); };
  marbles::runCases({
      {"doNext, doError",
       [note](Inputs& in) {
         return in.a->doNext([note](const Value& v) { note("saw " + v.description()); })
             ->doError([note](const platform::ErrorPtr& e) { note("saw error " + std::to_string(e->code())); })
             ->doNext([note](const Value&) { note("after"); });
       },
       {next('a', 1, 1), fail('a', 2, 3)},
       {"1", "error 3"}},
  });
  EXPECT_EQ(*log, (Log{"saw 1", "after", "saw error 3"}));

  // The subscriber sees the event after the block ran: record both in one log.
  Log order;
  RFSubjectPtr subject = RFSubject::subject();
  subject->doNext([&](const Value&) { order.push_back("block"); })
      ->doCompleted([&] { order.push_back("completed block"); })
      ->subscribeNext([&](const Value&) { order.push_back("subscriber"); }, nullptr,
                      [&] { order.push_back("subscriber completed"); });
  subject->sendNext(Value(1));
  subject->sendCompleted();
  EXPECT_EQ(order, (Log{"block", "subscriber", "completed block", "subscriber completed"}));
}

TEST(SideEffects, InitiallyRunsAtEverySubscriptionAndFinallyOnlyAtTheEnd) {
  RFSubjectPtr subject = RFSubject::subject();
  int initially = 0, finally = 0;
  RFSignalPtr signal = subject->initially([&] { ++initially; })->finally([&] { ++finally; });
  EXPECT_EQ(initially, 0);
  RFDisposablePtr first = signal->subscribeNext([](const Value&) {});
  signal->subscribeError([](const platform::ErrorPtr&) {});
  EXPECT_EQ(initially, 2);
  first->dispose();  // disposal runs no finally block
  EXPECT_EQ(finally, 0);
  subject->sendError(platform::Error::make("D", 1));
  EXPECT_EQ(finally, 1);
  RFSignalPtr completing = RFSignal::returnValue(Value(1))->finally([&] { ++finally; });
  completing->subscribeNext([](const Value&) {});
  EXPECT_EQ(finally, 2);
}

TEST(ErrorOperators, ReplaceOrFilterFailures) {
  marbles::runCases({
      {"catch subscribes to the replacement",
       [](Inputs& in) {
         RFSubjectPtr b = in.b;
         return in.a->catchError(
             [b](const platform::ErrorPtr& e) { return e->code() == 1 ? RFSignalPtr(b) : RFSignal::error(e); });
       },
       {next('a', 1, "a"), next('b', 2, "b-early"), fail('a', 3, 1), next('b', 4, "b"), done('b', 5)},
       {"a", "b", "completed"}},
      {"catch with a nil signal ends nothing more",
       [](Inputs& in) { return in.a->catchError([](const platform::ErrorPtr&) { return RFSignalPtr(); }); },
       {next('a', 1, "a"), fail('a', 2, 1), mark(3)},
       {"a", "@3"}},
      {"catchTo",
       [](Inputs& in) { return in.a->catchTo(RFSignal::returnValue(Value("r"))); },
       {fail('a', 1, 1)},
       {"r", "completed"}},
      {"try fails on the third value",
       [](Inputs& in) {
         return in.a->tryBlock([](const Value& v, platform::ErrorPtr* error) {
           if (v.asInt64() < 3) return true;
           *error = platform::Error::make("D", 30);
           return false;
         });
       },
       {next('a', 1, 1), next('a', 2, 2), next('a', 3, 3), next('a', 4, 1)},
       {"1", "2", "error 30"}},
      {"try without an error fails with none",
       [](Inputs& in) { return in.a->tryBlock([](const Value&, platform::ErrorPtr*) { return false; }); },
       {next('a', 1, 1)},
       {"error -1"}},
      {"tryMap",
       [](Inputs& in) {
         return in.a->tryMap([](const Value& v, platform::ErrorPtr*) -> Value {
           return v.asInt64() == 0 ? Value() : Value(10 / v.asInt64());
         });
       },
       {next('a', 1, 5), next('a', 2, 0), next('a', 3, 2)},
       {"2", "error -1"}},
      {"ignoreValues", [](Inputs& in) { return in.a->ignoreValues(); }, {next('a', 1, 1), done('a', 2)}, {"completed"}},
      {"ignoreElements",
       [](Inputs& in) { return in.a->ignoreElements(); },
       {next('a', 1, 1), fail('a', 2, 4)},
       {"error 4"}},
  });
}

TEST(ErrorOperators, DisposingACatchEndsTheReplacementBeforeTheReceiver) {
  Log order;
  RFSubjectPtr source = RFSubject::subject();
  RFSubjectPtr other = RFSubject::subject();
  auto replacement = RFSignal::createSignal([&](const RFSubscriberPtr& s) -> RFDisposablePtr {
    RFDisposablePtr inner = other->subscribe(s);
    return RFDisposable::disposableWithBlock([&order, inner] {
      order.push_back("replacement");
      inner->dispose();
    });
  });
  auto receiver = RFSignal::createSignal([&](const RFSubscriberPtr& s) -> RFDisposablePtr {
    RFDisposablePtr inner = source->subscribe(s);
    return RFDisposable::disposableWithBlock([&order, inner] {
      order.push_back("receiver");
      inner->dispose();
    });
  });
  RFDisposablePtr d = receiver->catchTo(replacement)->subscribeNext([](const Value&) {});
  // The error ends the receiver's subscription; the replacement is subscribed.
  source->sendError(platform::Error::make("D", 1));
  EXPECT_EQ(order, (Log{"receiver"}));
  d->dispose();
  EXPECT_EQ(order, (Log{"receiver", "replacement"}));
}

// A signal that counts its subscriptions and sends the given events to each.
RFSignalPtr counted(int& subscriptions, std::vector<std::string> events) {
  return RFSignal::createSignal([&subscriptions, events](const RFSubscriberPtr& s) -> RFDisposablePtr {
    ++subscriptions;
    for (const std::string& e : events) {
      if (e == "|")
        s->sendCompleted();
      else if (e[0] == '!')
        s->sendError(platform::Error::make("D", std::stoi(e.substr(1))));
      else
        s->sendNext(Value(e));
    }
    return nullptr;
  });
}

TEST(Repetition, RepeatResubscribesAfterEveryCompletionUntilAnError) {
  int passes = 0;
  RFSignalPtr failsThird = RFSignal::createSignal([&passes](const RFSubscriberPtr& s) -> RFDisposablePtr {
    ++passes;
    s->sendNext(Value(passes));
    if (passes == 3)
      s->sendError(platform::Error::make("D", 7));
    else
      s->sendCompleted();
    return nullptr;
  });
  marbles::Marbles m;
  m.record(failsThird->repeat());
  m.run();
  EXPECT_EQ(m.transcript, (marbles::Transcript{"1", "2", "3", "error 7"}));
  EXPECT_EQ(passes, 3);
}

TEST(Repetition, RepeatIsStoppedByDisposal) {
  marbles::Marbles m;
  int passes = 0;
  RFSignalPtr once = RFSignal::createSignal([&passes](const RFSubscriberPtr& s) -> RFDisposablePtr {
    ++passes;
    s->sendNext(Value(passes));
    s->sendCompleted();
    return nullptr;
  });
  m.record(once->repeat());
  // The test scheduler runs the passes one after another; dispose after the third.
  std::size_t steps = 0;
  while (passes < 3 && steps++ < 100) m.scheduler->step();
  m.subscription->dispose();
  m.scheduler->stepAll();
  EXPECT_EQ(passes, 3);
  EXPECT_EQ(m.transcript, (marbles::Transcript{"1", "2", "3"}));
}

TEST(Repetition, RetryResubscribesAfterErrorsUpToTheCount) {
  struct Row {
    const char* name;
    std::int64_t count;
    std::vector<std::string> events;  // sent at every subscription
    int expectedSubscriptions;
    marbles::Transcript expected;
  };
  const Row rows[] = {
      {"retry 2 on a signal that always fails", 2, {"x", "!7"}, 3, {"x", "x", "x", "error 7"}},
      {"retry 3 gives at most four subscriptions", 3, {"!8"}, 4, {"error 8"}},
      {"completion ends it", 2, {"y", "|"}, 1, {"y", "completed"}},
  };
  for (const Row& row : rows) {
    int subscriptions = 0;
    marbles::Marbles m;
    m.record(counted(subscriptions, row.events)->retry(row.count));
    m.run();
    EXPECT_EQ(subscriptions, row.expectedSubscriptions) << row.name;
    EXPECT_EQ(m.transcript, row.expected) << row.name;
  }

  // Without a count it keeps going until a pass completes.
  int subscriptions = 0;
  RFSignalPtr flaky = RFSignal::createSignal([&subscriptions](const RFSubscriberPtr& s) -> RFDisposablePtr {
    if (++subscriptions < 6)
      s->sendError(platform::Error::make("D", 1));
    else
      s->sendCompleted();
    return nullptr;
  });
  marbles::Marbles m;
  m.record(flaky->retry());
  m.run();
  EXPECT_EQ(subscriptions, 6);
  EXPECT_EQ(m.transcript, (marbles::Transcript{"completed"}));
}

TEST(Materialize, EventsBecomeValuesAndBack) {
  marbles::runCases({
      {"materialize a value and an error",
       [](Inputs& in) {
         return in.a->materialize()->map([](const Value& v) {
           RFEventPtr e = v.as<RFEvent>();
           switch (e->eventType()) {
             case RFEventType::Next:
               return Value("next " + e->value().description());
             case RFEventType::Error:
               return Value("error event " + std::to_string(e->error()->code()));
             case RFEventType::Completed:
               return Value("completed event");
           }
           return Value();
         });
       },
       {next('a', 1, 1), fail('a', 2, 5)},
       {"next 1", "error event 5", "completed"}},
      {"materialize completion",
       [](Inputs& in) {
         return in.a->materialize()->map([](const Value& v) {
           return Value(v.as<RFEvent>() == RFEvent::completedEvent() ? "shared completed event" : "other");
         });
       },
       {done('a', 1)},
       {"shared completed event", "completed"}},
      {"round trip of an error",
       [](Inputs& in) { return in.a->materialize()->dematerialize(); },
       {next('a', 1, "v"), fail('a', 2, 6)},
       {"v", "error 6"}},
      {"round trip of a completion",
       [](Inputs& in) { return in.a->materialize()->dematerialize(); },
       {next('a', 1, "v"), done('a', 2)},
       {"v", "completed"}},
  });
}

TEST(SideEffectNames, FollowTheirFormats) {
  DebugNames on;
  RFSubjectPtr s = namedSubject("s");
  expectNames({
      {s->doNext([](const Value&) {}), "[s] -doNext:"},
      {s->doError([](const platform::ErrorPtr&) {}), "[s] -doError:"},
      {s->doCompleted([] {}), "[s] -doCompleted:"},
      {s->initially([] {}), "[s] -initially:"},
      {s->finally([] {}), "[s] -finally:"},
      {s->catchError([](const platform::ErrorPtr&) { return RFSignal::empty(); }), "[s] -catch:"},
      startsWith(s->catchTo(RFSignal::empty()), "[s] -catchTo: <RFEmptySignal: 0x"),
      {s->tryBlock([](const Value&, platform::ErrorPtr*) { return true; }), "[s] -try:"},
      {s->tryMap([](const Value& v, platform::ErrorPtr*) { return v; }), "[s] -tryMap:"},
      {s->repeat(), "[s] -repeat"},
      {s->retry(3), "[s] -retry: 3"},
      {s->retry(), "[s] -retry"},
      {s->ignoreValues(), "[s] -ignoreValues"},
      {s->materialize(), "[s] -materialize"},
      {s->dematerialize(), "[s] -dematerialize"},
  });
}

}  // namespace
