#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "logging/file_logger.h"
#include "logging/log_test_support.h"
#include "platform/services/files.h"
#include "platform/system/calendar.h"
#include "platform/system/process.h"
#include "platform/system/text.h"
#include "support/killed_writer.h"
#include "support/temp_dir.h"

using logtest::HubTest;
using logtest::waitUntil;
using platform::Date;
using platform::FileManager;
using testing::ElementsAre;

namespace {

// A clock moved by hand: alarms fire (their blocks are queued) when advance() passes their date.
class ManualClock : public LGLogClock {
 public:
  explicit ManualClock(Date start) : now_(start) {}

  Date now() const override {
    std::lock_guard lock(mutex_);
    return now_;
  }
  std::shared_ptr<LGLogClockAlarm> runAt(Date date, platform::DispatchQueuePtr queue,
                                         platform::DispatchBlock block) override {
    auto alarm = std::make_shared<Alarm>();
    alarm->date = date;
    alarm->queue = std::move(queue);
    alarm->block = std::move(block);
    std::lock_guard lock(mutex_);
    alarms_.push_back(alarm);
    if (date <= now_) fireDue();
    return alarm;
  }
  void advance(double seconds) {
    std::lock_guard lock(mutex_);
    now_ = now_.addingTimeInterval(seconds);
    fireDue();
  }
  std::size_t pendingAlarms() const {
    std::lock_guard lock(mutex_);
    return std::count_if(alarms_.begin(), alarms_.end(), [](const auto& a) { return !a->cancelled.load(); });
  }

 private:
  struct Alarm : LGLogClockAlarm {
    void cancel() override { cancelled = true; }
    Date date;
    platform::DispatchQueuePtr queue;
    platform::DispatchBlock block;
    std::atomic<bool> cancelled{false};
  };
  void fireDue() {
    for (auto it = alarms_.begin(); it != alarms_.end();) {
      if ((*it)->cancelled) {
        it = alarms_.erase(it);
      } else if ((*it)->date <= now_) {
        auto alarm = *it;
        it = alarms_.erase(it);
        alarm->queue->async([alarm] {
          if (!alarm->cancelled) alarm->block();
        });
      } else {
        ++it;
      }
    }
  }

  mutable std::mutex mutex_;
  Date now_;
  std::vector<std::shared_ptr<Alarm>> alarms_;
};

// 2017-05-01 12:30:15 UTC.
Date mayDay() {
  platform::Calendar utc("UTC");
  platform::DateComponents parts;
  parts.year = 2017;
  parts.month = 5;
  parts.day = 1;
  parts.hour = 12;
  parts.minute = 30;
  parts.second = 15;
  return *utc.dateFromComponents(parts);
}

std::string app() { return LGLogFileManagerDefault::applicationName(); }

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

void writeBytes(const std::string& path, std::size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << std::string(size, 'x');
}

class FileLoggerTest : public HubTest {
 protected:
  std::shared_ptr<ManualClock> clock_ = std::make_shared<ManualClock>(Date::now());
  zorvel::test::TempDir dir_;
  std::shared_ptr<LGLogFileManagerDefault> manager_ =
      std::make_shared<LGLogFileManagerDefault>((dir_ / "Logs").string(), clock_);

  // Files of the given sizes, oldest first, made one simulated minute apart.
  std::vector<std::string> makeFiles(const std::vector<std::size_t>& sizes) {
    std::vector<std::string> paths;
    for (std::size_t size : sizes) {
      auto path = manager_->createNewLogFile();
      EXPECT_TRUE(path);
      writeBytes(*path, size);
      paths.push_back(*path);
      clock_->advance(60);
    }
    return paths;
  }
  static void log(const std::string& text) {
    LGLog::logMessage(false, text, LGLogLevelAll, LGLogFlagInfo, 0, "/x/File.m", "f", 1);
  }
};

}  // namespace

