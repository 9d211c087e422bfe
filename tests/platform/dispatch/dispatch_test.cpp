#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/dispatch/dispatch_internal.h"
#include "platform/runtime/thread.h"

namespace platform {
namespace {

using namespace std::chrono_literals;

constexpr double kLong = 20.0;  // generous time-out for things that should happen soon

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Runs `block` on `queue` and waits for it.
void drain(const DispatchQueuePtr& queue) {
  queue->sync([] {});
}

TEST(SerialQueue, RunsBlocksOneAtATimeInSubmissionOrderFromSeveralThreads) {
  auto queue = DispatchQueue::createSerial("test.serial");
  constexpr int kThreads = 4, kPerThread = 2000;
  std::vector<std::pair<int, int>> seen;  // touched only on the queue
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        queue->async([&, t, i] {
          if (inside.fetch_add(1) != 0) overlapped = true;
          seen.emplace_back(t, i);
          inside.fetch_sub(1);
        });
      }
    });
  }
  for (auto& thread : threads) thread.join();
  drain(queue);
  EXPECT_FALSE(overlapped);
  ASSERT_EQ(seen.size(), static_cast<size_t>(kThreads * kPerThread));
  std::vector<int> nextExpected(kThreads, 0);
  for (auto [t, i] : seen) {
    ASSERT_EQ(i, nextExpected[t]) << "thread " << t;
    ++nextExpected[t];
  }
}

TEST(SerialQueue, SyncOnIdleQueueRunsOnCallersThread) {
  auto queue = DispatchQueue::createSerial("test.idle");
  std::uint64_t ranOn = 0;
  std::string label;
  queue->sync([&] {
    ranOn = currentThreadId();
    label = DispatchQueue::currentQueueLabel();
  });
  EXPECT_EQ(ranOn, currentThreadId());
  EXPECT_EQ(label, "test.idle");
}

TEST(SerialQueue, SyncWaitsBehindEarlierBlocks) {
  auto queue = DispatchQueue::createSerial("test.behind");
  DispatchSemaphore gate(0);
  std::vector<int> order;
  queue->async([&] {
    gate.wait(kLong);
    order.push_back(1);
  });
  std::thread opener([&] {
    sleepFor(0.02);
    gate.signal();
  });
  queue->sync([&] { order.push_back(2); });
  opener.join();
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

TEST(SerialQueue, SyncFromInsideOneQueueOntoAnother) {
  auto outer = DispatchQueue::createSerial("test.outer");
  auto inner = DispatchQueue::createSerial("test.inner");
  std::vector<std::string> labels;
  outer->sync([&] {
    labels.push_back(DispatchQueue::currentQueueLabel());
    inner->sync([&] { labels.push_back(DispatchQueue::currentQueueLabel()); });
    labels.push_back(DispatchQueue::currentQueueLabel());
  });
  // And when the inner queue is busy, so the block has to wait its turn.
  DispatchSemaphore gate(0);
  inner->async([&] { gate.wait(kLong); });
  outer->async([&] {
    gate.signal();
    inner->sync([&] { labels.push_back(DispatchQueue::currentQueueLabel()); });
  });
  drain(outer);
  EXPECT_EQ(labels, (std::vector<std::string>{"test.outer", "test.inner", "test.outer", "test.inner"}));
}

TEST(SerialQueue, SyncPassesTheBlocksExceptionToTheCaller) {
  auto queue = DispatchQueue::createSerial("test.throw");
  EXPECT_THROW(queue->sync([] { throw std::runtime_error("boom"); }), std::runtime_error);
  // Also when waiting its turn.
  DispatchSemaphore gate(0);
  queue->async([&] { gate.wait(kLong); });
  std::thread opener([&] {
    sleepFor(0.02);
    gate.signal();
  });
  EXPECT_THROW(queue->sync([] { throw std::runtime_error("boom"); }), std::runtime_error);
  opener.join();
  int after = 0;
  queue->sync([&] { after = 1; });  // the queue still works
  EXPECT_EQ(after, 1);
}

TEST(SerialQueue, SyncReturnsTheBlocksResultAtOnceOrAfterWaitingItsTurn) {
  auto queue = DispatchQueue::createSerial("test.result");
  EXPECT_EQ(queue->sync([] { return 42; }), 42);
  // Move-only results come out whole, references refer to the original.
  auto owned = queue->sync([] { return std::make_unique<std::string>("owned"); });
  ASSERT_TRUE(owned);
  EXPECT_EQ(*owned, "owned");
  std::vector<int> kept{1, 2, 3};
  std::vector<int>& same = queue->sync([&]() -> std::vector<int>& { return kept; });
  EXPECT_EQ(&same, &kept);
  // Waiting behind a block that another thread releases.
  DispatchSemaphore gate(0);
  queue->async([&] { gate.wait(kLong); });
  std::thread opener([&] {
    sleepFor(0.02);
    gate.signal();
  });
  EXPECT_EQ(queue->sync([] { return std::string("after"); }), "after");
  opener.join();
  auto concurrent = DispatchQueue::createConcurrent("test.result.concurrent");
  EXPECT_EQ(concurrent->barrierSync([] { return 7; }), 7);
}

TEST(SerialQueueDeathTest, SyncOntoTheQueueYouAreOnAbortsWithAMessage) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto queue = DispatchQueue::createSerial("test.self");
  EXPECT_DEATH(queue->sync([&] { queue->sync([] {}); }), "test.self.*deadlock");
  auto target = DispatchQueue::createSerial("test.target");
  auto child = DispatchQueue::createSerial("test.child", target);
  EXPECT_DEATH(child->sync([&] { target->sync([] {}); }), "test.target.*deadlock");
}

