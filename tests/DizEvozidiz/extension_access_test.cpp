// Reaching extensions from a transaction (made and prepared once, kept in registration order) and
// the typed per-extension values, persistent in "diz2" or in the "diz" memory table.

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
using platform::Bytes;
using platform::Value;
using RT = DizEvozidizReadTransaction;
using RW = DizEvozidizReadWriteTransaction;

class ExtensionAccess : public diztest::StoreFixture {
 protected:
  void SetUp() override {
    StoreFixture::SetUp();
    connection = database->newConnection();
    RecordingOptions declines;
    declines.prepare = false;
    ASSERT_TRUE(database->registerExtension(RecordingExtension::make("A", journal), "A", connection));
    ASSERT_TRUE(database->registerExtension(RecordingExtension::make("B", journal), "B", connection));
    ASSERT_TRUE(database->registerExtension(RecordingExtension::make("Shy", journal, declines), "Shy", connection));
    journal->take();
  }
  void TearDown() override {
    connection.reset();
    StoreFixture::TearDown();
  }
  std::shared_ptr<Journal> journal = std::make_shared<Journal>();
  DizEvozidizConnection::Ptr connection;
};

TEST_F(ExtensionAccess, AnExtensionIsMadeAndPreparedOnceAndReachedByEitherName) {
  connection->readWithBlock([&](RT& t) {
    auto first = t.extension("B");
    ASSERT_TRUE(first);
    EXPECT_EQ(t.ext("B"), first);
    EXPECT_EQ(t.extension("B"), first);
    EXPECT_EQ(t.extension("unknown"), nullptr);
  });
  EXPECT_EQ(journal->take(), (std::vector<std::string>{"B newReadTransaction", "B prepareIfNeeded"}));
}

TEST_F(ExtensionAccess, ADeclinedPreparationIsRetriedUntilTheExtensionsArePrepared) {
  connection->readWithBlock([&](RT& t) {
    EXPECT_EQ(t.extension("Shy"), nullptr);
    EXPECT_EQ(t.extension("Shy"), nullptr);
    EXPECT_EQ(journal->takeMatching({"Shy prepareIfNeeded"}).size(), 2u) << "tried again";
    t.prepareExtensions();
    journal->take();
    EXPECT_EQ(t.extension("Shy"), nullptr);
    EXPECT_TRUE(journal->take().empty()) << "after prepareExtensions only looks up";
  });
}

TEST_F(ExtensionAccess, OrderedExtensionsFollowRegistrationOrderWhateverWasAskedFirst) {
  connection->readWithBlock([&](RT& t) {
    t.extension("B");
    std::vector<std::string> names;
    for (const auto& e : t.orderedExtensions()) names.push_back(e->registeredName());
    EXPECT_EQ(names, (std::vector<std::string>{"A", "B"})) << "the one that declined is left out";
  });
}

TEST_F(ExtensionAccess, TheDizMemoryTableTransactionIsOneObjectOneSnapshotAboveInAReadWriteTransaction) {
  const std::uint64_t snapshot = connection->snapshot();
  ASSERT_TRUE(connection->readWriteWithBlock([&](RW& t) {
    auto diz = t.dizMemoryTableTransaction();
    ASSERT_TRUE(diz);
    EXPECT_EQ(t.memoryTableTransaction("diz"), diz);
    EXPECT_TRUE(diz->isReadWriteTransaction());
    EXPECT_EQ(diz->snapshot(), snapshot + 1);
    EXPECT_EQ(t.memoryTableTransaction("unregistered"), nullptr);
  }));
  connection->readWithBlock([&](RT& t) {
    auto diz = t.dizMemoryTableTransaction();
    ASSERT_TRUE(diz);
    EXPECT_FALSE(diz->isReadWriteTransaction());
    EXPECT_EQ(diz->snapshot(), connection->snapshot());
  });
}

