// The cloud record database on a throwaway local cluster: how long a save takes to reach another
// client as a push, and how long a fetch of changes takes with nothing new and with 1,000
// changes, each against the plain libpq work it rests on. Latencies are reported per sample
// (median and 99th percentile); the loopback floor is one bare round trip.

#include <benchmark/benchmark.h>
#include <libpq-fe.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/cloud/cloud_database.h"
#include "platform/cloud/cloud_operations.h"
#include "platform/dispatch/run_loop.h"
#include "platform/system/locks.h"
#include "support/compare.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace platform;
using Clock = std::chrono::steady_clock;

struct Environment {
  std::optional<zorvel::test::TempDir> folder;  // the cluster's info file
  std::string info;
  std::string userConnection;
  CloudDatabasePtr writer;
  CloudContainerPtr device;
  PGconn* raw = nullptr;
  int pushes = 0;  // main thread only
  CloudServerChangeTokenPtr latest;
  // Every repetition of a benchmark saves new records: a name used twice would be a conflicting
  // save (the server already has that record), not the work being timed.
  int nextRecord = 0;  // main thread only
};
Environment* env = nullptr;

std::map<std::string, std::string> readInfo(const std::string& path) {
  std::map<std::string, std::string> values;
  std::ifstream file(path);
  std::string line;
  while (std::getline(file, line))
    if (auto eq = line.find('='); eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
  return values;
}

std::string uniqueName(const char* prefix) { return prefix + std::to_string(env->nextRecord++); }

bool exec(PGconn* conn, const std::string& sql) {
  PGresult* r = PQexec(conn, sql.c_str());
  bool ok = PQresultStatus(r) == PGRES_TUPLES_OK || PQresultStatus(r) == PGRES_COMMAND_OK;
  if (!ok) std::fprintf(stderr, "cloud_bench: %s: %s", sql.c_str(), PQerrorMessage(conn));
  PQclear(r);
  return ok;
}

template <class Op>
void runOp(const std::shared_ptr<Op>& op) {
  env->writer->addOperation(op);
  op->waitUntilFinished();
}

ErrorPtr save(std::vector<CloudRecordPtr> records) {
  ErrorPtr error;
  auto op = CloudModifyRecordsOperation::make(std::move(records), {});
  op->setModifyRecordsCompletionBlock([&](auto&, auto&, const ErrorPtr& e) { error = e; });
  runOp(op);
  return error;
}

CloudRecordPtr record(const std::string& zone, const std::string& name) {
  auto r = CloudRecord::make("Events", CloudRecordID::make(name, CloudZoneID(zone)));
  r->setObject(Value("An event called " + name), "name");
  r->setObject(Value(Date::now()), "date");
  r->setObject(Value(std::uint64_t{2}), "state");
  r->setObject(Value("5B0A4E2C-8D4B-4A8E-9F0B-3A2C1D0E9F8A"), "skinId");
  return r;
}

// Adds the samples' median and 99th percentile (milliseconds) as counters.
void reportLatency(benchmark::State& state, std::vector<double> samples) {
  if (samples.empty()) return;
  std::sort(samples.begin(), samples.end());
  auto at = [&](double q) {
    return samples[std::min(samples.size() - 1, static_cast<std::size_t>(q * (samples.size() - 1) + 0.5))];
  };
  state.counters["median_ms"] = at(0.5) * 1e3;
  state.counters["p99_ms"] = at(0.99) * 1e3;
}

// Times `work` once per iteration (manual time), then reports the samples' median and p99.
template <class F>
void timeEach(benchmark::State& state, F&& work) {
  std::vector<double> samples;
  for (auto _ : state) {
    auto start = Clock::now();
    if (!work()) break;
    double s = std::chrono::duration<double>(Clock::now() - start).count();
    samples.push_back(s);
    state.SetIterationTime(s);
  }
  reportLatency(state, std::move(samples));
}

// One bare round trip on an open connection: the floor under every request.
void BM_LoopbackRoundTrip(benchmark::State& state) {
  timeEach(state, [&] {
    PGresult* r = PQexec(env->raw, "SELECT 1");
    bool ok = PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) == 1;
    PQclear(r);
    if (!ok) state.SkipWithError(("the round trip failed: " + std::string(PQerrorMessage(env->raw))).c_str());
    return ok;
  });
}
BENCHMARK(BM_LoopbackRoundTrip)->Iterations(500)->UseManualTime();

// Saving one new record, waited for by its caller.
void BM_SaveOneRecord(benchmark::State& state) {
  timeEach(state, [&] {
    ErrorPtr e = save({record("Bench", uniqueName("save-"))});
    if (e) state.SkipWithError(e->description().c_str());
    return !e;
  });
}
BENCHMARK(BM_SaveOneRecord)->Iterations(500)->UseManualTime();

