#pragma once

// Runs the registered benchmarks and prints, after them, one "RATIO" line per comparison of two
// benchmarks measured in the same run (items per second of the first over the second, each taken at
// the median of its repetitions), plus an optional goal for the ratio and an optional goal for the
// subject's own time per item. Use
// ZORVEL_BENCH_MAIN({{"subject", "baseline", goal, maxNanosPerItem}, ...}) instead of
// BENCHMARK_MAIN().
//
// Unless the command line says otherwise, every benchmark runs 5 repetitions and the repetitions of
// all benchmarks are interleaved in random order, so that a subject and its baseline see the same
// machine load. Names in comparisons are the plain run names ("BM_X/8/real_time"), without
// "/repeats:N" or an aggregate suffix.
//
// A benchmark that fails (state.SkipWithError, or the exception helper runGuarded below) has no
// figure: its comparisons say so and the program exits with status 1, as it does when a compared
// name never ran.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zorvel::bench {

struct Comparison {
  Comparison(std::string subject, std::string baseline, double goal = 0, double maxNanosPerItem = 0,
             std::string referenceSubject = {}, std::string referenceBaseline = {})
      : subject(std::move(subject)),
        baseline(std::move(baseline)),
        goal(goal),
        maxNanosPerItem(maxNanosPerItem),
        referenceSubject(std::move(referenceSubject)),
        referenceBaseline(std::move(referenceBaseline)) {}

  std::string subject;
  std::string baseline;
  double goal = 0;             // 0: no goal; else the least acceptable ratio
  double maxNanosPerItem = 0;  // 0: no goal; else the most time one item of the subject may take
  // When both are set, the line compares two scalings: subject over baseline, against
  // referenceSubject over referenceBaseline (e.g. the store's 4-reader over 1-reader rate against
  // raw SQLite's).
  std::string referenceSubject;
  std::string referenceBaseline;
};

// Runs `body` (which holds the benchmark's loop); an exception from it fails the benchmark with its
// message instead of ending the program, so the report names the benchmark that failed.
template <class Body>
void runGuarded(benchmark::State& state, Body&& body) {
  try {
    body();
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
  }
}

// "BM_X/repeats:5/real_time_median" and "BM_X/real_time" name the same benchmark.
inline std::string plainRunName(std::string name) {
  const std::string_view suffix = "_median";
  if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
    name.resize(name.size() - suffix.size());
  const std::size_t repeats = name.find("/repeats:");
  if (repeats != std::string::npos) {
    const std::size_t end = name.find('/', repeats + 1);
    name.erase(repeats, end == std::string::npos ? std::string::npos : end - repeats);
  }
  return name;
}

class CollectingReporter : public benchmark::ConsoleReporter {
 public:
  using benchmark::ConsoleReporter::ConsoleReporter;

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      benchmark::BenchmarkName plain = run.run_name;
      plain.repetitions.clear();
      const std::string name = plain.str();
      Figures& figures = byName[name];
      if (run.error_occurred) {
        figures.error = run.error_message.empty() ? "failed" : run.error_message;
        continue;
      }
      if (run.run_type == Run::RT_Aggregate) {
        // Only used where the repetitions themselves were not reported (ReportAggregatesOnly).
        if (run.aggregate_name == "median") figures.reportedMedian = itemsPerSecondOf(run);
        continue;
      }
      figures.repetitions.push_back(itemsPerSecondOf(run));
    }
    ConsoleReporter::ReportRuns(runs);
  }

  struct Figures {
    std::vector<double> repetitions;  // items per second of each repetition
    double reportedMedian = 0;
    std::string error;

    std::size_t count() const { return repetitions.empty() ? (reportedMedian > 0 ? 1 : 0) : repetitions.size(); }
    double median() const {
      if (repetitions.empty()) return reportedMedian;
      std::vector<double> sorted = repetitions;
      std::sort(sorted.begin(), sorted.end());
      const std::size_t n = sorted.size();
      return n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
    }
  };
  std::map<std::string, Figures> byName;

 private:
  static double itemsPerSecondOf(const Run& run) {
    auto it = run.counters.find("items_per_second");
    if (it != run.counters.end()) return it->second.value;
    if (run.iterations > 0 && run.real_accumulated_time > 0) return run.iterations / run.real_accumulated_time;
    return 0;
  }
};

inline bool hasFlag(int argc, char** argv, std::string_view flag) {
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg.substr(0, flag.size()) == flag && (arg.size() == flag.size() || arg[flag.size()] == '=')) return true;
  }
  return false;
}

