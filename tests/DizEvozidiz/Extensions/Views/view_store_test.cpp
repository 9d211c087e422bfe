// A view registered in a real store: creation and population, upkeep inside every write, commit
// and rollback, other connections, reopening, version changes, and stored chains checked on load.

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <thread>

#include "DizEvozidiz/DizEvozidizConnectionInternal.h"
#include "DizEvozidiz/DizEvozidizInternal.h"
#include "tests/DizEvozidiz/Extensions/Views/view_store_test_support.h"

namespace {

using namespace viewtest;
using diztest::LogCapture;

class ViewStore : public diztest::StoreFixture, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    StoreFixture::SetUp();
    connection = database->newConnection();
  }
  void TearDown() override {
    connection.reset();
    other.reset();
    StoreFixture::TearDown();
  }
  bool persistent() const { return GetParam(); }

  void putRows(const std::map<std::string, std::int64_t>& values) {
    ASSERT_TRUE(connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
      for (const auto& [k, v] : values) t.setObject(platform::Value(v), k, "things");
    }));
    for (const auto& [k, v] : values) rows[k] = v;
  }
  bool registerView(const DizEvozidizViewPtr& view, const std::string& name = "order") {
    return database->registerExtension(view, name, connection);
  }
  Groups groupsOn(const DizEvozidizConnection::Ptr& c, const std::string& name = "order") {
    Groups g;
    c->readWithBlock([&](DizEvozidizReadTransaction& t) { g = readGroups(t, name); });
    return g;
  }
  void reopen() {
    connection.reset();
    other.reset();
    closeDatabase(database);
    database = DizEvozidiz::create(path);
    ASSERT_TRUE(database);
    connection = database->newConnection();
  }
  std::int64_t countRows(const std::string& table) {
    std::int64_t n = -1;
    connection->readWithBlock([&](DizEvozidizReadTransaction& t) {
      sqlite3_stmt* s = nullptr;
      const std::string sql = "SELECT count(*) FROM " + DizEvozidiz::quotedIdentifier(table) + ";";
      if (sqlite3_prepare_v2(DizInternal(*t.connection()).db, sql.c_str(), -1, &s, nullptr) == SQLITE_OK &&
          sqlite3_step(s) == SQLITE_ROW)
        n = sqlite3_column_int64(s, 0);
      sqlite3_finalize(s);
    });
    return n;
  }

  std::shared_ptr<Calls> calls = std::make_shared<Calls>();
  DizEvozidizConnection::Ptr connection;
  DizEvozidizConnection::Ptr other;
  std::map<std::string, std::int64_t> rows;
};

INSTANTIATE_TEST_SUITE_P(PersistentAndInMemory, ViewStore, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Persistent" : "InMemory"; });

TEST_P(ViewStore, RegistrationPopulatesFromStoredRowsAndWritesKeepItSorted) {
  std::map<std::string, std::int64_t> initial;
  for (int i = 0; i < 300; ++i) initial["k" + std::to_string(i)] = (i * 7919) % 1000;
  putRows(initial);
  ASSERT_TRUE(registerView(makeView(calls, persistent())));
  expectSameGroups(groupsOn(connection), expectedGroups(rows), "after registration");

  ASSERT_TRUE(connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
    t.setObject(platform::Value(1), "new", "things");                 // inserted first of g1
    t.setObject(platform::Value(3), "k1", "things");                  // moves to g0
    t.removeObjectForKey("k2", "things");                             // leaves
    t.replaceObject(platform::Value(10), "k3", "things");             // leaves the view (multiple of 5)
    t.removeObjectsForKeys({"k4", "k5", "missing", "k6"}, "things");  // a batch
    t.setObject(platform::Value(4), "elsewhere", "other");            // not grouped
  }));
  rows["new"] = 1;
  rows["k1"] = 3;
  rows["k3"] = 10;
  for (const char* k : {"k2", "k4", "k5", "k6"}) rows.erase(k);
  expectSameGroups(groupsOn(connection), expectedGroups(rows), "writer");
  other = database->newConnection();
  expectSameGroups(groupsOn(other), expectedGroups(rows), "other connection");
}