TEST_F(FileLoggerTest, FileNamesCarryTheMinuteAndANumberWhenTaken) {
  auto clock = std::make_shared<ManualClock>(mayDay());
  LGLogFileManagerDefault manager((dir_ / "Named").string(), clock);
  EXPECT_EQ(manager.newLogFileName(), app() + " 2017-05-01 12-30.log");
  std::vector<std::string> made;
  for (int i = 0; i < 3; ++i) made.push_back(platform::lastPathComponent(manager.createNewLogFile().value()));
  EXPECT_THAT(made, ElementsAre(app() + " 2017-05-01 12-30.log", app() + " 2017-05-01 12-30 2.log",
                                app() + " 2017-05-01 12-30 3.log"));
  clock->advance(60);
  EXPECT_EQ(manager.newLogFileName(), app() + " 2017-05-01 12-31.log");
}

TEST_F(FileLoggerTest, ConcurrentWritersNeverGetTheSameNewFile) {
  auto clock = std::make_shared<ManualClock>(mayDay());
  auto first = std::make_shared<LGLogFileManagerDefault>((dir_ / "Shared").string(), clock);
  auto second = std::make_shared<LGLogFileManagerDefault>((dir_ / "Shared").string(), clock);
  for (const auto& manager : {first, second}) {
    manager->setMaximumNumberOfLogFiles(0);
    manager->setLogFilesDiskQuota(0);
  }
  LGLog::flushLog();
  std::vector<std::string> made[2];
  std::thread writers[2];
  for (int w = 0; w < 2; ++w) {
    writers[w] = std::thread([&, w] {
      for (int i = 0; i < 40; ++i) made[w].push_back((w == 0 ? first : second)->createNewLogFile().value());
    });
  }
  for (auto& writer : writers) writer.join();
  std::set<std::string> all(made[0].begin(), made[0].end());
  all.insert(made[1].begin(), made[1].end());
  EXPECT_EQ(all.size(), 80u);
}

TEST_F(FileLoggerTest, OnlyNamesOfTheApplicationWithADateAreLogFiles) {
  struct Case {
    std::string name;
    bool isLog;
  };
  const Case cases[] = {
      {app() + " 2017-05-01 12-30.log", true},  {app() + " 2017-05-01 12-30 2.log", true},
      {app() + " 2017-13-01 12-30.log", false}, {app() + " yesterday at noon.log", false},
      {app() + " 2017-05-01 12-30.txt", false}, {"other 2017-05-01 12-30.log", false},
      {app() + " 2017-05-01.log", false},       {app() + " 2017-05-01 12-30 2 x.log", false},
  };
  for (const Case& c : cases) EXPECT_EQ(manager_->isLogFile(c.name), c.isLog) << c.name;
  // A file that is not a log file is never counted nor deleted.
  manager_->logsDirectory();
  writeBytes((dir_ / "Logs" / (app() + " not a date at all.log")).string(), 10);
  makeFiles({10, 10});
  manager_->setMaximumNumberOfLogFiles(1);
  manager_->deleteOldLogFiles();
  EXPECT_EQ(manager_->sortedLogFilePaths().size(), 1u);
  EXPECT_TRUE(FileManager::defaultManager().fileExists(dir_ / "Logs" / (app() + " not a date at all.log")));
}

