// A read-write transaction that did not commit says so, and keeps nothing: the synchronous form
// returns false with the reason, the asynchronous forms always call their completion.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "DizEvozidiz/DizEvozidizConnectionInternal.h"
#include "DizEvozidiz/DizVfsShimInternal.h"
#include "platform/dispatch/run_loop.h"
#include "platform/services/notification_center.h"
#include "transaction_test_support.h"

namespace {

using diztest::LogCapture;
using diztest::StoreTest;
using platform::ErrorPtr;
using platform::Value;

// Makes the raw statements given fail from now on, through a handle of its own.
void addTriggers(const std::filesystem::path& path, const char* sql) {
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open(path.string().c_str(), &raw), SQLITE_OK);
  char* message = nullptr;
  ASSERT_EQ(sqlite3_exec(raw, sql, nullptr, nullptr, &message), SQLITE_OK) << (message ? message : "");
  sqlite3_close(raw);
}

// Fails every write and sync of the shim's files while set: COMMIT cannot reach the disk.
struct WriteFaults {
  std::atomic<bool> on{false};
  static int hook(void* context, diz_file*, diz_io_op op) {
    auto* faults = static_cast<WriteFaults*>(context);
    return faults->on && (op == diz_io_op::write || op == diz_io_op::sync) ? SQLITE_IOERR : SQLITE_OK;
  }
};

class TransactionOutcome : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    write([](DizEvozidizReadWriteTransaction& t) { t.setObject("kept", "existing", "c"); });
    // A row keyed "poison" can be neither inserted nor updated, and the commit counter cannot be
    // written while a row keyed "no counter" exists (inserting one is allowed).
    addTriggers(dir / "store.sqlite",
                R"(CREATE TRIGGER poisonInsert BEFORE INSERT ON "database2" WHEN new."key" = 'poison'
                     BEGIN SELECT RAISE(ABORT, 'refused'); END;
                   CREATE TRIGGER counter BEFORE INSERT ON "diz2"
                     WHEN new."key" = 'snapshot' AND EXISTS (SELECT 1 FROM "database2" WHERE "key" = 'no counter')
                     BEGIN SELECT RAISE(ABORT, 'no counter'); END;)");
  }
  void TearDown() override {
    diz_vfs_shim_set_fault_hook(DizInternal(*database).vfsShim(), nullptr, nullptr);
    StoreTest::TearDown();
  }

  Value committed(const char* key) {
    Value result;
    database->newConnection()->readWithBlock([&](DizEvozidizReadTransaction& t) { result = t.objectForKey(key, "c"); });
    return result;
  }

  WriteFaults faults;
};

struct Case {
  const char* name;
  std::function<void(DizEvozidizReadWriteTransaction&)> middle;  // between two good writes
  std::int64_t code;
  const char* logged;
};

// Each way a transaction can end without committing: reported with its reason, nothing of it kept,
// no commit number used, no notification; the block runs to its end in every case.
TEST_F(TransactionOutcome, NotCommittingIsReportedAndKeepsNothing) {
  const std::vector<Case> cases = {
      {"the block asks for a rollback", [](auto& t) { t.rollback(); }, DizEvozidizErrorRolledBack, nullptr},
      {"a write fails", [](auto& t) { t.setObject("bad", "poison", "c"); }, DizEvozidizErrorWriteFailed,
       "Error executing 'insertForRowidStatement': 19 refused"},
      {"the commit counter cannot be written", [](auto& t) { t.setObject("x", "no counter", "c"); },
       DizEvozidizErrorCommitFailed, "Error executing 'dizSetDataForKeyStatement': 19 no counter"},
      {"COMMIT fails", [this](auto&) { faults.on = true; }, DizEvozidizErrorCommitFailed,
       "DizEvozidizTransaction: Couldn't commit transaction: 10 "},
  };
  diz_vfs_shim_set_fault_hook(DizInternal(*database).vfsShim(), &WriteFaults::hook, &faults);
  platform::runMainLoopUntil([] { return false; }, 0.05);  // the set-up's own notification
  std::atomic<int> notifications{0};
  auto token = platform::NotificationCenter::defaultCenter()->addObserver(
      std::string(DizEvozidizModifiedNotification), database, nullptr,
      [&](const platform::NotificationPtr&) { ++notifications; });

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    const std::uint64_t counter = database->snapshot();
    bool ranToTheEnd = false;
    ErrorPtr error;
    const bool ok = connection->readWriteWithBlock(
        [&](DizEvozidizReadWriteTransaction& t) {
          t.setObject("first", "a", "c");
          t.setObject("changed", "existing", "c");
          c.middle(t);
          t.setObject("second", "b", "c");
          EXPECT_EQ(t.objectForKey("b", "c"), Value("second")) << "the transaction stays usable";
          ranToTheEnd = true;
        },
        &error);
    faults.on = false;

    EXPECT_FALSE(ok);
    EXPECT_TRUE(ranToTheEnd);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain(), DizEvozidizErrorDomain);
    EXPECT_EQ(error->code(), c.code) << error->description();
    if (c.logged) {
      EXPECT_TRUE(log->contains(c.logged));
    }
    for (const char* key : {"a", "b"}) {
      EXPECT_TRUE(committed(key).isNil()) << key;
      read([&](DizEvozidizReadTransaction& t) { EXPECT_TRUE(t.objectForKey(key, "c").isNil()) << key; });
    }
    EXPECT_EQ(committed("existing"), Value("kept"));
    EXPECT_EQ(database->snapshot(), counter);
    EXPECT_EQ(connection->snapshot(), counter);
  }
  platform::runMainLoopUntil([] { return false; }, 0.05);
  platform::NotificationCenter::defaultCenter()->removeObserver(token);
  EXPECT_EQ(notifications.load(), 0);

  // The connection is sound afterwards.
  EXPECT_TRUE(connection->readWriteWithBlock([](DizEvozidizReadWriteTransaction& t) { t.setObject("yes", "a", "c"); }));
  EXPECT_EQ(committed("a"), Value("yes"));
}

