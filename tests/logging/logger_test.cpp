#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "logging/log_test_support.h"
#include "logging/logger.h"

using logtest::Gate;
using logtest::HubTest;
using logtest::RecordingLogger;
using logtest::waitUntil;

namespace {

void logText(bool asynchronous, const std::string& text) {
  LGLog::logMessage(asynchronous, text, LGLogLevelAll, LGLogFlagInfo, 0, __FILE__, __func__, __LINE__);
}

// Prefixes the text; counts the optional calls it answers (or, when it does not claim them, any
// call that reaches it anyway).
class PrefixFormatter : public LGLogFormatter {
 public:
  explicit PrefixFormatter(std::string prefix, bool answersOptional = true)
      : prefix_(std::move(prefix)), answersOptional_(answersOptional) {}
  std::optional<std::string> formatLogMessage(const LGLogMessagePtr& message) override {
    if (message->message() == "drop") return std::nullopt;
    return prefix_ + message->message();
  }
  bool respondsTo(LGLogFormatterMethod) const override { return answersOptional_; }
  void didAddToLogger(LGLogger&) override { ++added; }
  void willRemoveFromLogger(LGLogger&) override { ++removed; }

  std::atomic<int> added{0};
  std::atomic<int> removed{0};

 private:
  std::string prefix_;
  bool answersOptional_;
};

class NamedLogger : public LGAbstractLogger {
  ZORVEL_CLASS(NamedLogger, LGAbstractLogger)
};

class FixedNameLogger : public LGAbstractLogger {
 public:
  std::string loggerName() override { return std::string(LGLogFrameworkLabel) + ".ttyLogger"; }
};

// Exposes the queue-hopping helpers the concrete loggers build their properties on.
class PropertyLogger : public RecordingLogger {
 public:
  void setSuffix(std::string suffix) {
    asyncThroughLoggingQueue([this, suffix = std::move(suffix)] { suffix_ = suffix; });
  }
  std::string suffix() {
    return syncThroughLoggingQueue([this] { return suffix_; });
  }
  void logMessage(const LGLogMessagePtr& message) override {
    RecordingLogger::logMessage(message->copyWithMessage(message->message() + suffix_));
  }

 private:
  std::string suffix_;  // touched only on the logger's queue
};

}  // namespace

TEST(LGAbstractLogger, NameIsTheClassNameAndLabelsTheLoggersQueue) {
  struct Case {
    std::shared_ptr<LGAbstractLogger> logger;
    std::string name;
  };
  const Case cases[] = {
      {platform::make<LGAbstractLogger>(), "LGAbstractLogger"},
      {platform::make<NamedLogger>(), "NamedLogger"},
      {platform::make<FixedNameLogger>(), "com.zorvel.logging.ttyLogger"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.logger->loggerName(), c.name);
    ASSERT_TRUE(c.logger->loggerQueue());
    EXPECT_EQ(c.logger->loggerQueue()->label(), c.name);
    EXPECT_TRUE(c.logger->loggerQueue()->isSerial());
    EXPECT_EQ(c.logger->loggerQueue(), c.logger->loggerQueue());
  }
}

TEST(LGAbstractLogger, AnswersOnlyTheQueueAndNameQuestions) {
  auto logger = platform::make<LGAbstractLogger>();
  struct Case {
    LGLoggerMethod method;
    bool answers;
  };
  const Case cases[] = {
      {LGLoggerMethod::LoggerQueue, true},   {LGLoggerMethod::LoggerName, true},        {LGLoggerMethod::Flush, false},
      {LGLoggerMethod::DidAddLogger, false}, {LGLoggerMethod::WillRemoveLogger, false},
  };
  for (const Case& c : cases) EXPECT_EQ(logger->respondsTo(c.method), c.answers) << static_cast<int>(c.method);
  PrefixFormatter plain("x", false);
  EXPECT_FALSE(plain.respondsTo(LGLogFormatterMethod::DidAddToLogger));
  EXPECT_FALSE(plain.LGLogFormatter::respondsTo(LGLogFormatterMethod::WillRemoveFromLogger));
}

