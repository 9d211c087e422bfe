#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "reactive/RFSignal.h"
#include "reactive/RFSubject.h"
#include "reactive/RFTuple.h"

// Sends from several threads at once into the operators that combine inputs. The subscriber's
// blocks count with plain variables: its lock serialises them, and the thread sanitizer checks
// that the operators' own state is guarded too. Threads without a scheduler have their values
// through map and the like delivered later, so the tests wait for completion before looking.

namespace {

using platform::Value;

constexpr int kThreads = 4;
constexpr int kValues = 2000;

// Runs `send(t)` on kThreads threads started together, and waits for them.
template <class F>
void onThreads(int count, F send) {
  std::barrier start(count);
  std::vector<std::thread> threads;
  for (int t = 0; t < count; ++t)
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      send(t);
    });
  for (auto& thread : threads) thread.join();
}

// 1 to kValues into each side, each from its own thread, then completion.
void sendFromTwoThreads(const RFSubjectPtr& left, const RFSubjectPtr& right) {
  onThreads(2, [&](int t) {
    RFSubjectPtr side = t == 0 ? left : right;
    for (int i = 1; i <= kValues; ++i) side->sendNext(Value(i));
    side->sendCompleted();
  });
}

TEST(OperatorConcurrency, MergeForwardsEverySendOnce) {
  std::vector<RFSubjectPtr> inputs;
  std::vector<RFSignalPtr> signals;
  for (int t = 0; t < kThreads; ++t) {
    inputs.push_back(RFSubject::subject());
    signals.push_back(inputs.back());
  }
  long sum = 0, count = 0;
  bool completed = false;
  RFSignal::merge(signals)->subscribeNext(
      [&](const Value& v) {
        sum += v.asInt64();
        ++count;
      },
      nullptr, [&] { completed = true; });
  onThreads(kThreads, [&](int t) {
    for (int i = 1; i <= kValues; ++i) inputs[t]->sendNext(Value(i));
    inputs[t]->sendCompleted();
  });
  EXPECT_EQ(count, static_cast<long>(kThreads) * kValues);
  EXPECT_EQ(sum, static_cast<long>(kThreads) * kValues * (kValues + 1) / 2);
  EXPECT_TRUE(completed);
}

TEST(OperatorConcurrency, CombineLatestSeesEachSideInOrder) {
  RFSubjectPtr left = RFSubject::subject(), right = RFSubject::subject();
  std::int64_t lastLeft = 0, lastRight = 0;
  long tuples = 0;
  bool ordered = true, completed = false;
  platform::DispatchSemaphore ended;
  RFSignal::combineLatest({left, right})
      ->subscribeNext(
          [&](const Value& v) {
            RFTuplePtr tuple = v.as<RFTuple>();
            std::int64_t l = tuple->first().asInt64(), r = tuple->second().asInt64();
            if (l < lastLeft || r < lastRight) ordered = false;
            lastLeft = l;
            lastRight = r;
            ++tuples;
          },
          nullptr,
          [&] {
            completed = true;
            ended.signal();
          });
  sendFromTwoThreads(left, right);
  ASSERT_TRUE(ended.wait(30));
  EXPECT_TRUE(ordered);
  EXPECT_TRUE(completed);
  EXPECT_EQ(lastLeft, kValues);
  EXPECT_EQ(lastRight, kValues);
  EXPECT_GE(tuples, kValues);
}

TEST(OperatorConcurrency, ZipPairsTheNthValuesOfEachSide) {
  RFSubjectPtr left = RFSubject::subject(), right = RFSubject::subject();
  std::vector<std::pair<std::int64_t, std::int64_t>> pairs;
  bool completed = false;
  platform::DispatchSemaphore ended;
  RFSignal::zip({left, right})
      ->subscribeNext(
          [&](const Value& v) {
            RFTuplePtr tuple = v.as<RFTuple>();
            pairs.emplace_back(tuple->first().asInt64(), tuple->second().asInt64());
          },
          nullptr,
          [&] {
            completed = true;
            ended.signal();
          });
  sendFromTwoThreads(left, right);
  ASSERT_TRUE(ended.wait(30));
  ASSERT_EQ(pairs.size(), static_cast<std::size_t>(kValues));
  for (int i = 0; i < kValues; ++i) {
    EXPECT_EQ(pairs[i].first, i + 1);
    EXPECT_EQ(pairs[i].second, i + 1);
  }
  EXPECT_TRUE(completed);
}

