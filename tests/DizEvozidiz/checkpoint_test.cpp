#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "DizEvozidiz/DizEvozidiz.h"
#include "DizEvozidiz/DizEvozidizConnectionInternal.h"
#include "DizEvozidiz/DizEvozidizTransaction.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

// Runs until every checkpoint pass queued so far, and the truncation it may queue, has finished.
void drainCheckpoints(const DizEvozidiz::Ptr& database) {
  database->snapshot();  // start-up done: its own checkpoint pass is queued
  DizInternal(*database).checkpointQueue()->sync([] {});
  DizInternal(*database).writeQueue()->sync([] {});
  DizInternal(*database).snapshotQueue()->sync([] {});
}

TEST(DizEvozidizCheckpoint, TruncatesTheWalOnlyAtOrAboveTheThreshold) {
  struct Case {
    std::uint64_t threshold;
    bool truncated;
  };
  for (Case c : {Case{64 * 1024, true}, Case{64 * 1024 * 1024, false}}) {
    SCOPED_TRACE(c.threshold);
    zorvel::test::TempDir dir;
    const fs::path path = dir / "wal.sqlite";
    DizEvozidizOptions options;
    options.aggressiveWALTruncationSize = c.threshold;
    auto database = DizEvozidiz::create(path.string(), options);
    ASSERT_TRUE(database);
    drainCheckpoints(database);

    sqlite3* writer = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &writer), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(writer,
                           "PRAGMA wal_autocheckpoint = 0; CREATE TABLE bulk (b);"
                           "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 60)"
                           " INSERT INTO bulk SELECT randomblob(3000) FROM n;",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(writer);  // not the last handle: the WAL stays as it is
    const auto walBefore = fs::file_size(database->databasePath_wal());
    ASSERT_GT(walBefore, 64u * 1024u);

    DizInternal(*database).asyncCheckpoint(0);
    drainCheckpoints(database);
    const auto walAfter = fs::file_size(database->databasePath_wal());
    if (c.truncated)
      EXPECT_EQ(walAfter, 0u);
    else
      EXPECT_EQ(walAfter, walBefore);

    // Whatever happened to the WAL, the data reached the main file.
    sqlite3* reader = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &reader), SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(reader, "SELECT count(*) FROM bulk", -1, &statement, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(statement), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(statement, 0), 60);
    sqlite3_finalize(statement);
    sqlite3_close(reader);
  }
}

class FakeConnection : public DizEvozidizConnectionHooks {
 public:
  void maybeResetLongLivedReadTransaction() override { ++resets; }
  std::atomic<int> resets{0};
};

TEST(DizEvozidizCheckpoint, NudgesOnlyLongLivedReadersAtTheLatestSnapshot) {
  zorvel::test::TempDir dir;
  auto database = DizEvozidiz::create((dir / "nudge.sqlite").string());
  ASSERT_TRUE(database);
  drainCheckpoints(database);

  auto current = std::make_shared<FakeConnection>();
  auto behind = std::make_shared<FakeConnection>();
  auto shortLived = std::make_shared<FakeConnection>();
  auto gone = std::make_shared<FakeConnection>();
  auto makeState = [&](const std::shared_ptr<FakeConnection>& c, bool longLived, std::uint64_t last) {
    auto state = std::make_shared<DizEvozidizConnectionState>(c);
    state->longLivedReadTransaction = longLived;
    state->lastTransactionSnapshot = last;
    DizInternal(*database).addConnectionState(state);
  };
  DizInternal(*database).snapshotQueue()->sync([&] { DizInternal(*database).setSnapshotOnSnapshotQueue(5); });
  makeState(current, true, 5);
  makeState(behind, true, 4);
  makeState(shortLived, false, 5);
  makeState(gone, true, 5);
  const DizEvozidizConnectionHooks* goneIdentity = gone.get();
  gone.reset();  // a released connection is skipped

  DizInternal(*database).asyncCheckpoint(5);
  drainCheckpoints(database);
  EXPECT_EQ(current->resets.load(), 1);
  EXPECT_EQ(behind->resets.load(), 0);
  EXPECT_EQ(shortLived->resets.load(), 0);

  DizInternal(*database).removeConnectionState(current.get());
  DizInternal(*database).removeConnectionState(goneIdentity);
  std::size_t remaining = 0;
  DizInternal(*database).snapshotQueue()->sync(
      [&] { remaining = DizInternal(*database).connectionStatesOnSnapshotQueue().size(); });
  EXPECT_EQ(remaining, 2u);
  DizInternal(*database).asyncCheckpoint(5);
  drainCheckpoints(database);
  EXPECT_EQ(current->resets.load(), 1);
}

