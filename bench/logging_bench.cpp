// The logging hub: the store's failure call with no logger registered, and asynchronous logging to
// one logger that formats into memory beside spdlog's asynchronous logger doing the same; the
// rolling file logger writing lines to a file beside spdlog's asynchronous rotating file sink.

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <string>
#include <thread>

#include "bench/support/compare.h"
#include "logging/file_logger.h"
#include "logging/log.h"
#include "logging/logger.h"
#include "tests/support/temp_dir.h"

#if __has_include(<spdlog/async.h>)
#define ZORVEL_HAVE_SPDLOG 1
#include <spdlog/async.h>
#include <spdlog/async_logger.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>
#endif

namespace {

constexpr int kBatch = 1000;

// The store's call on every failure: synchronous, level 3, context 27017, with the source file's
// name first in the text. Nothing is registered, so the message is built, queued and dropped.
void storeCall(int code) {
  LGLog::log(false, 3, LGLogFlagError, 27017, __FILE__, __PRETTY_FUNCTION__, __LINE__, {},
             "%@: Error executing 'getDataForKeyStatement': %d %s", LGFileNameWithoutExtension(__FILE__, false), code,
             "database is locked");
}

// As the store makes it: from a block on a connection's serial queue.
void BM_LGLogStoreCallNoLogger(benchmark::State& state) {
  auto connectionQueue = platform::DispatchQueue::createSerial("com.zorvel.bench.connection");
  connectionQueue->sync([&] {
    for (auto _ : state) storeCall(5);
  });
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LGLogStoreCallNoLogger);

// The same call from a thread outside any queue.
void BM_LGLogStoreCallNoLoggerOffQueue(benchmark::State& state) {
  for (auto _ : state) storeCall(5);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LGLogStoreCallNoLoggerOffQueue);

// "[YYYY-MM-DD hh:mm:ss.mmm] [bench] [info] text\n", the date part kept per second as spdlog does.
class LineFormatter {
 public:
  void format(double secondsSince1970, const std::string& name, std::string_view text, std::string& out) {
    auto seconds = static_cast<std::time_t>(secondsSince1970);
    int millis = static_cast<int>((secondsSince1970 - static_cast<double>(seconds)) * 1000);
    if (seconds != cachedSecond_) {
      std::tm parts{};
      localtime_r(&seconds, &parts);
      std::strftime(cachedText_, sizeof cachedText_, "%Y-%m-%d %H:%M:%S", &parts);
      cachedSecond_ = seconds;
    }
    char ms[8];
    std::snprintf(ms, sizeof ms, ".%03d", millis);
    out.clear();
    out += '[';
    out += cachedText_;
    out += ms;
    out += "] [";
    out += name;
    out += "] [info] ";
    out += text;
    out += '\n';
  }

 private:
  std::time_t cachedSecond_ = -1;
  char cachedText_[32] = {};
};

class MemoryLogger : public LGAbstractLogger {
 public:
  void logMessage(const LGLogMessagePtr& message) override {
    formatter_.format(message->timestamp().timeIntervalSince1970(), name_, message->message(), line_);
    bytes_ += line_.size();
    processed.fetch_add(1, std::memory_order_release);
  }
  std::atomic<std::int64_t> processed{0};

 private:
  LineFormatter formatter_;
  std::string name_ = "bench";
  std::string line_;
  std::size_t bytes_ = 0;
};

void waitFor(const std::atomic<std::int64_t>& counter, std::int64_t target) {
  while (counter.load(std::memory_order_acquire) < target) std::this_thread::yield();
}

// kBatch info messages "value <i> of bench", logged asynchronously.
void logBatch() {
  for (int i = 0; i < kBatch; ++i)
    LGLog::log(true, LGLogFlagInfo, LGLogFlagInfo, 0, __FILE__, __func__, __LINE__, {}, "value %d of %s", i, "bench");
}

void BM_LGLogAsyncToMemory(benchmark::State& state) {
  auto logger = platform::make<MemoryLogger>();
  LGLog::addLogger(logger, LGLogFlagInfo);
  std::int64_t sent = 0;
  for (auto _ : state) {
    logBatch();
    sent += kBatch;
    waitFor(logger->processed, sent);
  }
  state.SetItemsProcessed(sent);
  LGLog::removeLogger(logger);
  LGLog::flushLog();
}
BENCHMARK(BM_LGLogAsyncToMemory)->UseRealTime();

#ifdef ZORVEL_HAVE_SPDLOG
class MemorySink : public spdlog::sinks::base_sink<spdlog::details::null_mutex> {
 public:
  std::atomic<std::int64_t> processed{0};

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    buffer_.clear();
    formatter_->format(msg, buffer_);
    bytes_ += buffer_.size();
    processed.fetch_add(1, std::memory_order_release);
  }
  void flush_() override {}

