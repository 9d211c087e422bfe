// Sorted placement, removal, splitting and flushing of a view's pages, over page tables kept in
// plain maps; checked against the chain invariant and, in the oracle test, against a plain sort.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <random>
#include <set>

#include "tests/DizEvozidiz/Extensions/Views/view_pages_test_support.h"

namespace {

using zorvel::test::MemoryPageTables;

// One view over rows whose sort value the test holds; compares by value only.
struct Fixture {
  MemoryPageTables tables;
  DizViewWorkingSet working;
  std::map<std::int64_t, int> values;
  int comparisons = 0;

  Fixture() { working.state = DizEvozidizViewState::make(); }

  DizViewPages pages() { return DizViewPages(working, tables); }
  static DizCollectionKeyPtr key(std::int64_t rowid) { return DizCollectionKey::make("c", std::to_string(rowid)); }

  void place(std::int64_t rowid, int value, const std::string& group, bool isNew = true) {
    values[rowid] = value;
    auto p = pages();
    p.insertRowid(
        rowid, key(rowid), group,
        [&](std::int64_t other) {
          ++comparisons;
          const int a = values.at(rowid), b = values.at(other);
          return a < b ? -1 : (a > b ? 1 : 0);
        },
        3, isNew);
  }

  std::vector<std::int64_t> group(const std::string& name) {
    std::vector<std::int64_t> out;
    auto p = pages();
    const std::uint64_t n = working.state->countForGroup(name);
    for (std::uint64_t i = 0; i < n; ++i) {
      std::int64_t r = 0;
      EXPECT_TRUE(p.getRowid(&r, i, name));
      out.push_back(r);
    }
    return out;
  }

  std::vector<std::uint64_t> pageCounts(const std::string& name) {
    std::vector<std::uint64_t> out;
    for (const auto& m : *working.state->pagesMetadataForGroup(name)) out.push_back(m->count);
    return out;
  }

