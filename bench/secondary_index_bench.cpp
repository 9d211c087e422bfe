// Secondary index queries on 100,000 indexed rows beside the same SQL run directly on the index
// table through a plain SQLite handle (a prepared statement, bound and reset per query), in the
// same run:
//   Lookup: the rowids of rows with one score ("WHERE score = ?", one or two rows).
//   Count:  rows with one state ("WHERE state = ?", about 20,000 of 100,000), COUNT(*).
// Goal: each at least 0.8x the direct SQL.

#include <sqlite3.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>

#include "DizEvozidiz/DizEvozidiz.h"
#include "DizEvozidiz/DizEvozidizConnection.h"
#include "DizEvozidiz/DizEvozidizTransaction.h"
#include "DizEvozidiz/Extensions/SecondaryIndex/DizEvozidizSecondaryIndex.h"
#include "DizEvozidiz/Extensions/SecondaryIndex/DizEvozidizSecondaryIndexTransaction.h"
#include "bench/support/compare.h"
#include "bench/support/store_support.h"
#include "tests/support/temp_dir.h"

namespace {

using platform::Value;
using zorvel::bench::passThrough;
using zorvel::test::TempDir;

constexpr int kRows = 100000;

// Objects are 16 bytes: state (int64), score (int64).
struct Store {
  TempDir dir{"zorvel-store-bench"};
  DizEvozidiz::Ptr database;
  DizEvozidizConnection::Ptr connection;
  bool ok = false;

  Store() {
    database = DizEvozidiz::create(dir.file("store.sqlite"), passThrough());
    connection = database->newConnection();
    DizEvozidizSecondaryIndexSetup setup;
    setup.addColumn("state", DizSecondaryIndexTypeInteger);
    setup.addColumn("score", DizSecondaryIndexTypeInteger);
    auto handler = DizEvozidizSecondaryIndexHandler::withObjectBlock(
        [](DizEvozidizReadTransaction&, DizSecondaryIndexValues& values, const std::string&, const std::string&,
           const Value& object) {
          std::int64_t fields[2] = {0, 0};
          if (object.asData().size() < sizeof fields) return;
          std::memcpy(fields, object.asData().data(), sizeof fields);
          values["state"] = fields[0];
          values["score"] = fields[1];
        });
    ok = database->registerExtension(DizEvozidizSecondaryIndex::make(setup, handler), "events_index", connection);
    std::mt19937_64 rng(3);
    zorvel::bench::requireSuccess(connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
      for (int i = 0; i < kRows; ++i) {
        std::int64_t fields[2] = {static_cast<std::int64_t>(rng() % 5), static_cast<std::int64_t>(rng() % kRows)};
        platform::Bytes bytes(sizeof fields);
        std::memcpy(bytes.data(), fields, sizeof fields);
        t.setObject(Value(std::move(bytes)), "key-" + std::to_string(i), "events");
      }
    }));
  }
};

std::unique_ptr<Store> store;
Store& theStore() {
  if (!store) store = std::make_unique<Store>();
  return *store;
}

// range(0): 0 lookup, 1 count.
void BM_Index(benchmark::State& state) {
  Store& s = theStore();
  if (!s.ok) return state.SkipWithError("registering the index failed");
  const bool count = state.range(0) == 1;
  std::mt19937 rng(9);
  bool failed = false;
  s.connection->readWithBlock([&](DizEvozidizReadTransaction& t) {
    auto index = std::dynamic_pointer_cast<DizEvozidizSecondaryIndexTransaction>(t.ext("events_index"));
    if (!index) {
      failed = true;
      return;
    }
    std::int64_t sink = 0;
    for (auto _ : state) {
      if (count) {
        std::uint64_t n = 0;
        if (!index->getNumberOfRows(&n,
                                    DizEvozidizQuery::queryWithFormat("WHERE state = ?", static_cast<int>(rng() % 5))))
          failed = true;
        sink += static_cast<std::int64_t>(n);
      } else {
        auto q = DizEvozidizQuery::queryWithFormat("WHERE score = ?", static_cast<int>(rng() % kRows));
        if (!index->enumerateRowidsMatchingQuery(q, [&](std::int64_t rowid, bool&) { sink += rowid; })) failed = true;
      }
    }
    benchmark::DoNotOptimize(sink);
  });
  if (failed) state.SkipWithError("a query failed");
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Index)->ArgName("count")->Arg(0)->Arg(1)->Repetitions(5)->ReportAggregatesOnly(true);

void BM_DirectSql(benchmark::State& state) {
  Store& s = theStore();
  if (!s.ok) return state.SkipWithError("registering the index failed");
  const bool count = state.range(0) == 1;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(s.dir.file("store.sqlite").c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return state.SkipWithError("the direct handle did not open");
  }
  const char* sql = count ? "SELECT COUNT(*) AS NumberOfRows FROM \"secondaryIndex_events_index\" WHERE state = ?;"
                          : "SELECT \"rowid\" FROM \"secondaryIndex_events_index\" WHERE score = ?;";
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return state.SkipWithError("the direct statement did not prepare");
  }
  std::mt19937 rng(9);
  std::int64_t sink = 0;
  // One read transaction, as the index's; a step that ends in anything but SQLITE_DONE fails the
  // baseline, as a failed query fails the index's side.
  bool failed = sqlite3_exec(db, "BEGIN;", nullptr, nullptr, nullptr) != SQLITE_OK;
  for (auto _ : state) {
    sqlite3_bind_int64(stmt, 1, count ? static_cast<int>(rng() % 5) : static_cast<int>(rng() % kRows));
    int status;
    while ((status = sqlite3_step(stmt)) == SQLITE_ROW) sink += sqlite3_column_int64(stmt, 0);
    if (status != SQLITE_DONE) failed = true;
    sqlite3_clear_bindings(stmt);
    sqlite3_reset(stmt);
  }
  sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr);
  benchmark::DoNotOptimize(sink);
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  if (failed) return state.SkipWithError("a direct query failed");
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DirectSql)->ArgName("count")->Arg(0)->Arg(1)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace

int main(int argc, char** argv) {
  const int result = zorvel::bench::runAndCompare(
      argc, argv,
      {{"BM_Index/count:0", "BM_DirectSql/count:0", 0.8}, {"BM_Index/count:1", "BM_DirectSql/count:1", 0.8}});
  store.reset();
  return result;
}