TEST(LGAbstractLogger, TellsWhichQueueTheCallerRunsOn) {
  auto logger = platform::make<NamedLogger>();
  auto other = platform::make<NamedLogger>();
  EXPECT_FALSE(logger->isOnInternalLoggerQueue());
  EXPECT_FALSE(logger->isOnGlobalLoggingQueue());
  bool internal = false, otherInternal = true, global = true;
  logger->loggerQueue()->sync([&] {
    internal = logger->isOnInternalLoggerQueue();
    otherInternal = other->isOnInternalLoggerQueue();
    global = logger->isOnGlobalLoggingQueue();
  });
  EXPECT_TRUE(internal);
  EXPECT_FALSE(otherInternal);
  EXPECT_FALSE(global);
  bool onGlobal = false, internalOnGlobal = true;
  LGLog::loggingQueue()->sync([&] {
    onGlobal = logger->isOnGlobalLoggingQueue();
    internalOnGlobal = logger->isOnInternalLoggerQueue();
  });
  EXPECT_TRUE(onGlobal);
  EXPECT_FALSE(internalOnGlobal);
}

using LGAbstractLoggerFormatter = HubTest;

TEST_F(LGAbstractLoggerFormatter, ChangeTakesEffectBetweenMessagesInIssueOrder) {
  auto logger = platform::make<RecordingLogger>();
  logger->gate = std::make_shared<Gate>();  // holds the first message until every call is issued
  LGLog::addLogger(logger);
  auto old = std::make_shared<PrefixFormatter>("old:");
  logger->setLogFormatter(old);
  logText(true, "A");
  logger->setLogFormatter(std::make_shared<PrefixFormatter>("new:"));
  logText(true, "B");
  logger->gate->open();
  LGLog::flushLog();
  EXPECT_EQ(logger->lines(), (std::vector<std::string>{"old:A", "new:B"}));
}

TEST_F(LGAbstractLoggerFormatter, ManySwitchesFromOneThreadEachApplyToTheMessagesAfterThem) {
  auto logger = platform::make<RecordingLogger>();
  LGLog::addLogger(logger);
  std::vector<std::string> expected;
  for (int i = 0; i < 200; ++i) {
    if (i % 10 == 0) logger->setLogFormatter(std::make_shared<PrefixFormatter>(std::to_string(i / 10) + ":"));
    logText(i % 4 != 0, std::to_string(i));
    expected.push_back(std::to_string(i / 10) + ":" + std::to_string(i));
  }
  LGLog::flushLog();
  EXPECT_EQ(logger->lines(), expected);
}

TEST_F(LGAbstractLoggerFormatter, ReadFromTheSettingThreadSeesTheNewFormatter) {
  auto logger = platform::make<RecordingLogger>();
  EXPECT_EQ(logger->logFormatter(), nullptr);
  for (int i = 0; i < 20; ++i) {
    auto formatter = std::make_shared<PrefixFormatter>("p");
    logger->setLogFormatter(formatter);
    EXPECT_EQ(logger->logFormatter(), formatter);
  }
  logger->setLogFormatter(nullptr);
  EXPECT_EQ(logger->logFormatter(), nullptr);
}

