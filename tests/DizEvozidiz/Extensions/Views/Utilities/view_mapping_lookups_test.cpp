// Reading a view through mappings: displayed rows and sections to the view's rows, and back.

#include <gtest/gtest.h>

#include "DizEvozidiz/Extensions/Views/DizEvozidizViewTransaction.h"
#include "DizEvozidiz/Extensions/Views/Utilities/DizEvozidizViewMappings.h"
#include "tests/DizEvozidiz/Extensions/Views/view_store_test_support.h"

namespace {

using Mappings = DizEvozidizViewMappings;
using platform::Value;
constexpr const char* kCollection = "things";

// The view groups by value % 3 and leaves out multiples of 5. Shown: g2 first, then g1 reversed;
// g0 is left out of the mappings.
class ViewMappingLookups : public diztest::StoreFixture {
 protected:
  void SetUp() override {
    StoreFixture::SetUp();
    connection = database->newConnection();
    ASSERT_TRUE(database->registerExtension(viewtest::makeView(calls), "order", connection));
    for (auto [key, value] : std::initializer_list<std::pair<const char*, std::int64_t>>{
             {"one", 1}, {"four", 4}, {"seven", 7}, {"two", 2}, {"eight", 8}, {"three", 3}, {"five", 5}})
      put(connection, key, Value(value));
    mappings.setIsReversed(true, "g1");
    connection->beginLongLivedReadTransaction();
    connection->readWithBlock([&](DizEvozidizReadTransaction& t) { mappings.updateWithTransaction(t); });
  }
  void TearDown() override {
    connection.reset();
    StoreFixture::TearDown();
  }
  template <class Block>
  void read(Block block) {
    connection->readWithBlock([&](DizEvozidizReadTransaction& t) {
      auto view = std::dynamic_pointer_cast<DizEvozidizViewTransaction>(t.ext("order"));
      ASSERT_TRUE(view);
      block(*view);
    });
  }

  std::shared_ptr<viewtest::Calls> calls = std::make_shared<viewtest::Calls>();
  DizEvozidizConnection::Ptr connection;
  Mappings mappings{{"g2", "g1"}, "order"};
};

TEST_F(ViewMappingLookups, DisplayedRowsReadTheirRowsAndRowsFindTheirPlace) {
  struct Case {
    std::uint64_t section, row;
    const char* key;
    std::int64_t value;
  };
  const Case cases[] = {
      {0, 0, "two", 2}, {0, 1, "eight", 8}, {1, 0, "seven", 7}, {1, 1, "four", 4}, {1, 2, "one", 1},
  };
  read([&](DizEvozidizViewTransaction& view) {
    for (const auto& c : cases) {
      SCOPED_TRACE(c.key);
      std::string key, collection = "stale";
      EXPECT_TRUE(view.getKey(&key, &collection, c.row, c.section, &mappings));
      EXPECT_EQ(key, c.key);
      EXPECT_EQ(collection, kCollection);
      EXPECT_TRUE(view.getKey(&key, nullptr, DizIndexPath{c.section, c.row}, &mappings));
      EXPECT_EQ(key, c.key);
      std::int64_t rowid = 0;
      DizCollectionKeyPtr ck;
      EXPECT_TRUE(view.getRowid(&rowid, &ck, c.row, c.section, &mappings));
      EXPECT_NE(rowid, 0);
      ASSERT_TRUE(ck);
      EXPECT_EQ(ck->key(), c.key);
      EXPECT_EQ(view.objectAtRow(c.row, c.section, &mappings), Value(c.value));
      EXPECT_EQ(view.objectAtIndexPath(DizIndexPath{c.section, c.row}, &mappings), Value(c.value));
      EXPECT_TRUE(view.metadataAtIndexPath(DizIndexPath{c.section, c.row}, &mappings).isNil());

      EXPECT_EQ(view.indexPathForKey(c.key, kCollection, &mappings), (DizIndexPath{c.section, c.row}));
      std::uint64_t row = 99, section = 99;
      EXPECT_TRUE(view.getRow(&row, &section, c.key, kCollection, &mappings));
      EXPECT_EQ(row, c.row);
      EXPECT_EQ(section, c.section);
    }
  });
}

TEST_F(ViewMappingLookups, WhatTheMappingsDoNotShowAnswersNothing) {
  read([&](DizEvozidizViewTransaction& view) {
    std::string key = "stale", collection = "stale";
    std::int64_t rowid = 7;
    DizCollectionKeyPtr ck = DizCollectionKey::make("c", "k");
    // Past the end of a section, a section that does not exist, no mappings, no index path.
    EXPECT_FALSE(view.getRowid(&rowid, &ck, 2, 0, &mappings));
    EXPECT_EQ(rowid, 0);
    EXPECT_FALSE(ck);
    EXPECT_FALSE(view.getKey(&key, &collection, 0, 2, &mappings));
    EXPECT_EQ(key, "");
    EXPECT_EQ(collection, "");
    EXPECT_FALSE(view.getKey(&key, &collection, 0, 0, nullptr));
    EXPECT_FALSE(view.getKey(&key, &collection, std::nullopt, &mappings));
    EXPECT_TRUE(view.objectAtRow(3, 1, &mappings).isNil());
    EXPECT_TRUE(view.objectAtIndexPath(std::nullopt, &mappings).isNil());
    EXPECT_TRUE(view.metadataAtRow(0, 0, nullptr).isNil());

    // A row in a group the mappings leave out, a row the view leaves out, a missing row.
    for (const char* missing : {"three", "five", "nobody"}) {
      SCOPED_TRACE(missing);
      EXPECT_EQ(view.indexPathForKey(missing, kCollection, &mappings), std::nullopt);
      std::uint64_t row = 9, section = 9;
      EXPECT_FALSE(view.getRow(&row, &section, missing, kCollection, &mappings));
      EXPECT_EQ(row, 0u);
      EXPECT_EQ(section, 0u);
    }
    EXPECT_EQ(view.indexPathForKey("two", kCollection, nullptr), std::nullopt);
  });
}

}  // namespace
