#include <gtest/gtest.h>
#include <sqlite3.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "DizEvozidiz/DizEvozidizConnectionInternal.h"
#include "DizEvozidiz/Utilities/DizMarkers.h"
#include "transaction_test_support.h"

namespace {

using diztest::StoreTest;
using platform::Value;

DizCollectionKeyPtr ck(const char* collection, const char* key) { return DizCollectionKey::make(collection, key); }

// The change value recorded for a key, or nullptr.
const Value* changeOf(const std::shared_ptr<DizChangedValues>& changes, const DizCollectionKeyPtr& key) {
  auto it = changes->map.find(key);
  return it == changes->map.end() ? nullptr : &it->second;
}

class ReadWriteTransaction : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    write([](DizEvozidizReadWriteTransaction& t) {
      t.setObject("one", "1", "c", "m1");
      t.setObject("two", "2", "c", "m2");
      t.setObject("three", "3", "c");
      t.setObject("other", "x", "d", "mx");
    });
  }
  // What another connection reads after the commit.
  Value committedObject(const char* key, const char* collection) {
    Value result;
    database->newConnection()->readWithBlock(
        [&](DizEvozidizReadTransaction& t) { result = t.objectForKey(key, collection); });
    return result;
  }
};

TEST_F(ReadWriteTransaction, SetInsertsThenUpdatesAndRecordsUnderThePolicy) {
  connection->setObjectPolicy(DizEvozidizPolicyShare);
  write([&](DizEvozidizReadWriteTransaction& t) {
    auto& c = DizInternal(*t.connection());
    t.setObject("new", "n", "c", "meta");
    std::int64_t rowid = 0;
    ASSERT_TRUE(t.getRowid(&rowid, "n", "c"));
    EXPECT_TRUE(c.keyCache.containsKey(rowid)) << "a new row's rowid enters the key cache at once";
    EXPECT_EQ(*c.objectCache->objectForKey(ck("c", "n")), Value("new"));
    EXPECT_EQ(*changeOf(c.objectChanges, ck("c", "n")), Value("new")) << "share carries the object";
    EXPECT_TRUE(DizNull::isNull(*changeOf(c.metadataChanges, ck("c", "n")))) << "containment carries no value";
    EXPECT_TRUE(c.hasDiskChanges);

    // Updating with nil metadata stores NULL metadata even when metadata bytes are supplied.
    const platform::Bytes ignored{'z'};
    t.setObject("newer", "n", "c", Value(), nullptr, &ignored);
    std::int64_t again = 0;
    t.getRowid(&again, "n", "c");
    EXPECT_EQ(again, rowid);
    EXPECT_TRUE(DizNull::isNull(*c.metadataCache->objectForKey(ck("c", "n"))));
    EXPECT_TRUE(t.metadataForKey("n", "c").isNil());
    auto raw = t.serializedMetadataForKey("n", "c");
    ASSERT_TRUE(raw);
    EXPECT_TRUE(raw->empty());
  });
  EXPECT_EQ(committedObject("n", "c"), Value("newer"));
}

TEST_F(ReadWriteTransaction, ReplaceTouchesOnlyItsHalf) {
  write([&](DizEvozidizReadWriteTransaction& t) {
    auto& c = DizInternal(*t.connection());
    t.replaceObject("uno", "1", "c");
    EXPECT_NE(changeOf(c.objectChanges, ck("c", "1")), nullptr);
    EXPECT_EQ(changeOf(c.metadataChanges, ck("c", "1")), nullptr);
    EXPECT_EQ(t.metadataForKey("1", "c"), Value("m1"));

    t.replaceMetadata(Value(), "2", "c");
    EXPECT_EQ(changeOf(c.objectChanges, ck("c", "2")), nullptr);
    EXPECT_TRUE(DizNull::isNull(*changeOf(c.metadataChanges, ck("c", "2"))));
    EXPECT_TRUE(t.metadataForKey("2", "c").isNil());

    const platform::Bytes bytes{'r', 'a', 'w'};
    t.replaceObject("ignored", "3", "c", bytes);
    EXPECT_EQ(t.serializedObjectForKey("3", "c"), bytes);

    // Replacing a missing key does nothing.
    t.replaceObject("ghost", "nope", "c");
    t.replaceMetadata("ghost", "nope", "c");
    EXPECT_FALSE(t.hasObjectForKey("nope", "c"));
    EXPECT_EQ(changeOf(c.objectChanges, ck("c", "nope")), nullptr);
  });
  EXPECT_EQ(committedObject("1", "c"), Value("uno"));
}

