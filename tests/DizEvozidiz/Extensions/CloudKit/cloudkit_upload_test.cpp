// The cloud sync extension uploading to the cloud record database of a real PostgreSQL cluster (the
// tests' own, started by CTest): change sets go up one at a time in commit order and leave the
// queue, a suspended extension waits until it is fully resumed, and a failed upload suspends the
// extension and reports the client's error on the main queue, after which the same change set goes
// up again once the application resumes.

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "DizEvozidiz/Extensions/CloudKit/DizEvozidizCloudKitTransaction.h"
#include "platform/dispatch/run_loop.h"
#include "platform/system/this_thread.h"
#include "tests/DizEvozidiz/Extensions/CloudKit/cloudkit_support.h"
#include "tests/DizEvozidiz/transaction_test_support.h"
#include "tests/platform/cloud/cloud_test_support.h"

namespace {

using platform::CloudDatabasePtr;
using platform::Value;
namespace cloudtest = platform::cloudtest;

constexpr const char* kName = "cloud_kit";
const std::string kDatabase = "test";

struct ReportedError {
  DZCKDatabaseIdentifier database;
  std::int64_t code = 0;
  bool onMainThread = false;
};

struct Reports {
  std::mutex mutex;
  std::vector<ReportedError> errors;
  std::size_t count() {
    std::lock_guard lock(mutex);
    return errors.size();
  }
};

class CloudKitUpload : public diztest::ConnectionFixture {
 protected:
  // Registers the extension, suspended, uploading to `target` for database identifier "test".
  void registerCloud(const CloudDatabasePtr& target) {
    calls = std::make_shared<dzcktest::HandlerCalls>();
    reports = std::make_shared<Reports>();
    auto reportsHere = reports;
    DizEvozidizCloudKitOptions options;
    options.allowedCollections = DizWhitelistBlacklist::withWhitelist({"Events"});
    cloud = DizEvozidizCloudKit::make(
        dzcktest::dictionaryHandler(calls, kDatabase), {},
        [reportsHere](const DZCKDatabaseIdentifier& database, const platform::ErrorPtr& error) {
          std::lock_guard lock(reportsHere->mutex);
          reportsHere->errors.push_back({database, error ? error->code() : 0, platform::isMainThread()});
        },
        [target](const std::string& identifier) { return identifier == kDatabase ? target : nullptr; },
        std::string("1"), Value(), options);
    ASSERT_TRUE(cloud);
    cloud->suspend();
    ASSERT_TRUE(database->registerExtension(cloud, kName));
  }
  void write(const std::string& key, const std::string& title) {
    ASSERT_TRUE(connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
      t.setObject(Value::dictionary({{"title", title}}), key, "Events");
    }));
  }
  bool waitFor(const std::function<bool()>& condition, double seconds = 20) {
    return platform::runMainLoopUntil(condition, seconds);
  }
  std::vector<std::string> serverRecordNames(const CloudDatabasePtr& db) {
    std::vector<std::string> names;
    for (const auto& record : cloudtest::fetchChanges(db, "Events", nullptr).changed)
      names.push_back(record->recordID()->recordName());
    return names;
  }
  // The change tag stored with the record in the record table ("" when none).
  std::string storedChangeTag(const std::string& recordName) {
    std::string tag;
    connection->readWithBlock([&](DizEvozidizReadTransaction& t) {
      auto id = platform::CloudRecordID::make(recordName, platform::CloudZoneID("Events"));
      sqlite3_stmt* s = nullptr;
      sqlite3_prepare_v2(DizInternal(*t.connection()).db,
                         "SELECT record FROM cloudKit_record_cloud_kit WHERE hash = ?;", -1, &s, nullptr);
      const std::string hash = DizEvozidizCloudKitTransaction::hashRecordID(*id, kDatabase);
      sqlite3_bind_text(s, 1, hash.c_str(), -1, SQLITE_TRANSIENT);
      if (sqlite3_step(s) == SQLITE_ROW) {
        const auto* bytes = static_cast<const std::uint8_t*>(sqlite3_column_blob(s, 0));
        auto record = DZCKRecord::deserializeRecord(
            platform::ByteSpan(bytes, static_cast<std::size_t>(sqlite3_column_bytes(s, 0))));
        if (record) tag = record->recordChangeTag();
      }
      sqlite3_finalize(s);
    });
    return tag;
  }
  void TearDown() override {
    // Uploads still under way finish against a database that is going: let them end first.
    if (cloud) waitFor([&] { return cloud->numberOfInFlightChangeSets() == 0; }, 10);
    ConnectionFixture::TearDown();
  }

  std::shared_ptr<dzcktest::HandlerCalls> calls;
  std::shared_ptr<Reports> reports;
  DizEvozidizCloudKitPtr cloud;
};

