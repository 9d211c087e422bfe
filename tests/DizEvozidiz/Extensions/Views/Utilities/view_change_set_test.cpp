// The change-set pipeline on hand-made raw logs: folding several records of a row, sections,
// dependencies, replayed indexes, reversal and ranges.

#include <gtest/gtest.h>

#include "DizEvozidiz/Extensions/Views/Utilities/DizEvozidizViewChangeSet.h"

namespace {

using Mappings = DizEvozidizViewMappings;
using Row = DizEvozidizViewRowChange;
using SectionChange = DizEvozidizViewSectionChange;
using Counts = std::vector<std::pair<std::string, std::uint64_t>>;

DizCollectionKeyPtr key(const std::string& k) { return DizCollectionKey::make("things", k); }

struct Result {
  DizEvozidizViewChange::SectionChanges sections;
  DizEvozidizViewChange::RowChanges rows;
};

Result run(Mappings& original, Mappings& finalMappings, const platform::ValueArray& log) {
  Result r;
  DizEvozidizViewChange::getSectionChanges(&r.sections, &r.rows, original, finalMappings, log);
  return r;
}

// Mappings over the given groups, updated to `before` and a copy updated to `after`.
std::pair<Mappings, Mappings> mappings(const Counts& before, const Counts& after,
                                       const std::function<void(Mappings&)>& configure = {}) {
  std::vector<std::string> groups;
  for (const auto& [g, n] : before) groups.push_back(g);
  Mappings original(groups, "view");
  if (configure) configure(original);
  original.updateWithCounts(before, true);
  Mappings finalMappings = original.copy();
  finalMappings.updateWithCounts(after, false);
  return {original, finalMappings};
}

TEST(ViewChangeSet, AnEmptyLogGivesNoChangesAndKeepsTheRanges) {
  auto [o, f] = mappings({{"g", 10}}, {{"g", 10}}, [](Mappings& m) {
    m.setRangeOptions(DizEvozidizViewRangeOptions::flexibleRangeWithLength(4, 0, DizViewPinStart), "g");
  });
  auto r = run(o, f, {});
  EXPECT_TRUE(r.sections.empty());
  EXPECT_TRUE(r.rows.empty());
  EXPECT_EQ(f._rangeOptionsForGroup("g")->length(), 4u);
  EXPECT_FALSE(f.isUsingConsolidatedGroup());
}

TEST(ViewChangeSet, RecordsOfOneRowFoldIntoOne) {
  {
    SCOPED_TRACE("insert then delete: nothing");
    auto [o, f] = mappings({{"g", 3}}, {{"g", 3}});
    auto r = run(o, f, {Row::insertCollectionKey(key("a"), "g", 1), Row::deleteCollectionKey(key("a"), "g", 1)});
    EXPECT_TRUE(r.rows.empty());
  }
  {
    SCOPED_TRACE("delete then insert: one move");
    auto [o, f] = mappings({{"g", 3}, {"h", 1}}, {{"g", 2}, {"h", 2}});
    auto r = run(o, f, {Row::deleteCollectionKey(key("a"), "g", 0), Row::insertCollectionKey(key("a"), "h", 1)});
    ASSERT_EQ(r.rows.size(), 1u);
    EXPECT_EQ(r.rows[0]->type(), DizViewChangeMove);
    EXPECT_EQ(r.rows[0]->indexPath(), (DizIndexPath{0, 0}));
    EXPECT_EQ(r.rows[0]->newIndexPath(), (DizIndexPath{1, 1}));
  }
  {
    SCOPED_TRACE("updates: one update with every bit");
    auto [o, f] = mappings({{"g", 3}}, {{"g", 3}});
    auto r = run(o, f,
                 {Row::updateCollectionKey(key("a"), "g", 2, DizViewChangedObject),
                  Row::updateCollectionKey(key("a"), "g", 2, DizViewChangedMetadata)});
    ASSERT_EQ(r.rows.size(), 1u);
    EXPECT_EQ(r.rows[0]->type(), DizViewChangeUpdate);
    EXPECT_EQ(r.rows[0]->changes(), DizViewChangedObject | DizViewChangedMetadata);
  }
  {
    SCOPED_TRACE("update then delete: a delete at the original place");
    auto [o, f] = mappings({{"g", 4}}, {{"g", 3}});
    auto r = run(o, f,
                 {Row::insertCollectionKey(key("new"), "g", 0), Row::updateCollectionKey(key("a"), "g", 3, 1),
                  Row::deleteCollectionKey(key("new"), "g", 0), Row::deleteCollectionKey(key("a"), "g", 2)});
    ASSERT_EQ(r.rows.size(), 1u);
    EXPECT_EQ(r.rows[0]->type(), DizViewChangeDelete);
    EXPECT_EQ(r.rows[0]->indexPath(), (DizIndexPath{0, 2}));
  }
}

TEST(ViewChangeSet, SectionRecordsFold) {
  {
    SCOPED_TRACE("group inserted and deleted: nothing");
    auto [o, f] = mappings({{"g", 1}, {"h", 0}}, {{"g", 1}, {"h", 0}},
                           [](Mappings& m) { m.setIsDynamicSectionForAllGroups(true); });
    auto r = run(o, f,
                 {SectionChange::insertGroup("h"), Row::insertCollectionKey(key("a"), "h", 0),
                  Row::deleteCollectionKey(key("a"), "h", 0), SectionChange::deleteGroup("h")});
    EXPECT_TRUE(r.sections.empty());
    EXPECT_TRUE(r.rows.empty());
  }
  {
    SCOPED_TRACE("reset then insert: the row deletes stay");
    auto [o, f] = mappings({{"g", 2}}, {{"g", 1}}, [](Mappings& m) { m.setIsDynamicSectionForAllGroups(true); });
    auto r = run(o, f,
                 {Row::updateCollectionKey(key("x"), "g", 0, 1), SectionChange::resetGroup("g"),
                  SectionChange::insertGroup("g"), Row::insertCollectionKey(key("b"), "g", 0)});
    EXPECT_TRUE(r.sections.empty());
    ASSERT_EQ(r.rows.size(), 3u);
    EXPECT_EQ(r.rows[0]->description(),
              "<DizEvozidizViewRowChange: Delete indexPath(0, 1) newIndexPath(nil) group(g) collectionKey((null))>");
    EXPECT_EQ(r.rows[1]->indexPath(), (DizIndexPath{0, 0}));
    EXPECT_EQ(r.rows[2]->newIndexPath(), (DizIndexPath{0, 0}));
  }
  {
    SCOPED_TRACE("insert of a group that has no final section: dropped");
    auto [o, f] = mappings({{"g", 1}}, {{"g", 1}});
    auto r = run(o, f, {SectionChange::insertGroup("elsewhere")});
    EXPECT_TRUE(r.sections.empty());
  }
  {
    SCOPED_TRACE("a dynamic group that empties loses its section");
    auto [o, f] = mappings({{"g", 1}, {"h", 1}}, {{"g", 1}, {"h", 0}},
                           [](Mappings& m) { m.setIsDynamicSectionForAllGroups(true); });
    auto r = run(o, f, {Row::deleteCollectionKey(key("a"), "h", 0), SectionChange::deleteGroup("h")});
    ASSERT_EQ(r.sections.size(), 1u);
    EXPECT_EQ(r.sections[0]->description(), "<DizEvozidizViewSectionChange: Delete section(1) group(h)>");
  }
}

TEST(ViewChangeSet, DrawingDependenciesAddUpdatesOfNeighbours) {
  auto dependsOn = [](std::int64_t offset) {
    return [offset](Mappings& m) { m.setCellDrawingDependencyForNeighboringCellWithOffset(offset, "g"); };
  };
  {
    SCOPED_TRACE("offset -1, insert at 3");
    auto [o, f] = mappings({{"g", 5}}, {{"g", 6}}, dependsOn(-1));
    auto r = run(o, f, {Row::insertCollectionKey(key("a"), "g", 3)});
    ASSERT_EQ(r.rows.size(), 2u);
    EXPECT_EQ(r.rows[0]->type(), DizViewChangeInsert);
    EXPECT_EQ(r.rows[0]->finalIndex(), 3u);
    EXPECT_EQ(r.rows[1]->type(), DizViewChangeUpdate);
    EXPECT_EQ(r.rows[1]->changes(), DizViewChangedDependency);
    EXPECT_EQ(r.rows[1]->originalIndex(), 3u);
    EXPECT_EQ(r.rows[1]->finalIndex(), 4u);
  }
  {
    SCOPED_TRACE("offset -1, insert at the end: no row after it");
    auto [o, f] = mappings({{"g", 4}}, {{"g", 5}}, dependsOn(-1));
    EXPECT_EQ(run(o, f, {Row::insertCollectionKey(key("a"), "g", 4)}).rows.size(), 1u);
  }
  {
    SCOPED_TRACE("offset -1, delete at 3");
    auto [o, f] = mappings({{"g", 5}}, {{"g", 4}}, dependsOn(-1));
    auto r = run(o, f, {Row::deleteCollectionKey(key("a"), "g", 3)});
    ASSERT_EQ(r.rows.size(), 2u);
    EXPECT_EQ(r.rows[1]->type(), DizViewChangeUpdate);
    EXPECT_EQ(r.rows[1]->originalIndex(), 4u);
    EXPECT_EQ(r.rows[1]->finalIndex(), 3u);
  }
  {
    SCOPED_TRACE("offset +1, insert at 0");
    auto [o, f] = mappings({{"g", 5}}, {{"g", 6}}, dependsOn(1));
    EXPECT_EQ(run(o, f, {Row::insertCollectionKey(key("a"), "g", 0)}).rows.size(), 1u);
  }
}

TEST(ViewChangeSet, IndexesAreThoseBeforeAndAfterTheWholeChangeSet) {
  auto [o, f] = mappings({{"g", 2}}, {{"g", 4}});
  auto r = run(o, f, {Row::insertCollectionKey(key("a"), "g", 0), Row::insertCollectionKey(key("b"), "g", 0)});
  ASSERT_EQ(r.rows.size(), 2u);
  EXPECT_EQ(r.rows[0]->finalIndex(), 1u);
  EXPECT_EQ(r.rows[1]->finalIndex(), 0u);

  auto [o2, f2] = mappings({{"g", 5}}, {{"g", 4}});
  r = run(o2, f2,
          {Row::deleteCollectionKey(key("a"), "g", 0), Row::updateCollectionKey(key("c"), "g", 2, 1),
           Row::insertCollectionKey(key("z"), "g", 0)});
  ASSERT_EQ(r.rows.size(), 3u);
  EXPECT_EQ(r.rows[1]->originalIndex(), 3u) << "the update's row was at 3 before the delete";
  EXPECT_EQ(r.rows[1]->finalIndex(), 3u) << "and is at 3 after the insert";
}

TEST(ViewChangeSet, ReversedGroupsCountFromTheOtherEnd) {
  auto [o, f] = mappings({{"g", 4}}, {{"g", 5}}, [](Mappings& m) { m.setIsReversed(true, "g"); });
  auto r = run(o, f, {Row::insertCollectionKey(key("a"), "g", 0)});
  ASSERT_EQ(r.rows.size(), 1u);
  EXPECT_EQ(r.rows[0]->finalIndex(), 4u);
}

// An index past the visible rows of a reversed group reflects to a negative number; it is kept at 0
// instead of wrapping around to a huge unsigned index.
TEST(ViewChangeSet, ReflectionPastTheVisibleRowsStopsAtZero) {
  auto [o, f] = mappings({{"g", 2}}, {{"g", 2}}, [](Mappings& m) { m.setIsReversed(true, "g"); });
  DizEvozidizViewChange::RowChanges rows = {Row::insertCollectionKey(key("a"), "g", 7)};
  DizEvozidizViewChange::postProcessAndFilterRowChanges(rows, o, f);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]->finalIndex(), 0u);
}