TEST(SerialQueue, SuspensionLetsTheRunningBlockFinishAndHoldsTheRest) {
  auto queue = DispatchQueue::createSerial("test.suspend");
  DispatchSemaphore started(0), gate(0), done(0);
  std::atomic<bool> firstFinished{false}, secondRan{false};
  queue->async([&] {
    started.signal();
    gate.wait(kLong);
    firstFinished = true;
    done.signal();
  });
  queue->async([&] {
    secondRan = true;
    done.signal();
  });
  ASSERT_TRUE(started.wait(kLong));
  queue->suspend();
  gate.signal();
  ASSERT_TRUE(done.wait(kLong));
  EXPECT_TRUE(firstFinished);
  EXPECT_FALSE(done.wait(0.1));
  EXPECT_FALSE(secondRan);
  queue->resume();
  ASSERT_TRUE(done.wait(kLong));
  EXPECT_TRUE(secondRan);
}

TEST(SerialQueue, SuspensionFromInsideABlockTakesEffectWhenItReturns) {
  auto queue = DispatchQueue::createSerial("test.selfsuspend");
  std::atomic<int> ran{0};
  DispatchSemaphore done(0);
  queue->async([&] {
    queue->suspend();
    ++ran;  // still runs to the end
    done.signal();
  });
  queue->async([&] {
    ++ran;
    done.signal();
  });
  ASSERT_TRUE(done.wait(kLong));
  EXPECT_FALSE(done.wait(0.1));
  EXPECT_EQ(ran.load(), 1);
  // Counted: two suspensions need two resumes.
  queue->suspend();
  queue->resume();
  EXPECT_FALSE(done.wait(0.05));
  queue->resume();
  ASSERT_TRUE(done.wait(kLong));
  EXPECT_EQ(ran.load(), 2);
}

TEST(SerialQueueDeathTest, ResumingMoreThanSuspendingAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto queue = DispatchQueue::createSerial("test.overresume");
  EXPECT_DEATH(queue->resume(), "resumed more often");
}

