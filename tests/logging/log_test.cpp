#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "logging/log.h"
#include "logging/log_test_support.h"
#include "platform/runtime/methods.h"
#include "platform/runtime/thread.h"
#include "platform/system/diagnostics.h"

using logtest::Gate;
using logtest::HubTest;
using logtest::RecordingLogger;
using logtest::waitUntil;

namespace {

void logText(bool asynchronous, std::uint64_t flag, const std::string& text, std::int64_t context = 0) {
  LGLog::logMessage(asynchronous, text, LGLogLevelAll, flag, context, __FILE__, __func__, __LINE__);
}

std::vector<std::string> texts(const std::vector<LGLogMessagePtr>& messages) {
  std::vector<std::string> out;
  for (const auto& m : messages) out.push_back(m->message());
  return out;
}

}  // namespace

// --- File names ----------------------------------------------------------------------------------

TEST(LGFileNameWithoutExtension, TakesLastComponentUpToLastDot) {
  struct Case {
    const char* path;
    const char* name;
  };
  const Case cases[] = {
      {"/a/b/File.m", "File"},
      {"File.m", "File"},
      {"/a/b/Makefile", "Makefile"},
      {"/a/b/archive.tar.gz", "archive.tar"},
      {"/x/DizEvozidiz/DizEvozidizConnection.m", "DizEvozidizConnection"},
      {"/a.b/Makefile", "Makefile"},  // the dot belongs to a folder
      {"/a/b/", ""},
      {".profile", ""},
      {"", ""},
  };
  for (const Case& c : cases) {
    for (bool copy : {false, true}) {
      SCOPED_TRACE(std::string(c.path) + (copy ? " (copy)" : " (no copy)"));
      LGFileName name = LGFileNameWithoutExtension(c.path, copy);
      ASSERT_FALSE(name.isNil());
      EXPECT_EQ(name.view(), c.name);
      EXPECT_EQ(name.description(), c.name);
    }
  }
}

TEST(LGFileNameWithoutExtension, NullPathGivesNil) {
  for (bool copy : {false, true}) {
    LGFileName name = LGFileNameWithoutExtension(nullptr, copy);
    EXPECT_TRUE(name.isNil());
    EXPECT_FALSE(name.string().has_value());
    EXPECT_EQ(name.description(), "(null)");
    EXPECT_EQ(platform::format("%@: x", name), "(null): x");
  }
}

TEST(LGFileNameWithoutExtension, CopyOwnsBytesWhileNoCopyPointsIntoThePath) {
  char path[] = "/src/Store.m";
  LGFileName view = LGFileNameWithoutExtension(path, false);
  LGFileName copied = LGFileNameWithoutExtension(path, true);
  EXPECT_EQ(view.view().data(), path + 5);
  std::memcpy(path + 5, "Shelf", 5);
  EXPECT_EQ(view.view(), "Shelf");
  EXPECT_EQ(copied.view(), "Store");
  LGFileName moved = std::move(copied);
  EXPECT_EQ(moved.view(), "Store");
  EXPECT_EQ(platform::format("%@: failed", moved), "Store: failed");
}

// --- Messages ------------------------------------------------------------------------------------

TEST(LGLogMessage, KeepsEveryFieldAsGiven) {
  platform::Date when = platform::Date::fromTimeIntervalSinceReferenceDate(12345.5);
  LGLogMessage m("text", 3, LGLogFlagWarning, 27017, std::string("/x/y/File.m"), std::string("-[A b]"), 42,
                 platform::Value("tag"), LGLogMessageCopyFile | LGLogMessageCopyFunction, when);
  EXPECT_EQ(m.message(), "text");
  EXPECT_EQ(m.level(), 3u);
  EXPECT_EQ(m.flag(), LGLogFlagWarning);
  EXPECT_EQ(m.context(), 27017);
  EXPECT_EQ(m.file(), "/x/y/File.m");
  EXPECT_EQ(m.fileName(), "File");
  EXPECT_EQ(m.function(), "-[A b]");
  EXPECT_EQ(m.line(), 42u);
  EXPECT_EQ(m.tag(), platform::Value("tag"));
  EXPECT_EQ(m.options(), 3);
  EXPECT_EQ(m.timestamp(), when);
  EXPECT_EQ(m.threadID(), std::to_string(platform::currentThreadId()));
}

