// The database manager itself: where the file goes, what happens when it cannot go there, the
// closures the store is opened with, and the update notifications after each commit.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>

#include "app/database/database_test_support.h"
#include "app/model/ZRVCollection.h"
#include "platform/runtime/error.h"
#include "platform/system/process.h"
#include "support/scoped_environment.h"

namespace {

using namespace zorvel::test;
using platform::Value;
using testing::ElementsAre;
using testing::HasSubstr;

class DatabaseManager : public DatabaseTest {};

TEST_F(DatabaseManager, TheFileIsNamedAfterTheExecutableInTheUsersDataFolder) {
  TempDir home;
  auto bundle = writeBundle(dir.path(), Value(), Value());
  {
    ScopedEnvironment data("XDG_DATA_HOME", (home / "data-home").c_str());
    ZRVDatabaseManagerSetup setup;
    setup.bundle = bundle;
    ZRVDatabaseManager::Ptr manager = ZRVDatabaseManager::create(setup);
    ASSERT_TRUE(manager);
    const std::filesystem::path expected = home / "data-home" / "zorvel" / "zorvelDatabase.sqlite";
    EXPECT_EQ(manager->database()->databasePath(), expected.string());
    EXPECT_TRUE(std::filesystem::exists(expected));
  }
  {
    // Without XDG_DATA_HOME (or with a relative one) the data folder is ~/.local/share.
    ScopedEnvironment homeVariable("HOME", home.path().c_str());
    ScopedEnvironment data("XDG_DATA_HOME", "relative/ignored");
    ZRVDatabaseManagerSetup setup;
    setup.bundle = bundle;
    ZRVDatabaseManager::Ptr manager = ZRVDatabaseManager::create(setup);
    ASSERT_TRUE(manager);
    EXPECT_EQ(manager->databasePath(), home / ".local" / "share" / "zorvel" / "zorvelDatabase.sqlite");
  }
}

TEST_F(DatabaseManager, TheExecutableNameComesFromTheBundleElseFromTheProgram) {
  auto named = [](Value name) {
    return ZRVDatabaseManager::executableName(
        *platform::Bundle::bundleWithInfoDictionary("/nowhere", Value(ValueDictionary{{"CFBundleExecutable", name}})));
  };
  EXPECT_EQ(named(Value("Zorvel")), "Zorvel");
  const std::string program = platform::ProcessInfo::processName();
  EXPECT_EQ(named(Value()), program);
  EXPECT_EQ(named(Value("")), program);
  EXPECT_EQ(named(Value("../elsewhere")), program);
  EXPECT_EQ(named(Value(".")), program);
  EXPECT_EQ(named(Value(42)), program);
}

// Start-up used to go on with no database path when the data folder could not be made.
TEST_F(DatabaseManager, AFolderThatCannotBeCreatedStopsTheStartWithAClearMessage) {
  std::ofstream(dir / "a-file") << "not a folder";
  for (bool throughEnvironment : {false, true}) {
    SCOPED_TRACE(throughEnvironment ? "data folder from XDG_DATA_HOME" : "folder of the setup");
    ScopedEnvironment data("XDG_DATA_HOME", (dir / "a-file" / "data").c_str());
    ZRVDatabaseManagerSetup setup;
    setup.bundle = writeBundle(dir.path(), Value(), Value());
    if (!throughEnvironment) setup.directory = dir / "a-file" / "folder";
    platform::ErrorPtr error;
    EXPECT_EQ(ZRVDatabaseManager::create(setup, &error), nullptr);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), ZRVDatabaseManagerErrorDomain);
    EXPECT_EQ(error->code(), ZRVDatabaseManagerErrorDataFolder);
    EXPECT_THAT(error->localizedDescription(), HasSubstr("Cannot create the data folder"));
    EXPECT_THAT(error->localizedDescription(), HasSubstr((dir / "a-file").string()));
    EXPECT_THAT(error->localizedDescription(), HasSubstr("Not a directory"));
    ASSERT_TRUE(error->underlyingError());
    EXPECT_EQ(error->underlyingError()->domain(), platform::kPOSIXErrorDomain);
  }
  EXPECT_EQ(platform::FileManager::defaultManager().contentsOfDirectory(dir.path()),
            (std::vector<std::string>{"a-file", "bundle"}));
}

