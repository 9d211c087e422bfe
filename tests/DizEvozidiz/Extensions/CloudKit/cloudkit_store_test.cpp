// The cloud sync extension registered in a real store (suspended, so nothing is uploaded): which
// row changes ask the record handler, what the mapping, record and queue tables and the change queue
// hold after each commit, removals of many rows at once, and a queue that survives its process
// being killed between the commit and the upload.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

#include "DizEvozidiz/Extensions/CloudKit/DizEvozidizCloudKitTransaction.h"
#include "support/killed_writer.h"
#include "tests/DizEvozidiz/Extensions/CloudKit/cloudkit_support.h"
#include "tests/DizEvozidiz/transaction_test_support.h"

namespace {

using dzcktest::rowsOf;
using platform::Value;

constexpr const char* kName = "cloud_kit";

DizEvozidizCloudKitPtr makeCloud(std::shared_ptr<dzcktest::HandlerCalls> calls,
                                 std::optional<std::uint64_t> options = std::nullopt) {
  DizEvozidizCloudKitOptions cloudOptions;
  cloudOptions.allowedCollections = DizWhitelistBlacklist::withWhitelist({"Events"});
  auto cloud = DizEvozidizCloudKit::make(
      dzcktest::dictionaryHandler(std::move(calls), std::nullopt, options), {},
      [](const DZCKDatabaseIdentifier&, const platform::ErrorPtr&) {}, {}, std::string("1"), Value(), cloudOptions);
  cloud->suspend();
  return cloud;
}

Value event(const std::string& title) { return Value::dictionary({{"title", title}}); }
// A row of the record named `record` (several rows may name one).
Value event(const std::string& title, const std::string& record) {
  return Value::dictionary({{"title", title}, {"record", record}});
}

class CloudKitStore : public diztest::ConnectionFixture {
 protected:
  void SetUp() override {
    ConnectionFixture::SetUp();
    calls = std::make_shared<dzcktest::HandlerCalls>();
  }
  void registerCloud(std::optional<std::uint64_t> options = std::nullopt) {
    cloud = makeCloud(calls, options);
    ASSERT_TRUE(database->registerExtension(cloud, kName));
  }
  void write(const std::function<void(DizEvozidizReadWriteTransaction&)>& block) {
    ASSERT_TRUE(connection->readWriteWithBlock(block));
  }
  std::int64_t mappingRows() { return rowsOf(connection, "cloudKit_mapping_cloud_kit"); }
  std::int64_t recordRows() { return rowsOf(connection, "cloudKit_record_cloud_kit"); }
  std::int64_t queueRows() { return rowsOf(connection, "cloudKit_queue_cloud_kit"); }
  std::int64_t ownerCount(const std::string& recordName) {
    auto id = platform::CloudRecordID::make(recordName, platform::CloudZoneID("Events"));
    return dzcktest::sqlNumber(connection, "SELECT ownerCount FROM cloudKit_record_cloud_kit WHERE hash = '" +
                                               DizEvozidizCloudKitTransaction::hashRecordID(*id, std::nullopt) + "';");
  }

