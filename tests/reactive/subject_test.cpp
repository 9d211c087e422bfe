#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "reactive/RFSubject.h"

namespace {

using platform::Value;

struct Recorder {
  std::vector<std::string> events;
  RFDisposablePtr subscribeTo(const RFSignalPtr& signal) {
    return signal->subscribeNext(
        [this](const Value& v) { events.push_back(v.description()); },
        [this](const platform::ErrorPtr& e) { events.push_back("error " + std::to_string(e->code())); },
        [this] { events.push_back("completed"); });
  }
};
using Events = std::vector<std::string>;

TEST(Subject, MulticastsOnlyToCurrentSubscribers) {
  RFSubjectPtr subject = RFSubject::subject();
  subject->sendNext(Value("dropped"));
  Recorder a, b;
  a.subscribeTo(subject);
  subject->sendNext(Value(1));
  RFDisposablePtr bd = b.subscribeTo(subject);
  subject->sendNext(Value(2));
  bd->dispose();
  bd->dispose();
  subject->sendNext(Value(3));
  subject->sendCompleted();
  EXPECT_EQ(a.events, (Events{"1", "2", "3", "completed"}));
  EXPECT_EQ(b.events, (Events{"2"}));
  // No terminated state: a late subscriber sees only later sends.
  Recorder late;
  late.subscribeTo(subject);
  subject->sendNext(Value(4));
  EXPECT_EQ(late.events, (Events{"4"}));
}

TEST(Subject, TwoSubscriptionsOfOneSubscriberAreSeparateEntries) {
  RFSubjectPtr subject = RFSubject::subject();
  std::vector<int> got;
  auto subscriber = RFSubscriber::subscriberWithNext(
      [&](const Value& v) { got.push_back(static_cast<int>(v.asInt64())); }, nullptr, nullptr);
  RFDisposablePtr first = subject->subscribe(subscriber);
  subject->subscribe(subscriber);
  subject->sendNext(Value(1));
  first->dispose();
  subject->sendNext(Value(2));
  EXPECT_EQ(got, (std::vector<int>{1, 1, 2}));
}

TEST(Subject, CompletionEndsTheSubscriptionsFeedingIt) {
  RFSubjectPtr feeder = RFSubject::subject();
  RFSubjectPtr subject = RFSubject::subject();
  RFDisposablePtr feed = feeder->subscribe(subject);
  Recorder r;
  r.subscribeTo(subject);
  feeder->sendNext(Value("via"));
  subject->sendCompleted();
  Recorder late;
  late.subscribeTo(subject);
  feeder->sendNext(Value("after"));  // the feeding subscription is disposed: not forwarded
  subject->sendNext(Value("direct"));
  EXPECT_EQ(r.events, (Events{"via", "completed"}));
  EXPECT_EQ(late.events, (Events{"direct"}));
}

TEST(Subject, SubscribersMayJoinAndLeaveDuringDelivery) {
  RFSubjectPtr subject = RFSubject::subject();
  Recorder joined;
  RFDisposablePtr self;
  int calls = 0;
  self = subject->subscribeNext([&](const Value&) {
    ++calls;
    if (calls == 1) joined.subscribeTo(subject);
    self->dispose();
  });
  subject->sendNext(Value(1));
  subject->sendNext(Value(2));
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(joined.events, (Events{"2"}));
}

TEST(Subject, ReleasesASubscriberThatLeftDuringItsOwnDelivery) {
  RFSubjectPtr subject = RFSubject::subject();
  auto capture = std::make_shared<int>(0);
  std::weak_ptr<int> watch = capture;
  RFDisposablePtr self;
  self = subject->subscribeNext([&self, capture](const Value&) { self->dispose(); });
  capture.reset();
  subject->sendNext(Value(1));
  EXPECT_TRUE(watch.expired());
  EXPECT_EQ(subject->subscriberCount(), 0u);
}

TEST(Subject, DeeplyNestedSendsReachTheEndOfTheChain) {
  // Each subject forwards to the next from inside its delivery, far deeper than sends usually
  // nest; the innermost subscriber also leaves during its delivery.
  constexpr int kDepth = 40;
  std::vector<RFSubjectPtr> chain;
  for (int i = 0; i < kDepth; ++i) chain.push_back(RFSubject::subject());
  for (int i = 0; i + 1 < kDepth; ++i) {
    RFSubject* next = chain[i + 1].get();
    chain[i]->subscribeNext([next](const Value& v) { next->sendNext(Value(v.asInt64() + 1)); });
  }
  std::vector<std::int64_t> received;
  RFDisposablePtr last;
  last = chain.back()->subscribeNext([&](const Value& v) {
    received.push_back(v.asInt64());
    last->dispose();
  });
  chain.front()->sendNext(Value(0));
  chain.front()->sendNext(Value(100));
  EXPECT_EQ(received, (std::vector<std::int64_t>{kDepth - 1}));
  EXPECT_EQ(chain.back()->subscriberCount(), 0u);
}

TEST(Subject, DeliveryFinishesWhenASubscriberDropsTheLastReferenceToTheSubject) {
  RFSubjectPtr subject = RFSubject::subject();
  RFSubject* raw = subject.get();
  std::vector<std::string> events;
  subject->subscribeNext([&](const Value& v) {
    events.push_back("first " + v.description());
    subject.reset();
  });
  subject->subscribeNext([&](const Value& v) { events.push_back("second " + v.description()); });
  raw->sendNext(Value(7));
  EXPECT_EQ(subject, nullptr);
  EXPECT_EQ(events, (Events{"first 7", "second 7"}));
}

TEST(SubjectConcurrency, SendsFromSeveralThreadsReachEverySubscriber) {
  constexpr int kThreads = 4, kValues = 2000, kSubscribers = 8;
  RFSubjectPtr subject = RFSubject::subject();
  std::vector<std::atomic<long>> sums(kSubscribers);
  for (int i = 0; i < kSubscribers; ++i)
    subject->subscribeNext([&sums, i](const Value& v) { sums[i].fetch_add(v.asInt64()); });
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&] {
      for (int v = 1; v <= kValues; ++v) subject->sendNext(Value(v));
    });
  for (auto& t : threads) t.join();
  for (auto& sum : sums) EXPECT_EQ(sum.load(), static_cast<long>(kThreads) * kValues * (kValues + 1) / 2);
}