TEST_F(DatabaseManager, AFileTheStoreCannotOpenFailsTheStartToo) {
  std::filesystem::create_directories(dir / "data" / "zorvelDatabase.sqlite");  // a folder where the file goes
  ZRVDatabaseManagerSetup setup;
  setup.directory = dir / "data";
  setup.bundle = writeBundle(dir.path(), Value(), Value());
  platform::ErrorPtr error;
  EXPECT_EQ(ZRVDatabaseManager::create(setup, &error), nullptr);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), ZRVDatabaseManagerErrorOpen);
  EXPECT_THAT(error->localizedDescription(), HasSubstr((dir / "data" / "zorvelDatabase.sqlite").string()));
}

TEST_F(DatabaseManager, OpensWithItsConnectionsAndExtensions) {
  auto manager = open();
  ASSERT_TRUE(manager);
  EXPECT_TRUE(manager->database()->options().enableMultiProcessSupport);
  EXPECT_THAT(manager->database()->extensionsOrder(),
              ElementsAre("events_view", "collections_view", "collections_available_view", "skins_view", "options_view",
                          "events_index"));
  for (const auto& connection : {manager->mainDatabaseConnection(), manager->backgroundDatabaseConnection()}) {
    EXPECT_EQ(connection->objectCacheLimit(), 400u);
    EXPECT_FALSE(connection->metadataCacheEnabled());
  }
  EXPECT_TRUE(manager->mainDatabaseConnection()->isInLongLivedReadTransaction());
  EXPECT_FALSE(manager->backgroundDatabaseConnection()->isInLongLivedReadTransaction());
  // The main connection is for reading: a write through it raises instead of ending its snapshot.
  EXPECT_THROW((void)manager->mainDatabaseConnection()->readWriteWithBlock([](DizEvozidizReadWriteTransaction&) {}),
               platform::Exception);
  EXPECT_TRUE(manager->mainDatabaseConnection()->isInLongLivedReadTransaction());
}

TEST_F(DatabaseManager, ObjectsWrittenAndReadAreImmutableAndWrittenOnesForgetTheirChanges) {
  auto manager = open();
  auto event = makeEvent(ZRVEventStateActive, localDate(2024, 6, 1));
  ASSERT_TRUE(event->hasChangedProperties());
  ASSERT_TRUE(manager->saveEvent(event));
  EXPECT_TRUE(event->isImmutable());
  EXPECT_FALSE(event->hasChangedProperties());

  UpdateRecorder recorder(manager);
  ASSERT_TRUE(recorder.waitForNextUpdate());
  for (const auto& connection : {manager->mainDatabaseConnection(), manager->backgroundDatabaseConnection()}) {
    // Once from the cache, once from the file.
    for (int pass = 0; pass < 2; ++pass) {
      auto stored = storedObject<ZRVEvent>(connection, *event->uuid(), ZRVEventsCollection);
      ASSERT_TRUE(stored);
      EXPECT_TRUE(stored->isImmutable());
      try {
        stored->setName("changed");
        ADD_FAILURE() << "a stored event took a change";
      } catch (const platform::Exception& e) {
        EXPECT_EQ(e.name(), "STDatabaseObjectException");
      }
      connection->flushMemoryWithFlags(DizFlushMemoryCaches);
    }
  }
  // The writer's way: copy, change, write the copy.
  auto copy = std::static_pointer_cast<ZRVEvent>(
      storedObject<ZRVEvent>(manager->backgroundDatabaseConnection(), *event->uuid(), ZRVEventsCollection)->copy());
  copy->setName("renamed");
  ASSERT_TRUE(manager->saveEvent(copy));
  EXPECT_EQ(
      storedObject<ZRVEvent>(manager->backgroundDatabaseConnection(), *event->uuid(), ZRVEventsCollection)->name(),
      "renamed");
}

