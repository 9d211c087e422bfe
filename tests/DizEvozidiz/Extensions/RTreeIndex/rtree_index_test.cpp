// An R-tree index registered in a real store: its setup rules, the virtual table it makes, range
// queries and counts checked against a brute-force scan of 10,000 random boxes, the rows that lose
// their box, and the mutation and stop rules of its enumerations.

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <set>
#include <thread>

#include "DizEvozidiz/DizEvozidizConnectionInternal.h"
#include "DizEvozidiz/Extensions/RTreeIndex/DizEvozidizRTreeIndex.h"
#include "DizEvozidiz/Extensions/RTreeIndex/DizEvozidizRTreeIndexConnection.h"
#include "DizEvozidiz/Extensions/RTreeIndex/DizEvozidizRTreeIndexTransaction.h"
#include "tests/DizEvozidiz/transaction_test_support.h"

namespace {

using diztest::LogCapture;
using platform::Value;

const std::vector<std::string> kColumns = {"minX", "maxX", "minY", "maxY"};

// Objects of "shapes" are dictionaries of the four coordinates; the handler copies those present.
DizEvozidizRTreeIndexPtr makeIndex(std::optional<std::string> tag = std::nullopt) {
  DizEvozidizRTreeIndexSetup setup;
  EXPECT_TRUE(setup.setColumns(kColumns));
  auto handler =
      DizEvozidizRTreeIndexHandler::withObjectBlock([](DizEvozidizReadTransaction&, DizRTreeIndexValues& values,
                                                       const std::string&, const std::string&, const Value& object) {
        if (!object.isDictionary()) return;
        for (const auto& column : kColumns)
          if (object[column]) values[column] = object[column];
      });
  DizEvozidizRTreeIndexOptions options;
  options.allowedCollections = DizWhitelistBlacklist::withWhitelist({"shapes"});
  return DizEvozidizRTreeIndex::make(setup, handler, std::move(tag), options);
}

struct Box {
  double minX, maxX, minY, maxY;
};

Value boxValue(const Box& b) {
  return Value::dictionary({{"minX", b.minX}, {"maxX", b.maxX}, {"minY", b.minY}, {"maxY", b.maxY}});
}

class RTreeIndex : public diztest::ConnectionFixture {
 protected:
  DizEvozidizRTreeIndexTransactionPtr indexIn(DizEvozidizReadTransaction& t) {
    return std::dynamic_pointer_cast<DizEvozidizRTreeIndexTransaction>(t.ext("geo"));
  }
  std::set<std::string> keysMatching(const DizEvozidizQueryPtr& query) {
    std::set<std::string> keys;
    connection->readWithBlock([&](DizEvozidizReadTransaction& t) {
      EXPECT_TRUE(indexIn(t)->enumerateKeysMatchingQuery(
          query, [&](const std::string&, const std::string& k, bool&) { keys.insert(k); }));
    });
    return keys;
  }
  std::uint64_t countMatching(const DizEvozidizQueryPtr& query) {
    std::uint64_t n = 0;
    connection->readWithBlock(
        [&](DizEvozidizReadTransaction& t) { EXPECT_TRUE(indexIn(t)->getNumberOfRows(&n, query)); });
    return n;
  }
  std::string schemaSql() {
    std::string sql;
    connection->readWithBlock([&](DizEvozidizReadTransaction& t) {
      sqlite3_stmt* s = nullptr;
      sqlite3_prepare_v2(DizInternal(*t.connection()).db,
                         "SELECT sql FROM sqlite_master WHERE name = 'rTreeIndex_geo';", -1, &s, nullptr);
      if (sqlite3_step(s) == SQLITE_ROW) sql = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
      sqlite3_finalize(s);
    });
    return sql;
  }
};

TEST(RTreeIndexSetup, RefusesBadColumnListsAndKeepsThePreviousOne) {
  LogCapture log;
  DizEvozidizRTreeIndexSetup setup;
  ASSERT_TRUE(setup.setColumns({"a", "b"}));
  struct Case {
    const char* label;
    std::vector<std::string> names;
    const char* message;
  } refused[] = {
      {"empty", {}, "2 to 10 columns, and be even"},
      {"one", {"x"}, "2 to 10 columns, and be even"},
      {"three", {"x", "y", "z"}, "2 to 10 columns, and be even"},
      {"eleven", std::vector<std::string>(11, "n"), "2 to 10 columns, and be even"},
      {"twelve", std::vector<std::string>(12, "n"), "2 to 10 columns, and be even"},
      {"ROWID", {"ROWID", "x"}, "columnName is reserved"},
      {"Oid", {"x", "Oid"}, "columnName is reserved"},
      {"_ROWID_", {"_ROWID_", "x"}, "columnName is reserved"},
      {"minX then MINX", {"minX", "MINX"}, "columnName already exists"},
      {"empty name", {"", "x"}, "columnName must be a non-empty string"},
  };
  for (const auto& c : refused) {
    EXPECT_FALSE(setup.setColumns(c.names)) << c.label;
    EXPECT_TRUE(log->contains(c.message)) << c.label;
    EXPECT_EQ(setup.columnNames(), (std::vector<std::string>{"a", "b"})) << c.label;
  }
  const std::vector<std::string> ten = {"a0", "a1", "b0", "b1", "c0", "c1", "d0", "d1", "e0", "e1"};
  EXPECT_TRUE(setup.setColumns(ten));
  EXPECT_EQ(setup.count(), 10u);
  EXPECT_TRUE(setup.setColumns(kColumns));
  EXPECT_TRUE(setup.matchesExistingColumnNamesAndAffinity(
      {{"rowid", "INTEGER"}, {"minX", "real"}, {"maxX", "REAL"}, {"minY", "REAL"}, {"maxY", "REAL"}}));
  EXPECT_FALSE(setup.matchesExistingColumnNamesAndAffinity(
      {{"rowid", "INTEGER"}, {"minX", "TEXT"}, {"maxX", "REAL"}, {"minY", "REAL"}, {"maxY", "REAL"}}));

  auto keyBlock = [](DizEvozidizReadTransaction&, DizRTreeIndexValues&, const std::string&, const std::string&) {};
  EXPECT_EQ(
      DizEvozidizRTreeIndex::make(DizEvozidizRTreeIndexSetup(), DizEvozidizRTreeIndexHandler::withKeyBlock(keyBlock)),
      nullptr);
  EXPECT_EQ(DizEvozidizRTreeIndex::make(setup, nullptr), nullptr);
  EXPECT_EQ(DizEvozidizRTreeIndexHandler::withKeyBlock(nullptr), nullptr);
  auto index = DizEvozidizRTreeIndex::make(setup, DizEvozidizRTreeIndexHandler::withKeyBlock(keyBlock));
  ASSERT_NE(index, nullptr);
  EXPECT_EQ(index->versionTag(), "");
  EXPECT_EQ(DizEvozidizRTreeIndex::tableNameForRegisteredName("geo"), "rTreeIndex_geo");
}

TEST(RTreeIndexHandler, BlockTypesAndDefaultInvokeOptions) {
  struct Case {
    const char* label;
    DizEvozidizRTreeIndexHandler::Ptr handler;
    std::uint64_t type, options;
  } cases[] = {
      {"key", DizEvozidizRTreeIndexHandler::withKeyBlock([](auto&, auto&, auto&, auto&) {}), 0, 0},
      {"object", DizEvozidizRTreeIndexHandler::withObjectBlock([](auto&, auto&, auto&, auto&, auto&) {}), 1, 5},
      {"metadata", DizEvozidizRTreeIndexHandler::withMetadataBlock([](auto&, auto&, auto&, auto&, auto&) {}), 2, 10},
      {"row", DizEvozidizRTreeIndexHandler::withRowBlock([](auto&, auto&, auto&, auto&, auto&, auto&) {}), 3, 15},
      {"object, options 4",
       DizEvozidizRTreeIndexHandler::withOptionsObjectBlock(4, [](auto&, auto&, auto&, auto&, auto&) {}), 1, 4},
  };
  for (const auto& c : cases) {
    ASSERT_NE(c.handler, nullptr) << c.label;
    EXPECT_EQ(c.handler->blockType(), c.type) << c.label;
    EXPECT_EQ(c.handler->blockInvokeOptions(), c.options) << c.label;
  }
}

TEST_F(RTreeIndex, MakesAnRTreeVirtualTableOfRealColumns) {
  ASSERT_TRUE(database->registerExtension(makeIndex("v1"), "geo", connection));
  const std::string sql = schemaSql();
  EXPECT_NE(sql.find("CREATE VIRTUAL TABLE"), std::string::npos) << sql;
  EXPECT_NE(sql.find("USING rtree(\"rowid\" INTEGER PRIMARY KEY, \"minX\" REAL, \"maxX\" REAL, \"minY\" REAL, "
                     "\"maxY\" REAL)"),
            std::string::npos)
      << sql;
}

// Integer coordinates below 2^24 are exact in the R-tree's 32-bit floats, so its answers must equal
// a scan in doubles exactly.
TEST_F(RTreeIndex, RangeQueriesAndCountsMatchABruteForceScan) {
  std::mt19937 random(20261211);
  std::uniform_int_distribution<int> coordinate(0, 10000), extent(0, 300);
  std::vector<Box> boxes;
  for (int i = 0; i < 10000; ++i) {
    const double x = coordinate(random), y = coordinate(random);
    boxes.push_back({x, x + extent(random), y, y + extent(random)});
  }
  // The first half is there before the index (filled at registration), the second half written after.
  ASSERT_TRUE(connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
    for (std::size_t i = 0; i < 5000; ++i) t.setObject(boxValue(boxes[i]), std::to_string(i), "shapes");
    t.setObject(boxValue(boxes[0]), "outside", "elsewhere");  // not an allowed collection
  }));
  ASSERT_TRUE(database->registerExtension(makeIndex(), "geo", connection));
  ASSERT_TRUE(connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
    for (std::size_t i = 5000; i < boxes.size(); ++i) t.setObject(boxValue(boxes[i]), std::to_string(i), "shapes");
  }));
  EXPECT_EQ(countMatching(DizEvozidizQuery::queryMatchingAll()), 10000u);

  for (int round = 0; round < 20; ++round) {
    const double x = coordinate(random), y = coordinate(random);
    const Box window{x, x + extent(random) * 3, y, y + extent(random) * 3};
    std::set<std::string> overlapping, inside;
    for (std::size_t i = 0; i < boxes.size(); ++i) {
      const Box& b = boxes[i];
      if (b.minX <= window.maxX && b.maxX >= window.minX && b.minY <= window.maxY && b.maxY >= window.minY)
        overlapping.insert(std::to_string(i));
      if (b.minX >= window.minX && b.maxX <= window.maxX && b.minY >= window.minY && b.maxY <= window.maxY)
        inside.insert(std::to_string(i));
    }
    auto overlapQuery = DizEvozidizQuery::queryWithFormat("WHERE minX <= ? AND maxX >= ? AND minY <= ? AND maxY >= ?",
                                                          window.maxX, window.minX, window.maxY, window.minY);
    auto insideQuery = DizEvozidizQuery::queryWithFormat("WHERE minX >= ? AND maxX <= ? AND minY >= ? AND maxY <= ?",
                                                         window.minX, window.maxX, window.minY, window.maxY);
    EXPECT_EQ(keysMatching(overlapQuery), overlapping) << "round " << round;
    EXPECT_EQ(keysMatching(insideQuery), inside) << "round " << round;
    EXPECT_EQ(countMatching(overlapQuery), overlapping.size()) << "round " << round;
    EXPECT_EQ(countMatching(insideQuery), inside.size()) << "round " << round;
  }
  // A query matching nothing counts 0 and still succeeds.
  EXPECT_EQ(countMatching(DizEvozidizQuery::queryWithFormat("WHERE minX > ?", 1e9)), 0u);
}

