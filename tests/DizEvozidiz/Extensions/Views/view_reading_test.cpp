// A view's upkeep by each write kind as its closures' types and invoke options ask, and its read
// side: counts, lookups by index and by key, find, enumerations with ranges, stop and mutation, and
// replacing the closures.

#include <gtest/gtest.h>

#include <random>

#include "DizEvozidiz/Extensions/Views/DizEvozidizViewChange.h"
#include "tests/DizEvozidiz/Extensions/Views/view_store_test_support.h"

namespace {

using namespace viewtest;
using diztest::LogCapture;
using platform::Value;

struct Seen {
  int grouping = 0;
  int sorting = 0;
  bool groupingSawObject = false;
  bool groupingSawMetadata = false;
};

// Grouping reads `groupType` (0 key, 1 object, 2 metadata, 3 row) and puts every row of "things"
// in group "g"; sorting by `sortType` orders by the object's value (key, metadata: by their own).
DizEvozidizViewPtr makeTypedView(const std::shared_ptr<Seen>& seen, std::uint64_t groupType, std::uint64_t groupOptions,
                                 std::uint64_t sortType, std::uint64_t sortOptions) {
  auto grouping = std::make_shared<const DizEvozidizViewGrouping>(
      [seen](DizEvozidizReadTransaction&, const DizViewRow& row) -> std::optional<std::string> {
        ++seen->grouping;
        seen->groupingSawObject = !row.object.isNil();
        seen->groupingSawMetadata = !row.metadata.isNil();
        if (row.collection != "things") return std::nullopt;
        if (!row.object.isNil() && row.object.asInt64() < 0) return std::nullopt;
        return "g";
      },
      groupType, groupOptions);
  auto sorting = std::make_shared<const DizEvozidizViewSorting>(
      [seen, sortType](DizEvozidizReadTransaction&, const std::string&, const DizViewRow& a, const DizViewRow& b) {
        ++seen->sorting;
        const bool byValue = sortType & DizBlockTypeNeedsObject;
        const bool byMetadata = sortType == DizBlockTypeMetadata;
        auto cmp = [](auto x, auto y) { return x < y ? -1 : (x > y ? 1 : 0); };
        if (byValue) return cmp(a.object.asInt64(), b.object.asInt64());
        if (byMetadata) return cmp(a.metadata.asInt64(), b.metadata.asInt64());
        return cmp(a.key, b.key);
      },
      sortType, sortOptions);
  return DizEvozidizView::make(grouping, sorting);
}

class ViewReading : public diztest::ConnectionFixture {
 protected:
  static DizEvozidizViewTransactionPtr viewIn(DizEvozidizReadTransaction& t, const std::string& name = "order") {
    return std::dynamic_pointer_cast<DizEvozidizViewTransaction>(t.ext(name));
  }
  // Rows k0..k(n-1) with values 0..n-1 (grouped by the support view into g0/g1/g2 without
  // multiples of 5).
  void putValues(int n) {
    ASSERT_TRUE(connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
      for (int i = 0; i < n; ++i) t.setObject(Value(i), "k" + std::to_string(i), "things");
    }));
  }
};

