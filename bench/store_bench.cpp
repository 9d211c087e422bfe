// The store's transactions against raw SQLite doing the same work, measured in the same run:
// bulk insert in one read-write transaction, random reads by key with caches off (cold) and on
// (warm), and single-row read-write transactions at full sync and with synchronous=OFF. The fair
// baselines run the store's own SQL with prepared statements on a file with the store's schema: a
// rowid lookup, then an insert or an update by rowid, and the commit counter's row. The upsert
// baseline is kept for context. Real time: the store works on its own queues.

#include <sqlite3.h>

#include <random>
#include <string>
#include <vector>

#include "DizEvozidiz/DizEvozidiz.h"
#include "DizEvozidiz/DizEvozidizConnection.h"
#include "DizEvozidiz/DizEvozidizTransaction.h"
#include "bench/support/compare.h"
#include "bench/support/raw_sqlite.h"
#include "bench/support/store_support.h"
#include "tests/support/temp_dir.h"

namespace {

using platform::Value;
using zorvel::bench::RawSqlite;
using zorvel::bench::runGuarded;

constexpr int kBulkRows = 100000;
constexpr int kReadRows = 10000;
constexpr int kReadsPerTransaction = 1000;
constexpr int kWarmKeys = 1000;
constexpr const char* kCollection = "bench";

using zorvel::bench::deliverMainQueue;
using zorvel::bench::makeKeys;
using zorvel::bench::passThrough;
using zorvel::test::TempDir;

std::shared_ptr<DizEvozidiz> makeStore(const std::string& path, std::int64_t synchronous = 2) {
  DizEvozidizOptions options;
  options.pragmaSynchronous = synchronous;
  auto database = DizEvozidiz::create(path, passThrough(), options);
  if (!database) throw std::runtime_error("cannot create the store at " + path);
  return database;
}

const platform::Bytes kPayload(24, 0x5a);

// kPayload with a counter in front. SQLite skips rewriting a row whose bytes do not change, and a
// commit that dirtied no page neither writes nor syncs the WAL: repeated writes of one payload would
// measure an empty commit.
platform::Bytes payloadFor(std::size_t n) {
  platform::Bytes payload = kPayload;
  for (std::size_t b = 0; b < sizeof(n); ++b) payload[b] = static_cast<std::uint8_t>(n >> (8 * b));
  return payload;
}

// Creates the store's file with its schema and closes it.
const std::string& madeByStore(const std::string& path) {
  makeStore(path);
  return path;
}

// Raw SQLite on a file with the store's schema (made by the store itself) in WAL mode, running the
// store's statements. `synchronous` is the store's option of the same name (2: SQLite's own FULL).
class RawStore {
 public:
  explicit RawStore(const std::string& path, std::int64_t synchronous = 2) : db_(madeByStore(path)) {
    db_.exec("PRAGMA journal_mode = WAL;");
    if (synchronous == 0) db_.exec("PRAGMA synchronous = OFF;");
    if (synchronous == 1) db_.exec("PRAGMA synchronous = NORMAL;");
    getRowid_ = db_.prepare(R"(SELECT "rowid" FROM "database2" WHERE "collection" = ? AND "key" = ?;)");
    insert_ = db_.prepare(R"(INSERT INTO "database2" ("collection", "key", "data", "metadata") VALUES (?, ?, ?, ?);)");
    update_ = db_.prepare(R"(UPDATE "database2" SET "data" = ?, "metadata" = ? WHERE "rowid" = ?;)");
    setCounter_ = db_.prepare(R"(INSERT OR REPLACE INTO "diz2" ("extension", "key", "data") VALUES (?, ?, ?);)");
    upsert_ = db_.prepare(R"(INSERT INTO "database2" ("collection", "key", "data", "metadata") VALUES (?, ?, ?, ?)
                             ON CONFLICT ("collection", "key") DO UPDATE SET "data" = excluded."data",
                             "metadata" = excluded."metadata";)");
    select_ = db_.prepare(R"(SELECT "rowid", "data" FROM "database2" WHERE "collection" = ? AND "key" = ?;)");
  }

  void exec(const char* sql) { db_.exec(sql); }

  // The store's setObject: rowid lookup, then update by rowid or insert.
  void put(const std::string& key, const platform::Bytes& payload = kPayload) {
    getRowid_.bind(1, kCollection).bind(2, key);
    const bool found = getRowid_.step();
    const std::int64_t rowid = found ? getRowid_.columnInt64(0) : 0;
    getRowid_.reset();
    if (found) {
      update_.bind(1, payload).bindNull(2).bind(3, rowid).run();
    } else {
      insert_.bind(1, kCollection).bind(2, key).bind(3, payload).bindNull(4).run();
    }
  }
  // The commit counter's row, written once per committing transaction.
  void writeCounter() { setCounter_.bind(1, "").bind(2, "snapshot").bind(3, ++counter_).run(); }

  void upsert(const std::string& key) { upsert_.bind(1, kCollection).bind(2, key).bind(3, kPayload).bindNull(4).run(); }
  platform::Bytes get(const std::string& key) {
    select_.bind(1, kCollection).bind(2, key);
    platform::Bytes result;
    if (select_.step()) {
      const auto bytes = select_.columnBlob(1);
      result.assign(bytes.begin(), bytes.end());
    }
    select_.reset();
    return result;
  }