TEST_F(TransactionOutcome, FailedWritesOfEveryKindMarkTheTransactionFailed) {
  write([](DizEvozidizReadWriteTransaction& t) { t.setObject("old", "kept too", "c"); });
  addTriggers(dir / "store.sqlite",
              R"(CREATE TRIGGER refuseUpdates BEFORE UPDATE ON "database2" BEGIN SELECT RAISE(ABORT, 'refused'); END;
                 CREATE TRIGGER refuseDeletes BEFORE DELETE ON "database2" BEGIN SELECT RAISE(ABORT, 'refused'); END;
                 CREATE TRIGGER refuseValues BEFORE INSERT ON "diz2" WHEN new."extension" = 'ext'
                   BEGIN SELECT RAISE(ABORT, 'refused'); END;)");
  const std::vector<std::pair<const char*, std::function<void(DizEvozidizReadWriteTransaction&)>>> writes = {
      {"set over a row", [](auto& t) { t.setObject("new", "kept too", "c"); }},
      {"replace object", [](auto& t) { t.replaceObject("new", "kept too", "c"); }},
      {"replace metadata", [](auto& t) { t.replaceMetadata("m", "kept too", "c"); }},
      {"remove", [](auto& t) { t.removeObjectForKey("kept too", "c"); }},
      {"remove keys",
       [](auto& t) {
         t.removeObjectsForKeys({"kept too", "existing"}, "c");
       }},
      {"remove collection", [](auto& t) { t.removeAllObjectsInCollection("c"); }},
      {"remove everything", [](auto& t) { t.removeAllObjectsInAllCollections(); }},
      {"extension value", [](auto& t) { t.setIntValue(1, "k", "ext"); }},
  };
  for (const auto& [name, failing] : writes) {
    SCOPED_TRACE(name);
    ErrorPtr error;
    EXPECT_FALSE(connection->readWriteWithBlock(
        [&](DizEvozidizReadWriteTransaction& t) {
          t.setObject("first", "a", "c");
          failing(t);
          EXPECT_NE(t.writeFailure(), nullptr);
        },
        &error));
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), DizEvozidizErrorWriteFailed);
    EXPECT_TRUE(committed("a").isNil());
    EXPECT_EQ(committed("kept too"), Value("old"));
  }
}

// The completion of an asynchronous read-write transaction runs whatever happens, and the form
// that takes the outcome receives it.
TEST_F(TransactionOutcome, AsynchronousFormsAlwaysCallTheirCompletion) {
  struct AsyncCase {
    const char* name;
    std::function<void(const DizEvozidizConnection::Ptr&)> before;
    std::function<void(DizEvozidizReadWriteTransaction&)> block;
    std::int64_t code;  // 0: committed
  };
  const std::vector<AsyncCase> cases = {
      {"commits", nullptr, [](auto& t) { t.setObject("v", "a", "c"); }, 0},
      {"rolled back", nullptr, [](auto& t) { t.rollback(); }, DizEvozidizErrorRolledBack},
      {"block throws", nullptr, [](auto&) { throw std::runtime_error("boom"); }, DizEvozidizErrorException},
      // An open SQL transaction on the idle handle makes BEGIN fail.
      {"BEGIN fails", [](const auto& c) { sqlite3_exec(DizInternal(*c).db, "BEGIN;", nullptr, nullptr, nullptr); },
       [](auto&) {}, DizEvozidizErrorBeginFailed},
  };
  for (const AsyncCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto subject = database->newConnection();
    subject->snapshot();  // prepared and idle
    if (c.before) c.before(subject);
    std::atomic<int> plain{0};
    std::atomic<int> withOutcome{0};
    ErrorPtr received;
    subject->asyncReadWriteWithBlock(c.block, [&] { ++plain; });
    subject->asyncReadWriteWithBlock(c.block, [&](const ErrorPtr& error) {
      received = error;
      ++withOutcome;
    });
    ASSERT_TRUE(platform::runMainLoopUntil([&] { return plain == 1 && withOutcome == 1; }, 10));
    if (c.code == 0) {
      EXPECT_EQ(received, nullptr);
    } else {
      ASSERT_NE(received, nullptr);
      EXPECT_EQ(received->code(), c.code);
    }
    if (c.before) sqlite3_exec(DizInternal(*subject).db, "ROLLBACK;", nullptr, nullptr, nullptr);
  }
}

TEST_F(TransactionOutcome, ConnectionWithoutAHandleStillCallsTheCompletion) {
  // A directory where the file was: the database keeps its handle, a new connection cannot open.
  const std::string path = (dir / "store.sqlite").string();
  std::filesystem::rename(path, path + ".moved");
  std::filesystem::create_directory(path);
  auto subject = database->newConnection();
  ErrorPtr received;
  bool called = false;
  subject->asyncReadWriteWithBlock([](DizEvozidizReadWriteTransaction&) { ADD_FAILURE() << "the block ran"; },
                                   [&](const ErrorPtr& error) {
                                     received = error;
                                     called = true;
                                   });
  ASSERT_TRUE(platform::runMainLoopUntil([&] { return called; }, 10));
  ASSERT_NE(received, nullptr);
  EXPECT_EQ(received->code(), DizEvozidizErrorConnectionUnusable);
  subject.reset();
  std::filesystem::remove(path);
  std::filesystem::rename(path + ".moved", path);
}

}  // namespace
