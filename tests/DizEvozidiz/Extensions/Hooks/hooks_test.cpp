// The row hooks extension registered in a real store: which closure runs for each kind of write,
// with which change flags and which values behind its proxies, whether the row already exists in
// SQLite when it runs, the removal calls and the collection filter.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "DizEvozidiz/Extensions/Hooks/DizEvozidizHooks.h"
#include "tests/DizEvozidiz/transaction_test_support.h"

namespace {

using platform::Value;

struct Call {
  std::string what;  // "will", "did", "willRemove", "didRemove", "willRemoveAll", "didRemoveAll"
  std::string collection, key;
  std::uint64_t flags = 0;
  Value object, metadata;  // as the proxies answered during the call
  bool rowExisted = false;
};

class Hooks : public diztest::ConnectionFixture {
 protected:
  void SetUp() override {
    diztest::ConnectionFixture::SetUp();
    hooks = DizEvozidizHooks::make();
    auto modify = [this](const char* what) {
      return [this, what](DizEvozidizReadWriteTransaction& t, const std::string& c, const std::string& k,
                          DizProxyObject& object, DizProxyObject& metadata, std::uint64_t flags) {
        bool existed = t.objectForKey(k, c).isNil() == false;
        calls.push_back({what, c, k, flags, object.realObject(), metadata.realObject(), existed});
      };
    };
    hooks->setWillModifyRow(modify("will"));
    hooks->setDidModifyRow(modify("did"));
    hooks->setWillRemoveRow([this](DizEvozidizReadWriteTransaction& t, const std::string& c, const std::string& k) {
      calls.push_back({"willRemove", c, k, 0, {}, {}, !t.objectForKey(k, c).isNil()});
    });
    hooks->setDidRemoveRow([this](DizEvozidizReadWriteTransaction& t, const std::string& c, const std::string& k) {
      calls.push_back({"didRemove", c, k, 0, {}, {}, !t.objectForKey(k, c).isNil()});
    });
    hooks->setWillRemoveAllRows([this](DizEvozidizReadWriteTransaction&) {
      calls.push_back({"willRemoveAll", "", "", 0, {}, {}, false});
    });
    hooks->setDidRemoveAllRows([this](DizEvozidizReadWriteTransaction&) {
      calls.push_back({"didRemoveAll", "", "", 0, {}, {}, false});
    });
    ASSERT_TRUE(database->registerExtension(hooks, "hooks", connection));
  }
  void write(const std::function<void(DizEvozidizReadWriteTransaction&)>& block) {
    calls.clear();
    ASSERT_TRUE(connection->readWriteWithBlock(block));
  }

