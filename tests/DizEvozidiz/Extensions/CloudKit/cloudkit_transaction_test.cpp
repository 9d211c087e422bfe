// The cloud sync extension's transaction interface in a real store (suspended, so nothing is
// uploaded): attaching downloaded records to rows, detaching them, merging downloaded records into
// linked rows through the merge closure, saving changed values, the lookups, and the exception of
// the read-write operations in a read-only transaction.

#include <gtest/gtest.h>

#include <algorithm>

#include "DizEvozidiz/Extensions/CloudKit/DizEvozidizCloudKitTransaction.h"
#include "tests/DizEvozidiz/Extensions/CloudKit/cloudkit_support.h"
#include "tests/DizEvozidiz/transaction_test_support.h"

namespace {

using platform::CloudRecord;
using platform::CloudRecordID;
using platform::CloudRecordPtr;
using platform::CloudZoneID;
using platform::Value;

constexpr const char* kName = "cloud_kit";

platform::CloudRecordIDPtr idOf(const std::string& name) { return CloudRecordID::make(name, CloudZoneID("Events")); }

// A downloaded record: its record type stands for the system fields it came with (the rows' own
// records are of type "Events"), so that a test can tell which system fields were stored.
CloudRecordPtr downloaded(const std::string& name, const std::string& systemFields, const std::string& title = "") {
  CloudRecordPtr record = CloudRecord::make(systemFields, idOf(name));
  if (!title.empty()) record->setObject(Value(title), "title");
  return record;
}

Value event(const std::string& title) { return Value::dictionary({{"title", title}}); }
Value event(const std::string& title, const std::string& record) {
  return Value::dictionary({{"title", title}, {"record", record}});
}

struct MergeCall {
  std::optional<std::string> collection;
  std::optional<std::string> key;
  std::string remoteName;
  bool hasPendingLocalRecord = false;
  Value pendingTitle;
  bool hasUpdatedPendingLocalRecord = false;
};

class CloudKitTransactionTest : public diztest::ConnectionFixture {
 protected:
  void SetUp() override {
    ConnectionFixture::SetUp();
    calls = std::make_shared<dzcktest::HandlerCalls>();
  }

  // The merge closure records its calls and then runs `onMerge` (may be empty).
  void registerCloud() {
    DizEvozidizCloudKitOptions options;
    options.allowedCollections = DizWhitelistBlacklist::withWhitelist({"Events"});
    auto merges = mergeCalls;
    auto hook = onMerge;
    cloud = DizEvozidizCloudKit::make(
        dzcktest::dictionaryHandler(calls),
        [merges, hook](DizEvozidizReadWriteTransaction& t, const std::optional<std::string>& collection,
                       const std::optional<std::string>& key, const CloudRecordPtr& remote, DZCKMergeInfo& info) {
          MergeCall call{collection,
                         key,
                         remote->recordID()->recordName(),
                         info.pendingLocalRecord() != nullptr,
                         info.pendingLocalRecord() ? info.pendingLocalRecord()->objectForKey("title") : Value(),
                         info.updatedPendingLocalRecord() != nullptr};
          merges->push_back(call);
          if (*hook) (*hook)(t, info);
        },
        [](const DZCKDatabaseIdentifier&, const platform::ErrorPtr&) {}, {}, std::string("1"), Value(), options);
    ASSERT_TRUE(cloud);
    cloud->suspend();
    ASSERT_TRUE(database->registerExtension(cloud, kName));
  }