TEST_F(RTreeIndex, RowsThatLoseTheirBoxLeaveTheIndexAndPartialBoxesKeepTheOldOne) {
  ASSERT_TRUE(database->registerExtension(makeIndex(), "geo", connection));
  auto at5 = DizEvozidizQuery::queryWithFormat("WHERE minX <= ? AND maxX >= ?", 5, 5);
  auto at50 = DizEvozidizQuery::queryWithFormat("WHERE minX <= ? AND maxX >= ?", 50, 50);
  struct Case {
    const char* label;
    Value update;
    bool keepsOldBox;
  } cases[] = {
      {"not a dictionary", Value("text"), false},
      {"dictionary without coordinates", Value::dictionary({{"name", "n"}}), false},
      {"every coordinate null",
       Value::dictionary(
           {{"minX", Value::null()}, {"maxX", Value::null()}, {"minY", Value::null()}, {"maxY", Value::null()}}),
       false},
      {"only some coordinates", Value::dictionary({{"minX", 40.0}, {"maxX", 60.0}}), true},
      {"a coordinate that is not a number",
       Value::dictionary({{"minX", 40.0}, {"maxX", "sixty"}, {"minY", 0.0}, {"maxY", 1.0}}), true},
      {"a minimum above its maximum", boxValue({60, 40, 0, 1}), true},
      {"a coordinate that is NaN", boxValue({40, 60, 0, std::nan("")}), true},
  };
  for (const auto& c : cases) {
    put(connection, "k", boxValue({0, 10, 0, 10}), "shapes");
    ASSERT_EQ(keysMatching(at5), std::set<std::string>{"k"}) << c.label;
    put(connection, "k", c.update, "shapes");
    EXPECT_EQ(keysMatching(at5), c.keepsOldBox ? std::set<std::string>{"k"} : std::set<std::string>{}) << c.label;
    EXPECT_TRUE(keysMatching(at50).empty()) << c.label;
  }
  // A new box replaces the old one.
  put(connection, "k", boxValue({45, 55, 0, 1}), "shapes");
  EXPECT_TRUE(keysMatching(at5).empty());
  EXPECT_EQ(keysMatching(at50), std::set<std::string>{"k"});
}