TEST_F(DatabaseManager, BytesThatAreNoArchiveReadAsNoObject) {
  auto deserialize = ZRVDatabaseManager::databaseDeserializer();
  const std::uint8_t garbage[] = {'n', 'o', 't', ' ', 'a', 'n', ' ', 'a', 'r', 'c', 'h', 'i', 'v', 'e'};
  EXPECT_TRUE(deserialize("Events", "k", garbage).isNil());
  EXPECT_TRUE(deserialize("Events", "k", {}).isNil());
  // Plain values pass through both ways untouched.
  auto bytes = ZRVDatabaseManager::databaseSerializer()("CloudKit", "token", Value("abc"));
  EXPECT_EQ(deserialize("CloudKit", "token", bytes), Value("abc"));
}

TEST_F(DatabaseManager, UpdateNotificationsMoveTheMainConnectionBetweenWillAndDid) {
  auto manager = open();
  UpdateRecorder recorder(manager);
  const std::uint64_t before = manager->mainDatabaseConnection()->snapshot();

  auto first = makeEvent(ZRVEventStateActive, localDate(2024, 6, 1));
  ASSERT_TRUE(manager->saveEvent(first));
  ASSERT_TRUE(recorder.waitForDidUpdates(1));
  ASSERT_EQ(recorder.entries.size(), 2u);
  EXPECT_EQ(recorder.entries[0].name, UIDatabaseConnectionWillUpdateNotification);
  EXPECT_EQ(recorder.entries[0].mainSnapshot, before);
  EXPECT_EQ(recorder.entries[1].name, UIDatabaseConnectionDidUpdateNotification);
  EXPECT_EQ(recorder.entries[1].mainSnapshot, before + 1);
  ASSERT_EQ(recorder.entries[1].changes.size(), 1u);
  const auto& change = recorder.entries[1].changes[0];
  EXPECT_EQ(change->name(), DizEvozidizModifiedNotification);
  EXPECT_EQ(change->object(), manager->database());
  EXPECT_TRUE(DizEvozidizConnection::hasChangeForKey(*first->uuid(), "Events", recorder.entries[1].changes));
  EXPECT_TRUE(manager->mainDatabaseConnection()->isInLongLivedReadTransaction());

  // Two commits before the main thread gets to run: the first Did-update carries both, oldest
  // first; the second one, posted all the same, carries none.
  recorder.entries.clear();
  auto second = makeEvent(ZRVEventStateActive, localDate(2024, 6, 2));
  auto third = makeEvent(ZRVEventStateActive, localDate(2024, 6, 3));
  ASSERT_TRUE(manager->saveEvent(second));
  ASSERT_TRUE(manager->saveEvent(third));
  ASSERT_TRUE(recorder.waitForDidUpdates(3));
  ASSERT_EQ(recorder.entries.size(), 4u);
  EXPECT_EQ(recorder.entries[0].name, UIDatabaseConnectionWillUpdateNotification);
  EXPECT_EQ(recorder.entries[0].mainSnapshot, before + 1);
  EXPECT_EQ(recorder.entries[1].name, UIDatabaseConnectionDidUpdateNotification);
  EXPECT_EQ(recorder.entries[1].mainSnapshot, before + 3);
  ASSERT_EQ(recorder.entries[1].changes.size(), 2u);
  EXPECT_TRUE(DizEvozidizConnection::hasChangeForKey(*second->uuid(), "Events", {recorder.entries[1].changes[0]}));
  EXPECT_TRUE(DizEvozidizConnection::hasChangeForKey(*third->uuid(), "Events", {recorder.entries[1].changes[1]}));
  EXPECT_EQ(recorder.entries[2].name, UIDatabaseConnectionWillUpdateNotification);
  EXPECT_EQ(recorder.entries[3].name, UIDatabaseConnectionDidUpdateNotification);
  EXPECT_EQ(recorder.entries[3].mainSnapshot, before + 3);
  EXPECT_TRUE(recorder.entries[3].changes.empty());
}

