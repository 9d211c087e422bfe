#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "platform/system/locks.h"
#include "platform/system/thread_safety.h"

TEST(ThreadingAssertion, AKeptRuleCostsNothingAndABrokenOneAbortsWhereAssertionsRun) {
  ZORVEL_ASSERT_THREAD(true, "kept");
#if defined(ZORVEL_THREAD_ASSERTIONS)
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(ZORVEL_ASSERT_THREAD(1 + 1 == 3, "only on the test's queue"),
               "Threading rule broken: only on the test's queue \\(.*thread_safety_test.cpp:[0-9]+\\)");
#else
  int evaluated = 0;
  ZORVEL_ASSERT_THREAD(++evaluated == 0, "not checked in this build");
  EXPECT_EQ(evaluated, 0);
#endif
}

namespace {
struct Counter {
  platform::Mutex mutex;
  long value ZORVEL_GUARDED_BY(mutex) = 0;
};
}  // namespace

TEST(Mutex, MutexLockExcludesOtherHolders) {
  Counter counter;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 10000; ++i) {
        platform::MutexLock lock(counter.mutex);
        ++counter.value;
      }
    });
  for (auto& thread : threads) thread.join();
  platform::MutexLock lock(counter.mutex);
  EXPECT_EQ(counter.value, 40000);
  EXPECT_FALSE(counter.mutex.tryLock());
}

TEST(Mutex, AHolderThatUnlocksEarlyLetsOthersInAndMayLockAgain) {
  Counter counter;
  platform::MutexLock lock(counter.mutex);
  counter.value = 1;
  lock.unlock();
  std::thread([&] {
    ASSERT_TRUE(counter.mutex.tryLock());
    counter.mutex.unlock();
  }).join();
  lock.lock();
  EXPECT_EQ(counter.value, 1);
  EXPECT_FALSE(std::async(std::launch::async, [&] { return counter.mutex.tryLock(); }).get());
}

TEST(Mutex, AnEarlyUnlockIsNotUnlockedAgainAtTheEndOfTheScope) {
  platform::Mutex mutex;
  std::promise<void> taken;
  std::promise<void> release;
  std::thread holder;
  {
    platform::MutexLock lock(mutex);
    lock.unlock();
    holder = std::thread([&] {
      mutex.lock();
      taken.set_value();
      release.get_future().wait();
      mutex.unlock();
    });
    taken.get_future().wait();
  }
  EXPECT_FALSE(mutex.tryLock());  // still the other thread's
  release.set_value();
  holder.join();
}

TEST(Mutex, MutexLockHoldsTheOtherLocksToo) {
  platform::RecursiveLock recursive;
  {
    platform::MutexLock outer(recursive);
    platform::MutexLock inner(recursive);  // the holder may lock again
  }
  EXPECT_TRUE(std::async(std::launch::async, [&] {
                bool taken = recursive.tryLock();
                if (taken) recursive.unlock();
                return taken;
              }).get());
  platform::SpinLock spin;
  {
    platform::MutexLock lock(spin);
    EXPECT_FALSE(spin.tryLock());
  }
  EXPECT_TRUE(spin.tryLock());
  spin.unlock();
}

namespace {
struct Mailbox {
  platform::Mutex mutex;
  platform::ConditionVariable changed;
  int letters ZORVEL_GUARDED_BY(mutex) = 0;
};
}  // namespace

TEST(ConditionVariable, AWaiterSeesTheChangeItWasNotifiedOf) {
  Mailbox box;
  std::thread poster([&] {
    for (int i = 0; i < 3; ++i) {
      platform::MutexLock lock(box.mutex);
      ++box.letters;
      box.changed.notifyAll();
    }
  });
  {
    platform::MutexLock lock(box.mutex);
    while (box.letters < 3) box.changed.wait(box.mutex);
    EXPECT_EQ(box.letters, 3);
  }
  poster.join();
}

TEST(ConditionVariable, TimedWaitsAnswerWhetherTheyWereWoken) {
  Mailbox box;
  platform::MutexLock lock(box.mutex);
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(box.changed.waitFor(box.mutex, std::chrono::milliseconds(20)));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
  EXPECT_FALSE(box.changed.waitUntil(box.mutex, std::chrono::steady_clock::now() - std::chrono::seconds(1)));
  // The mutex is held again after each wait.
  EXPECT_FALSE(std::async(std::launch::async, [&] { return box.mutex.tryLock(); }).get());

  std::thread poster([&] {
    platform::MutexLock inner(box.mutex);
    box.letters = 1;
    box.changed.notifyOne();
  });
  bool woken = false;
  while (box.letters == 0) woken = box.changed.waitFor(box.mutex, std::chrono::seconds(30)) || woken;
  EXPECT_TRUE(woken);
  lock.unlock();
  poster.join();
}