TEST_F(RTreeIndex, RemovalsAndRebuildsKeepTheTableInStep) {
  ASSERT_TRUE(connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
    for (int i = 0; i < 6; ++i) t.setObject(boxValue({double(i), i + 0.5, 0, 1}), std::to_string(i), "shapes");
  }));
  ASSERT_TRUE(database->registerExtension(makeIndex("1"), "geo", connection));
  auto all = DizEvozidizQuery::queryMatchingAll();
  ASSERT_TRUE(connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
    t.removeObjectForKey("0", "shapes");
    t.removeObjectsForKeys({"1", "2", "3"}, "shapes");
  }));
  EXPECT_EQ(keysMatching(all), (std::set<std::string>{"4", "5"}));
  ASSERT_TRUE(connection->readWriteWithBlock(
      [&](DizEvozidizReadWriteTransaction& t) { t.removeAllObjectsInAllCollections(); }));
  EXPECT_EQ(countMatching(all), 0u);

  // A new tag rebuilds from the stored rows.
  put(connection, "a", boxValue({1, 2, 1, 2}), "shapes");
  database->unregisterExtensionWithName("geo");
  ASSERT_TRUE(database->registerExtension(makeIndex("2"), "geo", connection));
  EXPECT_EQ(keysMatching(all), (std::set<std::string>{"a"}));
}