  // A group of one page holding the rowids 1..n in order, committed.
  void committedGroup(const std::string& name, int n) {
    for (int i = 1; i <= n; ++i) place(i, i, name);
    tables.commit(working);
  }
};

std::vector<std::int64_t> range(std::int64_t from, std::int64_t to) {
  std::vector<std::int64_t> out;
  for (std::int64_t i = from; i <= to; ++i) out.push_back(i);
  return out;
}

TEST(ViewPlacement, FlushSplitsPageOf120Into50_20_50) {
  Fixture f;
  for (int i = 1; i <= 120; ++i) f.place(i, i, "g");
  ASSERT_EQ(f.pageCounts("g"), (std::vector<std::uint64_t>{120}));
  const std::string first = (*f.working.state->pagesMetadataForGroup("g"))[0]->pageKey;
  f.tables.commit(f.working);

  const auto& list = *f.working.state->pagesMetadataForGroup("g");
  ASSERT_EQ(f.pageCounts("g"), (std::vector<std::uint64_t>{50, 20, 50}));
  EXPECT_EQ(list[0]->pageKey, first);    // the split page keeps its first 50
  EXPECT_EQ(list[2]->pageKey, "page2");  // the first new page took the last 50
  EXPECT_EQ(list[1]->pageKey, "page3");  // the second sits between them with the 20 over 50
  EXPECT_EQ(f.group("g"), range(1, 120));
  f.tables.expectConsistentTables();

  auto reloaded = f.tables.loadState();
  ASSERT_TRUE(reloaded);
  EXPECT_EQ(f.tables.storedGroup(*reloaded, "g"), range(1, 120));
}

TEST(ViewPlacement, PageReaching1601IsCutAtOnceThenTrimmedAtFlush) {
  Fixture f;
  for (int i = 1; i <= 1600; ++i) f.place(i, i, "g");
  EXPECT_EQ(f.pageCounts("g"), (std::vector<std::uint64_t>{1600}));
  f.place(1601, 1601, "g");
  EXPECT_EQ(f.pageCounts("g"), (std::vector<std::uint64_t>{800, 1, 800}));
  EXPECT_EQ(f.group("g"), range(1, 1601));
  // Every moved rowid maps to its new page before the flush.
  auto p = f.pages();
  const auto& list = *f.working.state->pagesMetadataForGroup("g");
  EXPECT_EQ(p.pageKeyForRowid(801), list[1]->pageKey);
  EXPECT_EQ(p.pageKeyForRowid(1601), list[2]->pageKey);
  EXPECT_EQ(p.pageKeyForRowid(800), list[0]->pageKey);

  f.tables.commit(f.working);
  for (auto c : f.pageCounts("g")) EXPECT_TRUE(c > 0 && c <= 50) << c;
  EXPECT_EQ(f.group("g"), range(1, 1601));
  f.tables.expectConsistentTables();
}

TEST(ViewPlacement, InsertionAtPageBoundaryPrefersTheNonFullPage) {
  struct Case {
    int firstPage, secondPage;
    std::size_t receiving;  // index of the page that takes the row
  } cases[] = {{30, 50, 0}, {30, 20, 1}, {50, 50, 1}};
  for (const auto& c : cases) {
    Fixture f;
    // Two committed pages of the given sizes in one group, by hand.
    f.working.state->createGroup("g");
    std::int64_t rowid = 0;
    std::optional<std::string> prev;
    for (int size : {c.firstPage, c.secondPage}) {
      DizEvozidizViewPage page;
      for (int i = 0; i < size; ++i) {
        ++rowid;
        f.values[rowid] = static_cast<int>(rowid) * 10;
        page.addRowid(rowid);
      }
      const std::string key = "stored" + std::to_string(rowid);
      f.tables.pageTable[key] = {"g", prev, page.count(), page.serialize()};
      auto m = std::make_shared<DizEvozidizViewPageMetadata>();
      *m = {key, prev, "g", page.count(), false};
      f.working.state->addPageMetadata(m, "g");
      for (auto r : page.rowids()) f.tables.mapTable[r] = key;
      prev = key;
    }
    // Sorts right after the last row of the first page.
    f.place(1000, c.firstPage * 10 + 5, "g");
    auto counts = f.pageCounts("g");
    EXPECT_EQ(counts[c.receiving], static_cast<std::uint64_t>((c.receiving ? c.secondPage : c.firstPage) + 1))
        << c.firstPage << "/" << c.secondPage;
    EXPECT_EQ(f.group("g")[c.firstPage], 1000);
  }
}

TEST(ViewPlacement, EqualRowsKeepArrivalOrder) {
  Fixture f;
  for (int i = 1; i <= 200; ++i) f.place(i, i % 3 == 0 ? 5 : 7, "g");
  std::vector<std::int64_t> fives, sevens;
  for (int i = 1; i <= 200; ++i) (i % 3 == 0 ? fives : sevens).push_back(i);
  auto expected = fives;
  expected.insert(expected.end(), sevens.begin(), sevens.end());
  EXPECT_EQ(f.group("g"), expected);
  f.tables.commit(f.working);
  EXPECT_EQ(f.group("g"), expected);
}

TEST(ViewPlacement, ShortcutsCostOneComparisonForRowsArrivingAtEitherEnd) {
  Fixture f;
  f.place(1, 100, "g");
  f.place(2, 200, "g");  // one row: no shortcut, one comparison
  EXPECT_EQ(f.comparisons, 1);
  f.place(3, 300, "g");  // searched: lands last, sets the last-index hint
  f.comparisons = 0;
  for (int i = 4; i <= 500; ++i) f.place(i, i * 100, "g");
  EXPECT_EQ(f.comparisons, 497);
  // Only the last-index hint is set: a row before the first falls back to the search.
  f.comparisons = 0;
  f.place(1000, 1, "g");
  EXPECT_GT(f.comparisons, 2);
  EXPECT_EQ(f.group("g").front(), 1000);
  EXPECT_TRUE(f.working.lastInsertWasAtFirstIndex);
  EXPECT_FALSE(f.working.lastInsertWasAtLastIndex);
}

TEST(ViewPlacement, ChangedRowStillInOrderRecordsOnlyAnUpdate) {
  Fixture f;
  f.committedGroup("g", 5);
  f.values[3] = 3;  // same place
  const auto readsBefore = f.tables.pageReads;
  f.place(3, 3, "g", false);
  ASSERT_EQ(f.working.changes.size(), 1u);
  auto update = std::dynamic_pointer_cast<DizEvozidizViewRowChange>(f.working.changes[0]);
  ASSERT_TRUE(update);
  EXPECT_EQ(update->type(), DizViewChangeUpdate);
  EXPECT_EQ(update->finalIndex(), 2u);
  EXPECT_EQ(update->changes(), 3u);
  EXPECT_TRUE(f.working.dirtyPages.empty());
  EXPECT_TRUE(f.working.dirtyMaps.empty());
  EXPECT_LE(f.tables.pageReads - readsBefore, 1);

  // Moving within the group: a delete at the old index, an insert counted after the removal.
  f.working.changes.clear();
  f.place(1, 10, "g", false);
  ASSERT_EQ(f.working.changes.size(), 2u);
  auto del = std::dynamic_pointer_cast<DizEvozidizViewRowChange>(f.working.changes[0]);
  auto ins = std::dynamic_pointer_cast<DizEvozidizViewRowChange>(f.working.changes[1]);
  EXPECT_EQ(del->type(), DizViewChangeDelete);
  EXPECT_EQ(del->originalIndex(), 0u);
  EXPECT_EQ(ins->type(), DizViewChangeInsert);
  EXPECT_EQ(ins->finalIndex(), 4u);
  EXPECT_EQ(f.group("g"), (std::vector<std::int64_t>{2, 3, 4, 5, 1}));
}

TEST(ViewPlacement, EmptiedGroupIsDroppedAtFlushWithSectionDelete) {
  Fixture f;
  f.committedGroup("g", 120);  // 50, 20, 50
  auto p = f.pages();
  for (int i = 51; i <= 70; ++i) p.removeRowid(i, Fixture::key(i));  // empties the middle page
  EXPECT_EQ(f.pageCounts("g"), (std::vector<std::uint64_t>{50, 0, 50}));
  f.tables.commit(f.working);
  const auto& list = *f.working.state->pagesMetadataForGroup("g");
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[1]->prevPageKey, list[0]->pageKey);  // the following page's link rewritten
  f.tables.expectConsistentTables();

