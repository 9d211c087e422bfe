#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <thread>
#include <vector>

#include "reactive/RFDisposable.h"
#include "reactive/RFSubscriberInternal.h"

namespace {

RFDisposablePtr recording(std::vector<int>& log, int id) {
  return RFDisposable::disposableWithBlock([&log, id] { log.push_back(id); });
}

TEST(Disposable, RunsItsBlockOnceAndReportsDisposed) {
  int runs = 0;
  auto d = RFDisposable::disposableWithBlock([&] { ++runs; });
  EXPECT_FALSE(d->isDisposed());
  d->dispose();
  d->dispose();
  EXPECT_TRUE(d->isDisposed());
  EXPECT_EQ(runs, 1);

  auto plain = RFDisposable::disposable();
  EXPECT_FALSE(plain->isDisposed());
  plain->dispose();
  EXPECT_TRUE(plain->isDisposed());

  EXPECT_TRUE(RFDisposable::disposableWithBlock(nullptr)->isDisposed());
}

TEST(Disposable, ReleasesItsBlockAfterRunning) {
  auto captured = std::make_shared<int>(1);
  std::weak_ptr<int> weak = captured;
  auto d = RFDisposable::disposableWithBlock([captured] {});
  captured.reset();
  EXPECT_FALSE(weak.expired());
  d->dispose();
  EXPECT_TRUE(weak.expired());
}

TEST(Disposable, ConcurrentDisposeRunsTheBlockExactlyOnce) {
  constexpr int kThreads = 8;
  for (int round = 0; round < 50; ++round) {
    std::atomic<int> runs{0};
    auto d = RFDisposable::disposableWithBlock([&] { runs.fetch_add(1); });
    std::barrier start(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
      threads.emplace_back([&] {
        start.arrive_and_wait();
        d->dispose();
      });
    for (auto& t : threads) t.join();
    ASSERT_EQ(runs.load(), 1);
  }
}

TEST(CompoundDisposable, DisposesChildrenInOrderOfAdditionOnce) {
  std::vector<int> log;
  auto compound = RFCompoundDisposable::compoundDisposable();
  for (int i = 1; i <= 5; ++i) compound->addDisposable(recording(log, i));
  compound->dispose();
  compound->dispose();
  EXPECT_EQ(log, (std::vector<int>{1, 2, 3, 4, 5}));
  EXPECT_TRUE(compound->isDisposed());
}

TEST(CompoundDisposable, InitialDisposablesKeepTheirOrder) {
  std::vector<int> log;
  auto compound = RFCompoundDisposable::compoundDisposableWithDisposables(
      {recording(log, 1), recording(log, 2), recording(log, 3)});
  compound->addDisposable(recording(log, 4));
  compound->dispose();
  EXPECT_EQ(log, (std::vector<int>{1, 2, 3, 4}));
}

TEST(CompoundDisposable, AddingToADisposedCompoundDisposesAtOnce) {
  auto compound = RFCompoundDisposable::compoundDisposable();
  compound->dispose();
  auto late = RFDisposable::disposable();
  compound->addDisposable(late);
  EXPECT_TRUE(late->isDisposed());
  compound->addDisposable(nullptr);  // ignored
}

TEST(CompoundDisposable, RemovedChildrenAreNeitherDisposedNorKept) {
  std::vector<int> log;
  auto compound = RFCompoundDisposable::compoundDisposable();
  auto a = recording(log, 1), b = recording(log, 2), c = recording(log, 3);
  compound->addDisposable(a);
  compound->addDisposable(b);
  compound->addDisposable(c);
  compound->addDisposable(c);  // twice: two entries
  compound->removeDisposable(c.get());
  compound->removeDisposable(a.get());
  EXPECT_TRUE(log.empty());
  EXPECT_FALSE(c->isDisposed());
  // A slot emptied by removal is filled again.
  auto d = recording(log, 4);
  compound->addDisposable(d);
  compound->dispose();
  EXPECT_EQ(log, (std::vector<int>{4, 2}));
}

TEST(CompoundDisposable, RemovalReleasesTheChild) {
  auto compound = RFCompoundDisposable::compoundDisposable();
  auto child = RFDisposable::disposable();
  std::weak_ptr<RFDisposable> weak = child;
  for (int i = 0; i < 3; ++i) compound->addDisposable(RFDisposable::disposable());
  compound->addDisposable(child);
  compound->removeDisposable(child.get());
  child.reset();
  EXPECT_TRUE(weak.expired());
}

TEST(CompoundDisposable, ConcurrentAddsAndDisposeDisposeEveryChildOnce) {
  constexpr int kThreads = 6, kPerThread = 200;
  for (int round = 0; round < 10; ++round) {
    auto compound = RFCompoundDisposable::compoundDisposable();
    std::atomic<int> runs{0};
    std::barrier start(kThreads + 1);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&] {
        start.arrive_and_wait();
        for (int i = 0; i < kPerThread; ++i) {
          auto d = RFDisposable::disposableWithBlock([&] { runs.fetch_add(1); });
          compound->addDisposable(d);
          if (i % 3 == 0) compound->removeDisposable(d.get()), d->dispose();
        }
      });
    start.arrive_and_wait();
    compound->dispose();
    for (auto& t : threads) t.join();
    // Every child was disposed exactly once: by the compound, on arrival, or by hand.
    EXPECT_EQ(runs.load(), kThreads * kPerThread);
  }
}