// Each row of the table: a view's closures, one write to the existing row "a" (value 2, metadata
// 20; "b" has value 5), and what must happen.
TEST_F(ViewReading, EachWriteKindRunsOnlyTheClosuresItsOptionsAskFor) {
  enum Write { Update, ReplaceObject, ReplaceMetadata, TouchObject, TouchMetadata, TouchRow, UpdateMovingFirst };
  struct Case {
    const char* name;
    std::uint64_t groupType, groupOptions, sortType, sortOptions;
    Write write;
    bool groupingRuns, sortingRuns;
    std::int64_t changeType;  // of the last record; 0: none recorded
    std::uint64_t changes;
    bool objectSeen, metadataSeen;  // by the grouping, when it runs
  } cases[] = {
      {"key/key default: update records 3", 0, 0, 0, 0, Update, false, false, DizViewChangeUpdate, 3, false, false},
      {"object/object: metadata replace records 2", 1, 5, 1, 5, ReplaceMetadata, false, false, DizViewChangeUpdate, 2,
       false, false},
      {"object/object: touch object fetches the object only", 1, 5, 1, 5, TouchObject, true, true, DizViewChangeUpdate,
       1, true, false},
      {"object/object: touch metadata records 2", 1, 5, 1, 5, TouchMetadata, false, false, DizViewChangeUpdate, 2,
       false, false},
      {"metadata/metadata: replace metadata runs both", 2, 10, 2, 10, ReplaceMetadata, true, true, DizViewChangeUpdate,
       2, false, true},
      {"metadata/metadata: replace object records 1", 2, 10, 2, 10, ReplaceObject, false, false, DizViewChangeUpdate, 1,
       false, false},
      {"row 15 with sorting lacking the bits keeps the place", 3, 15, 1, 0, TouchRow, true, false, DizViewChangeUpdate,
       3, true, true},
      {"row/row: touch row runs both", 3, 15, 3, 15, TouchRow, true, true, DizViewChangeUpdate, 3, true, true},
      {"object sorting moves the row", 0, 0, 1, 5, UpdateMovingFirst, false, true, DizViewChangeInsert, 0, false,
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name = std::string("v") + std::to_string(&c - cases);
    auto seen = std::make_shared<Seen>();
    ASSERT_TRUE(connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
      t.setObject(Value(2), "a", "things", Value(20));
      t.setObject(Value(5), "b", "things", Value(50));
    }));
    ASSERT_TRUE(database->registerExtension(makeTypedView(seen, c.groupType, c.groupOptions, c.sortType, c.sortOptions),
                                            name, connection));
    *seen = Seen();
    ASSERT_TRUE(connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
      auto view = viewIn(t, name);
      const std::size_t before = view->viewConnection()->working().changes.size();
      switch (c.write) {
        case Update:
          t.setObject(Value(2), "a", "things", Value(20));
          break;
        case ReplaceObject:
          t.replaceObject(Value(2), "a", "things");
          break;
        case ReplaceMetadata:
          t.replaceMetadata(Value(20), "a", "things");
          break;
        case TouchObject:
          t.touchObjectForKey("a", "things");
          break;
        case TouchMetadata:
          t.touchMetadataForKey("a", "things");
          break;
        case TouchRow:
          t.touchRowForKey("a", "things");
          break;
        case UpdateMovingFirst:
          t.setObject(Value(9), "a", "things", Value(20));
          break;
      }
      EXPECT_EQ(seen->grouping > 0, c.groupingRuns);
      EXPECT_EQ(seen->sorting > 0, c.sortingRuns);
      if (c.groupingRuns) {
        EXPECT_EQ(seen->groupingSawObject, c.objectSeen);
        EXPECT_EQ(seen->groupingSawMetadata, c.metadataSeen);
      }
      const auto& changes = view->viewConnection()->working().changes;
      ASSERT_GT(changes.size(), before);
      auto last = std::dynamic_pointer_cast<DizEvozidizViewRowChange>(changes.back());
      ASSERT_TRUE(last);
      EXPECT_EQ(last->type(), c.changeType);
      if (c.changeType == DizViewChangeUpdate) {
        EXPECT_EQ(last->changes(), c.changes);
      }
      if (c.write == UpdateMovingFirst) {
        EXPECT_EQ(view->keyAtIndex(1, "g"), "a");  // after "b" (5)
        auto previous = std::dynamic_pointer_cast<DizEvozidizViewRowChange>(changes[changes.size() - 2]);
        ASSERT_TRUE(previous);
        EXPECT_EQ(previous->type(), DizViewChangeDelete);
      }
    }));
    database->unregisterExtensionWithName(name, connection);
  }
}

