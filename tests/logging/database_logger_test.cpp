#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "logging/database_logger.h"
#include "logging/log_test_support.h"

using logtest::HubTest;
using logtest::waitUntil;

namespace {

// Keeps accepted texts in memory; records every storage call and what was pending at each save.
class MemoryDatabaseLogger : public LGAbstractDatabaseLogger {
  ZORVEL_CLASS(MemoryDatabaseLogger, LGAbstractDatabaseLogger)

 public:
  std::atomic<bool> accept{true};
  std::atomic<int> saves{0}, deletes{0}, savesAndDeletes{0};

  std::vector<std::size_t> savedBatches() {
    std::lock_guard lock(mutex_);
    return batches_;
  }
  std::size_t pending() {
    std::lock_guard lock(mutex_);
    return pending_.size();
  }

 protected:
  bool db_log(const LGLogMessagePtr& message) override {
    if (!accept) return false;
    std::lock_guard lock(mutex_);
    pending_.push_back(message->message());
    return true;
  }
  void db_save() override {
    take();
    ++saves;
  }
  void db_delete() override { ++deletes; }
  void db_saveAndDelete() override {
    take();
    ++savesAndDeletes;
  }

 private:
  void take() {
    std::lock_guard lock(mutex_);
    batches_.push_back(pending_.size());
    pending_.clear();
  }
  std::mutex mutex_;
  std::vector<std::string> pending_;
  std::vector<std::size_t> batches_;
};

class DatabaseLoggerTest : public HubTest {
 protected:
  std::shared_ptr<MemoryDatabaseLogger> logger_ = platform::make<MemoryDatabaseLogger>();
  void add() {
    LGLog::addLogger(logger_);
    logger_->saveThreshold();  // waits until didAddLogger has run
  }
  void log(int count) {
    for (int i = 0; i < count; ++i) LGLog::logMessage(false, "entry", LGLogLevelAll, LGLogFlagInfo, 0, "/f.m", "f", 1);
  }
};

}  // namespace

TEST_F(DatabaseLoggerTest, DefaultsAndSettersThroughTheQueues) {
  EXPECT_EQ(logger_->saveThreshold(), 500u);
  EXPECT_EQ(logger_->saveInterval(), 60.0);
  EXPECT_EQ(logger_->maxAge(), 604800.0);
  EXPECT_EQ(logger_->deleteInterval(), 300.0);
  EXPECT_FALSE(logger_->deleteOnEverySave());
  logger_->setSaveThreshold(7);
  logger_->setSaveInterval(-1);
  logger_->setMaxAge(10);
  logger_->setDeleteInterval(0);
  logger_->setDeleteOnEverySave(true);
  EXPECT_EQ(logger_->saveThreshold(), 7u);
  EXPECT_EQ(logger_->saveInterval(), -1.0);
  EXPECT_EQ(logger_->maxAge(), 10.0);
  EXPECT_EQ(logger_->deleteInterval(), 0.0);
  EXPECT_TRUE(logger_->deleteOnEverySave());
}

TEST_F(DatabaseLoggerTest, ThresholdSavesExactlyAtItsCount) {
  add();
  log(499);
  EXPECT_EQ(logger_->saves, 0);
  log(1);
  EXPECT_EQ(logger_->savedBatches(), std::vector<std::size_t>{500});
  log(499);
  EXPECT_EQ(logger_->saves, 1);
  log(1);
  EXPECT_EQ(logger_->savedBatches(), (std::vector<std::size_t>{500, 500}));
}

TEST_F(DatabaseLoggerTest, RefusedEntriesAreNeverCountedOrSaved) {
  logger_->accept = false;
  logger_->setSaveThreshold(1);
  add();
  log(5);
  LGLog::flushLog();
  EXPECT_EQ(logger_->saves, 0);
}

TEST_F(DatabaseLoggerTest, ThresholdZeroLeavesSavingToFlushes) {
  logger_->setSaveThreshold(0);
  add();
  log(1200);
  EXPECT_EQ(logger_->saves, 0);
  LGLog::flushLog();
  EXPECT_EQ(logger_->savedBatches(), std::vector<std::size_t>{1200});
  LGLog::flushLog();  // nothing pending: no empty save
  EXPECT_EQ(logger_->saves, 1);
}

TEST_F(DatabaseLoggerTest, LoweringTheThresholdBelowThePendingCountSavesAtOnceButZeroDoesNot) {
  add();
  log(10);
  logger_->setSaveThreshold(0);
  EXPECT_EQ(logger_->saveThreshold(), 0u);
  EXPECT_EQ(logger_->saves, 0);
  logger_->setSaveThreshold(10);
  EXPECT_EQ(logger_->saveThreshold(), 10u);
  EXPECT_EQ(logger_->savedBatches(), std::vector<std::size_t>{10});
  log(3);
  logger_->setSaveThreshold(4);
  logger_->saveThreshold();
  EXPECT_EQ(logger_->saves, 1);  // 3 pending, threshold 4: not reached
}

