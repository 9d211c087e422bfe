// A secondary index registered in a real store: its setup rules, its table kept in step with every
// write kind, queries, counts and aggregates checked against the same SQL run directly on a scratch
// table, the query cache, and the failures it reports instead of answering wrongly.

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <thread>

#include "DizEvozidiz/DizEvozidizConnectionInternal.h"
#include "DizEvozidiz/Extensions/SecondaryIndex/DizEvozidizSecondaryIndex.h"
#include "DizEvozidiz/Extensions/SecondaryIndex/DizEvozidizSecondaryIndexTransaction.h"
#include "tests/DizEvozidiz/transaction_test_support.h"

namespace {

using diztest::LogCapture;
using platform::Value;
using platform::ValueArray;

// Objects of "events" are dictionaries {state, name, score}; the handler indexes them all.
DizEvozidizSecondaryIndexPtr makeIndex(std::optional<std::string> tag = std::nullopt,
                                       std::shared_ptr<std::atomic<int>> calls = nullptr) {
  DizEvozidizSecondaryIndexSetup setup;
  EXPECT_TRUE(setup.addColumn("state", DizSecondaryIndexTypeInteger));
  EXPECT_TRUE(setup.addColumn("name", DizSecondaryIndexTypeText));
  EXPECT_TRUE(setup.addColumn("score", DizSecondaryIndexTypeReal));
  auto handler = DizEvozidizSecondaryIndexHandler::withObjectBlock(
      [calls](DizEvozidizReadTransaction&, DizSecondaryIndexValues& values, const std::string&, const std::string&,
              const Value& object) {
        if (calls) ++*calls;
        if (!object.isDictionary()) return;
        for (const char* column : {"state", "name", "score"})
          if (object[column]) values[column] = object[column];
      });
  DizEvozidizSecondaryIndexOptions options;
  options.allowedCollections = DizWhitelistBlacklist::withWhitelist({"events"});
  return DizEvozidizSecondaryIndex::make(setup, handler, std::move(tag), options);
}

Value event(std::int64_t state, const std::string& name, double score) {
  return Value::dictionary({{"state", state}, {"name", name}, {"score", score}});
}

class SecondaryIndex : public diztest::ConnectionFixture {
 protected:
  DizEvozidizSecondaryIndexTransactionPtr indexIn(DizEvozidizReadTransaction& t,
                                                  const std::string& name = "events_index") {
    return std::dynamic_pointer_cast<DizEvozidizSecondaryIndexTransaction>(t.ext(name));
  }
  std::set<std::string> keysMatching(const DizEvozidizQueryPtr& query) {
    std::set<std::string> keys;
    connection->readWithBlock([&](DizEvozidizReadTransaction& t) {
      EXPECT_TRUE(indexIn(t)->enumerateKeysMatchingQuery(
          query, [&](const std::string&, const std::string& k, bool&) { keys.insert(k); }));
    });
    return keys;
  }
  std::int64_t indexRows() {
    std::int64_t n = -1;
    connection->readWithBlock([&](DizEvozidizReadTransaction& t) {
      sqlite3_stmt* s = nullptr;
      sqlite3_prepare_v2(DizInternal(*t.connection()).db, "SELECT count(*) FROM \"secondaryIndex_events_index\";", -1,
                         &s, nullptr);
      if (sqlite3_step(s) == SQLITE_ROW) n = sqlite3_column_int64(s, 0);
      sqlite3_finalize(s);
    });
    return n;
  }
};

TEST(SecondaryIndexSetup, RefusesReservedExistingAndUnknownColumns) {
  LogCapture log;
  DizEvozidizSecondaryIndexSetup setup;
  EXPECT_TRUE(setup.addColumn("state", DizSecondaryIndexTypeInteger));
  struct Case {
    std::string name;
    std::int64_t type;
    const char* message;
  } refused[] = {
      {"rowid", 0, "columnName is reserved"},
      {"OID", 0, "columnName is reserved"},
      {"_RowId_", 3, "columnName is reserved"},
      {"State", 1, "columnName already exists"},
      {"other", 5, "Invalid type"},
      {"other", -1, "Invalid type"},
      {"", 0, "Invalid columnName: nil"},
  };
  for (const auto& c : refused) {
    EXPECT_FALSE(setup.addColumn(c.name, c.type)) << c.name;
    EXPECT_TRUE(log->contains(c.message)) << c.message;
  }
  EXPECT_EQ(setup.columnNames(), std::vector<std::string>{"state"});
  EXPECT_EQ(setup.columnAtIndex(0)->description(), "<DizEvozidizSecondaryIndexColumn: name(state), type(INTEGER)>");
  EXPECT_EQ(setup.columnAtIndex(1), nullptr);
  EXPECT_TRUE(setup.matchesExistingColumnNamesAndAffinity({{"rowid", "INTEGER"}, {"state", "integer"}}));
  EXPECT_FALSE(setup.matchesExistingColumnNamesAndAffinity({{"rowid", "INTEGER"}, {"state", "TEXT"}}));
  EXPECT_FALSE(DizEvozidizSecondaryIndex::make(
      DizEvozidizSecondaryIndexSetup(),
      DizEvozidizSecondaryIndexHandler::withKeyBlock(
          [](DizEvozidizReadTransaction&, DizSecondaryIndexValues&, const std::string&, const std::string&) {})));
  EXPECT_FALSE(DizEvozidizSecondaryIndex::make(setup, nullptr));
  EXPECT_EQ(DizEvozidizSecondaryIndexHandler::withKeyBlock(nullptr), nullptr);
  EXPECT_EQ(DizEvozidizSecondaryIndexHandler::withRowBlock([](auto&, auto&, auto&, auto&, auto&, auto&) {
            })->blockInvokeOptions(),
            15u);
}

TEST_F(SecondaryIndex, RegistrationFillsTheTableAndEveryWriteKindKeepsItInStep) {
  put(connection, "a", event(1, "alpha", 1.5), "events");
  put(connection, "b", event(2, "beta", 2.5), "events");
  put(connection, "x", event(1, "other", 0), "elsewhere");  // not an allowed collection
  ASSERT_TRUE(database->registerExtension(makeIndex(), "events_index", connection));
  EXPECT_EQ(indexRows(), 2);
  auto stateIs = [](int s) { return DizEvozidizQuery::queryWithFormat("WHERE state = ?", s); };
  EXPECT_EQ(keysMatching(stateIs(1)), (std::set<std::string>{"a"}));

  ASSERT_TRUE(connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
    t.setObject(event(1, "gamma", 3), "c", "events");       // insert
    t.setObject(event(2, "alpha2", 1), "a", "events");      // update
    t.replaceObject(event(1, "beta", 2.5), "b", "events");  // replace object
    t.setObject(Value("not a dictionary"), "d", "events");  // nothing to index
  }));
  EXPECT_EQ(keysMatching(stateIs(1)), (std::set<std::string>{"b", "c"}));
  EXPECT_EQ(keysMatching(stateIs(2)), (std::set<std::string>{"a"}));
  EXPECT_EQ(indexRows(), 3);

  ASSERT_TRUE(connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
    t.setObject(Value("gone"), "c", "events");  // no longer qualifies: its entry goes
    t.removeObjectForKey("a", "events");
  }));
  EXPECT_EQ(keysMatching(DizEvozidizQuery::queryMatchingAll()), (std::set<std::string>{"b"}));
  ASSERT_TRUE(connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
    t.setObject(event(3, "e", 1), "e", "events");
    t.setObject(event(3, "f", 1), "f", "events");
    t.removeObjectsForKeys({"b", "e"}, "events");
  }));
  EXPECT_EQ(keysMatching(DizEvozidizQuery::queryMatchingAll()), (std::set<std::string>{"f"}));
  ASSERT_TRUE(connection->readWriteWithBlock(
      [&](DizEvozidizReadWriteTransaction& t) { t.removeAllObjectsInAllCollections(); }));
  EXPECT_EQ(indexRows(), 0);
}