TEST_F(FileLoggerTest, OldFilesGoByQuotaAndCountNewestKept) {
  struct Case {
    const char* name;
    std::vector<std::size_t> sizes;  // oldest first
    std::uint64_t maximum, quota;
    bool archiveNewest;
    std::size_t kept;  // the newest ones
  };
  const Case cases[] = {
      {"quota 250 kB keeps the two newest", {100000, 100000, 100000, 100000}, 0, 250000, true, 2},
      {"maximum 3", {10, 10, 10, 10, 10}, 3, 0, true, 3},
      {"both limits, count decides", {100000, 100000, 100000}, 2, 20 * 1024 * 1024, true, 2},
      {"both limits, quota decides", {100000, 100000, 100000}, 5, 150000, true, 1},
      {"no limits", {500000, 500000, 500000}, 0, 0, true, 3},
      {"lone file over quota, being written", {300000}, 0, 100, false, 1},
      {"lone archived file over quota", {300000}, 0, 100, true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    zorvel::test::TempDir dir;
    auto manager = std::make_shared<LGLogFileManagerDefault>(dir.path().string(), clock_);
    manager->setMaximumNumberOfLogFiles(0);
    manager->setLogFilesDiskQuota(0);
    std::vector<std::string> paths;
    for (std::size_t size : c.sizes) {
      paths.push_back(manager->createNewLogFile().value());
      writeBytes(paths.back(), size);
      clock_->advance(60);
    }
    if (c.archiveNewest) LGLogFileInfo(paths.back()).setIsArchived(true);
    manager->setMaximumNumberOfLogFiles(c.maximum);
    manager->setLogFilesDiskQuota(c.quota);
    manager->deleteOldLogFiles();
    std::vector<std::string> expected(paths.end() - static_cast<std::ptrdiff_t>(c.kept), paths.end());
    std::reverse(expected.begin(), expected.end());
    EXPECT_EQ(manager->sortedLogFilePaths(), expected);
    LGLog::flushLog();  // the limit changes queued deletions; let them finish inside this folder's life
  }
}

TEST_F(FileLoggerTest, ASixthFileOfFiveHundredKilobyteFilesDeletesTheOldest) {
  auto paths = makeFiles({100000, 100000, 100000, 100000, 100000});
  for (const auto& p : paths) LGLogFileInfo(p).setIsArchived(true);
  auto sixth = manager_->createNewLogFile().value();
  std::vector<std::string> expected{sixth, paths[4], paths[3], paths[2], paths[1]};
  EXPECT_EQ(manager_->sortedLogFilePaths(), expected);
}

TEST_F(FileLoggerTest, LimitChangesDeleteOnTheLoggingQueue) {
  auto paths = makeFiles({10, 10, 10});
  manager_->setMaximumNumberOfLogFiles(1);
  LGLog::flushLog();  // the deletion was queued on the global logging queue before this
  EXPECT_EQ(manager_->sortedLogFilePaths(), std::vector<std::string>{paths[2]});
}

TEST_F(FileLoggerTest, LogsDirectoryDefaultsUnderTheStateHome) {
  std::string folder = LGLogFileManagerDefault::defaultLogsDirectory();
  EXPECT_EQ(platform::lastPathComponent(folder), platform::ProcessInfo::processName());
  EXPECT_EQ(platform::lastPathComponent(platform::deletingLastPathComponent(folder)), "Logs");
  EXPECT_EQ(platform::deletingLastPathComponent(platform::deletingLastPathComponent(folder)),
            FileManager::defaultManager().stateDirectory());
}

TEST_F(FileLoggerTest, WritesFormattedLinesAndRollsBySize) {
  auto logger = platform::make<LGFileLogger>(manager_);
  logger->setMaximumFileSize(100);
  LGLog::addLogger(logger);
  // 42 bytes a line: the third line of a file passes 100 bytes and rolls it.
  for (int i = 0; i < 6; ++i) log("message number " + std::to_string(i));
  LGLog::removeLogger(logger);
  LGLog::flushLog();
  logger->maximumFileSize();
  auto infos = manager_->sortedLogFileInfos();
  ASSERT_EQ(infos.size(), 2u);
  std::string all;
  for (auto it = infos.rbegin(); it != infos.rend(); ++it) {
    EXPECT_TRUE((*it)->isArchived()) << (*it)->fileName();
    std::string text = readAll((*it)->filePath());
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3) << text;
    all += text;
  }
  EXPECT_THAT(all, testing::MatchesRegex("([0-9]{4}/[0-9]{2}/[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}:[0-9]{3}  "
                                         "message number [0-9]\n){6}"));
}

TEST_F(FileLoggerTest, AgeRollsTheIdleFileWhenTheClockPassesIt) {
  auto logger = platform::make<LGFileLogger>(manager_);
  LGLog::addLogger(logger);
  log("before");
  auto first = manager_->sortedLogFilePaths();
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(clock_->pendingAlarms(), 1u);
  clock_->advance(24 * 60 * 60 - 5);
  logger->rollingFrequency();  // waits for anything queued on the logger
  EXPECT_FALSE(LGLogFileInfo(first[0]).isArchived());
  clock_->advance(10);
  logger->rollingFrequency();
  EXPECT_TRUE(LGLogFileInfo(first[0]).isArchived());
  log("after");
  auto now = manager_->sortedLogFilePaths();
  ASSERT_EQ(now.size(), 2u);
  EXPECT_THAT(readAll(now[0]), testing::HasSubstr("after"));
  EXPECT_THAT(readAll(first[0]), testing::Not(testing::HasSubstr("after")));
}

