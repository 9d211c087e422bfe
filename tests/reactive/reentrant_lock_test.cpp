#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "reactive/RFSubscriberInternal.h"

namespace {

// Counts with a plain integer under the lock: a missed exclusion loses increments (and the
// thread sanitizer reports the race).
void hammer(RFReentrantLock& lock, long& counter, int times) {
  for (int i = 0; i < times; ++i) {
    std::lock_guard guard(lock);
    ++counter;
  }
}

TEST(ReentrantLock, ExcludesOtherThreadsOnceTheFirstOwnerIsJoined) {
  // The first thread to lock it keeps using it while others join in; the counts come out exact
  // whichever way the lock is taken.
  RFReentrantLock lock;
  long counter = 0;
  hammer(lock, counter, 1000);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) threads.emplace_back([&] { hammer(lock, counter, 20000); });
  hammer(lock, counter, 20000);
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 1000 + 5 * 20000);
}

TEST(ReentrantLock, IsReentrantBeforeAndAfterOtherThreadsTookIt) {
  RFReentrantLock lock;
  long counter = 0;
  auto nested = [&] {
    std::lock_guard outer(lock);
    std::lock_guard inner(lock);
    ++counter;
  };
  nested();  // held by its first thread
  std::thread([&] { nested(); }).join();
  nested();  // taken the ordinary way from now on
  std::thread([&] { hammer(lock, counter, 100); }).join();
  EXPECT_EQ(counter, 103);
}

TEST(ReentrantLock, WakesAThreadWaitingForTheFirstOwner) {
  RFReentrantLock lock;
  lock.lock();
  std::atomic<bool> got{false};
  std::thread waiter([&] {
    std::lock_guard guard(lock);
    got = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(got.load());
  lock.unlock();
  waiter.join();
  EXPECT_TRUE(got.load());
  // And the first owner can take it again afterwards.
  lock.lock();
  lock.unlock();
}

TEST(ReentrantLock, FirstOwnerReentersWhileAnotherThreadWaits) {
  RFReentrantLock lock;
  lock.lock();
  std::atomic<bool> got{false};
  std::thread waiter([&] {
    std::lock_guard guard(lock);
    got = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  lock.lock();  // the waiter has taken the bias away meanwhile
  EXPECT_FALSE(got.load());
  lock.unlock();
  EXPECT_FALSE(got.load());
  lock.unlock();
  waiter.join();
  EXPECT_TRUE(got.load());
}

}  // namespace
