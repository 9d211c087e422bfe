// The cloud sync extension's tables as stored in the file: their creation statements, the class
// version and version tag it keeps, the refill of the tables when the version tag changes, and the
// change queue restored from the queue table in the order of its "prev" chain.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "DizEvozidiz/Extensions/CloudKit/DizEvozidizCloudKitTransaction.h"
#include "tests/DizEvozidiz/Extensions/CloudKit/cloudkit_support.h"
#include "tests/DizEvozidiz/transaction_test_support.h"

namespace {

using platform::Value;

constexpr const char* kName = "cloud_kit";

DizEvozidizCloudKitPtr makeCloud(std::shared_ptr<dzcktest::HandlerCalls> calls, const std::string& versionTag) {
  DizEvozidizCloudKitOptions options;
  options.allowedCollections = DizWhitelistBlacklist::withWhitelist({"Events"});
  auto cloud = DizEvozidizCloudKit::make(
      dzcktest::dictionaryHandler(std::move(calls)), {},
      [](const DZCKDatabaseIdentifier&, const platform::ErrorPtr&) {}, {}, versionTag, Value(), options);
  cloud->suspend();
  return cloud;
}

Value event(const std::string& title) { return Value::dictionary({{"title", title}}); }

// SQL run straight on the closed store's file; false when any statement fails.
bool runOnFile(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  bool ok = sqlite3_open(path.c_str(), &db) == SQLITE_OK &&
            sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
  sqlite3_close(db);
  return ok;
}

std::string textOf(const DizEvozidizConnection::Ptr& connection, const std::string& sql) {
  std::string text = "<none>";
  connection->readWithBlock([&](DizEvozidizReadTransaction& t) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(DizInternal(*t.connection()).db, sql.c_str(), -1, &s, nullptr) == SQLITE_OK &&
        sqlite3_step(s) == SQLITE_ROW && sqlite3_column_text(s, 0))
      text = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
    sqlite3_finalize(s);
  });
  return text;
}

class CloudKitTables : public diztest::StoreFixture {
 protected:
  void SetUp() override {
    StoreFixture::SetUp();
    calls = std::make_shared<dzcktest::HandlerCalls>();
  }
  bool open(const std::string& versionTag) {
    if (!database) database = DizEvozidiz::create(path);
    if (!database) return false;
    connection = database->newConnection();
    cloud = makeCloud(calls, versionTag);
    return database->registerExtension(cloud, kName);
  }
  void close() {
    connection.reset();
    cloud.reset();
    closeDatabase(database);
  }
  void write(const std::function<void(DizEvozidizReadWriteTransaction&)>& block) {
    ASSERT_TRUE(connection->readWriteWithBlock(block));
  }
  void TearDown() override {
    connection.reset();
    StoreFixture::TearDown();
  }

  std::shared_ptr<dzcktest::HandlerCalls> calls;
  DizEvozidizConnection::Ptr connection;
  DizEvozidizCloudKitPtr cloud;
};