TEST_F(ViewReading, GroupingDecidesMembershipOnInsertAndUpdate) {
  auto seen = std::make_shared<Seen>();
  ASSERT_TRUE(database->registerExtension(makeTypedView(seen, 1, 5, 1, 5), "order", connection));
  ASSERT_TRUE(connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
    auto view = viewIn(t);
    auto& changes = view->viewConnection()->working().changes;
    t.setObject(Value(-1), "out", "things");  // grouped nowhere: nothing recorded
    EXPECT_TRUE(changes.empty());
    t.setObject(Value(3), "in", "things");
    t.setObject(Value(-3), "in", "things");  // leaves the view
    auto last = std::dynamic_pointer_cast<DizEvozidizViewRowChange>(changes.back());
    ASSERT_TRUE(last);
    EXPECT_EQ(last->type(), DizViewChangeDelete);
    EXPECT_TRUE(view->isEmpty());
    t.setObject(Value(4), "x", "elsewhere");
    EXPECT_EQ(view->numberOfItemsInAllGroups(), 0u);
    // A key view whose row is outside stays outside on update (the grouping does not run).
  }));
  LogCapture log;
  connection->readWithBlock([&](DizEvozidizReadTransaction& t) { viewIn(t)->touchObjectForKey("in", "things"); });
  EXPECT_TRUE(log->contains("Method only allowed in readWrite transaction"));
  ASSERT_TRUE(connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
    auto view = viewIn(t);
    const auto before = view->viewConnection()->working().changes.size();
    view->touchObjectForKey("missing", "things");
    EXPECT_EQ(view->viewConnection()->working().changes.size(), before);
  }));
}

TEST_F(ViewReading, CountsAndLookups) {
  auto calls = std::make_shared<Calls>();
  putValues(30);  // g1: 1 4 7 13 16 19 22 28; g2: 2 8 11 14 17 23 26 29; g0: 3 6 9 12 18 21 24 27
  ASSERT_TRUE(database->registerExtension(makeView(calls), "order", connection));
  connection->readWithBlock([&](DizEvozidizReadTransaction& t) {
    auto v = viewIn(t);
    EXPECT_EQ(v->numberOfGroups(), 3u);
    EXPECT_EQ(v->allGroups().size(), 3u);
    EXPECT_EQ(v->numberOfItemsInGroup("g1"), 8u);
    EXPECT_EQ(v->numberOfItemsInAllGroups(), 24u);
    EXPECT_FALSE(v->hasGroup("nope"));
    EXPECT_TRUE(v->isEmptyGroup("nope"));
    EXPECT_FALSE(v->isEmpty());
    std::string key = "stale", collection = "stale";
    EXPECT_TRUE(v->getKey(&key, &collection, 2, "g1"));
    EXPECT_EQ(key, "k7");
    EXPECT_EQ(collection, "things");
    EXPECT_FALSE(v->getKey(&key, &collection, 8, "g1"));
    EXPECT_EQ(key, "");
    EXPECT_TRUE(v->getFirstKey(&key, nullptr, "g2"));
    EXPECT_EQ(key, "k2");
    EXPECT_TRUE(v->getLastKey(&key, nullptr, "g2"));
    EXPECT_EQ(key, "k29");
    EXPECT_EQ(v->keyAtIndex(1, "g0"), "k6");
    EXPECT_EQ(v->collectionAtIndex(1, "g0"), "things");
    EXPECT_EQ(v->keyAtIndex(99, "g0"), std::nullopt);
    EXPECT_EQ(v->objectAtIndex(3, "g0"), Value(12));
    EXPECT_TRUE(v->objectAtIndex(8, "g0").isNil());
    EXPECT_EQ(v->firstObjectInGroup("g0"), Value(3));
    EXPECT_EQ(v->lastObjectInGroup("g0"), Value(27));
    EXPECT_TRUE(v->lastObjectInGroup("none").isNil());
    std::string group;
    std::uint64_t index = 99;
    EXPECT_TRUE(v->getGroup(&group, &index, "k16", "things"));
    EXPECT_EQ(group, "g1");
    EXPECT_EQ(index, 4u);
    EXPECT_FALSE(v->getGroup(&group, &index, "k15", "things"));  // not in the view
    EXPECT_EQ(index, 0u);
    EXPECT_FALSE(v->getGroup(&group, &index, "missing", "things"));
    EXPECT_EQ(v->groupForKey("k29", "things"), "g2");
    EXPECT_EQ(v->versionTag(), "");
  });
}