// The console's colours as --benchmark_color asks (true/yes/1, false/no/0, auto; default auto: on
// for a terminal only). The library applies the flag to its own reporter only.
inline bool wantsColor(int argc, char** argv) {
  std::string value = "auto";
  const std::string_view flag = "--benchmark_color=";
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg.substr(0, flag.size()) == flag) value = std::string(arg.substr(flag.size()));
  }
  if (value == "true" || value == "yes" || value == "1") return true;
  if (value == "false" || value == "no" || value == "0") return false;
  const char* term = std::getenv("TERM");
  return ::isatty(STDOUT_FILENO) && term && std::string_view(term) != "dumb";
}

inline int runAndCompare(int argc, char** argv, const std::vector<Comparison>& comparisons) {
  std::vector<char*> args(argv, argv + argc);
  std::string repetitions = "--benchmark_repetitions=5";
  std::string interleaving = "--benchmark_enable_random_interleaving=true";
  if (!hasFlag(argc, argv, "--benchmark_repetitions")) args.push_back(repetitions.data());
  if (!hasFlag(argc, argv, "--benchmark_enable_random_interleaving")) args.push_back(interleaving.data());
  const bool color = wantsColor(argc, argv);
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
  CollectingReporter reporter(color ? benchmark::ConsoleReporter::OO_ColorTabular
                                    : benchmark::ConsoleReporter::OO_Tabular);
  benchmark::RunSpecifiedBenchmarks(&reporter);

  int status = 0;
  // The median rate of one named benchmark, or an explanation of why there is none.
  auto rateOf = [&](const std::string& name, std::string& why) -> double {
    auto it = reporter.byName.find(plainRunName(name));
    if (it == reporter.byName.end()) {
      // A filtered run (--benchmark_filter) may leave a side out on purpose; that is no failure.
      why = "not measured (" + name + " did not run)";
      if (!hasFlag(argc, argv, "--benchmark_filter")) status = 1;
      return 0;
    }
    if (!it->second.error.empty()) {
      why = "FAILED (" + name + ": " + it->second.error + ")";
      status = 1;
      return 0;
    }
    const double rate = it->second.median();
    if (rate <= 0) {
      why = "FAILED (" + name + ": no items per second measured)";
      status = 1;
    }
    return rate;
  };
  auto countOf = [&](const std::string& name) { return reporter.byName[plainRunName(name)].count(); };

  for (const Comparison& c : comparisons) {
    const bool scaling = !c.referenceSubject.empty() && !c.referenceBaseline.empty();
    if (scaling)
      std::printf("RATIO %s over %s vs %s over %s: ", c.subject.c_str(), c.baseline.c_str(), c.referenceSubject.c_str(),
                  c.referenceBaseline.c_str());
    else
      std::printf("RATIO %s vs %s: ", c.subject.c_str(), c.baseline.c_str());
    std::string why;
    const double subjectRate = rateOf(c.subject, why);
    const double baselineRate = why.empty() ? rateOf(c.baseline, why) : 0;
    double ratio = why.empty() ? subjectRate / baselineRate : 0;
    if (scaling && why.empty()) {
      const double referenceRate = rateOf(c.referenceSubject, why);
      const double referenceBaseRate = why.empty() ? rateOf(c.referenceBaseline, why) : 0;
      if (why.empty()) ratio /= referenceRate / referenceBaseRate;
    }
    if (!why.empty()) {
      std::printf("%s\n", why.c_str());
      continue;
    }
    std::printf("%.2fx, medians of %zu and %zu repetitions", ratio, countOf(c.subject), countOf(c.baseline));
    if (c.goal > 0) std::printf(" (goal >= %.2fx: %s)", c.goal, ratio >= c.goal ? "met" : "not met");
    if (c.maxNanosPerItem > 0) {
      const double nanos = 1e9 / subjectRate;
      std::printf("; %.0f ns per item (goal <= %.0f ns: %s)", nanos, c.maxNanosPerItem,
                  nanos <= c.maxNanosPerItem ? "met" : "not met");
    }
    std::printf("\n");
  }
  benchmark::Shutdown();
  return status;
}

}  // namespace zorvel::bench

#define ZORVEL_BENCH_MAIN(...) \
  int main(int argc, char** argv) { return zorvel::bench::runAndCompare(argc, argv, __VA_ARGS__); }
