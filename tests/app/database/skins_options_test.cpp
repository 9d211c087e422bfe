// The skin catalogue and default options merged into the store at launch, the lookups of skins,
// collections and triggers, the random skin, and the review-request state.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>

#include "app/database/database_test_support.h"
#include "app/model/ZRVCollection.h"
#include "app/model/ZRVOption.h"
#include "app/model/ZRVSkin.h"
#include "support/commit_counter.h"

namespace {

using namespace zorvel::test;
using testing::ElementsAre;
using testing::IsEmpty;

template <class T>
std::vector<std::string> uuids(const std::vector<std::shared_ptr<T>>& objects) {
  std::vector<std::string> result;
  for (const auto& object : objects) result.push_back(object->uuid().value_or("?"));
  return result;
}

template <class T>
std::vector<std::string> names(const std::vector<std::shared_ptr<T>>& objects) {
  std::vector<std::string> result;
  for (const auto& object : objects) result.push_back(object->name().value_or("?"));
  return result;
}

class Catalogue : public DatabaseTest {
 protected:
  // Opens (again) with the catalogue and options given, loads them as a launch does, and waits
  // until the main connection sees the result.
  void launch(const Value& catalogue, const Value& options) {
    if (manager) close(manager);
    manager = open(writeBundle(dir.path(), catalogue, options));
    ASSERT_TRUE(manager);
    commits = std::make_unique<CommitCounter>(manager->database());
    snapshotBefore = manager->database()->snapshot();
    syncedSkins = manager->syncSkins();
    syncedOptions = manager->syncOptions();
    ASSERT_TRUE(flushMainQueue());
  }
  std::uint64_t commitsOfLaunch() const { return manager->database()->snapshot() - snapshotBefore; }
  std::shared_ptr<ZRVCollection> collection(std::string_view id) {
    return storedObject<ZRVCollection>(manager->mainDatabaseConnection(), id, ZRVCollectionsCollection);
  }
  std::shared_ptr<ZRVSkin> skin(std::string_view id) {
    return storedObject<ZRVSkin>(manager->mainDatabaseConnection(), id, ZRVSkinsCollection);
  }
  std::vector<std::string> skinsOf(std::string_view id) {
    auto c = collection(id);
    return c ? uuids(manager->skinsForCollection(*c)) : std::vector<std::string>{};
  }