TEST_F(FileLoggerTest, ShorterRollingFrequencyRollsAtOnce) {
  auto logger = platform::make<LGFileLogger>(manager_);
  LGLog::addLogger(logger);
  log("one");
  clock_->advance(120);
  logger->setRollingFrequency(60);
  EXPECT_EQ(logger->rollingFrequency(), 60);
  EXPECT_TRUE(manager_->sortedLogFileInfos().front()->isArchived());
}

TEST_F(FileLoggerTest, DeletingOrRenamingTheCurrentFileStartsANewOne) {
  for (bool rename : {false, true}) {
    SCOPED_TRACE(rename ? "renamed" : "deleted");
    zorvel::test::TempDir dir;
    auto manager = std::make_shared<LGLogFileManagerDefault>(dir.path().string(), clock_);
    auto logger = platform::make<LGFileLogger>(manager);
    LGLog::addLogger(logger);
    log("first");
    auto first = manager->sortedLogFilePaths();
    ASSERT_EQ(first.size(), 1u);
    std::string moved = (dir / "moved.txt").string();
    if (rename)
      ASSERT_EQ(std::rename(first[0].c_str(), moved.c_str()), 0);
    else
      ASSERT_EQ(::unlink(first[0].c_str()), 0);
    // The watch reports the change on the logger's queue; the next message then makes a file.
    ASSERT_TRUE(waitUntil([&] {
      log("probe");
      return !manager->sortedLogFilePaths().empty();
    }));
    auto now = manager->sortedLogFilePaths();
    EXPECT_THAT(readAll(now[0]), testing::HasSubstr("probe"));
    if (rename) {
      EXPECT_THAT(readAll(moved), testing::HasSubstr("first"));
    }
    LGLog::removeLogger(logger);
    LGLog::flushLog();
  }
}

TEST_F(FileLoggerTest, ReusesTheNewestUnarchivedFileUnlessToldNotTo) {
  auto paths = makeFiles({20});
  for (bool doNotReuse : {false, true}) {
    SCOPED_TRACE(doNotReuse);
    auto logger = platform::make<LGFileLogger>(manager_);
    logger->setDoNotReuseLogFiles(doNotReuse);
    LGLog::addLogger(logger);
    log(doNotReuse ? "fresh" : "continued");
    LGLog::removeAllLoggers();  // rolls (archives) the file
    LGLog::flushLog();
    logger->maximumFileSize();
    // As after a crash: the file was never archived.
    LGLogFileInfo(paths[0]).setIsArchived(false);
  }
  auto now = manager_->sortedLogFilePaths();
  ASSERT_EQ(now.size(), 2u);
  EXPECT_EQ(now[1], paths[0]);
  EXPECT_THAT(readAll(paths[0]), testing::HasSubstr("continued"));
  EXPECT_THAT(readAll(now[0]), testing::HasSubstr("fresh"));
}

TEST_F(FileLoggerTest, AFullOrOldNewestFileIsArchivedNotContinued) {
  auto paths = makeFiles({200});
  auto logger = platform::make<LGFileLogger>(manager_);
  logger->setMaximumFileSize(100);
  LGLog::addLogger(logger);
  log("new");
  auto now = manager_->sortedLogFilePaths();
  ASSERT_EQ(now.size(), 2u);
  EXPECT_TRUE(LGLogFileInfo(paths[0]).isArchived());
  EXPECT_THAT(readAll(now[0]), testing::HasSubstr("new"));
}

