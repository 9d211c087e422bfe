// The event operations: adding, saving, deleting, changing state, the pending-event questions and
// the counts by state, each change one commit.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>

#include "DizEvozidiz/Extensions/Views/DizEvozidizViewChange.h"
#include "app/DateUtilities.h"
#include "app/database/database_test_support.h"
#include "app/model/ZRVEventsSummary.h"
#include "app/model/ZRVSkin.h"
#include "platform/system/this_thread.h"

namespace {

using namespace zorvel::test;
using testing::ElementsAre;
using testing::UnorderedElementsAre;

class Events : public DatabaseTest {
 protected:
  void SetUp() override {
    bundle = writeBundle(
        dir.path(),
        Value(ValueArray{collectionEntry("C1", "Nature", {skinEntry("S1", "forest"), skinEntry("S2", "ocean")})}),
        Value());
    manager = open(bundle);
    ASSERT_TRUE(manager->syncSkins());
    recorder = std::make_unique<UpdateRecorder>(manager);
    ASSERT_TRUE(recorder->waitForNextUpdate());  // the catalogue's commit
    recorder->entries.clear();
  }

  std::uint64_t commits() const { return manager->database()->snapshot(); }
  const DizEvozidizConnection::Ptr& background() const { return manager->backgroundDatabaseConnection(); }
  std::vector<std::string> activeOnMain() {
    return keysInGroup(manager->mainDatabaseConnection(), ZRVEventsViewName, ZRVEventsActiveGroup);
  }
  // The single event stored in the state; fails the test when there is not exactly one.
  std::shared_ptr<ZRVEvent> onlyEventInState(std::uint64_t state) {
    std::vector<std::shared_ptr<ZRVEvent>> found;
    for (const auto& [key, event] : storedEvents(background()))
      if (event->state() == state) found.push_back(event);
    EXPECT_EQ(found.size(), 1u) << "events in state " << state;
    return found.empty() ? nullptr : found.front();
  }
  std::shared_ptr<ZRVEventsSummary> summary() {
    std::shared_ptr<ZRVEventsSummary> result;
    bool returned = false;
    manager->eventsSummaryWithBlock([&](const std::shared_ptr<ZRVEventsSummary>& s) {
      EXPECT_TRUE(returned) << "the block ran before eventsSummaryWithBlock returned";
      EXPECT_TRUE(platform::isMainThread());
      result = s;
    });
    returned = true;
    EXPECT_TRUE(platform::runMainLoopUntil([&] { return result != nullptr; }, 10));
    return result;
  }
  // The view's row changes of events in the commit of one store notification.
  static std::vector<std::pair<std::int64_t, std::string>> eventRowChanges(const platform::NotificationPtr& n) {
    std::vector<std::pair<std::int64_t, std::string>> changes;
    for (const Value& change : n->userInfo()["extensions"][ZRVEventsViewName]["changes"].asArray())
      if (auto row = change.as<DizEvozidizViewRowChange>())
        changes.emplace_back(row->type(), row->collectionKey()->key());
    return changes;
  }