TEST(LGLogMessage, NilFileGivesNilFileNameAndMissingTimestampMeansNow) {
  platform::Date before = platform::Date::now();
  LGLogMessage m("text", 1, 1, 0, std::nullopt, std::nullopt, 0);
  platform::Date after = platform::Date::now();
  EXPECT_FALSE(m.file().has_value());
  EXPECT_FALSE(m.fileName().has_value());
  EXPECT_FALSE(m.function().has_value());
  EXPECT_TRUE(m.tag().isNil());
  EXPECT_GE(m.timestamp(), before);
  EXPECT_LE(m.timestamp(), after);
}

TEST(LGLogMessage, CarriesTheLabelOfTheQueueItIsMadeOn) {
  auto make = [] { return std::make_shared<LGLogMessage>("m", 1, 1, 0, std::nullopt, std::nullopt, 0); };

  EXPECT_EQ(make()->queueLabel(), "com.apple.main-thread");  // the test body runs on the main thread

  std::shared_ptr<LGLogMessage> onQueue;
  platform::DispatchQueue::createSerial("com.example.sender")->sync([&] { onQueue = make(); });
  EXPECT_EQ(onQueue->queueLabel(), "com.example.sender");

  std::shared_ptr<LGLogMessage> unlabelled;
  platform::DispatchQueue::createSerial()->sync([&] { unlabelled = make(); });
  EXPECT_EQ(unlabelled->queueLabel(), "");

  std::shared_ptr<LGLogMessage> onThread;
  std::string threadID;
  std::thread([&] {
    platform::setCurrentThreadName("log-sender");
    threadID = std::to_string(platform::currentThreadId());
    onThread = make();
  }).join();
  EXPECT_EQ(onThread->queueLabel(), "");
  EXPECT_EQ(onThread->threadName(), "log-sender");
  EXPECT_EQ(onThread->threadID(), threadID);
}

TEST(LGLogMessage, CopiesKeepEveryFieldAndCopyWithMessageReplacesOnlyTheText) {
  auto original = std::make_shared<const LGLogMessage>("first", 3, 2, 9, std::string("/p/F.m"), std::string("fn"), 7,
                                                       platform::Value(5), 1, std::nullopt);
  for (bool replace : {false, true}) {
    LGLogMessagePtr copy = replace ? original->copyWithMessage("second") : original->copy();
    EXPECT_NE(copy.get(), original.get());
    EXPECT_EQ(copy->message(), replace ? "second" : "first");
    EXPECT_EQ(copy->level(), original->level());
    EXPECT_EQ(copy->flag(), original->flag());
    EXPECT_EQ(copy->context(), original->context());
    EXPECT_EQ(copy->file(), original->file());
    EXPECT_EQ(copy->fileName(), original->fileName());
    EXPECT_EQ(copy->function(), original->function());
    EXPECT_EQ(copy->line(), original->line());
    EXPECT_EQ(copy->tag(), original->tag());
    EXPECT_EQ(copy->options(), original->options());
    EXPECT_EQ(copy->timestamp(), original->timestamp());
    EXPECT_EQ(copy->threadID(), original->threadID());
    EXPECT_EQ(copy->threadName(), original->threadName());
    EXPECT_EQ(copy->queueLabel(), original->queueLabel());
  }
  EXPECT_EQ(original->message(), "first");
}

// --- Registry ------------------------------------------------------------------------------------

using LGLogRegistry = HubTest;

TEST_F(LGLogRegistry, SameLoggerAtSameLevelIsRegisteredOnce) {
  auto logger = platform::make<RecordingLogger>();
  LGLog::addLogger(logger, 3);
  LGLog::addLogger(logger, 3);
  auto loggers = LGLog::allLoggers();  // right after adding, from the same thread
  ASSERT_EQ(loggers.size(), 1u);
  EXPECT_EQ(loggers[0], logger);
  logText(false, LGLogFlagError, "once");
  EXPECT_EQ(texts(logger->messages()), std::vector<std::string>{"once"});
}