TEST(SubjectConcurrency, DisposingWhileSendingStopsDeliveryWithinOneValue) {
  for (int round = 0; round < 20; ++round) {
    RFSubjectPtr subject = RFSubject::subject();
    std::atomic<int> received{0};
    std::vector<RFDisposablePtr> subscriptions;
    for (int i = 0; i < 16; ++i)
      subscriptions.push_back(subject->subscribeNext([&](const Value&) { received.fetch_add(1); }));
    std::atomic<bool> stop{false};
    std::barrier start(3);
    std::thread sender([&] {
      start.arrive_and_wait();
      while (!stop.load()) subject->sendNext(Value(1));
    });
    std::thread subscriber([&] {
      start.arrive_and_wait();
      for (int i = 0; i < 200; ++i) subject->subscribeNext([](const Value&) {})->dispose();
    });
    start.arrive_and_wait();
    for (auto& d : subscriptions) d->dispose();
    subscriber.join();
    int afterDispose = received.load();
    platform::sleepFor(0.002);
    stop = true;
    sender.join();
    // A delivery that had taken its snapshot may still land, at most one per subscriber.
    EXPECT_LE(received.load() - afterDispose, 16);
    EXPECT_EQ(subject->subscriberCount(), 0u);
  }
}

TEST(SubjectConcurrency, DisposalFromAnotherThreadReleasesTheSubscriberAtOnce) {
  // The subject's sends come from this thread; the subscription is disposed on another.
  RFSubjectPtr subject = RFSubject::subject();
  auto capture = std::make_shared<int>(0);
  std::weak_ptr<int> watch = capture;
  int received = 0;
  RFDisposablePtr d = subject->subscribeNext([&received, capture](const Value&) { ++received; });
  capture.reset();
  subject->sendNext(Value(1));
  std::thread([d] { d->dispose(); }).join();
  EXPECT_TRUE(watch.expired());
  subject->sendNext(Value(2));
  EXPECT_EQ(received, 1);
}

TEST(SubjectConcurrency, DisposalFromAnotherThreadDuringDeliveryWaitsForIt) {
  // While this thread delivers to the first subscriber, another thread disposes the second one:
  // the delivery goes on safely, and the second subscriber is released once it is over.
  RFSubjectPtr subject = RFSubject::subject();
  auto capture = std::make_shared<int>(0);
  std::weak_ptr<int> watch = capture;
  std::vector<std::string> events;
  RFDisposablePtr second;
  subject->subscribeNext([&](const Value& v) {
    events.push_back("first " + v.description());
    if (v.asInt64() != 1) return;
    std::thread([&] { second->dispose(); }).join();
    EXPECT_FALSE(watch.expired());  // the walk still holds the list that shows it
  });
  second =
      subject->subscribeNext([&events, capture](const Value& v) { events.push_back("second " + v.description()); });
  capture.reset();
  subject->sendNext(Value(1));
  EXPECT_TRUE(watch.expired());
  subject->sendNext(Value(2));
  // Removed during a delivery it may still get that delivery, and no later one.
  EXPECT_EQ(events.back(), "first 2");
  EXPECT_EQ(std::count(events.begin(), events.end(), "second 2"), 0);
}