TEST_P(ViewStore, EqualRowsKeepTheirArrivalOrder) {
  ASSERT_TRUE(registerView(makeView(calls, persistent())));
  ASSERT_TRUE(connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
    for (int i = 0; i < 120; ++i) t.setObject(platform::Value(i % 2 ? 7 : 4), "k" + std::to_string(i), "things");
  }));
  auto groups = groupsOn(connection);
  std::vector<std::string> expected7, expected4;
  for (int i = 0; i < 120; ++i) (i % 2 ? expected7 : expected4).push_back("k" + std::to_string(i));
  std::vector<std::string> g1, g1Expected = expected4;  // 4 % 3 == 1, 7 % 3 == 1
  g1Expected.insert(g1Expected.end(), expected7.begin(), expected7.end());
  for (const auto& [k, v] : groups["g1"]) g1.push_back(k);
  EXPECT_EQ(g1, g1Expected);
}

TEST_P(ViewStore, RollbackLeavesTheViewAsCommitted) {
  putRows({{"a", 1}, {"b", 2}, {"c", 4}});
  ASSERT_TRUE(registerView(makeView(calls, persistent())));
  const auto before = groupsOn(connection);
  EXPECT_FALSE(connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
    for (int i = 0; i < 200; ++i) t.setObject(platform::Value(i), "r" + std::to_string(i), "things");
    t.removeObjectForKey("a", "things");
    t.rollback();
  }));
  EXPECT_EQ(groupsOn(connection), before);
  putRows({{"d", 7}});
  expectSameGroups(groupsOn(connection), expectedGroups(rows), "after the next commit");
  other = database->newConnection();
  expectSameGroups(groupsOn(other), expectedGroups(rows), "other connection");
}

TEST_P(ViewStore, RemoveAllEmptiesTheView) {
  putRows({{"a", 1}, {"b", 2}, {"c", 4}});
  ASSERT_TRUE(registerView(makeView(calls, persistent())));
  ASSERT_TRUE(connection->readWriteWithBlock(
      [&](DizEvozidizReadWriteTransaction& t) { t.removeAllObjectsInAllCollections(); }));
  EXPECT_TRUE(groupsOn(connection).empty());
  putRows({{"d", 7}});
  other = database->newConnection();
  EXPECT_EQ(groupsOn(other), (Groups{{"g1", {{"d", 7}}}}));
}

TEST_P(ViewStore, CommitNotificationCarriesTheChangeLog) {
  ASSERT_TRUE(registerView(makeView(calls, persistent())));
  drainMainQueue();  // the registration's own notification
  std::vector<platform::NotificationPtr> notifications;
  auto observer = platform::NotificationCenter::defaultCenter()->addObserver(
      "DizEvozidizModifiedNotification", nullptr, nullptr,
      [&](const platform::NotificationPtr& n) { notifications.push_back(n); });
  putRows({{"a", 1}, {"b", 2}});
  platform::runMainLoopUntil([&] { return !notifications.empty(); }, 5);
  platform::NotificationCenter::defaultCenter()->removeObserver(observer);
  ASSERT_EQ(notifications.size(), 1u);
  auto viewConnection = std::dynamic_pointer_cast<DizEvozidizViewConnection>(connection->ext("order"));
  ASSERT_TRUE(viewConnection);
  EXPECT_TRUE(viewConnection->hasChangesForNotifications(notifications));
  EXPECT_EQ(viewConnection->numberOfRawChangesForNotifications(notifications), 4u);  // 2 section + 2 row inserts
  EXPECT_TRUE(viewConnection->hasChangesForGroup("g2", notifications));
  EXPECT_FALSE(viewConnection->hasChangesForGroup("g0", notifications));
  EXPECT_FALSE(viewConnection->hasChangesForGroup(std::nullopt, notifications));
}

