// A store file whose main table has damaged pages: the file still opens (its schema is whole), but
// reads cannot give back rows it holds. A reader can tell such an answer from a missing row, the
// damage is recorded beside the file, and the next opening checks the file and applies the corrupt
// action.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/DizEvozidiz/page_damage_test_support.h"
#include "tests/DizEvozidiz/transaction_test_support.h"

namespace {

namespace fs = std::filesystem;
using diztest::LogCapture;

std::string fileBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// 300 rows in "things", released again.
void makeStore(const std::string& path) {
  auto database = DizEvozidiz::create(path);
  ASSERT_TRUE(database);
  auto connection = database->newConnection();
  ASSERT_TRUE(connection->readWriteWithBlock([](DizEvozidizReadWriteTransaction& t) {
    for (int i = 0; i < 300; ++i)
      t.setObject(platform::Value(std::string(40, 'x') + std::to_string(i)), "k" + std::to_string(i), "things");
  }));
  connection.reset();
  diztest::StoreFixture::closeDatabase(database);
}

// The header of every page of the main table (not its index): keys are found, rows are not.
void damageMainTable(const std::string& path) {
  const diztest::PageMap map = diztest::pagesOf(path, {"database2"});
  ASSERT_GT(map.pageSize, 0);
  ASSERT_FALSE(map.pages.empty());
  diztest::flipBytes(path, map.pageSize, map.pages, 0, 8);
}

DizEvozidizOptions withAction(std::int64_t action) {
  DizEvozidizOptions options;
  options.corruptAction = action;
  return options;
}

TEST(DizDamagedFile, ReadsTellDamageFromAMissingRowAndTheNextOpeningActs) {
  zorvel::test::TempDir dir;
  const std::string path = (dir / "store.sqlite").string();
  const std::string marker = path + "-damaged";
  makeStore(path);
  damageMainTable(path);

  {
    LogCapture log;
    auto database = DizEvozidiz::create(path, withAction(DizEvozidizCorruptActionFail));
    ASSERT_TRUE(database) << "the schema is whole: the damage shows only when rows are read";
    auto connection = database->newConnection();
    connection->readWithBlock([](DizEvozidizReadTransaction& t) {
      EXPECT_FALSE(t.hasMetCorruption());
      EXPECT_TRUE(t.objectForKey("k1", "things").isNil());
      EXPECT_TRUE(t.hasMetCorruption()) << "the nil is damage, not a missing row";
    });
    connection->readWithBlock([](DizEvozidizReadTransaction& t) {
      EXPECT_FALSE(t.hasMetCorruption()) << "each transaction answers for itself";
      std::vector<std::string> keys;
      t.enumerateKeysAndObjectsInCollection(
          "things", [&](const std::string& key, const platform::Value&, bool&) { keys.push_back(key); });
      EXPECT_TRUE(t.hasMetCorruption()) << "an enumeration that ended early";
    });
    EXPECT_TRUE(log->contains("damaged"));
    EXPECT_TRUE(fs::exists(marker)) << "the damage is recorded beside the file";
    connection.reset();
    diztest::StoreFixture::closeDatabase(database);
  }

  // With "fail", the next opening refuses the file and leaves it (and the record) as they are.
  const std::string damaged = fileBytes(path);
  {
    auto database = DizEvozidiz::create(path, withAction(DizEvozidizCorruptActionFail));
    EXPECT_FALSE(database);
    diztest::StoreFixture::drainMainQueue();
  }
  EXPECT_TRUE(fileBytes(path) == damaged);
  EXPECT_TRUE(fs::exists(marker));

  // With "rename", it is moved aside and a new store made in its place.
  auto database = DizEvozidiz::create(path, withAction(DizEvozidizCorruptActionRename));
  ASSERT_TRUE(database);
  EXPECT_TRUE(fileBytes(path + ".0.corrupt") == damaged);
  EXPECT_FALSE(fs::exists(marker));
  auto connection = database->newConnection();
  diztest::StoreFixture::put(connection, "fresh", platform::Value("row"));
  connection->readWithBlock([](DizEvozidizReadTransaction& t) {
    EXPECT_EQ(t.numberOfKeysInCollection("things"), 1u);
    EXPECT_TRUE(t.objectForKey("missing", "things").isNil());
    EXPECT_FALSE(t.hasMetCorruption()) << "a missing row in a whole file is only missing";
  });
  connection.reset();
  diztest::StoreFixture::closeDatabase(database);
}

// A file recorded as damaged is checked when opened: what the check finds decides, never the
// record alone.
TEST(DizDamagedFile, TheRecordLeadsToACheckOfTheFile) {
  struct Case {
    const char* label;
    bool damaged;
    std::int64_t action;
    bool opens;
    bool rowsKept;
    bool movedAside;
  } cases[] = {
      {"whole file: opens with its rows", false, DizEvozidizCorruptActionDelete, true, true, false},
      {"damaged, fail: refused", true, DizEvozidizCorruptActionFail, false, false, false},
      {"damaged, rename: moved aside", true, DizEvozidizCorruptActionRename, true, false, true},
      {"damaged, delete: made anew", true, DizEvozidizCorruptActionDelete, true, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    zorvel::test::TempDir dir;
    const std::string path = (dir / "store.sqlite").string();
    makeStore(path);
    if (c.damaged) damageMainTable(path);
    std::ofstream(path + "-damaged").close();

    auto database = DizEvozidiz::create(path, withAction(c.action));
    EXPECT_EQ(database != nullptr, c.opens);
    EXPECT_EQ(fs::exists(path + "-damaged"), !c.opens) << "the record goes once the file is whole";
    EXPECT_EQ(fs::exists(path + ".0.corrupt"), c.movedAside);
    if (database) {
      auto connection = database->newConnection();
      connection->readWithBlock([&](DizEvozidizReadTransaction& t) {
        EXPECT_EQ(t.numberOfKeysInCollection("things"), c.rowsKept ? 300u : 0u);
        EXPECT_EQ(t.objectForKey("k7", "things").isNil(), !c.rowsKept);
        EXPECT_FALSE(t.hasMetCorruption());
      });
      connection.reset();
      diztest::StoreFixture::closeDatabase(database);
    }
    diztest::StoreFixture::drainMainQueue();
  }
}

}  // namespace