TEST_F(LGLogRegistry, SameLoggerAtTwoLevelsHasTwoEntriesAndRemovalTakesTheEarliest) {
  auto logger = platform::make<RecordingLogger>();
  LGLog::addLogger(logger, LGLogFlagError);
  LGLog::addLogger(logger, LGLogFlagWarning);
  auto entries = LGLog::allLoggersWithLevel();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].logger, logger);
  EXPECT_EQ(entries[0].level, LGLogFlagError);
  EXPECT_EQ(entries[1].logger, logger);
  EXPECT_EQ(entries[1].level, LGLogFlagWarning);
  EXPECT_EQ(LGLog::allLoggers().size(), 2u);

  logText(false, LGLogFlagError, "error");
  logText(false, LGLogFlagWarning, "warning");
  EXPECT_EQ(texts(logger->messages()), (std::vector<std::string>{"error", "warning"}));

  LGLog::removeLogger(logger);
  entries = LGLog::allLoggersWithLevel();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].level, LGLogFlagWarning);
  logText(false, LGLogFlagError, "error after removal");
  logText(false, LGLogFlagWarning, "warning after removal");
  EXPECT_EQ(texts(logger->messages()), (std::vector<std::string>{"error", "warning", "warning after removal"}));
}

TEST_F(LGLogRegistry, OverlappingEntriesDeliverOncePerMatchingEntry) {
  auto logger = platform::make<RecordingLogger>();
  LGLog::addLogger(logger, 3);
  LGLog::addLogger(logger, LGLogFlagError);
  logText(false, LGLogFlagError, "twice");
  logText(false, LGLogFlagWarning, "once");
  EXPECT_EQ(texts(logger->messages()), (std::vector<std::string>{"twice", "twice", "once"}));
}

TEST_F(LGLogRegistry, NullLoggersAndUnknownRemovalsChangeNothing) {
  auto logger = platform::make<RecordingLogger>();
  LGLog::addLogger(logger);
  LGLog::addLogger(nullptr);
  LGLog::removeLogger(nullptr);
  LGLog::removeLogger(platform::make<RecordingLogger>());
  auto entries = LGLog::allLoggersWithLevel();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].logger, logger);
  EXPECT_EQ(entries[0].level, LGLogLevelAll);
}

TEST_F(LGLogRegistry, HooksRunOnTheLoggersQueueAroundItsMessages) {
  auto first = platform::make<RecordingLogger>();
  auto second = platform::make<RecordingLogger>();
  LGLog::addLogger(first);
  LGLog::addLogger(second);
  logText(false, LGLogFlagInfo, "hello");
  LGLog::removeLogger(first);
  LGLog::removeAllLoggers();
  EXPECT_TRUE(LGLog::allLoggers().empty());
  ASSERT_TRUE(waitUntil([&] { return first->eventCount("willRemove") == 1 && second->eventCount("willRemove") == 1; }));
  for (const auto& logger : {first, second}) {
    EXPECT_EQ(logger->events(), (std::vector<std::string>{"didAdd", "message", "willRemove"}));
    EXPECT_FALSE(logger->ranOffQueue());
  }
}

// A logger that is not an LGAbstractLogger: the hub makes its queue, named after it when it
// answers loggerName, or takes the queue it offers.
class PlainLogger : public LGLogger {
 public:
  PlainLogger(std::optional<std::string> name, platform::DispatchQueuePtr queue)
      : name_(std::move(name)), queue_(std::move(queue)) {}
  void logMessage(const LGLogMessagePtr&) override {
    std::lock_guard lock(mutex_);
    labels_.push_back(platform::DispatchQueue::currentQueueLabel());
  }
  std::shared_ptr<LGLogFormatter> logFormatter() override { return nullptr; }
  void setLogFormatter(std::shared_ptr<LGLogFormatter>) override {}
  bool respondsTo(LGLoggerMethod method) const override {
    return (method == LGLoggerMethod::LoggerName && name_) || (method == LGLoggerMethod::LoggerQueue && queue_);
  }
  std::string loggerName() override { return *name_; }
  platform::DispatchQueuePtr loggerQueue() override { return queue_; }
  std::vector<std::string> labels() {
    std::lock_guard lock(mutex_);
    return labels_;
  }

 private:
  std::optional<std::string> name_;
  platform::DispatchQueuePtr queue_;
  std::mutex mutex_;
  std::vector<std::string> labels_;
};

TEST_F(LGLogRegistry, LoggerRunsOnTheQueueItOffersOrOneNamedAfterIt) {
  struct Case {
    std::optional<std::string> name;
    const char* offeredQueueLabel;  // null: offers none
    const char* expectedLabel;
  };
  const Case cases[] = {
      {std::nullopt, "com.example.offered", "com.example.offered"},
      {std::string("com.example.named"), "com.example.both", "com.example.both"},
      {std::string("com.example.named"), nullptr, "com.example.named"},
      {std::nullopt, nullptr, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expectedLabel);
    auto queue = c.offeredQueueLabel ? platform::DispatchQueue::createSerial(c.offeredQueueLabel) : nullptr;
    auto logger = std::make_shared<PlainLogger>(c.name, queue);
    LGLog::addLogger(logger);
    logText(false, LGLogFlagInfo, "where");
    LGLog::removeLogger(logger);
    EXPECT_EQ(logger->labels(), std::vector<std::string>{c.expectedLabel});
  }
}