// A persistent view survives the process: same groups, no closure run to get them.
TEST(ViewStoreReopen, PersistentViewReopensWithoutRepopulating) {
  zorvel::test::TempDir dir;
  const std::string path = (dir / "store.sqlite").string();
  auto calls = std::make_shared<Calls>();
  Groups before;
  {
    auto database = DizEvozidiz::create(path);
    auto connection = database->newConnection();
    ASSERT_TRUE(connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
      for (int i = 0; i < 500; ++i) t.setObject(platform::Value((i * 37) % 211), "k" + std::to_string(i), "things");
    }));
    ASSERT_TRUE(database->registerExtension(makeView(calls, true, "v1"), "order", connection));
    connection->readWithBlock([&](DizEvozidizReadTransaction& t) { before = readGroups(t, "order"); });
    ASSERT_FALSE(before.empty());
  }
  diztest::StoreFixture::drainMainQueue();
  // Another process, in effect: the registration and the connections start from the file.
  auto database = DizEvozidiz::create(path);
  auto connection = database->newConnection();
  calls->grouping = 0;
  calls->sorting = 0;
  const std::uint64_t opened = database->snapshot();
  ASSERT_TRUE(database->registerExtension(makeView(calls, true, "v1"), "order", connection));
  EXPECT_EQ(database->snapshot(), opened) << "the same tag writes nothing, so nothing is committed";
  Groups after;
  connection->readWithBlock([&](DizEvozidizReadTransaction& t) { after = readGroups(t, "order"); });
  EXPECT_EQ(after, before);
  EXPECT_EQ(calls->grouping, 0);
  EXPECT_EQ(calls->sorting, 0);
  auto second = database->newConnection();
  Groups seen;
  second->readWithBlock([&](DizEvozidizReadTransaction& t) { seen = readGroups(t, "order"); });
  EXPECT_EQ(seen, before);

  // A new tag rebuilds it from the rows.
  second.reset();
  connection.reset();
  diztest::StoreFixture::closeDatabase(database);
  database = DizEvozidiz::create(path);
  connection = database->newConnection();
  const std::uint64_t reopened = database->snapshot();
  ASSERT_TRUE(database->registerExtension(makeView(calls, true, "v2"), "order", connection));
  EXPECT_EQ(database->snapshot(), reopened + 1);
  EXPECT_GT(calls->grouping, 0);
  connection->readWithBlock([&](DizEvozidizReadTransaction& t) {
    EXPECT_EQ(readGroups(t, "order"), before);
    EXPECT_EQ(t.stringValueForKey("versionTag", "order"), "v2");
    std::int32_t v = 0;
    EXPECT_TRUE(t.getIntValue(&v, "classVersion", "order"));
    EXPECT_EQ(v, 3);
  });
  connection.reset();
  database.reset();
  diztest::StoreFixture::drainMainQueue();
}