TEST_F(DatabaseLoggerTest, TheSaveTimerSavesTheFirstEntryAfterTheInterval) {
  logger_->setSaveInterval(0.05);
  add();
  log(3);
  ASSERT_TRUE(waitUntil([&] { return logger_->saves == 1; }));
  EXPECT_EQ(logger_->savedBatches(), std::vector<std::size_t>{3});
  // Suspended until the next first entry.
  log(1);
  ASSERT_TRUE(waitUntil([&] { return logger_->saves == 2; }));
  EXPECT_EQ(logger_->savedBatches(), (std::vector<std::size_t>{3, 1}));
}

TEST_F(DatabaseLoggerTest, ANonPositiveIntervalMeansNoTimer) {
  for (double interval : {0.0, -5.0}) {
    auto logger = platform::make<MemoryDatabaseLogger>();
    logger->setSaveInterval(interval);
    logger->setSaveThreshold(3);
    LGLog::addLogger(logger);
    for (int i = 0; i < 4; ++i) LGLog::logMessage(false, "e", LGLogLevelAll, LGLogFlagInfo, 0, "/f.m", "f", 1);
    EXPECT_EQ(logger->savedBatches(), std::vector<std::size_t>{3});
    LGLog::removeLogger(logger);  // saves the last one
    LGLog::flushLog();
    logger->saveThreshold();
    EXPECT_EQ(logger->savedBatches(), (std::vector<std::size_t>{3, 1}));
  }
}

TEST_F(DatabaseLoggerTest, ShorterIntervalWhoseTimeHasPassedSavesAtOnce) {
  logger_->setSaveInterval(3600);
  add();
  log(2);
  EXPECT_EQ(logger_->saves, 0);
  logger_->setSaveInterval(1e-6);
  ASSERT_TRUE(waitUntil([&] { return logger_->saves == 1; }));
}

TEST_F(DatabaseLoggerTest, MaxAgeChangesDeleteOnlyWhenShorterOrSwitchedOn) {
  add();
  struct Step {
    double maxAge;
    int deletesAfter;
  };
  const Step steps[] = {{86400, 1}, {604800, 1}, {604800, 1}, {0, 1}, {-1, 1}, {100, 2}, {50, 3}};
  for (const Step& step : steps) {
    logger_->setMaxAge(step.maxAge);
    logger_->maxAge();
    EXPECT_EQ(logger_->deletes, step.deletesAfter) << step.maxAge;
  }
}

TEST_F(DatabaseLoggerTest, TheDeleteTimerRunsEveryIntervalWhileMaxAgeIsSet) {
  logger_->setDeleteInterval(0.02);
  add();
  ASSERT_TRUE(waitUntil([&] { return logger_->deletes >= 3; }));
  logger_->setMaxAge(0);  // stops the timer
  logger_->maxAge();
  int stopped = logger_->deletes;
  logger_->setDeleteInterval(0.01);  // no timer without an age
  logger_->deleteOldLogEntries();    // nor a delete
  logger_->deleteInterval();
  EXPECT_EQ(logger_->deletes, stopped);
}

TEST_F(DatabaseLoggerTest, DeleteOnEverySaveUsesTheCombinedCall) {
  logger_->setDeleteOnEverySave(true);
  logger_->setSaveThreshold(2);
  add();
  log(4);
  logger_->savePendingLogEntries();
  logger_->saveThreshold();
  EXPECT_EQ(logger_->savesAndDeletes, 2);
  EXPECT_EQ(logger_->saves, 0);
}

TEST_F(DatabaseLoggerTest, UnregisteringSavesWhatIsPending) {
  add();
  log(7);
  LGLog::removeLogger(logger_);
  LGLog::flushLog();
  logger_->saveThreshold();
  EXPECT_EQ(logger_->savedBatches(), std::vector<std::size_t>{7});
}

TEST_F(DatabaseLoggerTest, SettersFromTheLoggersOwnQueueApplyAtOnce) {
  add();
  std::uint64_t seen = 0;
  logger_->loggerQueue()->sync([&] {
    logger_->setSaveThreshold(3);
    logger_->savePendingLogEntries();
    seen = 1;
  });
  EXPECT_EQ(seen, 1u);
  log(3);
  EXPECT_EQ(logger_->savedBatches(), std::vector<std::size_t>{3});
}
