// The views and the index the application keeps its lists in: their groups, their order, the
// main list's mappings and the state column.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "DizEvozidiz/Extensions/SecondaryIndex/DizEvozidizSecondaryIndexTransaction.h"
#include "DizEvozidiz/Utilities/DizEvozidizQuery.h"
#include "app/database/database_test_support.h"
#include "app/model/ZRVCollection.h"
#include "app/model/ZRVOption.h"
#include "app/model/ZRVSkin.h"

namespace {

using namespace zorvel::test;
using testing::ElementsAre;
using testing::IsEmpty;

class Views : public DatabaseTest {
 protected:
  void SetUp() override { manager = open(); }

  std::vector<std::string> group(std::string_view view, std::string_view name) {
    return keysInGroup(manager->backgroundDatabaseConnection(), view, name);
  }
  std::vector<std::string> active() { return group(ZRVEventsViewName, ZRVEventsActiveGroup); }
  std::vector<std::string> complete() { return group(ZRVEventsViewName, ZRVEventsCompleteGroup); }
  std::vector<std::string> archived() { return group(ZRVEventsViewName, ZRVEventsArchivedGroup); }

  std::string save(std::uint64_t state, platform::Date date) {
    auto event = makeEvent(state, date);
    EXPECT_TRUE(manager->saveEvent(event));
    return *event->uuid();
  }