// A reader that keeps its read transaction open holds WAL frames that no truncation can reset. The
// writer goes on committing (its write queue is what a truncation holds) and the WAL is truncated
// once the reader lets go.
TEST(DizEvozidizCheckpoint, AReaderHoldingItsSnapshotNeverStallsTheWriter) {
  zorvel::test::TempDir dir;
  DizEvozidizOptions options;
  options.pragmaSynchronous = 0;               // the disk is not under test
  options.aggressiveWALTruncationSize = 4096;  // every pass finds the WAL large
  auto database = DizEvozidiz::create((dir / "pinned.sqlite").string(), options);
  ASSERT_TRUE(database);
  auto writer = database->newConnection();
  auto reader = database->newConnection();
  auto commit = [&](int i) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(writer->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
      t.setObject(platform::Value(std::string(2000, 'x') + std::to_string(i)), "k" + std::to_string(i % 7), "c");
    }));
    return std::chrono::steady_clock::now() - start;
  };
  commit(0);
  drainCheckpoints(database);

  std::chrono::steady_clock::duration slowest{};
  // The reader moves its snapshot now and then, as a display does after each change; in between it
  // stays behind the writer, and every pass finds a large WAL that it pins.
  reader->beginLongLivedReadTransaction();
  for (int round = 0; round < 12; ++round) {
    for (int i = 0; i < 4; ++i) {
      slowest = std::max(slowest, commit(round * 4 + i + 1));
      DizInternal(*database).asyncCheckpoint(0);  // as a reader's end or another process would ask
    }
    if (round % 3 == 1) reader->beginLongLivedReadTransaction();
  }
  drainCheckpoints(database);
  // A truncation waiting on the reader would hold each commit for the handle's busy time-out (two
  // seconds); a commit itself takes a millisecond or so.
  EXPECT_LT(std::chrono::duration<double>(slowest).count(), 1.0);
  EXPECT_GT(fs::file_size(database->databasePath_wal()), 0u);

  // Moved to the latest commit, the reader is nudged onto the checkpointed file, and the truncation
  // goes through while its long-lived read transaction stays open.
  reader->beginLongLivedReadTransaction();
  DizInternal(*database).asyncCheckpoint(0);
  drainCheckpoints(database);
  EXPECT_EQ(fs::file_size(database->databasePath_wal()), 0u);
  EXPECT_TRUE(reader->isInLongLivedReadTransaction());

  // Left behind again, it pins the WAL until it lets go; then the next pass truncates.
  for (int i = 0; i < 4; ++i) {
    EXPECT_LT(std::chrono::duration<double>(commit(100 + i)).count(), 1.0);
    DizInternal(*database).asyncCheckpoint(0);
  }
  drainCheckpoints(database);
  EXPECT_GT(fs::file_size(database->databasePath_wal()), 0u);
  reader->endLongLivedReadTransaction();
  DizInternal(*database).asyncCheckpoint(0);
  drainCheckpoints(database);
  EXPECT_EQ(fs::file_size(database->databasePath_wal()), 0u);
}

TEST(DizEvozidizCheckpoint, PassRequestedBeforeReleaseDoesNothingAfterIt) {
  zorvel::test::TempDir dir;
  auto database = DizEvozidiz::create((dir / "late.sqlite").string());
  ASSERT_TRUE(database);
  auto queue = DizInternal(*database).checkpointQueue();
  std::weak_ptr<DizEvozidiz> weak = database;
  // Hold the checkpoint queue so the pass is still queued when the database goes away.
  std::atomic<bool> release{false};
  database->snapshot();
  queue->async([&] {
    while (!release.load()) std::this_thread::yield();
  });
  DizInternal(*database).asyncCheckpoint(0);
  database.reset();
  release = true;
  queue->sync([] {});
  EXPECT_TRUE(weak.expired());
}

}  // namespace