TEST_F(ReadWriteTransaction, TouchRecordsWithoutOverwritingAnEarlierChange) {
  write([&](DizEvozidizReadWriteTransaction& t) {
    auto& c = DizInternal(*t.connection());
    t.setObject("uno", "1", "c");
    t.touchObjectForKey("1", "c");
    EXPECT_TRUE(DizNull::isNull(*changeOf(c.objectChanges, ck("c", "1")))) << "the set's record stays";
    t.touchRowForKey("2", "c");
    EXPECT_TRUE(DizTouch::isTouch(*changeOf(c.objectChanges, ck("c", "2"))));
    EXPECT_TRUE(DizTouch::isTouch(*changeOf(c.metadataChanges, ck("c", "2"))));
    t.touchMetadataForKey("3", "c");
    EXPECT_EQ(changeOf(c.objectChanges, ck("c", "3")), nullptr);
    EXPECT_TRUE(DizTouch::isTouch(*changeOf(c.metadataChanges, ck("c", "3"))));
    t.touchObjectForKey("missing", "c");
    EXPECT_EQ(changeOf(c.objectChanges, ck("c", "missing")), nullptr);
  });
}

TEST_F(ReadWriteTransaction, RemovalsForgetTheRowAndRecordIt) {
  struct Case {
    const char* name;
    std::function<void(DizEvozidizReadWriteTransaction&)> remove;
    std::vector<std::string> gone;  // keys of "c" removed
    bool recordsKeys;
    bool recordsCollection;
  };
  const std::vector<Case> cases = {
      {"one key", [](auto& t) { t.removeObjectForKey("1", "c"); }, {"1"}, true, false},
      {"nil object", [](auto& t) { t.setObject(Value(), "1", "c"); }, {"1"}, true, false},
      {"key list with a missing and a repeated key",
       [](auto& t) {
         t.removeObjectsForKeys({"1", "nope", "3", "1"}, "c");
       },
       {"1", "3"},
       true,
       false},
      {"collection", [](auto& t) { t.removeAllObjectsInCollection("c"); }, {"1", "2", "3"}, false, true},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    write([&](DizEvozidizReadWriteTransaction& t) {
      auto& c = DizInternal(*t.connection());
      // Warm the caches and leave a change record to be dropped.
      for (const char* key : {"1", "2", "3"}) t.objectForKey(key, "c");
      t.setObject("changed", "1", "c");
      std::int64_t rowid1 = 0;
      t.getRowid(&rowid1, "1", "c");

      test.remove(t);
      for (const std::string& key : test.gone) {
        auto gone = DizCollectionKey::make("c", key);
        EXPECT_FALSE(t.hasObjectForKey(key, "c")) << key;
        EXPECT_FALSE(c.objectCache->containsKey(gone)) << key;
        EXPECT_EQ(changeOf(c.objectChanges, gone), nullptr) << "a removal leaves only the removal: " << key;
        EXPECT_EQ(c.removedKeys->set.contains(gone), test.recordsKeys) << key;
      }
      EXPECT_EQ(c.removedRowids->set.contains(rowid1), test.recordsKeys);
      EXPECT_FALSE(c.keyCache.containsKey(rowid1));
      EXPECT_EQ(c.removedCollections->set.contains("c"), test.recordsCollection);
      EXPECT_TRUE(t.hasObjectForKey("x", "d")) << "other collections stay";
      t.rollback();
    });
  }
}

TEST_F(ReadWriteTransaction, RemoveEverythingThenSetCommitsBoth) {
  write([&](DizEvozidizReadWriteTransaction& t) {
    auto& c = DizInternal(*t.connection());
    t.removeAllObjectsInAllCollections();
    EXPECT_TRUE(c.allKeysRemoved);
    EXPECT_EQ(t.numberOfKeysInAllCollections(), 0u);
    EXPECT_EQ(c.objectCache->count(), 0u);
    t.setObject("fresh", "f", "c");
    EXPECT_EQ(c.objectChanges->map.size(), 1u);
    EXPECT_EQ(c.metadataChanges->map.size(), 1u);
  });
  EXPECT_EQ(committedObject("f", "c"), Value("fresh"));
  EXPECT_TRUE(committedObject("1", "c").isNil());
}

TEST_F(ReadWriteTransaction, RemovingAnEmptyCollectionStillRecordsIt) {
  write([&](DizEvozidizReadWriteTransaction& t) {
    t.removeAllObjectsInCollection("empty");
    EXPECT_TRUE(DizInternal(*t.connection()).removedCollections->set.contains("empty"));
    EXPECT_TRUE(DizInternal(*t.connection()).removedRowids->set.empty());
  });
}

