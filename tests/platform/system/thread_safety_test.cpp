#include <gtest/gtest.h>

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
