#pragma once

// Loggers and helpers shared by the logging tests.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "logging/log.h"
#include "logging/logger.h"
#include "platform/dispatch/dispatch.h"
#include "platform/runtime/object.h"

namespace logtest {

// Polls until the condition holds; false after the time-out.
inline bool waitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// A latch that blocks logMessage until opened.
class Gate {
 public:
  void open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    cv_.notify_all();
  }
  void pass() {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [&] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;
};

// Records what reaches it: the written lines (formatted when a formatter is set, raw otherwise),
// the messages, and its hooks; checks that every hook runs on its own queue.
class RecordingLogger : public LGAbstractLogger {
  ZORVEL_CLASS(RecordingLogger, LGAbstractLogger)

 public:
  bool respondsTo(LGLoggerMethod method) const override {
    return method == LGLoggerMethod::DidAddLogger || method == LGLoggerMethod::WillRemoveLogger ||
           method == LGLoggerMethod::Flush || LGAbstractLogger::respondsTo(method);
  }

  void logMessage(const LGLogMessagePtr& message) override {
    if (!isOnInternalLoggerQueue()) offQueue_ = true;
    if (onMessage) onMessage(message);
    if (gate) gate->pass();
    std::optional<std::string> line = message->message();
    if (currentLogFormatter()) line = currentLogFormatter()->formatLogMessage(message);
    std::lock_guard lock(mutex_);
    messages_.push_back(message);
    if (line) lines_.push_back(*line);
    events_.push_back("message");
  }
  void didAddLogger() override { hook("didAdd"); }
  void willRemoveLogger() override { hook("willRemove"); }
  void flush() override { hook("flush"); }

  std::vector<LGLogMessagePtr> messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
  }
  std::vector<std::string> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  std::vector<std::string> events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }
  std::size_t count() const {
    std::lock_guard lock(mutex_);
    return messages_.size();
  }
  std::size_t eventCount(const std::string& name) const {
    std::lock_guard lock(mutex_);
    std::size_t n = 0;
    for (const auto& e : events_) n += e == name;
    return n;
  }
  // True when any hook ran off the logger's queue.
  bool ranOffQueue() const { return offQueue_; }

  // Set before registering; called on the logger's queue for each message.
  std::function<void(const LGLogMessagePtr&)> onMessage;
  std::shared_ptr<Gate> gate;

 private:
  void hook(const char* name) {
    if (!isOnInternalLoggerQueue()) offQueue_ = true;
    std::lock_guard lock(mutex_);
    events_.push_back(name);
  }

  mutable std::mutex mutex_;
  std::vector<LGLogMessagePtr> messages_;
  std::vector<std::string> lines_;
  std::vector<std::string> events_;
  std::atomic<bool> offQueue_{false};
};

// Every test starts and ends with an empty registry and nothing in flight.
class HubTest : public ::testing::Test {
 protected:
  void TearDown() override {
    LGLog::removeAllLoggers();
    LGLog::flushLog();
  }
};

}  // namespace logtest