TEST_F(CloudKitTables, AreCreatedWithTheirDocumentedColumns) {
  ASSERT_TRUE(open("1"));
  struct Case {
    const char* label;
    std::string name;
    std::string expectedSql;
  };
  const Case cases[] = {
      {"mapping table", "cloudKit_mapping_cloud_kit",
       R"(CREATE TABLE "cloudKit_mapping_cloud_kit"("rowid" INTEGER PRIMARY KEY, "recordTable_hash" TEXT NOT NULL ))"},
      {"index of the mapping table", "recordTable_hash",
       R"(CREATE INDEX "recordTable_hash" ON "cloudKit_mapping_cloud_kit" ("recordTable_hash"))"},
      {"record table", "cloudKit_record_cloud_kit",
       R"(CREATE TABLE "cloudKit_record_cloud_kit" ("hash" TEXT PRIMARY KEY NOT NULL,  "databaseIdentifier" TEXT,  )"
       R"("ownerCount" INTEGER,  "record" BLOB ))"},
      {"queue table", "cloudKit_queue_cloud_kit",
       R"(CREATE TABLE "cloudKit_queue_cloud_kit" ("uuid" TEXT PRIMARY KEY NOT NULL,  "prev" TEXT,  )"
       R"("databaseIdentifier" TEXT,  "deletedRecordIDs" BLOB,  "modifiedRecords" BLOB ))"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(textOf(connection, "SELECT sql FROM sqlite_master WHERE name = '" + c.name + "';"), c.expectedSql)
        << c.label;
  EXPECT_EQ(textOf(connection, "SELECT data FROM diz2 WHERE extension = 'cloud_kit' AND key = 'classVersion';"), "3");
  EXPECT_EQ(textOf(connection, "SELECT data FROM diz2 WHERE extension = 'cloud_kit' AND key = 'versionTag';"), "1");
  close();
}

TEST_F(CloudKitTables, AChangedVersionTagOffersEveryRowAgain) {
  ASSERT_TRUE(open("1"));
  write([](DizEvozidizReadWriteTransaction& t) {
    t.setObject(event("a"), "a", "Events");
    t.setObject(event("b"), "b", "Events");
  });
  ASSERT_EQ(calls->calls.load(), 2);
  close();

  // Every start rebuilds the queued records (stored without their values) through the handler;
  // only the calls beyond those are offers of rows.
  const auto offers = [&] { return calls->calls.load() - calls->restores.load(); };
  ASSERT_TRUE(open("1"));
  EXPECT_EQ(calls->restores.load(), 2);
  EXPECT_EQ(offers(), 2) << "the same tag offers nothing again";
  close();

  ASSERT_TRUE(open("2"));
  EXPECT_EQ(calls->restores.load(), 4) << "the queue is restored first";
  EXPECT_EQ(offers(), 4) << "every row is offered once more";
  EXPECT_EQ(textOf(connection, "SELECT data FROM diz2 WHERE extension = 'cloud_kit' AND key = 'versionTag';"), "2");
  EXPECT_EQ(dzcktest::rowsOf(connection, "cloudKit_mapping_cloud_kit"), 2);
  EXPECT_EQ(dzcktest::rowsOf(connection, "cloudKit_record_cloud_kit"), 2);
  // The handler sets the values again on the stored system fields: the differences are queued.
  EXPECT_EQ(cloud->numberOfPendingChangeSets(), 2u);
  close();

  ASSERT_TRUE(open("2"));
  EXPECT_EQ(offers(), 4) << "the new tag was stored";
  close();
}

TEST_F(CloudKitTables, AStoredClassVersionOtherThanOneOrThreeRefusesTheSetUp) {
  ASSERT_TRUE(open("1"));
  close();
  struct Case {
    int classVersion;
    bool registers;
  };
  for (const Case c : {Case{1, true}, Case{2, false}, Case{3, true}, Case{4, false}}) {
    ASSERT_TRUE(runOnFile(path, "UPDATE diz2 SET data = " + std::to_string(c.classVersion) +
                                    " WHERE extension = 'cloud_kit' AND key = 'classVersion';"));
    EXPECT_EQ(open("1"), c.registers) << "class version " << c.classVersion;
    close();
  }
}

TEST_F(CloudKitTables, TheQueueIsRestoredInTheOrderOfItsChain) {
  struct Case {
    const char* label;
    std::string change;  // SQL run on the file before the restart; A, B, C are the queued sets, oldest first
    bool registers;
  };
  const Case cases[] = {
      {"rows stored newest first", "", true},
      {"the oldest names a set already uploaded", "UPDATE q SET prev = 'uploaded' WHERE uuid = 'A';", true},
      {"two sets without a predecessor", "UPDATE q SET prev = NULL WHERE uuid = 'C';", false},
      {"a set naming a missing predecessor", "UPDATE q SET prev = 'missing' WHERE uuid = 'C';", false},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    if (n++ > 0) {
      path = (dir / ("restore" + std::to_string(n) + ".sqlite")).string();
      calls = std::make_shared<dzcktest::HandlerCalls>();
    }
    ASSERT_TRUE(open("1"));
    for (const char* key : {"a", "b", "c"})
      write([&](DizEvozidizReadWriteTransaction& t) { t.setObject(event(key), key, "Events"); });
    std::vector<std::string> uuids;
    for (const auto& set : cloud->pendingChangeSets()) uuids.push_back(set->uuid().value_or(""));
    ASSERT_EQ(uuids.size(), 3u);
    close();

    // The sets are renamed A, B, C and stored newest first, so that the table reads them in reverse.
    const std::string table = "\"cloudKit_queue_cloud_kit\"";
    std::string sql = "CREATE TEMP TABLE q AS SELECT * FROM " + table + ";";
    const char* names[] = {"A", "B", "C"};
    for (int i = 0; i < 3; ++i) {
      sql += "UPDATE q SET uuid = '" + std::string(names[i]) + "' WHERE uuid = '" + uuids[i] + "';";
      sql += "UPDATE q SET prev = '" + std::string(names[i]) + "' WHERE prev = '" + uuids[i] + "';";
    }
    sql += c.change;
    sql += "DELETE FROM " + table + ";";
    for (int i = 2; i >= 0; --i)
      sql += "INSERT INTO " + table + " SELECT * FROM q WHERE uuid = '" + std::string(names[i]) + "';";
    ASSERT_TRUE(runOnFile(path, sql));

    EXPECT_EQ(open("1"), c.registers);
    if (c.registers) {
      std::vector<std::string> restored;
      std::vector<std::string> titles;
      for (const auto& set : cloud->pendingChangeSets()) {
        restored.push_back(set->uuid().value_or(""));
        for (const auto& record : set->recordsToSave_noCopy())
          titles.push_back(record->objectForKey("title").asString());
      }
      EXPECT_EQ(restored, (std::vector<std::string>{"A", "B", "C"}));
      EXPECT_EQ(titles, (std::vector<std::string>{"a", "b", "c"})) << "each set keeps its own records";
    }
    close();
  }
}

}  // namespace