TEST_F(ViewStore, OlderLayoutsAndTagsAreUpgraded) {
  putRows({{"a", 1}, {"b", 2}});
  struct Case {
    const char* name;
    std::optional<int> classVersion;
    std::optional<int> oldVersion;  // the integer "version" of old layouts
    std::string tag;
    bool repopulates;
  } cases[] = {
      {"v2layout", 2, std::nullopt, "", true},
      {"v1layout", 1, std::nullopt, "", true},
      {"oldVersionKey", 3, 7, "7", false},
      {"oldVersionKeyChanged", 3, 7, "8", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
      if (c.classVersion) t.setIntValue(*c.classVersion, "classVersion", c.name);
      if (c.oldVersion) t.setIntValue(*c.oldVersion, "version", c.name);
      // Tables of the stored layout, with a page that would hide rows if it were kept.
      sqlite3_exec(DizInternal(*t.connection()).db,
                   (std::string("CREATE TABLE \"view_") + c.name + "_key\" (x); CREATE TABLE \"view_" + c.name +
                    "_map\" (\"rowid\" INTEGER PRIMARY KEY, \"pageKey\" CHAR NOT NULL); CREATE TABLE \"view_" + c.name +
                    "_page\" (\"pageKey\" CHAR NOT NULL PRIMARY KEY, \"group\" CHAR NOT NULL, \"prevPageKey\" CHAR, "
                    "\"count\" INTEGER, \"data\" BLOB);")
                       .c_str(),
                   nullptr, nullptr, nullptr);
    }));
    calls->grouping = 0;
    const std::uint64_t before = database->snapshot();
    ASSERT_TRUE(registerView(makeView(calls, true, c.tag), c.name));
    EXPECT_EQ(calls->grouping > 0, c.repopulates);
    EXPECT_EQ(database->snapshot(), before + 1) << "an upgrade writes, so it commits";
    connection->readWithBlock([&](DizEvozidizReadTransaction& t) {
      std::int32_t v = 0;
      EXPECT_TRUE(t.getIntValue(&v, "classVersion", c.name));
      EXPECT_EQ(v, 3);
      EXPECT_EQ(t.stringValueForKey("versionTag", c.name), c.tag);
      EXPECT_FALSE(t.getIntValue(nullptr, "version", c.name));
      EXPECT_EQ(
          DizEvozidizInternal::tableExists(std::string("view_") + c.name + "_key", DizInternal(*t.connection()).db),
          c.classVersion != 1);
    });
    if (c.repopulates) expectSameGroups(groupsOn(connection, c.name), expectedGroups(rows), c.name);
  }
}

TEST_F(ViewStore, PreviousVersionTagReadsEveryOlderForm) {
  ASSERT_TRUE(connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
    t.setStringValue("tag1", "versionTag", "a");
    t.setIntValue(2, "version", "b");
    t.setStringValue("DizEvozidizFilteredView", "class", "c");
    t.setStringValue("filtered", "tag", "c");
  }));
  connection->readWithBlock([&](DizEvozidizReadTransaction& t) {
    EXPECT_EQ(DizEvozidizView::previousVersionTagForRegisteredViewName("a", t), "tag1");
    EXPECT_EQ(DizEvozidizView::previousVersionTagForRegisteredViewName("b", t), "2");
    EXPECT_EQ(DizEvozidizView::previousVersionTagForRegisteredViewName("c", t), "filtered");
    EXPECT_EQ(DizEvozidizView::previousVersionTagForRegisteredViewName("d", t), std::nullopt);
  });
}

TEST_F(ViewStore, ViewConfigurationDefaults) {
  auto view = DizEvozidizView::make(nullptr, nullptr);
  EXPECT_EQ(view->versionTag(), "");
  EXPECT_TRUE(view->isPersistent());
  DizEvozidizViewOptions options;
  options.isPersistent = false;
  auto memoryView = DizEvozidizView::make(nullptr, nullptr, "t", options);
  options.isPersistent = true;  // the view keeps its own copy
  EXPECT_FALSE(memoryView->isPersistent());
  EXPECT_EQ(memoryView->mapTableName(), "view__map");  // not registered: empty name
  EXPECT_EQ(DizEvozidizView::pageMetadataTableNameForRegisteredName("x"), "view_x_pageMetadata");
  EXPECT_FALSE(memoryView->getState(nullptr, 0));  // no commit heard of yet
}

// Registered names are quoted as identifiers wherever they reach SQL.
TEST_F(ViewStore, AnyRegisteredNameWorksAndNoneInjectsSql) {
  const std::string name = "evil\"; DROP TABLE database2; --";
  putRows({{"a", 1}, {"b", 2}});
  ASSERT_TRUE(registerView(makeView(calls, true), name));
  putRows({{"c", 4}});
  expectSameGroups(groupsOn(connection, name), expectedGroups(rows), "quoted name");
  EXPECT_EQ(countRows("view_" + name + "_map"), 3);
  database->unregisterExtensionWithName(name, connection);
  connection->readWithBlock([&](DizEvozidizReadTransaction& t) {
    EXPECT_FALSE(DizEvozidizInternal::tableExists("view_" + name + "_map", DizInternal(*t.connection()).db));
    EXPECT_EQ(t.numberOfKeysInCollection("things"), 3u);
  });
}

