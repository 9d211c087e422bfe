// The cost of keeping a view: the same store work with one view registered and with none, measured
// in the same run. The view groups rows by their value in four groups and sorts each group by value
// (both closures read the object, as the application's event list does).
//   Populate: 100,000 rows inserted in one read-write transaction, in random and in sorted order.
//   InsertOne / RemoveOne: one-row read-write transactions in a store of 100,000 rows.
// Goals: populating 100,000 random rows costs at most 5x the plain bulk insert; a single-row insert
// with the view at most 3x the insert without it.

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "DizEvozidiz/DizEvozidiz.h"
#include "DizEvozidiz/DizEvozidizConnection.h"
#include "DizEvozidiz/DizEvozidizTransaction.h"
#include "DizEvozidiz/Extensions/Views/DizEvozidizView.h"
#include "bench/support/compare.h"
#include "bench/support/store_support.h"
#include "tests/support/temp_dir.h"

namespace {

using platform::Value;

constexpr int kRows = 100000;

using zorvel::bench::makeKeys;
using zorvel::bench::passThrough;
using zorvel::test::TempDir;

Value objectFor(std::int64_t v) {
  platform::Bytes bytes(sizeof v);
  std::memcpy(bytes.data(), &v, sizeof v);
  return Value(std::move(bytes));
}

std::int64_t valueOf(const Value& object) {
  std::int64_t v = 0;
  const auto& bytes = object.asData();
  if (bytes.size() >= sizeof v) std::memcpy(&v, bytes.data(), sizeof v);
  return v;
}

DizEvozidizViewPtr makeView() {
  static const std::string groups[] = {"a", "b", "c", "d"};
  auto grouping = DizEvozidizViewGrouping::withObjectBlock(
      [](DizEvozidizReadTransaction&, const std::string&, const std::string&, const Value& object) {
        return std::optional<std::string>(groups[valueOf(object) & 3]);
      });
  auto sorting = DizEvozidizViewSorting::withObjectBlock([](DizEvozidizReadTransaction&, const std::string&,
                                                            const std::string&, const std::string&, const Value& o1,
                                                            const std::string&, const std::string&, const Value& o2) {
    const auto a = valueOf(o1), b = valueOf(o2);
    return a < b ? -1 : (a > b ? 1 : 0);
  });
  return DizEvozidizView::make(grouping, sorting, "1");
}

std::vector<std::int64_t> values(bool sorted) {
  std::vector<std::int64_t> v(kRows);
  std::mt19937_64 rng(42);
  for (auto& x : v) x = static_cast<std::int64_t>(rng() >> 2);
  if (sorted) std::sort(v.begin(), v.end());
  return v;
}

struct Store {
  TempDir dir{"zorvel-store-bench"};
  DizEvozidiz::Ptr database;
  DizEvozidizConnection::Ptr connection;

  explicit Store(bool withView) {
    database = DizEvozidiz::create(dir.file("store.sqlite"), passThrough());
    connection = database->newConnection();
    if (withView) ok = database->registerExtension(makeView(), "order", connection);
  }
  bool ok = true;
};

// range(0): 1 with the view; range(1): 1 sorted input.
void BM_Populate(benchmark::State& state) {
  Store store(state.range(0) == 1);
  if (!store.ok) return state.SkipWithError("registering the view failed");
  const auto keys = makeKeys(kRows);
  const auto v = values(state.range(1) == 1);
  std::vector<Value> objects;
  objects.reserve(kRows);
  for (auto x : v) objects.push_back(objectFor(x));
  for (auto _ : state) {
    const bool committed = store.connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
      for (int i = 0; i < kRows; ++i)
        t.setObject(objects[static_cast<std::size_t>(i)], keys[static_cast<std::size_t>(i)], "events");
    });
    state.PauseTiming();
    if (!committed) state.SkipWithError("the bulk insert did not commit");
    zorvel::bench::requireSuccess(store.connection->readWriteWithBlock(
        [](DizEvozidizReadWriteTransaction& t) { t.removeAllObjectsInAllCollections(); }));
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kRows);
}
BENCHMARK(BM_Populate)
    ->ArgNames({"view", "sorted"})
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({0, 1})
    ->Args({1, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

// Stores of 100,000 random rows, without and with the view, shared by the one-row benchmarks and
// closed at the end of main.
std::unique_ptr<Store> filledStores[2];

Store& filledStore(bool withView) {
  std::unique_ptr<Store>& s = filledStores[withView ? 1 : 0];
  if (!s) {
    s = std::make_unique<Store>(withView);
    const auto keys = makeKeys(kRows);
    const auto v = values(false);
    zorvel::bench::requireSuccess(s->connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
      for (int i = 0; i < kRows; ++i)
        t.setObject(objectFor(v[static_cast<std::size_t>(i)]), keys[static_cast<std::size_t>(i)], "events");
    }));
  }
  return *s;
}

void BM_InsertOne(benchmark::State& state) {
  Store& store = filledStore(state.range(0) == 1);
  if (!store.ok) return state.SkipWithError("registering the view failed");
  std::mt19937_64 rng(7 + state.range(0));
  static std::int64_t serial = 0;
  for (auto _ : state) {
    const std::string key = "new-" + std::to_string(++serial);
    const Value object = objectFor(static_cast<std::int64_t>(rng() >> 2));
    zorvel::bench::requireSuccess(store.connection->readWriteWithBlock(
        [&](DizEvozidizReadWriteTransaction& t) { t.setObject(object, key, "events"); }));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_InsertOne)->ArgName("view")->Arg(0)->Arg(1)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true);

void BM_RemoveOne(benchmark::State& state) {
  Store& store = filledStore(state.range(0) == 1);
  if (!store.ok) return state.SkipWithError("registering the view failed");
  static std::int64_t next[2] = {0, 0};
  std::int64_t& i = next[state.range(0)];
  for (auto _ : state) {
    if (i >= kRows) {
      state.SkipWithError("ran out of rows to remove");
      break;
    }
    const std::string key = "key-" + std::to_string(i++);
    zorvel::bench::requireSuccess(store.connection->readWriteWithBlock(
        [&](DizEvozidizReadWriteTransaction& t) { t.removeObjectForKey(key, "events"); }));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RemoveOne)
    ->ArgName("view")
    ->Arg(0)
    ->Arg(1)
    ->UseRealTime()
    ->Iterations(2000)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

}  // namespace

int main(int argc, char** argv) {
  const int result = zorvel::bench::runAndCompare(
      argc, argv,
      {{"BM_Populate/view:1/sorted:0/real_time", "BM_Populate/view:0/sorted:0/real_time", 1 / 5.0},
       {"BM_Populate/view:1/sorted:1/real_time", "BM_Populate/view:0/sorted:1/real_time", 0},
       {"BM_InsertOne/view:1/real_time", "BM_InsertOne/view:0/real_time", 1 / 3.0},
       {"BM_RemoveOne/view:1/iterations:2000/real_time", "BM_RemoveOne/view:0/iterations:2000/real_time", 0}});
  for (auto& store : filledStores) store.reset();
  return result;
}
