#pragma once

// Runs the registered benchmarks and prints, after them, one "RATIO" line per comparison of two
// benchmarks measured in the same run (items per second of the first over the second), plus an
// optional goal for the ratio and an optional goal for the subject's own time per item. A
// benchmark run with repetitions is taken at its median. Use
// ZORVEL_BENCH_MAIN({{"subject", "baseline", goal, maxNanosPerItem}, ...}) instead of
// BENCHMARK_MAIN().

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace zorvel::bench {

struct Comparison {
  std::string subject;
  std::string baseline;
  double goal = 0;  // 0: no goal; else the least acceptable ratio
  double maxNanosPerItem = 0;  // 0: no goal; else the most time one item of the subject may take
};

class CollectingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.run_type == Run::RT_Aggregate && !median) continue;
      // The median of repetitions stands for the benchmark; single runs only until it comes.
      benchmark::BenchmarkName plain = run.run_name;
      plain.repetitions.clear();  // "/repeats:N" is not part of the name comparisons use
      std::string name = plain.str();
      if (!median && medians.count(name)) continue;
      auto it = run.counters.find("items_per_second");
      if (it != run.counters.end()) itemsPerSecond[name] = it->second.value;
      else if (run.iterations > 0) itemsPerSecond[name] = 1.0 / (run.GetAdjustedRealTime() * 1e-9);
      if (median) medians.insert(name);
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> itemsPerSecond;
  std::set<std::string> medians;
};

inline int runAndCompare(int argc, char** argv, const std::vector<Comparison>& comparisons) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  CollectingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  for (const Comparison& c : comparisons) {
    auto a = reporter.itemsPerSecond.find(c.subject);
    auto b = reporter.itemsPerSecond.find(c.baseline);
    if (a == reporter.itemsPerSecond.end() || b == reporter.itemsPerSecond.end() || b->second == 0) continue;
    double ratio = a->second / b->second;
    std::printf("RATIO %s vs %s: %.2fx", c.subject.c_str(), c.baseline.c_str(), ratio);
    if (c.goal > 0) std::printf(" (goal >= %.2fx: %s)", c.goal, ratio >= c.goal ? "met" : "not met");
    if (c.maxNanosPerItem > 0) {
      double nanos = 1e9 / a->second;
      std::printf("; %.0f ns per item (goal <= %.0f ns: %s)", nanos, c.maxNanosPerItem,
                  nanos <= c.maxNanosPerItem ? "met" : "not met");
    }
    std::printf("\n");
  }
  benchmark::Shutdown();
  return 0;
}

}  // namespace zorvel::bench

#define ZORVEL_BENCH_MAIN(...)                                              \
  int main(int argc, char** argv) {                                         \
    return zorvel::bench::runAndCompare(argc, argv, __VA_ARGS__);           \
  }
