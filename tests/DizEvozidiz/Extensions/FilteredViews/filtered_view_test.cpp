// Filtered views over a registered view: registration rules, following the parent row by row, new
// filters merged in, and chains of filtered views checked against filtering the parent's current
// groups through random writes.

#include <gtest/gtest.h>

#include <random>

#include "DizEvozidiz/Extensions/FilteredViews/DizEvozidizFilteredView.h"
#include "DizEvozidiz/Extensions/FilteredViews/DizEvozidizFilteredViewTransaction.h"
#include "DizEvozidiz/Extensions/SecondaryIndex/DizEvozidizSecondaryIndex.h"
#include "tests/DizEvozidiz/Extensions/Views/view_store_test_support.h"

namespace {

using namespace viewtest;
using diztest::LogCapture;
using platform::Value;

using Predicate = std::function<bool(std::int64_t)>;

DizEvozidizViewFiltering::Ptr filterBy(Predicate keep, std::uint64_t options = DizDefaultBlockInvokeOptions(1),
                                       std::shared_ptr<int> runs = nullptr) {
  return DizEvozidizViewFiltering::withOptionsObjectBlock(
      options, [keep, runs](DizEvozidizReadTransaction&, const std::string&, const std::string&, const std::string&,
                            const Value& object) {
        if (runs) ++*runs;
        return keep(object.asInt64());
      });
}

Groups filtered(const Groups& groups, const Predicate& keep) {
  Groups out;
  for (const auto& [g, rows] : groups)
    for (const auto& row : rows)
      if (keep(row.second)) out[g].push_back(row);
  return out;
}

class FilteredView : public diztest::ConnectionFixture {
 protected:
  Groups groupsOn(const DizEvozidizConnection::Ptr& c, const std::string& name) {
    Groups g;
    c->readWithBlock([&](DizEvozidizReadTransaction& t) { g = readGroups(t, name); });
    return g;
  }
  void putValues(const std::map<std::string, std::int64_t>& values) {
    ASSERT_TRUE(connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
      for (const auto& [k, v] : values) t.setObject(Value(v), k, "things");
    }));
  }
  static std::shared_ptr<DizEvozidizFilteredViewTransaction> filteredIn(DizEvozidizReadTransaction& t,
                                                                        const std::string& name) {
    return std::dynamic_pointer_cast<DizEvozidizFilteredViewTransaction>(t.ext(name));
  }

  std::shared_ptr<Calls> calls = std::make_shared<Calls>();
};

const Predicate isEven = [](std::int64_t v) { return v % 2 == 0; };
const Predicate isSmall = [](std::int64_t v) { return v < 500; };

TEST_F(FilteredView, RegistrationNeedsARegisteredParentView) {
  LogCapture log;
  EXPECT_FALSE(
      database->registerExtension(DizEvozidizFilteredView::make("order", filterBy(isEven)), "even", connection));
  EXPECT_TRUE(log->contains("The specified parentViewName (order) isn't registered"));
  DizEvozidizSecondaryIndexSetup setup;
  setup.addColumn("v", DizSecondaryIndexTypeInteger);
  ASSERT_TRUE(database->registerExtension(
      DizEvozidizSecondaryIndex::make(
          setup, DizEvozidizSecondaryIndexHandler::withKeyBlock([](auto&, auto&, auto&, auto&) {})),
      "index", connection));
  EXPECT_FALSE(
      database->registerExtension(DizEvozidizFilteredView::make("index", filterBy(isEven)), "even", connection));
  EXPECT_TRUE(log->contains("The specified parentViewName (index) isn't a view"));
  EXPECT_FALSE(DizEvozidizFilteredView::make("order", nullptr));
}

TEST_F(FilteredView, FollowsTheParentRowByRow) {
  putValues({{"a", 2}, {"b", 4}, {"c", 7}, {"d", 8}});
  ASSERT_TRUE(database->registerExtension(makeView(calls), "order", connection));
  auto none = [](std::int64_t) { return false; };
  ASSERT_TRUE(database->registerExtension(DizEvozidizFilteredView::make("order", filterBy(none)), "none", connection));
  ASSERT_TRUE(
      database->registerExtension(DizEvozidizFilteredView::make("order", filterBy(isEven)), "even", connection));
  EXPECT_TRUE(groupsOn(connection, "none").empty());
  std::map<std::string, std::int64_t> rows = {{"a", 2}, {"b", 4}, {"c", 7}, {"d", 8}};
  EXPECT_EQ(groupsOn(connection, "even"), filtered(expectedGroups(rows), isEven));

  ASSERT_TRUE(connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
    t.setObject(Value(14), "e", "things");  // accepted, placed by the parent's sorting in g2
    t.setObject(Value(1), "f", "things");   // rejected
    t.setObject(Value(20), "g", "things");  // the parent does not group it
    t.setObject(Value(3), "b", "things");   // now rejected: leaves, stays in the parent
    t.setObject(Value(10), "d", "things");  // the parent drops it
    t.removeObjectForKey("a", "things");
  }));
  rows = {{"b", 3}, {"c", 7}, {"d", 10}, {"e", 14}, {"f", 1}, {"g", 20}};
  EXPECT_EQ(groupsOn(connection, "even"), filtered(expectedGroups(rows), isEven));
  auto other = database->newConnection();
  EXPECT_EQ(groupsOn(other, "even"), filtered(expectedGroups(rows), isEven));
  EXPECT_TRUE(groupsOn(other, "none").empty());
}

