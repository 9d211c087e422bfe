// Custom keys with compaction, and logs in A/B files, against a crash context of the test's own.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "crashreporting/BBXContext.h"
#include "crashreporting/BBXContextInternal.h"
#include "crashreporting/BBXFile.h"
#include "crashreporting/BBXHelpers.h"
#include "crashreporting/BBXUserLogging.h"
#include "tests/support/killed_writer.h"
#include "tests/support/temp_dir.h"

namespace {

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void drainLoggingQueue() {
  BBXLoggingQueue()->sync([] {});
}

// An initialised context whose record files live in `folder`.
class TestContext {
 public:
  explicit TestContext(const std::string& folder, std::uint32_t maxCustomKeys = 64) {
    for (const char* name :
         {"user_incremental_kv.bbxrecord", "user_compacted_kv.bbxrecord", "internal_incremental_kv.bbxrecord",
          "internal_compacted_kv.bbxrecord", "log_a.bbxrecord", "log_b.bbxrecord", "sdk.log"}) {
      paths_.push_back(folder + "/" + name);
    }
    readOnly_.logPath = paths_[6].c_str();
    BBXUserLoggingStorage& storage = readOnly_.logging;
    storage.userKVStorage = {paths_[0].c_str(), paths_[1].c_str(), 0, maxCustomKeys};
    storage.internalKVStorage = {paths_[2].c_str(), paths_[3].c_str(), 0, kBBXMaxInternalKVCount};
    storage.logStorage = {paths_[4].c_str(), paths_[5].c_str(), 100, 0, true, nullptr};
    readOnly_.logBufferSize = 10;
    writable_.logFd = -1;
    writable_.logLevel = 1;
    BBXUserLoggingInit(&storage, &writable_.logging);
    readOnly_.initialized = true;
    bbx_detail::installContextForTesting(&readOnly_, &writable_);
  }
  ~TestContext() {
    drainLoggingQueue();
    bbx_detail::installContextForTesting(nullptr, nullptr);
    if (writable_.logFd >= 0) close(writable_.logFd);
  }
  BBXUserLoggingKVStorage* userStorage() { return &readOnly_.logging.userKVStorage; }
  std::map<std::string, std::string> userKeys() {
    drainLoggingQueue();
    return BBXUserLoggingGetCompactedKVEntries(userStorage(), true).value();
  }
  std::string sdkLog() const { return readAll(paths_[6]); }

  BBXReadOnlyContext readOnly_{};
  BBXWritableContext writable_{};