TEST_F(ViewStore, OnlyChangedPagesAndMapRowsAreWritten) {
  // 120 rows of g1: stored as pages of 50, 20 and 50 rows in sorted order.
  std::vector<std::int64_t> values;
  for (std::int64_t v = 1; values.size() < 120; v += 3)
    if (v % 5 != 0) values.push_back(v);
  std::map<std::string, std::int64_t> initial;
  for (std::size_t i = 0; i < values.size(); ++i) initial["k" + std::to_string(i)] = values[i];
  putRows(initial);
  ASSERT_TRUE(registerView(makeView(calls, true)));
  EXPECT_EQ(countRows("view_order_page"), 3);
  struct Counts {
    int page = 0, map = 0, other = 0;
  } counts;
  auto hook = [](void* p, int, const char*, const char* table, sqlite3_int64) {
    auto* c = static_cast<Counts*>(p);
    const std::string t = table;
    if (t == "view_order_page")
      ++c->page;
    else if (t == "view_order_map")
      ++c->map;
    else if (t != "database2" && t != "diz2")
      ++c->other;
  };
  ASSERT_TRUE(connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
    sqlite3_update_hook(DizInternal(*t.connection()).db, hook, &counts);
    t.setObject(platform::Value(2), "alone", "things");         // a new group g2: its page and map row
    t.setObject(platform::Value(values[55]), "tie", "things");  // after the equal row 55: the middle page
  }));
  EXPECT_TRUE(connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
    sqlite3_update_hook(DizInternal(*t.connection()).db, nullptr, nullptr);
  }));
  EXPECT_EQ(counts.map, 2);
  EXPECT_EQ(counts.page, 2);
  EXPECT_EQ(counts.other, 0);
  rows["alone"] = 2;
  rows["tie"] = values[55];
  expectSameGroups(groupsOn(connection), expectedGroups(rows), "after the writes");
}

TEST_F(ViewStore, MemoryViewUnderAFormerlyPersistentNameDropsTheOldTables) {
  putRows({{"a", 1}});
  ASSERT_TRUE(registerView(makeView(calls, true)));
  database->unregisterExtensionWithName("order", connection);
  // An old persistent layout left behind (as after a crash or an older release).
  ASSERT_TRUE(connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
    t.setIntValue(3, "classVersion", "order");
    sqlite3_exec(DizInternal(*t.connection()).db,
                 "CREATE TABLE \"view_order_map\" (x); CREATE TABLE \"view_order_page\" (x);", nullptr, nullptr,
                 nullptr);
  }));
  ASSERT_TRUE(registerView(makeView(calls, false)));
  connection->readWithBlock([&](DizEvozidizReadTransaction& t) {
    EXPECT_FALSE(DizEvozidizInternal::tableExists("view_order_map", DizInternal(*t.connection()).db));
    EXPECT_FALSE(DizEvozidizInternal::tableExists("view_order_page", DizInternal(*t.connection()).db));
    EXPECT_FALSE(t.getIntValue(nullptr, "classVersion", "order"));
  });
  expectSameGroups(groupsOn(connection), expectedGroups(rows), "memory view");
}

