// The row hooks: every write kind of the read-write transaction calls its will-hook and change hook
// on every extension, in registration order, with the values after the pre-sanitizers.

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "DizEvozidiz/DizEvozidizConnectionInternal.h"
#include "extension_test_support.h"
#include "transaction_test_support.h"

namespace {

using diztest::Journal;
using diztest::RecordingExtension;
using platform::Value;
using RW = DizEvozidizReadWriteTransaction;

// The second word of a journal line is the call; these are the row hooks.
bool isHook(const std::string& line) {
  static const std::set<std::string> hooks = {"willInsert",
                                              "insert",
                                              "willUpdate",
                                              "update",
                                              "willReplaceObject",
                                              "replaceObject",
                                              "willReplaceMetadata",
                                              "replaceMetadata",
                                              "touchObject",
                                              "touchMetadata",
                                              "touchRow",
                                              "willRemove",
                                              "remove",
                                              "willRemoveKeys",
                                              "removeKeys",
                                              "willRemoveAll",
                                              "removeAll"};
  const auto first = line.find(' ');
  const auto second = line.find(' ', first + 1);
  return first != std::string::npos && hooks.contains(line.substr(first + 1, second - first - 1));
}

class ExtensionHooks : public diztest::StoreFixture {
 protected:
  void SetUp() override {
    StoreFixture::SetUp();
    writer = database->newConnection();
    writer->setName("writer");
    ASSERT_TRUE(database->registerExtension(RecordingExtension::make("A", journal), "A", writer));
    ASSERT_TRUE(database->registerExtension(RecordingExtension::make("B", journal), "B", writer));
    // Rows 1 to 4.
    ASSERT_TRUE(writer->readWriteWithBlock([](RW& t) {
      t.setObject(Value("v1"), "k1", "things", Value("m1"));
      t.setObject(Value("v2"), "k2", "things");
      t.setObject(Value("v3"), "k3", "things");
      t.setObject(Value("x"), "o1", "other");
    }));
    journal->take();
  }
  void TearDown() override {
    writer.reset();
    StoreFixture::TearDown();
  }

  // The hooks heard while the action ran in a transaction that was then rolled back.
  std::vector<std::string> hooksOf(const std::function<void(RW&)>& action) {
    EXPECT_FALSE(writer->readWriteWithBlock([&](RW& t) {
      action(t);
      t.rollback();
    }));
    std::vector<std::string> hooks;
    for (const std::string& line : journal->take())
      if (isHook(line)) hooks.push_back(line);
    return hooks;
  }

