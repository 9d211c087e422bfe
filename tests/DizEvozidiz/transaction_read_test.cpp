#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "DizEvozidiz/DizEvozidizConnectionInternal.h"
#include "DizEvozidiz/Utilities/DizMarkers.h"
#include "DizEvozidiz/Utilities/DizProxyObject.h"
#include "transaction_test_support.h"

namespace {

using diztest::StoreTest;
using platform::Value;

class ReadTransaction : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    write([](DizEvozidizReadWriteTransaction& t) {
      t.setObject("apple", "a", "fruit", "red");
      t.setObject("banana", "b", "fruit");
      t.setObject("carrot", "c", "veg", "orange");
      t.setObject("plain", "p", "");
    });
    // A second connection starts with cold caches.
    reader = database->newConnection();
  }
  DizEvozidizConnection::Ptr reader;
};

TEST_F(ReadTransaction, FetchesByKeyThroughTheCachesAndLearnsRowids) {
  reader->readWithBlock([&](DizEvozidizReadTransaction& t) {
    auto& c = DizInternal(*t.connection());
    const int before = counters->objectReads;
    EXPECT_EQ(t.objectForKey("a", "fruit"), Value("apple"));
    EXPECT_EQ(counters->objectReads, before + 1);
    EXPECT_EQ(t.objectForKey("a", "fruit"), Value("apple"));
    EXPECT_EQ(counters->objectReads, before + 1) << "second fetch comes from the object cache";
    EXPECT_TRUE(c.keyCache.containsObject(DizCollectionKey::make("fruit", "a")));

    // The default collection is "".
    EXPECT_EQ(t.objectForKey("p", ""), Value("plain"));

    // A missing row changes no cache and is looked up again.
    EXPECT_TRUE(t.objectForKey("zzz", "fruit").isNil());
    EXPECT_FALSE(c.keyCache.containsObject(DizCollectionKey::make("fruit", "zzz")));
    EXPECT_FALSE(t.hasObjectForKey("zzz", "fruit"));
    EXPECT_TRUE(t.hasObjectForKey("c", "veg"));
  });
}

TEST_F(ReadTransaction, MetadataWithoutValueIsCachedAsKnownNil) {
  reader->readWithBlock([&](DizEvozidizReadTransaction& t) {
    auto& c = DizInternal(*t.connection());
    EXPECT_EQ(t.metadataForKey("a", "fruit"), Value("red"));
    EXPECT_TRUE(t.metadataForKey("b", "fruit").isNil());
    const Value* cached = c.metadataCache->objectForKey(DizCollectionKey::make("fruit", "b"));
    ASSERT_NE(cached, nullptr);
    EXPECT_TRUE(DizNull::isNull(*cached));

    Value object, metadata = "stale";
    EXPECT_TRUE(t.getObject(&object, &metadata, "b", "fruit"));
    EXPECT_EQ(object, Value("banana"));
    EXPECT_TRUE(metadata.isNil());

    // A null metadata pointer neither reads nor caches metadata.
    EXPECT_TRUE(t.getObject(&object, nullptr, "c", "veg"));
    EXPECT_EQ(object, Value("carrot"));
    EXPECT_FALSE(c.metadataCache->containsKey(DizCollectionKey::make("veg", "c")));
    EXPECT_FALSE(t.getObject(&object, &metadata, "nope", "veg"));
    EXPECT_TRUE(object.isNil());
  });
}

TEST_F(ReadTransaction, ReadsWithoutCachesDeserializeEveryTime) {
  reader->setObjectCacheEnabled(false);
  reader->setMetadataCacheEnabled(false);
  reader->readWithBlock([&](DizEvozidizReadTransaction& t) {
    ASSERT_EQ(DizInternal(*t.connection()).objectCache, nullptr);
    const int before = counters->objectReads;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(t.objectForKey("c", "veg"), Value("carrot"));
    EXPECT_EQ(counters->objectReads, before + 3);
    EXPECT_EQ(t.metadataForKey("c", "veg"), Value("orange"));
    Value object, metadata;
    EXPECT_TRUE(t.getObject(&object, &metadata, "a", "fruit"));
    EXPECT_EQ(object, Value("apple"));
    EXPECT_EQ(metadata, Value("red"));
  });
}

TEST_F(ReadTransaction, RowidsLeadBackToTheirRows) {
  reader->readWithBlock([&](DizEvozidizReadTransaction& t) {
    std::int64_t rowid = -1;
    ASSERT_TRUE(t.getRowid(&rowid, "c", "veg"));
    EXPECT_GT(rowid, 0);
    EXPECT_TRUE(t.hasRowid(rowid));
    DizCollectionKeyPtr ck = t.collectionKeyForRowid(rowid);
    ASSERT_TRUE(ck);
    EXPECT_EQ(ck->collection(), "veg");
    EXPECT_EQ(ck->key(), "c");

    Value object, metadata;
    DizCollectionKeyPtr out;
    EXPECT_TRUE(t.getCollectionKey(&out, &object, &metadata, rowid));
    EXPECT_EQ(object, Value("carrot"));
    EXPECT_EQ(metadata, Value("orange"));
    EXPECT_TRUE(t.getCollectionKeyMetadata(&out, &metadata, rowid));
    EXPECT_EQ(out->key(), "c");

    EXPECT_FALSE(t.getRowid(&rowid, "nope", "veg"));
    EXPECT_EQ(rowid, 0);
    EXPECT_FALSE(t.hasRowid(999999));
    EXPECT_EQ(t.collectionKeyForRowid(999999), nullptr);
    EXPECT_FALSE(t.getCollectionKeyObject(&out, &object, 999999));
    EXPECT_EQ(out, nullptr);
    EXPECT_TRUE(object.isNil());
  });
}