  p.removeAllRowidsInGroup("g");
  ASSERT_EQ(f.working.changes.size(), 1u);
  auto reset = std::dynamic_pointer_cast<DizEvozidizViewSectionChange>(f.working.changes[0]);
  EXPECT_TRUE(reset && reset->isReset());
  DizViewPages(f.working, f.tables).cleanupPages();
  auto last = std::dynamic_pointer_cast<DizEvozidizViewSectionChange>(f.working.changes.back());
  ASSERT_TRUE(last);
  EXPECT_EQ(last->type(), DizViewChangeDelete);
  EXPECT_FALSE(last->isReset());
  EXPECT_EQ(f.working.state->numberOfGroups(), 0u);
  f.tables.commit(f.working);
  EXPECT_TRUE(f.tables.pageTable.empty());
  EXPECT_TRUE(f.tables.mapTable.empty());
}

TEST(ViewPlacement, GroupOfEmptyPagesTakesTheRowInItsLastPage) {
  Fixture f;
  f.committedGroup("g", 120);
  auto p = f.pages();
  for (int i = 1; i <= 120; ++i) p.removeRowid(i, Fixture::key(i));
  f.working.lastInsertWasAtFirstIndex = f.working.lastInsertWasAtLastIndex = false;
  std::int64_t last = -1;
  EXPECT_FALSE(p.getLastRowid(&last, "g"));
  f.place(500, 1, "g", false);
  EXPECT_EQ(f.pageCounts("g"), (std::vector<std::uint64_t>{0, 0, 1}));
  EXPECT_TRUE(f.working.lastInsertWasAtFirstIndex);
  EXPECT_TRUE(f.working.lastInsertWasAtLastIndex);
  EXPECT_TRUE(p.getLastRowid(&last, "g"));
  EXPECT_EQ(last, 500);
}

TEST(ViewPlacement, LookupsCacheAbsenceAndSeeRemovals) {
  Fixture f;
  f.committedGroup("g", 3);
  f.working.mapCache.removeAllObjects();
  auto p = f.pages();
  const int before = f.tables.mapReads;
  EXPECT_FALSE(p.pageKeyForRowid(99));
  EXPECT_FALSE(p.pageKeyForRowid(99));
  EXPECT_EQ(f.tables.mapReads - before, 1);  // "not in the view" is cached too
  p.removeRowid(2, Fixture::key(2));
  EXPECT_FALSE(p.pageKeyForRowid(2));
  EXPECT_EQ(f.tables.mapReads - before, 2);  // 2 was read once for the removal, not again after it
}