TEST_F(RTreeIndex, EnumerationStopsOnRequestAndRefusesAMutationWithoutStop) {
  ASSERT_TRUE(database->registerExtension(makeIndex(), "geo", connection));
  ASSERT_TRUE(connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
    for (int i = 0; i < 5; ++i) t.setObject(boxValue({double(i), i + 0.5, 0, 1}), std::to_string(i), "shapes");
  }));
  auto all = DizEvozidizQuery::queryMatchingAll();
  connection->readWithBlock([&](DizEvozidizReadTransaction& t) {
    int seen = 0;
    EXPECT_FALSE(indexIn(t)->enumerateKeysMatchingQuery(all, [&](auto&, auto&, bool& stop) { stop = ++seen == 2; }));
    EXPECT_EQ(seen, 2);
    EXPECT_TRUE(indexIn(t)->enumerateKeysMatchingQuery(DizEvozidizQuery::queryWithFormat("WHERE minX > ?", 100),
                                                       [&](auto&, auto&, bool&) {}));
  });
  bool threw = false;
  ASSERT_TRUE(connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
    auto index = std::dynamic_pointer_cast<DizEvozidizRTreeIndexTransaction>(t.ext("geo"));
    try {
      index->enumerateKeysMatchingQuery(all, [&](auto&, const std::string& key, bool&) {
        t.setObject(boxValue({100, 101, 0, 1}), key + "-copy", "shapes");
      });
    } catch (const platform::Exception& e) {
      threw = e.name() == "DizEvozidizException" &&
              e.reason() == "RTreeIndex <RegisteredName=geo> was mutated while being enumerated.";
    }
    // With stop set right after the write, the enumeration ends quietly.
    EXPECT_NO_THROW(index->enumerateKeysMatchingQuery(all, [&](auto&, const std::string& key, bool& stop) {
      t.setObject(boxValue({200, 201, 0, 1}), key + "-again", "shapes");
      stop = true;
    }));
  }));
  EXPECT_TRUE(threw);
}

}  // namespace