// A logger whose state must never be touched by two threads at once: it notes how many of its
// calls overlapped.
class OneThreadLogger : public LGLogger {
 public:
  void logMessage(const LGLogMessagePtr&) override {
    int now = ++inside_;
    int seen = maxInside_.load();
    while (now > seen && !maxInside_.compare_exchange_weak(seen, now)) {
    }
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(2);
    while (std::chrono::steady_clock::now() < until) {
    }
    --inside_;
    ++calls_;
  }
  std::shared_ptr<LGLogFormatter> logFormatter() override { return nullptr; }
  void setLogFormatter(std::shared_ptr<LGLogFormatter>) override {}
  int maxInside() const { return maxInside_; }
  int calls() const { return calls_; }

 private:
  std::atomic<int> inside_{0};
  std::atomic<int> maxInside_{0};
  std::atomic<int> calls_{0};
};

TEST_F(LGLogRegistry, ALoggerAtTwoLevelsRunsOnOneQueue) {
  auto logger = std::make_shared<OneThreadLogger>();
  LGLog::addLogger(logger, LGLogFlagError);
  LGLog::addLogger(logger, LGLogFlagError | LGLogFlagWarning);
  for (int i = 0; i < 20; ++i) logText(true, LGLogFlagError, "both entries");
  LGLog::flushLog();
  EXPECT_EQ(logger->calls(), 40);
  EXPECT_EQ(logger->maxInside(), 1);
}

TEST_F(LGLogRegistry, AGivenLoggerQueueIsKeptAliveAndUsed) {
  auto logger = platform::make<RecordingLogger>();
  std::weak_ptr<platform::DispatchQueue> weak;
  {
    auto queue = platform::DispatchQueue::createSerial("com.zorvel.test.given");
    weak = queue;
    logger->setLoggerQueue(queue);
  }
  ASSERT_FALSE(weak.expired());
  EXPECT_EQ(logger->loggerQueue(), weak.lock());
  bool internal = false;
  weak.lock()->sync([&] { internal = logger->isOnInternalLoggerQueue(); });
  EXPECT_TRUE(internal);
  LGLog::addLogger(logger);
  logText(false, LGLogFlagInfo, "on the given queue");
  ASSERT_EQ(logger->count(), 1u);
  EXPECT_EQ(logger->messages()[0]->message(), "on the given queue");
  EXPECT_FALSE(logger->ranOffQueue());
  // Replacing it releases the old queue from the logger.
  logger->setLoggerQueue(nullptr);
  LGLog::removeAllLoggers();
  LGLog::flushLog();
  EXPECT_NE(logger->loggerQueue(), nullptr);
  EXPECT_EQ(logger->loggerQueue()->label(), "RecordingLogger");
}

// --- Delivery ------------------------------------------------------------------------------------

using LGLogDelivery = HubTest;

TEST_F(LGLogDelivery, EntryLevelMaskDecidesDelivery) {
  struct Case {
    std::uint64_t level;
    std::uint64_t flag;
    bool delivered;
  };
  const Case cases[] = {
      {3, LGLogFlagError, true},
      {3, LGLogFlagWarning, true},
      {3, LGLogFlagInfo, false},
      {3, LGLogFlagVerbose, false},
      {31, LGLogFlagVerbose, true},
      {31, 32, false},
      {LGLogLevelAll, LGLogFlagDebug, true},
      {LGLogLevelAll, 1ull << 63, true},
      {0, LGLogFlagError, false},
      {LGLogFlagInfo, LGLogFlagInfo, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "level " << c.level << " flag " << c.flag);
    auto logger = platform::make<RecordingLogger>();
    LGLog::addLogger(logger, c.level);
    logText(false, c.flag, "m");
    LGLog::removeLogger(logger);
    EXPECT_EQ(logger->count(), c.delivered ? 1u : 0u);
  }
}

TEST_F(LGLogDelivery, AddLoggerWithoutLevelReceivesEveryFlag) {
  auto logger = platform::make<RecordingLogger>();
  LGLog::addLogger(logger);
  for (std::uint64_t flag : {LGLogFlagError, LGLogFlagWarning, LGLogFlagInfo, LGLogFlagDebug, LGLogFlagVerbose})
    logText(false, flag, "m");
  EXPECT_EQ(logger->count(), 5u);
}