  std::shared_ptr<Journal> journal = std::make_shared<Journal>();
  DizEvozidizConnection::Ptr writer;
};

// "X <hook> <args>" for A then B.
std::vector<std::string> both(const std::vector<std::string>& calls) {
  std::vector<std::string> lines;
  for (const std::string& call : calls) {
    lines.push_back("A " + call);
    lines.push_back("B " + call);
  }
  return lines;
}

TEST_F(ExtensionHooks, EveryWriteKindCallsItsHooksInRegistrationOrderWithItsArguments) {
  struct Case {
    const char* what;
    std::function<void(RW&)> action;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"insert", [](RW& t) { t.setObject(Value("v9"), "k9", "things", Value("m9")); },
       both({"willInsert things/k9 v9 m9", "insert things/k9 v9 m9 5"})},
      {"update", [](RW& t) { t.setObject(Value("v1b"), "k1", "things"); },
       both({"willUpdate things/k1 v1b nil 1", "update things/k1 v1b nil 1"})},
      {"replace object", [](RW& t) { t.replaceObject(Value("v2b"), "k2", "things"); },
       both({"willReplaceObject things/k2 v2b 2", "replaceObject things/k2 v2b 2"})},
      {"replace metadata", [](RW& t) { t.replaceMetadata(Value("m2"), "k2", "things"); },
       both({"willReplaceMetadata things/k2 m2 2", "replaceMetadata things/k2 m2 2"})},
      {"clear metadata", [](RW& t) { t.replaceMetadata(Value(), "k1", "things"); },
       both({"willReplaceMetadata things/k1 nil 1", "replaceMetadata things/k1 nil 1"})},
      {"touch object", [](RW& t) { t.touchObjectForKey("k1", "things"); }, both({"touchObject things/k1 1"})},
      {"touch metadata", [](RW& t) { t.touchMetadataForKey("k1", "things"); }, both({"touchMetadata things/k1 1"})},
      {"touch row", [](RW& t) { t.touchRowForKey("o1", "other"); }, both({"touchRow other/o1 4"})},
      {"touch a missing key", [](RW& t) { t.touchRowForKey("missing", "things"); }, {}},
      {"replace a missing key", [](RW& t) { t.replaceObject(Value("v"), "missing", "things"); }, {}},
      {"remove", [](RW& t) { t.removeObjectForKey("k3", "things"); },
       both({"willRemove things/k3 3", "remove things/k3 3"})},
      {"set nil", [](RW& t) { t.setObject(Value(), "k3", "things"); },
       both({"willRemove things/k3 3", "remove things/k3 3"})},
      {"remove keys, one missing",
       [](RW& t) {
         t.removeObjectsForKeys({"k1", "missing", "k3"}, "things");
       },
       both({"willRemoveKeys things [k1,k3] [1,3]", "removeKeys things [k1,k3] [1,3]"})},
      {"remove one key through the list", [](RW& t) { t.removeObjectsForKeys({"k2"}, "things"); },
       both({"willRemove things/k2 2", "remove things/k2 2"})},
      {"remove keys none existing",
       [](RW& t) {
         t.removeObjectsForKeys({"x", "y"}, "things");
       },
       {}},
      {"remove collection", [](RW& t) { t.removeAllObjectsInCollection("things"); },
       both({"willRemoveKeys things [k1,k2,k3] [1,2,3]", "removeKeys things [k1,k2,k3] [1,2,3]"})},
      {"remove all", [](RW& t) { t.removeAllObjectsInAllCollections(); }, both({"willRemoveAll", "removeAll"})},
  };
  // Each case on the same four rows: rolled back after the hooks were heard.
  for (const Case& c : cases) EXPECT_EQ(hooksOf(c.action), c.expected) << c.what;
}

TEST_F(ExtensionHooks, RemovingACollectionAsTheFirstWriteIsHeardAndRecordsEveryRowid) {
  // The extension transactions must exist before this write although nothing came before it, on
  // a connection that has not used the extensions yet.
  auto fresh = database->newConnection();
  std::vector<DizEvozidizExtensionTransactionPtr> prepared;
  ASSERT_TRUE(fresh->readWriteWithBlock([&](RW& t) {
    t.removeAllObjectsInCollection("things");
    prepared = t.orderedExtensions();
  }));
  EXPECT_EQ(prepared.size(), 2u);
  const auto lines = journal->lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "A removeKeys things [k1,k2,k3] [1,2,3]"), lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "B removeKeys things [k1,k2,k3] [1,2,3]"), lines.end());
  EXPECT_EQ(get(writer, "k1"), Value());
  EXPECT_EQ(get(writer, "o1", "other"), Value("x"));

  // The same first write removing everything.
  journal->take();
  auto another = database->newConnection();
  ASSERT_TRUE(another->readWriteWithBlock([](RW& t) { t.removeAllObjectsInAllCollections(); }));
  const auto all = journal->takeMatching({"A removeAll", "B removeAll"});
  EXPECT_EQ(all, (std::vector<std::string>{"A removeAll", "B removeAll"}));
}

