#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform/runtime/thread.h"

namespace platform {
namespace {

TEST(ThreadIdentity, IdsAreTheSystemsAndDifferBetweenThreads) {
  EXPECT_EQ(currentThreadId(), static_cast<std::uint64_t>(::gettid()));
  EXPECT_TRUE(isMainThread());
  std::uint64_t otherId = 0;
  bool otherIsMain = true;
  std::thread([&] {
    otherId = currentThreadId();
    otherIsMain = isMainThread();
  }).join();
  EXPECT_NE(otherId, currentThreadId());
  EXPECT_NE(otherId, 0u);
  EXPECT_FALSE(otherIsMain);
}

TEST(ThreadName, UnnamedIsEmptyAndNamesAreKeptUpToFifteenBytes) {
  struct Case {
    std::string set;
    std::string expected;
  };
  const Case cases[] = {
      {"worker", "worker"},
      {"exactly15bytes!", "exactly15bytes!"},
      {"a-name-much-longer-than-fifteen", "a-name-much-lon"},
      {"ééééééééé", "ééééééé"},  // 18 bytes: cut before the half character
  };
  std::thread([&] {
    EXPECT_EQ(currentThreadName(), "");
    for (const Case& c : cases) {
      setCurrentThreadName(c.set);
      EXPECT_EQ(currentThreadName(), c.expected) << c.set;
    }
  }).join();
}

TEST(ThreadDictionary, BelongsToOneThread) {
  threadDictionary()["key"] = Value("main");
  bool sawMainEntry = true;
  std::thread([&] {
    sawMainEntry = threadDictionary().count("key") != 0;
    threadDictionary()["key"] = Value("other");
  }).join();
  EXPECT_FALSE(sawMainEntry);
  EXPECT_EQ(threadDictionary()["key"].asString(), "main");
  threadDictionary().erase("key");
  EXPECT_EQ(threadDictionary().count("key"), 0u);
}

TEST(RecursiveLock, TheHolderMayLockAgainAndOthersWait) {
  RecursiveLock lock;
  lock.lock();
  lock.lock();
  bool otherGot = true;
  std::thread([&] { otherGot = lock.tryLock(); }).join();
  EXPECT_FALSE(otherGot);
  lock.unlock();
  std::thread([&] { otherGot = lock.tryLock(); }).join();
  EXPECT_FALSE(otherGot);  // still held once
  lock.unlock();
  std::thread([&] {
    otherGot = lock.tryLock();
    if (otherGot) lock.unlock();
  }).join();
  EXPECT_TRUE(otherGot);
}

TEST(Condition, WaitersWakeOnSignalAndTimeOutWithoutOne) {
  Condition condition;
  condition.lock();
  EXPECT_FALSE(condition.waitFor(0.02));
  EXPECT_FALSE(condition.waitUntil(Date::now().addingTimeInterval(0.02)));
  EXPECT_FALSE(condition.waitUntil(Date::now().addingTimeInterval(-1)));
  condition.unlock();

  int produced = 0, consumed = 0;
  constexpr int kItems = 500;
  std::thread consumer([&] {
    for (int i = 0; i < kItems; ++i) {
      condition.lock();
      while (produced == consumed) condition.wait();
      ++consumed;
      condition.broadcast();
      condition.unlock();
    }
  });
  for (int i = 0; i < kItems; ++i) {
    condition.lock();
    while (produced != consumed) condition.waitFor(1.0);
    ++produced;
    condition.signal();
    condition.unlock();
  }
  consumer.join();
  EXPECT_EQ(consumed, kItems);
}

TEST(SpinLock, ExcludesOtherThreads) {
  SpinLock lock;
  long counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        std::lock_guard guard(lock);
        ++counter;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(counter, 80000);
  EXPECT_TRUE(lock.tryLock());
  EXPECT_FALSE(lock.tryLock());
  lock.unlock();
}

TEST(Sleep, SleepsAtLeastTheTimeAsked) {
  auto start = std::chrono::steady_clock::now();
  sleepFor(0.02);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
  Date until = Date::now().addingTimeInterval(0.02);
  sleepUntil(until);
  EXPECT_GE(Date::now(), until);
  sleepFor(-1);  // returns at once
  sleepUntil(Date::distantPast());
}

}  // namespace
}  // namespace platform