  ZRVDatabaseManager::Ptr manager;
  std::unique_ptr<CommitCounter> commits;
  std::uint64_t snapshotBefore = 0;
  bool syncedSkins = false;
  bool syncedOptions = false;
};

const Value kOptions = Value(
    ValueDictionary{{"triggers", Value(ValueArray{triggerEntry("T1", 16, 1, true), triggerEntry("T2", 32, 1, false),
                                                  triggerEntry("T3", 64, 10, true)})}});

Value catalogueVersion1() {
  return Value(ValueArray{
      collectionEntry("C1", "Nature", {skinEntry("S1", "forest"), skinEntry("S2", "ocean")}),
      collectionEntry("C2", "City", {skinEntry("S3", "skyline")}),
  });
}

TEST_F(Catalogue, TheApplicationsOwnCatalogueAndOptionsLoadAtLaunch) {
  manager = open();  // the main bundle: the application's resources of this build
  ASSERT_TRUE(manager->bundle()->pathForResource("ZRVSkinsData", "plist"));
  ASSERT_TRUE(manager->syncSkins());
  ASSERT_TRUE(manager->syncOptions());
  ASSERT_TRUE(flushMainQueue());

  auto collections = manager->availableCollections();
  ASSERT_GE(collections.size(), 2u);
  std::vector<std::string> collectionNames = names(collections);
  EXPECT_TRUE(std::is_sorted(collectionNames.begin(), collectionNames.end()))
      << testing::PrintToString(collectionNames);
  std::set<std::string> skinIds;
  for (const auto& c : collections) {
    auto skins = manager->skinsForCollection(*c);
    EXPECT_GE(skins.size(), 2u) << *c->name();
    for (const auto& s : skins) {
      EXPECT_EQ(s->collectionId(), c->uuid());
      EXPECT_TRUE(skinIds.insert(*s->uuid()).second) << "skin listed twice: " << *s->uuid();
      ASSERT_TRUE(manager->collectionForSkin(*s));
      EXPECT_EQ(manager->collectionForSkin(*s)->uuid(), c->uuid());
    }
  }
  auto triggers = manager->allTriggers();
  ASSERT_FALSE(triggers.empty());
  for (const auto& t : triggers) {
    EXPECT_EQ(t->type(), ZRVOptionTriggerTypeBuiltIn);
    EXPECT_TRUE(ZRVOptionTrigger::nameForUnit(t->unit())) << t->unit();
  }
  EXPECT_FALSE(manager->availableTriggers().empty());
}

// Relaunching with the same catalogue used to commit at every launch.
TEST_F(Catalogue, AnUnchangedCatalogueCommitsNothingAtTheNextLaunch) {
  launch(catalogueVersion1(), kOptions);
  EXPECT_TRUE(syncedSkins);
  EXPECT_TRUE(syncedOptions);
  EXPECT_EQ(commitsOfLaunch(), 3u);  // two catalogue collections, one set of options
  EXPECT_EQ(commits->count(), 3u);
  const auto nature = collection("C1");
  const auto forest = skin("S1");
  ASSERT_TRUE(nature && forest);

  clock.advance(3600);
  launch(catalogueVersion1(), kOptions);
  EXPECT_TRUE(syncedSkins);
  EXPECT_TRUE(syncedOptions);
  EXPECT_EQ(commitsOfLaunch(), 0u);
  EXPECT_EQ(commits->count(), 0u);
  EXPECT_EQ(collection("C1")->createdAt(), nature->createdAt());
  EXPECT_EQ(skin("S1")->createdAt(), forest->createdAt());

  // Loading again within the same run changes nothing either.
  ASSERT_TRUE(manager->syncSkins());
  ASSERT_TRUE(manager->syncOptions());
  EXPECT_EQ(commitsOfLaunch(), 0u);
  EXPECT_EQ(commits->count(), 0u);
  EXPECT_THAT(names(manager->availableCollections()), ElementsAre("City", "Nature"));
  EXPECT_THAT(skinsOf("C1"), ElementsAre("S1", "S2"));
  EXPECT_THAT(uuids(manager->allTriggers()), ElementsAre("T1", "T2", "T3"));
}

TEST_F(Catalogue, ANewReleaseRenamesCollectionsAndAddsSkinsButChangesNoStoredSkin) {
  launch(catalogueVersion1(), kOptions);
  const auto nature = collection("C1");
  clock.advance(86400);
  launch(Value(ValueArray{
             collectionEntry("C1", "Wild nature",  // renamed
                             {skinEntry("S1", "forest-renamed"), skinEntry("S2", "ocean"), skinEntry("S4", "desert")}),
             collectionEntry("C2", "City", {skinEntry("S3", "skyline")}),
             collectionEntry("C3", "Parties", {skinEntry("S5", "balloons"), skinEntry("S2", "moved here")}),
             // C2 gone from a later catalogue would still stay: nothing is removed.
         }),
         kOptions);
  EXPECT_TRUE(syncedSkins);
  EXPECT_EQ(commitsOfLaunch(), 2u);  // C1's name and new skin; C3 with its skin; C2 unchanged
  auto renamed = collection("C1");
  ASSERT_TRUE(renamed);
  EXPECT_EQ(renamed->name(), "Wild nature");
  EXPECT_EQ(renamed->createdAt(), nature->createdAt());
  EXPECT_EQ(skin("S1")->name(), "forest");  // a stored skin is never changed by the catalogue
  EXPECT_EQ(skin("S2")->collectionId(), "C1");
  EXPECT_EQ(skin("S4")->collectionId(), "C1");
  EXPECT_EQ(skin("S4")->createdAt(), clock.now());
  EXPECT_THAT(skinsOf("C1"), ElementsAre("S1", "S2", "S4"));
  EXPECT_THAT(skinsOf("C3"), ElementsAre("S5"));
  EXPECT_THAT(names(manager->availableCollections()), ElementsAre("City", "Parties", "Wild nature"));

  launch(Value(ValueArray{collectionEntry("C3", "Parties", {})}), kOptions);
  EXPECT_EQ(commitsOfLaunch(), 0u);
  EXPECT_THAT(names(manager->availableCollections()), ElementsAre("City", "Parties", "Wild nature"));
}

TEST_F(Catalogue, EntriesThatCannotBeReadAreSkippedAndTheRestLoads) {
  const Value catalogue(ValueArray{
      Value(ValueDictionary{{"name", Value("No id")}, {"skins", Value(ValueArray{skinEntry("S9", "orphan")})}}),
      Value(ValueDictionary{{"id", Value("C8")}, {"name", Value(12)}}),  // a name that is no string
      Value("not a collection"),
      collectionEntry("C1", "Nature",
                      {skinEntry("S1", "forest"), Value("not a skin"), Value(ValueDictionary{{"name", Value("no id")}}),
                       skinEntry("S2", "ocean")}),
  });
  launch(catalogue, kOptions);
  EXPECT_TRUE(syncedSkins);
  EXPECT_THAT(names(manager->availableCollections()), ElementsAre("Nature"));
  EXPECT_FALSE(collection("C8"));
  EXPECT_THAT(skinsOf("C1"), ElementsAre("S1", "S2"));
  // The skin of the collection that could not be read is kept, in no collection.
  ASSERT_TRUE(skin("S9"));
  EXPECT_EQ(skin("S9")->collectionId(), std::nullopt);
  manager->mainDatabaseConnection()->readWithBlock(
      [](DizEvozidizReadTransaction& t) { EXPECT_EQ(t.numberOfKeysInCollection(ZRVSkinsCollection), 3u); });

  // Nothing of it is stored again at the next launch.
  launch(catalogue, kOptions);
  EXPECT_EQ(commitsOfLaunch(), 0u);
}

TEST_F(Catalogue, MissingResourcesLoadNothingAndSaySo) {
  launch(Value(), Value());
  EXPECT_FALSE(syncedSkins);
  EXPECT_FALSE(syncedOptions);
  EXPECT_EQ(commitsOfLaunch(), 0u);
  EXPECT_THAT(manager->availableCollections(), IsEmpty());
  EXPECT_THAT(manager->allTriggers(), IsEmpty());
  EXPECT_EQ(manager->randomSkin(), nullptr);

  // Not property lists of the expected shape: the same.
  launch(Value(ValueDictionary{{"id", Value("C1")}}), Value(ValueArray{}));
  EXPECT_FALSE(syncedSkins);
  EXPECT_FALSE(syncedOptions);
  EXPECT_EQ(commitsOfLaunch(), 0u);
}

TEST_F(Catalogue, TheRandomSkinIsDrawnFromEverySkinOfEveryCollection) {
  launch(Value(ValueArray{collectionEntry("C1", "Only", {skinEntry("S1", "forest")})}), kOptions);
  for (int i = 0; i < 20; ++i) {
    auto drawn = manager->randomSkin();
    ASSERT_TRUE(drawn);
    EXPECT_EQ(drawn->uuid(), "S1");
  }
  launch(catalogueVersion1(), kOptions);
  std::set<std::string> seen;
  for (int i = 0; i < 500 && seen.size() < 3; ++i) seen.insert(*manager->randomSkin()->uuid());
  EXPECT_THAT(seen, ElementsAre("S1", "S2", "S3"));
}

TEST_F(Catalogue, DefaultTriggersAreLoadedOnceInTheLifeOfAStore) {
  launch(catalogueVersion1(), kOptions);
  auto triggers = manager->allTriggers();
  ASSERT_THAT(uuids(triggers), ElementsAre("T1", "T2", "T3"));
  EXPECT_EQ(triggers[0]->unit(), 16u);
  EXPECT_EQ(triggers[0]->value(), 1u);
  EXPECT_TRUE(triggers[0]->active());
  EXPECT_EQ(triggers[0]->type(), ZRVOptionTriggerTypeBuiltIn);
  EXPECT_THAT(uuids(manager->availableTriggers()), ElementsAre("T1", "T3"));

  // The user removes them all and keeps a review state: the defaults do not come back.
  ASSERT_TRUE(manager->backgroundDatabaseConnection()->readWriteWithBlock([](DizEvozidizReadWriteTransaction& t) {
    for (const char* key : {"T1", "T2", "T3"}) t.removeObjectForKey(key, ZRVOptionsCollection);
  }));
  manager->getCurrentReviewState();
  launch(catalogueVersion1(), kOptions);
  EXPECT_TRUE(syncedOptions);
  EXPECT_THAT(manager->allTriggers(), IsEmpty());
}

TEST_F(Catalogue, TriggersKeepTheirOrderWhenInactiveOnesAreLeftOut) {
  launch(catalogueVersion1(), Value());
  std::vector<std::shared_ptr<ZRVModelObject>> triggers;
  for (int i = 0; i < 5; ++i) {
    clock.advance(60);
    triggers.push_back(ZRVOptionTrigger::triggerWithUnit(16, i + 1, ZRVOptionTriggerTypeUser, i % 2 == 0));
  }
  storeObjects(manager, ZRVOptionsCollection, triggers);
  ASSERT_TRUE(flushMainQueue());
  EXPECT_THAT(uuids(manager->allTriggers()),
              ElementsAre(*triggers[4]->uuid(), *triggers[3]->uuid(), *triggers[2]->uuid(), *triggers[1]->uuid(),
                          *triggers[0]->uuid()));
  EXPECT_THAT(uuids(manager->availableTriggers()),
              ElementsAre(*triggers[4]->uuid(), *triggers[2]->uuid(), *triggers[0]->uuid()));
}

TEST_F(Catalogue, LookupsOfMissingThingsAnswerNothing) {
  launch(catalogueVersion1(), kOptions);
  auto event = platform::make<ZRVEvent>();
  EXPECT_EQ(manager->skinForEvent(*event), nullptr);
  event->setSkinId("no such skin");
  EXPECT_EQ(manager->skinForEvent(*event), nullptr);
  event->setSkinId("S3");
  EXPECT_EQ(manager->skinForEvent(*event)->name(), "skyline");
  auto loose = platform::make<ZRVSkin>();
  EXPECT_EQ(manager->collectionForSkin(*loose), nullptr);
  auto unknown = platform::make<ZRVCollection>();
  EXPECT_THAT(manager->skinsForCollection(*unknown), IsEmpty());
}

TEST_F(Catalogue, DaysSinceFirstLaunchCountFromTheEarliestCollection) {
  launch(Value(ValueArray{}), Value());
  EXPECT_EQ(manager->daysSinceFirstLaunch(), 0);
  const platform::Date first = clock.now();
  launch(catalogueVersion1(), Value());
  clock.advance(3.5 * 86400);
  launch(Value(ValueArray{collectionEntry("C0", "Added later", {})}), Value());
  EXPECT_EQ(manager->daysSinceFirstLaunch(), 3);
  EXPECT_EQ(collection("C1")->createdAt(), first);
}

class Reviews : public Catalogue {};

TEST_F(Reviews, ANewStateWaitsForTenSignificantEventsAndIsMadeOnce) {
  launch(catalogueVersion1(), kOptions);
  auto state = manager->getCurrentReviewState();
  ASSERT_TRUE(state);
  EXPECT_FALSE(state->isImmutable());
  EXPECT_EQ(state->platform(), 0u);
  EXPECT_EQ(state->significantEventsRemain(), 10);
  EXPECT_EQ(state->numberOfRequests(), 0);
  // Asked again before the main connection has seen the first one: the same state, not a second.
  auto again = manager->currentReviewStateForPlatform(0);
  EXPECT_EQ(again->uuid(), state->uuid());
  auto other = manager->currentReviewStateForPlatform(1);
  EXPECT_NE(other->uuid(), state->uuid());
  ASSERT_TRUE(flushMainQueue());
  EXPECT_EQ(manager->getCurrentReviewState()->uuid(), state->uuid());
  manager->mainDatabaseConnection()->readWithBlock([](DizEvozidizReadTransaction& t) {
    EXPECT_EQ(t.numberOfKeysInCollection(ZRVOptionsCollection), 5u);  // three triggers, two states
  });
}

TEST_F(Reviews, AnswersAndSignificantEventsAreRecorded) {
  launch(catalogueVersion1(), kOptions);
  auto state = manager->getCurrentReviewState();
  state->setSignificantEventsRemain(2);
  clock.advance(60);
  ASSERT_TRUE(manager->updateReview(*state, 0));
  EXPECT_FALSE(state->isImmutable());  // the caller's object stays changeable
  EXPECT_EQ(state->significantEventsRemain(), 5);
  EXPECT_EQ(state->numberOfRequests(), 1);
  EXPECT_EQ(state->lastRequestDate(), clock.now());
  EXPECT_EQ(state->status(), 0u);
  ASSERT_TRUE(flushMainQueue());
  auto stored = manager->getCurrentReviewState();
  EXPECT_EQ(stored->significantEventsRemain(), 5);
  EXPECT_EQ(stored->numberOfRequests(), 1);
  EXPECT_EQ(stored->lastRequestDate(), clock.now());

  ASSERT_TRUE(manager->updateReview(*stored, 2));
  EXPECT_EQ(stored->significantEventsRemain(), 5);
  EXPECT_EQ(stored->numberOfRequests(), 2);
  EXPECT_EQ(stored->status(), 2u);

  ASSERT_TRUE(manager->decreaseSignificantEventsRemainForReview(*stored));
  EXPECT_EQ(stored->significantEventsRemain(), 4);
  ASSERT_TRUE(flushMainQueue());
  EXPECT_EQ(manager->getCurrentReviewState()->significantEventsRemain(), 4);

  stored->setSignificantEventsRemain(0);
  const std::uint64_t before = manager->database()->snapshot();
  ASSERT_TRUE(manager->decreaseSignificantEventsRemainForReview(*stored));
  EXPECT_EQ(stored->significantEventsRemain(), 0);
  EXPECT_EQ(manager->database()->snapshot(), before);
}

TEST_F(Reviews, RemovingAllReviewStatesLeavesTheTriggers) {
  launch(catalogueVersion1(), kOptions);
  const auto first = manager->currentReviewStateForPlatform(0);
  manager->currentReviewStateForPlatform(1);
  const std::uint64_t before = manager->database()->snapshot();
  ASSERT_TRUE(manager->removeAllReviews());
  EXPECT_EQ(manager->database()->snapshot(), before + 1);
  ASSERT_TRUE(flushMainQueue());
  EXPECT_THAT(uuids(manager->allTriggers()), ElementsAre("T1", "T2", "T3"));
  EXPECT_NE(manager->getCurrentReviewState()->uuid(), first->uuid());  // made anew
}

}  // namespace
