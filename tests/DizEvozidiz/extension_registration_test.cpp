// Registering and unregistering extensions: the checks and their texts, the recorded class and
// registry, the registration connection, dependants, other classes under a stored name, the
// tables of extensions from an earlier run that were not registered again, and registrations that
// find their storage as it must be and so commit nothing.

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "DizEvozidiz/DizEvozidizConnectionInternal.h"
#include "DizEvozidiz/DizMemoryTable.h"
#include "extension_test_support.h"
#include "support/commit_counter.h"
#include "transaction_test_support.h"

namespace {

using diztest::BareExtension;
using diztest::classJournal;
using diztest::Journal;
using diztest::LogCapture;
using diztest::RecordingExtension;
using diztest::RecordingOptions;
using diztest::RenamedRecordingExtension;
using platform::Value;
using RW = DizEvozidizReadWriteTransaction;

class ExtensionRegistration : public diztest::StoreFixture {
 protected:
  void SetUp() override {
    StoreFixture::SetUp();
    connection = database->newConnection();
    classJournal().take();
  }
  void TearDown() override {
    connection.reset();
    StoreFixture::TearDown();
  }
  std::shared_ptr<RecordingExtension> make(const std::string& label, RecordingOptions options = {}) {
    return RecordingExtension::make(label, journal, std::move(options));
  }
  bool add(const std::shared_ptr<DizEvozidizExtension>& extension, const std::string& name) {
    return database->registerExtension(extension, name, connection);
  }
  std::optional<std::string> storedClass(const std::string& name) {
    std::optional<std::string> value;
    connection->readWithBlock([&](DizEvozidizReadTransaction& t) { value = t.stringValueForKey("class", name); });
    return value;
  }
  // Closes the database (and every connection) and opens the file again.
  void reopen(std::optional<DizEvozidizOptions> options = std::nullopt) {
    connection.reset();
    closeDatabase(database);
    database = DizEvozidiz::create(path, options);
    ASSERT_TRUE(database);
    connection = database->newConnection();
  }

