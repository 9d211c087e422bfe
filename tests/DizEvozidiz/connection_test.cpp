#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "DizEvozidiz/DizEvozidiz.h"
#include "DizEvozidiz/DizEvozidizConnection.h"
#include "DizEvozidiz/DizEvozidizConnectionInternal.h"
#include "DizEvozidiz/DizEvozidizTransaction.h"
#include "DizEvozidiz/DizVfsShimInternal.h"
#include "platform/dispatch/run_loop.h"
#include "platform/services/notification_center.h"
#include "support/temp_dir.h"
#include "transaction_test_support.h"

namespace {

using platform::Value;

using diztest::StoreFixture;

// ---------------------------------------------------------------------------------------------

using DizConnectionSnapshots = StoreFixture;

TEST_F(DizConnectionSnapshots, LongLivedReaderKeepsItsSnapshotWhileOthersCommit) {
  auto writer = database->newConnection();
  auto reader = database->newConnection();
  put(writer, "a", Value("one"));

  EXPECT_TRUE(reader->beginLongLivedReadTransaction().empty());
  EXPECT_EQ(get(reader, "a"), Value("one"));

  put(writer, "a", Value("two"));
  put(writer, "b", Value("three"));
  EXPECT_EQ(get(reader, "a"), Value("one"));
  EXPECT_TRUE(get(reader, "b").isNil());

  auto notifications = reader->beginLongLivedReadTransaction();
  ASSERT_EQ(notifications.size(), 2u);
  EXPECT_LT(notifications[0]->userInfo()["snapshot"].asUInt64(), notifications[1]->userInfo()["snapshot"].asUInt64());
  EXPECT_TRUE(DizEvozidizConnection::hasChangeForKey("a", "things", {notifications[0]}));
  EXPECT_FALSE(DizEvozidizConnection::hasChangeForKey("b", "things", {notifications[0]}));
  EXPECT_EQ(get(reader, "a"), Value("two"));
  EXPECT_EQ(get(reader, "b"), Value("three"));

  put(writer, "c", Value("four"));
  auto ended = reader->endLongLivedReadTransaction();
  ASSERT_TRUE(ended.has_value());
  EXPECT_EQ(ended->size(), 1u);
  EXPECT_FALSE(reader->isInLongLivedReadTransaction());
  EXPECT_FALSE(reader->endLongLivedReadTransaction().has_value());
  EXPECT_EQ(get(reader, "c"), Value("four"));
}

TEST_F(DizConnectionSnapshots, ReadWriteOnPinnedConnectionRaisesWhenEnabledAndEndsItOtherwise) {
  auto connection = database->newConnection();
  connection->beginLongLivedReadTransaction();
  connection->enableExceptionsForImplicitlyEndingLongLivedReadTransaction();
  try {
    put(connection, "a", Value(1));
    FAIL() << "expected an exception";
  } catch (const platform::Exception& e) {
    EXPECT_EQ(e.name(), "DizEvozidizException");
    EXPECT_NE(e.reason().find("had long-lived read transaction implicitly ended by executing a read-write "
                              "transaction."),
              std::string::npos);
    EXPECT_EQ(e.reason().rfind("Database <DizEvozidizConnection: ", 0), 0u);
  }
  EXPECT_TRUE(connection->isInLongLivedReadTransaction());
  EXPECT_TRUE(get(connection, "a").isNil());

  connection->disableExceptionsForImplicitlyEndingLongLivedReadTransaction();
  diztest::LogCapture log;
  put(connection, "a", Value(1));
  EXPECT_FALSE(connection->isInLongLivedReadTransaction());
  EXPECT_TRUE(log->contains(platform::format(
      "DizEvozidizConnection: Implicitly ending long-lived read transaction on connection %@, database %@",
      connection->description(), database->description())));
  EXPECT_TRUE(log->contains("on connection <DizEvozidizConnection: 0x"));
  EXPECT_TRUE(log->contains(", database <DizEvozidiz: 0x"));
  EXPECT_EQ(get(connection, "a"), Value(1));
}

TEST_F(DizConnectionSnapshots, CommitCounterAdvancesOnlyForChangesAndIsStored) {
  auto connection = database->newConnection();
  const std::uint64_t start = connection->snapshot();
  for (int i = 0; i < 3; ++i) put(connection, "k" + std::to_string(i), Value(i));
  EXPECT_EQ(connection->snapshot(), start + 3);
  EXPECT_EQ(database->snapshot(), start + 3);
  EXPECT_EQ(storedCounter(), start + 3);

  EXPECT_TRUE(connection->readWriteWithBlock([](DizEvozidizReadWriteTransaction&) {}));
  EXPECT_EQ(connection->snapshot(), start + 3);
  EXPECT_EQ(storedCounter(), start + 3);
}

TEST_F(DizConnectionSnapshots, ResetOfACurrentLongLivedReaderKeepsItsViewAndReleasesTheWriteQueue) {
  auto writer = database->newConnection();
  auto reader = database->newConnection();
  put(writer, "a", Value(1));
  reader->beginLongLivedReadTransaction();
  DizInternal(*reader).maybeResetLongLivedReadTransaction();
  bool flushed = false;
  reader->flushTransactionsWithCompletionQueue(nullptr, [&] { flushed = true; });
  ASSERT_TRUE(platform::runMainLoopUntil([&] { return flushed; }, 5));
  EXPECT_TRUE(reader->isInLongLivedReadTransaction());
  EXPECT_EQ(get(reader, "a"), Value(1));

  bool written = false;
  writer->asyncReadWriteWithBlock([](DizEvozidizReadWriteTransaction& t) { t.setObject(Value(2), "a", "things"); },
                                  [&] { written = true; });
  ASSERT_TRUE(platform::runMainLoopUntil([&] { return written; }, 5)) << "the write queue stayed suspended";
  EXPECT_EQ(get(reader, "a"), Value(1));
  EXPECT_EQ(reader->beginLongLivedReadTransaction().size(), 1u);
  EXPECT_EQ(get(reader, "a"), Value(2));
}

TEST_F(DizConnectionSnapshots, KeyCacheLimitFollowsTheEnabledCaches) {
  struct Case {
    bool objects;
    std::uint64_t objectLimit;
    bool metadata;
    std::uint64_t metadataLimit;
    std::uint64_t keyLimit;
  };
  for (const Case& c :
       {Case{false, 250, false, 250, 500}, Case{true, 0, false, 250, 0}, Case{true, 1000, true, 200, 1000},
        Case{true, 400, false, 0, 500}, Case{true, 100, true, 0, 0}}) {
    database->setDefaultObjectCacheEnabled(c.objects);
    database->setDefaultObjectCacheLimit(c.objectLimit);
    database->setDefaultMetadataCacheEnabled(c.metadata);
    database->setDefaultMetadataCacheLimit(c.metadataLimit);
    auto connection = database->newConnection();
    EXPECT_EQ(connection->keyCacheLimit(), c.keyLimit) << c.objects << " " << c.objectLimit << " " << c.metadata;
  }
  auto connection = database->newConnection();
  connection->setObjectPolicy(3);
  EXPECT_EQ(connection->objectPolicy(), DizEvozidizPolicyContainment);
}

// ---------------------------------------------------------------------------------------------

struct PolicyCase {
  const char* name;
  std::int64_t policy;
  bool expectCached;
};

class DizConnectionChangesetPolicy : public StoreFixture, public ::testing::WithParamInterface<PolicyCase> {};

TEST_P(DizConnectionChangesetPolicy, OtherConnectionsCacheFollowsItsPolicy) {
  auto writer = database->newConnection();
  auto reader = database->newConnection();
  // The writer's policy decides what its changeset carries, the reader's what it does with it.
  writer->setObjectPolicy(GetParam().policy);
  reader->setObjectPolicy(GetParam().policy);
  put(writer, "a", Value("old"));
  EXPECT_EQ(get(reader, "a"), Value("old"));  // now cached by the reader

  put(writer, "a", Value("new"));
  reader->readWithBlock([&](DizEvozidizReadTransaction&) {
    auto key = DizCollectionKey::make("things", "a");
    Value* cached = DizInternal(*reader).objectCache->objectForKey(key);
    if (GetParam().expectCached) {
      ASSERT_NE(cached, nullptr);
      EXPECT_EQ(*cached, Value("new"));
    } else {
      EXPECT_EQ(cached, nullptr);
    }
  });
  EXPECT_EQ(get(reader, "a"), Value("new"));
}

INSTANTIATE_TEST_SUITE_P(Policies, DizConnectionChangesetPolicy,
                         ::testing::Values(PolicyCase{"Containment", DizEvozidizPolicyContainment, false},
                                           PolicyCase{"Share", DizEvozidizPolicyShare, true},
                                           PolicyCase{"Copy", DizEvozidizPolicyCopy, true}),
                         [](const ::testing::TestParamInfo<PolicyCase>& info) { return std::string(info.param.name); });

using DizConnectionChangesets = StoreFixture;

TEST_F(DizConnectionChangesets, RemovalsEvictFromOtherConnectionsCaches) {
  auto writer = database->newConnection();
  auto reader = database->newConnection();
  put(writer, "a", Value(1));
  put(writer, "b", Value(2), "other");
  EXPECT_EQ(get(reader, "a"), Value(1));
  EXPECT_EQ(get(reader, "b", "other"), Value(2));

  EXPECT_TRUE(
      writer->readWriteWithBlock([](DizEvozidizReadWriteTransaction& t) { t.removeAllObjectsInCollection("things"); }));
  EXPECT_TRUE(get(reader, "a").isNil());
  EXPECT_EQ(get(reader, "b", "other"), Value(2));
}

TEST_F(DizConnectionChangesets, NotificationArrivesOnMainQueueWithChangesAndCustomObject) {
  auto writer = database->newConnection();
  std::vector<platform::NotificationPtr> received;
  auto token = platform::NotificationCenter::defaultCenter()->addObserver(
      std::string(DizEvozidizModifiedNotification), nullptr, nullptr,
      [&](const platform::NotificationPtr& n) { received.push_back(n); });

  EXPECT_TRUE(writer->readWriteWithBlock([](DizEvozidizReadWriteTransaction& t) {
    t.setObject(Value("x"), "a", "things");
    t.setDizEvozidizModifiedNotificationCustomObject(Value("tag"));
  }));
  EXPECT_TRUE(
      writer->readWriteWithBlock([](DizEvozidizReadWriteTransaction& t) { t.removeObjectForKey("a", "things"); }));
  EXPECT_TRUE(writer->readWriteWithBlock([](DizEvozidizReadWriteTransaction&) {}));  // changes nothing: no notification
  EXPECT_FALSE(writer->readWriteWithBlock([](DizEvozidizReadWriteTransaction& t) {
    t.setObject(Value("y"), "b", "things");
    t.rollback();  // rolled back: no notification
  }));

  ASSERT_TRUE(platform::runMainLoopUntil([&] { return received.size() >= 2; }, 5));
  platform::runMainLoopUntil([] { return false; }, 0.05);
  platform::NotificationCenter::defaultCenter()->removeObserver(token);
  ASSERT_EQ(received.size(), 2u);

  const Value& first = received[0]->userInfo();
  EXPECT_EQ(first["custom"], Value("tag"));
  EXPECT_EQ(first["connection"].as<DizEvozidizConnection>(), writer);
  EXPECT_TRUE(DizEvozidizConnection::hasObjectChangeForKey("a", "things", {received[0]}));
  EXPECT_FALSE(DizEvozidizConnection::hasChangeForCollection("elsewhere", {received[0]}));
  EXPECT_TRUE(DizEvozidizConnection::hasChangeForKey("a", "things", {received[1]}));
  // A removal counts as a change whichever kinds are asked for.
  EXPECT_TRUE(DizEvozidizConnection::hasMetadataChangeForKey("a", "things", {received[1]}));
  EXPECT_FALSE(DizEvozidizConnection::didClearCollection("things", received));
  std::vector<std::string> keys;
  DizEvozidizConnection::enumerateChangedKeysInCollection("things", received,
                                                          [&](const std::string& k, bool&) { keys.push_back(k); });
  EXPECT_EQ(keys, std::vector<std::string>{"a"});
}

// The key-set queries tell object changes from metadata changes, in the collection asked about.
TEST_F(DizConnectionChangesets, AnyKeysQueriesTellObjectFromMetadataChanges) {
  auto writer = database->newConnection();
  put(writer, "a", Value(1));
  put(writer, "b", Value(1));
  drainMainQueue();
  platform::NotificationPtr received;
  auto token = platform::NotificationCenter::defaultCenter()->addObserver(
      std::string(DizEvozidizModifiedNotification), database, nullptr,
      [&](const platform::NotificationPtr& n) { received = n; });
  ASSERT_TRUE(writer->readWriteWithBlock([](DizEvozidizReadWriteTransaction& t) {
    t.replaceObject(Value(2), "a", "things");
    t.replaceMetadata(Value("meta"), "b", "things");
  }));
  ASSERT_TRUE(platform::runMainLoopUntil([&] { return received != nullptr; }, 5));
  platform::NotificationCenter::defaultCenter()->removeObserver(token);

  using Query = bool (*)(const std::unordered_set<std::string>&, const std::string&,
                         const std::vector<platform::NotificationPtr>&);
  struct Case {
    const char* label;
    Query query;
    std::unordered_set<std::string> keys;
    const char* collection;
    bool expected;
  };
  const Query objects = &DizEvozidizConnection::hasObjectChangeForAnyKeys;
  const Query metadata = &DizEvozidizConnection::hasMetadataChangeForAnyKeys;
  const std::vector<Case> cases = {
      {"object of a changed object", objects, {"a"}, "things", true},
      {"object of a changed metadata", objects, {"b"}, "things", false},
      {"metadata of a changed metadata", metadata, {"b"}, "things", true},
      {"metadata of a changed object", metadata, {"a"}, "things", false},
      {"one of several keys", metadata, {"x", "b", "y"}, "things", true},
      {"no key changed", objects, {"x", "y"}, "things", false},
      {"another collection", objects, {"a"}, "elsewhere", false},
      {"an empty key set", objects, {}, "things", false},
  };
  for (const auto& c : cases) EXPECT_EQ(c.query(c.keys, c.collection, {received}), c.expected) << c.label;
  EXPECT_TRUE(DizEvozidizConnection::hasChangeForAnyKeys({"a", "b"}, "things", {received}));
}

// The notification tells which rows and collections changed, as DizSet facades over the commit's
// records, and never carries the values.
TEST_F(DizConnectionChangesets, ExternalChangesetCarriesSetsOfChangedRows) {
  auto writer = database->newConnection();
  put(writer, "b", Value(1));
  put(writer, "c", Value(1));
  put(writer, "x", Value(1), "gone");
  drainMainQueue();
  platform::NotificationPtr received;
  auto token = platform::NotificationCenter::defaultCenter()->addObserver(
      std::string(DizEvozidizModifiedNotification), database, nullptr,
      [&](const platform::NotificationPtr& n) { received = n; });
  EXPECT_TRUE(writer->readWriteWithBlock([](DizEvozidizReadWriteTransaction& t) {
    t.setObject(Value("new"), "a", "things");
    t.replaceMetadata(Value("meta"), "b", "things");
    t.removeObjectForKey("c", "things");
    t.removeAllObjectsInCollection("gone");
  }));
  ASSERT_TRUE(platform::runMainLoopUntil([&] { return received != nullptr; }, 5));
  platform::NotificationCenter::defaultCenter()->removeObserver(token);

  const Value& info = received->userInfo();
  auto key = [](const char* k) { return Value(DizCollectionKey::make("things", k)); };
  struct Expected {
    const char* name;
    std::vector<Value> members;
  };
  // Setting an object also replaces the row's metadata.
  for (const Expected& e : {Expected{"objectChanges", {key("a")}}, Expected{"metadataChanges", {key("a"), key("b")}},
                            Expected{"removedKeys", {key("c")}}, Expected{"removedCollections", {Value("gone")}}}) {
    SCOPED_TRACE(e.name);
    auto set = info[e.name].as<DizSet>();
    ASSERT_NE(set, nullptr);
    EXPECT_EQ(set->count(), e.members.size());
    for (const Value& member : e.members) EXPECT_TRUE(set->containsObject(member));
    set->enumerateObjectsUsingBlock([&](const Value& member, bool&) {
      EXPECT_NE(std::find(e.members.begin(), e.members.end(), member), e.members.end());
    });
  }
  EXPECT_FALSE(info["objectChanges"].as<DizSet>()->containsObject(Value("new"))) << "never the values";
}

// ---------------------------------------------------------------------------------------------

using DizConnectionRollback = StoreFixture;

TEST_F(DizConnectionRollback, DropsKeyCacheEntriesSoReusedRowidsReadTheRightRow) {
  auto connection = database->newConnection();
  auto other = database->newConnection();
  const std::uint64_t before = connection->snapshot();
  EXPECT_FALSE(connection->readWriteWithBlock([](DizEvozidizReadWriteTransaction& t) {
    t.setObject(Value("ghost"), "ghost", "things");
    t.rollback();
  }));
  EXPECT_EQ(connection->snapshot(), before);
  // SQLite hands the rolled-back row's rowid to the next insert, here by another connection.
  put(other, "real", Value("real"));
  std::int64_t rowid = 0;
  other->readWithBlock([&](DizEvozidizReadTransaction& t) { ASSERT_TRUE(t.getRowid(&rowid, "real", "things")); });
  connection->readWithBlock([&](DizEvozidizReadTransaction& t) {
    auto key = t.collectionKeyForRowid(rowid);
    ASSERT_TRUE(key);
    EXPECT_EQ(key->key(), "real");
    EXPECT_FALSE(t.getRowid(nullptr, "ghost", "things"));
  });
}

TEST_F(DizConnectionRollback, BlockThatThrowsRollsBack) {
  auto connection = database->newConnection();
  EXPECT_THROW((void)connection->readWriteWithBlock([](DizEvozidizReadWriteTransaction& t) {
    t.setObject(Value(1), "a", "things");
    throw std::runtime_error("boom");
  }),
               std::runtime_error);
  EXPECT_TRUE(get(connection, "a").isNil());
  put(connection, "a", Value(2));
  EXPECT_EQ(get(connection, "a"), Value(2));
}

// ---------------------------------------------------------------------------------------------

struct FaultState {
  std::atomic<bool> failSync{false};
};

int failSyncs(void* context, diz_file*, diz_io_op op) {
  auto* state = static_cast<FaultState*>(context);
  return (op == diz_io_op::sync || op == diz_io_op::write) && state->failSync ? SQLITE_IOERR : SQLITE_OK;
}

using DizConnectionFailures = StoreFixture;

TEST_F(DizConnectionFailures, FailedCommitPublishesNothingAndKeepsTheCounter) {
  auto writer = database->newConnection();
  auto reader = database->newConnection();
  put(writer, "a", Value("before"));
  EXPECT_EQ(get(reader, "a"), Value("before"));
  const std::uint64_t counter = writer->snapshot();
  drainMainQueue();

  std::atomic<int> notifications{0};
  auto token = platform::NotificationCenter::defaultCenter()->addObserver(
      std::string(DizEvozidizModifiedNotification), nullptr, nullptr,
      [&](const platform::NotificationPtr&) { ++notifications; });

  FaultState faults;
  diztest::LogCapture log;
  diz_vfs_shim_set_fault_hook(DizInternal(*database).vfsShim(), &failSyncs, &faults);
  faults.failSync = true;
  platform::ErrorPtr error;
  EXPECT_FALSE(writer->readWriteWithBlock(
      [](DizEvozidizReadWriteTransaction& t) { t.setObject(Value("after"), "a", "things"); }, &error));
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->code(), DizEvozidizErrorCommitFailed);
  faults.failSync = false;
  diz_vfs_shim_set_fault_hook(DizInternal(*database).vfsShim(), nullptr, nullptr);