TEST_F(SecondaryIndex, ValuesOfTheWrongKindStoreNullAndTheRowIsStillWritten) {
  LogCapture log;
  ASSERT_TRUE(database->registerExtension(makeIndex(), "events_index", connection));
  put(connection, "a", Value::dictionary({{"state", "three"}, {"name", 4}, {"score", Value(platform::Date(10.0))}}),
      "events");
  connection->readWithBlock([&](DizEvozidizReadTransaction& t) {
    std::vector<Value> states, names, scores;
    auto all = DizEvozidizQuery::queryMatchingAll();
    auto index = indexIn(t);
    index->enumerateIndexedValuesInColumn("state", all, [&](const Value& v, bool&) { states.push_back(v); });
    index->enumerateIndexedValuesInColumn("name", all, [&](const Value& v, bool&) { names.push_back(v); });
    index->enumerateIndexedValuesInColumn("score", all, [&](const Value& v, bool&) { scores.push_back(v); });
    EXPECT_EQ(states, std::vector<Value>{Value()});
    EXPECT_EQ(names, std::vector<Value>{Value()});
    EXPECT_EQ(scores, std::vector<Value>{Value(10.0)});  // seconds since 2001
  });
  EXPECT_TRUE(log->contains("Column requires NSNumber or NSDate"));
  EXPECT_TRUE(log->contains("Column requires NSString"));
}

