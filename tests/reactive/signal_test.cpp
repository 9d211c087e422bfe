#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "reactive/RFEvent.h"
#include "reactive/RFSignal.h"
#include "reactive/RFSubject.h"
#include "reactive/RFTuple.h"

namespace {

using platform::Value;

// Records a signal's events as strings: "a", "(null)", "completed", "error 7".
struct Recorder {
  std::vector<std::string> events;
  RFDisposablePtr subscribeTo(const RFSignalPtr& signal) {
    return signal->subscribeNext(
        [this](const Value& v) { events.push_back(text(v)); },
        [this](const platform::ErrorPtr& e) { events.push_back("error " + std::to_string(e->code())); },
        [this] { events.push_back("completed"); });
  }
  static std::string text(const Value& v) {
    if (auto tuple = v.as<RFTuple>()) {
      std::string s = "(";
      for (std::size_t i = 0; i < tuple->count(); ++i) s += (i ? "," : "") + (*tuple)[i].description();
      return s + ")";
    }
    return v.description();
  }
};

RFSignalPtr sequence(std::vector<Value> values, bool complete = true) {
  return RFSignal::createSignal([values, complete](const RFSubscriberPtr& s) -> RFDisposablePtr {
    for (const Value& v : values) s->sendNext(v);
    if (complete) s->sendCompleted();
    return nullptr;
  });
}

class ScopedDebugNames {
 public:
  ScopedDebugNames() { setenv("RF_DEBUG_SIGNAL_NAMES", "", 1); }
  ~ScopedDebugNames() { unsetenv("RF_DEBUG_SIGNAL_NAMES"); }
};

TEST(SignalNames, AreKeptOnlyWithTheEnvironmentVariable) {
  unsetenv("RF_DEBUG_SIGNAL_NAMES");
  auto signal = RFSignal::never();
  EXPECT_EQ(signal->name(), "");
  signal->setNameWithFormat("named %d", 3);
  EXPECT_EQ(signal->name(), "");
  {
    ScopedDebugNames on;  // set, even though empty
    signal->setNameWithFormat("named %d", 3);
    EXPECT_EQ(signal->name(), "named 3");
    auto bound = signal->concat(RFSignal::empty());
    EXPECT_EQ(bound->name().rfind("[named 3] -concat: <RFEmptySignal: 0x", 0), 0u) << bound->name();
    EXPECT_EQ(RFSignal::never()->name(), "+never");
  }
  EXPECT_EQ(RFSignal::error(platform::Error::make("D", 1))->name(), "+error:");
  RFSignalPtr empty = RFSignal::empty();
  empty->setName("other");
  EXPECT_EQ(empty->name(), "+empty");
  RFSignalPtr ret = RFSignal::returnValue(Value(1));
  ret->setName("other");
  EXPECT_EQ(ret->name(), "+return:");
  EXPECT_NE(signal->description().find(" name: "), std::string::npos);
}

TEST(SignalFactories, ShareTheNilUnitAndEmptyInstances) {
  EXPECT_EQ(RFSignal::returnValue(Value()), RFSignal::returnValue(Value()));
  EXPECT_EQ(RFSignal::returnValue(RFUnit::unitValue()), RFSignal::returnValue(Value(RFUnit::defaultUnit())));
  EXPECT_NE(RFSignal::returnValue(Value(1)), RFSignal::returnValue(Value(1)));
  EXPECT_EQ(RFSignal::empty(), RFSignal::empty());
}

TEST(SignalFactories, DeliverTheirEventsInlineOnTheMainThread) {
  struct Case {
    const char* name;
    RFSignalPtr signal;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"empty", RFSignal::empty(), {"completed"}},
      {"return", RFSignal::returnValue(Value("x")), {"x", "completed"}},
      {"return nil", RFSignal::returnValue(Value()), {"(null)", "completed"}},
      {"error", RFSignal::error(platform::Error::make("D", 7)), {"error 7"}},
      {"never", RFSignal::never(), {}},
      {"defer", RFSignal::defer([] { return RFSignal::returnValue(Value("d")); }), {"d", "completed"}},
      {"defer nil", RFSignal::defer([] { return RFSignalPtr(); }), {}},
  };
  for (const Case& c : cases) {
    Recorder r;
    r.subscribeTo(c.signal);
    EXPECT_EQ(r.events, c.expected) << c.name;
  }
}