  platform::runMainLoopUntil([] { return false; }, 0.1);
  platform::NotificationCenter::defaultCenter()->removeObserver(token);
  EXPECT_EQ(notifications.load(), 0);
  EXPECT_TRUE(log->contains("DizEvozidizTransaction: Couldn't commit transaction: 10 "));
  EXPECT_EQ(writer->snapshot(), counter);
  EXPECT_EQ(database->snapshot(), counter);
  EXPECT_EQ(get(writer, "a"), Value("before"));  // not served from a stale cache
  EXPECT_EQ(get(reader, "a"), Value("before"));

  put(writer, "a", Value("later"));
  EXPECT_EQ(writer->snapshot(), counter + 1);
  EXPECT_EQ(get(reader, "a"), Value("later"));
}

TEST_F(DizConnectionFailures, FailedBeginIsReportedAndRunsNoBlock) {
  auto connection = database->newConnection();
  put(connection, "a", Value(1));
  const std::uint64_t counter = connection->snapshot();
  // An open SQL transaction on the handle makes the next BEGIN fail.
  // (The connection is idle, so the test thread may use its handle.)
  ASSERT_EQ(sqlite3_exec(DizInternal(*connection).db, "BEGIN;", nullptr, nullptr, nullptr), SQLITE_OK);
  bool ran = false;
  platform::ErrorPtr error;
  diztest::LogCapture log;
  EXPECT_FALSE(connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction&) { ran = true; }, &error));
  EXPECT_FALSE(ran);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->domain(), DizEvozidizErrorDomain);
  EXPECT_EQ(error->code(), DizEvozidizErrorBeginFailed);
  EXPECT_EQ(error->userInfo()[DizEvozidizSQLiteResultCodeKey].asInt64(), SQLITE_ERROR);
  EXPECT_TRUE(log->contains("DizEvozidizTransaction: Couldn't begin transaction: 1 "));
  EXPECT_EQ(connection->snapshot(), counter);
  sqlite3_exec(DizInternal(*connection).db, "ROLLBACK;", nullptr, nullptr, nullptr);
  put(connection, "a", Value(2));
  EXPECT_EQ(get(connection, "a"), Value(2));
}