TEST_F(LGLogDelivery, FormatsTheTextAndPassesEveryFieldThrough) {
  auto logger = platform::make<RecordingLogger>();
  LGLog::addLogger(logger);
  const char* path = "/src/DizEvozidiz/DizEvozidizConnection.m";
  LGLog::log(false, 3, LGLogFlagError, 27017, path, "-[DizEvozidizConnection open]", 120, {}, "%@: SQLite error %d: %@",
             LGFileNameWithoutExtension(path, false), 5, std::string("database is locked"));
  LGLog::logMessage(false, "ready", 31, LGLogFlagInfo, -4, nullptr, nullptr, 1, platform::Value(7));
  const platform::FormatArg args[] = {platform::FormatArg::from(42)};
  LGLog::logArgs(false, 1, LGLogFlagWarning, 1, "f.m", "g", 2, {}, "n=%d", args);

  auto messages = logger->messages();
  ASSERT_EQ(messages.size(), 3u);
  const LGLogMessage& m = *messages[0];
  EXPECT_EQ(m.message(), "DizEvozidizConnection: SQLite error 5: database is locked");
  EXPECT_EQ(m.level(), 3u);
  EXPECT_EQ(m.flag(), LGLogFlagError);
  EXPECT_EQ(m.context(), 27017);
  EXPECT_EQ(m.file(), path);
  EXPECT_EQ(m.fileName(), "DizEvozidizConnection");
  EXPECT_EQ(m.function(), "-[DizEvozidizConnection open]");
  EXPECT_EQ(m.line(), 120u);
  EXPECT_TRUE(m.tag().isNil());
  EXPECT_EQ(m.options(), 0);
  EXPECT_EQ(m.threadID(), std::to_string(platform::currentThreadId()));
  EXPECT_EQ(m.queueLabel(), "com.apple.main-thread");

  // Null file and function read as "%s" prints them.
  EXPECT_EQ(messages[1]->file(), "(null)");
  EXPECT_EQ(messages[1]->function(), "(null)");
  EXPECT_EQ(messages[1]->tag(), platform::Value(7));
  EXPECT_EQ(messages[1]->context(), -4);
  EXPECT_EQ(messages[2]->message(), "n=42");
}

TEST_F(LGLogDelivery, NullFormatOrMessageLogsNothing) {
  auto logger = platform::make<RecordingLogger>();
  LGLog::addLogger(logger);
  LGLog::log(false, 3, LGLogFlagError, 0, __FILE__, __func__, __LINE__, {}, nullptr, 1, 2);
  LGLog::logArgs(false, 3, LGLogFlagError, 0, __FILE__, __func__, __LINE__, {}, nullptr, {});
  LGLog::log(false, LGLogMessagePtr());
  LGLog::flushLog();
  EXPECT_EQ(logger->count(), 0u);
}

TEST_F(LGLogDelivery, WithNoLoggerSynchronousCallsReturn) {
  for (int i = 0; i < 100; ++i)
    LGLog::log(false, 3, LGLogFlagError, 27017, __FILE__, __func__, __LINE__, {}, "%@: failed %d",
               LGFileNameWithoutExtension(__FILE__, false), i);
  LGLog::flushLog();
  EXPECT_TRUE(LGLog::allLoggers().empty());
}

TEST_F(LGLogDelivery, SynchronousCallReturnsAfterDeliveryAsynchronousBefore) {
  auto logger = platform::make<RecordingLogger>();
  logger->gate = std::make_shared<Gate>();
  std::atomic<bool> entered{false};
  logger->onMessage = [&](const LGLogMessagePtr&) { entered = true; };
  LGLog::addLogger(logger);

  logText(true, LGLogFlagInfo, "async");  // returns although the logger is held at its gate
  ASSERT_TRUE(waitUntil([&] { return entered.load(); }));
  EXPECT_EQ(logger->count(), 0u);
  logger->gate->open();

  logText(false, LGLogFlagInfo, "sync");
  EXPECT_EQ(texts(logger->messages()), (std::vector<std::string>{"async", "sync"}));
}

