// The change-set pipeline against its purpose: random commits (inserts, removals, moves between
// groups, updates, now and then a removal of everything) on a view shown through random mappings
// (ranges, reversal, dynamic sections and groups, consolidation, drawing offsets). After each batch
// the reported section and row changes, applied to the old displayed list the way a list display
// applies a batch of changes, must give exactly the new displayed list.
//
// Fixed seed. ZORVEL_VIEW_ORACLE_ROUNDS sets the number of batches (a longer run on demand),
// ZORVEL_VIEW_ORACLE_SEED the seed.

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <set>
#include <sstream>

#include "DizEvozidiz/Extensions/Views/Utilities/DizEvozidizViewChangeSet.h"
#include "tests/DizEvozidiz/Extensions/Views/view_store_test_support.h"

namespace {

using Mappings = DizEvozidizViewMappings;

struct Shown {
  std::string name;
  std::vector<std::string> keys;
  friend bool operator==(const Shown&, const Shown&) = default;
};
using Display = std::vector<Shown>;

std::string describe(const Display& d) {
  std::ostringstream out;
  for (const auto& s : d) {
    out << s.name << ":";
    for (const auto& k : s.keys) out << " " << k;
    out << "\n";
  }
  return out.str();
}

std::uint64_t envNumber(const char* name, std::uint64_t fallback) {
  const char* text = std::getenv(name);
  return text && *text ? std::strtoull(text, nullptr, 10) : fallback;
}

// Applies a batch as a list display does: deletes and move sources at their old index paths (in
// the old list; a deleted section takes its rows with it, and a move out of it carries its row), then section inserts
// and row inserts and move destinations at their new index paths, in ascending order. An inserted row without a key
// shows "+". Returns an error text or "".
std::string apply(const Display& old, const DizEvozidizViewChange::SectionChanges& sections,
                  const DizEvozidizViewChange::RowChanges& rows, Display& result) {
  std::set<std::uint64_t> deletedSections;
  std::map<std::uint64_t, std::string> insertedSections;
  for (const auto& s : sections) {
    if (s->type() == DizViewChangeDelete) {
      if (s->originalSection() >= old.size()) return "section delete past the end: " + s->description();
      if (!deletedSections.insert(s->originalSection()).second) return "section deleted twice";
    } else {
      if (!insertedSections.emplace(s->finalSection(), s->group()).second) return "section inserted twice";
    }
  }
  std::set<std::pair<std::uint64_t, std::uint64_t>> removed, reloaded;
  struct Arrival {
    std::uint64_t row;
    std::string key;
  };
  std::map<std::uint64_t, std::vector<Arrival>> arrivals;
  for (const auto& r : rows) {
    if (r->type() != DizViewChangeInsert) {
      const auto path = std::make_pair(r->originalSection(), r->originalIndex());
      if (path.first >= old.size() || path.second >= old[path.first].keys.size())
        return "old index path outside the old list: " + r->description();
      if (removed.contains(path) || reloaded.contains(path)) return "two changes of one old row: " + r->description();
      if (r->type() == DizViewChangeUpdate)
        reloaded.insert(path);
      else
        removed.insert(path);
      if (r->collectionKey() && r->type() != DizViewChangeUpdate &&
          old[path.first].keys[path.second] != r->collectionKey()->key())
        return "the key of a row change is not the row's: " + r->description();
    }
    if (r->type() == DizViewChangeInsert || r->type() == DizViewChangeMove) {
      std::string key = "+";
      if (r->type() == DizViewChangeMove)
        key = old[r->originalSection()].keys[r->originalIndex()];
      else if (r->collectionKey())
        key = r->collectionKey()->key();
      arrivals[r->finalSection()].push_back({r->finalIndex(), key});
    }
  }
  result.clear();
  for (std::uint64_t s = 0; s < old.size(); ++s) {
    if (deletedSections.contains(s)) continue;
    Shown kept{old[s].name, {}};
    for (std::uint64_t i = 0; i < old[s].keys.size(); ++i)
      if (!removed.contains({s, i})) kept.keys.push_back(old[s].keys[i]);
    result.push_back(std::move(kept));
  }
  for (const auto& [section, name] : insertedSections) {
    if (section > result.size()) return "section insert past the end";
    result.insert(result.begin() + static_cast<std::ptrdiff_t>(section), Shown{name, {}});
  }
  for (auto& [section, list] : arrivals) {
    if (section >= result.size()) return "row insert into a missing section " + std::to_string(section);
    std::sort(list.begin(), list.end(), [](const Arrival& a, const Arrival& b) { return a.row < b.row; });
    auto& keys = result[section].keys;
    for (const auto& a : list) {
      if (a.row > keys.size()) return "row insert past the end of section " + std::to_string(section);
      keys.insert(keys.begin() + static_cast<std::ptrdiff_t>(a.row), a.key);
    }
  }
  return "";
}

class ViewChangeSetOracle : public diztest::StoreFixture {
 protected:
  void SetUp() override {
    StoreFixture::SetUp();
    // Durability is not under test; without syncs the rounds do not wait on a busy disk.
    DizEvozidizOptions options;
    options.pragmaSynchronous = 0;
    database = DizEvozidiz::create((dir / "oracle.sqlite").string(), options);
    ASSERT_TRUE(database);
    writer = database->newConnection();
    display = database->newConnection();
    ASSERT_TRUE(database->registerExtension(viewtest::makeView(calls, false), "order", writer));
  }
  void TearDown() override {
    display.reset();
    writer.reset();
    StoreFixture::TearDown();
  }