TEST_F(ViewReading, FindUsesAHalvingSearch) {
  auto calls = std::make_shared<Calls>();
  ASSERT_TRUE(database->registerExtension(makeView(calls), "order", connection));
  ASSERT_TRUE(connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
    for (int i = 0; i < 10; ++i) t.setObject(Value(1 + 3 * i), "r" + std::to_string(i), "things");  // all in g1
  }));
  // Values at indexes 0..9: 1 4 7 ... 28 (no multiple of 5 removed: 10 and 25 drop out).
  connection->readWithBlock([&](DizEvozidizReadTransaction& t) {
    auto v = viewIn(t);
    const auto n = v->numberOfItemsInGroup("g1");
    ASSERT_EQ(n, 8u);
    std::vector<std::int64_t> values;
    for (std::uint64_t i = 0; i < n; ++i) values.push_back(v->objectAtIndex(i, "g1").asInt64());
    int probes = 0;
    auto between = [&](std::int64_t lo, std::int64_t hi) {
      return DizEvozidizViewFind::withObjectBlock([&, lo, hi](const std::string&, const std::string&, const Value& o) {
        ++probes;
        return o.asInt64() < lo ? -1 : (o.asInt64() > hi ? 1 : 0);
      });
    };
    // Indexes 2..5 hold 7, 13, 16, 19.
    EXPECT_EQ(v->findRangeInGroup("g1", between(7, 19)), (DizViewRange{2, 4}));
    probes = 0;
    EXPECT_EQ(v->findFirstMatchInGroup("g1", between(7, 19)), 4u);  // the first probe
    EXPECT_EQ(probes, 1);
    EXPECT_EQ(v->findRangeInGroup("g1", between(100, 200)), (DizViewRange{DizViewNotFound, 0}));
    EXPECT_EQ(v->findFirstMatchInGroup("g1", between(-9, -1)), DizViewNotFound);
    EXPECT_EQ(v->findRangeInGroup("none", between(0, 100)), (DizViewRange{DizViewNotFound, 0}));
    EXPECT_EQ(v->findRangeInGroup("g1", nullptr), (DizViewRange{DizViewNotFound, 0}));
  });
}

