// Mappings of a view's groups to list sections: counts, ranges, reversal, dynamic sections,
// consolidation and the index conversions, from given counts; updates from a real store.

#include <gtest/gtest.h>

#include "DizEvozidiz/Extensions/Views/Utilities/DizEvozidizViewMappings.h"
#include "tests/DizEvozidiz/Extensions/Views/view_store_test_support.h"

namespace {

using Mappings = DizEvozidizViewMappings;
using Range = DizEvozidizViewRangeOptions;
using Counts = std::vector<std::pair<std::string, std::uint64_t>>;

Mappings updated(std::vector<std::string> groups, const Counts& counts) {
  Mappings m(std::move(groups), "view");
  m.updateWithCounts(counts, true);
  return m;
}

TEST(ViewMappings, NeverUpdatedMappingsShowNothing) {
  Mappings m({"a", "b"}, "view");
  EXPECT_EQ(m.snapshotOfLastUpdate(), UINT64_MAX);
  EXPECT_EQ(m.numberOfSections(), 0u);
  EXPECT_EQ(m.numberOfItemsInSection(0), 0u);
  EXPECT_EQ(m.numberOfItemsInGroup(std::string("a")), 0u);
  EXPECT_TRUE(m.isEmpty());
  EXPECT_FALSE(m.nearestIndexPathForRow(0, std::string("a")));
  Mappings::Group group = "x";
  std::uint64_t index = 0;
  EXPECT_FALSE(m.getGroupIndexForIndexPath(&group, &index, std::nullopt));
  EXPECT_FALSE(group);
  EXPECT_EQ(index, DizViewNotFound);
}

TEST(ViewMappings, DynamicSectionsHideEmptyGroups) {
  auto m = updated({"a", "b", "c"}, {{"a", 2}, {"b", 0}, {"c", 0}});
  EXPECT_EQ(m.visibleGroups(), (std::vector<std::string>{"a", "b", "c"})) << "not dynamic: empty sections stay";
  m.setIsDynamicSection(true, "b");
  m.updateWithCounts({{"a", 2}, {"b", 0}, {"c", 0}}, true);
  EXPECT_EQ(m.visibleGroups(), (std::vector<std::string>{"a", "c"}));
  EXPECT_EQ(m.sectionForGroup(std::string("c")), 1u);
  EXPECT_EQ(m.sectionForGroup(std::string("b")), DizViewNotFound);

  m.setIsDynamicSectionForAllGroups(true);
  m.setIsDynamicSection(false, "c");
  m.updateWithCounts({{"a", 0}, {"b", 0}, {"c", 0}}, true);
  EXPECT_EQ(m.visibleGroups(), (std::vector<std::string>{"c"}));
  EXPECT_TRUE(m.isDynamicSectionForGroup("a"));
  EXPECT_FALSE(m.isDynamicSectionForGroup("c"));
  EXPECT_TRUE(m.isEmpty());
}

TEST(ViewMappings, ConfigurationOfAGroupStaticMappingsLackIsLoggedAndIgnored) {
  diztest::LogCapture log;
  auto m = updated({"a"}, {{"a", 3}});
  m.setIsReversed(true, "zz");
  m.setRangeOptions(Range::fixedRangeWithLength(1, 0, DizViewPinStart), "zz");
  m.setIsDynamicSection(true, "zz");
  m.setCellDrawingDependencyOffsets({1}, "zz");
  EXPECT_FALSE(m.isReversedForGroup("zz"));
  EXPECT_FALSE(m.hasRangeOptionsForGroup("zz"));
  EXPECT_FALSE(m.isDynamicSectionForGroup("zz"));
  EXPECT_FALSE(m.cellDrawingDependencyOffsetsForGroup("zz"));
  EXPECT_TRUE(log->contains("DizEvozidizViewMappings: setIsReversed - mappings doesn't contain group(zz), only: "));

  Mappings dynamic([](const std::string&, DizEvozidizReadTransaction&) { return true; },
                   [](const std::string& a, const std::string& b, DizEvozidizReadTransaction&) { return a.compare(b); },
                   "view");
  dynamic.setIsReversed(true, "zz");
  EXPECT_TRUE(dynamic.isReversedForGroup("zz")) << "dynamic mappings take any group";
}

TEST(ViewMappings, FixedRangePinnedToTheEndShowsTheLastRows) {
  auto m = updated({"g"}, {{"g", 12}});
  m.setRangeOptions(Range::fixedRangeWithLength(5, 0, DizViewPinEnd), "g");
  EXPECT_EQ(m.numberOfItemsInSection(0), 5u);
  EXPECT_EQ(m.indexForRow(0, std::string("g")), 7u);
  EXPECT_EQ(m.indexForRow(4, std::string("g")), 11u);
  EXPECT_EQ(m.indexForRow(5, std::string("g")), DizViewNotFound);
  EXPECT_EQ(m.rowForIndex(7, std::string("g")), 0u);
  EXPECT_EQ(m.rowForIndex(6, std::string("g")), DizViewNotFound);

  // Reversed first, then the range as the first five displayed rows: indexes 11 down to 7.
  auto r = updated({"g"}, {{"g", 12}});
  r.setIsReversed(true, "g");
  r.setRangeOptions(Range::fixedRangeWithLength(5, 0, DizViewPinStart), "g");
  EXPECT_EQ(r._rangeOptionsForGroup("g")->pin(), DizViewPinEnd) << "stored in view order";
  EXPECT_EQ(r.rangeOptionsForGroup("g")->pin(), DizViewPinStart) << "read in display order";
  for (std::uint64_t row = 0; row < 5; ++row) {
    EXPECT_EQ(r.indexForRow(row, std::string("g")), 11 - row);
    EXPECT_EQ(r.rowForIndex(11 - row, std::string("g")), row);
  }
  EXPECT_EQ(r.indexPathForIndex(11, std::string("g")), (DizIndexPath{0, 0}));
}

TEST(ViewMappings, IndexConversionsAgreeBothWaysForEveryShape) {
  struct Case {
    const char* name;
    std::uint64_t length, offset;
    std::int64_t pin;
    bool reversed, withRange;
  } cases[] = {
      {"whole group", 0, 0, 0, false, false},        {"whole group reversed", 0, 0, 0, true, false},
      {"start", 4, 2, DizViewPinStart, false, true}, {"start reversed", 4, 2, DizViewPinStart, true, true},
      {"end", 4, 3, DizViewPinEnd, false, true},     {"end reversed", 4, 3, DizViewPinEnd, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto m = updated({"a", "g"}, {{"a", 2}, {"g", 10}});
    m.setIsReversed(c.reversed, "g");
    if (c.withRange) m.setRangeOptions(Range::fixedRangeWithLength(c.length, c.offset, c.pin), "g");
    const std::uint64_t visible = m.numberOfItemsInGroup(std::string("g"));
    std::set<std::uint64_t> indexes;
    for (std::uint64_t row = 0; row < visible; ++row) {
      const std::uint64_t index = m.indexForRow(row, std::string("g"));
      ASSERT_LT(index, 10u);
      EXPECT_EQ(m.rowForIndex(index, std::string("g")), row);
      Mappings::Group group;
      std::uint64_t back = 0;
      EXPECT_TRUE(m.getGroupIndexForRow(&group, &back, row, 1));
      EXPECT_EQ(group, "g");
      EXPECT_EQ(back, index);
      indexes.insert(index);
    }
    EXPECT_EQ(indexes.size(), visible);
    std::uint64_t hidden = 0;
    for (std::uint64_t index = 0; index < 10; ++index)
      hidden += m.rowForIndex(index, std::string("g")) == DizViewNotFound;
    EXPECT_EQ(hidden, 10 - visible);
  }
}

TEST(ViewMappings, RangesAreClampedToTheRowsThereAre) {
  auto m = updated({"g"}, {{"g", 4}});
  m.setRangeOptions(Range::fixedRangeWithLength(5, 10, DizViewPinStart), "g");
  EXPECT_EQ(m._rangeOptionsForGroup("g")->length(), 0u);
  EXPECT_EQ(m.rangePositionForGroup(std::string("g")), (DizEvozidizViewRangePosition{10, 0, 0}));
  EXPECT_EQ(m.numberOfItemsInGroup(std::string("g")), 0u);

  // Before the first update a range is stored as given, and clamped by the update.
  Mappings early({"g"}, "view");
  early.setRangeOptions(Range::flexibleRangeWithLength(8, 0, DizViewPinStart), "g");
  EXPECT_EQ(early._rangeOptionsForGroup("g")->length(), 8u);
  early.updateWithCounts({{"g", 3}}, false);
  EXPECT_EQ(early._rangeOptionsForGroup("g")->length(), 3u);
  EXPECT_EQ(early.rangePositionForGroup(std::string("g")), (DizEvozidizViewRangePosition{0, 0, 3}));
}

TEST(ViewMappings, RangeOptionsKeepTheirLimits) {
  EXPECT_FALSE(Range::fixedRangeWithLength(0, 0, DizViewPinStart));
  EXPECT_EQ(Range::fixedRangeWithLength(3, 0, 5)->pin(), DizViewPinEnd);
  EXPECT_EQ(Range::fixedRangeWithLength(3, 0, -1)->pin(), DizViewPinEnd);
  auto flexible = *Range::flexibleRangeWithLength(3, 1, DizViewPinStart);
  EXPECT_EQ(flexible.maxLength(), UINT64_MAX);
  flexible.setMinLength(4);
  flexible.setMaxLength(2);
  EXPECT_EQ(flexible.maxLength(), 4u) << "never below minLength";
  flexible.setMinLength(9);
  EXPECT_EQ(flexible.minLength(), 4u) << "never above maxLength";
  flexible.setGrowOptions(4);
  EXPECT_EQ(flexible.growOptions(), DizViewGrowAtPin);
  flexible.setGrowOptions(3);
  EXPECT_EQ(flexible.growOptions(), 3u);
  auto fixed = *Range::fixedRangeWithLength(3, 1, DizViewPinStart);
  EXPECT_EQ(fixed.maxLength(), 3u);
  EXPECT_EQ(fixed.copyAndReverse().pin(), DizViewPinEnd);
  EXPECT_EQ(fixed.copyWithNewLength(2, 7).offset(), 7u);
}

TEST(ViewMappings, DrawingOffsetsOfReversedGroupsAreStoredInViewOrder) {
  auto m = updated({"g"}, {{"g", 4}});
  m.setIsReversed(true, "g");
  m.setCellDrawingDependencyOffsets({0, -1, 2}, "g");
  EXPECT_EQ(m.dependencies().at("g"), (std::set<std::int64_t>{1, -2}));
  EXPECT_EQ(m.cellDrawingDependencyOffsetsForGroup("g"), (std::set<std::int64_t>{-1, 2}));
  EXPECT_EQ(m.cellDrawingDependencyOffsetsForGroup("other"), std::nullopt);
}

TEST(ViewMappings, SmallViewsAreConsolidatedIntoOneSection) {
  diztest::LogCapture log;
  auto m = updated({"a", "b"}, {{"a", 3}, {"b", 4}});
  m.setAutoConsolidateGroupsThreshold(10, "all");
  m.updateWithCounts({{"a", 3}, {"b", 4}}, true);
  EXPECT_TRUE(m.isUsingConsolidatedGroup());
  EXPECT_EQ(m.numberOfSections(), 1u);
  EXPECT_EQ(m.numberOfItemsInSection(0), 7u);
  EXPECT_EQ(m.groupForSection(0), "all");
  EXPECT_EQ(m.visibleGroups(), std::vector<std::string>{"all"});
  Mappings::Group group;
  std::uint64_t index = 0;
  EXPECT_TRUE(m.getGroupIndexForRow(&group, &index, 4, 0));
  EXPECT_EQ(group, "b");
  EXPECT_EQ(index, 1u);
  EXPECT_EQ(m.indexPathForIndex(1, std::string("b")), (DizIndexPath{0, 4}));
  EXPECT_EQ(m.sectionForGroup(std::string("b")), 0u);
  EXPECT_NE(m.description().find("  section(0) group(all) totalCount(7) \n  -> groupOffset(0) group(a) count(3)\n"
                                 "  -> groupOffset(3) group(b) count(4)\n>"),
            std::string::npos)
      << m.description();

  m.updateWithCounts({{"a", 6}, {"b", 4}}, true);
  EXPECT_FALSE(m.isUsingConsolidatedGroup());
  EXPECT_EQ(m.numberOfSections(), 2u);

  m.setAutoConsolidateGroupsThreshold(10, "a");
  EXPECT_EQ(m.autoConsolidateGroupsThreshold(), 0u);
  EXPECT_FALSE(m.consolidatedGroupName());
  EXPECT_TRUE(log->contains("consolidatedGroupName cannot match existing groupName"));
}

TEST(ViewMappings, NearestIndexPathLooksBeforeThenAfter) {
  auto m = updated({"a", "b", "c"}, {{"a", 2}, {"b", 0}, {"c", 3}});
  m.setIsDynamicSectionForAllGroups(true);
  m.updateWithCounts({{"a", 2}, {"b", 0}, {"c", 3}}, true);
  EXPECT_EQ(m.nearestIndexPathForRow(0, std::string("b")), (DizIndexPath{0, 1})) << "last row of the group before";
  EXPECT_EQ(m.nearestIndexPathForRow(9, std::string("c")), (DizIndexPath{1, 2})) << "clamped to the last row";
  m.updateWithCounts({{"a", 0}, {"b", 0}, {"c", 3}}, true);
  EXPECT_EQ(m.nearestIndexPathForRow(0, std::string("a")), (DizIndexPath{0, 0})) << "first row of the next";
  m.updateWithCounts({{"a", 0}, {"b", 0}, {"c", 0}}, true);
  EXPECT_FALSE(m.nearestIndexPathForRow(0, std::string("a")));
  EXPECT_FALSE(m.nearestIndexPathForRow(0, std::string("unknown")));
}

TEST(ViewMappings, CopiesAreIndependent) {
  auto m = updated({"g"}, {{"g", 5}});
  m.setRangeOptions(Range::flexibleRangeWithLength(2, 0, DizViewPinStart), "g");
  auto c = m.copy();
  c.updateRangeOptionsForGroup("g", 4, 1);
  c.setIsReversed(true, "g");
  EXPECT_EQ(m._rangeOptionsForGroup("g")->length(), 2u);
  EXPECT_FALSE(m.isReversedForGroup("g"));
  EXPECT_EQ(c._rangeOptionsForGroup("g")->offset(), 1u);
}

class ViewMappingsInStore : public diztest::StoreFixture {
 protected:
  void SetUp() override {
    StoreFixture::SetUp();
    connection = database->newConnection();
    ASSERT_TRUE(database->registerExtension(viewtest::makeView(calls), "order", connection));
    for (int v : {1, 2, 3, 4, 7}) put(connection, "k" + std::to_string(v), platform::Value(v));
    display = database->newConnection();
  }
  void TearDown() override {
    display.reset();
    connection.reset();
    StoreFixture::TearDown();
  }
  std::shared_ptr<viewtest::Calls> calls = std::make_shared<viewtest::Calls>();
  DizEvozidizConnection::Ptr connection, display;
};

TEST_F(ViewMappingsInStore, UpdatingOutsideALongLivedReadTransactionRaisesAndChangesNothing) {
  Mappings m({"g1", "g2"}, "order");
  display->readWithBlock([&](DizEvozidizReadTransaction& t) {
    try {
      m.updateWithTransaction(t);
      ADD_FAILURE() << "no exception";
    } catch (const platform::Exception& e) {
      EXPECT_EQ(e.name(), "DizEvozidizException");
      EXPECT_EQ(e.reason(), "DizEvozidizViewMappings requires the connection to be in a longLivedReadTransaction.");
      EXPECT_EQ(
          e.userInfo()[std::string(platform::kLocalizedRecoverySuggestionErrorKey)].asString(),
          "You must invoke [databaseConnection beginLongLivedReadTransaction] before you initialize the mappings");
      EXPECT_EQ(e.userInfo()[std::string(platform::kLocalizedFailureReasonErrorKey)].asString().rfind(
                    "The architecture surrounding mappings is designed to move from one longLivedReadTransaction to "
                    "another.",
                    0),
                0u);
    }
  });
  EXPECT_EQ(m.snapshotOfLastUpdate(), UINT64_MAX);
}

TEST_F(ViewMappingsInStore, UpdatesTakeTheCountsOfTheConnectionsSnapshot) {
  display->beginLongLivedReadTransaction();
  Mappings m({"g1", "g2", "g0"}, "order");
  Mappings missing({"g1"}, "no such view");
  Mappings dynamic(
      [](const std::string& g, DizEvozidizReadTransaction&) { return g != "g0"; },
      [](const std::string& a, const std::string& b, DizEvozidizReadTransaction&) { return -a.compare(b); }, "order");
  display->readWithBlock([&](DizEvozidizReadTransaction& t) {
    m.updateWithTransaction(t);
    missing.updateWithTransaction(t);
    dynamic.updateWithTransaction(t);
  });
  EXPECT_EQ(m.snapshotOfLastUpdate(), display->snapshot());
  // 1, 4, 7 -> g1; 2 -> g2; 3 -> g0.
  EXPECT_EQ(m.numberOfItemsInGroup(std::string("g1")), 3u);
  EXPECT_EQ(m.numberOfItemsInSection(1), 1u);
  EXPECT_EQ(m.numberOfItemsInAllGroups(), 5u);
  EXPECT_EQ(missing.numberOfItemsInGroup(std::string("g1")), 0u);
  EXPECT_EQ(missing.numberOfSections(), 1u);
  EXPECT_EQ(dynamic.allGroups(), (std::vector<std::string>{"g2", "g1"}));

  put(connection, "k13", platform::Value(13));  // g1, after the display's snapshot
  display->readWithBlock([&](DizEvozidizReadTransaction& t) { m.updateWithTransaction(t); });
  EXPECT_EQ(m.numberOfItemsInGroup(std::string("g1")), 3u) << "frozen at the long-lived snapshot";
  display->beginLongLivedReadTransaction();
  display->readWithBlock([&](DizEvozidizReadTransaction& t) { m.updateWithTransaction(t); });
  EXPECT_EQ(m.numberOfItemsInGroup(std::string("g1")), 4u);
  display->endLongLivedReadTransaction();
}

}  // namespace