  void write(const std::function<void(DizEvozidizReadWriteTransaction&, DizEvozidizCloudKitTransaction&)>& block) {
    ASSERT_TRUE(connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
      auto cloudTransaction = std::dynamic_pointer_cast<DizEvozidizCloudKitTransaction>(t.ext(kName));
      ASSERT_TRUE(cloudTransaction);
      block(t, *cloudTransaction);
    }));
  }
  void read(const std::function<void(DizEvozidizCloudKitTransaction&)>& block) {
    connection->readWithBlock([&](DizEvozidizReadTransaction& t) {
      auto cloudTransaction = std::dynamic_pointer_cast<DizEvozidizCloudKitTransaction>(t.ext(kName));
      ASSERT_TRUE(cloudTransaction);
      block(*cloudTransaction);
    });
  }

  std::int64_t mappingRows() { return dzcktest::rowsOf(connection, "cloudKit_mapping_cloud_kit"); }
  std::int64_t recordRows() { return dzcktest::rowsOf(connection, "cloudKit_record_cloud_kit"); }
  std::int64_t ownerCount(const std::string& recordName) {
    return dzcktest::sqlNumber(
        connection, "SELECT ownerCount FROM cloudKit_record_cloud_kit WHERE hash = '" +
                        DizEvozidizCloudKitTransaction::hashRecordID(*idOf(recordName), std::nullopt) + "';");
  }
  // Over every queued change set: how often the record is to be saved, and to be deleted.
  std::pair<int, int> queued(const std::string& recordName) {
    int saves = 0, deletes = 0;
    for (const auto& set : cloud->pendingChangeSets()) {
      for (const auto& record : set->recordsToSave_noCopy())
        if (record->recordID()->recordName() == recordName) ++saves;
      for (const auto& id : set->recordIDsToDelete())
        if (id->recordName() == recordName) ++deletes;
    }
    return {saves, deletes};
  }
  // The stored record of the row, as a later transaction reads it.
  CloudRecordPtr storedRecord(const std::string& key, const std::string& collection) {
    CloudRecordPtr record;
    read([&](DizEvozidizCloudKitTransaction& c) { record = c.recordForKey(key, collection); });
    return record;
  }

  std::shared_ptr<dzcktest::HandlerCalls> calls;
  std::shared_ptr<std::vector<MergeCall>> mergeCalls = std::make_shared<std::vector<MergeCall>>();
  std::shared_ptr<std::function<void(DizEvozidizReadWriteTransaction&, DZCKMergeInfo&)>> onMerge =
      std::make_shared<std::function<void(DizEvozidizReadWriteTransaction&, DZCKMergeInfo&)>>();
  DizEvozidizCloudKitPtr cloud;
};

// ---- Attach ----