  std::shared_ptr<Journal> journal = std::make_shared<Journal>();
  DizEvozidizConnection::Ptr connection;
};

TEST_F(ExtensionRegistration, RefusalsSayWhyAndLeaveTheExtensionFreeToRegisterElsewhere) {
  LogCapture log;
  auto a = make("A");
  auto second = make("second");
  ASSERT_TRUE(add(a, "A"));

  EXPECT_FALSE(add(nullptr, "X"));
  EXPECT_TRUE(log->contains("DizEvozidiz: Error registering extension: extension parameter is nil"));

  EXPECT_FALSE(add(second, ""));
  EXPECT_TRUE(
      log->contains("DizEvozidiz: Error registering extension: extensionName parameter is nil or empty string"));
  EXPECT_EQ(second->registeredName(), "");

  EXPECT_FALSE(add(a, "again"));
  EXPECT_TRUE(log->contains("DizEvozidiz: Error registering extension: extension is already registered"));
  EXPECT_EQ(a->registeredName(), "A");

  EXPECT_FALSE(add(second, "A"));
  EXPECT_TRUE(log->contains("DizEvozidiz: Error registering extension: extensionName(A) already registered"));
  EXPECT_EQ(second->registeredName(), "");
  EXPECT_EQ(second->registeredDatabase(), nullptr);
  EXPECT_EQ(database->registeredExtension("A"), a) << "the first keeps its name";
  EXPECT_TRUE(add(second, "B")) << "a refused extension can be registered under another name";

  RecordingOptions declines;
  declines.supports = false;
  auto picky = make("picky", declines);
  EXPECT_FALSE(add(picky, "picky"));
  EXPECT_TRUE(
      log->contains("DizEvozidiz: Error registering extension: extension doesn't support database configuration"));
  EXPECT_EQ(picky->registeredName(), "");
  const auto asked = journal->takeMatching({"picky supports"});
  EXPECT_EQ(asked, std::vector<std::string>{"picky supports [A,B]"}) << "asked with the registry before it";

  database->unregisterExtensionWithName("");
  EXPECT_TRUE(
      log->contains("DizEvozidiz: Error unregistering extension: extensionName parameter is nil or empty string"));
  EXPECT_EQ(database->extensionsOrder(), (std::vector<std::string>{"A", "B"}));
}

TEST_F(ExtensionRegistration, AnExtensionThatOverridesNothingOrRefusesToCreateIsRolledBack) {
  const std::uint64_t before = connection->snapshot();
  auto bare = platform::make<BareExtension>();
  EXPECT_FALSE(add(bare, "bare"));
  EXPECT_EQ(bare->registeredName(), "");

  RecordingOptions refuses;
  refuses.create = false;
  auto refusing = make("R", refuses);
  EXPECT_FALSE(add(refusing, "R"));
  EXPECT_EQ(refusing->registeredName(), "");
  EXPECT_FALSE(storedClass("R"));
  EXPECT_TRUE(database->registeredExtensions().empty());
  EXPECT_TRUE(database->registeredMemoryTables().empty()) << "nothing of the failed registration is left";
  EXPECT_EQ(connection->snapshot(), before);
  EXPECT_TRUE(connection->registeredExtensions().empty());
}

TEST_F(ExtensionRegistration, RegistrationRecordsTheClassAndPublishesTheRegistry) {
  auto reader = database->newConnection();
  RecordingOptions inMemory;
  inMemory.persistent = false;
  RecordingOptions dependent;
  dependent.dependencies = {"P"};
  auto p = make("P");
  auto m = make("M", inMemory);
  auto d = make("D", dependent);
  ASSERT_TRUE(add(p, "P"));
  ASSERT_TRUE(add(m, "M"));
  ASSERT_TRUE(add(d, "D"));
  EXPECT_EQ(p->registeredDatabase(), database);
  EXPECT_EQ(storedClass("P"), "RecordingExtension");
  EXPECT_FALSE(storedClass("M")) << "a non-persistent extension keeps its class in memory";
  connection->readWithBlock([](DizEvozidizReadTransaction& t) {
    auto diz = t.dizMemoryTableTransaction();
    ASSERT_TRUE(diz);
    EXPECT_EQ(diz->objectForKey(Value(DizCollectionKey::make("M", "class"))), Value("RecordingExtension"));
  });
  EXPECT_EQ(database->extensionsOrder(), (std::vector<std::string>{"P", "M", "D"}));
  EXPECT_EQ(database->extensionDependencies().at("D"), std::set<std::string>{"P"});
  EXPECT_TRUE(database->extensionDependencies().at("P").empty());
  EXPECT_EQ(database->registeredMemoryTables().count("diz"), 1u);
  const auto lines = journal->lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "P didRegister as P"), lines.end());

  // Another connection takes the registry from the changesets.
  reader->readWithBlock([](DizEvozidizReadTransaction&) {});
  EXPECT_EQ(reader->registeredExtensions().size(), 3u);
  EXPECT_TRUE(reader->extension("D"));
  EXPECT_FALSE(reader->extension("nope"));
}

TEST_F(ExtensionRegistration, AsynchronousFormsCompleteOnTheMainQueueWithTheResult) {
  auto a = make("A");
  std::optional<bool> result;
  bool onMain = false;
  database->asyncRegisterExtension(a, "A", [&](bool ok) {
    result = ok;
    onMain = platform::DispatchQueue::currentQueueLabel() == platform::DispatchQueue::main()->label();
  });
  ASSERT_TRUE(platform::runMainLoopUntil([&] { return result.has_value(); }, 10));
  EXPECT_TRUE(*result);
  EXPECT_TRUE(onMain);

  result.reset();
  database->asyncRegisterExtension(a, "again", [&](bool ok) { result = ok; });
  ASSERT_TRUE(platform::runMainLoopUntil([&] { return result.has_value(); }, 10));
  EXPECT_FALSE(*result);

  auto queue = platform::DispatchQueue::createSerial("completions");
  std::atomic<bool> unregistered{false};
  database->asyncUnregisterExtensionWithName(
      "A", [&] { unregistered = true; }, queue);
  ASSERT_TRUE(platform::runMainLoopUntil([&] { return unregistered.load(); }, 10));
  EXPECT_EQ(database->registeredExtension("A"), nullptr);
  EXPECT_EQ(a->registeredName(), "");
}

