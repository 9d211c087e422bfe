#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "reactive/RFSignal.h"
#include "reactive/RFSubject.h"
#include "tests/reactive/marbles.h"

namespace {

using platform::Value;
using Events = std::vector<std::string>;

struct Recorder {
  Events events;
  RFDisposablePtr subscribeTo(const RFSignalPtr& signal) {
    return signal->subscribeNext(
        [this](const Value& v) { events.push_back(v.description()); },
        [this](const platform::ErrorPtr& e) { events.push_back("error " + std::to_string(e->code())); },
        [this] { events.push_back("completed"); });
  }
};

// A signal that counts its subscriptions and forwards a subject's events.
RFSignalPtr counting(int& subscriptions, const RFSubjectPtr& source) {
  return RFSignal::createSignal([&subscriptions, source](const RFSubscriberPtr& s) {
    ++subscriptions;
    return source->subscribe(s);
  });
}

TEST(Multicast, PublishSendsOnlyAfterConnect) {
  int subscriptions = 0;
  RFSubjectPtr source = RFSubject::subject();
  auto connection = counting(subscriptions, source)->publish();
  Recorder a, b;
  a.subscribeTo(connection->signal());
  source->sendNext(Value("before"));
  EXPECT_EQ(subscriptions, 0);
  connection->connect();
  b.subscribeTo(connection->signal());
  source->sendNext(Value("after"));
  EXPECT_EQ(subscriptions, 1);
  EXPECT_EQ(a.events, (Events{"after"}));
  EXPECT_EQ(b.events, (Events{"after"}));
}

TEST(Multicast, MulticastUsesTheGivenSubject) {
  RFReplaySubjectPtr subject = RFReplaySubject::subject();
  auto connection = RFSignal::returnValue(Value(1))->multicast(subject);
  EXPECT_EQ(connection->signal(), RFSignalPtr(subject));
  connection->connect();
  Recorder late;
  late.subscribeTo(subject);
  EXPECT_EQ(late.events, (Events{"1", "completed"}));
}

TEST(Multicast, ReplaySubscribesAtOnceAndGivesEveryoneEverything) {
  int subscriptions = 0;
  auto synchronous = RFSignal::createSignal([&](const RFSubscriberPtr& s) -> RFDisposablePtr {
    ++subscriptions;
    s->sendNext(Value(1));
    s->sendNext(Value(2));
    s->sendCompleted();
    return nullptr;
  });
  RFSignalPtr replayed = synchronous->replay();
  EXPECT_EQ(subscriptions, 1);
  Recorder a, b;
  a.subscribeTo(replayed);
  b.subscribeTo(replayed);
  EXPECT_EQ(subscriptions, 1);
  EXPECT_EQ(a.events, (Events{"1", "2", "completed"}));
  EXPECT_EQ(b.events, a.events);
}

TEST(Multicast, ReplayLastGivesALateSubscriberTheLastValue) {
  RFSubjectPtr source = RFSubject::subject();
  RFSignalPtr last = source->replayLast();
  source->sendNext(Value(1));
  source->sendNext(Value(2));
  Recorder late;
  late.subscribeTo(last);
  source->sendNext(Value(3));
  source->sendCompleted();
  Recorder later;
  later.subscribeTo(last);
  EXPECT_EQ(late.events, (Events{"2", "3", "completed"}));
  EXPECT_EQ(later.events, (Events{"3", "completed"}));
}

TEST(Multicast, ReplayLazilySubscribesOnceAtTheFirstSubscription) {
  int subscriptions = 0;
  RFSubjectPtr source = RFSubject::subject();
  RFSignalPtr lazy = counting(subscriptions, source)->replayLazily();
  EXPECT_EQ(subscriptions, 0);
  Recorder a, b;
  a.subscribeTo(lazy);
  source->sendNext(Value(1));
  b.subscribeTo(lazy);
  source->sendNext(Value(2));
  EXPECT_EQ(subscriptions, 1);
  EXPECT_EQ(a.events, (Events{"1", "2"}));
  EXPECT_EQ(b.events, (Events{"1", "2"}));
}

TEST(MulticastNames, NameTheirSubjects) {
  marbles::DebugNames on;
  RFSubjectPtr s = marbles::namedSubject("s");
  marbles::expectNames({
      {s->publish()->signal(), "[s] -multicast: [s] -publish"},
      {s->multicast(marbles::namedSubject("mine"))->signal(), "[s] -multicast: mine"},
      {s->replay(), "[s] -multicast: [s] -replay"},
      {s->replayLast(), "[s] -multicast: [s] -replayLast"},
      {s->replayLazily(), "[s] -replayLazily"},
  });
}

}  // namespace