TEST_F(FilteredView, TouchWithoutTheFiltersBitDoesNotRunTheFilter) {
  putValues({{"a", 2}, {"b", 3}});
  ASSERT_TRUE(database->registerExtension(makeView(calls), "order", connection));
  auto runs = std::make_shared<int>(0);
  // Runs on object changes only (bit 1), not on touches.
  ASSERT_TRUE(database->registerExtension(
      DizEvozidizFilteredView::make("order", filterBy([](std::int64_t) { return true; }, 1, runs)), "all", connection));
  *runs = 0;
  ASSERT_TRUE(connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
    t.touchObjectForKey("a", "things");
    EXPECT_EQ(*runs, 0);
    auto view = filteredIn(t, "all");
    auto last = std::dynamic_pointer_cast<DizEvozidizViewRowChange>(view->viewConnection()->working().changes.back());
    ASSERT_TRUE(last);
    EXPECT_EQ(last->type(), DizViewChangeUpdate);
    EXPECT_EQ(last->changes(), 1u);
    t.replaceObject(Value(4), "a", "things");
    EXPECT_EQ(*runs, 1);
  }));
}

TEST_F(FilteredView, NewFilterIsMergedAndReachesOtherConnections) {
  std::map<std::string, std::int64_t> rows;
  for (int i = 0; i < 200; ++i) rows["k" + std::to_string(i)] = (i * 37) % 1000;
  putValues(rows);
  ASSERT_TRUE(database->registerExtension(makeView(calls), "order", connection));
  ASSERT_TRUE(
      database->registerExtension(DizEvozidizFilteredView::make("order", filterBy(isEven), "even"), "f", connection));
  LogCapture log;
  ASSERT_TRUE(connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
    auto f = filteredIn(t, "f");
    f->setFilteringVersionTag(filterBy(isSmall), "even");
    EXPECT_TRUE(log->contains("versionTag didn't change, so not updating view"));
    f->setFilteringVersionTag(filterBy(isSmall), "small");
    EXPECT_EQ(readGroups(t, "f"), filtered(expectedGroups(rows), isSmall));
    EXPECT_THROW(f->setGroupingSortingVersionTag(nullptr, nullptr, "x"), platform::Exception);
  }));
  auto other = database->newConnection();
  EXPECT_EQ(groupsOn(other, "f"), filtered(expectedGroups(rows), isSmall));
  putValues({{"new", 998}, {"new2", 4}});  // the new filter is in force for later writes
  rows["new"] = 998;
  rows["new2"] = 4;
  EXPECT_EQ(groupsOn(other, "f"), filtered(expectedGroups(rows), isSmall));
}

TEST_F(FilteredView, ReopeningRefillsOnlyForAnotherParentOrTag) {
  putValues({{"a", 2}, {"b", 4}, {"c", 7}});
  auto runs = std::make_shared<int>(0);
  auto registerAll = [&](const std::string& parent, const std::string& tag) {
    EXPECT_TRUE(database->registerExtension(makeView(calls), "order", connection));
    EXPECT_TRUE(database->registerExtension(makeView(calls), "order2", connection));
    EXPECT_TRUE(database->registerExtension(DizEvozidizFilteredView::make(parent, filterBy(isEven, 5, runs), tag),
                                            "even", connection));
  };
  auto reopen = [&] {
    connection.reset();
    closeDatabase(database);
    database = DizEvozidiz::create(path);
    connection = database->newConnection();
  };
  registerAll("order", "1");
  EXPECT_EQ(*runs, 3);  // each row of the parent, once
  const Groups first = groupsOn(connection, "even");
  *runs = 0;
  reopen();
  const std::uint64_t opened = database->snapshot();
  registerAll("order", "1");
  EXPECT_EQ(*runs, 0);
  EXPECT_EQ(database->snapshot(), opened) << "nothing written, nothing committed";
  EXPECT_EQ(groupsOn(connection, "even"), first);
  reopen();
  registerAll("order", "2");
  EXPECT_GT(*runs, 0);
  *runs = 0;
  reopen();
  registerAll("order2", "2");
  EXPECT_GT(*runs, 0);
  EXPECT_EQ(groupsOn(connection, "even"), first);
}