TEST_F(ViewStore, BrokenStoredChainsAreRebuiltFromTheRows) {
  std::map<std::string, std::int64_t> initial;
  for (int i = 0; i < 200; ++i) initial["k" + std::to_string(i)] = i;
  putRows(initial);
  ASSERT_TRUE(registerView(makeView(calls, true)));
  struct Damage {
    const char* name;
    const char* sql;
  } damages[] = {
      {"missing previous page",
       "UPDATE \"view_order_page\" SET \"prevPageKey\" = 'nowhere' WHERE \"prevPageKey\" IS NOT NULL "
       "AND rowid = (SELECT max(rowid) FROM \"view_order_page\" WHERE \"prevPageKey\" IS NOT NULL);"},
      {"count against blob",
       "UPDATE \"view_order_page\" SET \"count\" = \"count\" + 1 WHERE rowid = (SELECT min(rowid) FROM "
       "\"view_order_page\");"},
  };
  for (const auto& d : damages) {
    SCOPED_TRACE(d.name);
    ASSERT_TRUE(connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
      ASSERT_EQ(sqlite3_exec(DizInternal(*t.connection()).db, d.sql, nullptr, nullptr, nullptr), SQLITE_OK);
    }));
    // A new process loads the damaged tables: the view is registered again with the same tag.
    reopen();
    ASSERT_TRUE(registerView(makeView(calls, true)));
    {
      LogCapture log;
      connection->readWithBlock(
          [&](DizEvozidizReadTransaction& t) { EXPECT_FALSE(t.ext("order")) << "damaged view served"; });
      EXPECT_TRUE(log->contains("DizEvozidizViewTransaction"));
    }
    ASSERT_TRUE(connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
      ASSERT_TRUE(t.ext("order"));
      t.setObject(platform::Value(1001), "late" + std::string(d.name), "things");
    }));
    rows["late" + std::string(d.name)] = 1001;
    expectSameGroups(groupsOn(connection), expectedGroups(rows), "rebuilt");
    reopen();
    ASSERT_TRUE(registerView(makeView(calls, true)));
    expectSameGroups(groupsOn(connection), expectedGroups(rows), "loaded after the rebuild");
  }
}

// Random inserts, updates that move rows between groups, replaces, touches, single and batch
// removals over many transactions (some rolled back): after every commit, the writer and a second
// connection must both show a plain sort of the stored rows. ZORVEL_VIEW_ORACLE_ROUNDS and
// ZORVEL_VIEW_ORACLE_SEED run it longer or differently.
TEST_P(ViewStore, OracleMatchesPlainSortAfterEveryCommit) {
  const char* roundsText = std::getenv("ZORVEL_VIEW_ORACLE_ROUNDS");
  const char* seedText = std::getenv("ZORVEL_VIEW_ORACLE_SEED");
  const int rounds = roundsText ? std::atoi(roundsText) : 60;
  const unsigned seed = seedText ? static_cast<unsigned>(std::atoi(seedText)) : 1210u;
  std::mt19937 rng(seed);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  ASSERT_TRUE(registerView(makeView(calls, persistent())));
  other = database->newConnection();
  int nextKey = 0;
  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE("seed " + std::to_string(seed) + " round " + std::to_string(round));
    auto next = rows;
    const bool rollBack = pick(10) == 0;
    const int ops = round % 20 == 5 ? 900 : 1 + pick(40);
    const bool committed = connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
      auto randomKey = [&]() {
        auto it = next.begin();
        std::advance(it, pick(static_cast<int>(next.size())));
        return it->first;
      };
      for (int op = 0; op < ops; ++op) {
        const int kind = next.empty() ? 0 : pick(100);
        const std::int64_t value = pick(300);
        if (kind < 45) {
          const std::string key = "k" + std::to_string(nextKey++);
          t.setObject(platform::Value(value), key, "things");
          next[key] = value;
        } else if (kind < 65) {
          const std::string key = randomKey();
          t.setObject(platform::Value(value), key, "things");
          next[key] = value;
        } else if (kind < 75) {
          const std::string key = randomKey();
          t.replaceObject(platform::Value(value), key, "things");
          next[key] = value;
        } else if (kind < 80) {
          t.touchObjectForKey(randomKey(), "things");
        } else if (kind < 92) {
          const std::string key = randomKey();
          t.removeObjectForKey(key, "things");
          next.erase(key);
        } else if (kind < 99) {
          std::vector<std::string> keys;
          for (int i = 0; i < 5; ++i) keys.push_back(pick(4) == 0 ? "absent" + std::to_string(i) : randomKey());
          t.removeObjectsForKeys(keys, "things");
          for (const auto& k : keys) next.erase(k);
        } else {
          t.removeAllObjectsInCollection("things");
          next.clear();
        }
      }
      if (rollBack) t.rollback();
    });
    ASSERT_EQ(committed, !rollBack);
    if (committed) rows = std::move(next);
    expectSameGroups(groupsOn(connection), expectedGroups(rows), "writer");
    expectSameGroups(groupsOn(other), expectedGroups(rows), "reader");
    if (HasFailure()) return;
  }
}

}  // namespace