  platform::BundlePtr bundle;
  ZRVDatabaseManager::Ptr manager;
  std::unique_ptr<UpdateRecorder> recorder;
};

// The store's side of adding an event: the user presses add, the list shows the new event at the
// top, the user confirms it, the view files it by date and the index counts it as active.
TEST_F(Events, AddingAnEventFromPressingAddToConfirmingIt) {
  const std::string soon = [&] {
    auto event = makeEvent(ZRVEventStateActive, localDate(2024, 5, 20), "soon");
    EXPECT_TRUE(manager->saveEvent(event));
    return *event->uuid();
  }();
  const std::string later = [&] {
    auto event = makeEvent(ZRVEventStateActive, localDate(2024, 9, 1), "later");
    EXPECT_TRUE(manager->saveEvent(event));
    return *event->uuid();
  }();
  ASSERT_TRUE(recorder->waitForDidUpdates(2));

  // (1) Add: one commit storing a new event being added, today at midnight with the seconds kept,
  // wearing one of the catalogue's skins.
  std::uint64_t before = commits();
  ASSERT_TRUE(manager->addEvent());
  EXPECT_EQ(commits(), before + 1);
  auto added = onlyEventInState(ZRVEventStateAdding);
  ASSERT_TRUE(added);
  EXPECT_EQ(added->date(), localDate(2024, 5, 10, 0, 0, 27));
  EXPECT_EQ(added->createdAt(), clock.now());
  EXPECT_THAT(added->skinId().value_or("none"), testing::AnyOf("S1", "S2"));
  EXPECT_TRUE(added->isImmutable());
  EXPECT_FALSE(manager->isAnyAddingEvent());  // the main connection has not moved yet

  // (2) After the Did-update the main connection shows it at the top of the active group.
  ASSERT_TRUE(recorder->waitForNextUpdate());
  ASSERT_EQ(recorder->entries.back().changes.size(), 1u);
  EXPECT_THAT(eventRowChanges(recorder->entries.back().changes[0]),
              ElementsAre(std::pair{std::int64_t{DizViewChangeInsert}, *added->uuid()}));
  EXPECT_THAT(activeOnMain(), ElementsAre(*added->uuid(), soon, later));
  EXPECT_TRUE(manager->isAnyAddingEvent());
  EXPECT_TRUE(manager->isAnyEditingAddingEvent());
  ASSERT_EQ(manager->skinForEvent(*added)->uuid(), added->skinId());

  // (3)-(4) Confirmed with a name, a date in the future and another skin: the editor's copy is
  // stored as active with a fresh creation date, in one commit.
  clock.advance(90);
  auto edited = std::static_pointer_cast<ZRVEvent>(added->copy());
  edited->setName("Concert");
  edited->setDate(localDate(2024, 6, 15, 20));
  edited->setSkinId("S2");
  edited->setState(ZRVEventStateActive);
  edited->setCreatedAt(clock.now());
  before = commits();
  ASSERT_TRUE(manager->saveEvent(edited));
  EXPECT_EQ(commits(), before + 1);

  // (5) The view files it among the active events by date, the index counts it as active.
  ASSERT_TRUE(recorder->waitForNextUpdate());
  EXPECT_THAT(activeOnMain(), ElementsAre(soon, *added->uuid(), later));
  EXPECT_FALSE(manager->isAnyAddingEvent());
  EXPECT_FALSE(manager->isAnyEditingAddingEvent());
  auto stored = storedObject<ZRVEvent>(manager->mainDatabaseConnection(), *added->uuid(), ZRVEventsCollection);
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->name(), "Concert");
  EXPECT_EQ(stored->state(), ZRVEventStateActive);
  EXPECT_EQ(stored->skinId(), "S2");
  EXPECT_EQ(stored->createdAt(), clock.now());
  auto counts = summary();
  ASSERT_TRUE(counts);
  EXPECT_EQ(counts->activeEventsCount(), 3);
  EXPECT_EQ(counts->completeEventsCount(), 0);
  EXPECT_EQ(counts->archiveEventsCount(), 0);

  // Its date passes: completed, it moves to the complete group.
  ASSERT_TRUE(manager->setState(ZRVEventStateComplete, *stored));
  ASSERT_TRUE(recorder->waitForNextUpdate());
  EXPECT_THAT(activeOnMain(), ElementsAre(soon, later));
  EXPECT_THAT(keysInGroup(manager->mainDatabaseConnection(), ZRVEventsViewName, ZRVEventsCompleteGroup),
              ElementsAre(*added->uuid()));
  EXPECT_EQ(summary()->completeEventsCount(), 1);
}

TEST_F(Events, AddingReturnsTheEditedEventToActiveAndDropsTheOneBeingAdded) {
  auto editing = makeEvent(ZRVEventStateEditing, localDate(2024, 6, 1), "open in the editor");
  editing->setLink("https://example.org");
  auto complete = makeEvent(ZRVEventStateComplete, localDate(2024, 1, 1));
  auto archived = makeEvent(ZRVEventStateArchived, localDate(2023, 1, 1));
  for (const auto& event : {editing, complete, archived}) ASSERT_TRUE(manager->saveEvent(event));
  ASSERT_TRUE(manager->addEvent());
  auto firstAdded = onlyEventInState(ZRVEventStateAdding);
  ASSERT_TRUE(recorder->waitForDidUpdates(4));

  const std::uint64_t before = commits();
  ASSERT_TRUE(manager->addEvent());
  EXPECT_EQ(commits(), before + 1);
  auto events = storedEvents(background());
  ASSERT_EQ(events.size(), 4u);
  EXPECT_FALSE(events.contains(*firstAdded->uuid()));
  // The edited event is back to active with everything else as it was.
  EXPECT_EQ(events[*editing->uuid()]->state(), ZRVEventStateActive);
  EXPECT_EQ(events[*editing->uuid()]->name(), "open in the editor");
  EXPECT_EQ(events[*editing->uuid()]->link(), "https://example.org");
  EXPECT_EQ(events[*complete->uuid()]->state(), ZRVEventStateComplete);
  EXPECT_EQ(events[*archived->uuid()]->state(), ZRVEventStateArchived);
  auto secondAdded = onlyEventInState(ZRVEventStateAdding);
  ASSERT_TRUE(secondAdded);

  // In that one commit the view removed the first new event and inserted the second.
  ASSERT_TRUE(recorder->waitForNextUpdate());
  ASSERT_EQ(recorder->entries.back().changes.size(), 1u);
  std::multiset<std::pair<std::int64_t, std::string>> insertsAndDeletes;
  for (const auto& change : eventRowChanges(recorder->entries.back().changes[0]))
    if (change.first == DizViewChangeInsert || change.first == DizViewChangeDelete) insertsAndDeletes.insert(change);
  EXPECT_THAT(insertsAndDeletes,
              UnorderedElementsAre(std::pair{std::int64_t{DizViewChangeDelete}, *firstAdded->uuid()},
                                   std::pair{std::int64_t{DizViewChangeInsert}, *secondAdded->uuid()}));
  EXPECT_EQ(activeOnMain().front(), *secondAdded->uuid());
}

