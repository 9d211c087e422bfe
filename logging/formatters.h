#pragma once

// Ready-made formatters: two context filters that pass or drop messages by their context number,
// a formatter that prefixes each message with its time and the queue or thread that logged it,
// and a formatter that chains several formatters.
//
// Threads: every formatter here may serve several loggers at once (each logger calls it on its
// own queue) and may be changed from any thread while loggers use it; the exception is an
// LGDispatchQueueLogFormatter in mode LGDispatchQueueLogFormatterModeNonShareable, which must serve
// one logger only.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "logging/logger.h"
#include "platform/dispatch/dispatch.h"
#include "platform/runtime/thread.h"
#include "platform/system/calendar.h"

// A set of context numbers behind a spin lock.
class LGLoggingContextSet {
 public:
  void addToSet(std::int64_t context);
  void removeFromSet(std::int64_t context);
  bool isInSet(std::int64_t context) const;
  // Every number, in no particular order.
  std::vector<std::int64_t> currentSet() const;

 private:
  mutable platform::SpinLock lock_;
  std::unordered_set<std::uint64_t> set_ ZORVEL_GUARDED_BY(lock_);
};

// Passes the messages whose context is on the list (an empty list drops everything).
class LGContextWhitelistFilterLogFormatter : public LGLogFormatter {
 public:
  void addToWhitelist(std::int64_t context) { contexts_.addToSet(context); }
  void removeFromWhitelist(std::int64_t context) { contexts_.removeFromSet(context); }
  std::vector<std::int64_t> whitelist() const { return contexts_.currentSet(); }
  bool isOnWhitelist(std::int64_t context) const { return contexts_.isInSet(context); }

  std::optional<std::string> formatLogMessage(const LGLogMessagePtr& message) override;

 private:
  LGLoggingContextSet contexts_;
};

// Drops the messages whose context is on the list (an empty list passes everything).
class LGContextBlacklistFilterLogFormatter : public LGLogFormatter {
 public:
  void addToBlacklist(std::int64_t context) { contexts_.addToSet(context); }
  void removeFromBlacklist(std::int64_t context) { contexts_.removeFromSet(context); }
  std::vector<std::int64_t> blacklist() const { return contexts_.currentSet(); }
  bool isOnBlacklist(std::int64_t context) const { return contexts_.isInSet(context); }

  std::optional<std::string> formatLogMessage(const LGLogMessagePtr& message) override;

 private:
  LGLoggingContextSet contexts_;
};

// Mode 0: the formatter may serve several loggers at once, so every thread gets its own date
// formatter. Mode 1: it serves one logger only and keeps one date formatter of its own.
inline constexpr std::uint64_t LGDispatchQueueLogFormatterModeShareble = 0;
inline constexpr std::uint64_t LGDispatchQueueLogFormatterModeNonShareable = 1;

// "<time> [<queue or thread>] <text>", the time as "yyyy-MM-dd HH:mm:ss:SSS" in the local zone.
// The label is the queue's label, except for the global queues (whose label says nothing): there,
// and outside any queue, the thread's name, else its identifier. Labels and names may be replaced
// by short ones ("com.apple.main-thread" is "main" from the start); then they are cut to
// maxQueueLength or padded with blanks to minQueueLength (lengths in UTF-16 units; 0: no limit).
class LGDispatchQueueLogFormatter : public LGLogFormatter {
 public:
  explicit LGDispatchQueueLogFormatter(std::uint64_t mode = LGDispatchQueueLogFormatterModeShareble);

  std::uint64_t minQueueLength() const { return minQueueLength_.load(std::memory_order_relaxed); }
  void setMinQueueLength(std::uint64_t length) { minQueueLength_.store(length, std::memory_order_relaxed); }
  std::uint64_t maxQueueLength() const { return maxQueueLength_.load(std::memory_order_relaxed); }
  void setMaxQueueLength(std::uint64_t length) { maxQueueLength_.store(length, std::memory_order_relaxed); }

  std::optional<std::string> replacementStringForQueueLabel(std::string_view label) const;
  // nullopt removes the replacement.
  void setReplacementString(std::optional<std::string> shortLabel, std::string_view label);

  // A new date formatter passed through configureDateFormatter.
  std::unique_ptr<platform::DateFormatter> createDateFormatter() const;
  // "yyyy-MM-dd HH:mm:ss:SSS", "en_US_POSIX", the Gregorian calendar, the current time zone.
  virtual void configureDateFormatter(platform::DateFormatter& formatter) const;
  std::string stringFromDate(platform::Date date);
  std::string queueThreadLabelForLogMessage(const LGLogMessage& message) const;

  std::optional<std::string> formatLogMessage(const LGLogMessagePtr& message) override;

 protected:
  // The name of the class whose configureDateFormatter is in use: per-thread date formatters are
  // kept under it, so subclasses that keep the date format share their parent's. A subclass that
  // overrides configureDateFormatter overrides this too.
  virtual std::string dateFormatterClassName() const { return "LGDispatchQueueLogFormatter"; }

 private:
  std::uint64_t mode_;
  std::unique_ptr<platform::DateFormatter> threadUnsafeDateFormatter_;  // mode 1 only
  mutable platform::SpinLock lock_;
  std::unordered_map<std::string, std::string> replacements_ ZORVEL_GUARDED_BY(lock_);
  std::atomic<std::uint64_t> minQueueLength_{0};
  std::atomic<std::uint64_t> maxQueueLength_{0};
};

// Chains formatters: each gets a copy of the message whose text is the previous one's result; a
// nil result ends the chain with nil; no formatters pass the text unchanged. Formatting runs
// concurrently on the formatter's own queue; list changes run there as barriers, so a change waits
// for formatting in progress and is in force for formatting that starts after it.
class LGMultiFormatter : public LGLogFormatter {
 public:
  LGMultiFormatter();

  std::optional<std::string> formatLogMessage(const LGLogMessagePtr& message) override;
  // The incoming message with `line` as its text.
  LGLogMessagePtr logMessageForLine(std::string line, const LGLogMessage& message) const;

  std::vector<std::shared_ptr<LGLogFormatter>> formatters() const;
  // Returns at once; the change is in force for formatting issued after it.
  void addFormatter(std::shared_ptr<LGLogFormatter> formatter);
  // Removes every entry of the formatter.
  void removeFormatter(const std::shared_ptr<LGLogFormatter>& formatter);
  void removeAllFormatters();
  bool isFormattingWithFormatter(const std::shared_ptr<LGLogFormatter>& formatter) const;

 private:
  // Shared with the queued changes, which may run after the formatter has gone.
  struct List {
    std::vector<std::shared_ptr<LGLogFormatter>> formatters;  // touched only on the queue
  };
  platform::DispatchQueuePtr queue_;
  std::shared_ptr<List> list_;
};
