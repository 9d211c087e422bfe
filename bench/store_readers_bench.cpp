// Reads per second from 1, 2 and 4 reading connections while another connection writes single-row
// read-write transactions at a fixed rate, for the store and for raw SQLite handles doing the same
// work on a file with the store's schema. Each reader runs read transactions of 100 random reads.
// Both sides store the same bytes: the store's serializers keep them as they are, and a raw read
// copies the row's bytes out as the store's deserializer does. The comparison is of the scalings:
// the store's 2- and 4-reader rates over its 1-reader rate against raw SQLite's, measured in the
// same run.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "DizEvozidiz/DizEvozidiz.h"
#include "DizEvozidiz/DizEvozidizConnection.h"
#include "DizEvozidiz/DizEvozidizTransaction.h"
#include "bench/support/compare.h"
#include "bench/support/raw_sqlite.h"
#include "bench/support/store_support.h"
#include "platform/dispatch/run_loop.h"
#include "tests/support/temp_dir.h"

namespace {

using platform::Value;
using zorvel::bench::RawSqlite;
using zorvel::test::TempDir;

constexpr int kRows = 10000;
constexpr int kReadsPerTransaction = 100;
constexpr int kTransactionsPerReader = 20;
constexpr auto kWriteInterval = std::chrono::milliseconds(2);  // 500 commits a second

std::string keyFor(int i) { return "key-" + std::to_string(i); }

// The row's bytes for a value: 24 bytes with the value in front.
platform::Bytes payloadFor(int value) {
  platform::Bytes payload(24, 0x5a);
  for (std::size_t b = 0; b < sizeof(value); ++b) payload[b] = static_cast<std::uint8_t>(value >> (8 * b));
  return payload;
}

// Calls `write` every kWriteInterval on its own thread until destroyed.
class FixedRateWriter {
 public:
  explicit FixedRateWriter(std::function<void(int)> write)
      : thread_([this, write = std::move(write)] {
          std::mt19937 random(7);
          std::uniform_int_distribution<int> pick(0, kRows - 1);
          auto next = std::chrono::steady_clock::now();
          std::unique_lock lock(mutex_);
          while (!stop_) {
            lock.unlock();
            write(pick(random));
            next += kWriteInterval;
            lock.lock();
            wake_.wait_until(lock, next, [&] { return stop_; });
          }
        }) {}
  ~FixedRateWriter() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::thread thread_;
};

// Runs `readerCount` threads of kTransactionsPerReader read transactions each, per iteration. The
// first exception of a reader is thrown again once all have ended.
void runReaders(benchmark::State& state, int readerCount, const std::function<void(int reader, std::mt19937&)>& read) {
  std::exception_ptr failure;
  std::mutex failureMutex;
  for (auto _ : state) {
    std::vector<std::thread> threads;
    for (int r = 0; r < readerCount; ++r) {
      threads.emplace_back([&, r] {
        try {
          std::mt19937 random(100 + r);
          for (int n = 0; n < kTransactionsPerReader; ++n) read(r, random);
        } catch (...) {
          std::lock_guard lock(failureMutex);
          if (!failure) failure = std::current_exception();
        }
      });
    }
    for (std::thread& t : threads) t.join();
    if (failure) std::rethrow_exception(failure);
  }
  state.SetItemsProcessed(state.iterations() * readerCount * kTransactionsPerReader * kReadsPerTransaction);
}

void BM_StoreReadersWhileOneWrites(benchmark::State& state) {
  const int readerCount = static_cast<int>(state.range(0));
  TempDir folder{"zorvel-readers-bench"};
  zorvel::bench::runGuarded(state, [&] {
    auto database = DizEvozidiz::create(folder.file("store.sqlite"), zorvel::bench::passThrough());
    if (!database) throw std::runtime_error("cannot create the store");
    auto writerConnection = database->newConnection();
    zorvel::bench::requireSuccess(writerConnection->readWriteWithBlock([](DizEvozidizReadWriteTransaction& t) {
      for (int i = 0; i < kRows; ++i) t.setObject(Value(payloadFor(i)), keyFor(i), "bench");
    }));
    std::vector<std::shared_ptr<DizEvozidizConnection>> readers;
    for (int r = 0; r < readerCount; ++r) readers.push_back(database->newConnection());
    {
      FixedRateWriter writer([&](int i) {
        zorvel::bench::requireSuccess(writerConnection->readWriteWithBlock(
            [&](DizEvozidizReadWriteTransaction& t) { t.setObject(Value(payloadFor(i + 1)), keyFor(i), "bench"); }));
      });
      runReaders(state, readerCount, [&](int r, std::mt19937& random) {
        std::uniform_int_distribution<int> pick(0, kRows - 1);
        readers[r]->readWithBlock([&](DizEvozidizReadTransaction& t) {
          for (int k = 0; k < kReadsPerTransaction; ++k)
            benchmark::DoNotOptimize(t.objectForKey(keyFor(pick(random)), "bench"));
        });
      });
    }
    // Deliver the modified notifications the commits queued for the main thread.
    platform::runMainLoopUntil([] { return false; }, 0.05);
  });
}
BENCHMARK(BM_StoreReadersWhileOneWrites)->Arg(1)->Arg(2)->Arg(4)->UseRealTime()->Unit(benchmark::kMillisecond);

// One raw handle per reader and one for the writer, each on its own thread, with the statements
// the store runs (a read by collection and key; a rowid lookup, an update and the counter row).
void BM_RawReadersWhileOneWrites(benchmark::State& state) {
  const int readerCount = static_cast<int>(state.range(0));
  TempDir folder{"zorvel-raw-readers-bench"};
  zorvel::bench::runGuarded(state, [&] {
    { DizEvozidiz::create(folder.file("store.sqlite")); }  // the store's schema, then closed
    std::int64_t counter = 0;
    {
      RawSqlite setup(folder.file("store.sqlite"));
      setup.exec("PRAGMA journal_mode = WAL;");
      auto insert = setup.prepare(R"(INSERT INTO "database2" ("collection", "key", "data") VALUES ('bench', ?, ?);)");
      setup.exec("BEGIN;");
      for (int i = 0; i < kRows; ++i) insert.bind(1, keyFor(i)).bind(2, payloadFor(i)).run();
      setup.exec("COMMIT;");
    }
    std::vector<std::unique_ptr<RawSqlite>> readers;
    std::vector<RawSqlite::Statement> selects;
    for (int r = 0; r < readerCount; ++r) {
      readers.push_back(std::make_unique<RawSqlite>(folder.file("store.sqlite")));
      selects.push_back(
          readers.back()->prepare(R"(SELECT "rowid", "data" FROM "database2" WHERE "collection" = ? AND "key" = ?;)"));
    }
    RawSqlite writerDb(folder.file("store.sqlite"));
    auto getRowid = writerDb.prepare(R"(SELECT "rowid" FROM "database2" WHERE "collection" = ? AND "key" = ?;)");
    auto update = writerDb.prepare(R"(UPDATE "database2" SET "data" = ?, "metadata" = NULL WHERE "rowid" = ?;)");
    auto setCounter =
        writerDb.prepare(R"(INSERT OR REPLACE INTO "diz2" ("extension", "key", "data") VALUES ('', 'snapshot', ?);)");
    std::atomic<bool> writeFailed{false};
    {
      FixedRateWriter writer([&](int i) {
        try {
          writerDb.exec("BEGIN;");
          getRowid.bind(1, "bench").bind(2, keyFor(i));
          const std::int64_t rowid = getRowid.step() ? getRowid.columnInt64(0) : 0;
          getRowid.reset();
          const platform::Bytes payload = payloadFor(i + 1);
          update.bind(1, payload).bind(2, rowid).run();
          setCounter.bind(1, ++counter).run();
          writerDb.exec("COMMIT;");
        } catch (const std::exception&) {
          writeFailed = true;
        }
      });
      runReaders(state, readerCount, [&](int r, std::mt19937& random) {
        std::uniform_int_distribution<int> pick(0, kRows - 1);
        readers[r]->exec("BEGIN;");
        for (int k = 0; k < kReadsPerTransaction; ++k) {
          selects[r].bind(1, "bench").bind(2, keyFor(pick(random)));
          if (selects[r].step()) {
            const auto bytes = selects[r].columnBlob(1);
            benchmark::DoNotOptimize(platform::Bytes(bytes.begin(), bytes.end()));
          }
          selects[r].reset();
        }
        readers[r]->exec("COMMIT;");
      });
    }
    if (writeFailed) throw std::runtime_error("the writer's transactions failed");
  });
}
BENCHMARK(BM_RawReadersWhileOneWrites)->Arg(1)->Arg(2)->Arg(4)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

ZORVEL_BENCH_MAIN({{"BM_StoreReadersWhileOneWrites/2/real_time", "BM_StoreReadersWhileOneWrites/1/real_time", 0.8, 0,
                    "BM_RawReadersWhileOneWrites/2/real_time", "BM_RawReadersWhileOneWrites/1/real_time"},
                   {"BM_StoreReadersWhileOneWrites/4/real_time", "BM_StoreReadersWhileOneWrites/1/real_time", 0.8, 0,
                    "BM_RawReadersWhileOneWrites/4/real_time", "BM_RawReadersWhileOneWrites/1/real_time"}})