TEST_F(ExtensionRegistration, TheRegistrationConnectionIsNamedSharedForFiveSecondsAndThenReleased) {
  auto a = make("A");
  auto b = make("B");
  ASSERT_TRUE(database->registerExtension(a, "A"));
  ASSERT_TRUE(database->registerExtension(b, "B"));
  ASSERT_TRUE(a->lastConnection && a->lastConnection == b->lastConnection) << "one connection for both";
  EXPECT_EQ(journal->takeMatching({"A newConnection"}),
            std::vector<std::string>{"A newConnection on DizEvozidiz_extensionRegistrationConnection"});

  // The connection keeps the database open for its five seconds, then both go.
  std::weak_ptr<DizEvozidiz> weak = database;
  connection.reset();
  database.reset();
  EXPECT_FALSE(weak.expired());
  EXPECT_TRUE(platform::runMainLoopUntil([&] { return weak.expired(); }, 15));
}

TEST_F(ExtensionRegistration, UnregisteringRemovesEveryDependantInOneTransaction) {
  auto reader = database->newConnection();
  RecordingOptions onA, onB;
  onA.dependencies = {"A"};
  onB.dependencies = {"B"};
  auto a = make("A");
  auto b = make("B", onA);
  auto c = make("C", onB);
  auto d = make("D");
  for (auto& [extension, name] :
       std::vector<std::pair<std::shared_ptr<RecordingExtension>, std::string>>{{c, "C"}, {a, "A"}, {b, "B"}, {d, "D"}})
    ASSERT_TRUE(add(extension, name));
  ASSERT_TRUE(reader->extension("B"));
  const std::uint64_t before = connection->snapshot();
  classJournal().take();

  database->unregisterExtensionWithName("A", connection);
  EXPECT_EQ(classJournal().take(),
            (std::vector<std::string>{"RecordingExtension drop A persistent", "RecordingExtension drop B persistent",
                                      "RecordingExtension drop C persistent"}));
  EXPECT_EQ(connection->snapshot(), before + 1) << "one transaction";
  EXPECT_EQ(database->extensionsOrder(), std::vector<std::string>{"D"});
  for (const auto& gone : {a, b, c}) EXPECT_EQ(gone->registeredName(), "") << gone->label();
  EXPECT_EQ(d->registeredName(), "D");
  EXPECT_FALSE(storedClass("B"));
  reader->readWithBlock([](DizEvozidizReadTransaction&) {});
  EXPECT_FALSE(reader->extension("B")) << "other connections drop theirs with the changeset";
  EXPECT_TRUE(reader->extension("D"));
}