TEST(ViewChangeSet, RangesFilterAndFillTheWindow) {
  auto range = [](std::int64_t pin) {
    return [pin](Mappings& m) { m.setRangeOptions(DizEvozidizViewRangeOptions::fixedRangeWithLength(3, 0, pin), "g"); };
  };
  {
    SCOPED_TRACE("a row leaving G from outside its window is an insert elsewhere");
    auto [o, f] = mappings({{"g", 6}, {"h", 0}}, {{"g", 5}, {"h", 1}}, range(DizViewPinStart));
    auto r = run(o, f, {Row::deleteCollectionKey(key("a"), "g", 4), Row::insertCollectionKey(key("a"), "h", 0)});
    ASSERT_EQ(r.rows.size(), 1u);
    EXPECT_EQ(r.rows[0]->type(), DizViewChangeInsert);
    EXPECT_EQ(r.rows[0]->newIndexPath(), (DizIndexPath{1, 0}));
  }
  {
    SCOPED_TRACE("an insert at the top pushes the last shown row out");
    auto [o, f] = mappings({{"g", 6}}, {{"g", 7}}, range(DizViewPinStart));
    auto r = run(o, f, {Row::insertCollectionKey(key("a"), "g", 0)});
    ASSERT_EQ(r.rows.size(), 2u);
    EXPECT_EQ(r.rows[0]->newIndexPath(), (DizIndexPath{0, 0}));
    EXPECT_EQ(r.rows[1]->type(), DizViewChangeDelete);
    EXPECT_EQ(r.rows[1]->indexPath(), (DizIndexPath{0, 2}));
  }
  {
    SCOPED_TRACE("a delete inside a window pinned to the end pulls a row in at the top");
    auto [o, f] = mappings({{"g", 6}}, {{"g", 5}}, range(DizViewPinEnd));
    auto r = run(o, f, {Row::deleteCollectionKey(key("a"), "g", 5)});
    ASSERT_EQ(r.rows.size(), 2u);
    EXPECT_EQ(r.rows[0]->indexPath(), (DizIndexPath{0, 2}));
    EXPECT_EQ(r.rows[1]->type(), DizViewChangeInsert);
    EXPECT_EQ(r.rows[1]->newIndexPath(), (DizIndexPath{0, 0}));
  }
}

}  // namespace