TEST(DynamicSignal, SubscriptionOnTheMainThreadRunsBeforeSubscribeReturns) {
  Recorder r;
  RFDisposablePtr d = r.subscribeTo(sequence({Value("a")}));
  EXPECT_EQ(r.events, (std::vector<std::string>{"a", "completed"}));
  EXPECT_TRUE(d->isDisposed());
}

TEST(DynamicSignal, SubscriptionFromABareThreadRunsLater) {
  platform::DispatchSemaphore done;
  std::thread::id subscriber, ran;
  auto signal = RFSignal::createSignal([&](const RFSubscriberPtr& s) -> RFDisposablePtr {
    ran = std::this_thread::get_id();
    s->sendCompleted();
    return nullptr;
  });
  std::thread([&] {
    subscriber = std::this_thread::get_id();
    signal->subscribeCompleted([&] { done.signal(); });
  }).join();
  ASSERT_TRUE(done.wait(10));
  EXPECT_NE(ran, subscriber);
}

TEST(DynamicSignal, DisposalStopsEventsAndTearsDownTheSubscription) {
  RFSubjectPtr source = RFSubject::subject();
  bool tornDown = false;
  auto signal = RFSignal::createSignal([&](const RFSubscriberPtr& s) -> RFDisposablePtr {
    RFDisposablePtr inner = source->subscribe(s);
    return RFDisposable::disposableWithBlock([&, inner] {
      tornDown = true;
      inner->dispose();
    });
  });
  Recorder r;
  RFDisposablePtr d = r.subscribeTo(signal);
  source->sendNext(Value(1));
  d->dispose();
  source->sendNext(Value(2));
  EXPECT_EQ(r.events, (std::vector<std::string>{"1"}));
  EXPECT_TRUE(tornDown);
  EXPECT_EQ(source->subscriberCount(), 0u);
}

// --- bind ----------------------------------------------------------------------------------------

RFSignalPtr bindWith(const RFSignalPtr& signal, std::function<RFStreamPtr(const Value&, bool&)> block) {
  return signal->bind([block] { return block; });
}

TEST(Bind, InterleavesInnerSignalsAndCompletesAfterAllOfThem) {
  RFSubjectPtr source = RFSubject::subject();
  std::vector<RFSubjectPtr> inners;
  auto bound = bindWith(source, [&](const Value&, bool&) -> RFStreamPtr {
    inners.push_back(RFSubject::subject());
    return inners.back();
  });
  Recorder r;
  r.subscribeTo(bound);
  source->sendNext(Value(1));
  source->sendNext(Value(2));
  inners[1]->sendNext(Value("b1"));
  inners[0]->sendNext(Value("a1"));
  source->sendCompleted();
  inners[0]->sendCompleted();
  EXPECT_EQ(r.events, (std::vector<std::string>{"b1", "a1"}));
  inners[1]->sendCompleted();
  EXPECT_EQ(r.events, (std::vector<std::string>{"b1", "a1", "completed"}));
}

TEST(Bind, NilStreamEndsTheReceiverAndCompletes) {
  RFSubjectPtr source = RFSubject::subject();
  auto bound = bindWith(source, [](const Value&, bool&) -> RFStreamPtr { return nullptr; });
  Recorder r;
  r.subscribeTo(bound);
  source->sendNext(Value(1));
  EXPECT_EQ(r.events, (std::vector<std::string>{"completed"}));
  EXPECT_EQ(source->subscriberCount(), 0u);  // the receiver's subscription was disposed
  source->sendNext(Value(2));
  EXPECT_EQ(r.events.size(), 1u);
}

