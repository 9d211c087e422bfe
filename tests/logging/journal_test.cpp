// The system log path: entries written through our own native-protocol sender arrive, with every
// field, at a listener of this test on a datagram socket; the system-log logger and the capture
// map flags and priorities; and, beside a real journal daemon (the machine's, or a private one that
// with_private_journal.sh starts for the JournalDaemon tests), entries written through libsystemd
// are read back from the journal and captured.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>

#include "logging/formatters.h"
#include "logging/journal.h"
#include "logging/journal_test_support.h"
#include "logging/log_test_support.h"
#include "logging/system_log_logger.h"
#include "platform/system/crypto.h"
#include "platform/system/process.h"
#include "support/temp_dir.h"

using logtest::HubTest;
using logtest::RecordingLogger;
using logtest::waitUntil;

namespace {

using journaltest::Entry;
using journaltest::NativeListener;

class JournalListenerTest : public HubTest {
 protected:
  zorvel::test::TempDir dir_;
  NativeListener listener_{(dir_ / "journal.socket").string()};
  LGJournalWriter writer_{(dir_ / "journal.socket").string()};
};

void logFlag(std::uint64_t flag, const std::string& text, const char* file = "/x/File.m") {
  LGLog::logMessage(false, text, LGLogLevelAll, flag, 0, file, "f", 1);
}

}  // namespace

TEST_F(JournalListenerTest, EntriesArriveWithPriorityIdentifierMessageAndFields) {
  ASSERT_TRUE(listener_.bound());
  std::vector<LGJournalField> fields{{"ZRV_CATEGORY", "Database"}, {"CODE_LINE", "42"}};
  ASSERT_TRUE(writer_.send(LGJournalPriorityError, "com.zorvel.test", "plain text", fields));
  std::string raw;
  auto entry = listener_.receive(&raw);
  ASSERT_TRUE(entry) << raw;
  EXPECT_EQ(*entry, (Entry{{"PRIORITY", "3"},
                           {"SYSLOG_IDENTIFIER", "com.zorvel.test"},
                           {"MESSAGE", "plain text"},
                           {"ZRV_CATEGORY", "Database"},
                           {"CODE_LINE", "42"}}));
  EXPECT_EQ(raw,
            "PRIORITY=3\nSYSLOG_IDENTIFIER=com.zorvel.test\nMESSAGE=plain text\nZRV_CATEGORY=Database\n"
            "CODE_LINE=42\n");
}

TEST_F(JournalListenerTest, ValuesWithNewlinesTakeTheBinaryForm) {
  std::string value = "two\nlines\0and a zero";
  value += std::string("\0tail", 5);
  ASSERT_TRUE(writer_.send(LGJournalPriorityNotice, "", "first\nsecond", {{{"DATA", value}}}));
  std::string raw;
  auto entry = listener_.receive(&raw);
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->at("MESSAGE"), "first\nsecond");
  EXPECT_EQ(entry->at("DATA"), value);
  EXPECT_FALSE(entry->contains("SYSLOG_IDENTIFIER"));  // an empty identifier is left out
  std::string binaryMessage = std::string("MESSAGE\n") + std::string("\x0c\0\0\0\0\0\0\0", 8) + "first\nsecond\n";
  EXPECT_NE(raw.find(binaryMessage), std::string::npos);
}

TEST_F(JournalListenerTest, AnEntryTooLargeForADatagramGoesAsASealedMemoryFile) {
  std::string big(600 * 1024, 'z');
  ASSERT_TRUE(writer_.send(LGJournalPriorityInfo, "big", big));
  bool viaMemoryFile = false;
  auto entry = listener_.receive(nullptr, &viaMemoryFile);
  ASSERT_TRUE(entry);
  EXPECT_TRUE(viaMemoryFile);
  EXPECT_EQ(entry->at("MESSAGE"), big);
}

TEST_F(JournalListenerTest, BadEntriesAreRefusedWholeAndFailuresReported) {
  struct Case {
    int priority;
    std::string field;
  };
  const Case cases[] = {
      {8, "GOOD"},   {-1, "GOOD"}, {3, "lower"}, {3, "_TRUSTED"}, {3, "1DIGIT"}, {3, ""}, {3, std::string(65, 'A')},
      {3, "DASH-ED"}};
  for (const Case& c : cases) {
    platform::ErrorPtr error;
    EXPECT_FALSE(writer_.send(c.priority, "id", "m", {{{c.field, "v"}}}, &error)) << c.field;
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), EINVAL);
  }
  EXPECT_FALSE(listener_.receive());  // nothing was sent
  EXPECT_TRUE(LGJournalWriter::isValidFieldName(std::string(64, 'A')));

  LGJournalWriter nowhere((dir_ / "no.socket").string());
  platform::ErrorPtr error;
  EXPECT_FALSE(nowhere.send(3, "id", "m", {}, &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain(), "NSPOSIXErrorDomain");
}