TEST_F(ExtensionHooks, BatchRemovalsSendOnePairOfHooksPerChunk) {
  ASSERT_TRUE(writer->readWriteWithBlock([](RW& t) {
    t.setObject(Value("v4"), "k4", "things");  // rowid 5
    t.setObject(Value("v5"), "k5", "things");  // rowid 6
  }));
  journal->take();
  auto chunked = [&](const std::function<void(RW&)>& action) {
    return hooksOf([&](RW& t) {
      // Three host parameters: IN lists of two keys (the collection takes the third).
      const int previous = sqlite3_limit(DizInternal(*writer).db, SQLITE_LIMIT_VARIABLE_NUMBER, 3);
      action(t);
      sqlite3_limit(DizInternal(*writer).db, SQLITE_LIMIT_VARIABLE_NUMBER, previous);
    });
  };
  const auto byKeys = chunked([](RW& t) { t.removeObjectsForKeys({"k1", "k2", "k3", "nope", "k5"}, "things"); });
  EXPECT_EQ(byKeys,
            (std::vector<std::string>{"A willRemoveKeys things [k1,k2] [1,2]", "B willRemoveKeys things [k1,k2] [1,2]",
                                      "A removeKeys things [k1,k2] [1,2]", "B removeKeys things [k1,k2] [1,2]",
                                      "A willRemoveKeys things [k3] [3]", "B willRemoveKeys things [k3] [3]",
                                      "A removeKeys things [k3] [3]", "B removeKeys things [k3] [3]",
                                      "A willRemoveKeys things [k5] [6]", "B willRemoveKeys things [k5] [6]",
                                      "A removeKeys things [k5] [6]", "B removeKeys things [k5] [6]"}));
  const auto byCollection = chunked([](RW& t) { t.removeAllObjectsInCollection("things"); });
  ASSERT_EQ(byCollection.size(), 12u) << "five rows in chunks of two: three pairs for each extension";
  EXPECT_EQ(byCollection[0], "A willRemoveKeys things [k1,k2] [1,2]");
  EXPECT_EQ(byCollection[11], "B removeKeys things [k5] [6]");
}

TEST_F(ExtensionHooks, HooksSeeTheValuesAfterThePreSanitizersAndComeBeforeThePostSanitizers) {
  zorvel::test::TempDir otherDir;
  auto closures = diztest::stringClosures(std::make_shared<diztest::Counters>());
  closures.objectPreSanitizer = [](const std::string&, const std::string&, const Value& v) {
    return Value(v.asString() + "!");
  };
  closures.metadataPreSanitizer = [](const std::string&, const std::string&, const Value& v) {
    return Value("<" + v.asString() + ">");
  };
  closures.objectPostSanitizer = [this](const std::string& c, const std::string& k, const Value& v) {
    journal->add("post object " + c + "/" + k + " " + v.asString());
  };
  auto sanitized = DizEvozidiz::create((otherDir / "s.sqlite").string(), closures);
  ASSERT_TRUE(sanitized);
  auto connection = sanitized->newConnection();
  ASSERT_TRUE(sanitized->registerExtension(RecordingExtension::make("A", journal), "A", connection));
  ASSERT_TRUE(sanitized->registerExtension(RecordingExtension::make("B", journal), "B", connection));
  journal->take();
  ASSERT_TRUE(connection->readWriteWithBlock([](RW& t) { t.setObject(Value("v"), "k", "c", Value("m")); }));
  std::vector<std::string> seen;
  for (const std::string& line : journal->take())
    if (isHook(line) || line.rfind("post", 0) == 0) seen.push_back(line);
  EXPECT_EQ(seen, (std::vector<std::string>{"A willInsert c/k v! <m>", "B willInsert c/k v! <m>",
                                            "A insert c/k v! <m> 1", "B insert c/k v! <m> 1", "post object c/k v!"}));
  connection.reset();
  sanitized.reset();
  drainMainQueue();
}

TEST_F(ExtensionHooks, AFailedSingleRowWriteGetsItsWillHookOnly) {
  // A trigger makes the update fail inside SQLite.
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &raw), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(raw,
                         "CREATE TRIGGER refuse BEFORE UPDATE ON database2 WHEN NEW.key = 'k2' "
                         "BEGIN SELECT RAISE(ABORT, 'refused'); END;",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(raw);
  platform::ErrorPtr error;
  EXPECT_FALSE(writer->readWriteWithBlock([](RW& t) { t.setObject(Value("new"), "k2", "things"); }, &error));
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->code(), DizEvozidizErrorWriteFailed);
  std::vector<std::string> hooks;
  for (const std::string& line : journal->take())
    if (isHook(line)) hooks.push_back(line);
  EXPECT_EQ(hooks, both({"willUpdate things/k2 new nil 2"}));
}

}  // namespace