  ZRVDatabaseManager::Ptr manager;
};

TEST_F(Views, EventsAreFiledByStateAndOrderedByDate) {
  const std::string june = save(ZRVEventStateActive, localDate(2024, 6, 1));
  const std::string may = save(ZRVEventStateActive, localDate(2024, 5, 20));
  const std::string july = save(ZRVEventStateEditing, localDate(2024, 7, 1));
  const std::string strange = save(5, localDate(2024, 5, 25));  // an unknown state counts as active
  const std::string old = save(ZRVEventStateComplete, localDate(2023, 1, 1));
  const std::string recent = save(ZRVEventStateComplete, localDate(2024, 4, 1));
  const std::string kept = save(ZRVEventStateArchived, localDate(2022, 1, 1));
  const std::string keptLater = save(ZRVEventStateArchived, localDate(2022, 6, 1));
  EXPECT_THAT(active(), ElementsAre(may, strange, june, july));  // earliest first
  EXPECT_THAT(complete(), ElementsAre(recent, old));             // latest first
  EXPECT_THAT(archived(), ElementsAre(keptLater, kept));

  // Completing an event moves it to the complete group, into its date's place there.
  auto event = storedObject<ZRVEvent>(manager->backgroundDatabaseConnection(), june, ZRVEventsCollection);
  ASSERT_TRUE(manager->setState(ZRVEventStateComplete, *event));
  EXPECT_THAT(active(), ElementsAre(may, strange, july));
  EXPECT_THAT(complete(), ElementsAre(june, recent, old));
}

TEST_F(Views, AnEventBeingAddedGoesToTheTopWhateverItsDate) {
  const std::string soon = save(ZRVEventStateActive, localDate(2024, 5, 11));
  const std::string later = save(ZRVEventStateActive, localDate(2024, 8, 1));
  const std::string adding = save(ZRVEventStateAdding, localDate(2030, 1, 1));
  EXPECT_THAT(active(), ElementsAre(adding, soon, later));
  // An event placed afterwards meets the adding event like any other: by date.
  const std::string earlier = save(ZRVEventStateActive, localDate(2024, 1, 1));
  const std::string latest = save(ZRVEventStateActive, localDate(2031, 1, 1));
  EXPECT_THAT(active(), ElementsAre(earlier, adding, soon, later, latest));
}

TEST_F(Views, EventsOfTheSameDateKeepTheOrderTheyWerePlacedIn) {
  const platform::Date date = localDate(2024, 6, 1);
  const std::string first = save(ZRVEventStateActive, date);
  const std::string second = save(ZRVEventStateActive, date);
  const std::string third = save(ZRVEventStateActive, date);
  EXPECT_THAT(active(), ElementsAre(first, second, third));
}

TEST_F(Views, CollectionsByPlainNameSkinsByCollectionOldestFirstTriggersNewestFirst) {
  auto collection = [](std::string name) {
    auto c = platform::make<ZRVCollection>();
    c->setName(std::move(name));
    return c;
  };
  auto b = collection("b"), upperA = collection("A"), a = collection("a");
  storeObjects(manager, ZRVCollectionsCollection, {b, upperA, a});
  EXPECT_THAT(group(ZRVCollectionsViewName, ZRVCollectionsAvailableGroup),
              ElementsAre(*upperA->uuid(), *a->uuid(), *b->uuid()));
  EXPECT_THAT(group(ZRVCollectionsAvailableViewName, ZRVCollectionsAvailableGroup),
              ElementsAre(*upperA->uuid(), *a->uuid(), *b->uuid()));

  auto skin = [&](std::optional<std::string> collectionId) {
    auto s = platform::make<ZRVSkin>();
    s->setName("skin");
    s->setCollectionId(std::move(collectionId));
    clock.advance(60);
    return s;
  };
  auto second = skin(a->uuid()), first = skin(a->uuid()), other = skin(b->uuid()), loose = skin(std::nullopt),
       blank = skin("");
  second->setCreatedAt(clock.now());  // the newest, though stored first
  storeObjects(manager, ZRVSkinsCollection, {second, first, other, loose, blank});
  EXPECT_THAT(group(ZRVSkinsViewName, *a->uuid()), ElementsAre(*first->uuid(), *second->uuid()));
  EXPECT_THAT(group(ZRVSkinsViewName, *b->uuid()), ElementsAre(*other->uuid()));
  // A skin of no collection is in no group.
  manager->backgroundDatabaseConnection()->readWithBlock([&](DizEvozidizReadTransaction& t) {
    auto view = std::dynamic_pointer_cast<DizEvozidizViewTransaction>(t.ext(ZRVSkinsViewName));
    ASSERT_TRUE(view);
    EXPECT_EQ(view->numberOfItemsInAllGroups(), 3u);
    EXPECT_FALSE(view->groupForKey(*loose->uuid(), ZRVSkinsCollection));
    EXPECT_FALSE(view->groupForKey(*blank->uuid(), ZRVSkinsCollection));
  });

  auto older = ZRVOptionTrigger::triggerWithUnit(16, 1, 0, true);
  clock.advance(60);
  auto newer = ZRVOptionTrigger::triggerWithUnit(32, 1, 0, true);
  auto review = platform::make<ZRVOptionReview>();
  storeObjects(manager, ZRVOptionsCollection, {older, newer, review});
  EXPECT_THAT(group(ZRVOptionsViewName, ZRVOptionsTriggersGroup), ElementsAre(*newer->uuid(), *older->uuid()));
  EXPECT_THAT(group(ZRVOptionsViewName, ZRVOptionsReviewsGroup), ElementsAre(*review->uuid()));
}

TEST_F(Views, ObjectsOfOtherClassesStayOutOfEveryView) {
  auto event = makeEvent(ZRVEventStateActive, localDate(2024, 6, 1));
  // Class decides, not collection: an event kept under "Skins" is still an event.
  storeObjects(manager, ZRVSkinsCollection, {event});
  ASSERT_TRUE(manager->backgroundDatabaseConnection()->readWriteWithBlock(
      [](DizEvozidizReadWriteTransaction& t) { t.setObject(platform::Value("a plain value"), "k", "Events"); }));
  EXPECT_THAT(active(), ElementsAre(*event->uuid()));
  manager->backgroundDatabaseConnection()->readWithBlock([&](DizEvozidizReadTransaction& t) {
    for (std::string_view name :
         {ZRVCollectionsViewName, ZRVCollectionsAvailableViewName, ZRVSkinsViewName, ZRVOptionsViewName}) {
      auto view = std::dynamic_pointer_cast<DizEvozidizViewTransaction>(t.ext(name));
      ASSERT_TRUE(view) << name;
      EXPECT_EQ(view->numberOfItemsInAllGroups(), 0u) << name;
    }
  });
}

TEST_F(Views, TheIndexKeepsEachEventsStateAndNothingElse) {
  const std::string a = save(ZRVEventStateActive, localDate(2024, 6, 1));
  save(ZRVEventStateComplete, localDate(2024, 1, 1));
  storeObjects(manager, ZRVOptionsCollection, {ZRVOptionTrigger::triggerWithUnit(16, 1, 0, true)});
  auto count = [&](DizEvozidizQueryPtr query) {
    std::uint64_t rows = 0;
    manager->backgroundDatabaseConnection()->readWithBlock([&](DizEvozidizReadTransaction& t) {
      auto index = std::dynamic_pointer_cast<DizEvozidizSecondaryIndexTransaction>(t.ext(ZRVEventsIndexName));
      ASSERT_TRUE(index);
      EXPECT_TRUE(index->getNumberOfRows(&rows, query));
    });
    return rows;
  };
  EXPECT_EQ(count(DizEvozidizQuery::queryMatchingAll()), 2u);
  EXPECT_EQ(count(DizEvozidizQuery::queryWithFormat("WHERE state = ?", 2)), 1u);
  auto event = storedObject<ZRVEvent>(manager->backgroundDatabaseConnection(), a, ZRVEventsCollection);
  ASSERT_TRUE(manager->setState(ZRVEventStateArchived, *event));
  EXPECT_EQ(count(DizEvozidizQuery::queryWithFormat("WHERE state = ?", 2)), 0u);
  EXPECT_EQ(count(DizEvozidizQuery::queryWithFormat("WHERE state = ?", 4)), 1u);
  ASSERT_TRUE(manager->deleteEvent(*event));
  EXPECT_EQ(count(DizEvozidizQuery::queryMatchingAll()), 1u);
}

TEST_F(Views, TheMainListHidesTheArchivedSectionWhileItIsEmpty) {
  UpdateRecorder recorder(manager);
  DizEvozidizViewMappings mappings = ZRVDatabaseManager::eventsMappings();
  EXPECT_EQ(mappings.view(), ZRVEventsViewName);
  manager->mainDatabaseConnection()->readWithBlock(
      [&](DizEvozidizReadTransaction& t) { mappings.updateWithTransaction(t); });
  EXPECT_EQ(mappings.numberOfSections(), 2u);  // complete and active, both empty
  EXPECT_EQ(mappings.groupForSection(0), std::string(ZRVEventsCompleteGroup));
  EXPECT_EQ(mappings.groupForSection(1), std::string(ZRVEventsActiveGroup));

  const std::string kept = save(ZRVEventStateArchived, localDate(2022, 1, 1));
  ASSERT_TRUE(recorder.waitForNextUpdate());
  auto viewConnection =
      std::dynamic_pointer_cast<DizEvozidizViewConnection>(manager->mainDatabaseConnection()->ext(ZRVEventsViewName));
  ASSERT_TRUE(viewConnection);
  std::vector<DizEvozidizViewSectionChangePtr> sections;
  std::vector<DizEvozidizViewRowChangePtr> rows;
  ASSERT_TRUE(viewConnection->getSectionChanges(&sections, &rows, recorder.entries.back().changes, &mappings));
  EXPECT_EQ(mappings.numberOfSections(), 3u);
  EXPECT_EQ(mappings.groupForSection(2), std::string(ZRVEventsArchivedGroup));
  ASSERT_EQ(sections.size(), 1u);
  EXPECT_EQ(sections[0]->type(), DizViewChangeInsert);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]->collectionKey()->key(), kept);
}

}  // namespace