TEST(Bind, StopStillDeliversTheReturnedStream) {
  RFSubjectPtr source = RFSubject::subject();
  RFSubjectPtr inner = RFSubject::subject();
  auto bound = bindWith(source, [&](const Value&, bool& stop) -> RFStreamPtr {
    stop = true;
    return inner;
  });
  Recorder r;
  r.subscribeTo(bound);
  source->sendNext(Value(1));
  source->sendNext(Value(2));  // ignored: the receiver's subscription is gone
  inner->sendNext(Value("i"));
  EXPECT_EQ(r.events, (std::vector<std::string>{"i"}));
  inner->sendCompleted();
  EXPECT_EQ(r.events, (std::vector<std::string>{"i", "completed"}));
}

TEST(Bind, FirstErrorEndsEverything) {
  RFSubjectPtr source = RFSubject::subject();
  RFSubjectPtr inner = RFSubject::subject();
  auto bound = bindWith(source, [&](const Value&, bool&) -> RFStreamPtr { return inner; });
  Recorder r;
  r.subscribeTo(bound);
  source->sendNext(Value(1));
  inner->sendError(platform::Error::make("D", 3));
  source->sendNext(Value(2));
  inner->sendNext(Value("late"));
  EXPECT_EQ(r.events, (std::vector<std::string>{"error 3"}));
}

TEST(Bind, OneSharedSignalReturnedTwiceOffTheMainThreadDeliversBoth) {
  // Off any scheduler the shared nil return signal delivers later, so two of its subscriptions
  // are pending when the receiver completes; both must be delivered before completion.
  RFSubjectPtr source = RFSubject::subject();
  auto bound = bindWith(source, [](const Value&, bool&) -> RFStreamPtr { return RFSignal::returnValue(Value()); });
  std::mutex m;
  std::vector<std::string> events;
  platform::DispatchSemaphore completed;
  std::thread([&] {
    bound->subscribeNext(
        [&](const Value& v) {
          std::lock_guard g(m);
          events.push_back(v.description());
        },
        nullptr,
        [&] {
          {
            std::lock_guard g(m);
            events.push_back("completed");
          }
          completed.signal();
        });
  }).join();
  for (int i = 0; i < 1000 && source->subscriberCount() == 0; ++i) platform::sleepFor(0.005);
  ASSERT_EQ(source->subscriberCount(), 1u);
  std::thread([&] {
    source->sendNext(Value(1));
    source->sendNext(Value(2));
    source->sendCompleted();
  }).join();
  ASSERT_TRUE(completed.wait(10));
  std::lock_guard g(m);
  EXPECT_EQ(events, (std::vector<std::string>{"(null)", "(null)", "completed"}));
}

// --- concat and zipWith --------------------------------------------------------------------------

TEST(Concat, SendsTheOtherSignalAfterCompletion) {
  Recorder r;
  r.subscribeTo(sequence({Value("a")})->concat(sequence({Value("b")})));
  EXPECT_EQ(r.events, (std::vector<std::string>{"a", "b", "completed"}));
}

TEST(Concat, NeverSubscribesTheOtherSignalAfterAnErrorOrDisposal) {
  int subscriptions = 0;
  auto other = RFSignal::createSignal([&](const RFSubscriberPtr&) -> RFDisposablePtr {
    ++subscriptions;
    return nullptr;
  });
  Recorder r;
  r.subscribeTo(RFSignal::error(platform::Error::make("D", 2))->concat(other));
  EXPECT_EQ(r.events, (std::vector<std::string>{"error 2"}));
  RFSubjectPtr first = RFSubject::subject();
  first->concat(other)->subscribeNext([](const Value&) {})->dispose();
  first->sendCompleted();
  EXPECT_EQ(subscriptions, 0);
}