namespace {

// Readers on their own connections, each reading the stored rows and the view in one transaction,
// while a writer commits: every snapshot a reader sees must show the view of exactly its rows.
TEST(ViewStoreConcurrency, ReadersSeeTheViewOfTheirSnapshotWhileAWriterCommits) {
  zorvel::test::TempDir dir;
  auto database = DizEvozidiz::create((dir / "store.sqlite").string());
  auto writer = database->newConnection();
  auto calls = std::make_shared<Calls>();
  for (bool persistent : {true, false}) {
    const std::string name = persistent ? "order" : "memoryOrder";
    ASSERT_TRUE(database->registerExtension(makeView(calls, persistent), name, writer));
  }
  std::atomic<bool> done{false};
  std::atomic<int> checks{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&, r] {
      auto connection = database->newConnection();
      while (!done) {
        connection->readWithBlock([&](DizEvozidizReadTransaction& t) {
          std::map<std::string, std::int64_t> rows;
          t.enumerateKeysAndObjectsInCollection(
              "things", [&](const std::string& k, const platform::Value& v, bool&) { rows[k] = v.asInt64(); });
          const auto expected = expectedGroups(rows);
          for (const char* name : {"order", "memoryOrder"})
            expectSameGroups(readGroups(t, name), expected, std::string(name) + " reader " + std::to_string(r));
        });
        ++checks;
      }
    });
  }
  std::mt19937 rng(5);
  for (int i = 0; i < 150; ++i) {
    EXPECT_TRUE(writer->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
      for (int j = 0; j < 5; ++j) {
        const std::string key = "k" + std::to_string(rng() % 80);
        if (rng() % 4 == 0)
          t.removeObjectForKey(key, "things");
        else
          t.setObject(platform::Value(static_cast<std::int64_t>(rng() % 200)), key, "things");
      }
    }));
  }
  done = true;
  for (auto& t : readers) t.join();
  EXPECT_GT(checks, 0);
  writer.reset();
  database.reset();
  diztest::StoreFixture::drainMainQueue();
}

}  // namespace

namespace {

using namespace viewtest;

using ViewStoreMends = diztest::ConnectionFixture;

// The grouping reads the metadata and reruns when it changes; the sorting reads the object and never
// reruns. A metadata change that moves the row to another group must still place it by its object.
TEST_F(ViewStoreMends, RowMovedByItsGroupIsPlacedByTheSortingsValues) {
  auto grouping = DizEvozidizViewGrouping::withMetadataBlock(
      [](DizEvozidizReadTransaction&, const std::string&, const std::string&, const platform::Value& metadata) {
        return metadata.isString() ? std::optional<std::string>(metadata.asString()) : std::nullopt;
      });
  auto sorting = DizEvozidizViewSorting::withOptionsObjectBlock(
      0, [](DizEvozidizReadTransaction&, const std::string&, const std::string&, const std::string&,
            const platform::Value& o1, const std::string&, const std::string&, const platform::Value& o2) {
        return o1.asInt64() < o2.asInt64() ? -1 : (o1.asInt64() > o2.asInt64() ? 1 : 0);
      });
  ASSERT_TRUE(database->registerExtension(DizEvozidizView::make(grouping, sorting), "order", connection));
  ASSERT_TRUE(connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
    for (int i = 1; i <= 9; ++i)
      t.setObject(platform::Value(i * 10), "b" + std::to_string(i), "things", platform::Value("b"));
    t.setObject(platform::Value(55), "mover", "things", platform::Value("a"));
  }));
  ASSERT_TRUE(connection->readWriteWithBlock(
      [&](DizEvozidizReadWriteTransaction& t) { t.replaceMetadata(platform::Value("b"), "mover", "things"); }));
  connection->readWithBlock([&](DizEvozidizReadTransaction& t) {
    auto view = std::dynamic_pointer_cast<DizEvozidizViewTransaction>(t.ext("order"));
    ASSERT_TRUE(view);
    EXPECT_FALSE(view->hasGroup("a"));
    ASSERT_EQ(view->numberOfItemsInGroup("b"), 10u);
    EXPECT_EQ(view->collectionKeyAtIndex(5, "b")->key(), "mover");  // between 50 and 60
  });
}