TEST_F(CloudKitTransactionTest, AttachLinksRowsOrWaitsForTheirInsert) {
  struct Case {
    const char* label;
    // Committed first ("Other" rows have no record of their own; "Events" rows get one named after the key).
    std::function<void(DizEvozidizReadWriteTransaction&, DizEvozidizCloudKitTransaction&)> setUp;
    std::function<bool(DizEvozidizReadWriteTransaction&, DizEvozidizCloudKitTransaction&)> act;
    bool expectedResult;
    std::optional<std::string> rowRecord;  // the record linked to row "k" afterwards
    int expectedHandlerCalls;              // during act
    int expectedSavesOfX;                  // queued uploads of record "x"
  };
  const auto none = [](DizEvozidizReadWriteTransaction&, DizEvozidizCloudKitTransaction&) {};
  const auto otherRow = [](DizEvozidizReadWriteTransaction& t, DizEvozidizCloudKitTransaction&) {
    t.setObject(Value("plain"), "k", "Other");
  };
  const Case cases[] = {
      {"an existing row, uploading the record", otherRow,
       [](auto&, auto& c) { return c.attachRecord(downloaded("x", "t1", "remote"), std::nullopt, "k", "Other", true); },
       true, "x", 0, 1},
      {"an existing row, system fields only", otherRow,
       [](auto&, auto& c) {
         return c.attachRecord(downloaded("x", "t1", "remote"), std::nullopt, "k", "Other", false);
       },
       true, "x", 0, 0},
      {"a row inserted after the attach, not uploading", none,
       [](auto& t, auto& c) {
         const bool attached = c.attachRecord(downloaded("x", "t1", "remote"), std::nullopt, "k", "Events", false);
         t.setObject(event("local"), "k", "Events");
         return attached;
       },
       true, "x", 0, 0},
      {"a row inserted after the attach, uploading", none,
       [](auto& t, auto& c) {
         const bool attached = c.attachRecord(downloaded("x", "t1", "remote"), std::nullopt, "k", "Events", true);
         t.setObject(event("local"), "k", "Events");
         return attached;
       },
       true, "x", 0, 1},
      {"a later attach for the same missing row replaces the earlier one", none,
       [](auto& t, auto& c) {
         const bool first = c.attachRecord(downloaded("y", "t1"), std::nullopt, "k", "Events", false);
         const bool second = c.attachRecord(downloaded("x", "t1"), std::nullopt, "k", "Events", false);
         t.setObject(event("local"), "k", "Events");
         return first && second;
       },
       true, "x", 0, 0},
      {"a row linked to another record", [](auto& t, auto&) { t.setObject(event("local", "y"), "k", "Events"); },
       [](auto&, auto& c) { return c.attachRecord(downloaded("x", "t1"), std::nullopt, "k", "Events", true); }, false,
       "y", 0, 0},
      {"a row already linked to the same record",
       [](auto& t, auto& c) {
         t.setObject(Value("plain"), "k", "Other");
         ASSERT_TRUE(c.attachRecord(downloaded("x", "t1"), std::nullopt, "k", "Other", false));
       },
       [](auto&, auto& c) { return c.attachRecord(downloaded("x", "t1"), std::nullopt, "k", "Other", false); }, true,
       "x", 0, 0},
      {"a null record", otherRow,
       [](auto&, auto& c) { return c.attachRecord(nullptr, std::nullopt, "k", "Other", true); }, false, std::nullopt, 0,
       0},
      {"no key", otherRow,
       [](auto&, auto& c) { return c.attachRecord(downloaded("x", "t1"), std::nullopt, std::nullopt, "Other", true); },
       false, std::nullopt, 0, 0},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    connection.reset();
    database = DizEvozidiz::create((dir / ("attach" + std::to_string(n++) + ".sqlite")).string());
    ASSERT_TRUE(database);
    connection = database->newConnection();
    calls = std::make_shared<dzcktest::HandlerCalls>();
    registerCloud();
    write(c.setUp);
    const int before = calls->calls.load();
    bool result = !c.expectedResult;
    write([&](auto& t, auto& cloudTransaction) { result = c.act(t, cloudTransaction); });
    EXPECT_EQ(result, c.expectedResult);
    EXPECT_EQ(calls->calls.load() - before, c.expectedHandlerCalls) << "an attached row does not ask the handler";
    EXPECT_EQ(queued("x").first, c.expectedSavesOfX);
    CloudRecordPtr linked;
    read([&](DizEvozidizCloudKitTransaction& ct) {
      linked = ct.recordForKey("k", "Other");
      if (!linked) linked = ct.recordForKey("k", "Events");
    });
    if (c.rowRecord) {
      ASSERT_TRUE(linked);
      EXPECT_EQ(linked->recordID()->recordName(), *c.rowRecord);
      if (*c.rowRecord == "x") {
        EXPECT_EQ(linked->recordType(), "t1") << "the downloaded system fields are stored";
        EXPECT_EQ(ownerCount("x"), 1);
      }
    } else {
      EXPECT_FALSE(linked);
      EXPECT_EQ(recordRows(), 0);
    }
  }
}

TEST_F(CloudKitTransactionTest, AnAttachWhoseRowIsNeverInsertedIsDropped) {
  registerCloud();
  write([](auto&, auto& c) { EXPECT_TRUE(c.attachRecord(downloaded("x", "t1"), std::nullopt, "k", "Events", false)); });
  write([](auto& t, auto&) { t.setObject(event("local"), "k", "Events"); });
  EXPECT_EQ(calls->calls.load(), 1) << "the row inserted by a later transaction asks the handler";
  ASSERT_TRUE(storedRecord("k", "Events"));
  EXPECT_EQ(storedRecord("k", "Events")->recordID()->recordName(), "k");
  EXPECT_EQ(ownerCount("x"), -1);
}

// ---- Detach ----