TEST(SubjectConcurrency, SubscribersComeAndGoOnManyThreadsWhileSeveralThreadsSend) {
  constexpr int kSenders = 3, kChurners = 3, kRounds = 300;
  RFSubjectPtr subject = RFSubject::subject();
  std::atomic<long> steady{0};
  subject->subscribeNext([&](const Value&) { steady.fetch_add(1); });
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  std::atomic<long> sent{0};
  for (int t = 0; t < kSenders; ++t)
    threads.emplace_back([&] {
      while (!stop.load()) {
        subject->sendNext(Value(1));
        sent.fetch_add(1);
      }
    });
  std::vector<std::weak_ptr<int>> captures;
  std::mutex capturesLock;
  std::vector<std::thread> churners;
  for (int t = 0; t < kChurners; ++t)
    churners.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        auto capture = std::make_shared<int>(i);
        {
          std::lock_guard g(capturesLock);
          captures.push_back(capture);
        }
        subject->subscribeNext([capture](const Value&) {})->dispose();
      }
    });
  for (auto& t : churners) t.join();
  stop = true;
  for (auto& t : threads) t.join();
  EXPECT_EQ(steady.load(), sent.load());
  EXPECT_EQ(subject->subscriberCount(), 1u);
  // Every disposed subscriber is gone once no send is running.
  for (const auto& capture : captures) EXPECT_TRUE(capture.expired());
}

TEST(ReplaySubject, ReplaysStoredValuesThenLiveOnes) {
  struct Case {
    std::uint64_t capacity;
    bool complete;
    Events expected;
  };
  const Case cases[] = {
      {RFReplaySubject::kUnlimited, false, {"a", "b", "c", "live"}},
      {1, false, {"c", "live"}},
      {1, true, {"c", "completed"}},
      {0, true, {"completed"}},
  };
  for (const Case& c : cases) {
    RFReplaySubjectPtr subject = RFReplaySubject::replaySubjectWithCapacity(c.capacity);
    subject->sendNext(Value("a"));
    subject->sendNext(Value("b"));
    subject->sendNext(Value("c"));
    if (c.complete) subject->sendCompleted();
    Recorder r;
    r.subscribeTo(subject);
    subject->sendNext(Value("live"));
    EXPECT_EQ(r.events, c.expected) << "capacity " << c.capacity;
  }
}

TEST(ReplaySubject, RemembersTerminationAndValuesSentAfterIt) {
  RFReplaySubjectPtr subject = RFReplaySubject::subject();
  subject->sendNext(Value());
  subject->sendError(platform::Error::make("D", 4));
  subject->sendNext(Value("after"));
  Recorder r;
  r.subscribeTo(subject);
  EXPECT_EQ(r.events, (Events{"(null)", "after", "error 4"}));
}

TEST(ReplaySubject, LateSubscriberGetsEveryValueOnceWhileSendsGoOn) {
  RFReplaySubjectPtr subject = RFReplaySubject::subject();
  constexpr int kValues = 3000;
  std::thread sender([&] {
    for (int i = 0; i < kValues; ++i) subject->sendNext(Value(i));
    subject->sendCompleted();
  });
  std::vector<int> got;
  std::atomic<bool> done{false};
  std::mutex m;
  // Subscribed from a scheduler's block so that the replay runs inline on this thread.
  auto test = RFTestScheduler::create();
  test->performAsCurrentScheduler([&] {
    subject->subscribeNext(
        [&](const Value& v) {
          std::lock_guard g(m);
          got.push_back(static_cast<int>(v.asInt64()));
        },
        nullptr, [&] { done = true; });
  });
  sender.join();
  ASSERT_TRUE(done.load());
  std::lock_guard g(m);
  ASSERT_EQ(got.size(), static_cast<std::size_t>(kValues));
  for (int i = 0; i < kValues; ++i) ASSERT_EQ(got[i], i);
}