TEST(SerialQueue, SyncOnASuspendedQueueWaitsForResume) {
  auto queue = DispatchQueue::createSerial("test.suspendedsync");
  queue->suspend();
  std::atomic<bool> ran{false};
  std::thread caller([&] { queue->sync([&] { ran = true; }); });
  sleepFor(0.05);
  EXPECT_FALSE(ran);
  queue->resume();
  caller.join();
  EXPECT_TRUE(ran);
}

// A sync from a thread other than the main one may find the queue's drain not yet started and
// run the queued blocks itself: order, exclusion and the queue's identity must hold either way.
TEST(SerialQueue, SyncBehindQueuedBlocksKeepsOrderAndExclusionWhoeverRunsThem) {
  auto queue = DispatchQueue::createSerial("test.syncbehind");
  static char key;
  queue->setSpecific(&key, &key);
  std::vector<int> order;
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false}, lostIdentity{false};
  auto enter = [&] {
    if (inside.fetch_add(1) != 0) overlapped = true;
    if (DispatchQueue::getSpecificCurrent(&key) != &key) lostIdentity = true;
  };
  std::thread caller([&] {
    for (int round = 0; round < 2000; ++round) {
      for (int i = 0; i < 3; ++i)
        queue->async([&, i] {
          enter();
          order.push_back(i);
          inside.fetch_sub(1);
        });
      queue->sync([&] {
        enter();
        order.push_back(3);
        inside.fetch_sub(1);
      });
    }
  });
  caller.join();
  EXPECT_FALSE(overlapped);
  EXPECT_FALSE(lostIdentity);
  ASSERT_EQ(order.size(), 8000u);
  for (std::size_t i = 0; i < order.size(); ++i) ASSERT_EQ(order[i], static_cast<int>(i % 4)) << i;
}

// A sync that waits its turn runs on its own thread holding the queue: what was queued behind it
// runs after it, in order, never beside it; and when nothing was, the queue is free the moment the
// sync returns (the caller's next sync need not wait for another thread to let go of it).
TEST(SerialQueue, SyncThatWaitedItsTurnHoldsTheQueueAndLeavesItFree) {
  auto queue = DispatchQueue::createSerial("test.syncturn");
  for (int blocksBehind : {0, 2}) {
    for (int round = 0; round < 20; ++round) {
      SCOPED_TRACE(std::to_string(blocksBehind) + " behind, round " + std::to_string(round));
      DispatchSemaphore gate(0), syncWaits(0);
      std::mutex orderMutex;
      std::vector<std::string> order;
      std::atomic<int> inside{0};
      std::atomic<bool> overlapped{false};
      auto step = [&](std::string name) {
        if (inside.fetch_add(1) != 0) overlapped = true;
        sleepFor(0.0005);
        {
          std::lock_guard lock(orderMutex);
          order.push_back(std::move(name));
        }
        inside.fetch_sub(1);
      };
      queue->async([&] {
        gate.wait(kLong);
        step("first");
      });
      std::thread opener([&] {
        syncWaits.wait(kLong);
        sleepFor(0.002);  // the sync is queued by now
        for (int i = 1; i <= blocksBehind; ++i) queue->async([&, i] { step("behind " + std::to_string(i)); });
        gate.signal();
      });
      std::uint64_t ranOn = 0;
      syncWaits.signal();
      queue->sync([&] {
        ranOn = currentThreadId();
        step("sync");
      });
      EXPECT_EQ(ranOn, currentThreadId());
      if (blocksBehind == 0) {
        auto* inner = detail::impl(queue.get());
        const bool free = inner->tryAcquire(false);
        EXPECT_TRUE(free);
        if (free) inner->release(false);
      }
      opener.join();
      drain(queue);
      EXPECT_FALSE(overlapped);
      std::vector<std::string> expected{"first", "sync"};
      for (int i = 1; i <= blocksBehind; ++i) expected.push_back("behind " + std::to_string(i));
      EXPECT_EQ(order, expected);
    }
  }
}