TEST_F(CloudKitTransactionTest, DetachReleasesTheRecordAndQueuesByItsFlags) {
  struct Case {
    const char* label;
    bool wasRemoteDeletion;
    bool shouldUploadDeletion;
    int expectedSaves;  // the insert queued by an earlier commit
    int expectedDeletes;
  };
  const Case cases[] = {
      {"a local deletion to upload after the queued insert", false, true, 1, 1},
      {"a detach uploads nothing and keeps the earlier changes", false, false, 1, 0},
      {"a remote deletion drops everything queued for the record", true, true, 0, 0},
      {"a remote deletion wins over a detach", true, false, 0, 0},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    connection.reset();
    database = DizEvozidiz::create((dir / ("detach" + std::to_string(n++) + ".sqlite")).string());
    ASSERT_TRUE(database);
    connection = database->newConnection();
    registerCloud();
    write([](auto& t, auto&) { t.setObject(event("local"), "k", "Events"); });
    ASSERT_EQ(queued("k").first, 1);
    write([&](auto&, auto& ct) { ct.detachRecordForKey("k", "Events", c.wasRemoteDeletion, c.shouldUploadDeletion); });
    EXPECT_EQ(queued("k"), std::make_pair(c.expectedSaves, c.expectedDeletes));
    EXPECT_EQ(mappingRows(), 0);
    EXPECT_EQ(recordRows(), 0);
    EXPECT_FALSE(storedRecord("k", "Events"));
    Value object;
    connection->readWithBlock([&](DizEvozidizReadTransaction& t) { object = t.objectForKey("k", "Events"); });
    EXPECT_EQ(object, event("local")) << "the row itself stays";
  }
}

TEST_F(CloudKitTransactionTest, DetachOfAMissingRowDropsItsAttachOrChangesNothing) {
  registerCloud();
  write([](auto& t, auto& c) {
    ASSERT_TRUE(c.attachRecord(downloaded("x", "t1"), std::nullopt, "k", "Events", false));
    c.detachRecordForKey("k", "Events", false, true);
    c.detachRecordForKey("never", "Events", false, true);
    t.setObject(event("local"), "k", "Events");
  });
  EXPECT_EQ(calls->calls.load(), 1) << "the dropped attach leaves the insert to the handler";
  EXPECT_EQ(storedRecord("k", "Events")->recordID()->recordName(), "k");
  EXPECT_EQ(ownerCount("x"), -1);
  EXPECT_EQ(queued("x"), std::make_pair(0, 0));
}

TEST_F(CloudKitTransactionTest, DetachOfARowWithoutRecordChangesNothing) {
  registerCloud();
  write([](auto& t, auto&) { t.setObject(Value("plain"), "p", "Other"); });
  write([](auto&, auto& c) { c.detachRecordForKey("p", "Other", false, true); });
  EXPECT_EQ(cloud->numberOfPendingChangeSets(), 0u);
  EXPECT_EQ(mappingRows(), 0);
}

// ---- Merge ----

TEST_F(CloudKitTransactionTest, MergeOfARecordNobodyOwnsAndNothingPendingDoesNothing) {
  registerCloud();
  write([](auto&, auto& c) {
    c.mergeRecord(downloaded("stranger", "t9", "remote"), std::nullopt);
    c.mergeRecord(nullptr, std::nullopt);
  });
  EXPECT_TRUE(mergeCalls->empty());
  EXPECT_EQ(recordRows(), 0);
  EXPECT_EQ(cloud->numberOfPendingChangeSets(), 0u);
}

