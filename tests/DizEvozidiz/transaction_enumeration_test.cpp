#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "DizEvozidiz/DizEvozidizConnectionInternal.h"
#include "DizEvozidiz/Utilities/DizMarkers.h"
#include "transaction_test_support.h"

namespace {

using diztest::StoreTest;
using platform::Value;
using Pairs = std::vector<std::pair<std::string, std::string>>;

class Enumeration : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    write([](DizEvozidizReadWriteTransaction& t) {
      for (int i = 0; i < 5; ++i) {
        const std::string k = std::to_string(i);
        t.setObject("b" + k, k, "beta", i % 2 ? Value("mb" + k) : Value());
        t.setObject("a" + k, k, "alpha", "ma" + k);
      }
      t.setObject("g", "0", "gamma");
    });
    reader = database->newConnection();
  }
  DizEvozidizConnection::Ptr reader;
};

TEST_F(Enumeration, FiltersSkipRowsWithoutDeserializingThem) {
  reader->readWithBlock([&](DizEvozidizReadTransaction& t) {
    const int before = counters->objectReads;
    Pairs seen;
    t.enumerateKeysAndObjectsInCollection(
        "alpha", [&](const std::string& key, const Value& object, bool&) { seen.emplace_back(key, object.asString()); },
        [](const std::string& key) { return key == "1" || key == "3"; });
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (Pairs{{"1", "a1"}, {"3", "a3"}}));
    EXPECT_EQ(counters->objectReads, before + 2);

    int calls = 0;
    t.enumerateRowsInAllCollectionsUsingBlock(
        [&](const std::string&, const std::string&, const Value&, const Value&, bool&) { ++calls; },
        [](const std::string&, const std::string&) { return false; });
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(DizInternal(*t.connection()).objectCache->count(), 2u) << "rejected rows change no cache";
  });
}

TEST_F(Enumeration, EveryShapeDeliversItsColumns) {
  reader->readWithBlock([&](DizEvozidizReadTransaction& t) {
    std::vector<std::string> keys;
    t.enumerateKeysInCollection("beta", [&](const std::string& key, bool&) { keys.push_back(key); });
    EXPECT_EQ(keys.size(), 5u);

    Pairs metadata;
    t.enumerateKeysAndMetadataInCollection("beta", [&](const std::string& key, const Value& m, bool&) {
      metadata.emplace_back(key, m.isNil() ? "nil" : m.asString());
    });
    std::sort(metadata.begin(), metadata.end());
    EXPECT_EQ(metadata, (Pairs{{"0", "nil"}, {"1", "mb1"}, {"2", "nil"}, {"3", "mb3"}, {"4", "nil"}}));

    std::map<std::string, std::pair<std::string, std::string>> rows;
    t.enumerateRowsInCollection("alpha", [&](const std::string& key, const Value& o, const Value& m, bool&) {
      rows[key] = {o.asString(), m.asString()};
    });
    EXPECT_EQ(rows["4"], std::make_pair(std::string("a4"), std::string("ma4")));

    std::vector<std::string> collections;
    t.enumerateCollectionsUsingBlock([&](const std::string& c, bool&) { collections.push_back(c); });
    std::sort(collections.begin(), collections.end());
    EXPECT_EQ(collections, (std::vector<std::string>{"alpha", "beta", "gamma"}));
    collections.clear();
    t.enumerateCollectionsForKey("0", [&](const std::string& c, bool&) { collections.push_back(c); });
    EXPECT_EQ(collections.size(), 3u);

    int all = 0;
    t.enumerateKeysInAllCollectionsUsingBlock([&](const std::string&, const std::string&, bool&) { ++all; });
    EXPECT_EQ(all, 11);
  });
}

TEST_F(Enumeration, AllCollectionFormsArriveGroupedByCollection) {
  reader->readWithBlock([&](DizEvozidizReadTransaction& t) {
    std::vector<std::string> order;
    t.enumerateKeysAndObjectsInAllCollectionsUsingBlock(
        [&](const std::string& collection, const std::string&, const Value&, bool&) { order.push_back(collection); });
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
    EXPECT_EQ(order.size(), 11u);
    order.clear();
    t.enumerateKeysAndMetadataInAllCollectionsUsingBlock(
        [&](const std::string& collection, const std::string&, const Value&, bool&) { order.push_back(collection); },
        [](const std::string& collection, const std::string&) { return collection != "beta"; });
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
    EXPECT_EQ(order.size(), 6u);
  });
}