TEST_F(ExtensionRegistration, TheWalkOverDependantsEndsWithLoopsAndMissingClassValues) {
  LogCapture log;
  RecordingOptions onX, onY, onA, onB;
  onX.dependencies = {"Y"};
  onY.dependencies = {"X"};
  onA.dependencies = {"A"};
  onB.dependencies = {"B"};
  ASSERT_TRUE(add(make("X", onX), "X"));
  ASSERT_TRUE(add(make("Y", onY), "Y"));
  database->unregisterExtensionWithName("X", connection);
  EXPECT_TRUE(database->registeredExtensions().empty()) << "both ends of the loop are gone";

  ASSERT_TRUE(add(make("A"), "A"));
  ASSERT_TRUE(add(make("B", onA), "B"));
  ASSERT_TRUE(add(make("C", onB), "C"));
  // B's class value is lost: B cannot be dropped, but the walk goes on to C and ends.
  ASSERT_TRUE(connection->readWriteWithBlock([](RW& t) { t.removeValueForKey("class", "B"); }));
  classJournal().take();
  database->unregisterExtensionWithName("A", connection);
  EXPECT_TRUE(
      log->contains("DizEvozidizConnection: Unable to unregister extension(B). Doesn't appear to be registered."));
  EXPECT_EQ(classJournal().take(),
            (std::vector<std::string>{"RecordingExtension drop A persistent", "RecordingExtension drop C persistent"}));
  EXPECT_EQ(database->extensionsOrder(), std::vector<std::string>{"B"});
}

TEST_F(ExtensionRegistration, AnotherClassUnderAStoredNameDropsTheOldTablesUnlessItListsTheOldName) {
  ASSERT_TRUE(add(make("V"), "V"));
  ASSERT_TRUE(connection->readWriteWithBlock([](RW& t) { t.ext("V")->setIntValue(7, "kept", true); }));
  reopen();
  LogCapture log;
  classJournal().take();
  ASSERT_TRUE(add(RenamedRecordingExtension::make("V", journal), "V"));
  EXPECT_TRUE(
      log->contains("DizEvozidizConnection: Dropping tables for previously registered extension with "
                    "name(V), class(RecordingExtension) for new class(RenamedRecordingExtension)"));
  EXPECT_EQ(classJournal().take(), std::vector<std::string>{"RecordingExtension drop V persistent"});
  EXPECT_EQ(storedClass("V"), "RenamedRecordingExtension");
  connection->readWithBlock([](DizEvozidizReadTransaction& t) { EXPECT_FALSE(t.getIntValue(nullptr, "kept", "V")); });

  // A stored name the new class lists as its earlier one keeps everything.
  database->unregisterExtensionWithName("V", connection);
  ASSERT_TRUE(connection->readWriteWithBlock([](RW& t) {
    t.setStringValue("OldRecordingExtensionName", "class", "W");
    t.setIntValue(8, "kept", "W");
  }));
  classJournal().take();
  ASSERT_TRUE(add(RenamedRecordingExtension::make("W", journal), "W"));
  EXPECT_TRUE(classJournal().take().empty());
  EXPECT_EQ(storedClass("W"), "RenamedRecordingExtension");
  connection->readWithBlock([](DizEvozidizReadTransaction& t) { EXPECT_TRUE(t.getIntValue(nullptr, "kept", "W")); });

  // Stored names that cannot be used are reported; the new class still takes the name.
  struct Case {
    const char* stored;
    const char* text;
  } cases[] = {{"NoSuchClass",
                "DizEvozidizConnection: Unable to drop tables for previously registered extension with "
                "name(N), unknown class(NoSuchClass)"},
               {"DizMemoryTable",
                "DizEvozidizConnection: Unable to drop tables for previously registered "
                "extension with name(N), invalid class(DizMemoryTable)"}};
  for (const Case& c : cases) {
    ASSERT_TRUE(connection->readWriteWithBlock([&](RW& t) { t.setStringValue(c.stored, "class", "N"); }));
    ASSERT_TRUE(add(make("N"), "N")) << c.stored;
    EXPECT_TRUE(log->contains(c.text)) << c.stored;
    EXPECT_EQ(storedClass("N"), "RecordingExtension");
    database->unregisterExtensionWithName("N", connection);
  }
}