  std::shared_ptr<dzcktest::HandlerCalls> calls;
  DizEvozidizCloudKitPtr cloud;
};

TEST_F(CloudKitStore, ThreeTransactionsBecomeThreeChainedChangeSets) {
  registerCloud();
  for (const char* key : {"a", "b", "c"})
    write([&](DizEvozidizReadWriteTransaction& t) { t.setObject(event(key), key, "Events"); });
  EXPECT_EQ(mappingRows(), 3);
  EXPECT_EQ(recordRows(), 3);
  EXPECT_EQ(queueRows(), 3);
  EXPECT_EQ(ownerCount("b"), 1);
  const auto sets = cloud->pendingChangeSets();
  ASSERT_EQ(sets.size(), 3u);
  EXPECT_FALSE(sets[0]->prev());
  for (std::size_t i = 0; i < sets.size(); ++i) {
    ASSERT_EQ(sets[i]->recordsToSaveCount(), 1u);
    EXPECT_EQ(sets[i]->recordsToSave_noCopy()[0]->recordID()->recordName(), std::string(1, static_cast<char>('a' + i)));
    if (i > 0) {
      EXPECT_EQ(sets[i]->prev(), sets[i - 1]->uuid());
    }
  }
  EXPECT_EQ(cloud->numberOfInFlightChangeSets(), 0u) << "a suspended extension uploads nothing";
}

TEST_F(CloudKitStore, RowsOutsideTheAllowedCollectionsChangeNothing) {
  registerCloud();
  write([&](DizEvozidizReadWriteTransaction& t) { t.setObject(event("x"), "x", "Other"); });
  EXPECT_EQ(calls->calls.load(), 0);
  EXPECT_EQ(mappingRows(), 0);
  EXPECT_EQ(queueRows(), 0);
  EXPECT_EQ(cloud->numberOfPendingChangeSets(), 0u);
}

TEST_F(CloudKitStore, AsksTheHandlerByBlockTypeAndInvokeOptions) {
  struct Case {
    const char* label;
    std::optional<std::uint64_t> options;
    std::function<void(DizEvozidizReadWriteTransaction&)> change;
    int expectedCalls;
  };
  const Case cases[] = {
      {"an update with the default options", std::nullopt, [](auto& t) { t.setObject(event("new"), "k", "Events"); },
       1},
      {"a replaced object", std::nullopt, [](auto& t) { t.replaceObject(event("new"), "k", "Events"); }, 1},
      {"replaced metadata is not an object change", std::nullopt,
       [](auto& t) { t.replaceMetadata(Value("m"), "k", "Events"); }, 0},
      {"a touched object with the default options", std::nullopt, [](auto& t) { t.touchObjectForKey("k", "Events"); },
       1},
      {"a touched object without the touch option", std::uint64_t{DizBlockInvokeOnObjectModified},
       [](auto& t) { t.touchObjectForKey("k", "Events"); }, 0},
      {"an update without any option", std::uint64_t{0}, [](auto& t) { t.setObject(event("new"), "k", "Events"); }, 0},
  };
  int n = 0;
  for (const Case& c : cases) {
    // A store of its own per case.
    connection.reset();
    database = DizEvozidiz::create((dir / ("case" + std::to_string(n++) + ".sqlite")).string());
    ASSERT_TRUE(database);
    connection = database->newConnection();
    calls = std::make_shared<dzcktest::HandlerCalls>();
    registerCloud(c.options);
    write([](DizEvozidizReadWriteTransaction& t) { t.setObject(event("old"), "k", "Events"); });
    const int before = calls->calls.load();
    EXPECT_EQ(before, 1) << c.label << ": an insert always asks";
    write(c.change);
    EXPECT_EQ(calls->calls.load() - before, c.expectedCalls) << c.label;
  }
}

TEST_F(CloudKitStore, CountsOwnersAndQueuesTheDeletionOfTheLastOne) {
  registerCloud();
  write([](DizEvozidizReadWriteTransaction& t) {
    t.setObject(event("a", "shared"), "one", "Events");
    t.setObject(event("a", "shared"), "two", "Events");
    t.setObject(event("b", "own"), "three", "Events");
  });
  EXPECT_EQ(ownerCount("shared"), 2);
  EXPECT_EQ(cloud->numberOfPendingChangeSets(), 1u);

  write([](DizEvozidizReadWriteTransaction& t) { t.removeObjectForKey("one", "Events"); });
  EXPECT_EQ(ownerCount("shared"), 1);
  auto sets = cloud->pendingChangeSets();
  ASSERT_EQ(sets.size(), 2u);
  EXPECT_EQ(sets[1]->recordIDsToDeleteCount(), 0u) << "another row still owns the record";
  EXPECT_EQ(sets[1]->recordsToSaveCount(), 1u);

  // The two remaining rows (of two records) go in one batch.
  write([](DizEvozidizReadWriteTransaction& t) { t.removeObjectsForKeys({"two", "three"}, "Events"); });
  EXPECT_EQ(ownerCount("shared"), -1) << "the record row is gone";
  EXPECT_EQ(recordRows(), 0);
  EXPECT_EQ(mappingRows(), 0);
  sets = cloud->pendingChangeSets();
  ASSERT_EQ(sets.size(), 3u);
  EXPECT_EQ(sets[2]->recordIDsToDeleteCount(), 2u);
}

TEST_F(CloudKitStore, RowsSharingARecordReleaseItTogetherInOneBatch) {
  registerCloud();
  write([](DizEvozidizReadWriteTransaction& t) {
    for (const char* key : {"one", "two", "three"}) t.setObject(event("a", "shared"), key, "Events");
  });
  EXPECT_EQ(ownerCount("shared"), 3);
  // Every row of the batch was looked up before the first was released: the later rows must still
  // see the owners the earlier ones gave up.
  write([](DizEvozidizReadWriteTransaction& t) { t.removeObjectsForKeys({"one", "two", "three"}, "Events"); });
  EXPECT_EQ(recordRows(), 0);
  auto sets = cloud->pendingChangeSets();
  ASSERT_EQ(sets.size(), 2u);
  EXPECT_EQ(sets[1]->recordIDsToDeleteCount(), 1u);
}

TEST_F(CloudKitStore, BatchesBeyondTheParameterLimitAreReadWhole) {
  registerCloud();
  constexpr int kRows = 2500;
  write([&](DizEvozidizReadWriteTransaction& t) {
    for (int i = 0; i < kRows; ++i) t.setObject(event("t"), "k" + std::to_string(i), "Events");
  });
  ASSERT_EQ(mappingRows(), kRows);

  // SQLite builds differ in how many parameters one statement may take (999 on older ones): this
  // connection's handle is held to that, and nothing may depend on more.
  connection->readWithBlock([](DizEvozidizReadTransaction& t) {
    sqlite3_limit(DizInternal(*t.connection()).db, SQLITE_LIMIT_VARIABLE_NUMBER, 999);
  });
  // Asked directly, with a clean cache: every row's mapping, not only a statement's worth.
  connection->flushMemoryWithFlags(DizFlushMemoryCaches);
  write([&](DizEvozidizReadWriteTransaction& t) {
    auto cloudTransaction = std::dynamic_pointer_cast<DizEvozidizCloudKitTransaction>(t.ext(kName));
    ASSERT_TRUE(cloudTransaction);
    std::vector<std::int64_t> rowids;
    for (int i = 0; i < kRows; ++i) {
      std::int64_t rowid = 0;
      ASSERT_TRUE(t.getRowid(&rowid, "k" + std::to_string(i), "Events"));
      rowids.push_back(rowid);
    }
    EXPECT_EQ(cloudTransaction->mappingTableInfoForRowids(rowids).size(), static_cast<std::size_t>(kRows));
  });

  write([](DizEvozidizReadWriteTransaction& t) { t.removeAllObjectsInCollection("Events"); });
  EXPECT_EQ(mappingRows(), 0) << "no row was taken for unmapped";
  EXPECT_EQ(recordRows(), 0);
  std::size_t deletions = 0;
  for (const auto& set : cloud->pendingChangeSets()) deletions += set->recordIDsToDeleteCount();
  EXPECT_EQ(deletions, static_cast<std::size_t>(kRows));
}

TEST_F(CloudKitStore, RemovingEverythingEmptiesTheTablesAndKeepsTheQueue) {
  registerCloud();
  write([](DizEvozidizReadWriteTransaction& t) { t.setObject(event("a"), "a", "Events"); });
  write([](DizEvozidizReadWriteTransaction& t) { t.removeAllObjectsInAllCollections(); });
  EXPECT_EQ(mappingRows(), 0);
  EXPECT_EQ(recordRows(), 0);
  EXPECT_EQ(cloud->numberOfPendingChangeSets(), 1u);
}

TEST_F(CloudKitStore, OtherConnectionsDropCachedRowsAnotherOneChanged) {
  registerCloud();
  write([](DizEvozidizReadWriteTransaction& t) {
    t.setObject(event("a"), "a", "Events");
    t.setObject(event("b"), "b", "Events");
  });
  auto reader = database->newConnection();
  std::int64_t rowidA = 0, rowidB = 0;
  // The reader caches both rows' mappings.
  reader->readWithBlock([&](DizEvozidizReadTransaction& t) {
    ASSERT_TRUE(t.getRowid(&rowidA, "a", "Events"));
    ASSERT_TRUE(t.getRowid(&rowidB, "b", "Events"));
    auto cloudTransaction = std::dynamic_pointer_cast<DizEvozidizCloudKitTransaction>(t.ext(kName));
    ASSERT_TRUE(cloudTransaction);
    EXPECT_TRUE(cloudTransaction->mappingTableInfoForRowid(rowidA, true));
    EXPECT_TRUE(cloudTransaction->mappingTableInfoForRowid(rowidB, true));
  });
  auto readerCloud = std::dynamic_pointer_cast<DizEvozidizCloudKitConnection>(reader->ext(kName));
  ASSERT_TRUE(readerCloud);

  // Another connection removes "a" and moves "b" to another record.
  write([](DizEvozidizReadWriteTransaction& t) {
    t.removeObjectForKey("a", "Events");
    t.setObject(event("b", "other"), "b", "Events");
  });
  reader->readWithBlock([&](DizEvozidizReadTransaction& t) {
    auto cloudTransaction = std::dynamic_pointer_cast<DizEvozidizCloudKitTransaction>(t.ext(kName));
    EXPECT_FALSE(readerCloud->cleanMappingTableInfoCache.containsKey(rowidA)) << "a deleted row stays cached";
    auto b = cloudTransaction->mappingTableInfoForRowid(rowidB, true);
    ASSERT_TRUE(b);
    auto other = platform::CloudRecordID::make("other", platform::CloudZoneID("Events"));
    EXPECT_EQ(b->currentHash(), DizEvozidizCloudKitTransaction::hashRecordID(*other, std::nullopt))
        << "the reader still sees the old record";
  });

  // Removing everything empties the reader's caches.
  write([](DizEvozidizReadWriteTransaction& t) { t.removeAllObjectsInAllCollections(); });
  reader->readWithBlock([&](DizEvozidizReadTransaction&) {
    EXPECT_EQ(readerCloud->cleanMappingTableInfoCache.count(), 0u);
    EXPECT_EQ(readerCloud->cleanRecordTableInfoCache.count(), 0u);
  });
}

TEST_F(CloudKitStore, AFailingTableWriteKeepsNothingOfTheTransaction) {
  registerCloud();
  write([](DizEvozidizReadWriteTransaction& t) { t.setObject(event("a"), "a", "Events"); });
  // The queue table goes behind the extension's back: its next change set cannot be stored.
  write([](DizEvozidizReadWriteTransaction& t) {
    ASSERT_EQ(sqlite3_exec(DizInternal(*t.connection()).db, "DROP TABLE \"cloudKit_queue_cloud_kit\";", nullptr,
                           nullptr, nullptr),
              SQLITE_OK);
  });
  diztest::LogCapture log;
  platform::ErrorPtr error;
  EXPECT_FALSE(connection->readWriteWithBlock(
      [](DizEvozidizReadWriteTransaction& t) { t.setObject(event("b"), "b", "Events"); }, &error))
      << "a change set that could not be stored was reported as committed";
  EXPECT_FALSE(get(connection, "b", "Events")) << "the row was kept without its cloud change";
  EXPECT_EQ(cloud->numberOfPendingChangeSets(), 1u) << "the queue holds a change set the table does not";
  EXPECT_EQ(mappingRows(), 1);
}

// ---- A queue that outlives its process ----

// Child side: registers the extension (suspended), commits one row and reports it, then waits to be
// killed before any upload could start.
TEST(CloudKitKill, ChildWriter) {
  const char* path = std::getenv("DZCK_KILL_TEST_PATH");
  if (!path) GTEST_SKIP() << "only runs as the writer process of the kill test";
  const int fd = std::atoi(std::getenv("DZCK_KILL_TEST_FD"));
  auto database = DizEvozidiz::create(path);
  ASSERT_TRUE(database);
  auto cloud = makeCloud(std::make_shared<dzcktest::HandlerCalls>());
  ASSERT_TRUE(database->registerExtension(cloud, kName));
  ASSERT_TRUE(database->newConnection()->readWriteWithBlock([](DizEvozidizReadWriteTransaction& t) {
    t.setObject(Value::dictionary({{"title", "kept"}, {"notes", "n"}}), "row", "Events");
  }));
  const std::string line = "1\n";
  if (write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) std::_Exit(3);
  for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
}

TEST(CloudKitKill, TheQueuedChangeSetIsThereAtTheNextStart) {
  zorvel::test::TempDir dir;
  const std::string path = (dir / "killed.sqlite").string();
  const auto writer = zorvel::test::runAndKillWriter("CloudKitKill.ChildWriter", {{"DZCK_KILL_TEST_PATH", path}},
                                                     "DZCK_KILL_TEST_FD", 1);
  ASSERT_TRUE(writer.killed);
  ASSERT_EQ(writer.lastReported, 1);

  auto database = DizEvozidiz::create(path);
  ASSERT_TRUE(database);
  auto calls = std::make_shared<dzcktest::HandlerCalls>();
  auto cloud = makeCloud(calls);
  ASSERT_TRUE(database->registerExtension(cloud, kName));
  const auto sets = cloud->pendingChangeSets();
  ASSERT_EQ(sets.size(), 1u);
  const auto records = sets[0]->recordsToSave_noCopy();
  ASSERT_EQ(records.size(), 1u) << "the queued record was rebuilt from the row";
  EXPECT_EQ(records[0]->objectForKey("title"), Value("kept"));
  EXPECT_EQ(records[0]->objectForKey("notes"), Value("n"));
  EXPECT_EQ(calls->restores.load(), 1);
  diztest::StoreFixture::closeDatabase(database);
}

}  // namespace