TEST(Concat, DisposalEndsTheOtherSignalWhenTheReceiverCompletedWhileBeingSubscribed) {
  // The receiver completes inside its own subscription (a return signal on the main thread), so
  // the other signal is subscribed before the receiver's subscription returns.
  RFSubjectPtr other = RFSubject::subject();
  RFDisposablePtr subscription =
      RFSignal::returnValue(Value("first"))->concat(other)->subscribeNext([](const Value&) {});
  EXPECT_EQ(other->subscriberCount(), 1u);
  subscription->dispose();
  EXPECT_EQ(other->subscriberCount(), 0u);
}

TEST(ZipWith, PairsValuesAndCompletesWhenOneSideRunsOut) {
  RFSubjectPtr left = RFSubject::subject(), right = RFSubject::subject();
  Recorder r;
  r.subscribeTo(left->zipWith(right));
  left->sendNext(Value("a"));
  left->sendNext(Value("b"));
  left->sendNext(Value("c"));
  left->sendCompleted();
  right->sendNext(Value("x"));
  right->sendNext(Value());
  EXPECT_EQ(r.events, (std::vector<std::string>{"(a,x)", "(b,(null))"}));
  right->sendCompleted();
  EXPECT_EQ(r.events.back(), "completed");
  EXPECT_EQ(std::count(r.events.begin(), r.events.end(), "completed"), 1);
}

TEST(ZipWith, NilIsHeldAsTheTupleMarker) {
  std::vector<RFTuplePtr> tuples;
  sequence({Value()})->zipWith(sequence({Value(1)}))->subscribeNext([&](const Value& v) {
    tuples.push_back(v.as<RFTuple>());
  });
  ASSERT_EQ(tuples.size(), 1u);
  EXPECT_TRUE(RFTupleNil::isTupleNil(tuples[0]->backingArray()[0]));
  EXPECT_TRUE(tuples[0]->first().isNil());
  EXPECT_EQ(tuples[0]->second(), Value(1));
}

// --- lifetimes -----------------------------------------------------------------------------------

TEST(SignalLifetime, CompletedChainsReleaseSubscribersAndSignals) {
  auto token = std::make_shared<int>(0);
  std::weak_ptr<int> weakToken = token;
  std::weak_ptr<RFSignal> weakChain;
  std::weak_ptr<RFSubscriber> weakSubscriber;
  {
    RFSubjectPtr source = RFSubject::subject();
    RFSignalPtr chain = bindWith(source, [](const Value& v, bool&) -> RFStreamPtr { return RFSignal::returnValue(v); })
                            ->concat(sequence({Value("end")}))
                            ->zipWith(sequence({Value(1), Value(2)}))
                            ->deliverOnMainThread();
    weakChain = chain;
    auto subscriber = RFSubscriber::subscriberWithNext([token](const Value&) {}, nullptr, [token] {});
    weakSubscriber = subscriber;
    chain->subscribe(subscriber);
    subscriber.reset();
    token.reset();
    source->sendNext(Value("v"));
    source->sendCompleted();
    EXPECT_TRUE(weakToken.expired()) << "blocks are released at completion";
  }
  EXPECT_TRUE(weakChain.expired());
  EXPECT_TRUE(weakSubscriber.expired());
}

TEST(SignalLifetime, DisposedSubjectSubscriptionsReleaseTheirSubscribers) {
  RFSubjectPtr subject = RFSubject::subject();
  std::weak_ptr<RFSubscriber> weak;
  {
    auto subscriber = RFSubscriber::subscriberWithNext([](const Value&) {}, nullptr, nullptr);
    weak = subscriber;
    subject->subscribe(subscriber)->dispose();
  }
  EXPECT_TRUE(weak.expired());
  EXPECT_EQ(subject->subscriberCount(), 0u);
}

}  // namespace