TEST_F(ExtensionRegistration, ExtensionsOfAnEarlierRunNotRegisteredAgainLoseTheirTablesAtTheFirstCommit) {
  ASSERT_TRUE(add(make("O"), "O"));
  ASSERT_TRUE(add(make("Kept"), "Kept"));
  ASSERT_TRUE(connection->readWriteWithBlock([](RW& t) { t.ext("O")->setIntValue(1, "state", true); }));
  reopen();
  EXPECT_EQ(database->previouslyRegisteredExtensionNames(), (std::vector<std::string>{"Kept", "O"}));
  ASSERT_TRUE(add(make("Kept"), "Kept"));  // registers: leaves the earlier names alone
  EXPECT_EQ(database->previouslyRegisteredExtensionNames().size(), 2u);
  classJournal().take();

  put(connection, "k", Value("v"));
  EXPECT_EQ(classJournal().take(), std::vector<std::string>{"RecordingExtension drop O persistent"});
  EXPECT_TRUE(database->previouslyRegisteredExtensionNames().empty());
  EXPECT_FALSE(storedClass("O"));
  EXPECT_EQ(storedClass("Kept"), "RecordingExtension");
  put(connection, "k2", Value("v"));
  EXPECT_TRUE(classJournal().take().empty()) << "only the first commit looks";
}

TEST_F(ExtensionRegistration, ANameRegisteredAgainWithAnotherObjectGetsNewConnectionsEverywhere) {
  auto reader = database->newConnection();
  auto first = make("first");
  ASSERT_TRUE(add(first, "N"));
  ASSERT_TRUE(reader->extension("N"));
  EXPECT_EQ(reader->extension("N")->extension(), first);
  database->unregisterExtensionWithName("N", connection);
  auto second = make("second");
  ASSERT_TRUE(add(second, "N"));
  // The reader applies both commits at once, catching up.
  reader->readWithBlock([](DizEvozidizReadTransaction&) {});
  ASSERT_TRUE(reader->extension("N"));
  EXPECT_EQ(reader->extension("N")->extension(), second);
}

// At every launch the application registers the same extensions over the tables an earlier run
// left: such a registration writes nothing, so it commits nothing, with or without other processes.
TEST_F(ExtensionRegistration, RegisteringWhatTheFileAlreadyHoldsCommitsNothing) {
  for (const bool multiProcess : {false, true}) {
    SCOPED_TRACE(multiProcess ? "multi-process" : "one process");
    DizEvozidizOptions options;
    options.enableMultiProcessSupport = multiProcess;
    const std::string name = multiProcess ? "M" : "S";
    reopen(options);
    {
      zorvel::test::CommitCounter modified(database);
      const std::uint64_t before = database->snapshot();
      ASSERT_TRUE(add(make(name), name));
      EXPECT_EQ(database->snapshot(), before + 1) << "the first registration stores the class";
      EXPECT_EQ(modified.count(), 1u);
    }

    reopen(options);
    auto reader = database->newConnection();
    reader->readWithBlock([](DizEvozidizReadTransaction&) {});
    auto longLived = database->newConnection();
    longLived->beginLongLivedReadTransaction();
    const std::uint64_t snapshot = database->snapshot();
    const std::uint64_t counter = storedCounter();
    zorvel::test::CommitCounter modified(database);
    journal->take();
    auto again = make(name);
    ASSERT_TRUE(add(again, name));
    EXPECT_EQ(database->snapshot(), snapshot);
    EXPECT_EQ(connection->snapshot(), snapshot);
    EXPECT_EQ(storedCounter(), counter);
    EXPECT_EQ(modified.count(), 0u);
    EXPECT_EQ(database->registeredExtension(name), again);
    EXPECT_EQ(
        journal->takeMatching(
            {name + " createIfNeeded", name + " didCommit", name + " didRollback", name + " didRegister"}),
        (std::vector<std::string>{name + " createIfNeeded", name + " didCommit", name + " didRegister as " + name}));

    // Connections take the registry when they begin their next transaction; a long-lived read
    // keeps the one it began with until it moves.
    reader->readWithBlock([&](DizEvozidizReadTransaction& t) { EXPECT_TRUE(t.ext(name)); });
    EXPECT_FALSE(longLived->extension(name));
    EXPECT_TRUE(longLived->beginLongLivedReadTransaction().empty());
    EXPECT_TRUE(longLived->extension(name));
    EXPECT_TRUE(database->newConnection()->extension(name));
    // The extension works as if its registration had committed.
    ASSERT_TRUE(reader->readWriteWithBlock([&](RW& t) {
      auto extension = t.ext(name);
      ASSERT_TRUE(extension);
      extension->setIntValue(1, "used", true);
    }));
    EXPECT_EQ(database->snapshot(), snapshot + 1);
  }
}