// A queued block that suspends the queue holds back the sync behind it until the resume, also when
// the syncing thread ran that block itself.
TEST(SerialQueue, SyncBehindABlockThatSuspendsWaitsForResume) {
  for (int round = 0; round < 50; ++round) {
    auto queue = DispatchQueue::createSerial("test.syncsuspend");
    std::atomic<bool> ran{false}, suspended{false};
    std::thread caller([&] {
      queue->async([&] {
        queue->suspend();
        suspended = true;
      });
      queue->sync([&] { ran = true; });
    });
    const auto start = std::chrono::steady_clock::now();
    while (!suspended && secondsSince(start) < kLong) sleepFor(0.0005);
    ASSERT_TRUE(suspended);
    sleepFor(0.002);
    EXPECT_FALSE(ran) << round;
    queue->resume();
    caller.join();
    EXPECT_TRUE(ran);
  }
}

TEST(ConcurrentQueue, RunsBlocksAtTheSameTime) {
  auto queue = DispatchQueue::createConcurrent("test.concurrent");
  DispatchSemaphore a(0), b(0);
  std::atomic<int> met{0};
  auto group = DispatchGroup::create();
  // Each block waits for the other: only possible when both run at once.
  group->async(queue, [&] {
    a.signal();
    if (b.wait(kLong)) ++met;
  });
  group->async(queue, [&] {
    b.signal();
    if (a.wait(kLong)) ++met;
  });
  ASSERT_TRUE(group->wait(kLong * 2));
  EXPECT_EQ(met.load(), 2);
}

TEST(ConcurrentQueue, BarrierRunsAloneAfterEarlierBlocksAndBeforeLaterOnes) {
  for (bool syncBarrier : {false, true}) {
    SCOPED_TRACE(syncBarrier ? "barrierSync" : "barrierAsync");
    auto queue = DispatchQueue::createConcurrent("test.barrier");
    std::atomic<int> active{0}, finishedBefore{0}, startedAfter{0};
    std::atomic<bool> inBarrier{false}, violated{false};
    int finishedWhenBarrierRan = -1, startedAfterWhenBarrierRan = -1;
    auto group = DispatchGroup::create();
    auto reader = [&](std::atomic<int>& counter, bool before) {
      return [&, before] {
        if (!before) ++counter;
        if (inBarrier) violated = true;
        ++active;
        sleepFor(0.001);
        --active;
        if (before) ++counter;
      };
    };
    for (int i = 0; i < 20; ++i) group->async(queue, reader(finishedBefore, true));
    auto barrier = [&] {
      inBarrier = true;
      if (active.load() != 0) violated = true;
      finishedWhenBarrierRan = finishedBefore.load();
      startedAfterWhenBarrierRan = startedAfter.load();
      sleepFor(0.01);
      inBarrier = false;
    };
    if (syncBarrier) {
      std::thread other([&] { queue->barrierSync(barrier); });
      other.join();
    } else {
      group->enter();
      queue->barrierAsync([&] {
        barrier();
        group->leave();
      });
    }
    for (int i = 0; i < 20; ++i) group->async(queue, reader(startedAfter, false));
    ASSERT_TRUE(group->wait(kLong));
    queue->barrierSync([] {});
    EXPECT_FALSE(violated);
    EXPECT_EQ(finishedWhenBarrierRan, 20);
    EXPECT_EQ(startedAfterWhenBarrierRan, 0);
  }
}