TEST_F(LGLogDelivery, MessagesReachEveryLoggerInQueueOrderOneMessageAtATime) {
  constexpr int kCount = 300;
  auto a = platform::make<RecordingLogger>();
  auto b = platform::make<RecordingLogger>();
  std::atomic<int> doneA{0}, doneB{0};
  std::atomic<bool> overtaken{false};
  // Message n may reach a logger only when the other one has finished every message before n.
  a->onMessage = [&](const LGLogMessagePtr& m) {
    if (doneB.load() < std::stoi(m->message())) overtaken = true;
    ++doneA;
  };
  b->onMessage = [&](const LGLogMessagePtr& m) {
    if (doneA.load() < std::stoi(m->message())) overtaken = true;
    ++doneB;
  };
  LGLog::addLogger(a);
  LGLog::addLogger(b);
  std::vector<std::string> expected;
  for (int i = 0; i < kCount; ++i) {
    expected.push_back(std::to_string(i));
    logText(i % 3 != 0, LGLogFlagInfo, expected.back());
  }
  LGLog::flushLog();
  EXPECT_EQ(texts(a->messages()), expected);
  EXPECT_EQ(texts(b->messages()), expected);
  EXPECT_FALSE(overtaken.load());
  EXPECT_FALSE(a->ranOffQueue());
  EXPECT_FALSE(b->ranOffQueue());
}

TEST_F(LGLogDelivery, RegistrationBeforeALogCallFromAnotherThreadIsInForce) {
  auto logger = platform::make<RecordingLogger>();
  LGLog::addLogger(logger);
  std::thread([] { logText(true, LGLogFlagInfo, "from another thread"); }).join();
  LGLog::flushLog();
  EXPECT_EQ(logger->count(), 1u);
}

TEST_F(LGLogDelivery, LoggerIsKeptAliveUntilItsQueuedWorkHasRun) {
  std::weak_ptr<RecordingLogger> weak;
  {
    auto logger = platform::make<RecordingLogger>();
    weak = logger;
    LGLog::addLogger(logger);
    for (int i = 0; i < 50; ++i) logText(true, LGLogFlagInfo, "m");
    LGLog::removeLogger(logger);
  }
  LGLog::flushLog();
  EXPECT_TRUE(waitUntil([&] { return weak.expired(); }));
}

// --- Backlog -------------------------------------------------------------------------------------

TEST_F(LGLogDelivery, TheThousandAndFirstWaitingMessageBlocksItsSender) {
  auto logger = platform::make<RecordingLogger>();
  logger->gate = std::make_shared<Gate>();
  LGLog::addLogger(logger);

  std::atomic<int> returned{0};
  std::thread sender([&] {
    for (int i = 0; i < 1001; ++i) {
      logText(true, LGLogFlagInfo, std::to_string(i));
      ++returned;
    }
  });
  // 1000 calls return: one message in delivery (held at the gate) and 999 waiting behind it.
  ASSERT_TRUE(waitUntil([&] { return returned.load() == 1000; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(returned.load(), 1000);
  EXPECT_EQ(logger->count(), 0u);

  logger->gate->open();
  sender.join();
  LGLog::flushLog();
  EXPECT_EQ(returned.load(), 1001);
  EXPECT_EQ(logger->count(), 1001u);
}

// --- Flushing ------------------------------------------------------------------------------------

using LGLogFlush = HubTest;

TEST_F(LGLogFlush, WaitsForEarlierMessagesThenFlushesLoggersThatAnswerFlush) {
  auto flushing = platform::make<RecordingLogger>();
  auto plain = std::make_shared<PlainLogger>(std::nullopt, nullptr);
  flushing->onMessage = [](const LGLogMessagePtr&) { std::this_thread::sleep_for(std::chrono::microseconds(200)); };
  LGLog::addLogger(flushing);
  LGLog::addLogger(plain);
  for (int i = 0; i < 40; ++i) logText(true, LGLogFlagInfo, "m");
  LGLog::flushLog();
  auto events = flushing->events();
  ASSERT_EQ(events.size(), 42u);  // didAdd, 40 messages, flush
  EXPECT_EQ(events.front(), "didAdd");
  EXPECT_EQ(events.back(), "flush");
  EXPECT_EQ(plain->labels().size(), 40u);
}

TEST_F(LGLogFlush, CanBeAskedFromTheGlobalLoggingQueue) {
  auto logger = platform::make<RecordingLogger>();
  LGLog::addLogger(logger);
  std::size_t seen = 0;
  LGLog::loggingQueue()->sync([&] {
    EXPECT_TRUE(LGLog::isOnLoggingQueue());
    LGLog::flushLog();
    seen = LGLog::allLoggers().size();
  });
  EXPECT_FALSE(LGLog::isOnLoggingQueue());
  EXPECT_EQ(seen, 1u);
  EXPECT_EQ(logger->eventCount("flush"), 1u);
}

// A logger that writes each message (after a pause) and each flush to standard error.
class StderrLogger : public LGAbstractLogger {
 public:
  bool respondsTo(LGLoggerMethod method) const override {
    return method == LGLoggerMethod::Flush || LGAbstractLogger::respondsTo(method);
  }
  void logMessage(const LGLogMessagePtr& message) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::fprintf(stderr, "delivered %s\n", message->message().c_str());
  }
  void flush() override { std::fprintf(stderr, "flushed\n"); }
};

// Logs from its destructor, which runs during static destruction.
struct LogsWhenDestroyed {
  ~LogsWhenDestroyed() {
    logText(false, LGLogFlagError, "late sync");
    logText(true, LGLogFlagError, "late async");
  }
};

using LGLogExitDeathTest = HubTest;

TEST_F(LGLogExitDeathTest, NormalExitDeliversPendingMessagesAndFlushes) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        LGLog::addLogger(platform::make<StderrLogger>());
        for (int i = 0; i < 5; ++i) logText(true, LGLogFlagInfo, "pending-" + std::to_string(i));
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "delivered pending-4\nflushed");
}