// A (view) <- B (even) <- C (small): random writes, new filters for B and new closures for A, and
// after every commit B equals filtering A's groups and C filtering B's, on two connections.
TEST_F(FilteredView, ChainsStayEqualToFilteringTheParentThroughRandomWrites) {
  for (bool persistent : {true, false}) {
    SCOPED_TRACE(persistent ? "persistent" : "in memory");
    const std::string a = persistent ? "A" : "mA", b = persistent ? "B" : "mB", c = persistent ? "C" : "mC";
    std::map<std::string, std::int64_t> rows;
    ASSERT_TRUE(connection->readWriteWithBlock(
        [&](DizEvozidizReadWriteTransaction& t) { t.removeAllObjectsInAllCollections(); }));
    DizEvozidizViewOptions options;
    options.isPersistent = persistent;
    ASSERT_TRUE(database->registerExtension(makeView(calls, persistent), a, connection));
    ASSERT_TRUE(
        database->registerExtension(DizEvozidizFilteredView::make(a, filterBy(isEven), "0", options), b, connection));
    ASSERT_TRUE(
        database->registerExtension(DizEvozidizFilteredView::make(b, filterBy(isSmall), "0", options), c, connection));
    auto other = database->newConnection();
    std::mt19937 random(7);
    Predicate bKeep = isEven;
    Groups (*aGroups)(const std::map<std::string, std::int64_t>&) = expectedGroups;
    bool regrouped = false;
    for (int round = 0; round < 25; ++round) {
      ASSERT_TRUE(connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
        for (int i = 0; i < 40; ++i) {
          const std::string key = "k" + std::to_string(random() % 150);
          switch (random() % 8) {
            case 0:
            case 1:
            case 2: {
              const std::int64_t v = random() % 1000;
              t.setObject(Value(v), key, "things");
              rows[key] = v;
              break;
            }
            case 3:
              if (rows.count(key)) {
                const std::int64_t v = random() % 1000;
                t.replaceObject(Value(v), key, "things");
                rows[key] = v;
              }
              break;
            case 4:
              t.touchObjectForKey(key, "things");
              break;
            case 5:
              t.removeObjectForKey(key, "things");
              rows.erase(key);
              break;
            case 6: {
              std::vector<std::string> keys;
              for (int j = 0; j < 4; ++j) keys.push_back("k" + std::to_string(random() % 150));
              t.removeObjectsForKeys(keys, "things");
              for (const auto& k : keys) rows.erase(k);
              break;
            }
            default:
              t.touchRowForKey(key, "things");
              break;
          }
        }
        if (round % 6 == 3) {
          const int m = 2 + round % 3;
          bKeep = [m](std::int64_t v) { return v % m == 0; };
          filteredIn(t, b)->setFilteringVersionTag(filterBy(bKeep), "b" + std::to_string(round));
        }
        if (round == 10) {
          // A groups everything into one group, descending.
          auto grouping = DizEvozidizViewGrouping::withObjectBlock([](DizEvozidizReadTransaction&,
                                                                      const std::string& col, const std::string&,
                                                                      const Value&) -> std::optional<std::string> {
            return col == "things" ? std::optional<std::string>("all") : std::nullopt;
          });
          auto sorting = DizEvozidizViewSorting::withObjectBlock(
              [](DizEvozidizReadTransaction&, const std::string&, const std::string&, const std::string&,
                 const Value& o1, const std::string&, const std::string&,
                 const Value& o2) { return o1.asInt64() > o2.asInt64() ? -1 : (o1.asInt64() < o2.asInt64() ? 1 : 0); });
          std::dynamic_pointer_cast<DizEvozidizViewTransaction>(t.ext(a))->setGroupingSortingVersionTag(
              grouping, sorting, "desc");
          regrouped = true;
        }
      }));
      Groups expectedA;
      if (regrouped) {
        for (const auto& [k, v] : rows) expectedA["all"].emplace_back(k, v);
        std::stable_sort(expectedA["all"].begin(), expectedA["all"].end(),
                         [](auto& x, auto& y) { return x.second > y.second; });
      } else {
        expectedA = aGroups(rows);
      }
      for (const auto& conn : {connection, other}) {
        const Groups gA = groupsOn(conn, a), gB = groupsOn(conn, b), gC = groupsOn(conn, c);
        if (!regrouped) expectSameGroups(gA, expectedA, "A round " + std::to_string(round));
        EXPECT_EQ(gB, filtered(gA, bKeep)) << "B round " << round;
        EXPECT_EQ(gC, filtered(gB, isSmall)) << "C round " << round;
      }
      if (HasFailure()) return;
    }
  }
}

}  // namespace