  Display read(const Mappings& m) {
    Display d;
    display->readWithBlock([&](DizEvozidizReadTransaction& t) {
      auto view = std::dynamic_pointer_cast<DizEvozidizViewTransaction>(t.ext("order"));
      for (std::uint64_t s = 0; s < m.numberOfSections(); ++s) {
        Shown shown{m.groupForSection(s).value_or("?"), {}};
        for (std::uint64_t r = 0; r < m.numberOfItemsInSection(s); ++r) {
          Mappings::Group group;
          std::uint64_t index = 0;
          if (!m.getGroupIndexForRow(&group, &index, r, s) || !view) {
            shown.keys.push_back("<no index>");
            continue;
          }
          auto key = view->collectionKeyAtIndex(index, *group);
          shown.keys.push_back(key ? key->key() : "<none>");
        }
        d.push_back(std::move(shown));
      }
    });
    return d;
  }

  Mappings randomMappings(std::mt19937_64& rng, std::string& how) {
    auto chance = [&](int percent) { return static_cast<int>(rng() % 100) < percent; };
    std::vector<std::string> groups = {"g0", "g1", "g2", "gx"};
    std::shuffle(groups.begin(), groups.end(), rng);
    std::optional<Mappings> m;
    std::ostringstream out;
    if (chance(30)) {
      const bool descending = chance(50);
      const std::string left = groups[0];
      m.emplace([left](const std::string& g, DizEvozidizReadTransaction&) { return g != left; },
                [descending](const std::string& a, const std::string& b, DizEvozidizReadTransaction&) {
                  return descending ? -a.compare(b) : a.compare(b);
                },
                "order");
      out << "dynamic without " << left << (descending ? " descending" : " ascending") << ";";
    } else {
      groups.resize(1 + rng() % 4);
      m.emplace(groups, "order");
      out << "static";
      for (const auto& g : groups) out << " " << g;
      out << ";";
    }
    for (const std::string g : {"g0", "g1", "g2"}) {
      if (chance(30)) {
        m->setIsReversed(true, g);
        out << " reversed " << g << ";";
      }
      if (chance(30)) {
        m->setIsDynamicSection(true, g);
        out << " dynamic section " << g << ";";
      }
      if (chance(35)) {
        const std::uint64_t length = 1 + rng() % 6, offset = rng() % 4;
        const std::int64_t pin = chance(50) ? DizViewPinStart : DizViewPinEnd;
        const bool fixed = chance(50);
        auto range = fixed ? DizEvozidizViewRangeOptions::fixedRangeWithLength(length, offset, pin)
                           : DizEvozidizViewRangeOptions::flexibleRangeWithLength(length, offset, pin);
        if (!fixed) {
          range->setMaxLength(length + rng() % 5);
          range->setMinLength(rng() % (length + 1));
          range->setGrowOptions(rng() % 4);
        }
        m->setRangeOptions(range, g);
        out << " " << (fixed ? "fixed" : "flexible") << " range " << g << " length " << length << " offset " << offset
            << " pin " << pin << " min " << range->minLength() << " max " << range->maxLength() << " grow "
            << range->growOptions() << ";";
      }
      if (chance(25)) {
        const std::int64_t d =
            chance(50) ? -1 - static_cast<std::int64_t>(rng() % 2) : 1 + static_cast<std::int64_t>(rng() % 2);
        m->setCellDrawingDependencyForNeighboringCellWithOffset(d, g);
        out << " offset " << d << " " << g << ";";
      }
    }
    if (chance(30)) {
      const std::uint64_t threshold = 1 + rng() % 12;
      m->setAutoConsolidateGroupsThreshold(threshold, "all");
      out << " consolidate below " << threshold << ";";
    }
    if (chance(20)) {
      m->setIsDynamicSectionForAllGroups(true);
      out << " all dynamic;";
    }
    how = out.str();
    return *m;
  }

