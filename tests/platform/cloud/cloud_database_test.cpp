#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "cloud_test_support.h"
#include "platform/cloud/cloud_database.h"
#include "platform/cloud/cloud_operations.h"

namespace platform {
namespace {

using namespace cloudtest;

class CloudServer : public ::testing::Test {
 protected:
  void SetUp() override {
    auto found = testCluster();
    if (!found) GTEST_SKIP() << "no test cluster (run these tests through ctest)";
    cluster_ = *found;
    user_ = createUser(cluster_);
    container_ = containerFor(user_);
    database_ = container_->privateCloudDatabase();
    makeZone(database_, "Events");
  }

  // A record saved once, as the server returned it.
  CloudRecordPtr savedRecord(const std::string& name, Value value = Value("first")) {
    auto record = newRecord(name);
    record->setObject(value, "name");
    record->setObject(Value(std::int64_t{7}), "count");
    auto result = modify(database_, {record});
    EXPECT_EQ(result.error, nullptr) << (result.error ? result.error->description() : "");
    EXPECT_EQ(result.saved.size(), 1u);
    return result.saved.empty() ? nullptr : result.saved[0];
  }

  Cluster cluster_;
  User user_;
  CloudContainerPtr container_;
  CloudDatabasePtr database_;
};

TEST_F(CloudServer, SavedRecordGetsSystemFieldsAndReadsBackWithEveryValueKind) {
  auto record = newRecord("kinds");
  Bytes bytes{0, 1, 2, 255};
  ValueDictionary values{{"s", Value("text ünïcode")},
                         {"i", Value(std::int64_t{-5})},
                         {"u", Value(std::numeric_limits<std::uint64_t>::max())},
                         {"d", Value(0.1)},
                         {"nan", Value(std::numeric_limits<double>::quiet_NaN())},
                         {"b", Value(true)},
                         {"t", Value(Date(812345.25))},
                         {"x", Value(bytes)},
                         {"a", Value(Value::array({Value(1), Value("two")}))}};
  for (const auto& [key, value] : values) record->setObject(value, key);
  auto result = modify(database_, {record});
  ASSERT_EQ(result.error, nullptr) << result.error->description();
  ASSERT_EQ(result.saved.size(), 1u);
  const CloudRecordPtr& saved = result.saved[0];
  EXPECT_FALSE(saved->recordChangeTag().empty());
  EXPECT_TRUE(saved->changedKeys().empty());
  EXPECT_TRUE(saved->creationDate() && saved->modificationDate());
  EXPECT_EQ(saved->creatorUserName(), user_.name);
  EXPECT_TRUE(record->recordChangeTag().empty()) << "the record given stays as it was";

  std::vector<CloudRecordPtr> fetched;
  ErrorPtr error;
  auto op = CloudFetchRecordsOperation::make({record->recordID()});
  op->setFetchRecordsCompletionBlock([&](auto& records, const ErrorPtr& e) {
    fetched = records;
    error = e;
  });
  run(database_, op);
  ASSERT_EQ(error, nullptr);
  ASSERT_EQ(fetched.size(), 1u);
  EXPECT_EQ(fetched[0]->recordChangeTag(), saved->recordChangeTag());
  for (const auto& [key, value] : values) EXPECT_EQ(fetched[0]->objectForKey(key), value) << key;
  EXPECT_EQ(fetched[0]->objectForKey("u").type(), Value::Type::UInt);
  EXPECT_TRUE(fetched[0]->changedKeys().empty());
}

TEST_F(CloudServer, ConditionalSavesFailPerItemWithTheirCodes) {
  auto stale = savedRecord("stale");
  auto current = stale->copyRecord();
  current->setObject(Value("second"), "name");
  ASSERT_EQ(modify(database_, {current}).error, nullptr);

  savedRecord("existing");
  auto deleted = savedRecord("deleted");
  ASSERT_EQ(modify(database_, {}, {deleted->recordID()}).error, nullptr);

  struct Case {
    const char* what;
    CloudRecordPtr record;
    CloudErrorCode code;
  } cases[] = {
      {"a save based on an older version", stale, CloudErrorCode::ServerRecordChanged},
      {"a new record over an existing one", newRecord("existing"), CloudErrorCode::ServerRecordChanged},
      {"a save to a deleted record", deleted, CloudErrorCode::UnknownItem},
      {"a save to a missing zone", newRecord("lost", "NoSuchZone"), CloudErrorCode::ZoneNotFound},
  };
  for (const Case& c : cases) {
    c.record->setObject(Value("changed"), "name");
    auto result = modify(database_, {c.record});
    ASSERT_TRUE(result.error) << c.what;
    EXPECT_TRUE(isCloudError(*result.error, CloudErrorCode::PartialFailure)) << c.what;
    EXPECT_TRUE(result.saved.empty()) << c.what;
    auto items = cloudPartialErrors(*result.error);
    ASSERT_EQ(items.size(), 1u) << c.what;
    EXPECT_TRUE(items[0].itemID.as<CloudRecordID>()->isEqual(*c.record->recordID())) << c.what;
    EXPECT_EQ(items[0].error->code(), static_cast<std::int64_t>(c.code)) << c.what;
    // Callers find the record's name in the description.
    EXPECT_NE(items[0].error->userInfo()[kCloudErrorDescriptionKey].asString().find(c.record->recordID()->recordName()),
              std::string::npos)
        << c.what;
  }

  // A new record under the name of a deleted one is created anew (re-uploading after a remote delete).
  auto again = newRecord("deleted");
  again->setObject(Value("back"), "name");
  EXPECT_EQ(modify(database_, {again}).error, nullptr);
}

TEST_F(CloudServer, BatchWithOneFailingItemSavesTheOthers) {
  auto stale = savedRecord("b-stale");
  auto newer = stale->copyRecord();
  newer->setObject(Value("newer"), "name");
  ASSERT_EQ(modify(database_, {newer}).error, nullptr);
  stale->setObject(Value("lost"), "name");
  auto one = newRecord("b-one"), two = newRecord("b-two");
  one->setObject(Value(1), "n");
  two->setObject(Value(2), "n");
  auto doomed = savedRecord("b-doomed");

  auto result = modify(database_, {one, stale, two}, {doomed->recordID()});
  ASSERT_TRUE(result.error);
  EXPECT_EQ(itemCodes(result.error), (std::map<std::string, std::int64_t>{{"b-stale", 14}}));
  ASSERT_EQ(result.saved.size(), 2u);
  EXPECT_EQ(result.saved[0]->recordID()->recordName(), "b-one");
  EXPECT_EQ(result.saved[1]->recordID()->recordName(), "b-two");
  ASSERT_EQ(result.deleted.size(), 1u);
  EXPECT_TRUE(result.deleted[0]->isEqual(*doomed->recordID()));
}

TEST_F(CloudServer, SaveMergesOnlyTheChangedKeysIntoTheServerRecord) {
  auto base = savedRecord("merge");
  // Another device changes "count"...
  auto other = base->copyRecord();
  other->setObject(Value(std::int64_t{8}), "count");
  other->setObject(Value("extra"), "note");
  auto afterOther = modify(database_, {other});
  ASSERT_EQ(afterOther.error, nullptr);
  // ...then this one, from the version the other saved, changes "name" and removes "note".
  auto mine = afterOther.saved[0]->copyWithSystemFieldsOnly();
  mine->setObject(Value("renamed"), "name");
  mine->setObject(Value(), "note");
  ASSERT_EQ(modify(database_, {mine}).error, nullptr);

  auto changes = fetchChanges(database_, "Events", nullptr);
  ASSERT_EQ(changes.error, nullptr);
  ASSERT_EQ(changes.changed.size(), 1u);
  const CloudRecordPtr& server = changes.changed[0];
  EXPECT_EQ(server->objectForKey("name"), Value("renamed"));
  EXPECT_EQ(server->objectForKey("count"), Value(8));
  EXPECT_TRUE(server->objectForKey("note").isNil());
}

TEST_F(CloudServer, ChangesSinceATokenIncludeDeletionsAndComeInPages) {
  auto first = fetchChanges(database_, "Events", nullptr);
  ASSERT_EQ(first.error, nullptr);
  EXPECT_TRUE(first.changed.empty());
  ASSERT_TRUE(first.token);

  std::vector<CloudRecordPtr> saved;
  for (int i = 0; i < 7; ++i) saved.push_back(savedRecord("page-" + std::to_string(i)));
  ASSERT_EQ(modify(database_, {}, {saved[1]->recordID(), saved[3]->recordID()}).error, nullptr);
  auto updated = saved[0]->copyWithSystemFieldsOnly();
  updated->setObject(Value("later"), "name");
  ASSERT_EQ(modify(database_, {updated}).error, nullptr);

  // Pages of three from the first token: each record once, in the order of its latest change.
  std::vector<std::string> order;
  std::vector<std::pair<std::string, std::string>> deletions;
  CloudServerChangeTokenPtr token = first.token;
  int pages = 0;
  for (bool more = true; more; ++pages) {
    auto page = fetchChanges(database_, "Events", token, 3);
    ASSERT_EQ(page.error, nullptr);
    ASSERT_LE(page.changed.size() + page.deleted.size(), 3u);
    for (auto& r : page.changed) order.push_back(r->recordID()->recordName());
    for (auto& d : page.deleted) deletions.push_back(d);
    more = page.moreComing;
    token = page.token;
    ASSERT_LT(pages, 10);
  }
  EXPECT_EQ(pages, 3);
  EXPECT_EQ(order, (std::vector<std::string>{"page-2", "page-4", "page-5", "page-6", "page-0"}));
  EXPECT_EQ(deletions, (std::vector<std::pair<std::string, std::string>>{{"page-1", "Events"}, {"page-3", "Events"}}));

  // Nothing new: the same token back, nothing more.
  auto nothing = fetchChanges(database_, "Events", token);
  ASSERT_EQ(nothing.error, nullptr);
  EXPECT_TRUE(nothing.changed.empty() && nothing.deleted.empty());
  EXPECT_FALSE(nothing.moreComing);
  EXPECT_TRUE(nothing.token->isEqual(*token));

  // From the beginning: live records only, no deletion markers.
  auto all = fetchChanges(database_, "Events", nullptr);
  EXPECT_EQ(all.changed.size(), 5u);
  EXPECT_TRUE(all.deleted.empty());
}

TEST_F(CloudServer, TokensExpirePastThePurgeHorizonOrWithTheZone) {
  auto start = fetchChanges(database_, "Events", nullptr).token;
  auto doomed = savedRecord("purged");
  ASSERT_EQ(modify(database_, {}, {doomed->recordID()}).error, nullptr);
  auto afterDelete = fetchChanges(database_, "Events", start).token;
  RawConnection raw(user_.connectionString);
  ASSERT_TRUE(raw.ok());
  EXPECT_EQ(raw.run("SELECT zorvel_cloud.purge_deletion_markers('0')"), "1");

  struct Case {
    const char* what;
    CloudServerChangeTokenPtr token;
    bool expired;
  } cases[] = {
      {"a token from before the purged deletion", start, true},
      {"a token from after it", afterDelete, false},
      {"a token of another shape", CloudServerChangeToken::make("garbage"), true},
  };
  for (const Case& c : cases) {
    auto result = fetchChanges(database_, "Events", c.token);
    if (c.expired) {
      ASSERT_TRUE(result.error) << c.what;
      EXPECT_EQ(result.error->code(), 21) << c.what;
      EXPECT_FALSE(result.token) << c.what;
    } else {
      EXPECT_EQ(result.error, nullptr) << c.what;
    }
  }

  // A zone deleted and made again is another incarnation: old tokens expire, not silently restart.
  auto drop = CloudModifyRecordZonesOperation::make({}, {CloudZoneID("Events")});
  run(database_, drop);
  auto missing = fetchChanges(database_, "Events", afterDelete);
  ASSERT_TRUE(missing.error);
  EXPECT_EQ(missing.error->code(), 26);
  makeZone(database_, "Events");
  auto reborn = fetchChanges(database_, "Events", afterDelete);
  ASSERT_TRUE(reborn.error);
  EXPECT_EQ(reborn.error->code(), 21);
}

TEST_F(CloudServer, ZonesAndSubscriptionsReportMissingItems) {
  std::vector<CloudRecordZone> zones;
  ErrorPtr error;
  auto fetchZones = CloudFetchRecordZonesOperation::make({CloudZoneID("Events"), CloudZoneID("Nope")});
  fetchZones->setFetchRecordZonesCompletionBlock([&](auto& z, const ErrorPtr& e) {
    zones = z;
    error = e;
  });
  run(database_, fetchZones);
  ASSERT_EQ(zones.size(), 1u);
  EXPECT_EQ(zones[0].zoneID.zoneName, "Events");
  EXPECT_EQ(itemCodes(error), (std::map<std::string, std::int64_t>{{"Nope", 26}}));

  std::vector<CloudRecordZoneSubscription> subscriptions;
  auto fetchSubs = CloudFetchSubscriptionsOperation::make({"Events"});
  fetchSubs->setFetchSubscriptionCompletionBlock([&](auto& s, const ErrorPtr& e) {
    subscriptions = s;
    error = e;
  });
  run(database_, fetchSubs);
  EXPECT_TRUE(subscriptions.empty());
  EXPECT_EQ(itemCodes(error), (std::map<std::string, std::int64_t>{{"Events", 11}}));

  CloudRecordZoneSubscription subscription(CloudZoneID("Events"), "Events");
  subscription.notificationInfo.shouldSendContentAvailable = true;
  CloudRecordZoneSubscription orphan(CloudZoneID("Nope"), "Orphan");
  std::vector<CloudRecordZoneSubscription> saved;
  auto save = CloudModifySubscriptionsOperation::make({subscription, orphan}, {});
  save->setModifySubscriptionsCompletionBlock([&](auto& s, auto&, const ErrorPtr& e) {
    saved = s;
    error = e;
  });
  run(database_, save);
  ASSERT_EQ(saved.size(), 1u);
  EXPECT_EQ(saved[0], subscription);
  EXPECT_EQ(itemCodes(error), (std::map<std::string, std::int64_t>{{"Orphan", 26}}));

  auto again = CloudFetchSubscriptionsOperation::fetchAllSubscriptionsOperation();
  again->setFetchSubscriptionCompletionBlock([&](auto& s, const ErrorPtr& e) {
    subscriptions = s;
    error = e;
  });
  run(database_, again);
  EXPECT_EQ(error, nullptr);
  ASSERT_EQ(subscriptions.size(), 1u);
  EXPECT_EQ(subscriptions[0], subscription);
}

TEST_F(CloudServer, FetchingRecordsReportsMissingOnesPerRecord) {
  auto present = savedRecord("here");
  auto gone = savedRecord("gone");
  ASSERT_EQ(modify(database_, {}, {gone->recordID()}).error, nullptr);
  auto never = CloudRecordID::make("never", CloudZoneID("Events"));
  std::vector<std::pair<std::string, std::int64_t>> perRecord;
  std::vector<CloudRecordPtr> records;
  ErrorPtr error;
  auto op = CloudFetchRecordsOperation::make({present->recordID(), gone->recordID(), never});
  op->setPerRecordCompletionBlock([&](const CloudRecordPtr& r, const CloudRecordIDPtr& id, const ErrorPtr& e) {
    perRecord.emplace_back(id->recordName(), e ? e->code() : (r ? 0 : -1));
  });
  op->setFetchRecordsCompletionBlock([&](auto& r, const ErrorPtr& e) {
    records = r;
    error = e;
  });
  run(database_, op);
  EXPECT_EQ(perRecord, (std::vector<std::pair<std::string, std::int64_t>>{{"here", 0}, {"gone", 11}, {"never", 11}}));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(itemCodes(error), (std::map<std::string, std::int64_t>{{"gone", 11}, {"never", 11}}));
}

TEST_F(CloudServer, TwoUsersNeverSeeOrTouchEachOthersData) {
  auto mine = savedRecord("private");
  User other = createUser(cluster_);
  auto otherDatabase = containerFor(other)->privateCloudDatabase();

  // The other user's operations find nothing of ours...
  auto changes = fetchChanges(otherDatabase, "Events", nullptr);
  ASSERT_TRUE(changes.error);
  EXPECT_EQ(changes.error->code(), 26);
  makeZone(otherDatabase, "Events");
  EXPECT_TRUE(fetchChanges(otherDatabase, "Events", nullptr).changed.empty());
  // ...and their saves of the same record name land in their own zone.
  auto theirs = newRecord("private");
  theirs->setObject(Value("theirs"), "name");
  ASSERT_EQ(modify(otherDatabase, {theirs}).error, nullptr);
  auto ours = fetchChanges(database_, "Events", nullptr);
  ASSERT_EQ(ours.changed.size(), 1u);
  EXPECT_EQ(ours.changed[0]->objectForKey("name"), Value("first"));

  // Below the client: plain SQL as the other user may not even read or change the tables.
  RawConnection raw(other.connectionString);
  ASSERT_TRUE(raw.ok());
  EXPECT_EQ(raw.run("SELECT count(*) FROM zorvel_cloud.records WHERE owner = '" + user_.name + "'"), "ERROR 42501");
  EXPECT_EQ(raw.run("SELECT count(*) FROM zorvel_cloud.subscriptions WHERE owner = '" + user_.name + "'"),
            "ERROR 42501");
  EXPECT_EQ(raw.run("UPDATE zorvel_cloud.records SET fields = '{}' WHERE owner = '" + user_.name + "'"), "ERROR 42501");
  EXPECT_EQ(raw.run("INSERT INTO zorvel_cloud.zones (owner, container, zone_name) VALUES ('" + user_.name +
                    "', 'test.container', 'Planted')"),
            "ERROR 42501");
  auto still = fetchChanges(database_, "Events", nullptr);
  ASSERT_EQ(still.changed.size(), 1u);
  EXPECT_EQ(still.changed[0]->objectForKey("name"), Value("first"));
}

TEST_F(CloudServer, OfTwentyConcurrentSavesWithTheSameTagExactlyOneWins) {
  auto base = savedRecord("contended");
  constexpr int kWriters = 20;
  std::atomic<int> wins{0}, conflicts{0}, others{0};
  std::vector<std::shared_ptr<CloudModifyRecordsOperation>> ops;
  auto queue = OperationQueue::create("writers");
  queue->setSuspended(true);
  for (int i = 0; i < kWriters; ++i) {
    auto mine = base->copyRecord();
    mine->setObject(Value(i), "writer");
    // A database of its own per writer, so that each holds its own connection.
    auto database = containerFor(user_)->privateCloudDatabase();
    auto op = CloudModifyRecordsOperation::make({mine}, {});
    op->setDatabase(database);
    op->setModifyRecordsCompletionBlock([&](auto& saved, auto&, const ErrorPtr& error) {
      if (!error && saved.size() == 1)
        ++wins;
      else if (error && itemCodes(error).begin()->second == 14)
        ++conflicts;
      else
        ++others;
    });
    queue->addOperation(op);
  }
  queue->setSuspended(false);
  queue->waitUntilAllOperationsAreFinished();
  EXPECT_EQ(wins.load(), 1);
  EXPECT_EQ(conflicts.load(), kWriters - 1);
  EXPECT_EQ(others.load(), 0);
}

TEST_F(CloudServer, AReaderNeverMissesAChangeThatCommitsLate) {
  auto start = fetchChanges(database_, "Events", nullptr).token;
  // Writer one saves and holds its transaction open.
  RawConnection slow(user_.connectionString);
  ASSERT_TRUE(slow.ok());
  ASSERT_EQ(slow.run("BEGIN"), "");
  ASSERT_EQ(slow.run("SELECT o_code FROM zorvel_cloud.modify_records('test.container', "
                     "'[{\"zone\":\"Events\",\"name\":\"late\",\"type\":\"Events\",\"fields\":{}}]', '[]')"),
            "0");
  // Writer two saves meanwhile (it waits for the zone), and a reader fetches in between.
  std::atomic<bool> secondDone{false};
  std::thread second([&] {
    auto record = newRecord("early");
    record->setObject(Value(1), "n");
    auto result = modify(containerFor(user_)->privateCloudDatabase(), {record});
    EXPECT_EQ(result.error, nullptr);
    secondDone = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  auto between = fetchChanges(database_, "Events", start);
  ASSERT_EQ(between.error, nullptr);
  EXPECT_TRUE(between.changed.empty()) << "neither change has committed yet";
  ASSERT_EQ(slow.run("COMMIT"), "");
  second.join();
  EXPECT_TRUE(secondDone);
  // From the token the reader got, both changes arrive.
  auto after = fetchChanges(database_, "Events", between.token);
  ASSERT_EQ(after.error, nullptr);
  std::vector<std::string> names;
  for (auto& r : after.changed) names.push_back(r->recordID()->recordName());
  EXPECT_EQ(names, (std::vector<std::string>{"late", "early"}));
}

TEST_F(CloudServer, ValuesTheServiceCannotCarryFailTheirRecordOnly) {
  auto bad = newRecord("bad");
  bad->setObject(Value(std::string("nul\0inside", 10)), "name");
  auto good = newRecord("good");
  good->setObject(Value("fine"), "name");
  auto result = modify(database_, {bad, good});
  EXPECT_EQ(itemCodes(result.error), (std::map<std::string, std::int64_t>{{"bad", 12}}));
  ASSERT_EQ(result.saved.size(), 1u);
  EXPECT_EQ(result.saved[0]->recordID()->recordName(), "good");
}

}  // namespace
}  // namespace platform
