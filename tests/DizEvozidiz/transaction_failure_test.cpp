// Failing SQL inside transactions: injected I/O errors and refused deletes must never be taken for
// "no row" or recorded as done.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "DizEvozidiz/DizEvozidizConnectionInternal.h"
#include "DizEvozidiz/DizVfsShimInternal.h"
#include "DizEvozidiz/Utilities/DizMarkers.h"
#include "transaction_test_support.h"

namespace {

using diztest::LogCapture;
using diztest::StoreTest;
using platform::Value;

// Fails the next `reads` read operations of any file of the shim.
struct ReadFaults {
  std::atomic<int> reads{0};
  static int hook(void* context, diz_file*, diz_io_op op) {
    auto* faults = static_cast<ReadFaults*>(context);
    if (op == diz_io_op::read && faults->reads.load() > 0) {
      --faults->reads;
      return SQLITE_IOERR_READ;
    }
    return SQLITE_OK;
  }
};

class TransactionFailures : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    write([](DizEvozidizReadWriteTransaction& t) {
      t.setObject("one", "1", "c");
      t.setObject("two", "2", "c");
      t.setObject("bad", "poison", "c");
      t.setObject("other", "x", "d");
    });
    diz_vfs_shim_set_fault_hook(DizInternal(*database).vfsShim(), &ReadFaults::hook, &faults);
  }
  void TearDown() override {
    diz_vfs_shim_set_fault_hook(DizInternal(*database).vfsShim(), nullptr, nullptr);
    StoreTest::TearDown();
  }

  // Makes every DELETE of the row keyed "poison" fail (and SQLite undo the statement).
  void poisonDeletes() {
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open((dir / "store.sqlite").string().c_str(), &raw), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(raw,
                           R"(CREATE TRIGGER poison BEFORE DELETE ON "database2" WHEN old."key" = 'poison'
                              BEGIN SELECT RAISE(ABORT, 'refused'); END;)",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(raw);
  }

  Value committedObject(const char* key, const char* collection) {
    Value result;
    database->newConnection()->readWithBlock(
        [&](DizEvozidizReadTransaction& t) { result = t.objectForKey(key, collection); });
    return result;
  }

  ReadFaults faults;
};

TEST_F(TransactionFailures, FailedRowidLookupIsNotTakenForAMissingRow) {
  LogCapture log;
  // A fresh connection has not read the table's pages yet, so the lookup must go to the file.
  auto fresh = database->newConnection();
  EXPECT_FALSE(fresh->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
    auto& c = DizInternal(*t.connection());
    faults.reads = 1;
    t.setObject("replacement", "1", "c");
    faults.reads = 0;
    auto key = DizCollectionKey::make("c", "1");
    EXPECT_EQ(c.objectChanges->map.count(key), 0u) << "nothing is recorded for a write that did not happen";
    EXPECT_FALSE(c.objectCache->containsKey(key));
    t.rollback();
  }));
  EXPECT_TRUE(log->contains("Error executing 'getRowidForKeyStatement': 10 ")) << "the I/O error is reported";
  EXPECT_FALSE(log->contains("insertForRowidStatement")) << "no insert is tried for an existing key";
  EXPECT_EQ(committedObject("1", "c"), Value("one"));
}

TEST_F(TransactionFailures, ReadErrorsAreLoggedAndReadAsAbsent) {
  LogCapture log;
  auto fresh = database->newConnection();
  fresh->readWithBlock([&](DizEvozidizReadTransaction& t) {
    faults.reads = 1;
    EXPECT_TRUE(t.objectForKey("2", "c").isNil());
    faults.reads = 0;
    EXPECT_FALSE(DizInternal(*t.connection()).keyCache.containsObject(DizCollectionKey::make("c", "2")));
    EXPECT_EQ(t.objectForKey("2", "c"), Value("two")) << "a later read succeeds";
  });
  EXPECT_TRUE(log->contains("Error executing 'getDataForKeyStatement': 10 "));
}

TEST_F(TransactionFailures, FailedKeyListStepIsLoggedUnderItsOperation) {
  LogCapture log;
  auto fresh = database->newConnection();
  fresh->readWithBlock([&](DizEvozidizReadTransaction& t) {
    faults.reads = 1;
    std::vector<std::uint64_t> delivered;
    t.enumerateObjectsForKeys({"1", "2"}, "c",
                              [&](std::uint64_t index, const Value&, bool&) { delivered.push_back(index); });
    faults.reads = 0;
  });
  EXPECT_TRUE(log->contains(
      "DizEvozidizTransaction: enumerateObjectsForKeys:inCollection:unorderedUsingBlock: - sqlite_step error: 10 "));
}

TEST_F(TransactionFailures, RefusedBulkDeletesRecordNothing) {
  poisonDeletes();
  struct Case {
    const char* name;
    std::function<void(DizEvozidizReadWriteTransaction&)> remove;
  };
  const std::vector<Case> cases = {
      {"key list",
       [](auto& t) {
         t.removeObjectsForKeys({"1", "poison", "2"}, "c");
       }},
      {"collection", [](auto& t) { t.removeAllObjectsInCollection("c"); }},
      {"everything", [](auto& t) { t.removeAllObjectsInAllCollections(); }},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    LogCapture log;
    write([&](DizEvozidizReadWriteTransaction& t) {
      auto& c = DizInternal(*t.connection());
      t.setObject("uno", "1", "c");
      for (const char* key : {"1", "2", "poison"}) t.objectForKey(key, "c");
      c.hasDiskChanges = false;

      test.remove(t);

      EXPECT_FALSE(c.hasDiskChanges);
      EXPECT_FALSE(c.allKeysRemoved);
      EXPECT_TRUE(c.removedKeys->set.empty());
      EXPECT_TRUE(c.removedRowids->set.empty());
      EXPECT_TRUE(c.removedCollections->set.empty());
      EXPECT_EQ(c.objectChanges->map.count(DizCollectionKey::make("c", "1")), 1u) << "the earlier set stays recorded";
      for (const char* key : {"1", "2", "poison"}) {
        EXPECT_EQ(t.numberOfKeysInCollection("c"), 3u);
        EXPECT_TRUE(t.hasObjectForKey(key, "c")) << key;
      }
    });
    EXPECT_TRUE(log->contains("refused")) << "the failure is logged";
    EXPECT_EQ(committedObject("2", "c"), Value("two"));
  }
}

}  // namespace