TEST_F(ReadTransaction, CountsListingsAndRawBytes) {
  reader->readWithBlock([&](DizEvozidizReadTransaction& t) {
    EXPECT_EQ(t.numberOfCollections(), 3u);
    EXPECT_EQ(t.numberOfKeysInCollection("fruit"), 2u);
    EXPECT_EQ(t.numberOfKeysInCollection("none"), 0u);
    EXPECT_EQ(t.numberOfKeysInAllCollections(), 4u);
    auto collections = t.allCollections();
    ASSERT_TRUE(collections);
    std::sort(collections->begin(), collections->end());
    EXPECT_EQ(*collections, (std::vector<std::string>{"", "fruit", "veg"}));
    auto keys = t.allKeysInCollection("fruit");
    std::sort(keys.begin(), keys.end());
    EXPECT_EQ(keys, (std::vector<std::string>{"a", "b"}));

    const int before = counters->objectReads;
    auto bytes = t.serializedObjectForKey("a", "fruit");
    ASSERT_TRUE(bytes);
    EXPECT_EQ(std::string(bytes->begin(), bytes->end()), "apple");
    auto none = t.serializedMetadataForKey("b", "fruit");
    ASSERT_TRUE(none) << "an existing row without metadata gives empty bytes";
    EXPECT_TRUE(none->empty());
    EXPECT_FALSE(t.serializedObjectForKey("nope", "fruit"));
    platform::Bytes object, metadata;
    EXPECT_TRUE(t.getSerializedObject(&object, &metadata, "c", "veg"));
    EXPECT_EQ(std::string(metadata.begin(), metadata.end()), "orange");
    EXPECT_EQ(counters->objectReads, before) << "raw bytes are never deserialized";
    EXPECT_FALSE(DizInternal(*t.connection()).objectCache->containsKey(DizCollectionKey::make("fruit", "a")));
  });
}

TEST_F(ReadTransaction, ObjectThatDeserializesToNilIsNotCachedButItsRowidIsLearned) {
  write([](DizEvozidizReadWriteTransaction& t) { t.setObject("", "empty", "x"); });
  reader->readWithBlock([&](DizEvozidizReadTransaction& t) {
    EXPECT_TRUE(t.objectForKey("empty", "x").isNil());
    auto ck = DizCollectionKey::make("x", "empty");
    EXPECT_FALSE(DizInternal(*t.connection()).objectCache->containsKey(ck));
    EXPECT_TRUE(DizInternal(*t.connection()).keyCache.containsObject(ck));
    Value object = "stale";
    EXPECT_TRUE(t.getObject(&object, nullptr, "empty", "x"));
    EXPECT_TRUE(object.isNil());
  });
}

// Stored bytes that the deserializer cannot read come back as nil, and every read path says which
// row it could not read.
TEST(ReadTransactionDecoding, UndecodableBytesReadAsNilAndAreReported) {
  zorvel::test::TempDir dir;
  const std::string path = (dir / "store.sqlite").string();
  auto database = DizEvozidiz::create(path);  // the default deserializer: keyed archives
  ASSERT_TRUE(database);
  ASSERT_TRUE(database->newConnection()->readWriteWithBlock(
      [](DizEvozidizReadWriteTransaction& t) { t.setObject(Value("fine"), "good", "c"); }));
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &raw), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(raw, R"(INSERT INTO "database2" ("collection", "key", "data", "metadata")
                                  VALUES ('c', 'bad', x'0102030405', x'0607'))",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(raw);

  const std::vector<std::pair<const char*, std::function<Value(DizEvozidizReadTransaction&)>>> reads = {
      {"objectForKey", [](auto& t) { return t.objectForKey("bad", "c"); }},
      {"metadataForKey", [](auto& t) { return t.metadataForKey("bad", "c"); }},
      {"enumeration",
       [](auto& t) {
         Value found = "none";
         t.enumerateKeysAndObjectsInCollection("c", [&](const std::string& key, const Value& object, bool&) {
           if (key == "bad") found = object;
         });
         return found;
       }},
      {"key list",
       [](auto& t) {
         Value found = "none";
         t.enumerateObjectsForKeys({"bad"}, "c", [&](std::uint64_t, const Value& object, bool&) { found = object; });
         return found;
       }},
  };
  for (const auto& [name, read] : reads) {
    SCOPED_TRACE(name);
    diztest::LogCapture log;
    Value value = "untouched";
    database->newConnection()->readWithBlock([&](DizEvozidizReadTransaction& t) { value = read(t); });
    EXPECT_TRUE(value.isNil());
    const std::string what = std::string(name) == "metadataForKey" ? "metadata" : "object";
    EXPECT_TRUE(log->contains("DizEvozidizTransaction: Unable to deserialize " + what + " for collection(c) key(bad)"));
  }
}

TEST_F(ReadTransaction, ProxiesLoadTheirRowThroughTheTransaction) {
  reader->readWithBlock([&](DizEvozidizReadTransaction& t) {
    std::int64_t rowid = 0;
    ASSERT_TRUE(t.getRowid(&rowid, "a", "fruit"));
    DizProxyObject object, metadata;
    object.resetWithRowid(rowid, DizCollectionKey::make("fruit", "a"), false, t.shared_from_this());
    metadata.resetWithRowid(rowid, DizCollectionKey::make("fruit", "a"), true, t.shared_from_this());
    EXPECT_EQ(object.realObject(), Value("apple"));
    EXPECT_EQ(metadata.realObject(), Value("red"));
  });
}

}  // namespace