TEST_F(Enumeration, SeveralCollectionsShareOneStatementInArrayOrder) {
  reader->readWithBlock([&](DizEvozidizReadTransaction& t) {
    std::vector<std::string> order;
    t._enumerateRowsInCollections(
        {"gamma", "missing", "alpha"},
        [&](std::int64_t rowid, const std::string& collection, const std::string& key, const Value& object,
            const Value&, bool&) {
          EXPECT_GT(rowid, 0);
          EXPECT_EQ(object.asString().substr(0, 1), collection.substr(0, 1)) << key;
          order.push_back(collection);
        },
        [](std::int64_t, const std::string&, const std::string& key) { return key != "2"; });
    EXPECT_EQ(order, (std::vector<std::string>{"gamma", "alpha", "alpha", "alpha", "alpha"}));

    int keys = 0;
    t._enumerateKeysInCollections({"beta", "gamma"}, [&](std::int64_t, const std::string&, const std::string&,
                                                         bool& stop) { stop = ++keys == 6; });
    EXPECT_EQ(keys, 6) << "stop ends the walk over every collection";
    int none = 0;
    t._enumerateKeysAndObjectsInCollections({}, [&](auto, auto&, auto&, auto&, bool&) { ++none; });
    EXPECT_EQ(none, 0);
  });
}

TEST_F(Enumeration, StopDeliversExactlyOneRowAndNestedEnumerationsRunInFull) {
  reader->readWithBlock([&](DizEvozidizReadTransaction& t) {
    int outer = 0, inner = 0;
    t.enumerateKeysAndObjectsInCollection("alpha", [&](const std::string&, const Value&, bool& stop) {
      ++outer;
      t.enumerateKeysAndObjectsInCollection("alpha", [&](const std::string&, const Value&, bool&) { ++inner; });
      stop = outer == 2;
    });
    EXPECT_EQ(outer, 2);
    EXPECT_EQ(inner, 10);
    int rows = 0;
    t.enumerateRowsInCollection("beta", [&](auto&, auto&, auto&, bool& stop) {
      ++rows;
      stop = true;
    });
    EXPECT_EQ(rows, 1);
  });
}

TEST_F(Enumeration, BoundedCachesAreFilledOnlyUpToTheirLimit) {
  reader->setObjectCacheLimit(2);
  reader->readWithBlock([&](DizEvozidizReadTransaction& t) {
    int rows = 0;
    t.enumerateKeysAndObjectsInCollection("alpha", [&](auto&, auto&, bool&) { ++rows; });
    EXPECT_EQ(rows, 5);
    EXPECT_EQ(DizInternal(*t.connection()).objectCache->count(), 2u);
  });
  reader->setObjectCacheLimit(0);
  reader->readWithBlock([&](DizEvozidizReadTransaction& t) {
    t.enumerateKeysAndObjectsInCollection("alpha", [&](auto&, auto&, bool&) {});
    EXPECT_EQ(DizInternal(*t.connection()).objectCache->count(), 5u);
  });
}

TEST_F(Enumeration, WritingWithoutStopThrowsAfterThatRow) {
  write([&](DizEvozidizReadWriteTransaction& t) {
    int rows = 0;
    try {
      t.enumerateKeysInCollection("alpha", [&](const std::string& key, bool&) {
        ++rows;
        t.setObject("changed", key, "alpha");
      });
      ADD_FAILURE() << "no exception";
    } catch (const platform::Exception& e) {
      EXPECT_EQ(e.name(), "DizEvozidizException");
      const std::string reason = e.reason();
      const std::string head = "Database <DizEvozidizReadWriteTransaction: 0x";
      const std::string tail = "> was mutated while being enumerated.";
      ASSERT_GT(reason.size(), head.size() + tail.size()) << reason;
      EXPECT_EQ(reason.substr(0, head.size()), head);
      EXPECT_EQ(reason.substr(reason.size() - tail.size()), tail);
      const std::string address = reason.substr(head.size(), reason.size() - head.size() - tail.size());
      EXPECT_EQ(address.find_first_not_of("0123456789abcdef"), std::string::npos) << reason;
      EXPECT_EQ(e.userInfo()[platform::kLocalizedRecoverySuggestionErrorKey],
                Value("If you modify the database during enumeration you MUST set the 'stop' parameter of the "
                      "enumeration block to YES (*stop = YES;)."));
    }
    EXPECT_EQ(rows, 1);

    // With stop set, no exception; touches never count as writes.
    rows = 0;
    t.enumerateRowsInCollection("alpha", [&](const std::string& key, auto&, auto&, bool& stop) {
      ++rows;
      t.removeObjectForKey(key, "alpha");
      stop = true;
    });
    EXPECT_EQ(rows, 1);
    rows = 0;
    t.enumerateKeysInCollection("beta", [&](const std::string& key, bool&) {
      ++rows;
      t.touchObjectForKey(key, "beta");
    });
    EXPECT_EQ(rows, 5);

    // Key lists answer from the caches first: a write there raises as well.
    t.objectForKey("0", "beta");
    EXPECT_THROW(
        t.enumerateObjectsForKeys({"0", "1"}, "beta",
                                  [&](std::uint64_t, const Value&, bool&) { t.removeObjectForKey("4", "beta"); }),
        platform::Exception);
  });
}

// ---- Key lists ----

class KeyLists : public Enumeration {
 protected:
  // Lowers the handle's host-parameter limit so that a few keys take several statements.
  static void lowerLimit(DizEvozidizReadTransaction& t, int limit) {
    sqlite3_limit(DizInternal(*t.connection()).db, SQLITE_LIMIT_VARIABLE_NUMBER, limit);
  }
};

