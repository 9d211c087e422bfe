// Property access by key (valueForKey / setValueForKey) against direct getter and setter calls
// on an object with ten properties.

#include <string>

#include "bench/support/compare.h"
#include "platform/runtime/kvc.h"
#include "platform/runtime/object.h"
#include "platform/runtime/properties.h"
#include "platform/runtime/value.h"

namespace {

class BenchRecord : public platform::Object {
  ZORVEL_CLASS(BenchRecord, platform::Object)
 public:
  ZORVEL_PROPERTY(std::int64_t, p0, setP0)
  ZORVEL_PROPERTY(std::int64_t, p1, setP1)
  ZORVEL_PROPERTY(std::int64_t, p2, setP2)
  ZORVEL_PROPERTY(std::int64_t, p3, setP3)
  ZORVEL_PROPERTY(std::int64_t, p4, setP4)
  ZORVEL_PROPERTY(double, p5, setP5)
  ZORVEL_PROPERTY(double, p6, setP6)
  ZORVEL_PROPERTY(bool, p7, setP7)
  ZORVEL_PROPERTY(std::string, p8, setP8, platform::Copy)
  ZORVEL_PROPERTY(std::string, p9, setP9, platform::Copy)
};

const char* const kKeys[] = {"p0", "p1", "p2", "p3", "p4", "p5", "p6", "p7", "p8", "p9"};

void BM_KeyValueCoding(benchmark::State& state) {
  auto record = platform::make<BenchRecord>();
  const platform::Value text("text");
  std::int64_t i = 0;
  for (auto _ : state) {
    for (int k = 0; k < 10; ++k) {
      if (k >= 8)
        record->setValueForKey(text, kKeys[k]);
      else
        record->setValueForKey(platform::Value(i), kKeys[k]);
      platform::Value v = record->valueForKey(kKeys[k]);
      benchmark::DoNotOptimize(v);
    }
    ++i;
  }
  state.SetItemsProcessed(state.iterations() * 20);
}
BENCHMARK(BM_KeyValueCoding);

void BM_DirectAccessors(benchmark::State& state) {
  auto record = platform::make<BenchRecord>();
  const std::string text("text");
  std::int64_t i = 0;
  for (auto _ : state) {
    record->setP0(i);
    benchmark::DoNotOptimize(record->p0());
    record->setP1(i);
    benchmark::DoNotOptimize(record->p1());
    record->setP2(i);
    benchmark::DoNotOptimize(record->p2());
    record->setP3(i);
    benchmark::DoNotOptimize(record->p3());
    record->setP4(i);
    benchmark::DoNotOptimize(record->p4());
    record->setP5(static_cast<double>(i));
    benchmark::DoNotOptimize(record->p5());
    record->setP6(static_cast<double>(i));
    benchmark::DoNotOptimize(record->p6());
    record->setP7((i & 1) != 0);
    benchmark::DoNotOptimize(record->p7());
    record->setP8(text);
    benchmark::DoNotOptimize(record->p8());
    record->setP9(text);
    benchmark::DoNotOptimize(record->p9());
    benchmark::ClobberMemory();
    ++i;
  }
  state.SetItemsProcessed(state.iterations() * 20);
}
BENCHMARK(BM_DirectAccessors);

}  // namespace

ZORVEL_BENCH_MAIN({{"BM_KeyValueCoding", "BM_DirectAccessors", 0}})
