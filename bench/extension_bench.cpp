// The extension framework's own cost: a bulk insert of 100,000 rows in one read-write transaction
// with 0, 1 and 4 extensions registered that do nothing in their hooks, measured in the same run.
// Each row calls two hooks (will-insert, insert) on every extension, so the difference to the
// insert with none is the price of preparing the extension transactions and dispatching the hooks.

#include <string>
#include <vector>

#include "DizEvozidiz/DizEvozidiz.h"
#include "DizEvozidiz/DizEvozidizConnection.h"
#include "DizEvozidiz/DizEvozidizExtension.h"
#include "DizEvozidiz/DizEvozidizTransaction.h"
#include "bench/support/compare.h"
#include "bench/support/store_support.h"
#include "tests/support/temp_dir.h"

namespace {

using platform::Value;

constexpr int kRows = 100000;

using zorvel::bench::makeKeys;
using zorvel::bench::passThrough;
using zorvel::test::TempDir;

// An extension that takes part in every transaction and does nothing in any hook.
class NoOpTransaction final : public DizEvozidizExtensionTransaction {
  DIZ_EXTENSION_CLASS(NoOpTransaction, DizEvozidizExtensionTransaction)

 public:
  using DizEvozidizExtensionTransaction::DizEvozidizExtensionTransaction;
  bool createIfNeeded() override { return true; }
  bool prepareIfNeeded() override { return true; }
};

class NoOpConnection final : public DizEvozidizExtensionConnection {
  DIZ_EXTENSION_CLASS(NoOpConnection, DizEvozidizExtensionConnection)

 public:
  using DizEvozidizExtensionConnection::DizEvozidizExtensionConnection;
  DizEvozidizExtensionTransactionPtr newReadTransaction(DizEvozidizReadTransaction& t) override {
    return platform::make<NoOpTransaction>(self(), &t);
  }
  DizEvozidizExtensionTransactionPtr newReadWriteTransaction(DizEvozidizReadWriteTransaction& t) override {
    return platform::make<NoOpTransaction>(self(), &t);
  }

 private:
  DizEvozidizExtensionConnectionPtr self() {
    return std::static_pointer_cast<DizEvozidizExtensionConnection>(shared_from_this());
  }
};

class NoOpExtension final : public DizEvozidizExtension {
  DIZ_EXTENSION_CLASS(NoOpExtension, DizEvozidizExtension)

 public:
  NoOpExtension() = default;
  DizEvozidizExtensionConnectionPtr newConnection(DizEvozidizConnection& connection) override {
    return platform::make<NoOpConnection>(std::static_pointer_cast<DizEvozidizExtension>(shared_from_this()),
                                          &connection);
  }
};

void BM_BulkInsertWithExtensions(benchmark::State& state) {
  const int extensions = static_cast<int>(state.range(0));
  TempDir dir{"zorvel-store-bench"};
  auto database = DizEvozidiz::create(dir.file("store-" + std::to_string(extensions) + ".sqlite"), passThrough());
  auto connection = database->newConnection();
  for (int i = 0; i < extensions; ++i) {
    if (!database->registerExtension(platform::make<NoOpExtension>(), "noop" + std::to_string(i), connection)) {
      state.SkipWithError("registering a no-op extension failed");
      return;
    }
  }
  const std::vector<std::string> keys = makeKeys(kRows);
  const Value object(platform::Bytes(24, 0x5a));
  auto insertAll = [&] {
    return connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
      for (const std::string& key : keys) t.setObject(object, key, "bench");
    });
  };
  auto removeAll = [&] {
    zorvel::bench::requireSuccess(connection->readWriteWithBlock(
        [](DizEvozidizReadWriteTransaction& t) { t.removeAllObjectsInAllCollections(); }));
  };
  // One untimed round first: every case then measures a file, WAL and caches of the same size
  // instead of the first growth of a new file.
  insertAll();
  removeAll();
  for (auto _ : state) {
    const bool committed = insertAll();
    state.PauseTiming();
    if (!committed) state.SkipWithError("the bulk insert did not commit");
    removeAll();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kRows);
}
BENCHMARK(BM_BulkInsertWithExtensions)
    ->Arg(0)
    ->Arg(1)
    ->Arg(4)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(2)
    ->Repetitions(9)
    ->ReportAggregatesOnly(true);

}  // namespace

// Goal: four no-op extensions cost at most 1.15x the insert with none, i.e. at least 1/1.15 of its
// rows per second. The cases run interleaved (unless the command line says otherwise), so that a
// slower phase of a shared machine falls on all of them alike.
int main(int argc, char** argv) {
  std::string interleave = "--benchmark_enable_random_interleaving=true";
  std::vector<char*> args(argv, argv + argc);
  args.insert(args.begin() + 1, interleave.data());
  int count = static_cast<int>(args.size());
  args.push_back(nullptr);
  const std::string none = "BM_BulkInsertWithExtensions/0/iterations:2/real_time";
  return zorvel::bench::runAndCompare(count, args.data(),
                                      {{"BM_BulkInsertWithExtensions/1/iterations:2/real_time", none, 0},
                                       {"BM_BulkInsertWithExtensions/4/iterations:2/real_time", none, 1 / 1.15}});
}