TEST_F(CloudKitTransactionTest, MergeHandsEachLinkedRowToTheClosure) {
  struct Case {
    const char* label;
    bool localChangePending;  // the row's insert is still queued for upload
    bool changeInThisTransaction;
    bool expectedPendingLocalRecord;
    Value expectedPendingTitle;
  };
  const Case cases[] = {
      {"nothing pending", false, false, false, Value()},
      {"a queued local change", true, false, true, Value("local")},
      {"a change earlier in the same transaction", false, true, true, Value("newer")},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    connection.reset();
    database = DizEvozidiz::create((dir / ("merge" + std::to_string(n++) + ".sqlite")).string());
    ASSERT_TRUE(database);
    connection = database->newConnection();
    mergeCalls->clear();
    registerCloud();
    if (c.localChangePending) {
      write([](auto& t, auto&) {
        t.setObject(event("local", "shared"), "one", "Events");
        t.setObject(event("local", "shared"), "two", "Events");
      });
    } else {
      write([](auto& t, auto& ct) {
        t.setObject(Value("plain"), "one", "Other");
        t.setObject(Value("plain"), "two", "Other");
        ASSERT_TRUE(ct.attachRecord(downloaded("shared", "t1"), std::nullopt, "one", "Other", false));
        ASSERT_TRUE(ct.attachRecord(downloaded("shared", "t1"), std::nullopt, "two", "Other", false));
      });
    }
    const std::string collection = c.localChangePending ? "Events" : "Other";
    write([&](auto&, auto& ct) {
      if (c.changeInThisTransaction) {
        CloudRecordPtr changed = ct.recordForKey("one", collection);
        ASSERT_TRUE(changed);
        changed->setObject(Value("newer"), "title");
        ASSERT_TRUE(ct.saveRecord(changed, std::nullopt));
      }
      ct.mergeRecord(downloaded("shared", "t2", "remote"), std::nullopt);
    });
    ASSERT_EQ(mergeCalls->size(), 2u) << "once per linked row";
    std::vector<std::string> keys;
    for (const MergeCall& call : *mergeCalls) {
      EXPECT_EQ(call.collection, collection);
      keys.push_back(call.key.value_or(""));
      EXPECT_EQ(call.remoteName, "shared");
      EXPECT_EQ(call.hasPendingLocalRecord, c.expectedPendingLocalRecord);
      EXPECT_EQ(call.pendingTitle, c.expectedPendingTitle);
      EXPECT_TRUE(call.hasUpdatedPendingLocalRecord);
    }
    std::sort(keys.begin(), keys.end());
    EXPECT_EQ(keys, (std::vector<std::string>{"one", "two"}));
    CloudRecordPtr stored = storedRecord("one", collection);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->recordType(), "t2") << "the downloaded system fields are stored";
    EXPECT_EQ(ownerCount("shared"), 2);
  }
}

TEST_F(CloudKitTransactionTest, TheClosuresWritesToTheMergedRowsAreNotLocalChanges) {
  registerCloud();
  write([](auto& t, auto& c) {
    // "linked" is linked without anything to upload, so that only the closure's writes could queue it.
    ASSERT_TRUE(c.attachRecord(downloaded("linked", "t1"), std::nullopt, "linked", "Events", false));
    t.setObject(event("a"), "linked", "Events");
    t.setObject(event("b"), "other", "Events");
  });
  ASSERT_EQ(queued("linked").first, 0);
  const int before = calls->calls.load();
  const auto savesBefore = queued("other").first;
  *onMerge = [](DizEvozidizReadWriteTransaction& t, DZCKMergeInfo&) {
    t.setObject(event("merged"), "linked", "Events");
    t.setObject(event("changed elsewhere"), "other", "Events");
  };
  write([](auto&, auto& c) { c.mergeRecord(downloaded("linked", "t2", "remote"), std::nullopt); });
  ASSERT_EQ(mergeCalls->size(), 1u);
  EXPECT_EQ(calls->calls.load() - before, 1) << "only the write to the other row asks the handler";
  EXPECT_EQ(queued("other").first, savesBefore + 1);
  EXPECT_EQ(queued("linked").first, 0) << "the merged row's own write uploads nothing";
  CloudRecordPtr stored = storedRecord("linked", "Events");
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->recordType(), "t2");

  // After the merge the rows are ordinary again.
  write([](auto& t, auto&) { t.setObject(event("later"), "linked", "Events"); });
  EXPECT_EQ(calls->calls.load() - before, 2);
}