TEST(OperatorConcurrency, SwitchToLatestWhileInnerSignalsSendFromOtherThreads) {
  RFSubjectPtr outer = RFSubject::subject();
  std::vector<RFSubjectPtr> inners;
  for (int i = 0; i < kThreads; ++i) inners.push_back(RFSubject::subject());
  std::set<std::int64_t> senders;
  long received = 0;
  bool completed = false;
  outer->switchToLatest()->subscribeNext(
      [&](const Value& v) {
        senders.insert(v.asInt64());
        ++received;
      },
      nullptr, [&] { completed = true; });
  std::atomic<bool> switching{true};
  std::thread switcher([&] {
    // With a current scheduler, as on the main thread or a scheduler's queue: each inner signal
    // is subscribed before the switch returns (on a bare thread that would happen later).
    RFScheduler::scheduler()->performAsCurrentScheduler([&] {
      for (int round = 0; round < 200; ++round) outer->sendNext(Value(inners[round % kThreads]));
    });
    switching = false;
  });
  onThreads(kThreads, [&](int t) {
    while (switching.load()) inners[t]->sendNext(Value(t));
  });
  switcher.join();
  // Once the switching is over, only the latest inner signal gets through.
  std::int64_t latest = 199 % kThreads;
  long before = received;
  senders.clear();
  for (int t = 0; t < kThreads; ++t) inners[t]->sendNext(Value(t));
  EXPECT_EQ(received, before + 1);
  EXPECT_EQ(senders, (std::set<std::int64_t>{latest}));
  outer->sendCompleted();
  EXPECT_FALSE(completed);
  inners[latest]->sendCompleted();
  EXPECT_TRUE(completed);
}

TEST(OperatorConcurrency, ThrottleSettlesOnTheLastValue) {
  RFSubjectPtr subject = RFSubject::subject();
  std::mutex lock;
  std::vector<std::int64_t> delivered;
  platform::DispatchSemaphore completed;
  subject->throttle(0.05)->subscribeNext(
      [&](const Value& v) {
        std::lock_guard g(lock);
        delivered.push_back(v.asInt64());
      },
      nullptr, [&] { completed.signal(); });
  onThreads(kThreads, [&](int t) {
    for (int i = 0; i < kValues; ++i) subject->sendNext(Value(t * kValues + i));
  });
  subject->sendNext(Value(-1));  // after every other send: the one left when things go quiet
  platform::sleepFor(0.3);
  subject->sendCompleted();
  ASSERT_TRUE(completed.wait(10));
  std::lock_guard g(lock);
  ASSERT_FALSE(delivered.empty());
  EXPECT_EQ(delivered.back(), -1);
  EXPECT_LT(delivered.size(), static_cast<std::size_t>(kThreads) * kValues);
}

TEST(OperatorConcurrency, FlattenMapOfSignalsSendingOnManyThreads) {
  RFSubjectPtr outer = RFSubject::subject();
  std::vector<RFSubjectPtr> inners;
  for (int i = 0; i < kThreads; ++i) inners.push_back(RFSubject::subject());
  long count = 0;
  bool completed = false;
  outer->flattenMap([](const Value& v) { return v.as<RFSignal>(); })
      ->map([](const Value& v) { return Value(v.asInt64() + 1); })
      ->subscribeNext([&](const Value&) { ++count; }, nullptr, [&] { completed = true; });
  for (const RFSubjectPtr& inner : inners) outer->sendNext(Value(inner));
  outer->sendCompleted();
  onThreads(kThreads, [&](int t) {
    // A thread with a scheduler of its own delivers inline.
    auto scheduler = RFTestScheduler::create();
    scheduler->performAsCurrentScheduler([&] {
      for (int i = 0; i < kValues; ++i) inners[t]->sendNext(Value(i));
      inners[t]->sendCompleted();
    });
  });
  EXPECT_EQ(count, static_cast<long>(kThreads) * kValues);
  EXPECT_TRUE(completed);
}

}  // namespace
