// Reads per second from 1, 2 and 4 reading connections while another connection keeps writing
// single-row read-write transactions. Each reader runs read transactions of 100 random reads.

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "DizEvozidiz/DizEvozidiz.h"
#include "DizEvozidiz/DizEvozidizConnection.h"
#include "DizEvozidiz/DizEvozidizTransaction.h"
#include "bench/support/compare.h"
#include "platform/run_loop.h"

namespace {

using platform::Value;

constexpr int kRows = 10000;
constexpr int kReadsPerTransaction = 100;
constexpr int kTransactionsPerReader = 20;

std::string keyFor(int i) { return "key-" + std::to_string(i); }

void BM_ReadersWhileOneWrites(benchmark::State& state) {
  const int readerCount = static_cast<int>(state.range(0));
  const auto folder = std::filesystem::temp_directory_path() /
                      ("zorvel-readers-bench-" + std::to_string(::getpid()) + "-" + std::to_string(readerCount));
  std::filesystem::create_directories(folder);
  {
    auto database = DizEvozidiz::create((folder / "store.sqlite").string());
    auto writerConnection = database->newConnection();
    writerConnection->readWriteWithBlock([](DizEvozidizReadWriteTransaction& t) {
      for (int i = 0; i < kRows; ++i) t.setObject(Value(i), keyFor(i), "bench");
    });
    std::vector<std::shared_ptr<DizEvozidizConnection>> readers;
    for (int r = 0; r < readerCount; ++r) readers.push_back(database->newConnection());

    std::atomic<bool> stop{false};
    std::thread writer([&] {
      std::mt19937 random(7);
      std::uniform_int_distribution<int> pick(0, kRows - 1);
      while (!stop.load(std::memory_order_relaxed)) {
        const int i = pick(random);
        writerConnection->readWriteWithBlock(
            [&](DizEvozidizReadWriteTransaction& t) { t.setObject(Value(i + 1), keyFor(i), "bench"); });
      }
    });

    for (auto _ : state) {
      std::vector<std::thread> threads;
      for (int r = 0; r < readerCount; ++r) {
        threads.emplace_back([&, r] {
          std::mt19937 random(100 + r);
          std::uniform_int_distribution<int> pick(0, kRows - 1);
          for (int n = 0; n < kTransactionsPerReader; ++n) {
            readers[r]->readWithBlock([&](DizEvozidizReadTransaction& t) {
              for (int k = 0; k < kReadsPerTransaction; ++k)
                benchmark::DoNotOptimize(t.objectForKey(keyFor(pick(random)), "bench"));
            });
          }
        });
      }
      for (std::thread& t : threads) t.join();
    }
    stop = true;
    writer.join();
    // Deliver the modified notifications the commits queued for the main thread.
    platform::runMainLoopUntil([] { return false; }, 0.05);
  }
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  state.SetItemsProcessed(state.iterations() * readerCount * kTransactionsPerReader * kReadsPerTransaction);
}
BENCHMARK(BM_ReadersWhileOneWrites)->Arg(1)->Arg(2)->Arg(4)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

ZORVEL_BENCH_MAIN({{"BM_ReadersWhileOneWrites/2/real_time", "BM_ReadersWhileOneWrites/1/real_time", 0},
                   {"BM_ReadersWhileOneWrites/4/real_time", "BM_ReadersWhileOneWrites/1/real_time", 0}})