TEST_F(DatabaseManager, TheMainConnectionReadsItsSnapshotUntilTheDidUpdate) {
  auto manager = open();
  UpdateRecorder recorder(manager);
  auto event = makeEvent(ZRVEventStateActive, localDate(2024, 6, 1));
  ASSERT_TRUE(manager->saveEvent(event));
  EXPECT_FALSE(storedObject<ZRVEvent>(manager->mainDatabaseConnection(), *event->uuid(), ZRVEventsCollection));
  EXPECT_TRUE(storedObject<ZRVEvent>(manager->backgroundDatabaseConnection(), *event->uuid(), ZRVEventsCollection));
  ASSERT_TRUE(recorder.waitForNextUpdate());
  EXPECT_TRUE(storedObject<ZRVEvent>(manager->mainDatabaseConnection(), *event->uuid(), ZRVEventsCollection));
}

TEST_F(DatabaseManager, AReopenedDatabaseKeepsItsEventsAndViews) {
  auto manager = open();
  auto event = makeEvent(ZRVEventStateComplete, localDate(2024, 1, 1));
  const std::string key = *event->uuid();
  ASSERT_TRUE(manager->saveEvent(event));
  close(manager);
  manager = open();
  ASSERT_TRUE(manager);
  EXPECT_THAT(keysInGroup(manager->mainDatabaseConnection(), ZRVEventsViewName, ZRVEventsCompleteGroup),
              ElementsAre(key));
}

// A launch registers the views and the index over the tables the last run left: with nothing to
// write it commits nothing, so the store announces nothing and the manager posts no update; the
// views and the index then work as ever.
TEST_F(DatabaseManager, ARelaunchRegistersItsViewsAndIndexWithoutACommit) {
  auto manager = open();
  auto complete = makeEvent(ZRVEventStateComplete, localDate(2024, 1, 1));
  ASSERT_TRUE(manager->saveEvent(complete));
  const std::uint64_t snapshot = manager->database()->snapshot();
  close(manager);

  auto center = platform::NotificationCenter::defaultCenter();
  std::size_t posted = 0;
  std::vector<platform::NotificationCenter::ObserverToken> tokens;
  for (std::string_view name : {DizEvozidizModifiedNotification, UIDatabaseConnectionWillUpdateNotification,
                                UIDatabaseConnectionDidUpdateNotification})
    tokens.push_back(
        center->addObserver(std::string(name), nullptr, nullptr, [&](const platform::NotificationPtr&) { ++posted; }));
  manager = open();
  ASSERT_TRUE(manager);
  ASSERT_TRUE(flushMainQueue());
  for (const auto& token : tokens) center->removeObserver(token);
  EXPECT_EQ(manager->database()->snapshot(), snapshot);
  EXPECT_EQ(posted, 0u);

  EXPECT_THAT(keysInGroup(manager->mainDatabaseConnection(), ZRVEventsViewName, ZRVEventsCompleteGroup),
              ElementsAre(*complete->uuid()));
  UpdateRecorder recorder(manager);
  auto adding = makeEvent(ZRVEventStateAdding, localDate(2024, 6, 1));
  ASSERT_TRUE(manager->saveEvent(adding));
  ASSERT_TRUE(recorder.waitForNextUpdate());
  EXPECT_EQ(manager->database()->snapshot(), snapshot + 1);
  EXPECT_THAT(keysInGroup(manager->mainDatabaseConnection(), ZRVEventsViewName, ZRVEventsActiveGroup),
              ElementsAre(*adding->uuid()));
  EXPECT_TRUE(manager->isAnyAddingEvent());
}

TEST_F(DatabaseManager, AManagerGoneBeforeItsNotificationsArrivePostsNothing) {
  auto manager = open();
  std::size_t posted = 0;
  auto token = platform::NotificationCenter::defaultCenter()->addObserver(
      std::string(UIDatabaseConnectionDidUpdateNotification), nullptr, nullptr,
      [&](const platform::NotificationPtr&) { ++posted; });
  ASSERT_TRUE(manager->saveEvent(makeEvent(ZRVEventStateActive, localDate(2024, 6, 1))));
  manager.reset();
  ASSERT_TRUE(flushMainQueue());
  platform::NotificationCenter::defaultCenter()->removeObserver(token);
  EXPECT_EQ(posted, 0u);
}

}  // namespace
