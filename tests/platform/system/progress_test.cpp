#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/system/progress.h"

using platform::Progress;

TEST(Progress, FractionFollowsTheCountsAndStaysBetweenZeroAndOne) {
  struct Case {
    std::int64_t total;
    std::int64_t completed;
    double fraction;
    bool finished;
  } cases[] = {{0, 0, 0, false},  {0, 5, 0, false},  {10, 0, 0, false}, {10, 5, 0.5, false},
               {10, 10, 1, true}, {10, 15, 1, true}, {-1, 3, 0, false}};
  for (const Case& c : cases) {
    Progress progress(c.total);
    progress.setCompletedUnitCount(c.completed);
    EXPECT_DOUBLE_EQ(progress.fractionCompleted(), c.fraction) << c.total << "/" << c.completed;
    EXPECT_EQ(progress.isFinished(), c.finished) << c.total << "/" << c.completed;
  }
}

TEST(Progress, CancelRunsTheHandlerOnceFromAnyNumberOfThreads) {
  auto progress = Progress::make(100);
  std::atomic<int> calls{0};
  progress->setCancellationHandler([&] { ++calls; });
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) threads.emplace_back([&] { progress->cancel(); });
  for (auto& t : threads) t.join();
  EXPECT_TRUE(progress->isCancelled());
  EXPECT_EQ(calls.load(), 1);
}

TEST(Progress, HandlerSetAfterCancellingRunsAtOnce) {
  Progress progress;
  progress.cancel();
  bool ran = false;
  progress.setCancellationHandler([&] { ran = true; });
  EXPECT_TRUE(ran);
}

TEST(Progress, CountsWrittenByTheWorkAreSeenByOtherThreads) {
  auto progress = Progress::make();
  std::thread worker([&] {
    progress->setTotalUnitCount(1000);
    for (int i = 1; i <= 1000 && !progress->isCancelled(); ++i) progress->setCompletedUnitCount(i);
  });
  while (!progress->isFinished() && !progress->isCancelled()) std::this_thread::yield();
  worker.join();
  EXPECT_EQ(progress->completedUnitCount(), 1000);
  EXPECT_DOUBLE_EQ(progress->fractionCompleted(), 1.0);
}

TEST(Progress, CompletedCountHandlerSeesEachUpdateAndMayCancel) {
  Progress progress(10);
  std::vector<std::int64_t> seen;
  progress.setCompletedUnitCountHandler([&](const Progress& p) {
    seen.push_back(p.completedUnitCount());
    if (p.completedUnitCount() == 3) progress.cancel();
  });
  for (int i = 1; i <= 10 && !progress.isCancelled(); ++i) progress.setCompletedUnitCount(i);
  EXPECT_EQ(seen, (std::vector<std::int64_t>{1, 2, 3}));
  EXPECT_TRUE(progress.isCancelled());
}