TEST(QueueTargets, AmIOnThisQueueWorksThroughTheTargetChain) {
  static int targetKey, childKey, otherKey;
  int targetValue = 1, childValue = 2;
  auto target = DispatchQueue::createSerial("test.t");
  target->setSpecific(&targetKey, &targetValue);
  auto child = DispatchQueue::createSerial("test.c", target);
  child->setSpecific(&childKey, &childValue);
  auto grandchild = DispatchQueue::createConcurrent("test.gc", child);
  auto unrelated = DispatchQueue::createSerial("test.u");

  EXPECT_EQ(DispatchQueue::getSpecificCurrent(&targetKey), nullptr);
  EXPECT_EQ(child->getSpecific(&childKey), &childValue);
  EXPECT_EQ(child->getSpecific(&targetKey), nullptr);

  void* seen[3] = {};
  grandchild->sync([&] {
    seen[0] = DispatchQueue::getSpecificCurrent(&targetKey);
    seen[1] = DispatchQueue::getSpecificCurrent(&childKey);
    seen[2] = DispatchQueue::getSpecificCurrent(&otherKey);
  });
  EXPECT_EQ(seen[0], &targetValue);
  EXPECT_EQ(seen[1], &childValue);
  EXPECT_EQ(seen[2], nullptr);

  void* onUnrelated = &seen;
  unrelated->sync([&] { onUnrelated = DispatchQueue::getSpecificCurrent(&targetKey); });
  EXPECT_EQ(onUnrelated, nullptr);

  // Asynchronously too, and a null value removes the key.
  DispatchSemaphore done(0);
  void* async = nullptr;
  child->async([&] {
    async = DispatchQueue::getSpecificCurrent(&targetKey);
    done.signal();
  });
  ASSERT_TRUE(done.wait(kLong));
  EXPECT_EQ(async, &targetValue);
  target->setSpecific(&targetKey, nullptr);
  EXPECT_EQ(target->getSpecific(&targetKey), nullptr);
}

TEST(QueueTargets, SerialQueuesSharingASerialTargetNeverOverlapAndKeepTheirOrder) {
  auto target = DispatchQueue::createSerial("test.shared");
  auto a = DispatchQueue::createSerial("test.a", target);
  auto b = DispatchQueue::createSerial("test.b");
  b->setTarget(target);
  EXPECT_EQ(b->target(), target);
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};
  std::vector<int> orderA, orderB;
  auto group = DispatchGroup::create();
  for (int i = 0; i < 3000; ++i) {
    auto& queue = i % 2 ? a : b;
    auto& order = i % 2 ? orderA : orderB;
    group->async(queue, [&, i] {
      if (inside.fetch_add(1) != 0) overlapped = true;
      order.push_back(i);
      inside.fetch_sub(1);
    });
  }
  ASSERT_TRUE(group->wait(kLong));
  EXPECT_FALSE(overlapped);
  EXPECT_TRUE(std::is_sorted(orderA.begin(), orderA.end()));
  EXPECT_TRUE(std::is_sorted(orderB.begin(), orderB.end()));
  EXPECT_EQ(orderA.size() + orderB.size(), 3000u);
}

TEST(QueueTargetsDeathTest, TargetCycleAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto a = DispatchQueue::createSerial("test.cycle.a");
  auto b = DispatchQueue::createSerial("test.cycle.b", a);
  EXPECT_DEATH(a->setTarget(b), "cycle");
}

