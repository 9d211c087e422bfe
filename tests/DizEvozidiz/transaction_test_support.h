#pragma once

// Shared by the store's tests: databases in a temporary folder (with the default serializers, or
// with string serializers that count their calls), one-row reads and writes, and a logger that
// records the store's messages.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "DizEvozidiz/DizEvozidiz.h"
#include "DizEvozidiz/DizEvozidizConnection.h"
#include "DizEvozidiz/DizEvozidizTransaction.h"
#include "logging/log.h"
#include "platform/dispatch/run_loop.h"
#include "platform/services/notification_center.h"
#include "support/close_database.h"
#include "support/temp_dir.h"

namespace diztest {

// Strings stored as their UTF-8 bytes; empty bytes read back as nil.
struct Counters {
  std::atomic<int> objectReads{0};
  std::atomic<int> metadataReads{0};
};

inline DizEvozidizClosures stringClosures(std::shared_ptr<Counters> counters) {
  DizEvozidizClosures closures;
  auto serialize = [](const std::string&, const std::string&, const platform::Value& value) {
    const std::string& s = value.asString();
    return platform::Bytes(s.begin(), s.end());
  };
  closures.objectSerializer = serialize;
  closures.metadataSerializer = serialize;
  closures.objectDeserializer = [counters](const std::string&, const std::string&, std::span<const std::uint8_t> b) {
    ++counters->objectReads;
    return b.empty() ? platform::Value() : platform::Value(std::string(b.begin(), b.end()));
  };
  closures.metadataDeserializer = [counters](const std::string&, const std::string&, std::span<const std::uint8_t> b) {
    ++counters->metadataReads;
    return b.empty() ? platform::Value() : platform::Value(std::string(b.begin(), b.end()));
  };
  return closures;
}

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    database = DizEvozidiz::create((dir / "store.sqlite").string(), stringClosures(counters));
    ASSERT_TRUE(database);
    connection = database->newConnection();
    ASSERT_TRUE(connection);
  }
  void TearDown() override {
    connection.reset();
    database.reset();
  }

  void write(const DizEvozidizConnection::ReadWriteBlock& block) { connection->readWriteWithBlock(block); }
  void read(const DizEvozidizConnection::ReadBlock& block) { connection->readWithBlock(block); }

  zorvel::test::TempDir dir;
  std::shared_ptr<Counters> counters = std::make_shared<Counters>();
  DizEvozidiz::Ptr database;
  DizEvozidizConnection::Ptr connection;
};

// A database with the default serializers at `path`, and helpers for one row of collection
// "things" at a time.
struct StoreFixture : ::testing::Test {
  zorvel::test::TempDir dir;
  std::string path = (dir / "store.sqlite").string();
  DizEvozidiz::Ptr database;

  void SetUp() override {
    database = DizEvozidiz::create(path);
    ASSERT_TRUE(database);
  }
  void TearDown() override { drainMainQueue(); }
  // Delivers the notifications waiting on the main queue, so that they reach no later test.
  static void drainMainQueue() {
    platform::runMainLoopUntil([] { return false; }, 0.05);
  }
  // Releases `database` and waits until it has closed, so that its file can be opened again.
  static void closeDatabase(DizEvozidiz::Ptr& database) { zorvel::test::closeDatabase(database); }

  static void put(const DizEvozidizConnection::Ptr& c, const std::string& key, const platform::Value& value,
                  const std::string& collection = "things") {
    EXPECT_TRUE(c->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) { t.setObject(value, key, collection); }))
        << "storing " << key << " did not commit";
  }
  static platform::Value get(const DizEvozidizConnection::Ptr& c, const std::string& key,
                             const std::string& collection = "things") {
    platform::Value result;
    c->readWithBlock([&](DizEvozidizReadTransaction& t) { result = t.objectForKey(key, collection); });
    return result;
  }
  // The commit counter as stored in the file.
  std::uint64_t storedCounter() {
    sqlite3* raw = nullptr;
    EXPECT_EQ(sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_busy_timeout(raw, 10000);
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(raw, "SELECT data FROM diz2 WHERE extension = '' AND key = 'snapshot';", -1, &s, nullptr);
    std::uint64_t value = 0;
    if (sqlite3_step(s) == SQLITE_ROW) value = static_cast<std::uint64_t>(sqlite3_column_int64(s, 0));
    sqlite3_finalize(s);
    sqlite3_close(raw);
    return value;
  }
};

// StoreFixture with one connection, released before the database.
struct ConnectionFixture : StoreFixture {
  DizEvozidizConnection::Ptr connection;

  void SetUp() override {
    StoreFixture::SetUp();
    connection = database->newConnection();
  }
  void TearDown() override {
    connection.reset();
    StoreFixture::TearDown();
  }
};

// Records the text of every message logged while it is registered.
class CapturingLogger : public LGLogger {
 public:
  void logMessage(const LGLogMessagePtr& message) override {
    std::lock_guard lock(mutex_);
    messages_.push_back(message->message());
  }
  std::shared_ptr<LGLogFormatter> logFormatter() override { return nullptr; }
  void setLogFormatter(std::shared_ptr<LGLogFormatter>) override {}

  std::vector<std::string> messages() {
    LGLog::flushLog();
    std::lock_guard lock(mutex_);
    return messages_;
  }
  bool contains(const std::string& text) {
    for (const std::string& m : messages())
      if (m.find(text) != std::string::npos) return true;
    return false;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> messages_;
};

// Registers a CapturingLogger for its lifetime.
class LogCapture {
 public:
  LogCapture() : logger_(std::make_shared<CapturingLogger>()) { LGLog::addLogger(logger_); }
  ~LogCapture() { LGLog::removeLogger(logger_); }
  CapturingLogger& operator*() { return *logger_; }
  CapturingLogger* operator->() { return logger_.get(); }

 private:
  std::shared_ptr<CapturingLogger> logger_;
};

}  // namespace diztest