TEST(ReplaySubject, DeliversItsEndWithoutHoldingItsLock) {
  // The end's handler waits for another thread that subscribes: with the subject's lock held
  // during the delivery, that thread (and anything else it held) would wait for ever.
  struct Row {
    const char* name;
    std::function<void(RFReplaySubject&)> end;
  };
  std::vector<Row> rows = {
      {"completion", [](RFReplaySubject& s) { s.sendCompleted(); }},
      {"error", [](RFReplaySubject& s) { s.sendError(platform::Error::make("Test", 1)); }},
  };
  for (const Row& row : rows) {
    RFReplaySubjectPtr subject = RFReplaySubject::subject();
    subject->sendNext(platform::Value(1));
    std::future_status status = std::future_status::deferred;
    std::atomic<int> replayed{0};
    std::promise<void> subscribed;
    std::thread other;
    auto waitForAnotherSubscriber = [&] {
      other = std::thread([subject, &replayed, &subscribed] {
        RFScheduler::immediateScheduler()->performAsCurrentScheduler([&] {
          subject->subscribeNext([&replayed](const platform::Value&) { ++replayed; },
                                 [&replayed](const platform::ErrorPtr&) { ++replayed; }, [&replayed] { ++replayed; });
        });
        subscribed.set_value();
      });
      status = subscribed.get_future().wait_for(std::chrono::seconds(2));
    };
    subject->subscribeError([&](const platform::ErrorPtr&) { waitForAnotherSubscriber(); },
                            [&] { waitForAnotherSubscriber(); });
    row.end(*subject);
    other.join();
    EXPECT_EQ(status, std::future_status::ready) << row.name;
    EXPECT_EQ(replayed.load(), 2) << row.name << ": the value and the end, replayed";
  }
}

TEST(BehaviorSubject, SendsTheLatestValueToEachNewSubscriber) {
  RFBehaviorSubjectPtr subject = RFBehaviorSubject::behaviorSubjectWithDefaultValue(Value());
  Recorder first;
  first.subscribeTo(subject);
  subject->sendNext(Value("x"));
  Recorder second;
  second.subscribeTo(subject);
  subject->sendCompleted();
  Recorder third;
  third.subscribeTo(subject);
  EXPECT_EQ(first.events, (Events{"(null)", "x", "completed"}));
  EXPECT_EQ(second.events, (Events{"x", "completed"}));
  EXPECT_EQ(third.events, (Events{"x"}));
}

TEST(GroupedSignal, IsASubjectWithAKey) {
  RFGroupedSignalPtr group = RFGroupedSignal::signalWithKey(Value("k"));
  EXPECT_EQ(group->key(), Value("k"));
  Recorder r;
  r.subscribeTo(group);
  group->sendNext(Value(1));
  EXPECT_EQ(r.events, (Events{"1"}));
}

TEST(MulticastConnection, ConnectsOnceAndReturnsTheSameDisposable) {
  int subscriptions = 0;
  RFSubjectPtr upstream = RFSubject::subject();
  auto source = RFSignal::createSignal([&](const RFSubscriberPtr& s) {
    ++subscriptions;
    return upstream->subscribe(s);
  });
  auto connection = RFMulticastConnection::create(source, RFSubject::subject());
  Recorder r;
  r.subscribeTo(connection->signal());
  RFDisposablePtr a = connection->connect();
  RFDisposablePtr b = connection->connect();
  EXPECT_EQ(a, b);
  EXPECT_EQ(subscriptions, 1);
  upstream->sendNext(Value(1));
  a->dispose();
  upstream->sendNext(Value(2));
  EXPECT_EQ(r.events, (Events{"1"}));
  connection->connect();
  EXPECT_EQ(subscriptions, 1);
}

TEST(MulticastConnection, AutoconnectFollowsItsSubscribers) {
  RFSubjectPtr upstream = RFSubject::subject();
  auto connection = RFMulticastConnection::create(upstream, RFSubject::subject());
  RFSignalPtr auto_ = connection->autoconnect();
  Recorder r1, r2, r3;
  RFDisposablePtr d1 = r1.subscribeTo(auto_);
  RFDisposablePtr d2 = r2.subscribeTo(auto_);
  EXPECT_EQ(upstream->subscriberCount(), 1u);
  d1->dispose();
  EXPECT_EQ(upstream->subscriberCount(), 1u);
  upstream->sendNext(Value(1));
  d2->dispose();
  EXPECT_EQ(upstream->subscriberCount(), 0u);
  r3.subscribeTo(auto_);
  EXPECT_EQ(upstream->subscriberCount(), 0u);  // never reconnected
  std::static_pointer_cast<RFSubject>(connection->signal())->sendNext(Value("direct"));
  EXPECT_EQ(r2.events, (Events{"1"}));
  EXPECT_EQ(r3.events, (Events{"direct"}));
}

}  // namespace