TEST(ViewPlacement, BatchRemovalRecordsHighestIndexFirstAndWarnsOfMissingRows) {
  Fixture f;
  f.committedGroup("g", 10);
  auto p = f.pages();
  const std::string pageKey = *p.pageKeyForRowid(1);
  std::map<std::int64_t, DizCollectionKeyPtr> batch = {
      {2, Fixture::key(2)}, {5, Fixture::key(5)}, {77, Fixture::key(77)}};
  p.removeRowidsWithKeyMappings(batch, pageKey, "g");
  ASSERT_EQ(f.working.changes.size(), 2u);
  EXPECT_EQ(std::dynamic_pointer_cast<DizEvozidizViewRowChange>(f.working.changes[0])->originalIndex(), 4u);
  EXPECT_EQ(std::dynamic_pointer_cast<DizEvozidizViewRowChange>(f.working.changes[1])->originalIndex(), 1u);
  for (std::int64_t r : {2, 5, 77}) EXPECT_FALSE(p.pageKeyForRowid(r)) << r;  // all three unmapped
  EXPECT_EQ(f.group("g"), (std::vector<std::int64_t>{1, 3, 4, 6, 7, 8, 9, 10}));

  std::vector<std::int64_t> rowids = {3, 4, 99, 2};
  auto found = p.pageKeysForRowids(rowids, {{3, Fixture::key(3)}, {4, Fixture::key(4)}});
  EXPECT_EQ(std::set<std::int64_t>(rowids.begin(), rowids.end()), (std::set<std::int64_t>{3, 4}));
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found.begin()->second.size(), 2u);
}

TEST(ViewPlacement, BrokenChainsFailTheLoad) {
  auto m = [](std::string key, std::optional<std::string> prev) {
    auto d = std::make_shared<DizEvozidizViewPageMetadata>();
    *d = {std::move(key), std::move(prev), "g", 1, false};
    return d;
  };
  EXPECT_TRUE(DizViewPages::buildState({m("a", std::nullopt), m("b", "a"), m("c", "b")}, "v"));
  EXPECT_FALSE(DizViewPages::buildState({m("a", std::nullopt), m("b", "nope")}, "v"));            // missing page
  EXPECT_FALSE(DizViewPages::buildState({m("a", "b"), m("b", "a")}, "v"));                        // no first page
  EXPECT_FALSE(DizViewPages::buildState({m("a", std::nullopt), m("b", "a"), m("c", "a")}, "v"));  // fork
  EXPECT_FALSE(DizViewPages::buildState({m("a", std::nullopt), m("b", std::nullopt)}, "v"));      // two first pages
  EXPECT_FALSE(DizViewPages::buildState({m("a", std::nullopt), m("b", "c"), m("c", "b")}, "v"));  // cycle aside
}

// ---- Oracle ----

// Replays a transaction's change log over the committed order of every group.
void applyChangeLog(std::map<std::string, std::vector<std::string>>& groups,
                    const std::vector<platform::ObjectPtr>& changes) {
  for (const auto& object : changes) {
    if (auto s = std::dynamic_pointer_cast<DizEvozidizViewSectionChange>(object)) {
      if (s->type() == DizViewChangeInsert) {
        ASSERT_FALSE(groups.contains(s->group())) << "section insert of an existing group " << s->group();
        groups[s->group()];
      } else if (s->isReset()) {
        groups[s->group()].clear();
      } else {
        ASSERT_TRUE(groups.contains(s->group()) && groups[s->group()].empty()) << "section delete " << s->group();
        groups.erase(s->group());
      }
      continue;
    }
    auto r = std::dynamic_pointer_cast<DizEvozidizViewRowChange>(object);
    ASSERT_TRUE(r);
    if (r->type() == DizViewChangeDelete) {
      auto& g = groups[*r->originalGroup()];
      ASSERT_LT(r->opOriginalIndex(), g.size());
      ASSERT_EQ(g[r->opOriginalIndex()], r->collectionKey()->key());
      g.erase(g.begin() + static_cast<std::ptrdiff_t>(r->opOriginalIndex()));
    } else if (r->type() == DizViewChangeInsert) {
      auto& g = groups[*r->finalGroup()];
      ASSERT_LE(r->opFinalIndex(), g.size());
      g.insert(g.begin() + static_cast<std::ptrdiff_t>(r->opFinalIndex()), r->collectionKey()->key());
    } else {
      auto& g = groups[*r->originalGroup()];
      ASSERT_LT(r->opOriginalIndex(), g.size());
      ASSERT_EQ(g[r->opOriginalIndex()], r->collectionKey()->key());
    }
  }
}

int envInt(const char* name, int fallback) {
  const char* v = std::getenv(name);
  return v && *v ? std::atoi(v) : fallback;
}

