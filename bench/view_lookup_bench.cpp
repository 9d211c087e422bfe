// Lookups in one large view group: index -> key (getKey) and key -> index (getGroup), at 10,000,
// 100,000 and 1,000,000 rows in one group of pages. A committed state answers through page start
// positions (binary search); the baseline is the same lookups in a read-write transaction, whose
// state is being written and so walks the group's page descriptors one by one.
// Lookups are cold (any row: the page, map and row reads mostly miss the caches and go to SQLite,
// whose own cache holds less of a larger file) or hot (32 rows spread over the group, whose pages
// and rows stay cached, so that what remains is finding the page).
// Goals: hot lookups with page positions grow no faster than log n from 10,000 to 1,000,000 rows
// (log(10^6)/log(10^4) = 1.5, i.e. a RATIO of at least 0.67 in lookups per second); at 1,000,000
// rows page positions beat the walk, cold and hot.

#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>

#include "DizEvozidiz/DizEvozidiz.h"
#include "DizEvozidiz/DizEvozidizConnection.h"
#include "DizEvozidiz/DizEvozidizTransaction.h"
#include "DizEvozidiz/Extensions/Views/DizEvozidizView.h"
#include "DizEvozidiz/Extensions/Views/DizEvozidizViewTransaction.h"
#include "bench/support/compare.h"
#include "bench/support/store_support.h"
#include "tests/support/temp_dir.h"

namespace {

using platform::Value;
using zorvel::bench::passThrough;
using zorvel::test::TempDir;

std::int64_t valueOf(const Value& object) {
  std::int64_t v = 0;
  if (object.asData().size() >= sizeof v) std::memcpy(&v, object.asData().data(), sizeof v);
  return v;
}

struct Store {
  TempDir dir{"zorvel-store-bench"};
  DizEvozidiz::Ptr database;
  DizEvozidizConnection::Ptr writer;
  bool ok = false;

  explicit Store(int rows) {
    database = DizEvozidiz::create(dir.file("store.sqlite"), passThrough());
    writer = database->newConnection();
    std::mt19937_64 rng(11);
    zorvel::bench::requireSuccess(writer->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
      for (int i = 0; i < rows; ++i) {
        std::int64_t v = static_cast<std::int64_t>(rng() >> 2);
        platform::Bytes bytes(sizeof v);
        std::memcpy(bytes.data(), &v, sizeof v);
        t.setObject(Value(std::move(bytes)), "key-" + std::to_string(i), "events");
      }
    }));
    auto grouping =
        DizEvozidizViewGrouping::withKeyBlock([](DizEvozidizReadTransaction&, const std::string&, const std::string&) {
          return std::optional<std::string>("all");
        });
    auto sorting = DizEvozidizViewSorting::withObjectBlock([](DizEvozidizReadTransaction&, const std::string&,
                                                              const std::string&, const std::string&, const Value& o1,
                                                              const std::string&, const std::string&, const Value& o2) {
      const auto a = valueOf(o1), b = valueOf(o2);
      return a < b ? -1 : (a > b ? 1 : 0);
    });
    ok = database->registerExtension(DizEvozidizView::make(grouping, sorting, "1"), "order", writer);
  }
};

std::map<int, std::unique_ptr<Store>> stores;

Store& storeOf(int rows) {
  auto& s = stores[rows];
  if (!s) s = std::make_unique<Store>(rows);
  return *s;
}

// range(0): rows; range(1): 1 key -> index, 0 index -> key; range(2): 1 committed state, 0 walk;
// range(3): 1 hot, 0 cold.
void BM_Lookup(benchmark::State& state) {
  const int rows = static_cast<int>(state.range(0));
  const bool byKey = state.range(1) == 1;
  const bool committed = state.range(2) == 1;
  const bool hot = state.range(3) == 1;
  Store& store = storeOf(rows);
  if (!store.ok) return state.SkipWithError("registering the view failed");
  std::mt19937 rng(5);
  bool failed = false;
  auto run = [&](DizEvozidizReadTransaction& t) {
    auto view = std::dynamic_pointer_cast<DizEvozidizViewTransaction>(t.ext("order"));
    if (!view || view->numberOfItemsInGroup("all") != static_cast<std::uint64_t>(rows)) {
      failed = true;
      return;
    }
    std::string key, collection, group;
    std::uint64_t index = 0;
    for (auto _ : state) {
      const unsigned pick = hot ? static_cast<unsigned>(rng() % 32) * static_cast<unsigned>(rows / 32) + 7
                                : static_cast<unsigned>(rng() % static_cast<unsigned>(rows));
      const int i = static_cast<int>(pick);
      const bool found = byKey ? view->getGroup(&group, &index, "key-" + std::to_string(i), "events")
                               : view->getKey(&key, &collection, static_cast<std::uint64_t>(i), "all");
      if (!found) failed = true;
    }
  };
  if (committed) {
    auto reader = store.database->newConnection();  // takes the committed state
    reader->readWithBlock(run);
  } else {
    zorvel::bench::requireSuccess(
        store.writer->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) { run(t); }));
  }
  if (failed) state.SkipWithError("a lookup failed");
  state.SetItemsProcessed(state.iterations());
}

void lookupArgs(benchmark::internal::Benchmark* b) {
  b->ArgNames({"rows", "byKey", "committed", "hot"});
  for (int hot : {1, 0})
    for (int rows : {10000, 100000, 1000000})
      for (int byKey : {0, 1})
        for (int committed : {1, 0}) b->Args({rows, byKey, committed, hot});
}
BENCHMARK(BM_Lookup)->Apply(lookupArgs)->MinTime(0.3)->Repetitions(5)->ReportAggregatesOnly(true);

std::string name(int rows, int byKey, int committed, int hot) {
  return "BM_Lookup/rows:" + std::to_string(rows) + "/byKey:" + std::to_string(byKey) +
         "/committed:" + std::to_string(committed) + "/hot:" + std::to_string(hot) + "/min_time:0.300";
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<zorvel::bench::Comparison> comparisons;
  for (int hot : {1, 0}) {
    for (int byKey : {0, 1}) {
      // Growth from 10,000 to 1,000,000 rows: at least 1/1.5 of the lookups per second when hot.
      comparisons.push_back({name(1000000, byKey, 1, hot), name(10000, byKey, 1, hot), hot ? 1 / 1.5 : 0});
      comparisons.push_back({name(1000000, byKey, 0, hot), name(10000, byKey, 0, hot), 0});
      // Page positions against the walk at each size.
      for (int rows : {10000, 100000, 1000000})
        comparisons.push_back({name(rows, byKey, 1, hot), name(rows, byKey, 0, hot), rows == 1000000 ? 1.0 : 0});
    }
  }
  const int result = zorvel::bench::runAndCompare(argc, argv, comparisons);
  stores.clear();
  return result;
}
