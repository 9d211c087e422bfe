// Subject delivery against a plain loop over std::functions, subscribing and disposing against a
// plain list of callbacks, an operator chain against the same pipeline as plain loops, and the
// main-thread hop of deliverOnMainThread against a bare main-queue async, each measured in the
// same run.

#include <atomic>
#include <functional>
#include <vector>

#include "bench/support/compare.h"
#include "platform/dispatch/dispatch.h"
#include "platform/dispatch/run_loop.h"
#include "reactive/RFSignal.h"
#include "reactive/RFSubject.h"

namespace {

using platform::Value;

// Deliveries per second: one item per value reaching one subscriber.
void BM_SubjectSend(benchmark::State& state) {
  const auto subscribers = static_cast<int>(state.range(0));
  RFSubjectPtr subject = RFSubject::subject();
  std::int64_t sum = 0;
  for (int i = 0; i < subscribers; ++i) subject->subscribeNext([&sum](const Value& v) { sum += v.asInt64(); });
  std::int64_t n = 0;
  for (auto _ : state) subject->sendNext(Value(++n));
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations() * subscribers);
}
BENCHMARK(BM_SubjectSend)->Arg(1)->Arg(100)->Arg(1000)->Repetitions(5);

void BM_FunctionLoop(benchmark::State& state) {
  const auto count = static_cast<int>(state.range(0));
  std::int64_t sum = 0;
  std::vector<std::function<void(const Value&)>> blocks;
  for (int i = 0; i < count; ++i) blocks.emplace_back([&sum](const Value& v) { sum += v.asInt64(); });
  std::int64_t n = 0;
  for (auto _ : state) {
    Value v(++n);
    for (const auto& block : blocks) block(v);
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_FunctionLoop)->Arg(1)->Arg(100)->Arg(1000)->Repetitions(5);

// Subscribe-then-dispose pairs per second on a subject that has `others` other subscribers, made
// and disposed on the sending thread, as list rows subscribing to the tick do.
void BM_SubjectSubscribeDispose(benchmark::State& state) {
  const auto others = static_cast<int>(state.range(0));
  RFSubjectPtr subject = RFSubject::subject();
  std::int64_t sum = 0;
  for (int i = 0; i < others; ++i) subject->subscribeNext([&sum](const Value& v) { sum += v.asInt64(); });
  subject->sendNext(Value(1));
  for (auto _ : state) subject->subscribeNext([&sum](const Value& v) { sum += v.asInt64(); })->dispose();
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SubjectSubscribeDispose)->Arg(0)->Arg(100)->Repetitions(5);

// The same registration and removal in a plain vector of callbacks.
void BM_CallbackListAddRemove(benchmark::State& state) {
  const auto others = static_cast<int>(state.range(0));
  std::int64_t sum = 0;
  std::vector<std::function<void(const Value&)>> callbacks;
  for (int i = 0; i < others; ++i) callbacks.emplace_back([&sum](const Value& v) { sum += v.asInt64(); });
  for (auto _ : state) {
    callbacks.emplace_back([&sum](const Value& v) { sum += v.asInt64(); });
    callbacks.erase(callbacks.end() - 1);
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CallbackListAddRemove)->Arg(0)->Arg(100)->Repetitions(5);

// map -> filter -> scan -> take over values sent into a subject. The same four blocks serve the
// chain and the loops below.
constexpr std::int64_t kChainValues = 1000000;
constexpr std::int64_t kChainPassing = kChainValues / 2;  // values the filter lets through

const std::function<Value(const Value&)> kMapBlock = [](const Value& v) { return Value(v.asInt64() * 3); };
const std::function<bool(const Value&)> kFilterBlock = [](const Value& v) { return v.asInt64() % 2 == 0; };
const std::function<Value(const Value&, const Value&)> kScanBlock = [](const Value& sum, const Value& v) {
  return Value(sum.asInt64() + v.asInt64());
};

void BM_OperatorChain(benchmark::State& state) {
  for (auto _ : state) {
    RFSubjectPtr subject = RFSubject::subject();
    std::int64_t last = 0;
    bool completed = false;
    subject->map(kMapBlock)
        ->filter(kFilterBlock)
        ->scanWithStart(Value(0), kScanBlock)
        ->take(kChainPassing)
        ->subscribeNext([&last](const Value& v) { last = v.asInt64(); }, nullptr, [&completed] { completed = true; });
    for (std::int64_t i = 0; i < kChainValues; ++i) subject->sendNext(Value(i));
    if (!completed) state.SkipWithError("the chain did not complete");
    benchmark::DoNotOptimize(last);
  }
  state.SetItemsProcessed(state.iterations() * kChainValues);
}
BENCHMARK(BM_OperatorChain)->Unit(benchmark::kMillisecond)->Repetitions(5);

// The same pipeline, with the same blocks, as plain loops over vectors of values, one loop per
// stage. The vectors keep their storage from run to run (and are filled once before the clock
// runs), so that the loops are not measuring fresh pages of memory.
void BM_PlainLoops(benchmark::State& state) {
  std::vector<Value> input;
  for (std::int64_t i = 0; i < kChainValues; ++i) input.emplace_back(i);
  std::vector<Value> mapped, filtered, scanned, taken;
  auto run = [&] {
    mapped.clear();
    filtered.clear();
    scanned.clear();
    taken.clear();
    for (const Value& v : input) mapped.push_back(kMapBlock(v));
    for (const Value& v : mapped)
      if (kFilterBlock(v)) filtered.push_back(v);
    Value sum(0);
    for (const Value& v : filtered) scanned.push_back(sum = kScanBlock(sum, v));
    for (const Value& v : scanned) {
      if (static_cast<std::int64_t>(taken.size()) == kChainPassing) break;
      taken.push_back(v);
    }
    return static_cast<std::int64_t>(taken.size()) == kChainPassing;
  };
  run();  // the vectors' pages, touched once before the clock runs
  for (auto _ : state) {
    if (!run()) state.SkipWithError("the loops lost values");
    benchmark::DoNotOptimize(taken.back());
  }
  state.SetItemsProcessed(state.iterations() * kChainValues);
}
BENCHMARK(BM_PlainLoops)->Unit(benchmark::kMillisecond)->Repetitions(5);

// The pipeline written directly over 64-bit integers, for scale: no values, no blocks.
void BM_PlainLoopsOverIntegers(benchmark::State& state) {
  std::vector<std::int64_t> input(kChainValues);
  for (std::int64_t i = 0; i < kChainValues; ++i) input[i] = i;
  std::vector<std::int64_t> mapped, filtered, scanned, taken;
  auto run = [&] {
    mapped.clear();
    filtered.clear();
    scanned.clear();
    taken.clear();
    for (std::int64_t v : input) mapped.push_back(v * 3);
    for (std::int64_t v : mapped)
      if (v % 2 == 0) filtered.push_back(v);
    std::int64_t sum = 0;
    for (std::int64_t v : filtered) scanned.push_back(sum += v);
    for (std::int64_t v : scanned) {
      if (static_cast<std::int64_t>(taken.size()) == kChainPassing) break;
      taken.push_back(v);
    }
    return static_cast<std::int64_t>(taken.size()) == kChainPassing;
  };
  run();
  for (auto _ : state) {
    if (!run()) state.SkipWithError("the loops lost values");
    benchmark::DoNotOptimize(taken.back());
  }
  state.SetItemsProcessed(state.iterations() * kChainValues);
}
BENCHMARK(BM_PlainLoopsOverIntegers)->Unit(benchmark::kMillisecond)->Repetitions(5);

constexpr int kBatch = 1000;

// Values sent on a background queue, delivered on the main thread through deliverOnMainThread.
void BM_DeliverOnMainThreadHop(benchmark::State& state) {
  RFSubjectPtr subject = RFSubject::subject();
  std::atomic<int> delivered{0};
  subject->deliverOnMainThread()->subscribeNext(
      [&](const Value&) { delivered.fetch_add(1, std::memory_order_relaxed); });
  auto sender = platform::DispatchQueue::createSerial("bench.sender");
  for (auto _ : state) {
    delivered = 0;
    sender->async([&] {
      for (int i = 0; i < kBatch; ++i) subject->sendNext(Value(i));
    });
    platform::runMainLoopUntil([&] { return delivered.load() == kBatch; }, 60);
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_DeliverOnMainThreadHop)->UseRealTime();

void BM_MainQueueAsync(benchmark::State& state) {
  std::atomic<int> delivered{0};
  auto sender = platform::DispatchQueue::createSerial("bench.sender");
  for (auto _ : state) {
    delivered = 0;
    sender->async([&] {
      for (int i = 0; i < kBatch; ++i)
        platform::DispatchQueue::main()->async([&delivered, v = Value(i)] {
          benchmark::DoNotOptimize(v);
          delivered.fetch_add(1, std::memory_order_relaxed);
        });
    });
    platform::runMainLoopUntil([&] { return delivered.load() == kBatch; }, 60);
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_MainQueueAsync)->UseRealTime();

}  // namespace

ZORVEL_BENCH_MAIN({{"BM_SubjectSend/1", "BM_FunctionLoop/1", 0.33},
                   {"BM_SubjectSubscribeDispose/0", "BM_CallbackListAddRemove/0", 0, 1000},
                   {"BM_SubjectSubscribeDispose/100", "BM_CallbackListAddRemove/100", 0, 1000},
                   {"BM_SubjectSend/100", "BM_FunctionLoop/100", 0},
                   {"BM_SubjectSend/1000", "BM_FunctionLoop/1000", 0},
                   {"BM_OperatorChain", "BM_PlainLoops", 0.1},
                   {"BM_OperatorChain", "BM_PlainLoopsOverIntegers", 0},
                   {"BM_DeliverOnMainThreadHop/real_time", "BM_MainQueueAsync/real_time", 0}})