TEST_F(ViewReading, EnumerationsWithReverseRangesStopAndFilters) {
  auto calls = std::make_shared<Calls>();
  ASSERT_TRUE(database->registerExtension(makeView(calls), "order", connection));
  ASSERT_TRUE(connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
    // 130 rows in g1, over several pages.
    for (int i = 0; i < 130; ++i)
      t.setObject(Value(1 + 3 * i + (i % 5 == 3 ? 3 * 130 : 0)), "r" + std::to_string(i), "things", Value(i));
  }));
  connection->readWithBlock([&](DizEvozidizReadTransaction& t) {
    auto v = viewIn(t);
    const std::uint64_t n = v->numberOfItemsInGroup("g1");
    ASSERT_GT(n, 100u);
    std::vector<std::uint64_t> forwards, backwards;
    std::vector<std::string> keys;
    v->enumerateKeysInGroup("g1", 0, std::nullopt,
                            [&](const std::string&, const std::string& k, std::uint64_t i, bool&) {
                              forwards.push_back(i);
                              keys.push_back(k);
                            });
    v->enumerateRowidsInGroup("g1", kDizViewEnumerationReverse,
                              [&](std::int64_t, std::uint64_t i, bool&) { backwards.push_back(i); });
    ASSERT_EQ(forwards.size(), n);
    for (std::uint64_t i = 0; i < n; ++i) {
      EXPECT_EQ(forwards[i], i);
      EXPECT_EQ(backwards[i], n - 1 - i);
      EXPECT_EQ(v->keyAtIndex(i, "g1"), keys[i]);
    }
    for (bool reverse : {false, true}) {
      std::vector<std::uint64_t> seen;
      v->enumerateKeysAndObjectsInGroup("g1", reverse ? kDizViewEnumerationReverse : 0, DizViewRange{45, 12}, nullptr,
                                        [&](auto&, const std::string& k, const Value& o, std::uint64_t i, bool&) {
                                          EXPECT_EQ(v->keyAtIndex(i, "g1"), k);
                                          EXPECT_EQ(v->objectAtIndex(i, "g1"), o);
                                          seen.push_back(i);
                                        });
      std::vector<std::uint64_t> expected;
      for (std::uint64_t i = 45; i < 57; ++i) expected.push_back(i);
      if (reverse) std::reverse(expected.begin(), expected.end());
      EXPECT_EQ(seen, expected);
    }
    LogCapture log;
    std::vector<std::uint64_t> tail;
    v->enumerateRowidsInGroup("g1", 0, DizViewRange{n - 2, 5},
                              [&](std::int64_t, std::uint64_t i, bool&) { tail.push_back(i); });
    EXPECT_EQ(tail, (std::vector<std::uint64_t>{n - 2, n - 1}));
    EXPECT_TRUE(log->contains("Range out of bounds"));
    LogCapture quiet;
    v->enumerateRowidsInGroup("g1", 0, DizViewRange{n - 2, 5},
                              [&](std::int64_t, std::uint64_t, bool& stop) { stop = true; });
    EXPECT_FALSE(quiet->contains("Range out of bounds"));
    // The filter sees every key; metadata is read only for accepted ones.
    int filtered = 0, accepted = 0;
    v->enumerateKeysAndMetadataInGroup(
        "g1", 0, std::nullopt,
        [&](const std::string&, const std::string& k) {
          ++filtered;
          return k.back() == '7';
        },
        [&](auto&, const std::string& k, const Value& m, std::uint64_t, bool&) {
          ++accepted;
          EXPECT_EQ("r" + std::to_string(m.asInt64()), k);
        });
    EXPECT_EQ(filtered, static_cast<int>(n));
    EXPECT_EQ(accepted, 13);
    std::vector<std::string> groups;
    v->enumerateGroupsUsingBlock([&](const std::string& g, bool& stop) {
      groups.push_back(g);
      stop = true;
    });
    EXPECT_EQ(groups.size(), 1u);
  });
}

// A committed state answers by-index and by-key lookups through page positions; a state being
// written walks its descriptors. Both must give the same answers.
TEST_F(ViewReading, CommittedAndWrittenStatesAnswerLookupsAlike) {
  auto calls = std::make_shared<Calls>();
  ASSERT_TRUE(database->registerExtension(makeView(calls), "order", connection));
  std::mt19937 random(3);
  ASSERT_TRUE(connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
    for (int i = 0; i < 700; ++i)
      t.setObject(Value(static_cast<int>(random() % 5000)), "k" + std::to_string(i), "things");
  }));
  std::map<std::string, std::vector<std::string>> byIndex;
  std::map<std::string, std::pair<std::string, std::uint64_t>> byKey;
  auto collect = [&](DizEvozidizReadTransaction& t, auto& indexes, auto& keys) {
    auto v = viewIn(t);
    for (const auto& g : v->allGroups())
      for (std::uint64_t i = 0; i <= v->numberOfItemsInGroup(g); ++i)
        indexes[g].push_back(v->keyAtIndex(i, g).value_or("-"));
    for (int i = 0; i < 700; ++i) {
      std::string group;
      std::uint64_t index = 0;
      const std::string key = "k" + std::to_string(i);
      if (v->getGroup(&group, &index, key, "things")) keys[key] = {group, index};
    }
  };
  connection->readWithBlock([&](DizEvozidizReadTransaction& t) { collect(t, byIndex, byKey); });
  std::map<std::string, std::vector<std::string>> byIndexWritten;
  std::map<std::string, std::pair<std::string, std::uint64_t>> byKeyWritten;
  ASSERT_TRUE(connection->readWriteWithBlock(
      [&](DizEvozidizReadWriteTransaction& t) { collect(t, byIndexWritten, byKeyWritten); }));
  EXPECT_EQ(byIndex, byIndexWritten);
  EXPECT_EQ(byKey, byKeyWritten);
  EXPECT_GT(byKey.size(), 500u);
}

