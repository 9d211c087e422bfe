// The change-set pipeline of views on raw logs of 10 to 100,000 changes: inserts, deletes,
// updates and moves between ten groups of keyed rows (some rows changed several times), shown
// through mappings with a drawing dependency. Reports the time per raw change; the pipeline is
// near-linear when the time per change at 100,000 changes stays within 3x of that at 1,000
// (RATIO of changes per second, goal >= 0.33).

#include <random>

#include "DizEvozidiz/Extensions/Views/Utilities/DizEvozidizViewChangeSet.h"
#include "bench/support/compare.h"

namespace {

struct Case {
  platform::ValueArray log;
  std::vector<std::pair<std::string, std::uint64_t>> before, after;
};

// A consistent log: every record's index is the row's position at the moment of the operation.
Case makeCase(std::size_t changes) {
  std::mt19937_64 rng(changes);
  constexpr int kGroups = 10;
  std::vector<std::vector<std::string>> groups(kGroups);
  int nextKey = 0;
  const std::size_t initialRows = std::max<std::size_t>(changes / 2, 20);
  for (std::size_t i = 0; i < initialRows; ++i) groups[rng() % kGroups].push_back("k" + std::to_string(nextKey++));
  Case c;
  for (int g = 0; g < kGroups; ++g) c.before.emplace_back("g" + std::to_string(g), groups[g].size());
  auto name = [](int g) { return "g" + std::to_string(g); };
  auto key = [](const std::string& k) { return DizCollectionKey::make("things", k); };
  while (c.log.size() < changes) {
    const int g = static_cast<int>(rng() % kGroups);
    auto& rows = groups[g];
    const unsigned what = static_cast<unsigned>(rng() % 4);
    if (what == 0 || rows.empty()) {
      const std::uint64_t at = rng() % (rows.size() + 1);
      rows.insert(rows.begin() + static_cast<std::ptrdiff_t>(at), "k" + std::to_string(nextKey++));
      c.log.emplace_back(DizEvozidizViewRowChange::insertCollectionKey(key(rows[at]), name(g), at));
    } else if (what == 1) {
      const std::uint64_t at = rng() % rows.size();
      c.log.emplace_back(DizEvozidizViewRowChange::deleteCollectionKey(key(rows[at]), name(g), at));
      rows.erase(rows.begin() + static_cast<std::ptrdiff_t>(at));
    } else if (what == 2) {
      const std::uint64_t at = rng() % rows.size();
      c.log.emplace_back(
          DizEvozidizViewRowChange::updateCollectionKey(key(rows[at]), name(g), at, DizViewChangedObject));
    } else {
      // A move: the row leaves its place and lands in another group.
      const std::uint64_t at = rng() % rows.size();
      const std::string moved = rows[at];
      c.log.emplace_back(DizEvozidizViewRowChange::deleteCollectionKey(key(moved), name(g), at));
      rows.erase(rows.begin() + static_cast<std::ptrdiff_t>(at));
      const int h = static_cast<int>(rng() % kGroups);
      const std::uint64_t to = rng() % (groups[h].size() + 1);
      groups[h].insert(groups[h].begin() + static_cast<std::ptrdiff_t>(to), moved);
      c.log.emplace_back(DizEvozidizViewRowChange::insertCollectionKey(key(moved), name(h), to));
    }
  }
  for (int g = 0; g < kGroups; ++g) c.after.emplace_back(name(g), groups[g].size());
  return c;
}

void BM_GetSectionChanges(benchmark::State& state) {
  const Case c = makeCase(static_cast<std::size_t>(state.range(0)));
  std::vector<std::string> names;
  for (const auto& [g, n] : c.before) names.push_back(g);
  DizEvozidizViewMappings original(names, "view");
  original.setCellDrawingDependencyForNeighboringCellWithOffset(-1, "g0");
  original.updateWithCounts(c.before, true);
  std::size_t reported = 0;
  for (auto _ : state) {
    state.PauseTiming();
    DizEvozidizViewMappings before = original.copy();
    DizEvozidizViewMappings after = original.copy();
    after.updateWithCounts(c.after, false);
    state.ResumeTiming();
    DizEvozidizViewChange::SectionChanges sections;
    DizEvozidizViewChange::RowChanges rows;
    DizEvozidizViewChange::getSectionChanges(&sections, &rows, before, after, c.log);
    reported = rows.size();
    benchmark::DoNotOptimize(rows.data());
  }
  state.counters["reported"] = static_cast<double>(reported);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(c.log.size()));
}
BENCHMARK(BM_GetSectionChanges)
    ->Arg(10)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMicrosecond);

}  // namespace

ZORVEL_BENCH_MAIN({{"BM_GetSectionChanges/100000", "BM_GetSectionChanges/1000", 1.0 / 3.0, 0},
                   {"BM_GetSectionChanges/10000", "BM_GetSectionChanges/1000", 0, 0},
                   {"BM_GetSectionChanges/10", "BM_GetSectionChanges/1000", 0, 0}})