TEST_F(KeyLists, EveryIndexIsDeliveredOnceAcrossChunks) {
  // Repeated keys (within one chunk and across chunks) and missing keys, over a limit of 3
  // parameters (two keys per statement).
  const std::vector<std::string> keys = {"0", "nope", "1", "1", "4", "2", "gone", "3", "0"};
  reader->readWithBlock([&](DizEvozidizReadTransaction& t) {
    lowerLimit(t, 3);
    t.objectForKey("3", "alpha");  // cached: delivered before any SQL
    t.metadataForKey("3", "alpha");
    std::vector<std::string> objects(keys.size(), "unset");
    std::vector<std::string> metadata(keys.size(), "unset");
    std::vector<std::uint64_t> order;
    t.enumerateRowsForKeys(keys, "alpha", [&](std::uint64_t index, const Value& o, const Value& m, bool&) {
      ASSERT_LT(index, keys.size());
      EXPECT_EQ(objects[index], "unset") << "index " << index << " delivered twice";
      objects[index] = o.isNil() ? "nil" : o.asString();
      metadata[index] = m.isNil() ? "nil" : m.asString();
      order.push_back(index);
    });
    EXPECT_EQ(objects, (std::vector<std::string>{"a0", "nil", "a1", "a1", "a4", "a2", "nil", "a3", "a0"}));
    EXPECT_EQ(metadata[4], "ma4");
    EXPECT_EQ(order.front(), 7u) << "the cached key comes first";

    std::vector<std::string> onlyObjects(keys.size(), "unset");
    DizInternal(*t.connection()).objectCache->removeAllObjects();
    t.enumerateObjectsForKeys(keys, "alpha", [&](std::uint64_t index, const Value& o, bool&) {
      onlyObjects[index] = o.isNil() ? "nil" : o.asString();
    });
    EXPECT_EQ(onlyObjects, objects);

    std::vector<std::string> onlyMetadata(keys.size(), "unset");
    DizInternal(*t.connection()).metadataCache->removeAllObjects();
    t.enumerateMetadataForKeys(keys, "alpha", [&](std::uint64_t index, const Value& m, bool&) {
      onlyMetadata[index] = m.isNil() ? "nil" : m.asString();
    });
    EXPECT_EQ(onlyMetadata, metadata);

    std::vector<std::int64_t> rowids(keys.size(), 0);
    t._enumerateRowidsForKeys(keys, "alpha", [&](std::uint64_t index, std::int64_t rowid, bool&) {
      EXPECT_EQ(rowids[index], 0) << "index " << index << " delivered twice";
      rowids[index] = rowid;
    });
    for (std::size_t i = 0; i < keys.size(); ++i) {
      std::int64_t expected = 0;
      t.getRowid(&expected, keys[i], "alpha");
      EXPECT_EQ(rowids[i], expected) << keys[i] << " (missing keys are not reported)";
    }
  });
}

TEST_F(KeyLists, StopEndsTheListAndEmptyInputsRunNothing) {
  reader->readWithBlock([&](DizEvozidizReadTransaction& t) {
    lowerLimit(t, 2);
    int calls = 0;
    t.enumerateObjectsForKeys({"0", "1", "2", "3"}, "alpha", [&](std::uint64_t, const Value&, bool& stop) {
      ++calls;
      stop = calls == 3;
    });
    EXPECT_EQ(calls, 3);
    calls = 0;
    t.enumerateRowsForKeys({}, "alpha", [&](auto, auto&, auto&, bool&) { ++calls; });
    t._enumerateRowidsForKeys({"4"}, "alpha", [&](std::uint64_t index, std::int64_t rowid, bool&) {
      EXPECT_EQ(index, 0u);
      EXPECT_GT(rowid, 0);
      ++calls;
    });
    EXPECT_EQ(calls, 1);
  });
}

TEST_F(KeyLists, ThousandsOfKeysFitTheirStatements) {
  std::vector<std::string> keys;
  for (int i = 0; i < 3000; ++i) keys.push_back("a-long-key-name-" + std::to_string(i));
  write([&](DizEvozidizReadWriteTransaction& t) {
    for (std::size_t i = 0; i < keys.size(); i += 2) t.setObject("v", keys[i], "many");
  });
  reader->setObjectCacheEnabled(false);
  reader->readWithBlock([&](DizEvozidizReadTransaction& t) {
    std::size_t found = 0, missing = 0;
    t.enumerateObjectsForKeys(keys, "many",
                              [&](std::uint64_t, const Value& o, bool&) { ++(o.isNil() ? missing : found); });
    EXPECT_EQ(found, 1500u);
    EXPECT_EQ(missing, 1500u);
  });
  write([&](DizEvozidizReadWriteTransaction& t) {
    sqlite3_limit(DizInternal(*t.connection()).db, SQLITE_LIMIT_VARIABLE_NUMBER, 100);
    t.removeObjectsForKeys(keys, "many");
    EXPECT_EQ(DizInternal(*t.connection()).removedKeys->set.size(), 1500u);
    EXPECT_EQ(t.numberOfKeysInCollection("many"), 0u);
  });
}

}  // namespace