 private:
  std::vector<std::string> paths_;
};

TEST(BBXUserLoggingKeys, AKeyValueLineIsHexEncoded) {
  zorvel::test::TempDir dir;
  TestContext context(dir.path().string());
  BBXUserLoggingRecordUserKeyValue("k", "v");
  BBXUserLoggingRecordUserKeyValue("gone", nullptr);
  drainLoggingQueue();
  EXPECT_EQ(readAll(dir.file("user_incremental_kv.bbxrecord")),
            "{\"kv\":{\"key\":\"6b\",\"value\":\"76\"}}\n{\"kv\":{\"key\":\"676f6e65\",\"value\":null}}\n");
}

TEST(BBXUserLoggingKeys, TheLatestValueWinsAndNilRemoves) {
  zorvel::test::TempDir dir;
  TestContext context(dir.path().string());
  BBXUserLoggingRecordUserKeyValue("name", "first");
  BBXUserLoggingRecordUserKeyValue("quote\"key", "line\nbreak");
  BBXUserLoggingRecordUserKeyValue("name", "second");
  BBXUserLoggingRecordUserKeyValue("removed", "x");
  BBXUserLoggingRecordUserKeyValue("removed", nullptr);
  BBXUserLoggingRecordUserKeyValue(reinterpret_cast<const char*>(8), "bad key");
  BBXUserLoggingRecordUserKeyValue("clamped", reinterpret_cast<const char*>(8));
  const std::map<std::string, std::string> expected = {{"name", "second"}, {"quote\"key", "line\nbreak"}};
  EXPECT_EQ(context.userKeys(), expected);
  // Undecoded, the set holds the stored (hex) form.
  EXPECT_EQ(BBXUserLoggingGetCompactedKVEntries(context.userStorage(), false).value().count("6e616d65"), 1u);
  EXPECT_NE(context.sdkLog().find("User provided bad key"), std::string::npos);
}

TEST(BBXUserLoggingKeys, The64thWriteCompactsKeepingTheLatestValueOfEveryKey) {
  zorvel::test::TempDir dir;
  TestContext context(dir.path().string());
  std::map<std::string, std::string> expected;
  for (int n = 0; n < 63; ++n) {
    const std::string key = "key" + std::to_string(n % 10);
    const std::string value = "value" + std::to_string(n);
    BBXUserLoggingRecordUserKeyValue(key.c_str(), value.c_str());
    expected[key] = value;
  }
  drainLoggingQueue();
  EXPECT_FALSE(std::filesystem::exists(dir.file("user_compacted_kv.bbxrecord"))) << "compacted before the 64th write";
  BBXUserLoggingRecordUserKeyValue("key3", nullptr);
  expected.erase("key3");
  drainLoggingQueue();
  EXPECT_TRUE(std::filesystem::exists(dir.file("user_compacted_kv.bbxrecord")));
  EXPECT_FALSE(std::filesystem::exists(dir.file("user_incremental_kv.bbxrecord")));
  EXPECT_FALSE(std::filesystem::exists(dir.file("user_compacted_kv.bbxrecord.tmp")));
  EXPECT_EQ(context.userKeys(), expected);
  const auto lines = BBXFileReadSections(dir.file("user_compacted_kv.bbxrecord").c_str(), false);
  ASSERT_TRUE(lines);
  EXPECT_EQ(lines->size(), expected.size());
  // Writes after the compaction go to a new incremental file and win over the compacted set.
  BBXUserLoggingRecordUserKeyValue("key0", "later");
  expected["key0"] = "later";
  EXPECT_EQ(context.userKeys(), expected);
}

TEST(BBXUserLoggingKeys, CompactionKeepsAtMostTheMaximumNumberOfKeys) {
  zorvel::test::TempDir dir;
  TestContext context(dir.path().string(), 2);
  BBXUserLoggingRecordUserKeyValue("a", "1");
  BBXUserLoggingRecordUserKeyValue("b", "2");
  BBXUserLoggingRecordUserKeyValue("c", "3");
  BBXLoggingQueue()->sync([&] { BBXUserLoggingCompactKVEntries(context.userStorage()); });
  EXPECT_EQ(context.userKeys().size(), 2u);
  EXPECT_NE(context.sdkLog().find("Truncating KV set, which is above max 2"), std::string::npos);
}

TEST(BBXUserLoggingKeys, NothingIsRecordedBeforeInitialisation) {
  zorvel::test::TempDir dir;
  TestContext context(dir.path().string());
  context.readOnly_.initialized = false;
  BBXUserLoggingRecordUserKeyValue("k", "v");
  drainLoggingQueue();
  EXPECT_FALSE(std::filesystem::exists(dir.file("user_incremental_kv.bbxrecord")));
  EXPECT_TRUE(BBXUserLoggingGetCompactedKVEntries(context.userStorage(), true).value().empty());
  EXPECT_FALSE(BBXUserLoggingGetCompactedKVEntries(reinterpret_cast<BBXUserLoggingKVStorage*>(8), true));
}

// Writer side of the kill test: sets "k<n mod 20>" to "<n>", reporting each n once recorded.
TEST(BBXUserLoggingKeysKill, ChildWriter) {
  const char* folder = std::getenv("BBX_KV_KILL_FOLDER");
  if (!folder) GTEST_SKIP() << "only runs as the writer process of the kill test";
  const int fd = std::atoi(std::getenv("BBX_KV_KILL_FD"));
  TestContext context(folder);
  for (long n = std::atol(std::getenv("BBX_KV_KILL_START"));; ++n) {
    const std::string key = "k" + std::to_string(n % 20);
    const std::string value = std::to_string(n);
    BBXUserLoggingRecordUserKeyValue(key.c_str(), value.c_str());
    const std::string report = std::to_string(n) + "\n";
    if (write(fd, report.data(), report.size()) != static_cast<ssize_t>(report.size())) std::_Exit(3);
  }
}

TEST(BBXUserLoggingKeysKill, NoKeyIsLostWhenTheProcessIsKilled) {
  const char* roundsText = std::getenv("BBX_KV_KILL_ROUNDS");
  const int rounds = roundsText ? std::atoi(roundsText) : 4;
  zorvel::test::TempDir dir;
  std::mt19937 random(1931);
  long start = 0;  // each round continues the numbering of the last
  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const zorvel::test::KilledWriter writer = zorvel::test::runAndKillWriter(
        "BBXUserLoggingKeysKill.ChildWriter",
        {{"BBX_KV_KILL_FOLDER", dir.path().string()}, {"BBX_KV_KILL_START", std::to_string(start)}}, "BBX_KV_KILL_FD",
        std::uniform_int_distribution<int>(30, 300)(random));
    ASSERT_TRUE(writer.killed);
    const long last = writer.lastReported;
    ASSERT_GE(last, start);
    TestContext reader(dir.path().string());
    const std::map<std::string, std::string> keys = reader.userKeys();
    // Every key written so far holds its last reported value, or the one written after it.
    for (long n = std::max(0L, last - 19); n <= last; ++n) {
      const std::string key = "k" + std::to_string(n % 20);
      ASSERT_EQ(keys.count(key), 1u) << key << " lost after write " << last;
      const long value = std::atol(keys.at(key).c_str());
      EXPECT_TRUE(value == n || value == n + 20) << key << " = " << value << ", last reported " << last;
    }
    start = last + 2;  // skip the write that may have been cut off
  }
}