  std::shared_ptr<viewtest::Calls> calls = std::make_shared<viewtest::Calls>();
  DizEvozidizConnection::Ptr writer, display;
};

TEST_F(ViewChangeSetOracle, ReportedChangesTurnTheOldListIntoTheNewOne) {
  const std::uint64_t rounds = envNumber("ZORVEL_VIEW_ORACLE_ROUNDS", 1500);
  const std::uint64_t seed = envNumber("ZORVEL_VIEW_ORACLE_SEED", 20261210);
  std::mt19937_64 rng(seed);
  std::map<std::string, std::int64_t> rows;  // key -> value
  std::set<std::int64_t> usedValues;
  int nextKey = 0;
  auto freshValue = [&] {
    std::int64_t v;
    do v = 1 + static_cast<std::int64_t>(rng() % 400);
    while (usedValues.contains(v));
    usedValues.insert(v);
    return v;
  };
  auto randomKey = [&]() -> std::string {
    auto it = rows.begin();
    std::advance(it, static_cast<std::ptrdiff_t>(rng() % rows.size()));
    return it->first;
  };

  display->beginLongLivedReadTransaction();
  std::string how;
  std::optional<Mappings> mappings;
  std::uint64_t checked = 0;
  for (std::uint64_t round = 0; round < rounds; ++round) {
    if (round % 25 == 0) {
      mappings = randomMappings(rng, how);
      display->readWithBlock([&](DizEvozidizReadTransaction& t) { mappings->updateWithTransaction(t); });
    }
    const Display before = read(*mappings);
    std::ostringstream ops;
    const int commits = 1 + static_cast<int>(rng() % 3);
    for (int c = 0; c < commits; ++c) {
      EXPECT_TRUE(writer->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
        const int n = 1 + static_cast<int>(rng() % 5);
        for (int i = 0; i < n; ++i) {
          const unsigned what = static_cast<unsigned>(rng() % 100);
          if (rows.size() > 60 && what < 3) {
            t.removeAllObjectsInCollection("things");
            rows.clear();
            usedValues.clear();
            ops << " removeAll";
          } else if (rows.empty() || what < 40) {
            const std::string key = "k" + std::to_string(nextKey++);
            rows[key] = freshValue();
            t.setObject(platform::Value(rows[key]), key, "things");
            ops << " +" << key << "=" << rows[key];
          } else if (what < 60) {
            const std::string key = randomKey();
            t.removeObjectForKey(key, "things");
            usedValues.erase(rows[key]);
            rows.erase(key);
            ops << " -" << key;
          } else if (what < 85) {
            const std::string key = randomKey();
            usedValues.erase(rows[key]);
            rows[key] = freshValue();
            t.setObject(platform::Value(rows[key]), key, "things");
            ops << " " << key << "=" << rows[key];
          } else {
            const std::string key = randomKey();
            t.touchObjectForKey(key, "things");
            ops << " touch " << key;
          }
        }
      }));
      ops << " |";
    }
    const auto notifications = display->beginLongLivedReadTransaction();
    auto view = std::dynamic_pointer_cast<DizEvozidizViewConnection>(display->ext("order"));
    ASSERT_TRUE(view);
    const Mappings previous = mappings->copy();
    DizEvozidizViewChange::SectionChanges sections;
    DizEvozidizViewChange::RowChanges changes;
    view->getSectionChanges(&sections, &changes, notifications, &*mappings);
    const Display after = read(*mappings);
    Display applied;
    const std::string error = apply(before, sections, changes, applied);
    bool same = error.empty() && applied.size() == after.size();
    for (std::size_t s = 0; same && s < after.size(); ++s) {
      same = applied[s].name == after[s].name && applied[s].keys.size() == after[s].keys.size();
      for (std::size_t i = 0; same && i < after[s].keys.size(); ++i)
        same = applied[s].keys[i] == "+" || applied[s].keys[i] == after[s].keys[i];
    }
    if (!same) {
      std::ostringstream report;
      report << "round " << round << " (seed " << seed << "), mappings: " << how << "\nops:" << ops.str()
             << "\nbefore:\n"
             << describe(before) << "after:\n"
             << describe(after) << "applied:\n"
             << describe(applied) << (error.empty() ? "" : "error: " + error + "\n") << "changes:\n";
      for (const auto& s : sections) report << "  " << s->description() << "\n";
      for (const auto& r : changes) report << "  " << r->description() << "\n";
      report << previous.description() << "\n" << mappings->description();
      FAIL() << report.str();
    }
    ++checked;
  }
  EXPECT_EQ(checked, rounds);
  display->endLongLivedReadTransaction();
}

}  // namespace
