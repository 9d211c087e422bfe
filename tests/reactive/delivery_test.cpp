#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/dispatch/run_loop.h"
#include "reactive/RFDeallocating.h"
#include "reactive/RFSignal.h"
#include "reactive/RFSubject.h"

namespace {

using platform::Value;
using Events = std::vector<std::string>;

// Drains whatever earlier tests left in the main queue.
void drainMainQueue() {
  bool drained = false;
  platform::DispatchQueue::main()->async([&] { drained = true; });
  ASSERT_TRUE(platform::runMainLoopUntil([&] { return drained; }, 10));
}

TEST(DeliverOnMainThread, MainThreadTickArrivesInlineWhenNothingIsQueued) {
  drainMainQueue();
  RFSubjectPtr tick = RFSubject::subject();
  Events events;
  tick->deliverOnMainThread()->subscribeNext([&](const Value& v) { events.push_back(v.description()); });
  tick->sendNext(Value("t1"));
  EXPECT_EQ(events, (Events{"t1"}));  // before sendNext returned
  tick->sendNext(Value("t2"));
  EXPECT_EQ(events, (Events{"t1", "t2"}));
}

TEST(DeliverOnMainThread, MainThreadEventQueuesBehindAnEarlierBackgroundOne) {
  drainMainQueue();
  RFSubjectPtr subject = RFSubject::subject();
  Events events;
  bool offMain = false;
  subject->deliverOnMainThread()->subscribeNext(
      [&](const Value& v) {
        if (!platform::isMainThread()) offMain = true;
        events.push_back(v.description());
      },
      nullptr, [&] { events.push_back("completed"); });
  std::thread([&] { subject->sendNext(Value("background")); }).join();
  subject->sendNext(Value("main"));  // must not overtake the queued one
  EXPECT_TRUE(events.empty());
  subject->sendCompleted();
  ASSERT_TRUE(platform::runMainLoopUntil([&] { return events.size() == 3; }, 10));
  EXPECT_EQ(events, (Events{"background", "main", "completed"}));
  EXPECT_FALSE(offMain);
  // Once drained, main-thread events are inline again (completion ended this one, so use a new one).
}

TEST(DeliverOnMainThread, KeepsOrderAcrossManyBackgroundSenders) {
  drainMainQueue();
  RFSubjectPtr subject = RFSubject::subject();
  std::vector<long> got;
  subject->deliverOnMainThread()->subscribeNext([&](const Value& v) { got.push_back(v.asInt64()); });
  std::thread([&] {
    for (int i = 0; i < 500; ++i) subject->sendNext(Value(i));
  }).join();
  ASSERT_TRUE(platform::runMainLoopUntil([&] { return got.size() == 500; }, 10));
  for (int i = 0; i < 500; ++i) ASSERT_EQ(got[i], i);
  subject->sendNext(Value(500));  // queue drained: inline again
  EXPECT_EQ(got.size(), 501u);
}

TEST(DeliverOnMainThread, SubscribingOnTheMainThreadSubscribesAtOnce) {
  RFSubjectPtr subject = RFSubject::subject();
  subject->deliverOnMainThread()->subscribeNext([](const Value&) {});
  EXPECT_EQ(subject->subscriberCount(), 1u);
}

TEST(DeliverOn, DeliversThroughTheSchedulerInVirtualTime) {
  auto scheduler = RFTestScheduler::create();
  RFSubjectPtr subject = RFSubject::subject();
  Events events;
  RFDisposablePtr d =
      subject->deliverOn(scheduler)->subscribeNext([&](const Value& v) { events.push_back(v.description()); });
  subject->sendNext(Value(1));
  subject->sendNext(Value(2));
  EXPECT_TRUE(events.empty());
  scheduler->step();
  EXPECT_EQ(events, (Events{"1"}));
  d->dispose();  // the queued delivery still runs, and is ignored
  scheduler->stepAll();
  EXPECT_EQ(events, (Events{"1"}));
}

TEST(SubscribeOn, SubscribesThroughTheScheduler) {
  auto scheduler = RFTestScheduler::create();
  RFSubjectPtr subject = RFSubject::subject();
  Events events;
  RFDisposablePtr d =
      subject->subscribeOn(scheduler)->subscribeNext([&](const Value& v) { events.push_back(v.description()); });
  EXPECT_EQ(subject->subscriberCount(), 0u);
  scheduler->step();
  EXPECT_EQ(subject->subscriberCount(), 1u);
  subject->sendNext(Value("x"));  // not moved: arrives on the sending thread at once
  EXPECT_EQ(events, (Events{"x"}));
  d->dispose();
  EXPECT_EQ(subject->subscriberCount(), 0u);

  // A scheduler that runs at once subscribes synchronously.
  subject->subscribeOn(RFScheduler::immediateScheduler())->subscribeNext([](const Value&) {});
  EXPECT_EQ(subject->subscriberCount(), 1u);
}

TEST(SubscribeOn, DisposalBeforeTheScheduledSubscriptionCancelsIt) {
  auto scheduler = RFTestScheduler::create();
  RFSubjectPtr subject = RFSubject::subject();
  subject->subscribeOn(scheduler)->subscribeNext([](const Value&) {})->dispose();
  scheduler->stepAll();
  EXPECT_EQ(subject->subscriberCount(), 0u);
}

TEST(Defer, CallsItsBlockOncePerSubscription) {
  int calls = 0;
  RFSignalPtr deferred = RFSignal::defer([&] {
    ++calls;
    return RFSignal::returnValue(Value(calls));
  });
  EXPECT_EQ(calls, 0);
  Events events;
  deferred->subscribeNext([&](const Value& v) { events.push_back(v.description()); });
  deferred->subscribeNext([&](const Value& v) { events.push_back(v.description()); });
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(events, (Events{"1", "2"}));
}

// --- Deallocation hooks --------------------------------------------------------------------------

class Probe : public platform::Object {
  ZORVEL_CLASS(Probe, platform::Object)
};

TEST(DeallocHooks, DisposeWhenTheObjectGoesAway) {
  auto object = platform::make<Probe>();
  RFCompoundDisposablePtr disposable = rf_deallocDisposable(*object);
  EXPECT_EQ(rf_deallocDisposable(*object), disposable);
  bool disposed = false;
  rf_addDeallocDisposable(*object, RFDisposable::disposableWithBlock([&] { disposed = true; }));
  object.reset();
  EXPECT_TRUE(disposed);
  EXPECT_TRUE(disposable->isDisposed());
  // Added afterwards: disposed at once.
  auto late = RFDisposable::disposable();
  disposable->addDisposable(late);
  EXPECT_TRUE(late->isDisposed());
}

TEST(DeallocHooks, WillDeallocSignalCompletesAndReplaysTheCompletion) {
  auto object = platform::make<Probe>();
  RFSignalPtr willDealloc = rf_willDeallocSignal(*object);
  EXPECT_EQ(rf_willDeallocSignal(*object), willDealloc);
  bool completed = false, lateCompleted = false;
  willDealloc->subscribeCompleted([&] { completed = true; });
  object.reset();
  EXPECT_TRUE(completed);
  willDealloc->subscribeCompleted([&] { lateCompleted = true; });
  EXPECT_TRUE(lateCompleted);
}

TEST(DeallocHooks, DidDeallocSignalCompletes) {
  auto object = platform::make<Probe>();
  bool completed = false;
  rf_didDeallocSignal(*object)->subscribeCompleted([&] { completed = true; });
  EXPECT_FALSE(completed);
  object.reset();
  EXPECT_TRUE(completed);
}

TEST(Description, IsSkippedUnlessDebugNamingIsOn) {
  unsetenv("RF_DEBUG_SIGNAL_NAMES");
  auto object = platform::make<Probe>();
  EXPECT_EQ(rf_description(*object), "(description skipped)");
  EXPECT_EQ(rf_description(Value(object)), "(description skipped)");
  EXPECT_EQ(rf_description(Value("text")), "text");
  EXPECT_EQ(rf_description(Value(42)), "42");
  setenv("RF_DEBUG_SIGNAL_NAMES", "1", 1);
  EXPECT_EQ(rf_description(*object).rfind("<Probe: 0x", 0), 0u);
  unsetenv("RF_DEBUG_SIGNAL_NAMES");
}

}  // namespace