  DizEvozidizHooksPtr hooks;
  std::vector<Call> calls;
};

TEST_F(Hooks, EachWriteKindCallsTheModifyClosuresWithItsFlagsAndValues) {
  // Before each case the row "k" holds object "o1" and metadata "m1" (except for the insert).
  struct Case {
    const char* label;
    bool rowExistsBefore;
    std::function<void(DizEvozidizReadWriteTransaction&)> change;
    std::vector<std::string> closures;  // in call order
    std::uint64_t flags;
    Value object, metadata;  // what both proxies answer
  } cases[] = {
      {"insert",
       false,
       [](auto& t) { t.setObject(Value("o2"), "k", "c", Value("m2")); },
       {"will", "did"},
       13,
       Value("o2"),
       Value("m2")},
      {"update",
       true,
       [](auto& t) { t.setObject(Value("o2"), "k", "c", Value("m2")); },
       {"will", "did"},
       14,
       Value("o2"),
       Value("m2")},
      {"replace object",
       true,
       [](auto& t) { t.replaceObject(Value("o2"), "k", "c"); },
       {"will", "did"},
       6,
       Value("o2"),
       Value("m1")},
      {"replace metadata",
       true,
       [](auto& t) { t.replaceMetadata(Value("m2"), "k", "c"); },
       {"will", "did"},
       10,
       Value("o1"),
       Value("m2")},
      {"touch object", true, [](auto& t) { t.touchObjectForKey("k", "c"); }, {"did"}, 16, Value("o1"), Value("m1")},
      {"touch metadata", true, [](auto& t) { t.touchMetadataForKey("k", "c"); }, {"did"}, 32, Value("o1"), Value("m1")},
      {"touch row", true, [](auto& t) { t.touchRowForKey("k", "c"); }, {"did"}, 48, Value("o1"), Value("m1")},
  };
  for (const auto& c : cases) {
    write([&](auto& t) {
      t.removeAllObjectsInCollection("c");
      if (c.rowExistsBefore) t.setObject(Value("o1"), "k", "c", Value("m1"));
    });
    write(c.change);
    ASSERT_EQ(calls.size(), c.closures.size()) << c.label;
    for (std::size_t i = 0; i < calls.size(); ++i) {
      const Call& call = calls[i];
      EXPECT_EQ(call.what, c.closures[i]) << c.label;
      EXPECT_EQ(call.collection, "c") << c.label;
      EXPECT_EQ(call.key, "k") << c.label;
      EXPECT_EQ(call.flags, c.flags) << c.label << " " << call.what;
      EXPECT_EQ(call.object, c.object) << c.label << " " << call.what;
      EXPECT_EQ(call.metadata, c.metadata) << c.label << " " << call.what;
    }
    // The will-closure of an insert runs before the row exists, every did-closure after.
    if (c.label == std::string("insert")) {
      EXPECT_FALSE(calls[0].rowExisted);
      EXPECT_TRUE(calls[1].rowExisted);
    }
  }
}

TEST_F(Hooks, RemovalsCallOncePerKeyInKeyOrderAndRemoveAllCallsBoth) {
  write([](auto& t) {
    for (const char* k : {"a", "b", "c", "d"}) t.setObject(Value(k), k, "letters");
  });
  struct Case {
    const char* label;
    std::function<void(DizEvozidizReadWriteTransaction&)> change;
    std::vector<std::string> expected;  // closure:key, in call order
  } cases[] = {
      {"one key", [](auto& t) { t.removeObjectForKey("d", "letters"); }, {"willRemove:d", "didRemove:d"}},
      {"three keys",
       [](auto& t) {
         t.removeObjectsForKeys({"a", "b", "c"}, "letters");
       },
       {"willRemove:a", "willRemove:b", "willRemove:c", "didRemove:a", "didRemove:b", "didRemove:c"}},
  };
  for (const auto& c : cases) {
    write(c.change);
    std::vector<std::string> got;
    for (const Call& call : calls) {
      got.push_back(call.what + ":" + call.key);
      EXPECT_EQ(call.collection, "letters") << c.label;
      // A will-closure sees the row still there, a did-closure sees it gone.
      EXPECT_EQ(call.rowExisted, call.what == "willRemove") << c.label << " " << call.what << " " << call.key;
    }
    EXPECT_EQ(got, c.expected) << c.label;
  }
  // The closures follow the order of the key list the store hands over, whatever it is.
  write([](auto& t) {
    for (const char* k : {"a", "b", "c"}) t.setObject(Value(k), k, "letters");
  });
  write([](auto& t) { t.ext("hooks")->handleWillRemoveObjectsForKeys({"c", "a", "b"}, "letters", {3, 1, 2}); });
  std::vector<std::string> order;
  for (const Call& call : calls) order.push_back(call.what + ":" + call.key);
  EXPECT_EQ(order, (std::vector<std::string>{"willRemove:c", "willRemove:a", "willRemove:b"}));

  write([](auto& t) { t.removeAllObjectsInAllCollections(); });
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].what, "willRemoveAll");
  EXPECT_EQ(calls[1].what, "didRemoveAll");
}

TEST_F(Hooks, OtherCollectionsReachNoClosureButRemoveAllStillDoes) {
  hooks->setAllowedCollections(DizWhitelistBlacklist::withWhitelist({"watched"}));
  write([](auto& t) {
    t.setObject(Value(1), "a", "ignored");
    t.setObject(Value(2), "a", "ignored");
    t.touchRowForKey("a", "ignored");
    t.setObject(Value(3), "b", "ignored");
    t.removeObjectForKey("a", "ignored");
    t.removeObjectsForKeys({"b"}, "ignored");
  });
  EXPECT_TRUE(calls.empty());
  write([](auto& t) { t.setObject(Value(1), "a", "watched"); });
  EXPECT_EQ(calls.size(), 2u);
  write([](auto& t) { t.removeAllObjectsInAllCollections(); });
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].what, "willRemoveAll");
  EXPECT_EQ(calls[1].what, "didRemoveAll");
}

TEST_F(Hooks, AMissingClosureIsSkippedAndTheExtensionKeepsNothing) {
  hooks->setWillModifyRow(nullptr);
  write([](auto& t) { t.setObject(Value(1), "a", "c"); });
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].what, "did");
  EXPECT_FALSE(hooks->isPersistent());
}

}  // namespace