TEST(BBXUserLoggingLogs, MessagesAreCutToTheBufferSizeAndSwitchFilesBySize) {
  zorvel::test::TempDir dir;
  TestContext context(dir.path().string());
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  BBXLog("%s-%d", "0123456789", 12);
  const std::string console = testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr();
  drainLoggingQueue();
  EXPECT_NE(console.find("Attempted to write 13 bytes, but 10 is the maximum size of the log"), std::string::npos)
      << console;
  auto lines = BBXFileReadSections(dir.file("log_a.bbxrecord").c_str(), false);
  ASSERT_TRUE(lines);
  ASSERT_EQ(lines->size(), 1u);
  EXPECT_EQ(BBXHexDecodeString((*lines)[0]["log"]["msg"].get<std::string>()), "0123456789");
  EXPECT_GT((*lines)[0]["log"]["time"].get<std::uint64_t>(), 1'600'000'000'000u);

  // The A file passes 100 bytes with its second line: the third goes to B.
  BBXLog("second");
  BBXLog("third");
  drainLoggingQueue();
  EXPECT_EQ(BBXFileReadSections(dir.file("log_a.bbxrecord").c_str(), false)->size(), 2u);
  EXPECT_EQ(BBXFileReadSections(dir.file("log_b.bbxrecord").c_str(), false)->size(), 1u);
}

TEST(BBXUserLoggingLogs, ABFilesSwitchByCountDeletingTheOlderFile) {
  zorvel::test::TempDir dir;
  TestContext context(dir.path().string());
  const std::string a = dir.file("errors_a.bbxrecord");
  const std::string b = dir.file("errors_b.bbxrecord");
  { std::ofstream(b) << "{\"old\":[]}\n"; }
  std::uint32_t count = 0;
  BBXUserLoggingABStorage storage{a.c_str(), b.c_str(), 0, 2, false, &count};
  const char* current = storage.aPath;
  auto writeOne = [&] {
    BBXUserLoggingWriteAndCheckABFiles(&storage, &current, [](BBXFile* file) {
      ASSERT_TRUE(BBXFileWriteSectionStart(file, "error") && BBXFileWriteHashStart(file) && BBXFileWriteHashEnd(file) &&
                  BBXFileWriteSectionEnd(file));
    });
    drainLoggingQueue();
  };
  writeOne();
  EXPECT_EQ(current, storage.aPath);
  writeOne();
  EXPECT_EQ(current, storage.bPath) << "the A file is full after 2 entries";
  EXPECT_FALSE(std::filesystem::exists(b)) << "the older B file is deleted first";
  writeOne();
  EXPECT_EQ(BBXFileReadSections(a.c_str(), false)->size(), 2u);
  EXPECT_EQ(BBXFileReadSections(b.c_str(), false)->size(), 1u);

  BBXUserLoggingABStorage disabled{a.c_str(), b.c_str(), 0, 0, false, &count};
  const char* disabledCurrent = disabled.aPath;
  BBXUserLoggingWriteAndCheckABFiles(&disabled, &disabledCurrent, [](BBXFile*) { FAIL() << "a maximum of 0 writes"; });
}

TEST(BBXUserLoggingLogs, AMessageBeforeInitialisationOnlyWarnsOnTheConsole) {
  zorvel::test::TempDir dir;
  TestContext context(dir.path().string());
  context.readOnly_.initialized = false;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  BBXLog("early");
  const std::string console = testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr();
  drainLoggingQueue();
  EXPECT_NE(console.find("cannot be recorded. The message was: \nearly"), std::string::npos) << console;
  EXPECT_FALSE(std::filesystem::exists(dir.file("log_a.bbxrecord")));
}

}  // namespace

namespace {

TEST(BBXUserLoggingErrors, AnErrorLineCarriesItsStackAndHexEncodedPairs) {
  zorvel::test::TempDir dir;
  TestContext context(dir.path().string());
  const std::string a = dir.file("errors_a.bbxrecord");
  const std::string b = dir.file("errors_b.bbxrecord");
  context.readOnly_.logging.errorStorage = {a.c_str(), b.c_str(), 0, 0, false, &context.writable_.logging.errorCount};
  context.writable_.logging.currentErrorPath = a.c_str();
  BBXUserLoggingRecordError("domain", -3, {}, {});
  drainLoggingQueue();
  EXPECT_FALSE(std::filesystem::exists(a)) << "error reporting off writes nothing";

  context.readOnly_.logging.errorStorage.maxEntries = 8;
  BBXUserLoggingRecordError("my\"domain", -3, {{"reason", "bad\nthing"}}, {});
  drainLoggingQueue();
  const auto lines = BBXFileReadSections(a.c_str(), false);
  ASSERT_TRUE(lines);
  ASSERT_EQ(lines->size(), 1u);
  const nlohmann::json& error = (*lines)[0]["error"];
  EXPECT_EQ(BBXHexDecodeString(error["domain"].get<std::string>()), "my\"domain");
  EXPECT_EQ(error["code"], -3);
  EXPECT_GT(error["stacktrace"].size(), 1u);
  ASSERT_EQ(error["info"].size(), 1u);
  EXPECT_EQ(BBXHexDecodeString(error["info"][0][1].get<std::string>()), "bad\nthing");
  EXPECT_FALSE(error.contains("extra_info")) << "an empty dictionary is left out";
}

}  // namespace