TEST_F(CloudKitTransactionTest, MergeOfAnUnownedRecordWithAQueuedChangeCallsTheClosureOnce) {
  registerCloud();
  write([](auto& t, auto&) { t.setObject(event("local"), "k", "Events"); });
  // The row goes without uploading its deletion: its insert stays queued, no row owns the record.
  write([](auto&, auto& c) { c.detachRecordForKey("k", "Events", false, false); });
  ASSERT_EQ(queued("k").first, 1);
  write([](auto&, auto& c) { c.mergeRecord(downloaded("k", "t5", "remote"), std::nullopt); });
  ASSERT_EQ(mergeCalls->size(), 1u);
  EXPECT_FALSE((*mergeCalls)[0].collection);
  EXPECT_FALSE((*mergeCalls)[0].key);
  EXPECT_TRUE((*mergeCalls)[0].hasPendingLocalRecord);
  EXPECT_EQ((*mergeCalls)[0].pendingTitle, Value("local"));
}

// ---- Save ----

TEST_F(CloudKitTransactionTest, SaveQueuesChangedValuesOfLinkedRecordsOnly) {
  registerCloud();
  write([](auto& t, auto& c) {
    t.setObject(Value("plain"), "k", "Other");
    ASSERT_TRUE(c.attachRecord(downloaded("x", "t1"), std::nullopt, "k", "Other", false));
  });
  ASSERT_EQ(queued("x").first, 0);
  struct Case {
    const char* label;
    CloudRecordPtr record;
    bool expected;
  };
  CloudRecordPtr changed = downloaded("x", "t1", "edited");
  const Case cases[] = {
      {"a linked record with changed values", changed, true},
      {"a linked record without changes", downloaded("x", "t1"), true},
      {"a record no row owns", downloaded("nobody", "t1", "edited"), false},
      {"a null record", nullptr, false},
  };
  write([&](auto&, auto& c) {
    for (const Case& cs : cases) EXPECT_EQ(c.saveRecord(cs.record, std::nullopt), cs.expected) << cs.label;
  });
  ASSERT_EQ(queued("x").first, 1);
  const auto sets = cloud->pendingChangeSets();
  EXPECT_EQ(sets.back()->recordsToSave_noCopy()[0]->objectForKey("title"), Value("edited"));
  EXPECT_EQ(queued("nobody"), std::make_pair(0, 0));
}

// ---- Lookups ----

