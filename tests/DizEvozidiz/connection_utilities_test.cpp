// The connection's utilities: pragma values, asynchronous vacuum, and online backup with progress
// and cancellation.

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "DizEvozidiz/DizEvozidizInternal.h"
#include "platform/system/progress.h"
#include "transaction_test_support.h"

namespace {

using platform::Value;
using RW = DizEvozidizReadWriteTransaction;

class ConnectionUtilities : public diztest::ConnectionFixture {
 protected:
  // Enough rows for a backup of several steps (1500 pages each).
  void fillWithPages(int rows) {
    ASSERT_TRUE(connection->readWriteWithBlock([&](RW& t) {
      for (int i = 0; i < rows; ++i)
        t.setObject(Value(platform::Bytes(8000, static_cast<std::uint8_t>(i))), "k" + std::to_string(i), "big");
    }));
  }
  platform::ErrorPtr backupAndWait(const std::string& target,
                                   const std::function<void(platform::Progress&)>& tune = {}) {
    platform::ErrorPtr result;
    bool done = false;
    // The backup waits behind a read until `tune` has seen its progress.
    platform::DispatchSemaphore tuned;
    connection->asyncReadWithBlock([&](DizEvozidizReadTransaction&) { tuned.wait(); });
    auto progress = connection->asyncBackupToPath(target, [&](const platform::ErrorPtr& error) {
      result = error;
      done = true;
    });
    if (tune) tune(*progress);
    tuned.signal();
    EXPECT_TRUE(platform::runMainLoopUntil([&] { return done; }, 60));
    lastProgress = progress;
    return result;
  }