// Random inserts, regrouping updates, single, batch and group removals over many transactions;
// after every commit each group must hold exactly its rows, sorted by value, the tables must keep
// the chain invariant and the page limits, a second connection loading the tables must see the same
// order, and the change log replayed over the previous order must give the new one.
// ZORVEL_VIEW_ORACLE_ROUNDS and ZORVEL_VIEW_ORACLE_SEED run it longer or differently.
TEST(ViewPlacementOracle, MatchesPlainSortAfterEveryCommit) {
  const int rounds = envInt("ZORVEL_VIEW_ORACLE_ROUNDS", 150);
  const unsigned seed = static_cast<unsigned>(envInt("ZORVEL_VIEW_ORACLE_SEED", 20261210));
  std::mt19937 rng(seed);
  Fixture f;
  std::map<std::int64_t, std::string> groupOf;
  std::map<std::string, std::vector<std::string>> replayed;
  std::int64_t nextRowid = 1;
  const std::vector<std::string> groups = {"a", "b", "c", "d"};
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  auto randomRow = [&]() {
    auto it = groupOf.begin();
    std::advance(it, pick(static_cast<int>(groupOf.size())));
    return it->first;
  };

  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE("seed " + std::to_string(seed) + " round " + std::to_string(round));
    const int ops = round % 25 == 7 ? 1700 : 1 + pick(60);  // sometimes enough rows to split at once
    const bool sortedRun = round % 10 == 3;
    for (int op = 0; op < ops; ++op) {
      const int kind = groupOf.empty() ? 0 : pick(100);
      if (kind < 55) {
        const std::int64_t rowid = nextRowid++;
        const std::string& g = groups[static_cast<std::size_t>(pick(sortedRun ? 1 : 4))];
        f.place(rowid, sortedRun ? static_cast<int>(rowid) : pick(500), g, true);
        groupOf[rowid] = g;
      } else if (kind < 80) {
        const std::int64_t rowid = randomRow();
        const std::string& g = groups[static_cast<std::size_t>(pick(4))];
        const int value = pick(3) == 0 ? f.values[rowid] : pick(500);
        f.place(rowid, value, g, false);
        groupOf[rowid] = g;
      } else if (kind < 95) {
        const std::int64_t rowid = randomRow();
        f.pages().removeRowid(rowid, Fixture::key(rowid));
        groupOf.erase(rowid);
      } else if (kind < 99) {
        std::vector<std::int64_t> rowids;
        std::unordered_map<std::int64_t, DizCollectionKeyPtr> keys;
        for (int i = 0; i < 8; ++i) {
          const std::int64_t r = pick(3) == 0 ? nextRowid + 1000 : randomRow();
          if (keys.emplace(r, Fixture::key(r)).second) rowids.push_back(r);
        }
        auto p = f.pages();
        for (auto& [pageKey, mappings] : p.pageKeysForRowids(rowids, keys)) {
          p.removeRowidsWithKeyMappings(mappings, pageKey, *f.working.state->groupForPageKey(pageKey));
          for (auto& entry : mappings) groupOf.erase(entry.first);
        }
      } else {
        const std::string& g = groups[static_cast<std::size_t>(pick(4))];
        f.pages().removeAllRowidsInGroup(g);
        std::erase_if(groupOf, [&](const auto& entry) { return entry.second == g; });
      }
    }
    // The flush adds the section deletes of groups it empties: replay after it.
    DizViewPages(f.working, f.tables).cleanupPages();
    auto log = f.working.changes;
    f.tables.commit(f.working);
    applyChangeLog(replayed, log);
    if (HasFatalFailure()) return;

    std::map<std::string, std::vector<std::int64_t>> expected;
    for (const auto& [rowid, g] : groupOf) expected[g].push_back(rowid);
    EXPECT_EQ(f.working.state->numberOfGroups(), expected.size());
    auto reloaded = f.tables.loadState();
    ASSERT_TRUE(reloaded);
    for (auto& [g, rowids] : expected) {
      auto actual = f.group(g);
      EXPECT_EQ(std::set<std::int64_t>(actual.begin(), actual.end()),
                std::set<std::int64_t>(rowids.begin(), rowids.end()))
          << g;
      EXPECT_TRUE(std::is_sorted(actual.begin(), actual.end(), [&](std::int64_t a, std::int64_t b) {
        return f.values[a] < f.values[b];
      })) << g;
      EXPECT_EQ(f.tables.storedGroup(*reloaded, g), actual) << g;
      std::vector<std::string> keys;
      for (auto r : actual) keys.push_back(std::to_string(r));
      EXPECT_EQ(replayed[g], keys) << "change log of " << g;
    }
    for (auto it = replayed.begin(); it != replayed.end();)
      it = it->second.empty() && !expected.contains(it->first) ? replayed.erase(it) : std::next(it);
    EXPECT_EQ(replayed.size(), expected.size());
    f.tables.expectConsistentTables();
    EXPECT_EQ(f.tables.unavailable, 0);
    if (HasFailure()) return;
  }
}

}  // namespace