TEST_F(DizConnectionFailures, ConnectionWhoseOpenFailedRefusesTransactionsAndIsNeverPooled) {
  // Put a directory where the file was: the database keeps its open handle, new opens fail.
  std::filesystem::rename(path, path + ".moved");
  std::filesystem::create_directory(path);
  {
    auto connection = database->newConnection();
    EXPECT_FALSE(connection->isUsable());
    EXPECT_THROW(get(connection, "a"), platform::Exception);
    platform::ErrorPtr error;
    bool ran = false;
    EXPECT_FALSE(connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction&) { ran = true; }, &error));
    EXPECT_FALSE(ran);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), DizEvozidizErrorConnectionUnusable);
  }
  EXPECT_EQ(database->connectionPoolCount(), 0u);
  std::filesystem::remove(path);
  std::filesystem::rename(path + ".moved", path);
}

// ---------------------------------------------------------------------------------------------

using DizConnectionPool = StoreFixture;

TEST_F(DizConnectionPool, ReleasedHandlesAreReusedAndTheMaximumIsKept) {
  database->setConnectionPoolLifetime(0);
  {
    std::vector<DizEvozidizConnection::Ptr> connections;
    for (int i = 0; i < 6; ++i) {
      connections.push_back(database->newConnection());
      put(connections.back(), "k" + std::to_string(i), Value(i));
    }
  }
  drainMainQueue();
  EXPECT_EQ(database->connectionPoolCount(), 5u);  // the sixth was refused and closed
  {
    auto reused = database->newConnection();
    EXPECT_EQ(database->connectionPoolCount(), 4u);
    EXPECT_EQ(get(reused, "k5"), Value(5));
    put(reused, "k6", Value(6));
  }
  drainMainQueue();
  database->setMaxConnectionPoolCount(2);
  EXPECT_EQ(database->connectionPoolCount(), 2u);
}