  std::shared_ptr<platform::Progress> lastProgress;
};

TEST_F(ConnectionUtilities, PragmasAnswerByNameAndAnUnreadablePragmaIsUnknown) {
  EXPECT_EQ(connection->pragmaSynchronous(), "FULL");
  EXPECT_EQ(connection->pragmaAutoVacuum(), "FULL");
  EXPECT_EQ(connection->pragmaPageSize(), 4096);
  EXPECT_EQ(connection->pragmaMMapSize(), 0);

  zorvel::test::TempDir otherDir;
  DizEvozidizOptions options;
  options.pragmaSynchronous = 1;
  options.pragmaMMapSize = 1 << 20;
  auto other = DizEvozidiz::create((otherDir / "o.sqlite").string(), options);
  ASSERT_TRUE(other);
  auto normal = other->newConnection();
  EXPECT_EQ(normal->pragmaSynchronous(), "NORMAL");
  EXPECT_EQ(normal->pragmaMMapSize(), 1 << 20);
  EXPECT_EQ(DizEvozidiz::pragmaValueForSynchronous(3), "UNKNOWN");

  // A connection without a handle cannot read any pragma: never "OFF" or "NONE".
  std::filesystem::rename(path, path + ".moved");
  std::filesystem::create_directory(path);
  {
    auto unusable = database->newConnection();
    ASSERT_FALSE(unusable->isUsable());
    EXPECT_EQ(unusable->pragmaSynchronous(), "UNKNOWN");
    EXPECT_EQ(unusable->pragmaAutoVacuum(), "UNKNOWN");
    EXPECT_EQ(unusable->pragmaPageSize(), -1);
    EXPECT_EQ(unusable->pragmaMMapSize(), -1);
  }
  std::filesystem::remove(path);
  std::filesystem::rename(path + ".moved", path);
  normal.reset();
  other.reset();
}

TEST_F(ConnectionUtilities, AsyncVacuumCompletesOnTheMainQueue) {
  put(connection, "k", Value("v"));
  std::optional<platform::ErrorPtr> outcome;
  bool onMain = false;
  connection->asyncVacuum([&](const platform::ErrorPtr& error) {
    outcome = error;
    onMain = platform::DispatchQueue::currentQueueLabel() == platform::DispatchQueue::main()->label();
  });
  ASSERT_TRUE(platform::runMainLoopUntil([&] { return outcome.has_value(); }, 10));
  EXPECT_EQ(*outcome, nullptr);
  EXPECT_TRUE(onMain);
}

TEST_F(ConnectionUtilities, MaintenanceEndsALongLivedReadOrRaisesWhenAskedTo) {
  put(connection, "k", Value("v"));
  connection->beginLongLivedReadTransaction();
  EXPECT_TRUE(connection->vacuum());
  EXPECT_FALSE(connection->isInLongLivedReadTransaction()) << "ended, with a warning";

  connection->enableExceptionsForImplicitlyEndingLongLivedReadTransaction();
  connection->beginLongLivedReadTransaction();
  EXPECT_THROW((void)connection->vacuum(), platform::Exception);
  EXPECT_THROW((void)connection->backupToPath((dir / "never.sqlite").string()), platform::Exception);
  EXPECT_TRUE(connection->isInLongLivedReadTransaction()) << "left as it was";
  EXPECT_FALSE(std::filesystem::exists(dir / "never.sqlite"));
  connection->endLongLivedReadTransaction();
}

TEST_F(ConnectionUtilities, ABackupIsACompleteDatabaseWithEveryRow) {
  fillWithPages(2000);
  put(connection, "small", Value("v"), "things");
  const std::string target = (dir / "copy.sqlite").string();
  EXPECT_EQ(backupAndWait(target), nullptr);
  EXPECT_GT(lastProgress->totalUnitCount(), 1500) << "several steps";
  EXPECT_TRUE(lastProgress->isFinished());

  auto copy = DizEvozidiz::create(target);
  ASSERT_TRUE(copy);
  auto reader = copy->newConnection();
  reader->readWithBlock([](DizEvozidizReadTransaction& t) {
    EXPECT_EQ(t.numberOfKeysInCollection("big"), 2000u);
    EXPECT_EQ(t.objectForKey("k1999", "big").asData(), platform::Bytes(8000, static_cast<std::uint8_t>(1999)));
    EXPECT_EQ(t.objectForKey("small", "things"), Value("v"));
  });
  // The synchronous form too.
  EXPECT_EQ(connection->backupToPath((dir / "copy2.sqlite").string()), nullptr);
  reader.reset();
  copy.reset();
}

TEST_F(ConnectionUtilities, ACancelledBackupLeavesNothingThatLooksComplete) {
  fillWithPages(2000);
  const std::string target = (dir / "cancelled.sqlite").string();
  // Cancelled after its first step.
  platform::ErrorPtr error = backupAndWait(target, [](platform::Progress& progress) {
    progress.setCompletedUnitCountHandler([&progress](const platform::Progress&) { progress.cancel(); });
  });
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->domain(), DizEvozidizStoreErrorDomain);
  EXPECT_EQ(error->code(), 0);
  EXPECT_EQ(error->localizedDescription(), "Operation cancelled");
  EXPECT_EQ(error->underlyingError(), nullptr) << "SQLite did not fail";
  EXPECT_GT(lastProgress->completedUnitCount(), 0) << "it had begun";
  EXPECT_LT(lastProgress->completedUnitCount(), lastProgress->totalUnitCount());
  EXPECT_FALSE(std::filesystem::exists(target)) << "a file that was not there before is not left behind";

  // An existing target is left as it was.
  const std::string existing = (dir / "existing.sqlite").string();
  {
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(existing.c_str(), &raw), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(raw, "CREATE TABLE marker (x); INSERT INTO marker VALUES (1);", nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(raw);
  }
  error = backupAndWait(existing, [](platform::Progress& progress) {
    progress.setCompletedUnitCountHandler([&progress](const platform::Progress&) { progress.cancel(); });
  });
  ASSERT_NE(error, nullptr);
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open(existing.c_str(), &raw), SQLITE_OK);
  EXPECT_TRUE(DizEvozidizInternal::tableExists("marker", raw));
  EXPECT_FALSE(DizEvozidizInternal::tableExists("database2", raw));
  sqlite3_close(raw);
}

TEST_F(ConnectionUtilities, ABackupCancelledBeforeItStartsCopiesNothing) {
  // Hold the connection's queue so the backup waits behind it.
  platform::DispatchSemaphore release;
  connection->asyncReadWithBlock([&](DizEvozidizReadTransaction&) { release.wait(); });
  const std::string target = (dir / "never.sqlite").string();
  platform::ErrorPtr result;
  bool done = false;
  auto progress = connection->asyncBackupToPath(target, [&](const platform::ErrorPtr& error) {
    result = error;
    done = true;
  });
  EXPECT_EQ(progress->totalUnitCount(), 0) << "not known before the copy starts";
  progress->cancel();
  release.signal();
  ASSERT_TRUE(platform::runMainLoopUntil([&] { return done; }, 10));
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->localizedDescription(), "Operation cancelled");
  EXPECT_EQ(progress->completedUnitCount(), 0);
  EXPECT_FALSE(std::filesystem::exists(target));
}