TEST_F(ReadWriteTransaction, SanitizersAdjustRefuseAndObserveWrites) {
  std::vector<std::string> posted;
  DizEvozidizClosures closures = diztest::stringClosures(counters);
  closures.objectPreSanitizer = [](const std::string&, const std::string&, const Value& v) {
    return v.asString() == "refuse" ? Value() : Value(v.asString() + "!");
  };
  closures.objectPostSanitizer = [&](const std::string&, const std::string& key, const Value& v) {
    posted.push_back(key + "=" + v.asString());
  };
  connection.reset();
  database.reset();
  database = DizEvozidiz::create((dir / "sanitized.sqlite").string(), closures);
  ASSERT_TRUE(database);
  connection = database->newConnection();
  write([&](DizEvozidizReadWriteTransaction& t) {
    t.setObject("a", "k", "c");
    EXPECT_EQ(t.objectForKey("k", "c"), Value("a!"));
    t.setObject("refuse", "k", "c");  // refused: the key goes
    EXPECT_FALSE(t.hasObjectForKey("k", "c"));
  });
  EXPECT_EQ(posted, (std::vector<std::string>{"k=a!"}));
}

TEST_F(ReadWriteTransaction, RollbackLeavesNoTraceAndEmptiesTheCaches) {
  write([&](DizEvozidizReadWriteTransaction& t) {
    t.setObject("temp", "1", "c");
    t.removeObjectForKey("2", "c");
    EXPECT_EQ(t.objectForKey("1", "c"), Value("temp")) << "operations keep working after rollback()";
    t.rollback();
    EXPECT_TRUE(t.rollbackRequested());
  });
  read([&](DizEvozidizReadTransaction& t) {
    EXPECT_EQ(DizInternal(*t.connection()).objectCache->count(), 0u);
    EXPECT_EQ(t.objectForKey("1", "c"), Value("one"));
    EXPECT_EQ(t.objectForKey("2", "c"), Value("two"));
  });
}

TEST_F(ReadWriteTransaction, ExtensionValuesRoundTripByKindAndTouchNoRowRecords) {
  write([&](DizEvozidizReadWriteTransaction& t) {
    auto& c = DizInternal(*t.connection());
    c.hasDiskChanges = false;
    t.setBoolValue(false, "flag", "ext");
    t.setIntValue(-7, "int", "ext");
    t.setDoubleValue(2.5, "double", "ext");
    t.setStringValue("text", "string", "ext");
    t.setDataValue(platform::Bytes{1, 2, 3}, "data", "ext");
    t.setIntValue(9, "int", "other");
    EXPECT_TRUE(c.hasDiskChanges);
    EXPECT_TRUE(c.objectChanges->map.empty());
  });
  read([&](DizEvozidizReadTransaction& t) {
    bool flag = true;
    EXPECT_TRUE(t.getBoolValue(&flag, "flag", "ext")) << "a stored 0 exists";
    EXPECT_FALSE(flag);
    std::int32_t number = 0;
    EXPECT_TRUE(t.getIntValue(&number, "int", "ext"));
    EXPECT_EQ(number, -7);
    EXPECT_TRUE(t.getIntValue(nullptr, "int", "other"));
    double real = 0;
    EXPECT_TRUE(t.getDoubleValue(&real, "double", "ext"));
    EXPECT_EQ(real, 2.5);
    EXPECT_EQ(t.stringValueForKey("string", "ext"), std::optional<std::string>("text"));
    EXPECT_EQ(t.dataValueForKey("data", "ext"), std::optional<platform::Bytes>(platform::Bytes{1, 2, 3}));
    number = 5;
    EXPECT_FALSE(t.getIntValue(&number, "missing", "ext"));
    EXPECT_EQ(number, 0);
    EXPECT_FALSE(t.stringValueForKey("string", "nope"));
  });
  write([&](DizEvozidizReadWriteTransaction& t) {
    t.removeValueForKey("int", "ext");
    EXPECT_FALSE(t.getIntValue(nullptr, "int", "ext"));
    EXPECT_TRUE(t.getDoubleValue(nullptr, "double", "ext"));
    t.removeAllValuesForExtension("ext");
    EXPECT_FALSE(t.getDoubleValue(nullptr, "double", "ext"));
    EXPECT_TRUE(t.getIntValue(nullptr, "int", "other"));
  });
}

}  // namespace