TEST_F(JournalListenerTest, SystemLogLoggerMapsFlagsAndMarksItsEntries) {
  auto logger = LGASLLogger::loggerWithIdentifier("com.zorvel.app", {{"ZRV_CATEGORY", "UI"}}, &writer_);
  EXPECT_EQ(logger->loggerName(), "com.zorvel.logging.aslLogger");
  LGLog::addLogger(logger);
  struct Case {
    std::uint64_t flag;
    std::string priority;
  };
  const Case cases[] = {{LGLogFlagError, "2"}, {LGLogFlagWarning, "3"}, {LGLogFlagInfo, "4"},
                        {LGLogFlagDebug, "5"}, {LGLogFlagVerbose, "5"}, {LGLogFlagError | LGLogFlagWarning, "5"}};
  for (const Case& c : cases) {
    logFlag(c.flag, "flag " + std::to_string(c.flag));
    auto entry = listener_.receive();
    ASSERT_TRUE(entry) << c.flag;
    EXPECT_EQ(*entry, (Entry{{"PRIORITY", c.priority},
                             {"SYSLOG_IDENTIFIER", "com.zorvel.app"},
                             {"MESSAGE", "flag " + std::to_string(c.flag)},
                             {"ZRV_CATEGORY", "UI"},
                             {"LGLOG", "1"}}));
  }
  // A captured message is not sent back; a formatter's nil sends nothing.
  logFlag(LGLogFlagError, "captured", "LGASLLogCapture");
  EXPECT_FALSE(listener_.receive());
  auto deny = std::make_shared<LGContextBlacklistFilterLogFormatter>();
  deny->addToBlacklist(0);
  logger->setLogFormatter(deny);
  logFlag(LGLogFlagError, "denied");
  EXPECT_FALSE(listener_.receive());
}

TEST(LGASLLogCapture, PrioritiesBecomeFlagsAndTheLevelFilters) {
  struct Case {
    const char* priority;  // nullptr: none
    std::uint64_t flag;
    bool synchronous;
  };
  const Case cases[] = {{"0", 1, true},  {"1", 1, true},   {"2", 1, true},   {"3", 2, false},   {"4", 4, false},
                        {"5", 8, false}, {"6", 16, false}, {"7", 16, false}, {"12", 16, false}, {nullptr, 1, true}};
  for (const Case& c : cases) {
    std::string text = c.priority ? c.priority : "";
    auto delivery = LGASLLogCapture::deliveryForPriority(c.priority ? &text : nullptr);
    EXPECT_EQ(delivery.flag, c.flag) << text;
    EXPECT_EQ(delivery.synchronous, c.synchronous) << text;
  }
}

TEST_F(JournalListenerTest, CaptureHandsRecordsToTheHub) {
  auto logger = platform::make<RecordingLogger>();
  LGLog::addLogger(logger);
  LGASLLogCapture::setCaptureLevel(31);
  // Synchronous (priority 2): delivered when the call returns.
  EXPECT_TRUE(LGASLLogCapture::aslMessageReceived(
      {{"MESSAGE", "critical"}, {"PRIORITY", "2"}, {"_SOURCE_REALTIME_TIMESTAMP", "1500000000250000"}}));
  ASSERT_EQ(logger->count(), 1u);
  auto message = logger->messages()[0];
  EXPECT_EQ(message->message(), "critical");
  EXPECT_EQ(message->flag(), LGLogFlagError);
  EXPECT_EQ(message->level(), 31u);
  EXPECT_EQ(message->context(), 0);
  EXPECT_EQ(message->fileName(), "LGASLLogCapture");
  EXPECT_EQ(message->line(), 0u);
  EXPECT_DOUBLE_EQ(message->timestamp().timeIntervalSince1970(), 1500000000.25);

  EXPECT_FALSE(LGASLLogCapture::aslMessageReceived({{"PRIORITY", "2"}}));                    // no text
  EXPECT_FALSE(LGASLLogCapture::aslMessageReceived({{"MESSAGE", "ours"}, {"LGLOG", "1"}}));  // our own entry
  LGASLLogCapture::setCaptureLevel(LGLogFlagError);
  EXPECT_FALSE(LGASLLogCapture::aslMessageReceived({{"MESSAGE", "warning"}, {"PRIORITY", "3"}}));
  EXPECT_TRUE(LGASLLogCapture::aslMessageReceived({{"MESSAGE", "no priority"}}));
  LGASLLogCapture::setCaptureLevel(31);
  LGLog::flushLog();
  ASSERT_EQ(logger->count(), 2u);
  EXPECT_EQ(logger->messages()[1]->flag(), LGLogFlagError);
}