TEST_F(FileLoggerTest, RenameReplacesAtomicallyAndKeepsThePathOnFailure) {
  manager_->logsDirectory();
  std::string a = (dir_ / "Logs" / "a.log").string(), b = (dir_ / "Logs" / "b.log").string();
  writeBytes(a, 3);
  writeBytes(b, 5);
  LGLogFileInfo info(a);
  EXPECT_TRUE(info.renameFile("b.log"));
  EXPECT_EQ(info.filePath(), b);
  EXPECT_EQ(info.fileSize(), 3u);
  EXPECT_FALSE(FileManager::defaultManager().fileExists(a));

  LGLogFileInfo gone((dir_ / "Logs" / "missing.log").string());
  platform::ErrorPtr error;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(gone.renameFile("b.log", &error));
  EXPECT_THAT(testing::internal::GetCapturedStderr(), testing::HasSubstr("LGLogFileInfo: Error renaming file"));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), ENOENT);
  EXPECT_EQ(gone.filePath(), (dir_ / "Logs" / "missing.log").string());
  EXPECT_EQ(readAll(b), "xxx");  // the destination was not touched
}

TEST_F(FileLoggerTest, ArchivedMarkIsAnExtendedAttribute) {
  auto path = makeFiles({1})[0];
  LGLogFileInfo info(path);
  EXPECT_FALSE(info.isArchived());
  info.setIsArchived(true);
  EXPECT_TRUE(FileManager::defaultManager().hasExtendedAttribute(path, "LGLog.log.archived"));
  EXPECT_TRUE(LGLogFileInfo(path).isArchived());
  info.setIsArchived(false);
  info.setIsArchived(false);  // removing a missing mark is not an error
  EXPECT_FALSE(info.isArchived());
}

// Child side of the kill test: logs "line <n>" synchronously, reporting each n once logged.
TEST(LGFileLoggerKill, ChildWriter) {
  const char* folder = std::getenv("LG_KILL_TEST_FOLDER");
  if (!folder) GTEST_SKIP() << "only runs as the writer process of the kill test";
  const int fd = std::atoi(std::getenv("LG_KILL_TEST_FD"));
  auto manager = std::make_shared<LGLogFileManagerDefault>(std::string(folder));
  manager->setMaximumNumberOfLogFiles(0);
  manager->setLogFilesDiskQuota(0);
  auto logger = platform::make<LGFileLogger>(manager);
  logger->setMaximumFileSize(4096);
  LGLog::addLogger(logger);
  for (long n = 1;; ++n) {
    LGLog::logMessage(false, "line " + std::to_string(n) + " " + std::string(static_cast<std::size_t>(n % 97), '.'),
                      LGLogLevelAll, LGLogFlagInfo, 0, "/x/File.m", "f", 1);
    const std::string report = std::to_string(n) + "\n";
    if (write(fd, report.data(), report.size()) != static_cast<ssize_t>(report.size())) std::_Exit(3);
  }
}

TEST(LGFileLoggerKill, EveryLoggedLineSurvivesASigkillWhole) {
  zorvel::test::TempDir dir;
  std::mt19937 random(1807);
  long previousRounds = 0;
  for (int round = 0; round < 4; ++round) {
    const zorvel::test::KilledWriter writer =
        zorvel::test::runAndKillWriter("LGFileLoggerKill.ChildWriter", {{"LG_KILL_TEST_FOLDER", dir.path().string()}},
                                       "LG_KILL_TEST_FD", std::uniform_int_distribution<int>(20, 400)(random));
    ASSERT_TRUE(writer.killed) << "writer ended on its own in round " << round;
    const long lastReported = writer.lastReported;
    ASSERT_GT(lastReported, 0);

    // Every file holds whole lines only, and every reported line of this round is there.
    std::map<long, int> seen;  // n of this round -> count
    const auto line =
        testing::MatchesRegex("[0-9]{4}/[0-9]{2}/[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}:[0-9]{3}  line [0-9]+ [.]*");
    long linesInFiles = 0;
    const std::vector<std::string> entries =
        FileManager::defaultManager().contentsOfDirectory(dir.path()).value_or(std::vector<std::string>{});
    for (const std::string& name : entries) {
      std::string text = readAll((dir / name).string());
      ASSERT_TRUE(text.empty() || text.back() == '\n') << name << " ends in half a line";
      std::istringstream lines(text);
      for (std::string l; std::getline(lines, l);) {
        ASSERT_THAT(l, line) << name;
        ++linesInFiles;
      }
    }
    EXPECT_GE(linesInFiles, previousRounds + lastReported);
    previousRounds = linesInFiles;
  }
}
