// A writer process killed at random moments loses no commit it reported, and leaves a sound file.
// The writer is this test program itself, started again with DIZ_KILL_TEST_PATH set.

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "DizEvozidiz/DizEvozidiz.h"
#include "DizEvozidiz/DizEvozidizConnection.h"
#include "DizEvozidiz/DizEvozidizTransaction.h"
#include "platform/run_loop.h"
#include "support/killed_writer.h"
#include "support/temp_dir.h"

namespace {

// Child side: commits "<round>-<n>" for n = 1, 2, ... and reports each n after its commit returned.
TEST(DizConnectionKill, ChildWriter) {
  const char* path = std::getenv("DIZ_KILL_TEST_PATH");
  if (!path) GTEST_SKIP() << "only runs as the writer process of the kill test";
  const std::string round = std::getenv("DIZ_KILL_TEST_ROUND");
  const int fd = std::atoi(std::getenv("DIZ_KILL_TEST_FD"));
  auto database = DizEvozidiz::create(path);
  ASSERT_TRUE(database);
  auto connection = database->newConnection();
  for (long n = 1;; ++n) {
    connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
      t.setObject(platform::Value(n), round + "-" + std::to_string(n), "kill");
    });
    const std::string line = std::to_string(n) + "\n";
    if (write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) std::_Exit(3);
  }
}

TEST(DizConnectionKill, EveryReportedCommitSurvivesASigkill) {
  zorvel::test::TempDir dir;
  const std::string path = (dir / "killed.sqlite").string();
  std::mt19937 random(12345);
  constexpr int kRounds = 4;

  for (int round = 0; round < kRounds; ++round) {
    // Let the child report a random number of commits, then kill it mid-stream.
    const int reportsBeforeKill = std::uniform_int_distribution<int>(1, 40)(random);
    const zorvel::test::KilledWriter writer = zorvel::test::runAndKillWriter(
        "DizConnectionKill.ChildWriter", {{"DIZ_KILL_TEST_PATH", path}, {"DIZ_KILL_TEST_ROUND", std::to_string(round)}},
        "DIZ_KILL_TEST_FD", reportsBeforeKill);
    ASSERT_TRUE(writer.killed) << "writer ended on its own in round " << round;
    const long lastReported = writer.lastReported;
    ASSERT_GT(lastReported, 0);

    {
      auto database = DizEvozidiz::create(path);
      ASSERT_TRUE(database);
      auto connection = database->newConnection();
      connection->readWithBlock([&](DizEvozidizReadTransaction& t) {
        for (long n = 1; n <= lastReported; ++n)
          ASSERT_EQ(t.objectForKey(std::to_string(round) + "-" + std::to_string(n), "kill"), platform::Value(n))
              << "round " << round << " commit " << n;
      });
    }
    platform::runMainLoopUntil([] { return false; }, 0.02);

    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    // The released database may still be closing its own handle on another thread.
    sqlite3_busy_timeout(raw, 10000);
    sqlite3_stmt* check = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(raw, "PRAGMA integrity_check;", -1, &check, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(check), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(check, 0)), "ok");
    sqlite3_finalize(check);
    sqlite3_close(raw);
  }
}

}  // namespace