TEST_F(CloudKitTransactionTest, LookupsAnswerForRowsAndRecords) {
  registerCloud();
  write([](auto& t, auto& c) {
    t.setObject(event("a", "shared"), "one", "Events");
    t.setObject(event("a", "shared"), "two", "Events");
    t.setObject(event("b"), "three", "Events");
    t.setObject(Value("plain"), "plain", "Other");
    ASSERT_TRUE(c.attachRecord(downloaded("tagged", "t7"), std::nullopt, "plain", "Other", false));
  });

  struct RowCase {
    const char* label;
    std::string key;
    std::string collection;
    std::optional<std::string> expectedRecord;
  };
  const RowCase rows[] = {
      {"a row sharing a record", "one", "Events", "shared"},
      {"a row with its own record", "three", "Events", "three"},
      {"a row with an attached record", "plain", "Other", "tagged"},
      {"a missing row", "missing", "Events", std::nullopt},
      {"a row of another collection with the same key", "one", "Other", std::nullopt},
  };
  read([&](DizEvozidizCloudKitTransaction& c) {
    for (const RowCase& r : rows) {
      SCOPED_TRACE(r.label);
      platform::CloudRecordIDPtr id = idOf("stale");
      DZCKDatabaseIdentifier db = std::string("stale");
      EXPECT_EQ(c.getRecordID(&id, &db, r.key, r.collection), r.expectedRecord.has_value());
      EXPECT_FALSE(db);
      CloudRecordPtr record = c.recordForKey(r.key, r.collection);
      if (r.expectedRecord) {
        ASSERT_TRUE(id);
        EXPECT_EQ(id->recordName(), *r.expectedRecord);
        ASSERT_TRUE(record);
        EXPECT_EQ(record->recordID()->recordName(), *r.expectedRecord);
      } else {
        EXPECT_FALSE(id);
        EXPECT_FALSE(record);
      }
    }
  });

  struct RecordCase {
    const char* label;
    platform::CloudRecordIDPtr id;
    DZCKDatabaseIdentifier database;
    std::optional<std::vector<std::string>> expectedKeys;  // sorted "collection/key"
    std::string expectedType;                              // of the record
  };
  const RecordCase records[] = {
      {"a record of two rows", idOf("shared"), std::nullopt, std::vector<std::string>{"Events/one", "Events/two"},
       "Events"},
      {"a record of one row", idOf("three"), std::nullopt, std::vector<std::string>{"Events/three"}, "Events"},
      {"a downloaded record", idOf("tagged"), std::nullopt, std::vector<std::string>{"Other/plain"}, "t7"},
      {"an unknown record", idOf("unknown"), std::nullopt, std::nullopt, ""},
      {"a known name in another database", idOf("shared"), std::string("shared-db"), std::nullopt, ""},
      {"no record ID", nullptr, std::nullopt, std::nullopt, ""},
  };
  read([&](DizEvozidizCloudKitTransaction& c) {
    for (const RecordCase& r : records) {
      SCOPED_TRACE(r.label);
      auto keys = c.collectionKeysForRecordID(r.id, r.database);
      ASSERT_EQ(keys.has_value(), r.expectedKeys.has_value()) << "no rows is nullopt, not an empty list";
      if (keys) {
        std::vector<std::string> names;
        for (const auto& ck : *keys) names.push_back(ck->collection() + "/" + ck->key());
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, *r.expectedKeys);
      }
      std::string key = "stale", collection = "stale";
      EXPECT_EQ(c.getKey(&key, &collection, r.id, r.database), r.expectedKeys.has_value());
      if (r.expectedKeys)
        EXPECT_NE(std::find(r.expectedKeys->begin(), r.expectedKeys->end(), collection + "/" + key),
                  r.expectedKeys->end());
      else
        EXPECT_EQ(key + collection, "");
      EXPECT_EQ(c.containsRecordID(r.id, r.database), r.expectedKeys.has_value());
      CloudRecordPtr record = c.recordForRecordID(r.id, r.database);
      EXPECT_EQ(record != nullptr, r.expectedKeys.has_value());
      if (record) {
        EXPECT_EQ(record->recordType(), r.expectedType);
      }
      std::string tag = "stale";
      c.getRecordChangeTag(&tag, nullptr, nullptr, r.id, r.database);
      EXPECT_EQ(tag, "") << "no record here was stored by the server";
    }
  });
}

TEST_F(CloudKitTransactionTest, LookupsSeeTheChangesOfTheirOwnTransaction) {
  registerCloud();
  write([](auto& t, auto&) {
    t.setObject(event("a", "shared"), "one", "Events");
    t.setObject(event("a", "shared"), "two", "Events");
    t.setObject(event("b"), "three", "Events");
  });
  // Cached once, so that the transaction below answers from the caches and dirty entries.
  read([](DizEvozidizCloudKitTransaction& c) {
    EXPECT_TRUE(c.containsRecordID(idOf("three"), std::nullopt));
    EXPECT_TRUE(c.recordForRecordID(idOf("shared"), std::nullopt));
  });
  write([](auto& t, auto& c) {
    t.removeObjectForKey("three", "Events");
    t.removeObjectForKey("one", "Events");
    t.setObject(event("c"), "four", "Events");
    EXPECT_FALSE(c.containsRecordID(idOf("three"), std::nullopt)) << "its last owner is gone";
    EXPECT_TRUE(c.containsRecordID(idOf("four"), std::nullopt)) << "new in this transaction";
    EXPECT_TRUE(c.containsRecordID(idOf("shared"), std::nullopt));
    auto keys = c.collectionKeysForRecordID(idOf("shared"), std::nullopt);
    ASSERT_TRUE(keys);
    ASSERT_EQ(keys->size(), 1u);
    EXPECT_EQ((*keys)[0]->key(), "two");
    EXPECT_FALSE(c.collectionKeysForRecordID(idOf("three"), std::nullopt));
    CloudRecordPtr four = c.recordForKey("four", "Events");
    ASSERT_TRUE(four);
    EXPECT_EQ(four->objectForKey("title"), Value("c")) << "values changed in this transaction are in the copy";
  });
}

