// Block holders, pages, page descriptors, view states and change records.

#include <gtest/gtest.h>

#include <vector>

#include "DizEvozidiz/DizEvozidiz.h"
#include "DizEvozidiz/DizEvozidizConnection.h"
#include "DizEvozidiz/DizEvozidizTransaction.h"
#include "DizEvozidiz/Extensions/Views/DizEvozidizViewBlocks.h"
#include "DizEvozidiz/Extensions/Views/DizEvozidizViewChange.h"
#include "DizEvozidiz/Extensions/Views/DizEvozidizViewPage.h"
#include "support/temp_dir.h"

namespace {

using Grouping = DizEvozidizViewGrouping;

TEST(ViewBlocks, ConstructorsRecordTypeAndOptions) {
  auto key = [](DizEvozidizReadTransaction&, const std::string&, const std::string&) {
    return std::optional<std::string>("g");
  };
  auto value = [](DizEvozidizReadTransaction&, const std::string&, const std::string&, const platform::Value&) {
    return std::optional<std::string>("g");
  };
  auto row = [](DizEvozidizReadTransaction&, const std::string&, const std::string&, const platform::Value&,
                const platform::Value&) { return std::optional<std::string>("g"); };
  struct Case {
    Grouping::Ptr holder;
    std::uint64_t type, options;
  };
  const Case cases[] = {
      {Grouping::withKeyBlock(key), 0, 0},
      {Grouping::withObjectBlock(value), 1, 5},
      {Grouping::withMetadataBlock(value), 2, 10},
      {Grouping::withRowBlock(row), 3, 15},
      {Grouping::withOptionsKeyBlock(15, key), 0, 15},  // stored unchanged, even bits the type can't use
      {Grouping::withOptionsObjectBlock(0, value), 1, 0},
      {Grouping::withOptionsMetadataBlock(3, value), 2, 3},
      {Grouping::withOptionsRowBlock(1, row), 3, 1},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(c.holder);
    EXPECT_EQ(c.holder->blockType(), c.type);
    EXPECT_EQ(c.holder->blockInvokeOptions(), c.options);
  }
  EXPECT_FALSE(Grouping::withKeyBlock(nullptr));
  EXPECT_FALSE(Grouping::withOptionsRowBlock(15, nullptr));
  EXPECT_FALSE(DizEvozidizViewSorting::withObjectBlock(nullptr));
  EXPECT_FALSE(DizEvozidizViewFiltering::withMetadataBlock(nullptr));
  EXPECT_FALSE(DizEvozidizViewFind::withRowBlock(nullptr));
}

TEST(ViewBlocks, WrappedClosuresReceiveTheValuesTheirTypeAsksFor) {
  zorvel::test::TempDir dir;
  auto database = DizEvozidiz::create((dir / "store.sqlite").string());
  auto connection = database->newConnection();
  auto metadataGrouping = Grouping::withMetadataBlock(
      [](DizEvozidizReadTransaction&, const std::string& c, const std::string& k, const platform::Value& m) {
        return std::optional<std::string>(c + "/" + k + "/" + m.asString());
      });
  auto sorting = DizEvozidizViewSorting::withObjectBlock(
      [](DizEvozidizReadTransaction&, const std::string&, const std::string&, const std::string&,
         const platform::Value& o1, const std::string&, const std::string&,
         const platform::Value& o2) { return o1.asString() < o2.asString() ? -1 : 1; });
  const std::string c = "c", k = "k";
  const platform::Value object("object"), metadata("meta"), other("zzz");
  connection->readWithBlock([&](DizEvozidizReadTransaction& t) {
    EXPECT_EQ(metadataGrouping->block()(t, DizViewRow{c, k, object, metadata}), "c/k/meta");
    EXPECT_EQ(sorting->block()(t, "g", DizViewRow{c, k, object, metadata}, DizViewRow{c, k, other, metadata}), -1);
  });
  auto find = DizEvozidizViewFind::withKeyBlock([](const std::string&, const std::string&) { return 2; });
  EXPECT_EQ(DizEvozidizViewFind::position(find->findBlock()(DizViewRow{c, k, object, metadata})), 0);
  connection.reset();
  database.reset();
}

TEST(ViewPage, SerializesRowidsLittleEndianWithoutHeader) {
  DizEvozidizViewPage page;
  for (std::int64_t r : {1, 2, -1}) page.addRowid(r);
  const platform::Bytes expected = {1, 0, 0, 0, 0,    0,    0,    0,    2,    0,    0,    0,
                                    0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(page.serialize(), expected);
  DizEvozidizViewPage back;
  back.deserialize(expected);
  EXPECT_EQ(back.rowids(), (std::vector<std::int64_t>{1, 2, -1}));
  EXPECT_TRUE(DizEvozidizViewPage().serialize().empty());
}

TEST(ViewPage, DeserializingReplacesContentsAndIgnoresPartialRowid) {
  DizEvozidizViewPage page;
  for (int i = 0; i < 7; ++i) page.addRowid(100 + i);
  platform::Bytes blob(20, 0);
  blob[0] = 5;
  blob[8] = 6;
  blob[16] = 0xAA;  // partial rowid
  page.deserialize(blob);
  EXPECT_EQ(page.rowids(), (std::vector<std::int64_t>{5, 6}));
  page.deserialize(nullptr, 0);
  EXPECT_EQ(page.count(), 0u);
}

TEST(ViewPage, EditingAndLookup) {
  DizEvozidizViewPage page;
  for (std::int64_t r : {10, 20, 10, 30}) page.addRowid(r);
  std::size_t index = 99;
  EXPECT_TRUE(page.getIndex(&index, 10));
  EXPECT_EQ(index, 0u);  // first occurrence
  EXPECT_FALSE(page.getIndex(&index, 77));
  EXPECT_EQ(index, 0u);
  page.insertRowid(5, 4);  // == count appends
  page.insertRowid(1, 0);
  EXPECT_EQ(page.rowids(), (std::vector<std::int64_t>{1, 10, 20, 10, 30, 5}));
  EXPECT_THROW(page.insertRowid(9, 7), std::out_of_range);
  EXPECT_THROW(page.rowidAtIndex(6), std::out_of_range);
  page.removeRange(1, 0);
  page.removeRange(1, 2);
  EXPECT_EQ(page.rowids(), (std::vector<std::int64_t>{1, 10, 30, 5}));
  DizEvozidizViewPage other;
  other.addRowid(-1);
  other.addRowid(-2);
  page.prependRange(1, 1, other);
  page.appendPage(other);
  EXPECT_EQ(page.rowids(), (std::vector<std::int64_t>{-2, 1, 10, 30, 5, -1, -2}));
  page.appendRange(0, 2, page);  // from itself
  EXPECT_EQ(page.count(), 9u);
  EXPECT_EQ(page.rowidAtIndex(8), 1);
}

TEST(ViewPage, ReverseEnumerationGivesPagePositionsAndStops) {
  DizEvozidizViewPage page;
  for (std::int64_t r : {7, 8, 9}) page.addRowid(r);
  std::vector<std::size_t> indexes;
  page.enumerateRowidsWithOptions(DizEvozidizViewPage::kEnumerationReverse,
                                  [&](std::int64_t, std::size_t i, bool&) { indexes.push_back(i); });
  EXPECT_EQ(indexes, (std::vector<std::size_t>{2, 1, 0}));
  indexes.clear();
  page.enumerateRowidsWithOptions(DizEvozidizViewPage::kEnumerationReverse,
                                  [&](std::int64_t, std::size_t i, bool& stop) {
                                    indexes.push_back(i);
                                    stop = true;
                                  });
  EXPECT_EQ(indexes, (std::vector<std::size_t>{2}));
  indexes.clear();
  page.enumerateRowidsWithOptions(DizEvozidizViewPage::kEnumerationReverse, 0, 2,
                                  [&](std::int64_t, std::size_t i, bool&) { indexes.push_back(i); });
  EXPECT_EQ(indexes, (std::vector<std::size_t>{1, 0}));
  EXPECT_NE(page.debugDescription().find("  2: 9\n}>"), std::string::npos);
}

DizEvozidizViewPageMetadataPtr descriptor(std::string key, std::optional<std::string> prev, std::string group,
                                          std::uint64_t count, bool isNew = false) {
  auto m = std::make_shared<DizEvozidizViewPageMetadata>();
  m->pageKey = std::move(key);
  m->prevPageKey = std::move(prev);
  m->group = std::move(group);
  m->count = count;
  m->isNew = isNew;
  return m;
}

TEST(ViewState, CopiesAreDeepAndCarryMutability) {
  auto state = DizEvozidizViewState::make();
  state->createGroup("g");
  state->addPageMetadata(descriptor("p1", std::nullopt, "g", 3, true), "g");
  auto frozen = state->copy();
  EXPECT_NE(frozen, state);
  EXPECT_TRUE(frozen->isImmutable());
  EXPECT_EQ(frozen->copy(), frozen);
  auto again = frozen->mutableCopy();
  EXPECT_FALSE(again->isImmutable());
  EXPECT_NE(again, frozen);
  EXPECT_FALSE((*frozen->pagesMetadataForGroup("g"))[0]->isNew);
  state->ownPageMetadataAtIndex(0, "g")->count = 9;
  state->addPageMetadata(descriptor("p2", "p1", "g", 1), "g");
  EXPECT_EQ(frozen->countForGroup("g"), 3u);
  EXPECT_EQ(frozen->groupForPageKey("p2"), nullptr);
  EXPECT_EQ(*state->groupForPageKey("p2"), "g");
}

// Copies share descriptors until one is changed: a change through any state (the one copied from,
// a mutable copy, a copy of a copy) is seen by that state alone, and a new descriptor stays new.
TEST(ViewState, ChangedDescriptorsAreCopiedOnce) {
  auto state = DizEvozidizViewState::make();
  state->createGroup("g");
  state->addPageMetadata(descriptor("p1", std::nullopt, "g", 3), "g");
  state->addPageMetadata(descriptor("p2", "p1", "g", 4), "g");
  const auto original = (*state->pagesMetadataForGroup("g"))[0];
  EXPECT_EQ(state->ownPageMetadataAtIndex(0, "g"), original);  // its own until copied

  auto frozen = state->copy();
  auto working = frozen->mutableCopy();
  auto& changed = state->ownPageMetadataAtIndex(0, "g");
  EXPECT_NE(changed, original);
  changed->count = 7;
  EXPECT_EQ(state->ownPageMetadataAtIndex(0, "g"), changed);  // copied once, then changed in place
  working->ownPageMetadataAtIndex(1, "g")->count = 1;
  auto again = working->mutableCopy();
  working->ownPageMetadataAtIndex(1, "g")->count = 2;
  again->ownPageMetadataAtIndex(0, "g")->prevPageKey = "x";
  EXPECT_EQ(state->countForGroup("g"), 11u);
  EXPECT_EQ(frozen->countForGroup("g"), 7u);
  EXPECT_EQ(working->countForGroup("g"), 5u);
  EXPECT_EQ(again->countForGroup("g"), 4u);
  EXPECT_EQ((*frozen->pagesMetadataForGroup("g"))[0]->prevPageKey, std::nullopt);
  EXPECT_EQ((*working->pagesMetadataForGroup("g"))[0]->prevPageKey, std::nullopt);
  EXPECT_EQ(original->count, 3u);
  EXPECT_EQ(frozen->ownPageMetadataAtIndex(0, "g"), original);  // an immutable state is never changed

  auto fresh = descriptor("p3", "p2", "g", 1, true);
  state->addPageMetadata(fresh, "g");
  auto copied = state->mutableCopy();
  auto& own = state->ownPageMetadataAtIndex(2, "g");
  EXPECT_NE(own, fresh);
  EXPECT_TRUE(own->isNew);
  EXPECT_THROW(state->ownPageMetadataAtIndex(3, "g"), std::out_of_range);
}

TEST(ViewState, RemoveGroupOnlyWhenEmpty) {
  auto state = DizEvozidizViewState::make();
  state->createGroup("g");
  state->addPageMetadata(descriptor("p1", std::nullopt, "g", 1), "g");
  state->removeGroup("g");
  EXPECT_EQ(state->numberOfGroups(), 1u);
  state->removePageMetadataAtIndex(0, "g");
  EXPECT_EQ(state->groupForPageKey("p1"), nullptr);
  state->removeGroup("g");
  EXPECT_EQ(state->numberOfGroups(), 0u);
  EXPECT_THROW(state->addPageMetadata(descriptor("p", std::nullopt, "h", 1), "h"), std::out_of_range);
}

TEST(ViewPageMetadata, CopyIsNeverNewAndDescribesItself) {
  auto m = descriptor("k", std::nullopt, "g", 4, true);
  auto c = m->copy();
  EXPECT_FALSE(c->isNew);
  EXPECT_EQ(c->pageKey, "k");
  EXPECT_EQ(c->count, 4u);
  EXPECT_NE(c->description().find("group(g) count(4) pageKey(k) prevPageKey((null))>"), std::string::npos);
}

TEST(ViewChange, RowConstructorsSetTypesIndexesAndBits) {
  auto key = DizCollectionKey::make("c", "k");
  auto ins = DizEvozidizViewRowChange::insertCollectionKey(key, "g", 4);
  auto del = DizEvozidizViewRowChange::deleteCollectionKey(key, "g", 2);
  auto upd = DizEvozidizViewRowChange::updateCollectionKey(key, "g", 7, DizViewChangedMetadata);
  EXPECT_EQ(ins->type(), DizViewChangeInsert);
  EXPECT_EQ(ins->changes(), 3u);
  EXPECT_EQ(ins->opOriginalIndex(), DizViewNotFound);
  EXPECT_EQ(ins->originalIndex(), DizViewNotFound);
  EXPECT_EQ(ins->opFinalIndex(), 4u);
  EXPECT_EQ(ins->finalIndex(), 4u);
  EXPECT_FALSE(ins->originalGroup());
  EXPECT_FALSE(ins->indexPath());
  EXPECT_TRUE(ins->newIndexPath());
  EXPECT_EQ(del->type(), DizViewChangeDelete);
  EXPECT_EQ(del->opOriginalIndex(), 2u);
  EXPECT_EQ(del->finalIndex(), DizViewNotFound);
  EXPECT_FALSE(del->finalGroup());
  EXPECT_FALSE(del->newIndexPath());
  EXPECT_EQ(upd->type(), DizViewChangeUpdate);
  EXPECT_EQ(upd->changes(), 2u);
  EXPECT_EQ(*upd->originalGroup(), "g");
  EXPECT_EQ(*upd->finalGroup(), "g");
  EXPECT_EQ(upd->finalIndex(), 7u);
  EXPECT_FALSE(upd->newIndexPath());
  auto move = upd->copyRecord();
  move->setType(DizViewChangeMove);
  EXPECT_TRUE(move->indexPath());
  EXPECT_TRUE(move->newIndexPath());
  for (const auto& c : {ins, del, upd}) {
    EXPECT_EQ(c->originalSection(), DizViewNotFound);
    EXPECT_EQ(c->finalSection(), DizViewNotFound);
  }
}

TEST(ViewChange, DescriptionsWithAndWithoutSections) {
  auto key = DizCollectionKey::make("c", "k");
  auto ins = DizEvozidizViewRowChange::insertCollectionKey(key, "g", 4);
  EXPECT_EQ(
      ins->description().rfind("<DizEvozidizViewRowChange: Insert pre(~ -> 4) post(~ -> 4) group(g) collectionKey(", 0),
      0u);
  ins->setFinalSection(1);
  EXPECT_EQ(ins->description().rfind("<DizEvozidizViewRowChange: Insert indexPath(nil) newIndexPath(1, 4) group(g)", 0),
            0u);
  auto del = DizEvozidizViewRowChange::deleteCollectionKey(key, "g", 2);
  EXPECT_EQ(del->description().rfind("<DizEvozidizViewRowChange: Delete pre(2 -> ~) post(2 -> ~) group(g)", 0), 0u);
  auto upd = DizEvozidizViewRowChange::updateCollectionKey(key, "g", 3, 1);
  EXPECT_EQ(upd->description().rfind("<DizEvozidizViewRowChange: Update pre(3) post(3 -> 3) group(g)", 0), 0u);

  auto s = DizEvozidizViewSectionChange::insertGroup("g");
  EXPECT_EQ(s->description(), "<DizEvozidizViewSectionChange: Insert group(g)");
  s->setFinalSection(2);
  EXPECT_EQ(s->index(), 2u);
  EXPECT_EQ(s->description(), "<DizEvozidizViewSectionChange: Insert section(2) group(g)>");
  auto r = DizEvozidizViewSectionChange::resetGroup("g");
  EXPECT_TRUE(r->isReset());
  EXPECT_EQ(r->type(), DizViewChangeDelete);
  r->setOriginalSection(5);
  r->setFinalSection(9);
  EXPECT_EQ(r->index(), 5u);
  EXPECT_EQ(r->description(), "<DizEvozidizViewSectionChange: Delete section(5) group(g)>");
  EXPECT_FALSE(DizEvozidizViewSectionChange::deleteGroup("g")->isReset());
}

TEST(ViewChange, CopyIsIndependent) {
  auto key = DizCollectionKey::make("c", "k");
  auto original = DizEvozidizViewRowChange::insertCollectionKey(key, "g", 4);
  auto copy = original->copyRecord();
  EXPECT_NE(copy, original);
  EXPECT_EQ(copy->collectionKey(), key);
  EXPECT_EQ(copy->finalGroup(), original->finalGroup());
  copy->setFinalIndex(8);
  EXPECT_EQ(original->finalIndex(), 4u);
  EXPECT_EQ(copy->opFinalIndex(), 4u);
  auto section = DizEvozidizViewSectionChange::resetGroup("g");
  auto sectionCopy = section->copyRecord();
  sectionCopy->setOriginalSection(3);
  EXPECT_TRUE(sectionCopy->isReset());
  EXPECT_EQ(section->originalSection(), DizViewNotFound);
}

}  // namespace
