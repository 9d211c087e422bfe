// A bulk insert of 10,000 rows in one read-write transaction into a collection that the cloud sync
// extension follows (registered, suspended, so nothing goes over the network: the record handler,
// the dirty rows, the writes of the mapping, record and queue tables and the change queue are all
// measured), beside the same insert into a store without the extension, in the same run. Each
// iteration starts from an empty store; setting it up is not timed.
// Goal: the insert with the extension takes at most twice the time of the plain one (ratio >= 0.5).

#include <memory>
#include <string>

#include "DizEvozidiz/DizEvozidiz.h"
#include "DizEvozidiz/DizEvozidizConnection.h"
#include "DizEvozidiz/DizEvozidizTransaction.h"
#include "DizEvozidiz/Extensions/CloudKit/DizEvozidizCloudKit.h"
#include "bench/support/compare.h"
#include "bench/support/store_support.h"
#include "tests/support/temp_dir.h"

namespace {

using platform::CloudRecord;
using platform::CloudRecordID;
using platform::CloudRecordPtr;
using platform::CloudZoneID;
using platform::Value;
using zorvel::test::TempDir;

constexpr int kRows = 10000;

DizEvozidizCloudKitPtr makeCloud() {
  auto handler = DizEvozidizCloudKitRecordHandler::withObjectBlock(
      [](DizEvozidizReadWriteTransaction&, CloudRecordPtr& record, DZCKRecordInfo&, const std::string&,
         const std::string& key, const Value& object) {
        if (!object.isDictionary()) {
          record = nullptr;
          return;
        }
        if (!record) record = CloudRecord::make("Events", CloudRecordID::make(key, CloudZoneID("Events")));
        for (const auto& [field, value] : object.asDictionary()) record->setObject(value, field);
      });
  DizEvozidizCloudKitOptions options;
  options.allowedCollections = DizWhitelistBlacklist::withWhitelist({"Events"});
  auto cloud = DizEvozidizCloudKit::make(
      handler, {}, [](const DZCKDatabaseIdentifier&, const platform::ErrorPtr&) {}, {}, std::string("1"), Value(),
      options);
  cloud->suspend();
  return cloud;
}

void bulkInsert(benchmark::State& state, bool withExtension) {
  const std::vector<std::string> keys = zorvel::bench::makeKeys(kRows);
  std::vector<Value> objects;
  objects.reserve(kRows);
  for (int i = 0; i < kRows; ++i)
    objects.push_back(Value::dictionary({{"title", "Event " + std::to_string(i)}, {"state", std::int64_t{i % 4}}}));
  bool failed = false;
  for (auto _ : state) {
    state.PauseTiming();
    auto dir = std::make_unique<TempDir>("zorvel-cloudkit-bench");
    auto database = DizEvozidiz::create(dir->file("store.sqlite"));
    auto connection = database ? database->newConnection() : nullptr;
    DizEvozidizCloudKitPtr cloud;
    if (connection && withExtension) {
      cloud = makeCloud();
      if (!database->registerExtension(cloud, "cloud_kit", connection)) failed = true;
    }
    state.ResumeTiming();
    const bool committed = connection && connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
      for (int i = 0; i < kRows; ++i) t.setObject(objects[i], keys[i], "Events");
    });
    state.PauseTiming();
    if (!committed) failed = true;
    // The work is done only when every row went into the queued change set.
    if (cloud) {
      const auto sets = cloud->pendingChangeSets();
      if (sets.size() != 1 || sets[0]->recordsToSaveCount() != static_cast<std::size_t>(kRows)) failed = true;
    }
    connection.reset();
    database.reset();
    zorvel::bench::deliverMainQueue();
    cloud.reset();
    dir.reset();
    state.ResumeTiming();
    if (failed) break;
  }
  if (failed) return state.SkipWithError("the insert or its queued change set was not complete");
  state.SetItemsProcessed(state.iterations() * kRows);
}

void BM_BulkInsertWithCloudKit(benchmark::State& state) { bulkInsert(state, true); }
void BM_BulkInsertPlain(benchmark::State& state) { bulkInsert(state, false); }

BENCHMARK(BM_BulkInsertWithCloudKit)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_BulkInsertPlain)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace

ZORVEL_BENCH_MAIN({{"BM_BulkInsertWithCloudKit/iterations:3/real_time", "BM_BulkInsertPlain/iterations:3/real_time",
                    0.5}})