TEST_F(DizConnectionPool, ExpiredHandlesAreClosed) {
  // Long enough to find the handle pooled on a loaded machine under the thread sanitizer (half a
  // second was not), short enough to see it expire.
  database->setConnectionPoolLifetime(2.0);
  { auto connection = database->newConnection(); }
  // A block still queued for the connection may hold it a moment longer than this scope.
  bool pooled = false;
  for (int i = 0; i < 1000 && !(pooled = database->connectionPoolCount() == 1); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_TRUE(pooled);
  for (int i = 0; i < 1000 && database->connectionPoolCount() != 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(database->connectionPoolCount(), 0u);
}

// ---------------------------------------------------------------------------------------------

using DizConnectionMaintenance = StoreFixture;

TEST_F(DizConnectionMaintenance, VacuumAndBackupRunAndOthersSeeTheNewSnapshot) {
  auto writer = database->newConnection();
  auto other = database->newConnection();
  put(writer, "a", Value("kept"));
  const std::uint64_t before = writer->snapshot();
  EXPECT_TRUE(writer->vacuum());
  EXPECT_EQ(writer->snapshot(), before + 1);
  EXPECT_EQ(get(other, "a"), Value("kept"));
  EXPECT_EQ(other->snapshot(), before + 1);

  const std::string copy = (dir / "copy.sqlite").string();
  EXPECT_EQ(writer->backupToPath(copy), nullptr);
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open_v2(copy.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_stmt* s = nullptr;
  sqlite3_prepare_v2(raw, "SELECT COUNT(*) FROM database2 WHERE key = 'a';", -1, &s, nullptr);
  ASSERT_EQ(sqlite3_step(s), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_int(s, 0), 1);
  sqlite3_finalize(s);
  sqlite3_close(raw);
}

// ---------------------------------------------------------------------------------------------

using DizConnectionConcurrency = StoreFixture;

// Readers on several connections always see both halves of each commit.
TEST_F(DizConnectionConcurrency, ReadersSeeConsistentSnapshotsWhileOneWrites) {
  auto writer = database->newConnection();
  put(writer, "left", Value(0));
  put(writer, "right", Value(0));
  std::atomic<bool> done{false};
  std::atomic<int> inconsistent{0};
  std::atomic<int> reads{0};
  std::vector<std::thread> threads;
  std::vector<DizEvozidizConnection::Ptr> readers;
  for (int i = 0; i < 3; ++i) readers.push_back(database->newConnection());
  for (int i = 0; i < 3; ++i) {
    threads.emplace_back([&, reader = readers[static_cast<std::size_t>(i)]] {
      while (!done) {
        reader->readWithBlock([&](DizEvozidizReadTransaction& t) {
          if (t.objectForKey("left", "things") != t.objectForKey("right", "things")) ++inconsistent;
        });
        ++reads;
      }
    });
  }
  for (int n = 1; n <= 100; ++n) {
    EXPECT_TRUE(writer->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
      t.setObject(Value(n), "left", "things");
      t.setObject(Value(n), "right", "things");
    }));
  }
  done = true;
  for (auto& t : threads) t.join();
  EXPECT_EQ(inconsistent.load(), 0);
  EXPECT_GT(reads.load(), 0);
  for (auto& reader : readers) EXPECT_EQ(get(reader, "left"), Value(100));
}

}  // namespace