// The answer of a save that runs while the main thread waits for its push.
struct SaveAnswer {
  platform::Mutex mutex;
  bool answered ZORVEL_GUARDED_BY(mutex) = false;
  ErrorPtr error ZORVEL_GUARDED_BY(mutex);

  bool failed() {
    platform::MutexLock lock(mutex);
    return answered && error;
  }
  std::string description() {
    platform::MutexLock lock(mutex);
    return error ? error->description() : "no answer";
  }
};

// From the start of a save on one client to the push delivered on another client's main thread.
void BM_SaveToPushOnAnotherClient(benchmark::State& state) {
  std::shared_ptr<CloudModifyRecordsOperation> previous;
  std::shared_ptr<SaveAnswer> answer;
  // The last save's own answer, outside the timing: false when it failed.
  auto previousSucceeded = [&] {
    if (!previous) return true;
    previous->waitUntilFinished();
    if (!answer->failed()) return true;
    state.SkipWithError(("a save failed: " + answer->description()).c_str());
    return false;
  };
  timeEach(state, [&] {
    if (!previousSucceeded()) return false;
    int before = env->pushes;
    answer = std::make_shared<SaveAnswer>();
    previous = CloudModifyRecordsOperation::make({record("Events", uniqueName("push-"))}, {});
    previous->setModifyRecordsCompletionBlock([answer = answer](auto&, auto&, const ErrorPtr& error) {
      platform::MutexLock lock(answer->mutex);
      answer->answered = true;
      answer->error = error;
    });
    env->writer->addOperation(previous);
    if (!runMainLoopUntil([&] { return env->pushes > before || answer->failed(); }, 10)) {
      state.SkipWithError("no push arrived within 10 s");
      return false;
    }
    if (answer->failed()) {
      state.SkipWithError(("a save failed: " + answer->description()).c_str());
      return false;
    }
    return true;
  });
  if (previous) previous->waitUntilFinished();
}
BENCHMARK(BM_SaveToPushOnAnotherClient)->Iterations(500)->UseManualTime();

struct Fetched {
  std::size_t records = 0;
  CloudServerChangeTokenPtr token;
  ErrorPtr error;
};

Fetched fetch(const std::string& zone, CloudServerChangeTokenPtr token, std::uint32_t limit) {
  Fetched out;
  CloudFetchRecordZoneChangesOptions options{std::move(token), limit};
  auto op = CloudFetchRecordZoneChangesOperation::make({CloudZoneID(zone)}, {{CloudZoneID(zone), options}});
  op->setRecordChangedBlock([&](const CloudRecordPtr&) { ++out.records; });
  op->setRecordZoneFetchCompletionBlock([&](auto&, const CloudServerChangeTokenPtr& t, bool, const ErrorPtr& e) {
    out.token = t;
    out.error = e;
  });
  runOp(op);
  return out;
}

void BM_FetchChangesNothingNew(benchmark::State& state) {
  timeEach(state, [&] {
    Fetched f = fetch("Thousand", env->latest, 0);
    if (f.error || f.records) state.SkipWithError("a fetch with nothing new found something");
    return !f.error && !f.records;
  });
}
BENCHMARK(BM_FetchChangesNothingNew)->Iterations(500)->UseManualTime();

void BM_FetchThousandChanges(benchmark::State& state) {
  timeEach(state, [&] {
    Fetched f = fetch("Thousand", nullptr, 1000);
    if (f.error || f.records != 1000) state.SkipWithError("the fetch did not bring 1,000 records");
    return !f.error && f.records == 1000;
  });
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * 1000);
}
BENCHMARK(BM_FetchThousandChanges)->Iterations(50)->UseManualTime();

// The same 1,000 changes asked for with plain libpq, without decoding them into records (users
// reach the tables only through the service's functions).
void BM_RawThousandRows(benchmark::State& state) {
  timeEach(state, [&] {
    PGresult* r = PQexec(env->raw,
                         "SELECT o_kind, o_name, o_type, o_fields, o_tag, o_created, o_modified "
                         "FROM zorvel_cloud.fetch_changes('bench', 'Thousand', NULL, 1000) WHERE o_kind = 'record'");
    int rows = PQresultStatus(r) == PGRES_TUPLES_OK ? PQntuples(r) : -1;
    PQclear(r);
    // The function reads one row past the page, to tell whether more are coming.
    bool ok = rows == 1000 || rows == 1001;
    if (!ok) state.SkipWithError(("the raw read brought " + std::to_string(rows) + " rows, not 1,000").c_str());
    return ok;
  });
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * 1000);
}
BENCHMARK(BM_RawThousandRows)->Iterations(50)->UseManualTime();