TEST_F(LGLogExitDeathTest, LoggingDuringStaticDestructionDoesNotCrash) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        // Made before the hub's first use in this process, so destroyed after the exit flush.
        static LogsWhenDestroyed late;
        (void)late;
        LGLog::addLogger(platform::make<StderrLogger>());
        logText(false, LGLogFlagInfo, "early");
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "delivered early\n(.|\n)*delivered late sync");
}

// --- Per-class levels ----------------------------------------------------------------------------

namespace {

class LevelledWidget : public platform::Object {
  ZORVEL_CLASS(LevelledWidget, platform::Object)

 public:
  static std::uint64_t lgLogLevel() { return level_.load(); }
  ZORVEL_CLASS_METHOD("lgLogLevel", lgLogLevel)
  static void lgSetLogLevel(std::uint64_t level) { level_ = level; }
  ZORVEL_CLASS_METHOD("lgSetLogLevel:", lgSetLogLevel)

 private:
  static inline std::atomic<std::uint64_t> level_{LGLogFlagError};
};

// Inherits both class methods.
class LevelledWidgetPart : public LevelledWidget {
  ZORVEL_CLASS(LevelledWidgetPart, LevelledWidget)
};

// Has only the getter.
class HalfLevelledWidget : public platform::Object {
  ZORVEL_CLASS(HalfLevelledWidget, platform::Object)

 public:
  static std::uint64_t lgLogLevel() { return 7; }
  ZORVEL_CLASS_METHOD("lgLogLevel", lgLogLevel)
};

}  // namespace

TEST(LGLogClassLevels, ClassesWithBothLevelMethodsAreRegistered) {
  struct Case {
    const platform::Class* cls;
    bool registered;
  };
  const Case cases[] = {
      {&LevelledWidget::staticClass(), true},
      {&LevelledWidgetPart::staticClass(), true},
      {&HalfLevelledWidget::staticClass(), false},
      {&platform::Object::staticClass(), false},
      {nullptr, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cls ? c.cls->name() : "null");
    EXPECT_EQ(LGLog::isRegisteredClass(c.cls), c.registered);
  }
  EXPECT_EQ(LGLog::registeredClassNames(), (std::vector<std::string>{"LevelledWidget", "LevelledWidgetPart"}));
  auto classes = LGLog::registeredClasses();
  ASSERT_EQ(classes.size(), 2u);
  EXPECT_EQ(classes[0], &LevelledWidget::staticClass());
}

TEST(LGLogClassLevels, LevelsAreReadAndSetThroughTheClassOnly) {
  const platform::Class& widget = LevelledWidget::staticClass();
  LGLog::setLevel(LGLogFlagError, &widget);
  EXPECT_EQ(LGLog::levelForClass(&widget), LGLogFlagError);
  LGLog::setLevel(31, "LevelledWidget");
  EXPECT_EQ(LGLog::levelForClassWithName("LevelledWidget"), 31u);
  EXPECT_EQ(LevelledWidget::lgLogLevel(), 31u);

  // Classes without their own level: every bit set, and setting does nothing.
  LGLog::setLevel(1, &HalfLevelledWidget::staticClass());
  EXPECT_EQ(LGLog::levelForClass(&HalfLevelledWidget::staticClass()), LGLogLevelAll);
  EXPECT_EQ(HalfLevelledWidget::lgLogLevel(), 7u);
  EXPECT_EQ(LGLog::levelForClassWithName("NoSuchClass"), LGLogLevelAll);
  LGLog::setLevel(1, "NoSuchClass");
  EXPECT_EQ(LGLog::levelForClass(nullptr), LGLogLevelAll);
}