TEST_F(ConnectionUtilities, ABackupIntoATargetThatStaysLockedFailsInsteadOfWaitingForever) {
  put(connection, "k", Value("v"), "things");
  const std::string target = (dir / "locked.sqlite").string();
  sqlite3* holder = nullptr;
  ASSERT_EQ(sqlite3_open(target.c_str(), &holder), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(holder, "CREATE TABLE marker (x); BEGIN EXCLUSIVE;", nullptr, nullptr, nullptr), SQLITE_OK);
  const platform::ErrorPtr error = connection->backupToPath(target);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->localizedDescription().rfind("Error from: sqlite3_backup_step()", 0), 0u)
      << error->localizedDescription();
  ASSERT_NE(error->underlyingError(), nullptr);
  EXPECT_EQ(error->underlyingError()->domain(), DizEvozidizSQLiteErrorDomain);
  EXPECT_EQ(error->underlyingError()->code() & 0xff, SQLITE_BUSY);
  EXPECT_EQ(error->underlyingError()->localizedDescription(),
            sqlite3_errstr(static_cast<int>(error->underlyingError()->code())));
  ASSERT_EQ(sqlite3_exec(holder, "COMMIT;", nullptr, nullptr, nullptr), SQLITE_OK);
  EXPECT_TRUE(DizEvozidizInternal::tableExists("marker", holder)) << "the existing target is left as it was";
  sqlite3_close(holder);
  // Once free, the same target takes the copy.
  EXPECT_EQ(connection->backupToPath(target), nullptr);
}

TEST_F(ConnectionUtilities, ABackupIntoAMissingFolderSaysWhereItFailed) {
  const platform::ErrorPtr error = connection->backupToPath((dir / "no" / "such" / "folder.sqlite").string());
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->domain(), DizEvozidizStoreErrorDomain);
  EXPECT_EQ(error->code(), 0);
  EXPECT_EQ(error->localizedDescription(), "Error from: sqlite3_open_v2()");
  const platform::ErrorPtr sqlite = error->underlyingError();
  ASSERT_NE(sqlite, nullptr);
  EXPECT_EQ(sqlite->domain(), DizEvozidizSQLiteErrorDomain);
  EXPECT_EQ(sqlite->code(), SQLITE_CANTOPEN);
  EXPECT_FALSE(sqlite->localizedDescription().empty());
}

TEST(DizEvozidizErrors, SQLiteAndStoreErrorsCarryWhatTheyAreGiven) {
  const platform::ErrorPtr withMessage = DizEvozidizConnection::sqliteErrorWithCode(SQLITE_FULL, "disk full");
  EXPECT_EQ(withMessage->domain(), "SQLite");
  EXPECT_EQ(withMessage->code(), SQLITE_FULL);
  EXPECT_EQ(withMessage->localizedDescription(), "disk full");
  const platform::ErrorPtr bare = DizEvozidizConnection::sqliteErrorWithCode(SQLITE_BUSY, nullptr);
  EXPECT_EQ(bare->code(), SQLITE_BUSY);
  EXPECT_TRUE(bare->userInfo().isNil()) << "no message, no user info";

  struct Case {
    const char* label;
    std::optional<std::string> description;
    platform::ErrorPtr underlying;
    bool hasUserInfo;
  };
  const std::vector<Case> cases = {
      {"both", "Error from: sqlite3_backup_step()", withMessage, true},
      {"description only", "Operation cancelled", nullptr, true},
      {"underlying only", std::nullopt, bare, true},
      {"neither", std::nullopt, nullptr, false},
  };
  for (const auto& c : cases) {
    const platform::ErrorPtr error = DizEvozidizConnection::dizErrorWithDescription(c.description, c.underlying);
    EXPECT_EQ(error->domain(), "DizEvozidiz") << c.label;
    EXPECT_EQ(error->code(), 0) << c.label;
    EXPECT_EQ(error->underlyingError(), c.underlying) << c.label;
    EXPECT_EQ(!error->userInfo().isNil(), c.hasUserInfo) << c.label;
    if (c.description) {
      EXPECT_EQ(error->localizedDescription(), *c.description) << c.label;
    }
  }
}

}  // namespace