TEST_F(CloudKitTransactionTest, PendingFlagsComeFromTheChangeQueue) {
  registerCloud();
  write([](auto& t, auto& c) {
    t.setObject(event("a"), "queued", "Events");
    t.setObject(Value("plain"), "p", "Other");
    t.setObject(Value("plain"), "g", "Other");
    ASSERT_TRUE(c.attachRecord(downloaded("quiet", "t3"), std::nullopt, "p", "Other", false));
    ASSERT_TRUE(c.attachRecord(downloaded("gone", "t4"), std::nullopt, "g", "Other", false));
  });
  write([](auto& t, auto&) { t.removeObjectForKey("g", "Other"); });
  struct Case {
    const char* label;
    std::string record;
    bool expectedModification;
    bool expectedDelete;
    std::string expectedTag;
  };
  const Case cases[] = {
      {"a queued insert", "queued", true, false, ""},
      {"a queued deletion", "gone", false, true, ""},
      {"a record with nothing queued", "quiet", false, false, ""},
      {"an unknown record", "unknown", false, false, ""},
  };
  read([&](DizEvozidizCloudKitTransaction& c) {
    for (const Case& cs : cases) {
      SCOPED_TRACE(cs.label);
      bool modification = !cs.expectedModification, deletion = !cs.expectedDelete;
      std::string tag = "stale";
      c.getRecordChangeTag(&tag, &modification, &deletion, idOf(cs.record), std::nullopt);
      EXPECT_EQ(modification, cs.expectedModification);
      EXPECT_EQ(deletion, cs.expectedDelete);
      EXPECT_EQ(tag, cs.expectedTag);
      bool only = !cs.expectedDelete;
      c.getRecordChangeTag(nullptr, nullptr, &only, idOf(cs.record), std::nullopt);
      EXPECT_EQ(only, cs.expectedDelete) << "one flag alone";
    }
    c.getRecordChangeTag(nullptr, nullptr, nullptr, idOf("queued"), std::nullopt);
  });
}

// ---- Read-only transactions ----

TEST_F(CloudKitTransactionTest, ReadWriteOperationsRaiseInAReadOnlyTransaction) {
  registerCloud();
  write([](auto& t, auto&) { t.setObject(event("a"), "k", "Events"); });
  struct Case {
    const char* selector;
    std::function<void(DizEvozidizCloudKitTransaction&)> call;
  };
  const Case cases[] = {
      {"attachRecord:databaseIdentifier:forKey:inCollection:shouldUploadRecord:",
       [](auto& c) { (void)c.attachRecord(downloaded("x", "t"), std::nullopt, "k", "Events", true); }},
      {"detachRecordForKey:inCollection:wasRemoteDeletion:shouldUploadDeletion:",
       [](auto& c) { c.detachRecordForKey("k", "Events", false, true); }},
      {"mergeRecord:databaseIdentifier:", [](auto& c) { c.mergeRecord(downloaded("k", "t"), std::nullopt); }},
      {"saveRecord:databaseIdentifier:", [](auto& c) { (void)c.saveRecord(downloaded("k", "t"), std::nullopt); }},
  };
  read([&](DizEvozidizCloudKitTransaction& c) {
    for (const Case& cs : cases) {
      SCOPED_TRACE(cs.selector);
      try {
        cs.call(c);
        ADD_FAILURE() << "no exception";
      } catch (const platform::Exception& e) {
        EXPECT_EQ(e.name(), "DizEvozidizCloudKit");
        EXPECT_EQ(e.reason(), std::string("The method [DizEvozidizCloudKitTransaction ") + cs.selector +
                                  "] can only be used within a readWriteTransaction.");
        EXPECT_TRUE(e.userInfo().isNil());
        const platform::Exception made =
            DizEvozidizCloudKitTransaction::requiresReadWriteTransactionException(cs.selector);
        EXPECT_EQ(made.reason(), e.reason());
      }
    }
  });
  EXPECT_TRUE(mergeCalls->empty());
  EXPECT_EQ(storedRecord("k", "Events")->recordID()->recordName(), "k");
}

}  // namespace