TEST_F(CloudKitUpload, ThreeTransactionsAreUploadedInOrder) {
  REQUIRE_TEST_CLUSTER(cluster);
  auto user = cloudtest::createUser(cluster);
  auto db = cloudtest::containerFor(user)->privateCloudDatabase();
  cloudtest::makeZone(db, "Events");
  registerCloud(db);

  std::vector<std::string> inFlight;
  std::mutex inFlightMutex;
  auto token = platform::NotificationCenter::defaultCenter()->addObserver(
      std::string(DZCKInFlightChangeSetChangedNotification), cloud, nullptr, [&](const platform::NotificationPtr& n) {
        std::lock_guard lock(inFlightMutex);
        if (n->userInfo()["uuid"].isString()) inFlight.push_back(n->userInfo()["uuid"].asString());
      });
  write("a", "first");
  write("b", "second");
  write("c", "third");
  const auto queued = cloud->pendingChangeSets();
  ASSERT_EQ(queued.size(), 3u);

  EXPECT_EQ(cloud->resume(), 0u);
  ASSERT_TRUE(waitFor([&] { return cloud->numberOfPendingChangeSets() == 0; })) << "the queue did not drain";
  platform::NotificationCenter::defaultCenter()->removeObserver(token);

  EXPECT_EQ(serverRecordNames(db), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(dzcktest::rowsOf(connection, "cloudKit_queue_cloud_kit"), 0);
  EXPECT_FALSE(storedChangeTag("b").empty()) << "the record table keeps the server's system fields";
  EXPECT_EQ(reports->count(), 0u);
  {
    std::lock_guard lock(inFlightMutex);
    std::vector<std::string> started;
    for (const auto& uuid : inFlight)
      if (started.empty() || started.back() != uuid) started.push_back(uuid);
    ASSERT_GE(started.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(started[i], *queued[i]->uuid()) << "upload " << i;
  }

  // A later change to an uploaded record goes up as a modification based on the stored version.
  write("b", "changed");
  ASSERT_TRUE(waitFor([&] { return cloud->numberOfPendingChangeSets() == 0; }));
  const auto changes = cloudtest::fetchChanges(db, "Events", nullptr).changed;
  bool found = false;
  for (const auto& record : changes)
    if (record->recordID()->recordName() == "b") {
      found = true;
      EXPECT_EQ(record->objectForKey("title"), Value("changed"));
    }
  EXPECT_TRUE(found);
  EXPECT_EQ(reports->count(), 0u) << "the modification was not refused as based on another version";

  // The connection that wrote the outcomes does not keep the database open once they are written.
  connection.reset();
  closeDatabase(database);
}

TEST_F(CloudKitUpload, ASuspendedExtensionWaitsUntilFullyResumed) {
  REQUIRE_TEST_CLUSTER(cluster);
  auto user = cloudtest::createUser(cluster);
  auto db = cloudtest::containerFor(user)->privateCloudDatabase();
  cloudtest::makeZone(db, "Events");
  registerCloud(db);
  EXPECT_EQ(cloud->suspendWithCount(2), 3u);
  write("a", "first");

  EXPECT_EQ(cloud->resume(), 2u);
  EXPECT_EQ(cloud->resume(), 1u);
  waitFor([] { return false; }, 0.5);
  EXPECT_TRUE(serverRecordNames(db).empty()) << "uploaded while still suspended";
  EXPECT_EQ(cloud->numberOfPendingChangeSets(), 1u);
  EXPECT_EQ(cloud->numberOfInFlightChangeSets(), 0u);

  EXPECT_EQ(cloud->resume(), 0u);
  ASSERT_TRUE(waitFor([&] { return cloud->numberOfPendingChangeSets() == 0; }));
  EXPECT_EQ(serverRecordNames(db), (std::vector<std::string>{"a"}));
}

TEST_F(CloudKitUpload, AFailedUploadReportsOnTheMainQueueAndSuspends) {
  REQUIRE_TEST_CLUSTER(cluster);
  struct Case {
    const char* label;
    bool wrongPassword;  // else: the zone is missing
    platform::CloudErrorCode code;
  };
  const Case cases[] = {
      {"a record in a missing zone fails as an item", false, platform::CloudErrorCode::PartialFailure},
      {"refused credentials fail the whole upload", true, platform::CloudErrorCode::NotAuthenticated},
  };
  int n = 0;
  for (const Case& c : cases) {
    connection.reset();
    database = DizEvozidiz::create((dir / ("case" + std::to_string(n++) + ".sqlite")).string());
    ASSERT_TRUE(database);
    connection = database->newConnection();

    auto user = cloudtest::createUser(cluster);
    auto good = cloudtest::containerFor(user)->privateCloudDatabase();
    auto target = c.wrongPassword ? platform::CloudContainer::createWithConnectionString(
                                        "test.container", cluster.connectionString(user.name, "wrong"))
                                        ->privateCloudDatabase()
                                  : good;
    if (c.wrongPassword) cloudtest::makeZone(good, "Events");
    registerCloud(target);
    write("a", "first");
    EXPECT_EQ(cloud->resume(), 0u);

    ASSERT_TRUE(waitFor([&] { return reports->count() > 0; })) << c.label << ": no error was reported";
    {
      std::lock_guard lock(reports->mutex);
      ASSERT_EQ(reports->errors.size(), 1u) << c.label;
      EXPECT_EQ(reports->errors[0].code, static_cast<std::int64_t>(c.code)) << c.label;
      EXPECT_EQ(reports->errors[0].database, DZCKDatabaseIdentifier(kDatabase)) << c.label;
      EXPECT_TRUE(reports->errors[0].onMainThread) << c.label;
    }
    EXPECT_EQ(cloud->suspendCount(), 1u) << c.label << ": the failure suspends";
    ASSERT_TRUE(waitFor([&] { return cloud->numberOfInFlightChangeSets() == 0; })) << c.label;
    ASSERT_EQ(cloud->numberOfPendingChangeSets(), 1u) << c.label << ": the change set stays queued";
    EXPECT_EQ(cloud->currentChangeSet()->recordsToSaveCount(), 1u) << c.label;
    EXPECT_TRUE(serverRecordNames(good).empty()) << c.label;

    // Repaired, and resumed: the same change set goes up.
    if (!c.wrongPassword) {
      cloudtest::makeZone(good, "Events");
      EXPECT_EQ(cloud->resume(), 0u);
      ASSERT_TRUE(waitFor([&] { return cloud->numberOfPendingChangeSets() == 0; })) << c.label;
      EXPECT_EQ(serverRecordNames(good), (std::vector<std::string>{"a"})) << c.label;
    }
  }
}

}  // namespace