// Random writes, then each query through the index and the same SQL on a scratch table.
TEST_F(SecondaryIndex, QueriesCountsAndAggregatesMatchTheSameSqlOnAScratchTable) {
  ASSERT_TRUE(database->registerExtension(makeIndex(), "events_index", connection));
  std::mt19937 random(20261210);
  std::map<std::string, Value> rows;
  for (int round = 0; round < 8; ++round) {
    ASSERT_TRUE(connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
      for (int i = 0; i < 150; ++i) {
        const std::string key = "k" + std::to_string(random() % 400);
        const int action = static_cast<int>(random() % 10);
        if (action < 6) {
          Value v = event(random() % 5, "n" + std::to_string(random() % 7), (random() % 1000) / 10.0);
          t.setObject(v, key, "events");
          rows[key] = v;
        } else if (action < 8 && rows.count(key)) {
          Value v = event(random() % 5, "r", 1.0);
          t.replaceObject(v, key, "events");
          rows[key] = v;
        } else {
          t.removeObjectForKey(key, "events");
          rows.erase(key);
        }
      }
    }));
  }

  sqlite3* scratch = nullptr;
  ASSERT_EQ(sqlite3_open(":memory:", &scratch), SQLITE_OK);
  sqlite3_exec(scratch, "CREATE TABLE t (key TEXT, state INTEGER, name TEXT, score REAL);", nullptr, nullptr, nullptr);
  for (const auto& [key, v] : rows) {
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(scratch, "INSERT INTO t VALUES (?, ?, ?, ?);", -1, &s, nullptr);
    sqlite3_bind_text(s, 1, key.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(s, 2, v["state"].asInt64());
    sqlite3_bind_text(s, 3, v["name"].asString().c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_double(s, 4, v["score"].asDouble());
    sqlite3_step(s);
    sqlite3_finalize(s);
  }
  auto direct = [&](const std::string& select, const DizEvozidizQuery& q, auto&& row) {
    sqlite3_stmt* s = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(scratch, (select + " FROM t " + q.queryString() + ";").c_str(), -1, &s, nullptr),
              SQLITE_OK);
    for (std::size_t i = 0; i < q.queryParameters().size(); ++i) {
      const Value& p = q.queryParameters()[i];
      if (p.isString())
        sqlite3_bind_text(s, int(i + 1), p.asString().c_str(), -1, SQLITE_TRANSIENT);
      else if (p.isDouble())
        sqlite3_bind_double(s, int(i + 1), p.asDouble());
      else if (p.isNumber())
        sqlite3_bind_int64(s, int(i + 1), p.asInt64());
    }
    while (sqlite3_step(s) == SQLITE_ROW) row(s);
    sqlite3_finalize(s);
  };

  const std::vector<DizEvozidizQueryPtr> queries = {
      DizEvozidizQuery::queryMatchingAll(),
      DizEvozidizQuery::queryWithFormat("WHERE state = ?", 2),
      DizEvozidizQuery::queryWithFormat("WHERE state IN (?)", Value::array({0, 3, 4})),
      DizEvozidizQuery::queryWithFormat("WHERE state IN (?)", Value(ValueArray{})),
      DizEvozidizQuery::queryWithFormat("WHERE name = ? AND score > ?", "n3", 40.0),
      DizEvozidizQuery::queryWithFormat("WHERE state IN (?) AND name IN (?)", Value::array({1, 2}),
                                        Value::array({"n1", "r"})),
      DizEvozidizQuery::queryWithFormat("WHERE score BETWEEN ? AND ? ORDER BY score", 10, 50.5),
  };
  for (const auto& q : queries) {
    ASSERT_TRUE(q);
    std::set<std::string> expectedKeys;
    direct("SELECT key", *q,
           [&](sqlite3_stmt* s) { expectedKeys.insert(reinterpret_cast<const char*>(sqlite3_column_text(s, 0))); });
    EXPECT_EQ(keysMatching(q), expectedKeys) << q->queryString();
    std::int64_t expectedCount = -1;
    direct("SELECT COUNT(*)", *q, [&](sqlite3_stmt* s) { expectedCount = sqlite3_column_int64(s, 0); });
    connection->readWithBlock([&](DizEvozidizReadTransaction& t) {
      std::uint64_t count = 99;
      EXPECT_TRUE(indexIn(t)->getNumberOfRows(&count, q));
      EXPECT_EQ(static_cast<std::int64_t>(count), expectedCount) << q->queryString();
      for (const char* aggregate : {"COUNT(state)", "SUM(state)", "MAX(score)", "MIN(name)"}) {
        auto a = DizEvozidizQuery::queryWithAggregateFunctionString(aggregate, q->queryString(), q->queryParameters());
        Value expected;
        direct(std::string("SELECT ") + aggregate, *q, [&](sqlite3_stmt* s) {
          switch (sqlite3_column_type(s, 0)) {
            case SQLITE_INTEGER:
              expected = Value(std::int64_t(sqlite3_column_int64(s, 0)));
              break;
            case SQLITE_FLOAT:
              expected = Value(sqlite3_column_double(s, 0));
              break;
            case SQLITE_TEXT:
              expected = Value(std::string(reinterpret_cast<const char*>(sqlite3_column_text(s, 0))));
              break;
            default:
              expected = Value::null();
          }
        });
        EXPECT_EQ(indexIn(t)->performAggregateQuery(a), expected) << aggregate << " " << q->queryString();
      }
    });
  }
  sqlite3_close(scratch);
}