TEST_F(Events, DroppingPendingEventsInATransactionOfItsOwn) {
  auto editing = makeEvent(ZRVEventStateEditing, localDate(2024, 6, 1));
  auto active = makeEvent(ZRVEventStateActive, localDate(2024, 7, 1));
  for (const auto& event : {editing, active}) ASSERT_TRUE(manager->saveEvent(event));
  ASSERT_TRUE(manager->addEvent());
  ASSERT_TRUE(recorder->waitForDidUpdates(3));
  EXPECT_TRUE(manager->isAnyEditingAddingEvent());

  const std::uint64_t before = commits();
  ASSERT_TRUE(manager->dropAllEditingAddingEvents());
  EXPECT_EQ(commits(), before + 1);
  auto events = storedEvents(background());
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[*editing->uuid()]->state(), ZRVEventStateActive);
  EXPECT_EQ(events[*active->uuid()]->state(), ZRVEventStateActive);
  ASSERT_TRUE(recorder->waitForNextUpdate());
  EXPECT_FALSE(manager->isAnyEditingAddingEvent());

  // Nothing pending: nothing to commit.
  ASSERT_TRUE(manager->dropAllEditingAddingEvents());
  EXPECT_EQ(commits(), before + 1);
}

TEST_F(Events, ChangingTheStateOfAnOutdatedCopyChangesOnlyTheState) {
  auto event = makeEvent(ZRVEventStateActive, localDate(2024, 6, 1), "first name");
  ASSERT_TRUE(manager->saveEvent(event));
  auto outdated = std::static_pointer_cast<ZRVEvent>(event->copy());
  auto renamed = std::static_pointer_cast<ZRVEvent>(event->copy());
  renamed->setName("second name");
  renamed->setDate(localDate(2024, 6, 2));
  ASSERT_TRUE(manager->saveEvent(renamed));

  const std::uint64_t before = commits();
  ASSERT_TRUE(manager->setState(ZRVEventStateArchived, *outdated));
  EXPECT_EQ(commits(), before + 1);
  auto stored = storedObject<ZRVEvent>(background(), *event->uuid(), ZRVEventsCollection);
  EXPECT_EQ(stored->state(), ZRVEventStateArchived);
  EXPECT_EQ(stored->name(), "second name");
  EXPECT_EQ(stored->date(), localDate(2024, 6, 2));
  EXPECT_EQ(outdated->state(), ZRVEventStateActive);  // the caller's object is not touched
}

TEST_F(Events, AMissingEventIsNeitherChangedNorDeletedAndNothingIsCommitted) {
  auto never = makeEvent(ZRVEventStateActive, localDate(2024, 6, 1));
  const std::uint64_t before = commits();
  EXPECT_TRUE(manager->setState(ZRVEventStateComplete, *never));
  EXPECT_TRUE(manager->deleteEvent(*never));
  EXPECT_EQ(commits(), before);
  EXPECT_TRUE(storedEvents(background()).empty());

  ASSERT_TRUE(manager->saveEvent(never));
  ASSERT_TRUE(manager->deleteEvent(*never));
  EXPECT_EQ(commits(), before + 2);
  EXPECT_TRUE(storedEvents(background()).empty());
}

TEST_F(Events, CountsByStateLeaveEventsBeingAddedOut) {
  for (std::uint64_t state : {0, 1, 2, 2, 3, 4})
    ASSERT_TRUE(manager->saveEvent(makeEvent(state, localDate(2024, 6, 1))));
  auto counts = summary();
  ASSERT_TRUE(counts);
  EXPECT_EQ(counts->completeEventsCount(), 1);
  EXPECT_EQ(counts->activeEventsCount(), 3);
  EXPECT_EQ(counts->archiveEventsCount(), 1);
}

TEST_F(Events, WithoutAnySkinANewEventWearsNone) {
  // A catalogue that lost all its skins (or never had any).
  auto empty = writeBundle(dir.path(), Value(ValueArray{}), Value());
  TempDir other;
  ZRVDatabaseManagerSetup setup;
  setup.directory = other / "data";
  setup.bundle = empty;
  auto bare = ZRVDatabaseManager::create(setup);
  ASSERT_TRUE(bare);
  ASSERT_TRUE(bare->syncSkins());
  EXPECT_EQ(bare->randomSkin(), nullptr);
  ASSERT_TRUE(bare->addEvent());
  auto events = storedEvents(bare->backgroundDatabaseConnection());
  ASSERT_EQ(events.size(), 1u);
  const auto& event = events.begin()->second;
  EXPECT_EQ(event->state(), ZRVEventStateAdding);
  EXPECT_EQ(event->skinId(), std::nullopt);
  EXPECT_EQ(bare->skinForEvent(*event), nullptr);
}

}  // namespace
