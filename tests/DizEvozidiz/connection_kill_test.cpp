// A writer process killed at random moments loses no commit it reported, and leaves a sound file
// that the next opening takes as it is: never moved aside as corrupt, every earlier round's commits
// still there. The writer is this test program itself, started again with DIZ_KILL_TEST_PATH set.
// DIZ_KILL_TEST_ROUNDS sets the number of rounds (default 4; 1000 for a long run).

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "DizEvozidiz/DizEvozidiz.h"
#include "DizEvozidiz/DizEvozidizConnection.h"
#include "DizEvozidiz/DizEvozidizTransaction.h"
#include "support/killed_writer.h"
#include "support/temp_dir.h"

namespace {

// Child side: commits "<round>-<n>" for n = 1, 2, ... and reports each n once it has committed.
TEST(DizConnectionKill, ChildWriter) {
  const char* path = std::getenv("DIZ_KILL_TEST_PATH");
  if (!path) GTEST_SKIP() << "only runs as the writer process of the kill test";
  const std::string round = std::getenv("DIZ_KILL_TEST_ROUND");
  const int fd = std::atoi(std::getenv("DIZ_KILL_TEST_FD"));
  auto database = DizEvozidiz::create(path);
  ASSERT_TRUE(database);
  auto connection = database->newConnection();
  for (long n = 1;; ++n) {
    const bool committed = connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
      t.setObject(platform::Value(n), round + "-" + std::to_string(n), "kill");
    });
    if (!committed) std::_Exit(4);  // never report what did not commit
    const std::string line = std::to_string(n) + "\n";
    if (write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) std::_Exit(3);
  }
}

int roundsFromEnvironment() {
  const char* rounds = std::getenv("DIZ_KILL_TEST_ROUNDS");
  return rounds && std::atoi(rounds) > 0 ? std::atoi(rounds) : 4;
}

// Every "<round>-<n>" key in the store, as round -> the values of n found (each must equal n).
std::map<long, std::vector<long>> committedByRound(const std::string& path) {
  std::map<long, std::vector<long>> found;
  auto database = DizEvozidiz::create(path);
  EXPECT_TRUE(database) << "the store did not open";
  if (!database) return found;
  database->newConnection()->readWithBlock([&](DizEvozidizReadTransaction& t) {
    t.enumerateKeysAndObjectsInCollection("kill", [&](const std::string& key, const platform::Value& value, bool&) {
      const std::size_t dash = key.find('-');
      const long n = std::stol(key.substr(dash + 1));
      EXPECT_EQ(value, platform::Value(n)) << key;
      found[std::stol(key.substr(0, dash))].push_back(n);
    });
  });
  return found;
}

TEST(DizConnectionKill, EveryReportedCommitSurvivesASigkill) {
  zorvel::test::TempDir dir;
  const std::string path = (dir / "killed.sqlite").string();
  std::mt19937 random(12345);
  const int rounds = roundsFromEnvironment();
  std::vector<long> reportedByRound;

  for (int round = 0; round < rounds; ++round) {
    // Let the child report a random number of commits, then kill it mid-stream.
    const int reportsBeforeKill = std::uniform_int_distribution<int>(1, 40)(random);
    const zorvel::test::KilledWriter writer = zorvel::test::runAndKillWriter(
        "DizConnectionKill.ChildWriter", {{"DIZ_KILL_TEST_PATH", path}, {"DIZ_KILL_TEST_ROUND", std::to_string(round)}},
        "DIZ_KILL_TEST_FD", reportsBeforeKill);
    ASSERT_TRUE(writer.killed) << "writer ended on its own in round " << round;
    const long lastReported = writer.lastReported;
    ASSERT_GT(lastReported, 0);
    reportedByRound.push_back(lastReported);

    // This round's and every earlier round's reported commits are there, in the file as it was.
    const auto found = committedByRound(path);
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
      ASSERT_EQ(entry.path().string().find(".corrupt"), std::string::npos)
          << "round " << round << " moved the store aside: " << entry.path();
    for (int r = 0; r <= round; ++r) {
      const auto it = found.find(r);
      const long have = it == found.end() ? 0 : static_cast<long>(it->second.size());
      ASSERT_GE(have, reportedByRound[static_cast<std::size_t>(r)])
          << "round " << round << " lost commits of round " << r;
      if (it != found.end()) {
        for (long n : it->second) ASSERT_LE(n, have) << "round " << r << " has a gap";  // 1..have, no holes
      }
    }

    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
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