// A write of the view's own tables that fails takes the whole transaction with it.
TEST_F(ViewStoreMends, FailedViewWriteRollsTheTransactionBack) {
  auto calls = std::make_shared<Calls>();
  ASSERT_TRUE(database->registerExtension(makeView(calls, true), "order", connection));
  put(connection, "a", platform::Value(1));
  ASSERT_TRUE(connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
    ASSERT_EQ(
        sqlite3_exec(DizInternal(*t.connection()).db, "DROP TABLE \"view_order_page\";", nullptr, nullptr, nullptr),
        SQLITE_OK);
  }));
  connection->flushMemoryWithFlags(2);  // the view's statements are prepared again, and fail
  platform::ErrorPtr error;
  EXPECT_FALSE(connection->readWriteWithBlock(
      [&](DizEvozidizReadWriteTransaction& t) { t.setObject(platform::Value(2), "b", "things"); }, &error));
  EXPECT_TRUE(error);
  EXPECT_TRUE(get(connection, "b").isNil());
}

// The view's statements are finalized before its connection closes or pools its SQLite handle.
TEST_F(ViewStoreMends, ConnectionsWithViewStatementsCloseTheirHandles) {
  auto calls = std::make_shared<Calls>();
  ASSERT_TRUE(database->registerExtension(makeView(calls, true), "order", connection));
  put(connection, "a", platform::Value(1));
  diztest::LogCapture log;
  // More than the pool keeps: some handles are closed at once, the others when the pool empties.
  std::vector<DizEvozidizConnection::Ptr> readers;
  for (std::size_t i = 0; i < database->maxConnectionPoolCount() + 3; ++i) {
    readers.push_back(database->newConnection());
    readers.back()->readWithBlock([&](DizEvozidizReadTransaction& t) {
      auto view = std::dynamic_pointer_cast<DizEvozidizViewTransaction>(t.ext("order"));
      ASSERT_TRUE(view);
      EXPECT_EQ(view->groupForKey("a", "things"), "g1");  // prepares the view's map statement
    });
  }
  readers.clear();
  connection.reset();
  database.reset();
  EXPECT_FALSE(log->contains("Error in sqlite_close"));
}

TEST_F(ViewStoreMends, AllowedCollectionsKeepOtherRowsFromTheGrouping) {
  auto calls = std::make_shared<Calls>();
  auto base = makeView(calls, true);
  DizEvozidizViewOptions options;
  options.allowedCollections = DizWhitelistBlacklist::withWhitelist({"things"});
  auto view = DizEvozidizView::make(base->grouping(), base->sorting(), "", options);
  ASSERT_TRUE(connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
    t.setObject(platform::Value(1), "a", "things");
    t.setObject(platform::Value(2), "a", "other");
  }));
  ASSERT_TRUE(database->registerExtension(view, "order", connection));
  EXPECT_EQ(calls->grouping, 1);
  put(connection, "b", platform::Value(4), "other");
  put(connection, "b", platform::Value(4), "things");
  EXPECT_EQ(calls->grouping, 2);
}

}  // namespace
