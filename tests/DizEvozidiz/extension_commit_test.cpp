// Extensions at commit and rollback: the flush passes, the changeset parts and their fan-out, the
// commit and rollback calls, and memory-table changes that must count as a commit.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DizEvozidiz/DizMemoryTable.h"
#include "extension_test_support.h"
#include "transaction_test_support.h"

namespace {

using diztest::Journal;
using diztest::RecordingExtension;
using diztest::RecordingOptions;
using platform::Value;
using RW = DizEvozidizReadWriteTransaction;

bool isLifecycle(const std::string& line) {
  for (const char* call :
       {" newReadWriteTransaction", " prepareIfNeeded", " flushMain", " flushExtension", " didCommit", " didRollback"})
    if (line.find(call) != std::string::npos) return true;
  return false;
}

class ExtensionCommit : public diztest::StoreFixture {
 protected:
  void registerBoth(RecordingOptions a = {}, RecordingOptions b = {}) {
    writer = database->newConnection();
    writer->setName("writer");
    reader = database->newConnection();
    reader->setName("reader");
    ASSERT_TRUE(database->registerExtension(RecordingExtension::make("A", journal, a), "A", writer));
    ASSERT_TRUE(database->registerExtension(RecordingExtension::make("B", journal, b), "B", writer));
    journal->take();
  }
  void TearDown() override {
    writer.reset();
    reader.reset();
    StoreFixture::TearDown();
  }
  static std::vector<std::string> lifecycleOf(const std::vector<std::string>& lines) {
    std::vector<std::string> kept;
    for (const std::string& line : lines)
      if (isLifecycle(line)) kept.push_back(line);
    return kept;
  }
  std::vector<std::string> lifecycle() { return lifecycleOf(journal->take()); }

  std::shared_ptr<Journal> journal = std::make_shared<Journal>();
  DizEvozidizConnection::Ptr writer;
  DizEvozidizConnection::Ptr reader;
};

TEST_F(ExtensionCommit, StepsRunInOrderAndTheChangesetPartsReachEveryoneElse) {
  RecordingOptions withParts;
  withParts.changesets = true;
  registerBoth(withParts, withParts);
  // The reader uses both extensions, so it has their connections to hand changesets to.
  ASSERT_TRUE(reader->extension("A") && reader->extension("B"));
  const std::uint64_t before = writer->snapshot();

  platform::NotificationPtr received;
  auto token = platform::NotificationCenter::defaultCenter()->addObserver(
      std::string(DizEvozidizModifiedNotification), nullptr, nullptr,
      [&](const platform::NotificationPtr& n) { received = n; });
  ASSERT_TRUE(writer->readWriteWithBlock([](RW& t) { t.setObject(Value("v"), "k", "things"); }));
  std::vector<std::string> lines = journal->take();
  EXPECT_EQ(lifecycleOf(lines),
            (std::vector<std::string>{"A newReadWriteTransaction", "A prepareIfNeeded", "B newReadWriteTransaction",
                                      "B prepareIfNeeded", "A flushMain no", "B flushMain no", "A flushExtension",
                                      "B flushExtension", "A didCommit", "B didCommit"}));
  EXPECT_EQ(writer->snapshot(), before + 1);

  // The extension objects hear it on the snapshot queue during the commit; the reader's extension
  // connections on its queue.
  reader->readWithBlock([](DizEvozidizReadTransaction&) {});
  for (std::string& line : journal->take()) lines.push_back(std::move(line));
  for (const char* expected :
       {"A processChangeset heard=1", "B processChangeset heard=1", "A connection processChangeset heard=1 on reader",
        "B connection processChangeset heard=1 on reader"})
    EXPECT_NE(std::find(lines.begin(), lines.end(), expected), lines.end()) << expected;

  ASSERT_TRUE(platform::runMainLoopUntil([&] { return received != nullptr; }, 10));
  platform::NotificationCenter::defaultCenter()->removeObserver(token);
  const Value& parts = received->userInfo()["extensions"];
  EXPECT_EQ(parts["A"]["label"], Value("A"));
  EXPECT_EQ(parts["B"]["label"], Value("B"));
}

TEST_F(ExtensionCommit, FlushPassesStartOverWhileExtensionsKeepWritingToTheMainTable) {
  RecordingOptions writesOnce;
  writesOnce.mainTableWrites = 1;
  registerBoth(writesOnce, writesOnce);
  ASSERT_TRUE(writer->readWriteWithBlock([](RW& t) { t.setObject(Value("v"), "k", "things"); }));
  const auto lines = journal->lines();
  std::vector<std::string> flushes;
  for (const std::string& line : lines)
    if (line.find(" flushMain") != std::string::npos || line.find(" flushExtension") != std::string::npos)
      flushes.push_back(line);
  // A's write during the pass gives B's flush a changed table after A flushed: the pass restarts.
  EXPECT_EQ(flushes, (std::vector<std::string>{"A flushMain yes", "B flushMain yes", "A flushMain no", "B flushMain no",
                                               "A flushExtension", "B flushExtension"}));
  // Each extension heard the other's write like any other.
  EXPECT_NE(std::find(lines.begin(), lines.end(), "B insert flushed/A1 flushed nil 2"), lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "A insert flushed/B1 flushed nil 3"), lines.end());
  EXPECT_EQ(get(reader, "A1", "flushed"), Value("flushed"));
  EXPECT_EQ(get(reader, "B1", "flushed"), Value("flushed"));
}