TEST_F(SecondaryIndex, EnumerationsStopEarlyAndAWriteWithoutStopThrows) {
  ASSERT_TRUE(database->registerExtension(makeIndex(), "events_index", connection));
  ASSERT_TRUE(connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
    for (int i = 0; i < 5; ++i) t.setObject(event(1, "n", i), "k" + std::to_string(i), "events");
  }));
  auto all = DizEvozidizQuery::queryMatchingAll();
  connection->readWithBlock([&](DizEvozidizReadTransaction& t) {
    int seen = 0;
    EXPECT_FALSE(indexIn(t)->enumerateRowsMatchingQuery(
        all, [&](auto&, auto&, auto&, auto&, bool& stop) { stop = ++seen == 2; }));
    EXPECT_EQ(seen, 2);
    EXPECT_TRUE(indexIn(t)->enumerateKeysMatchingQuery(DizEvozidizQuery::queryWithFormat("WHERE state = ?", 9),
                                                       [](auto&, auto&, bool&) {}));
    std::uint64_t count = 7;
    EXPECT_TRUE(indexIn(t)->getNumberOfRows(&count, DizEvozidizQuery::queryWithFormat("WHERE state = ?", 9)));
    EXPECT_EQ(count, 0u);
  });
  ASSERT_TRUE(connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
    auto index = indexIn(t);
    EXPECT_FALSE(index->enumerateKeysMatchingQuery(all, [&](auto&, const std::string& k, bool& stop) {
      t.setObject(event(2, "m", 0), k, "events");
      stop = true;
    }));
    try {
      index->enumerateKeysMatchingQuery(
          all, [&](auto&, const std::string& k, bool&) { t.setObject(event(3, "m", 0), k, "events"); });
      ADD_FAILURE() << "no exception";
    } catch (const platform::Exception& e) {
      EXPECT_EQ(e.name(), "DizEvozidizException");
      EXPECT_STREQ(e.what(), "SecondaryIndex <RegisteredName=events_index> was mutated while being enumerated.");
    }
  }));
}

