// A view whose own tables are damaged in the file: the view is derived from the rows, so the store
// drops and rebuilds it, reports the damage in its log, and goes on taking writes.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "DizEvozidiz/DizEvozidizConnectionInternal.h"
#include "tests/DizEvozidiz/Extensions/Views/view_store_test_support.h"
#include "tests/DizEvozidiz/page_damage_test_support.h"

namespace {

using namespace viewtest;
using diztest::flipBytes;
using diztest::PageMap;
using diztest::pagesOf;

struct Damage {
  const char* label;
  std::vector<std::string> tables;  // whose pages are damaged
  bool rootsOnly;                   // only their root pages
  std::int64_t corruptAction;
  bool foundByWrite;  // the registration reads nothing there: the first write meets the damage
};

void PrintTo(const Damage& d, std::ostream* os) { *os << d.label; }

const std::string kMap = "view_order_map";
const std::string kPage = "view_order_page";
const std::string kPageIndex = "sqlite_autoindex_view_order_page_1";

class ViewDamage : public ::testing::TestWithParam<Damage> {};

TEST_P(ViewDamage, IsRebuiltFromTheRowsAndWritesGoOn) {
  const Damage& c = GetParam();
  zorvel::test::TempDir dir;
  const std::string path = (dir / "store.sqlite").string();
  auto calls = std::make_shared<Calls>();
  std::map<std::string, std::int64_t> rows;
  for (int i = 0; i < 300; ++i) rows["k" + std::to_string(i)] = (i * 7919) % 1000;
  {
    auto database = DizEvozidiz::create(path);
    ASSERT_TRUE(database);
    auto connection = database->newConnection();
    ASSERT_TRUE(connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
      for (const auto& [k, v] : rows) t.setObject(platform::Value(v), k, "things");
    }));
    ASSERT_TRUE(database->registerExtension(makeView(calls, true, "v1"), "order", connection));
    connection.reset();
    diztest::StoreFixture::closeDatabase(database);
  }
  const PageMap map = pagesOf(path, c.tables);
  ASSERT_GT(map.pageSize, 0);
  ASSERT_FALSE(map.roots.empty());
  // The b-tree page header: its type and cell counts no longer make sense.
  flipBytes(path, map.pageSize, c.rootsOnly ? map.roots : map.pages, 0, 8);

  diztest::LogCapture log;
  DizEvozidizOptions options;
  options.corruptAction = c.corruptAction;
  auto database = DizEvozidiz::create(path, options);
  ASSERT_TRUE(database) << "the rows are whole: the file opens";
  auto connection = database->newConnection();
  ASSERT_TRUE(database->registerExtension(makeView(calls, true, "v1"), "order", connection));
  Groups groups;
  if (!c.foundByWrite) {
    connection->readWithBlock([&](DizEvozidizReadTransaction& t) { groups = readGroups(t, "order"); });
    expectSameGroups(groups, expectedGroups(rows), "after registration");
    EXPECT_TRUE(log->contains("damaged")) << "the damage is reported to the application";
  }

  auto write = [&] {
    return connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
      t.setObject(platform::Value(1), "new", "things");
      t.removeObjectForKey("k1", "things");
      t.setObject(platform::Value(2), "k2", "things");
    });
  };
  // A second connection that holds the view (as far as it could read it) from before the repair.
  auto other = database->newConnection();
  other->readWithBlock([&](DizEvozidizReadTransaction& t) { readGroups(t, "order"); });
  if (c.foundByWrite) {
    EXPECT_FALSE(write()) << "the write that meets the damage is not committed in part";
    EXPECT_TRUE(log->contains("damaged")) << "the damage is reported to the application";
  }
  ASSERT_TRUE(write()) << "writes go on";
  rows["k2"] = 2;
  rows["new"] = 1;
  rows.erase("k1");
  connection->readWithBlock([&](DizEvozidizReadTransaction& t) { groups = readGroups(t, "order"); });
  expectSameGroups(groups, expectedGroups(rows), "writer, after a write");
  other->readWithBlock([&](DizEvozidizReadTransaction& t) { groups = readGroups(t, "order"); });
  expectSameGroups(groups, expectedGroups(rows), "other connection, after a write");
  auto later = database->newConnection();
  later->readWithBlock([&](DizEvozidizReadTransaction& t) { groups = readGroups(t, "order"); });
  expectSameGroups(groups, expectedGroups(rows), "new connection, after a write");

  // The file is whole again.
  other->readWithBlock([&](DizEvozidizReadTransaction& t) {
    sqlite3_stmt* s = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(DizInternal(*t.connection()).db, "PRAGMA integrity_check;", -1, &s, nullptr),
              SQLITE_OK);
    ASSERT_EQ(sqlite3_step(s), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)), "ok");
    sqlite3_finalize(s);
  });
  later.reset();
  other.reset();
  connection.reset();
  diztest::StoreFixture::closeDatabase(database);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ViewDamage,
    ::testing::Values(Damage{"RootPages", {kMap, kPage}, true, DizEvozidizCorruptActionFail, false},
                      Damage{"EveryPage", {kMap, kPage, kPageIndex}, false, DizEvozidizCorruptActionFail, false},
                      Damage{"RootPagesWithRename", {kMap, kPage}, true, DizEvozidizCorruptActionRename, false},
                      Damage{"PageIndex", {kPageIndex}, false, DizEvozidizCorruptActionFail, true},
                      Damage{"MapTable", {kMap}, false, DizEvozidizCorruptActionFail, true}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