// --- Beside a real journal daemon ------------------------------------------------------------------

namespace {

class JournalDaemon : public HubTest {
 protected:
  void SetUp() override {
    if (!LGJournalWriter::isDaemonAvailable())
      GTEST_SKIP() << "no journal daemon on this machine; the PrivateDaemon run of this program covers it";
  }
  // The entries of this process carrying ZRV_RUN=<run_>, read back until `count` are there.
  std::vector<LGJournalEntry> readBack(std::size_t count, const std::string& identifier) {
    return journaltest::readBackOwnEntries(count, identifier, {"ZRV_RUN=" + run_});
  }
  std::string run_ = platform::UUID::random().uuidString();
};

}  // namespace

TEST_F(JournalDaemon, EntriesWrittenThroughLibsystemdAreReadBackWithTheirFields) {
  std::vector<LGJournalField> fields{{"ZRV_RUN", run_}, {"ZRV_CATEGORY", "Database"}};
  ASSERT_TRUE(LGJournalWriter::daemon().send(LGJournalPriorityError, "com.zorvel.daemon-test", "first", fields));
  ASSERT_TRUE(LGJournalWriter::daemon().send(LGJournalPriorityInfo, "com.zorvel.daemon-test", "two\nlines", fields));
  auto entries = readBack(2, "com.zorvel.daemon-test");
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(*entries[0].field("MESSAGE"), "first");
  EXPECT_EQ(*entries[0].field("PRIORITY"), "3");
  EXPECT_EQ(*entries[0].field("ZRV_CATEGORY"), "Database");
  EXPECT_EQ(*entries[0].field("_PID"), std::to_string(platform::ProcessInfo::processIdentifier()));
  EXPECT_EQ(*entries[1].field("MESSAGE"), "two\nlines");
  EXPECT_EQ(*entries[1].field("PRIORITY"), "6");
  EXPECT_GT(entries[1].realtimeMicroseconds, 0u);
  EXPECT_FALSE(entries[1].cursor.empty());
}

TEST_F(JournalDaemon, SystemLogLoggerEntriesReachTheJournal) {
  auto logger = LGASLLogger::loggerWithIdentifier("com.zorvel.logger-test", {{"ZRV_RUN", run_}});
  LGLog::addLogger(logger);
  logFlag(LGLogFlagWarning, "from the logger");
  auto entries = readBack(1, "com.zorvel.logger-test");
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(*entries[0].field("MESSAGE"), "from the logger");
  EXPECT_EQ(*entries[0].field("PRIORITY"), "3");
  EXPECT_EQ(*entries[0].field("LGLOG"), "1");
}

TEST_F(JournalDaemon, CaptureFeedsThisProcesssOtherEntriesToTheHub) {
  auto recorder = platform::make<RecordingLogger>();
  LGLog::addLogger(recorder);
  auto logger = LGASLLogger::loggerWithIdentifier("com.zorvel.capture-test", {{"ZRV_RUN", run_}});
  LGLog::addLogger(logger, LGLogFlagError);
  ASSERT_TRUE(LGASLLogCapture::start());
  EXPECT_TRUE(LGASLLogCapture::isRunning());
  // Our logger's entry (marked) must not come back; a foreign entry of this process must.
  logFlag(LGLogFlagError, "sent by the logger " + run_);
  ASSERT_TRUE(LGJournalWriter::daemon().send(LGJournalPriorityError, "other-library", "foreign " + run_,
                                             {{{"ZRV_RUN", run_}}}));
  auto captured = [&] {
    std::vector<std::string> texts;
    for (const auto& m : recorder->messages())
      if (m->fileName() == "LGASLLogCapture" && m->message().find(run_) != std::string::npos)
        texts.push_back(m->message());
    return texts;
  };
  EXPECT_TRUE(waitUntil([&] { return !captured().empty(); }));
  LGASLLogCapture::stop();
  EXPECT_FALSE(LGASLLogCapture::isRunning());
  LGLog::flushLog();
  EXPECT_THAT(captured(), testing::ElementsAre("foreign " + run_));
  auto messages = recorder->messages();
  auto it =
      std::find_if(messages.begin(), messages.end(), [&](const auto& m) { return m->message() == "foreign " + run_; });
  ASSERT_NE(it, messages.end());
  EXPECT_EQ((*it)->flag(), LGLogFlagWarning);  // priority 3
}