TEST(GlobalQueues, HaveThePlatformLabelsAndRunConcurrently) {
  struct Case {
    DispatchPriority priority;
    long numeric;
    const char* label;
  };
  const Case cases[] = {
      {DispatchPriority::High, 2, "com.apple.root.high-priority"},
      {DispatchPriority::Default, 0, "com.apple.root.default-priority"},
      {DispatchPriority::Low, -2, "com.apple.root.low-priority"},
      {DispatchPriority::Background, -32768, "com.apple.root.background-priority"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    auto queue = DispatchQueue::global(c.priority);
    EXPECT_EQ(queue->label(), c.label);
    EXPECT_EQ(DispatchQueue::globalWithPriority(c.numeric), queue);
    EXPECT_TRUE(queue->isGlobal());
    EXPECT_FALSE(queue->isSerial());
    DispatchSemaphore done(0);
    std::string seen;
    queue->async([&] {
      seen = DispatchQueue::currentQueueLabel();
      done.signal();
    });
    ASSERT_TRUE(done.wait(kLong));
    EXPECT_EQ(seen, c.label);
  }
  EXPECT_EQ(DispatchQueue::createSerial("x")->target(), DispatchQueue::global());
}

TEST(GlobalQueues, AddWorkersWhenEveryWorkerWaitsForQueuedWork) {
  // More blocks than processors, each waiting until all have started: only finishes when the
  // pool grows past its usual size.
  constexpr int kBlocks = 24;
  std::atomic<int> started{0};
  auto group = DispatchGroup::create();
  std::mutex mutex;
  std::condition_variable cv;
  for (int i = 0; i < kBlocks; ++i) {
    group->async(DispatchQueue::global(), [&] {
      std::unique_lock lock(mutex);
      ++started;
      cv.notify_all();
      cv.wait_for(lock, std::chrono::seconds(60), [&] { return started.load() == kBlocks; });
    });
  }
  ASSERT_TRUE(group->wait(60));
  EXPECT_EQ(started.load(), kBlocks);
}

TEST(CurrentQueueLabel, IsEmptyOnAPlainThreadAndTheMainLabelOnTheMainThread) {
  EXPECT_EQ(DispatchQueue::currentQueueLabel(), "com.apple.main-thread");
  std::string onThread = "unset";
  std::thread([&] { onThread = DispatchQueue::currentQueueLabel(); }).join();
  EXPECT_EQ(onThread, "");
  std::string unlabelled = "unset";
  DispatchQueue::createSerial()->sync([&] { unlabelled = DispatchQueue::currentQueueLabel(); });
  EXPECT_EQ(unlabelled, "");
}

TEST(DispatchGroup, WaitAndNotifyFollowEveryBlock) {
  auto group = DispatchGroup::create();
  auto queue = DispatchQueue::createConcurrent("test.group");
  auto notifyQueue = DispatchQueue::createSerial("test.notify");
  std::atomic<int> finished{0};
  std::atomic<int> seenByNotify{-1};
  DispatchSemaphore notified(0);
  DispatchSemaphore gate(0);
  for (int i = 0; i < 10; ++i) {
    group->async(queue, [&] {
      gate.wait(kLong);
      ++finished;
    });
  }
  group->notify(notifyQueue, [&] {
    seenByNotify = finished.load();
    EXPECT_EQ(DispatchQueue::currentQueueLabel(), "test.notify");
    notified.signal();
  });
  EXPECT_FALSE(group->wait(0.05));  // blocks are still waiting for the gate
  for (int i = 0; i < 10; ++i) gate.signal();
  EXPECT_TRUE(group->wait(kLong));
  ASSERT_TRUE(notified.wait(kLong));
  EXPECT_EQ(seenByNotify.load(), 10);
}

TEST(DispatchGroup, EnterLeaveAndNotifyOnAnEmptyGroup) {
  auto group = DispatchGroup::create();
  EXPECT_TRUE(group->wait(0));
  group->enter();
  group->enter();
  EXPECT_FALSE(group->wait(0.02));
  group->leave();
  EXPECT_FALSE(group->wait(0));
  group->leave();
  EXPECT_TRUE(group->wait(0));
  DispatchSemaphore notified(0);
  group->notify(DispatchQueue::global(), [&] { notified.signal(); });
  EXPECT_TRUE(notified.wait(kLong));
}

TEST(DispatchGroupDeathTest, LeavingMoreThanEnteringAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto group = DispatchGroup::create();
  EXPECT_DEATH(group->leave(), "left more often");
}

TEST(DispatchSemaphore, CountsUnitsAndTimesOut) {
  DispatchSemaphore semaphore(2);
  EXPECT_TRUE(semaphore.wait(0));
  EXPECT_TRUE(semaphore.wait(0));
  EXPECT_FALSE(semaphore.wait(0.02));
  EXPECT_FALSE(semaphore.signal());  // nobody waiting
  EXPECT_TRUE(semaphore.wait(0));

  // Hands units across threads: a ping-pong of 1000 rounds.
  DispatchSemaphore ping(0), pong(0);
  std::thread other([&] {
    for (int i = 0; i < 1000; ++i) {
      ping.wait();
      pong.signal();
    }
  });
  for (int i = 0; i < 1000; ++i) {
    ping.signal();
    ASSERT_TRUE(pong.wait(kLong));
  }
  other.join();
}

TEST(DispatchSemaphore, BoundsWorkInFlight) {
  DispatchSemaphore slots(3);
  std::atomic<int> inFlight{0}, most{0};
  auto group = DispatchGroup::create();
  for (int i = 0; i < 40; ++i) {
    ASSERT_TRUE(slots.wait(kLong));
    group->async(DispatchQueue::global(), [&] {
      int now = ++inFlight;
      int seen = most.load();
      while (now > seen && !most.compare_exchange_weak(seen, now)) {
      }
      sleepFor(0.001);
      --inFlight;
      slots.signal();
    });
  }
  ASSERT_TRUE(group->wait(kLong));
  EXPECT_LE(most.load(), 3);
}

TEST(After, RunsOnTheQueueOnceTheDelayHasPassed) {
  static int key;
  auto queue = DispatchQueue::createSerial("test.after");
  queue->setSpecific(&key, &key);
  struct Case {
    const char* name;
    bool wallClock;
  };
  for (Case c : {Case{"monotonic", false}, Case{"wall clock", true}}) {
    SCOPED_TRACE(c.name);
    DispatchSemaphore done(0);
    bool onQueue = false;
    double elapsed = 0;
    auto start = std::chrono::steady_clock::now();
    Date wallStart = Date::now();
    double wallElapsed = 0;
    auto block = [&] {
      elapsed = secondsSince(start);
      wallElapsed = Date::now().timeIntervalSince(wallStart);
      onQueue = DispatchQueue::getSpecificCurrent(&key) == &key;
      done.signal();
    };
    if (c.wallClock)
      queue->afterWallClock(wallStart.addingTimeInterval(0.05), block);
    else
      queue->after(0.05, block);
    ASSERT_TRUE(done.wait(kLong));
    EXPECT_TRUE(onQueue);
    if (c.wallClock)
      EXPECT_GE(wallElapsed, 0.049);
    else
      EXPECT_GE(elapsed, 0.05);
  }
  // Past dates and non-positive delays run as soon as possible.
  DispatchSemaphore done(0);
  queue->after(-1, [&] { done.signal(); });
  queue->afterWallClock(Date::now().addingTimeInterval(-100), [&] { done.signal(); });
  EXPECT_TRUE(done.wait(kLong));
  EXPECT_TRUE(done.wait(kLong));
}

TEST(After, EarlierDeadlinesRunFirst) {
  auto queue = DispatchQueue::createSerial("test.after.order");
  std::vector<int> order;
  DispatchSemaphore done(0);
  queue->after(0.2, [&] {
    order.push_back(2);
    done.signal();
  });
  queue->after(0.05, [&] { order.push_back(1); });
  ASSERT_TRUE(done.wait(kLong));
  drain(queue);
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

TEST(DispatchTimerSource, FiresRepeatedlyOnItsQueueAndStopsAfterCancel) {
  static int key;
  auto queue = DispatchQueue::createSerial("test.timer");
  queue->setSpecific(&key, &key);
  auto timer = DispatchTimerSource::create(queue);
  std::atomic<int> fired{0};
  std::atomic<bool> offQueue{false};
  DispatchSemaphore threeTimes(0), cancelled(0);
  timer->setTimerAfter(0.005, 0.005);
  timer->setEventHandler([&] {
    if (DispatchQueue::getSpecificCurrent(&key) != &key) offQueue = true;
    if (++fired == 3) threeTimes.signal();
  });
  timer->setCancelHandler([&] {
    if (DispatchQueue::getSpecificCurrent(&key) != &key) offQueue = true;
    cancelled.signal();
  });
  EXPECT_FALSE(threeTimes.wait(0.05));  // created suspended
  EXPECT_EQ(fired.load(), 0);
  timer->resume();
  ASSERT_TRUE(threeTimes.wait(kLong));
  timer->cancel();
  EXPECT_TRUE(timer->isCancelled());
  ASSERT_TRUE(cancelled.wait(kLong));
  int atCancel = fired.load();
  sleepFor(0.05);
  drain(queue);
  EXPECT_EQ(fired.load(), atCancel);
  EXPECT_FALSE(offQueue);
}

TEST(DispatchTimerSource, OneShotFiresOnceAndRescheduling) {
  auto queue = DispatchQueue::createSerial("test.oneshot");
  auto timer = DispatchTimerSource::create(queue);
  std::atomic<int> fired{0};
  DispatchSemaphore done(0);
  timer->setEventHandler([&] {
    ++fired;
    done.signal();
  });
  timer->setTimer(monotonicNanoseconds(), 0);  // now, once
  timer->resume();
  ASSERT_TRUE(done.wait(kLong));
  EXPECT_FALSE(done.wait(0.05));
  EXPECT_EQ(fired.load(), 1);
  // Setting it again schedules another firing; a wall-clock start works too.
  timer->setTimerWallClock(Date::now().addingTimeInterval(0.01), 0);
  ASSERT_TRUE(done.wait(kLong));
  EXPECT_EQ(fired.load(), 2);
  timer->cancel();
}

TEST(DispatchTimerSource, FiringsMissedWhileSuspendedComeAsOneRun) {
  auto queue = DispatchQueue::createSerial("test.timer.suspend");
  auto timer = DispatchTimerSource::create(queue);
  std::atomic<int> fired{0};
  DispatchSemaphore done(0);
  timer->setEventHandler([&] {
    ++fired;
    done.signal();
  });
  timer->setTimerAfter(0.01, 0.01);
  timer->resume();
  ASSERT_TRUE(done.wait(kLong));
  timer->suspend();
  drain(queue);
  while (done.wait(0)) {
  }
  int atSuspend = fired.load();
  sleepFor(0.1);  // about ten periods
  drain(queue);
  EXPECT_EQ(fired.load(), atSuspend);
  queue->suspend();  // let the timer fall behind while the handler cannot run
  timer->resume();
  sleepFor(0.05);
  queue->resume();
  ASSERT_TRUE(done.wait(kLong));
  drain(queue);
  timer->cancel();
  drain(queue);
  // One merged run at resume plus perhaps one or two regular ones, never the ~15 periods missed.
  EXPECT_LE(fired.load() - atSuspend, 4);
}

TEST(DispatchTimerSource, CancelHandlerOfASuspendedSourceWaitsForResume) {
  auto queue = DispatchQueue::createSerial("test.timer.cancel");
  auto timer = DispatchTimerSource::create(queue);
  DispatchSemaphore cancelled(0);
  std::atomic<bool> fired{false};
  timer->setEventHandler([&] { fired = true; });
  timer->setCancelHandler([&] { cancelled.signal(); });
  timer->setTimerAfter(0, 0.01);
  timer->cancel();  // still suspended from creation
  EXPECT_FALSE(cancelled.wait(0.05));
  timer->resume();
  EXPECT_TRUE(cancelled.wait(kLong));
  drain(queue);
  EXPECT_FALSE(fired);
}

TEST(DispatchTimerSource, DroppingTheLastReferenceStopsIt) {
  auto queue = DispatchQueue::createSerial("test.timer.drop");
  std::atomic<int> fired{0};
  {
    auto timer = DispatchTimerSource::create(queue);
    timer->setEventHandler([&] { ++fired; });
    timer->setTimerAfter(0.2, 0.01);
    timer->resume();
  }
  sleepFor(0.3);
  drain(queue);
  EXPECT_EQ(fired.load(), 0);
}

}  // namespace
}  // namespace platform