TEST_F(ExtensionCommit, ExtensionsThatNeverStopWritingFailTheTransactionInsteadOfSpinning) {
  RecordingOptions alwaysWrites;
  alwaysWrites.mainTableWrites = -1;
  registerBoth(alwaysWrites, alwaysWrites);
  platform::ErrorPtr error;
  EXPECT_FALSE(writer->readWriteWithBlock([](RW& t) { t.setObject(Value("v"), "k", "things"); }, &error));
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->code(), DizEvozidizErrorWriteFailed);
  EXPECT_NE(error->localizedDescription().find("kept writing"), std::string::npos);
  EXPECT_EQ(get(reader, "k"), Value());
  reader->readWithBlock([](DizEvozidizReadTransaction& t) { EXPECT_EQ(t.numberOfKeysInCollection("flushed"), 0u); });
  EXPECT_GT(journal->takeMatching({"A flushMain yes"}).size(), 100u) << "the passes did run for a while";
}

TEST_F(ExtensionCommit, AFailingExtensionWriteRollsBackTheWholeTransactionAndSaysWhy) {
  RecordingOptions failing;
  failing.failExtensionFlush = true;
  registerBoth(failing, {});
  platform::ErrorPtr error;
  EXPECT_FALSE(writer->readWriteWithBlock([](RW& t) { t.setObject(Value("v"), "k", "things"); }, &error));
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->code(), DizEvozidizErrorWriteFailed);
  EXPECT_NE(error->localizedDescription().find("the extension's table is full"), std::string::npos);
  const auto steps = lifecycle();
  EXPECT_EQ(std::vector<std::string>(steps.end() - 2, steps.end()),
            (std::vector<std::string>{"A didRollback", "B didRollback"}));
  EXPECT_EQ(get(reader, "k"), Value());
}

TEST_F(ExtensionCommit, RollbackTellsEveryExtensionAndUndoesItsMemoryValues) {
  RecordingOptions inMemory;
  inMemory.persistent = false;
  registerBoth(inMemory, {});
  ASSERT_TRUE(writer->readWriteWithBlock([](RW& t) { t.ext("A")->setIntValue(1, "count", false); }));
  journal->take();
  EXPECT_FALSE(writer->readWriteWithBlock([](RW& t) {
    t.ext("A")->setIntValue(2, "count", false);
    t.ext("A")->setStringValue("made", "new", false);
    t.rollback();
  }));
  // Only A took part: B was never asked for.
  EXPECT_EQ(lifecycle(), (std::vector<std::string>{"A newReadWriteTransaction", "A prepareIfNeeded", "A didRollback"}));
  writer->readWithBlock([](DizEvozidizReadTransaction& t) {
    EXPECT_EQ(t.ext("A")->intValueForExtensionKey("count", false), 1);
    EXPECT_FALSE(t.ext("A")->stringValueForExtensionKey("new", false));
  });
}

TEST_F(ExtensionCommit, ACommitThatChangesOnlyAMemoryTableIsSeenByOtherConnections) {
  registerBoth();
  const std::uint64_t before = writer->snapshot();
  ASSERT_TRUE(writer->readWriteWithBlock([](RW& t) { t.ext("A")->setIntValue(42, "answer", false); }));
  EXPECT_EQ(writer->snapshot(), before + 1) << "the memory-table change is a commit";
  reader->readWithBlock(
      [](DizEvozidizReadTransaction& t) { EXPECT_EQ(t.ext("A")->intValueForExtensionKey("answer", false), 42); });
  // And a table of the caller's own, registered with the connection.
  auto table = DizMemoryTable::make("NSString");
  ASSERT_TRUE(writer->readWriteWithBlock([&](RW&) { EXPECT_TRUE(writer->registerMemoryTable(table, "own")); }));
  ASSERT_TRUE(writer->readWriteWithBlock([](RW& t) {
    auto own = t.memoryTableTransaction("own");
    own->setObject(Value("x"), Value("key"));
    own->commit();
  }));
  reader->readWithBlock([](DizEvozidizReadTransaction& t) {
    auto own = t.memoryTableTransaction("own");
    ASSERT_TRUE(own);
    EXPECT_EQ(own->objectForKey(Value("key")), Value("x"));
  });
  EXPECT_EQ(database->registeredMemoryTables().count("own"), 1u);
}

TEST_F(ExtensionCommit, AnExtensionThatReportsDiskChangesMakesTheCommitCount) {
  RecordingOptions reporting;
  reporting.changesets = true;
  reporting.reportDiskChanges = true;
  registerBoth(reporting, {});
  const std::uint64_t before = storedCounter();
  ASSERT_TRUE(writer->readWriteWithBlock([](RW&) {}));
  EXPECT_EQ(storedCounter(), before + 1);
}

TEST_F(ExtensionCommit, MemoryFlushesReachTheExtensionConnections) {
  registerBoth();
  ASSERT_TRUE(reader->extension("A"));
  reader->flushMemoryWithFlags(DizFlushMemoryCaches | DizFlushMemoryStatements);
  reader->readWithBlock([](DizEvozidizReadTransaction&) {});  // after the queued flush
  const auto lines = journal->takeMatching({"A flushMemory", "B flushMemory"});
  EXPECT_EQ(lines, std::vector<std::string>{"A flushMemory 3 on reader"}) << "B's connection was never made there";
}

}  // namespace