 private:
  RawSqlite db_;
  RawSqlite::Statement getRowid_, insert_, update_, setCounter_, upsert_, select_;
  std::int64_t counter_ = 0;
};

// ---- Bulk insert ----

void BM_StoreBulkInsert(benchmark::State& state) {
  runGuarded(state, [&] {
    TempDir dir{"zorvel-store-bench"};
    auto database = makeStore(dir.file("store.sqlite"));
    auto connection = database->newConnection();
    const auto keys = makeKeys(kBulkRows);
    const Value object(kPayload);
    for (auto _ : state) {
      zorvel::bench::requireSuccess(connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
        for (const std::string& key : keys) t.setObject(object, key, kCollection);
      }));
      state.PauseTiming();
      zorvel::bench::requireSuccess(connection->readWriteWithBlock(
          [](DizEvozidizReadWriteTransaction& t) { t.removeAllObjectsInAllCollections(); }));
      deliverMainQueue();
      state.ResumeTiming();
    }
  });
  state.SetItemsProcessed(state.iterations() * kBulkRows);
}
BENCHMARK(BM_StoreBulkInsert)->Unit(benchmark::kMillisecond)->UseRealTime();

// `upsert`: one statement a row instead of the store's rowid lookup and insert, for context only.
void runRawBulk(benchmark::State& state, bool upsert) {
  runGuarded(state, [&] {
    TempDir dir{"zorvel-store-bench"};
    RawStore raw(dir.file("raw.sqlite"));
    const auto keys = makeKeys(kBulkRows);
    for (auto _ : state) {
      raw.exec("BEGIN TRANSACTION;");
      for (const std::string& key : keys) upsert ? raw.upsert(key) : raw.put(key);
      if (!upsert) raw.writeCounter();
      raw.exec("COMMIT TRANSACTION;");
      state.PauseTiming();
      raw.exec("DELETE FROM \"database2\";");
      state.ResumeTiming();
    }
  });
  state.SetItemsProcessed(state.iterations() * kBulkRows);
}

void BM_RawBulkInsert(benchmark::State& state) { runRawBulk(state, false); }
BENCHMARK(BM_RawBulkInsert)->Unit(benchmark::kMillisecond)->UseRealTime();
void BM_RawBulkUpsert(benchmark::State& state) { runRawBulk(state, true); }
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
  runGuarded(state, [&] {
    TempDir dir{"zorvel-store-bench"};
    auto database = makeStore(dir.file("store.sqlite"));
    auto connection = database->newConnection();
    const auto keys = makeKeys(kReadRows);
    zorvel::bench::requireSuccess(connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
      for (const std::string& key : keys) t.setObject(Value(kPayload), key, kCollection);
    }));
    connection->setObjectCacheEnabled(caches);
    connection->setMetadataCacheEnabled(caches);
    if (caches) connection->setObjectCacheLimit(0);
    const auto order = randomOrder(kReadsPerTransaction, keyRange);
    for (auto _ : state) {
      connection->readWithBlock([&](DizEvozidizReadTransaction& t) {
        for (int i : order) benchmark::DoNotOptimize(t.objectForKey(keys[i], kCollection));
      });
    }
  });
  state.SetItemsProcessed(state.iterations() * kReadsPerTransaction);
}

void runRawReads(benchmark::State& state, int keyRange) {
  runGuarded(state, [&] {
    TempDir dir{"zorvel-store-bench"};
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
  });
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

// How many commits' notifications may wait for the main loop before it runs (outside the timing).
constexpr std::size_t kDeliverEvery = 256;

// Argument: the synchronous option (2: full sync, SQLite's default; 0: OFF).
void BM_StoreSingleRowWrite(benchmark::State& state) {
  runGuarded(state, [&] {
    TempDir dir{"zorvel-store-bench"};
    auto database = makeStore(dir.file("store.sqlite"), state.range(0));
    auto connection = database->newConnection();
    const auto keys = makeKeys(kWarmKeys);
    std::size_t i = 0;
    for (auto _ : state) {
      const Value object(payloadFor(i));
      zorvel::bench::requireSuccess(connection->readWriteWithBlock(
          [&](DizEvozidizReadWriteTransaction& t) { t.setObject(object, keys[i % keys.size()], kCollection); }));
      if (++i % kDeliverEvery == 0) {
        state.PauseTiming();
        deliverMainQueue();
        state.ResumeTiming();
      }
    }
  });
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_StoreSingleRowWrite)->Arg(2)->Arg(0)->UseRealTime();

void BM_RawSingleRowWrite(benchmark::State& state) {
  runGuarded(state, [&] {
    TempDir dir{"zorvel-store-bench"};
    RawStore raw(dir.file("raw.sqlite"), state.range(0));
    const auto keys = makeKeys(kWarmKeys);
    std::size_t i = 0;
    for (auto _ : state) {
      const platform::Bytes payload = payloadFor(i);
      raw.exec("BEGIN TRANSACTION;");
      raw.put(keys[i % keys.size()], payload);
      raw.writeCounter();
      raw.exec("COMMIT TRANSACTION;");
      ++i;
    }
  });
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RawSingleRowWrite)->Arg(2)->Arg(0)->UseRealTime();

}  // namespace

ZORVEL_BENCH_MAIN({{"BM_StoreBulkInsert/real_time", "BM_RawBulkInsert/real_time", 0.8},
                   {"BM_StoreBulkInsert/real_time", "BM_RawBulkUpsert/real_time", 0},
                   {"BM_StoreReadCold/real_time", "BM_RawReadCold/real_time", 0.8},
                   {"BM_StoreReadWarm/real_time", "BM_RawReadWarm/real_time", 20},
                   {"BM_StoreSingleRowWrite/2/real_time", "BM_RawSingleRowWrite/2/real_time", 0.9},
                   {"BM_StoreSingleRowWrite/0/real_time", "BM_RawSingleRowWrite/0/real_time", 0.6}})