 private:
  spdlog::memory_buf_t buffer_;
  std::size_t bytes_ = 0;
};

void BM_SpdlogAsyncToMemory(benchmark::State& state) {
  auto pool = std::make_shared<spdlog::details::thread_pool>(8192, 1);
  auto sink = std::make_shared<MemorySink>();
  auto logger = std::make_shared<spdlog::async_logger>("bench", sink, pool, spdlog::async_overflow_policy::block);
  logger->set_pattern("[%Y-%m-%d %H:%M:%S.%e] [%n] [%l] %v");
  logger->set_level(spdlog::level::info);
  std::int64_t sent = 0;
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) logger->info("value {} of {}", i, "bench");
    sent += kBatch;
    waitFor(sink->processed, sent);
  }
  state.SetItemsProcessed(sent);
}
BENCHMARK(BM_SpdlogAsyncToMemory)->UseRealTime();
#endif

// --- Rolling file logger -------------------------------------------------------------------------

constexpr std::uint64_t kRollBytes = 10 * 1024 * 1024;

// Lines "<yyyy/MM/dd HH:mm:ss:SSS>  value <i> of bench" through the hub to the file logger, each
// line reaching the file (one write(2)) before the next; files roll at 10 MiB, five kept.
void BM_LGFileLogger(benchmark::State& state) {
  zorvel::test::TempDir folder{"zorvel-bench"};
  auto manager = std::make_shared<LGLogFileManagerDefault>(folder.path().string());
  auto logger = platform::make<LGFileLogger>(manager);
  logger->setMaximumFileSize(kRollBytes);
  LGLog::addLogger(logger, LGLogFlagInfo);
  std::int64_t sent = 0;
  for (auto _ : state) {
    logBatch();
    sent += kBatch;
    LGLog::flushLog();  // returns once every line queued so far is in the file
  }
  state.SetItemsProcessed(sent);
  LGLog::removeLogger(logger);
  LGLog::flushLog();
  logger->maximumFileSize();  // the last roll has run
}
BENCHMARK(BM_LGFileLogger)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true);

#ifdef ZORVEL_HAVE_SPDLOG
// The same lines through spdlog's asynchronous logger and rotating file sink. flushEach: every line
// goes to the file before the next (as the file logger does); otherwise lines wait in stdio's buffer.
void spdlogToFile(benchmark::State& state, bool flushEach) {
  zorvel::test::TempDir folder{"zorvel-bench"};
  try {
    auto pool = std::make_shared<spdlog::details::thread_pool>(8192, 1);
    auto sink = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(folder.file("bench.log"), kRollBytes, 5);
    auto logger = std::make_shared<spdlog::async_logger>("bench", sink, pool, spdlog::async_overflow_policy::block);
    logger->set_pattern("%Y/%m/%d %H:%M:%S:%e  %v");
    logger->set_level(spdlog::level::info);
    if (flushEach) logger->flush_on(spdlog::level::info);
    std::int64_t sent = 0;
    for (auto _ : state) {
      for (int i = 0; i < kBatch; ++i) logger->info("value {} of {}", i, "bench");
      sent += kBatch;
      logger->flush();  // queued behind the lines: returns once they are written
    }
    state.SetItemsProcessed(sent);
  } catch (const std::exception& e) {
    state.SkipWithError(("spdlog failed: " + std::string(e.what())).c_str());
  }
}
void BM_SpdlogRotatingFileFlushEach(benchmark::State& state) { spdlogToFile(state, true); }
void BM_SpdlogRotatingFileBuffered(benchmark::State& state) { spdlogToFile(state, false); }
BENCHMARK(BM_SpdlogRotatingFileFlushEach)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_SpdlogRotatingFileBuffered)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true);
#endif

}  // namespace

#define MEDIAN(name) name "/repeats:5/real_time_median"
ZORVEL_BENCH_MAIN({{"BM_LGLogAsyncToMemory/real_time", "BM_SpdlogAsyncToMemory/real_time", 0},
                   {MEDIAN("BM_LGFileLogger"), MEDIAN("BM_SpdlogRotatingFileFlushEach"), 1.0},
                   {MEDIAN("BM_LGFileLogger"), MEDIAN("BM_SpdlogRotatingFileBuffered"), 0}})
