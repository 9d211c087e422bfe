// The store's transactions against raw SQLite on the same schema and pragmas, measured in the same
// run: bulk insert in one read-write transaction, random reads by key with caches off (cold) and on
// (warm), and single-row read-write transactions. Real time: the store works on its own queues.

#include <sqlite3.h>
#include <random>
#include <string>
#include <vector>

#include "DizEvozidiz/DizEvozidiz.h"
#include "DizEvozidiz/DizEvozidizConnection.h"
#include "DizEvozidiz/DizEvozidizTransaction.h"
#include "bench/support/compare.h"
#include "bench/support/store_support.h"

namespace {

using platform::Value;

constexpr int kBulkRows = 100000;
constexpr int kReadRows = 10000;
constexpr int kReadsPerTransaction = 1000;
constexpr int kWarmKeys = 1000;

using zorvel::bench::BenchDir;
using zorvel::bench::makeKeys;
using zorvel::bench::passThrough;

const platform::Bytes kPayload(24, 0x5a);

// kPayload with a counter in front. SQLite skips rewriting a row whose bytes do not change, and a
// commit that dirtied no page neither writes nor syncs the WAL: repeated writes of one payload would
// measure an empty commit.
platform::Bytes payloadFor(std::size_t n) {
  platform::Bytes payload = kPayload;
  for (std::size_t b = 0; b < sizeof(n); ++b) payload[b] = static_cast<std::uint8_t>(n >> (8 * b));
  return payload;
}

// Raw SQLite on a file with the store's schema (made by the store itself) and the connections'
// pragmas (WAL, SQLite's default synchronous).
class RawStore {
 public:
  explicit RawStore(const std::string& path) {
    { DizEvozidiz::create(path, passThrough()); }  // creates and configures the file, then closes it
    sqlite3_open(path.c_str(), &db_);
    sqlite3_exec(db_, "PRAGMA journal_mode = WAL;", nullptr, nullptr, nullptr);
    sqlite3_prepare_v2(db_,
                       R"(INSERT INTO "database2" ("collection", "key", "data", "metadata") VALUES (?, ?, ?, ?)
                          ON CONFLICT ("collection", "key") DO UPDATE SET "data" = excluded."data",
                          "metadata" = excluded."metadata";)",
                       -1, &upsert_, nullptr);
    sqlite3_prepare_v2(db_, R"(SELECT "data" FROM "database2" WHERE "collection" = ? AND "key" = ?;)", -1, &select_,
                       nullptr);
  }
  ~RawStore() {
    sqlite3_finalize(upsert_);
    sqlite3_finalize(select_);
    sqlite3_close(db_);
  }
  void exec(const char* sql) { sqlite3_exec(db_, sql, nullptr, nullptr, nullptr); }
  void put(const std::string& key, const platform::Bytes& payload = kPayload) {
    sqlite3_bind_text(upsert_, 1, "bench", 5, SQLITE_STATIC);
    sqlite3_bind_text(upsert_, 2, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
    sqlite3_bind_blob(upsert_, 3, payload.data(), static_cast<int>(payload.size()), SQLITE_STATIC);
    sqlite3_bind_null(upsert_, 4);
    sqlite3_step(upsert_);
    sqlite3_reset(upsert_);
  }
  platform::Bytes get(const std::string& key) {
    sqlite3_bind_text(select_, 1, "bench", 5, SQLITE_STATIC);
    sqlite3_bind_text(select_, 2, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
    platform::Bytes result;
    if (sqlite3_step(select_) == SQLITE_ROW) {
      const auto* bytes = static_cast<const std::uint8_t*>(sqlite3_column_blob(select_, 0));
      result.assign(bytes, bytes + sqlite3_column_bytes(select_, 0));
    }
    sqlite3_reset(select_);
    return result;
  }

 private:
  sqlite3* db_ = nullptr;
  sqlite3_stmt* upsert_ = nullptr;
  sqlite3_stmt* select_ = nullptr;
};

// ---- Bulk insert ----

void BM_StoreBulkInsert(benchmark::State& state) {
  BenchDir dir;
  auto database = DizEvozidiz::create(dir.file("store.sqlite"), passThrough());
  auto connection = database->newConnection();
  const auto keys = makeKeys(kBulkRows);
  const Value object(kPayload);
  for (auto _ : state) {
    connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
      for (const std::string& key : keys) t.setObject(object, key, "bench");
    });
    state.PauseTiming();
    connection->readWriteWithBlock([](DizEvozidizReadWriteTransaction& t) { t.removeAllObjectsInAllCollections(); });
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kBulkRows);
}
BENCHMARK(BM_StoreBulkInsert)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_RawBulkUpsert(benchmark::State& state) {
  BenchDir dir;
  RawStore raw(dir.file("raw.sqlite"));
  const auto keys = makeKeys(kBulkRows);
  for (auto _ : state) {
    raw.exec("BEGIN TRANSACTION;");
    for (const std::string& key : keys) raw.put(key);
    raw.exec("COMMIT TRANSACTION;");
    state.PauseTiming();
    raw.exec("DELETE FROM \"database2\";");
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kBulkRows);
}
BENCHMARK(BM_RawBulkUpsert)->Unit(benchmark::kMillisecond)->UseRealTime();