TEST_F(LGAbstractLoggerFormatter, SwapsTellOnlyChangedFormattersThatAnswer) {
  auto logger = platform::make<RecordingLogger>();
  LGLog::addLogger(logger);
  auto first = std::make_shared<PrefixFormatter>("1:");
  auto second = std::make_shared<PrefixFormatter>("2:");
  auto silent = std::make_shared<PrefixFormatter>("s:", false);

  logger->setLogFormatter(first);
  logger->setLogFormatter(first);  // already in force: nothing
  (void)logger->logFormatter();
  EXPECT_EQ(first->added, 1);
  EXPECT_EQ(first->removed, 0);

  logger->setLogFormatter(second);
  (void)logger->logFormatter();
  EXPECT_EQ(first->removed, 1);
  EXPECT_EQ(second->added, 1);

  logger->setLogFormatter(silent);  // does not answer the optional calls: not told
  logger->setLogFormatter(nullptr);
  logText(false, "raw");
  EXPECT_EQ(second->removed, 1);
  EXPECT_EQ(silent->added, 0);
  EXPECT_EQ(silent->removed, 0);
  EXPECT_EQ(logger->lines(), std::vector<std::string>{"raw"});  // no formatter: the raw text
}

TEST_F(LGAbstractLoggerFormatter, FormatterMayDropAMessage) {
  auto logger = platform::make<RecordingLogger>();
  LGLog::addLogger(logger);
  logger->setLogFormatter(std::make_shared<PrefixFormatter>("> "));
  logText(false, "keep");
  logText(false, "drop");
  EXPECT_EQ(logger->count(), 2u);
  EXPECT_EQ(logger->lines(), std::vector<std::string>{"> keep"});
}

TEST_F(LGAbstractLoggerFormatter, ReadingFromTheLoggersOwnQueueOrTheGlobalQueueDoesNotWaitForItself) {
  auto logger = platform::make<RecordingLogger>();
  auto formatter = std::make_shared<PrefixFormatter>("f");
  logger->setLogFormatter(formatter);
  std::shared_ptr<LGLogFormatter> fromOwnQueue, fromGlobalQueue;
  logger->onMessage = [&](const LGLogMessagePtr&) { fromOwnQueue = logger->logFormatter(); };
  LGLog::addLogger(logger);
  logText(false, "m");
  LGLog::loggingQueue()->sync([&] { fromGlobalQueue = logger->logFormatter(); });
  EXPECT_EQ(fromOwnQueue, formatter);
  EXPECT_EQ(fromGlobalQueue, formatter);
}

TEST_F(LGAbstractLoggerFormatter, PropertyChangesThroughTheQueuesAreOrderedWithMessages) {
  auto logger = platform::make<PropertyLogger>();
  logger->gate = std::make_shared<Gate>();
  LGLog::addLogger(logger);
  logText(true, "a");
  logger->setSuffix("!");
  logText(true, "b");
  std::string read;
  std::thread reader([&] { read = logger->suffix(); });  // waits behind the held message
  logger->gate->open();
  reader.join();
  LGLog::flushLog();
  EXPECT_EQ(read, "!");
  EXPECT_EQ(logger->lines(), (std::vector<std::string>{"a", "b!"}));
  EXPECT_FALSE(logger->ranOffQueue());
}

TEST_F(LGAbstractLoggerFormatter, ConcurrentSwitchesAndMessagesNeverMixFormatters) {
  auto logger = platform::make<RecordingLogger>();
  LGLog::addLogger(logger);
  std::atomic<bool> stop{false};
  std::thread switcher([&] {
    int n = 0;
    while (!stop) {
      logger->setLogFormatter(std::make_shared<PrefixFormatter>(std::to_string(n++ % 3) + ":"));
      (void)logger->logFormatter();
    }
  });
  std::vector<std::thread> senders;
  for (int s = 0; s < 4; ++s)
    senders.emplace_back([s] {
      for (int i = 0; i < 300; ++i) logText(i % 2 == 0, std::to_string(s));
    });
  for (auto& t : senders) t.join();
  stop = true;
  switcher.join();
  LGLog::flushLog();
  auto lines = logger->lines();
  EXPECT_EQ(lines.size(), 1200u);
  for (const auto& line : lines) {
    // "<formatter>:<sender>", or the raw "<sender>" before the first formatter arrived.
    ASSERT_TRUE(line.size() == 3 || line.size() == 1) << line;
  }
}