TEST_F(ViewReading, ChangingTheEnumeratedGroupWithoutStopThrows) {
  auto calls = std::make_shared<Calls>();
  putValues(12);
  ASSERT_TRUE(database->registerExtension(makeView(calls), "order", connection));
  ASSERT_TRUE(connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
    auto v = viewIn(t);
    int calls = 0;
    try {
      v->enumerateKeysInGroup("g1", 0, std::nullopt, [&](auto&, const std::string& k, std::uint64_t, bool&) {
        ++calls;
        t.removeObjectForKey(k, "things");
      });
      ADD_FAILURE() << "no exception";
    } catch (const platform::Exception& e) {
      EXPECT_EQ(e.name(), "DizEvozidizException");
      EXPECT_STREQ(e.what(), "View <RegisteredName=order, Group=g1> was mutated while being enumerated.");
      EXPECT_FALSE(e.userInfo()[platform::kLocalizedRecoverySuggestionErrorKey].asString().empty());
    }
    EXPECT_EQ(calls, 1);
    // Another group's change does not count; stop after a change ends quietly.
    v->enumerateKeysInGroup("g2", 0, std::nullopt,
                            [&](auto&, auto&, std::uint64_t, bool&) { t.removeObjectForKey("k3", "things"); });
    v->enumerateKeysInGroup("g2", 0, std::nullopt, [&](auto&, const std::string& k, std::uint64_t, bool& stop) {
      t.removeObjectForKey(k, "things");
      stop = true;
    });
  }));
}

TEST_F(ViewReading, NewClosuresWithANewTagRefillTheViewAndTellDependants) {
  auto calls = std::make_shared<Calls>();
  putValues(10);
  ASSERT_TRUE(database->registerExtension(makeView(calls, true, "1"), "order", connection));
  auto everything = DizEvozidizViewGrouping::withKeyBlock(
      [](DizEvozidizReadTransaction&, const std::string& c, const std::string&) -> std::optional<std::string> {
        return c == "things" ? std::optional<std::string>("all") : std::nullopt;
      });
  auto byKey = DizEvozidizViewSorting::withKeyBlock(
      [](DizEvozidizReadTransaction&, const std::string&, const std::string&, const std::string& k1, const std::string&,
         const std::string& k2) { return k1 < k2 ? -1 : (k1 > k2 ? 1 : 0); });
  LogCapture log;
  ASSERT_TRUE(connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
    auto v = viewIn(t);
    v->setGroupingSortingVersionTag(everything, byKey, "1");  // same tag: nothing
    EXPECT_TRUE(log->contains("versionTag didn't change"));
    EXPECT_EQ(v->numberOfGroups(), 3u);
    v->setGroupingSortingVersionTag(everything, byKey, "2");
    EXPECT_EQ(v->allGroups(), std::vector<std::string>{"all"});
    EXPECT_EQ(v->numberOfItemsInGroup("all"), 10u);
    EXPECT_EQ(v->versionTag(), "2");
    t.setObject(Value(100), "k05", "things");
    EXPECT_EQ(v->keyAtIndex(1, "all"), "k05");  // the new sorting places later writes
  }));
  auto other = database->newConnection();
  other->readWithBlock([&](DizEvozidizReadTransaction& t) {
    EXPECT_EQ(viewIn(t)->numberOfItemsInGroup("all"), 11u);
    EXPECT_EQ(viewIn(t)->versionTag(), "2");
  });
  EXPECT_EQ(std::dynamic_pointer_cast<DizEvozidizView>(database->registeredExtensions().at("order"))->versionTag(),
            "2");
}

}  // namespace