// A registry published without a commit belongs to the commit it was published at: connections
// behind it get it once they reach that commit, and later commits carry it on until the extension
// is unregistered.
TEST_F(ExtensionRegistration, ARegistryPublishedWithoutACommitHoldsThroughLaterCommits) {
  ASSERT_TRUE(add(make("A"), "A"));
  reopen();
  auto behind = database->newConnection();
  auto lagging = database->newConnection();
  for (const auto& c : {behind, lagging}) c->readWithBlock([](DizEvozidizReadTransaction&) {});
  const std::uint64_t snapshot = database->snapshot();
  ASSERT_TRUE(add(make("A"), "A"));
  ASSERT_EQ(database->snapshot(), snapshot);

  put(connection, "row", Value("v"));  // a commit that carries no registry
  behind->readWithBlock([](DizEvozidizReadTransaction& t) { EXPECT_TRUE(t.ext("A")); });

  ASSERT_TRUE(add(make("C"), "C"));  // a commit that carries the registry, A with it
  lagging->readWithBlock([](DizEvozidizReadTransaction& t) {
    EXPECT_TRUE(t.ext("A"));
    EXPECT_TRUE(t.ext("C"));
  });

  database->unregisterExtensionWithName("A", connection);
  for (const auto& c : {behind, lagging, connection}) {
    c->readWithBlock([](DizEvozidizReadTransaction& t) {
      EXPECT_FALSE(t.ext("A")) << "an unregistered extension stays gone";
      EXPECT_TRUE(t.ext("C"));
    });
  }
  EXPECT_EQ(database->extensionsOrder(), std::vector<std::string>{"C"});
  EXPECT_FALSE(storedClass("A"));
}

// A registration that writes anything at all (here the class value of a new name, or a table of its
// own) commits as before.
TEST_F(ExtensionRegistration, ARegistrationThatWritesCommits) {
  ASSERT_TRUE(add(make("A"), "A"));
  reopen();
  struct Case {
    const char* name;
    std::function<void(RW&)> write;
  } cases[] = {
      {"stored value", [](RW& t) { t.setIntValue(1, "written", "A"); }},
      {"own table",
       [](RW& t) {
         sqlite3_exec(DizInternal(*t.connection()).db, "CREATE TABLE \"ownTable\" (\"x\");", nullptr, nullptr, nullptr);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingOptions writes;
    writes.onCreate = c.write;
    database->unregisterExtensionWithName("A", connection);
    ASSERT_TRUE(add(make("A"), "A"));  // stores its class again
    reopen();
    zorvel::test::CommitCounter modified(database);
    const std::uint64_t before = database->snapshot();
    ASSERT_TRUE(add(make("A", writes), "A"));
    EXPECT_EQ(database->snapshot(), before + 1);
    EXPECT_EQ(modified.count(), 1u);
  }
}

TEST_F(ExtensionRegistration, RegistrationThroughAConnectionOfAnotherDatabaseIsRefused) {
  zorvel::test::TempDir otherDir;
  auto other = DizEvozidiz::create((otherDir / "other.sqlite").string());
  ASSERT_TRUE(other);
  auto foreign = other->newConnection();
  auto a = make("A");
  EXPECT_FALSE(database->registerExtension(a, "A", foreign));
  EXPECT_EQ(a->registeredName(), "");
  foreign.reset();
  other.reset();
}

}  // namespace