TEST(SerialDisposable, ReplacingDoesNotDisposeTheOldOne) {
  auto serial = RFSerialDisposable::serialDisposable();
  auto first = RFDisposable::disposable(), second = RFDisposable::disposable();
  serial->setDisposable(first);
  EXPECT_EQ(serial->swapInDisposable(second), first);
  EXPECT_FALSE(first->isDisposed());
  EXPECT_EQ(serial->disposable(), second);
  serial->dispose();
  EXPECT_TRUE(second->isDisposed());
  EXPECT_FALSE(first->isDisposed());
}

TEST(SerialDisposable, SwappingIntoADisposedSerialDisposesTheNewOne) {
  auto serial = RFSerialDisposable::serialDisposable();
  serial->dispose();
  auto late = RFDisposable::disposable();
  EXPECT_EQ(serial->swapInDisposable(late), nullptr);
  EXPECT_TRUE(late->isDisposed());
  EXPECT_EQ(serial->disposable(), nullptr);
}

TEST(ScopedDisposable, DisposesWhenItGoesAway) {
  auto inner = RFDisposable::disposable();
  {
    RFScopedDisposablePtr scoped = inner->asScopedDisposable();
    EXPECT_EQ(scoped->asScopedDisposable(), scoped);
    EXPECT_FALSE(inner->isDisposed());
  }
  EXPECT_TRUE(inner->isDisposed());
}

// --- Block subscribers -----------------------------------------------------------------------------

TEST(BlockSubscriber, CompletionReleasesBlocksAndIgnoresLaterEvents) {
  auto captured = std::make_shared<int>(0);
  std::weak_ptr<int> weak = captured;
  std::vector<std::string> log;
  std::shared_ptr<RFSubscriber> subscriber;
  subscriber = RFSubscriber::subscriberWithNext(
      [&log, captured](const platform::Value& v) { log.push_back("next " + v.description()); }, nullptr,
      [&log, &subscriber] {
        log.push_back("completed");
        subscriber->sendNext(platform::Value("after"));  // blocks already cleared: ignored
      });
  captured.reset();
  subscriber->sendNext(platform::Value("a"));
  subscriber->sendCompleted();
  subscriber->sendNext(platform::Value("b"));
  subscriber->sendCompleted();
  EXPECT_EQ(log, (std::vector<std::string>{"next a", "completed"}));
  EXPECT_TRUE(weak.expired());
}

TEST(BlockSubscriber, ErrorDisposesTheSubscriptionsItWasToldAbout) {
  auto subscriber = RFBlockSubscriber::create(
      nullptr, [](const platform::ErrorPtr&) {}, nullptr);
  auto subscription = RFCompoundDisposable::compoundDisposable();
  subscriber->didSubscribeWithDisposable(subscription);
  subscriber->sendError(platform::Error::make("Test", 1));
  EXPECT_TRUE(subscription->isDisposed());
  EXPECT_TRUE(subscriber->disposable()->isDisposed());
}

TEST(BlockSubscriber, ASubscriptionThatEndsByItselfLeavesTheSubscriber) {
  auto subscriber = RFBlockSubscriber::create(nullptr, nullptr, nullptr);
  auto subscription = RFCompoundDisposable::compoundDisposable();
  std::weak_ptr<RFCompoundDisposable> weak = subscription;
  subscriber->didSubscribeWithDisposable(subscription);
  subscription->dispose();
  subscription.reset();
  EXPECT_TRUE(weak.expired());
  EXPECT_FALSE(subscriber->disposable()->isDisposed());
}

TEST(BlockSubscriber, DisposalFromAnotherThreadWhileSendingIsSafe) {
  for (int round = 0; round < 20; ++round) {
    std::atomic<int> received{0};
    auto subscriber =
        RFBlockSubscriber::create([&](const platform::Value&) { received.fetch_add(1); }, nullptr, nullptr);
    std::thread sender([&] {
      for (int i = 0; i < 500; ++i) subscriber->sendNext(platform::Value(i));
    });
    subscriber->disposable()->dispose();
    sender.join();
    int seen = received.load();
    subscriber->sendNext(platform::Value(1));
    EXPECT_EQ(received.load(), seen);
  }
}

TEST(PassthroughSubscriber, StopsForwardingOnceItsDisposableIsDisposed) {
  std::vector<int> got;
  auto inner = RFSubscriber::subscriberWithNext(
      [&](const platform::Value& v) { got.push_back(static_cast<int>(v.asInt64())); }, nullptr, nullptr);
  auto compound = RFCompoundDisposable::compoundDisposable();
  auto passthrough = RFPassthroughSubscriber::create(inner, {}, compound);
  passthrough->sendNext(platform::Value(1));
  compound->dispose();
  passthrough->sendNext(platform::Value(2));
  EXPECT_EQ(got, (std::vector<int>{1}));
}

}  // namespace