// --- Concurrency ---------------------------------------------------------------------------------

TEST_F(LGLogDelivery, ConcurrentSendersAndRegistryChangesKeepEachSendersOrder) {
  constexpr int kSenders = 6;
  constexpr int kPerSender = 400;
  auto steady = platform::make<RecordingLogger>();
  LGLog::addLogger(steady, LGLogFlagInfo | LGLogFlagError);

  std::atomic<bool> stop{false};
  std::thread churn([&] {
    while (!stop) {
      auto passing = platform::make<RecordingLogger>();
      LGLog::addLogger(passing);
      LGLog::addLogger(passing, LGLogFlagDebug);
      (void)LGLog::allLoggersWithLevel();
      LGLog::removeLogger(passing);
      LGLog::flushLog();
      LGLog::removeLogger(passing);
    }
  });
  std::vector<std::thread> senders;
  for (int s = 0; s < kSenders; ++s)
    senders.emplace_back([s] {
      for (int i = 0; i < kPerSender; ++i)
        LGLog::logMessage(i % 2 == 0, std::to_string(i), 3, i % 5 == 0 ? LGLogFlagDebug : LGLogFlagInfo, s, __FILE__,
                          __func__, __LINE__);
    });
  for (auto& t : senders) t.join();
  stop = true;
  churn.join();
  LGLog::flushLog();

  std::vector<int> next(kSenders, 0);
  int delivered = 0;
  for (const auto& m : steady->messages()) {
    int sender = static_cast<int>(m->context());
    int index = std::stoi(m->message());
    EXPECT_GT(index, next[sender] - 1) << "sender " << sender;
    EXPECT_NE(index % 5, 0);  // debug messages do not reach this logger
    next[sender] = index + 1;
    ++delivered;
  }
  EXPECT_EQ(delivered, kSenders * kPerSender * 4 / 5);
  EXPECT_FALSE(steady->ranOffQueue());
}

// --- Library diagnostics -------------------------------------------------------------------------

using LGLogDiagnostics = HubTest;

TEST_F(LGLogDiagnostics, ReachTheRegisteredLoggersWithTheirTextAndSeverity) {
  auto logger = platform::make<RecordingLogger>();
  LGLog::addLogger(logger);
  LGLog::flushLog();  // the registration is in force
  testing::internal::CaptureStderr();
  ZORVEL_DIAGNOSTIC_ERROR("dispatch: cannot start a worker thread: no memory");
  ZORVEL_DIAGNOSTIC_WARNING("Warning: Unparsed data");
  LGLog::flushLog();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  const auto messages = logger->messages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0]->message(), "dispatch: cannot start a worker thread: no memory");
  EXPECT_EQ(messages[0]->flag(), LGLogFlagError);
  EXPECT_EQ(messages[0]->fileName(), "log_test");
  EXPECT_EQ(messages[1]->message(), "Warning: Unparsed data");
  EXPECT_EQ(messages[1]->flag(), LGLogFlagWarning);
}

TEST_F(LGLogDiagnostics, StayOnStandardErrorWithoutALoggerOrInsideTheHubsWork) {
  testing::internal::CaptureStderr();
  ZORVEL_DIAGNOSTIC_ERROR("no logger to take this");
  EXPECT_THAT(testing::internal::GetCapturedStderr(), testing::HasSubstr("no logger to take this\n"));

  // A logger that raises a diagnostic while handling a message: a log call there could wait for
  // the very queue it runs on, so the text goes to standard error.
  auto logger = platform::make<RecordingLogger>();
  logger->onMessage = [](const LGLogMessagePtr& message) {
    if (message->message() == "trigger") ZORVEL_DIAGNOSTIC_ERROR("raised inside a logger");
  };
  LGLog::addLogger(logger);
  testing::internal::CaptureStderr();
  logText(false, LGLogFlagInfo, "trigger");
  LGLog::flushLog();
  EXPECT_THAT(testing::internal::GetCapturedStderr(), testing::HasSubstr("raised inside a logger\n"));
  EXPECT_EQ(logger->count(), 1u);
}