TEST_F(SecondaryIndex, VersionTagChangeRebuildsAndSameTagLeavesTheTable) {
  auto calls = std::make_shared<std::atomic<int>>(0);
  put(connection, "a", event(1, "a", 1), "events");
  ASSERT_TRUE(database->registerExtension(makeIndex("1", calls), "events_index", connection));
  EXPECT_EQ(calls->load(), 1);
  connection.reset();
  closeDatabase(database);
  database = DizEvozidiz::create(path);
  connection = database->newConnection();
  const std::uint64_t opened = database->snapshot();
  ASSERT_TRUE(database->registerExtension(makeIndex("1", calls), "events_index", connection));
  EXPECT_EQ(calls->load(), 1);  // same tag: not refilled
  EXPECT_EQ(database->snapshot(), opened) << "nothing written, nothing committed";
  database->unregisterExtensionWithName("events_index", connection);
  ASSERT_TRUE(database->registerExtension(makeIndex("2", calls), "events_index", connection));
  EXPECT_EQ(calls->load(), 2);
  EXPECT_EQ(keysMatching(DizEvozidizQuery::queryMatchingAll()), (std::set<std::string>{"a"}));
}

// ---- What would otherwise go wrong ----

TEST_F(SecondaryIndex, TwoIndexesWithTheSameColumnNameEachGetTheirSqlIndex) {
  ASSERT_TRUE(database->registerExtension(makeIndex(), "events_index", connection));
  ASSERT_TRUE(database->registerExtension(makeIndex(), "second", connection));
  std::multiset<std::string> tablesOfStateIndexes;
  connection->readWithBlock([&](DizEvozidizReadTransaction& t) {
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(DizInternal(*t.connection()).db,
                       "SELECT tbl_name FROM sqlite_master WHERE type = 'index' AND sql LIKE '%(\"state\")%';", -1, &s,
                       nullptr);
    while (sqlite3_step(s) == SQLITE_ROW)
      tablesOfStateIndexes.insert(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)));
    sqlite3_finalize(s);
  });
  EXPECT_EQ(tablesOfStateIndexes, (std::multiset<std::string>{"secondaryIndex_events_index", "secondaryIndex_second"}));
}

TEST_F(SecondaryIndex, ANestedRunOfTheSameQueryDoesNotResetTheOuterOne) {
  ASSERT_TRUE(database->registerExtension(makeIndex(), "events_index", connection));
  ASSERT_TRUE(connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
    for (int i = 0; i < 6; ++i) t.setObject(event(i % 2, "n", i), "k" + std::to_string(i), "events");
  }));
  auto q = DizEvozidizQuery::queryWithFormat("WHERE state = ?", 1);
  connection->readWithBlock([&](DizEvozidizReadTransaction& t) {
    auto index = indexIn(t);
    std::vector<std::string> outer;
    EXPECT_TRUE(index->enumerateKeysMatchingQuery(q, [&](auto&, const std::string& k, bool&) {
      outer.push_back(k);
      int inner = 0;
      EXPECT_TRUE(index->enumerateKeysMatchingQuery(q, [&](auto&, auto&, bool&) { ++inner; }));
      EXPECT_EQ(inner, 3);
    }));
    EXPECT_EQ(outer, (std::vector<std::string>{"k1", "k3", "k5"}));
  });
}