// Each typed value round-trips through both stores; absent values read as their zero.
TEST_F(ExtensionAccess, TypedValuesRoundTripInBothStoresAndAbsentOnesReadAsZero) {
  for (const bool persistent : {true, false}) {
    SCOPED_TRACE(persistent ? "persistent" : "memory");
    ASSERT_TRUE(connection->readWriteWithBlock([&](RW& t) {
      auto a = t.ext("A");
      a->setBoolValue(true, "bool", persistent);
      a->setBoolValue(false, "false", persistent);
      a->setIntValue(-7, "int", persistent);
      a->setDoubleValue(2.5, "double", persistent);
      a->setStringValue("text", "string", persistent);
      a->setDataValue(Bytes{1, 2, 3}, "data", persistent);
      a->setIntValue(1, "removed", persistent);
      a->removeValueForExtensionKey("removed", persistent);
    }));
    connection->readWithBlock([&](RT& t) {
      auto a = t.ext("A");
      EXPECT_TRUE(a->boolValueForExtensionKey("bool", persistent));
      bool flag = true;
      EXPECT_TRUE(a->getBoolValue(&flag, "false", persistent)) << "a stored false exists";
      EXPECT_FALSE(flag);
      EXPECT_EQ(a->intValueForExtensionKey("int", persistent), -7);
      EXPECT_EQ(a->doubleValueForExtensionKey("double", persistent), 2.5);
      EXPECT_EQ(a->stringValueForExtensionKey("string", persistent), "text");
      EXPECT_EQ(a->dataValueForExtensionKey("data", persistent), (Bytes{1, 2, 3}));
      EXPECT_FALSE(a->getIntValue(nullptr, "removed", persistent)) << "null out-pointer: still answers";
      EXPECT_TRUE(a->getIntValue(nullptr, "int", persistent));

      EXPECT_FALSE(a->boolValueForExtensionKey("absent", persistent));
      EXPECT_EQ(a->intValueForExtensionKey("absent", persistent), 0);
      EXPECT_EQ(a->doubleValueForExtensionKey("absent", persistent), 0.0);
      EXPECT_FALSE(a->stringValueForExtensionKey("absent", persistent));
      EXPECT_FALSE(a->dataValueForExtensionKey("absent", persistent));
      EXPECT_FALSE(t.ext("B")->getIntValue(nullptr, "int", persistent)) << "values belong to one extension";
    });
  }
  // Where they went: "diz2" rows under the extension's name, or the memory table.
  connection->readWithBlock([&](RT& t) {
    std::int32_t value = 0;
    EXPECT_TRUE(t.getIntValue(&value, "int", "A"));
    EXPECT_EQ(value, -7);
  });
}

TEST_F(ExtensionAccess, MemoryValuesConvertNumbersToTextButNotTextToData) {
  ASSERT_TRUE(connection->readWriteWithBlock([&](RW& t) {
    t.ext("A")->setIntValue(42, "number", false);
    t.ext("A")->setStringValue("text", "text", false);
  }));
  connection->readWithBlock([&](RT& t) {
    EXPECT_EQ(t.ext("A")->stringValueForExtensionKey("number", false), "42");
    EXPECT_FALSE(t.ext("A")->dataValueForExtensionKey("text", false));
    EXPECT_EQ(t.ext("A")->intValueForExtensionKey("text", false), 0) << "text is no number";
  });
}

TEST_F(ExtensionAccess, SettersInAReadTransactionChangeNothing) {
  for (const bool persistent : {true, false}) {
    connection->readWithBlock([&](RT& t) {
      auto a = t.ext("A");
      a->setIntValue(5, "readOnly", persistent);
      a->setStringValue("x", "readOnly2", persistent);
      a->removeValueForExtensionKey("readOnly", persistent);
    });
    connection->readWithBlock([&](RT& t) {
      EXPECT_FALSE(t.ext("A")->getIntValue(nullptr, "readOnly", persistent));
      EXPECT_FALSE(t.ext("A")->stringValueForExtensionKey("readOnly2", persistent));
    });
  }
}

TEST_F(ExtensionAccess, AnotherConnectionSeesMemoryValuesAtItsOwnSnapshot) {
  auto pinned = database->newConnection();
  pinned->beginLongLivedReadTransaction();
  ASSERT_TRUE(connection->readWriteWithBlock([](RW& t) { t.ext("A")->setIntValue(1, "v", false); }));
  auto fresh = database->newConnection();
  fresh->readWithBlock([](RT& t) { EXPECT_EQ(t.ext("A")->intValueForExtensionKey("v", false), 1); });
  pinned->readWithBlock([](RT& t) {
    EXPECT_FALSE(t.ext("A")->getIntValue(nullptr, "v", false)) << "its snapshot is older than the value";
  });
  pinned->endLongLivedReadTransaction();
  pinned->readWithBlock([](RT& t) { EXPECT_EQ(t.ext("A")->intValueForExtensionKey("v", false), 1); });
}

}  // namespace