// ---- Random reads ----

std::vector<int> randomOrder(int count, int range) {
  std::mt19937 random(42);
  std::uniform_int_distribution<int> pick(0, range - 1);
  std::vector<int> order(count);
  for (int& i : order) i = pick(random);
  return order;
}

void runStoreReads(benchmark::State& state, bool caches, int keyRange) {
  BenchDir dir;
  auto database = DizEvozidiz::create(dir.file("store.sqlite"), passThrough());
  auto connection = database->newConnection();
  const auto keys = makeKeys(kReadRows);
  connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
    for (const std::string& key : keys) t.setObject(Value(kPayload), key, "bench");
  });
  connection->setObjectCacheEnabled(caches);
  connection->setMetadataCacheEnabled(caches);
  if (caches) connection->setObjectCacheLimit(0);
  const auto order = randomOrder(kReadsPerTransaction, keyRange);
  for (auto _ : state) {
    connection->readWithBlock([&](DizEvozidizReadTransaction& t) {
      for (int i : order) benchmark::DoNotOptimize(t.objectForKey(keys[i], "bench"));
    });
  }
  state.SetItemsProcessed(state.iterations() * kReadsPerTransaction);
}

void runRawReads(benchmark::State& state, int keyRange) {
  BenchDir dir;
  RawStore raw(dir.file("raw.sqlite"));
  const auto keys = makeKeys(kReadRows);
  raw.exec("BEGIN TRANSACTION;");
  for (const std::string& key : keys) raw.put(key);
  raw.exec("COMMIT TRANSACTION;");
  const auto order = randomOrder(kReadsPerTransaction, keyRange);
  for (auto _ : state) {
    raw.exec("BEGIN TRANSACTION;");
    for (int i : order) benchmark::DoNotOptimize(raw.get(keys[i]));
    raw.exec("COMMIT TRANSACTION;");
  }
  state.SetItemsProcessed(state.iterations() * kReadsPerTransaction);
}

void BM_StoreReadCold(benchmark::State& state) { runStoreReads(state, false, kReadRows); }
BENCHMARK(BM_StoreReadCold)->UseRealTime();
void BM_RawReadCold(benchmark::State& state) { runRawReads(state, kReadRows); }
BENCHMARK(BM_RawReadCold)->UseRealTime();
void BM_StoreReadWarm(benchmark::State& state) { runStoreReads(state, true, kWarmKeys); }
BENCHMARK(BM_StoreReadWarm)->UseRealTime();
void BM_RawReadWarm(benchmark::State& state) { runRawReads(state, kWarmKeys); }
BENCHMARK(BM_RawReadWarm)->UseRealTime();

// ---- Single-row read-write transactions ----

void BM_StoreSingleRowWrite(benchmark::State& state) {
  BenchDir dir;
  auto database = DizEvozidiz::create(dir.file("store.sqlite"), passThrough());
  auto connection = database->newConnection();
  const auto keys = makeKeys(kWarmKeys);
  std::size_t i = 0;
  for (auto _ : state) {
    const Value object(payloadFor(i));
    connection->readWriteWithBlock(
        [&](DizEvozidizReadWriteTransaction& t) { t.setObject(object, keys[i % keys.size()], "bench"); });
    ++i;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_StoreSingleRowWrite)->UseRealTime();

void BM_RawSingleRowWrite(benchmark::State& state) {
  BenchDir dir;
  RawStore raw(dir.file("raw.sqlite"));
  const auto keys = makeKeys(kWarmKeys);
  std::size_t i = 0;
  for (auto _ : state) {
    const platform::Bytes payload = payloadFor(i);
    raw.exec("BEGIN TRANSACTION;");
    raw.put(keys[i % keys.size()], payload);
    raw.exec("COMMIT TRANSACTION;");
    ++i;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RawSingleRowWrite)->UseRealTime();

}  // namespace

ZORVEL_BENCH_MAIN({{"BM_StoreBulkInsert/real_time", "BM_RawBulkUpsert/real_time", 0.7},
                   {"BM_StoreReadCold/real_time", "BM_RawReadCold/real_time", 0.8},
                   {"BM_StoreReadWarm/real_time", "BM_RawReadWarm/real_time", 20},
                   {"BM_StoreSingleRowWrite/real_time", "BM_RawSingleRowWrite/real_time", 0.9}})