TEST_F(SecondaryIndex, BadParameterCountsAndFailedStepsAreFailuresNotZero) {
  LogCapture log;
  ASSERT_TRUE(database->registerExtension(makeIndex(), "events_index", connection));
  put(connection, "a", event(1, "a", 1), "events");
  connection->readWithBlock([&](DizEvozidizReadTransaction& t) {
    auto index = indexIn(t);
    // Built without the builder's checks: one parameter for two placeholders.
    auto mismatched =
        std::make_shared<const DizEvozidizQuery>(std::nullopt, "WHERE state = ? AND name = ?", ValueArray{1});
    std::uint64_t count = 5;
    EXPECT_FALSE(index->getNumberOfRows(&count, mismatched));
    EXPECT_EQ(count, 0u);
    EXPECT_FALSE(index->enumerateKeysMatchingQuery(mismatched, [](auto&, auto&, bool&) { ADD_FAILURE(); }));
    EXPECT_TRUE(log->contains("placeholders; not run"));
    // The log names the whole statement.
    EXPECT_TRUE(log->contains(
        "SELECT COUNT(*) AS NumberOfRows FROM \"secondaryIndex_events_index\" WHERE state = ? AND name = ?;"));
    EXPECT_TRUE(log->contains("SELECT \"rowid\" FROM \"secondaryIndex_events_index\" WHERE state = ? AND name = ?;"));
    // A query that cannot be prepared is a failure, logged with its statement.
    auto unknownColumn = DizEvozidizQuery::queryWithString("WHERE no_such_column = 1", {});
    EXPECT_FALSE(index->enumerateRowidsMatchingQuery(unknownColumn, [](std::int64_t, bool&) { ADD_FAILURE(); }));
    EXPECT_TRUE(log->contains("Error creating query"));
    EXPECT_TRUE(log->contains("SELECT \"rowid\" FROM \"secondaryIndex_events_index\" WHERE no_such_column = 1;"));
    // A step that fails at run time (integer overflow), not at prepare.
    auto failing = DizEvozidizQuery::queryWithString("WHERE abs(-9223372036854775807 - 1) > state", {});
    EXPECT_FALSE(index->getNumberOfRows(&count, failing));
    auto aggregate = DizEvozidizQuery::queryWithAggregateFunctionString("COUNT(state)", failing->queryString(), {});
    EXPECT_TRUE(index->performAggregateQuery(aggregate).isNil());
    EXPECT_TRUE(log->contains("sqlite_step error"));
    EXPECT_EQ(
        index->performAggregateQuery(DizEvozidizQuery::queryWithAggregateFunction("MAX(score)", "WHERE state = ?", 7)),
        Value::null());
    EXPECT_EQ(index->performAggregateQuery(
                  DizEvozidizQuery::queryWithAggregateFunction("COUNT(state)", "WHERE state = ?", 7)),
              Value(0));
    EXPECT_TRUE(index->performAggregateQuery(DizEvozidizQuery::queryMatchingAll()).isNil());
  });
}

TEST_F(SecondaryIndex, QueryCacheSettingsWorkFromAnyThread) {
  ASSERT_TRUE(database->registerExtension(makeIndex(), "events_index", connection));
  auto ext = std::dynamic_pointer_cast<DizEvozidizSecondaryIndexConnection>(connection->ext("events_index"));
  ASSERT_TRUE(ext);
  EXPECT_TRUE(ext->queryCacheEnabled());
  EXPECT_EQ(ext->queryCacheLimit(), 10u);
  std::thread([&] {
    ext->setQueryCacheLimit(3);
    ext->setQueryCacheEnabled(false);
  }).join();
  EXPECT_EQ(ext->queryCacheLimit(), 3u);  // the getter waits behind the queued setters
  EXPECT_FALSE(ext->queryCacheEnabled());
  put(connection, "a", event(1, "a", 1), "events");
  EXPECT_EQ(keysMatching(DizEvozidizQuery::queryMatchingAll()), (std::set<std::string>{"a"}));
  ext->setQueryCacheEnabled(true);
  EXPECT_TRUE(ext->queryCacheEnabled());
  EXPECT_EQ(keysMatching(DizEvozidizQuery::queryMatchingAll()), (std::set<std::string>{"a"}));
}

TEST_F(SecondaryIndex, ConnectionsWithCachedQueriesCloseTheirHandles) {
  ASSERT_TRUE(database->registerExtension(makeIndex(), "events_index", connection));
  put(connection, "a", event(1, "a", 1), "events");
  LogCapture log;
  std::vector<DizEvozidizConnection::Ptr> readers;
  for (std::size_t i = 0; i < database->maxConnectionPoolCount() + 3; ++i) {
    readers.push_back(database->newConnection());
    readers.back()->readWithBlock([&](DizEvozidizReadTransaction& t) {
      std::uint64_t count = 0;
      EXPECT_TRUE(indexIn(t)->getNumberOfRows(&count, DizEvozidizQuery::queryMatchingAll()));  // cached
    });
  }
  readers.clear();
  connection.reset();
  database.reset();
  EXPECT_FALSE(log->contains("Error in sqlite_close"));
}

}  // namespace