// Sets up the cluster and the data; false with a message when it could not. `skipped` tells that
// no cluster could be had at all (PostgreSQL is not installed).
bool setUp(bool& skipped) {
  skipped = false;
  env = new Environment;
  env->folder.emplace("zorvel-cloud-bench");
  env->info = env->folder->file("cluster.info");
  std::string command = "bash '" ZORVEL_CLOUD_CLUSTER_SCRIPT "' start '" + env->info + "' >&2";
  int status = std::system(command.c_str());
  if (status != 0) {
    skipped = WIFEXITED(status) && WEXITSTATUS(status) == 77;
    if (skipped)
      std::printf("cloud_bench: skipped, PostgreSQL is not installed\n");
    else
      std::fprintf(stderr, "cloud_bench: FAILED: the throwaway PostgreSQL cluster did not start\n");
    return false;
  }
  auto info = readInfo(env->info);
  std::string base = "host=" + info["host"] + " port=" + info["port"] + " dbname=postgres";
  PGconn* admin = PQconnectdb((base + " user=" + info["admin_user"] + " password=" + info["admin_password"]).c_str());
  bool ok = PQstatus(admin) == CONNECTION_OK && exec(admin, "SELECT zorvel_cloud.add_user('bench', 'bench-password')");
  PQfinish(admin);
  if (!ok) return false;
  env->userConnection = base + " user=bench password=bench-password";
  env->raw = PQconnectdb(env->userConnection.c_str());
  env->writer = CloudContainer::createWithConnectionString("bench", env->userConnection)->privateCloudDatabase();
  env->device = CloudContainer::createWithConnectionString("bench", env->userConnection);

  auto zones = CloudModifyRecordZonesOperation::make(
      {CloudRecordZone("Events"), CloudRecordZone("Bench"), CloudRecordZone("Thousand")}, {});
  ErrorPtr zonesError, subscriptionsError;
  zones->setModifyRecordZonesCompletionBlock([&](auto&, auto&, const ErrorPtr& e) { zonesError = e; });
  CloudRecordZoneSubscription subscription(CloudZoneID("Events"), "Events");
  subscription.notificationInfo.shouldSendContentAvailable = true;
  auto subscriptions = CloudModifySubscriptionsOperation::make({subscription}, {});
  subscriptions->setModifySubscriptionsCompletionBlock(
      [&](auto&, auto&, const ErrorPtr& e) { subscriptionsError = e; });
  runOp(zones);
  runOp(subscriptions);
  for (const ErrorPtr& e : {zonesError, subscriptionsError}) {
    if (e) {
      std::fprintf(stderr, "cloud_bench: %s\n", e->description().c_str());
      return false;
    }
  }
  std::vector<CloudRecordPtr> thousand;
  for (int i = 0; i < 1000; ++i) thousand.push_back(record("Thousand", "t-" + std::to_string(i)));
  if (ErrorPtr e = save(thousand)) {
    std::fprintf(stderr, "cloud_bench: %s\n", e->description().c_str());
    return false;
  }
  Fetched all = fetch("Thousand", nullptr, 1000);
  if (all.error || all.records != 1000) {
    std::fprintf(stderr, "cloud_bench: the 1,000 saved records did not read back (%s)\n",
                 all.error ? all.error->description().c_str() : "too few");
    return false;
  }
  env->latest = all.token;
  env->device->setPushHandler([](const CloudPushNotification&) { ++env->pushes; });
  if (!runMainLoopUntil([] { return env->device->isListeningForPushes(); }, 20)) {
    std::fprintf(stderr, "cloud_bench: the push listener did not start\n");
    return false;
  }
  return true;
}

void tearDown() {
  if (!env) return;
  if (env->device) env->device->setPushHandler(nullptr);
  RunLoop::main().runFor(0.05);
  if (env->raw) PQfinish(env->raw);
  env->writer.reset();
  env->device.reset();
  if (!env->info.empty()) {
    std::string command = "bash '" ZORVEL_CLOUD_CLUSTER_SCRIPT "' stop '" + env->info + "'";
    if (std::system(command.c_str()) != 0) std::fprintf(stderr, "cloud_bench: the cluster did not stop cleanly\n");
  }
  env->folder.reset();
}

}  // namespace

int main(int argc, char** argv) {
  int result = 0;
  bool skipped = false;
  if (!setUp(skipped)) {
    // Nothing could be measured: a failure, unless PostgreSQL is simply not there.
    if (!skipped) {
      std::fprintf(stderr, "cloud_bench: FAILED: the benchmarks' setup did not complete\n");
      result = 1;
    }
  } else {
    result = zorvel::bench::runAndCompare(
        argc, argv,
        {{"BM_SaveToPushOnAnotherClient/iterations:500/manual_time", "BM_SaveOneRecord/iterations:500/manual_time", 0},
         {"BM_FetchChangesNothingNew/iterations:500/manual_time", "BM_LoopbackRoundTrip/iterations:500/manual_time", 0},
         {"BM_FetchThousandChanges/iterations:50/manual_time", "BM_RawThousandRows/iterations:50/manual_time", 0}});
  }
  tearDown();
  return result;
}