namespace {

TEST_F(RTreeIndex, QueryCacheCanBeTurnedOffAndOnWithItsLimitKept) {
  ASSERT_TRUE(database->registerExtension(makeIndex(), "geo", connection));
  auto ext = std::dynamic_pointer_cast<DizEvozidizRTreeIndexConnection>(connection->ext("geo"));
  ASSERT_TRUE(ext);
  EXPECT_TRUE(ext->queryCacheEnabled());
  EXPECT_EQ(ext->queryCacheLimit(), 10u);
  std::thread([&] {
    ext->setQueryCacheLimit(3);
    ext->setQueryCacheEnabled(false);
  }).join();
  EXPECT_EQ(ext->queryCacheLimit(), 3u);  // the getter waits behind the queued setters
  EXPECT_FALSE(ext->queryCacheEnabled());
  put(connection, "a", boxValue({1, 2, 1, 2}), "shapes");
  EXPECT_EQ(keysMatching(DizEvozidizQuery::queryMatchingAll()), (std::set<std::string>{"a"}));
  ext->setQueryCacheEnabled(true);
  EXPECT_TRUE(ext->queryCacheEnabled());
  EXPECT_EQ(ext->queryCacheLimit(), 3u);
  EXPECT_EQ(keysMatching(DizEvozidizQuery::queryMatchingAll()), (std::set<std::string>{"a"}));
}

TEST_F(RTreeIndex, QueryParametersBindByKind) {
  ASSERT_TRUE(database->registerExtension(makeIndex(), "geo", connection));
  put(connection, "a", boxValue({1, 2.5, 0, 1}), "shapes");
  struct Case {
    const char* label;
    DizEvozidizQueryPtr query;
    bool matches;
  } cases[] = {
      {"float bound as a double", DizEvozidizQuery::queryWithFormat("WHERE maxX >= ?", 2.25), true},
      {"float above the box", DizEvozidizQuery::queryWithFormat("WHERE maxX >= ?", 2.75), false},
      {"integer", DizEvozidizQuery::queryWithFormat("WHERE minX >= ?", 1), true},
      {"date as seconds since 2001", DizEvozidizQuery::queryWithFormat("WHERE maxX >= ?", platform::Date(2.0)), true},
      {"later date", DizEvozidizQuery::queryWithFormat("WHERE maxX >= ?", platform::Date(3.0)), false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(keysMatching(c.query), c.matches ? std::set<std::string>{"a"} : std::set<std::string>{}) << c.label;
}

}  // namespace
