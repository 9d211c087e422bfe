#pragma once

// The logging hub: log requests become immutable LGLogMessages on the sender's thread, pass through
// one process-wide serial queue (the global logging queue) and reach every registered logger whose
// level mask contains the message's flag, each logger on its own serial queue.
//
//   LGLog::addLogger(platform::make<MyLogger>(), LGLogFlagError | LGLogFlagWarning);
//   LGLog::log(false, 3, LGLogFlagError, 27017, __FILE__, __PRETTY_FUNCTION__, __LINE__, {},
//              "%@: step failed (%d)", LGFileNameWithoutExtension(__FILE__, false), code);
//
// Every LGLog entry point may be called from any thread, with these exceptions: a synchronous log
// call, allLoggers, allLoggersWithLevel and flushLog must not be made from a block on a registered
// logger's queue (logMessage included: it would wait for a delivery that waits for it), and a
// synchronous log call must not be made from the global logging queue. allLoggers,
// allLoggersWithLevel and flushLog may be called from the global logging queue (they then do their
// work at once).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/runtime/format.h"
#include "platform/runtime/object.h"
#include "platform/runtime/value.h"
#include "platform/system/date.h"

// Flags: one bit each. A level is a mask of flags.
inline constexpr std::uint64_t LGLogFlagError = 1;
inline constexpr std::uint64_t LGLogFlagWarning = 2;
inline constexpr std::uint64_t LGLogFlagInfo = 4;
inline constexpr std::uint64_t LGLogFlagDebug = 8;
inline constexpr std::uint64_t LGLogFlagVerbose = 16;
// Every bit set: the level of LGLog::addLogger without a level, and of classes without their own.
inline constexpr std::uint64_t LGLogLevelAll = ~std::uint64_t{0};

// The framework's reverse-domain label: the global logging queue's label, and the head of the
// names of the framework's loggers and queues.
inline constexpr std::string_view LGLogFrameworkLabel = "com.zorvel.logging";

// Message options: store a copy of the file / of the function text.
inline constexpr std::int64_t LGLogMessageCopyFile = 1;
inline constexpr std::int64_t LGLogMessageCopyFunction = 2;

// The file name of a source path: the text after the last "/" up to the last "." (the whole last
// component when it has no "."). Either points into the caller's path (copy false: the path must
// outlive every copy of this value; meant for string literals such as __FILE__) or owns its bytes
// (copy true). Nil for a null path. Immutable; copies may be shared between threads.
class LGFileName {
 public:
  LGFileName() = default;  // nil

  bool isNil() const { return data_ == nullptr; }
  explicit operator bool() const { return !isNil(); }
  // Empty for nil.
  std::string_view view() const { return isNil() ? std::string_view() : std::string_view(data_, size_); }
  std::optional<std::string> string() const;
  // As "%@" prints it: the name, or "(null)" for nil.
  std::string description() const;

  friend bool operator==(const LGFileName& name, std::string_view text) { return !name.isNil() && name.view() == text; }

 private:
  friend LGFileName LGFileNameWithoutExtension(const char* path, bool copy);
  const char* data_ = nullptr;
  std::size_t size_ = 0;
  std::shared_ptr<const std::string> owned_;  // the bytes, when copied
};

LGFileName LGFileNameWithoutExtension(const char* path, bool copy);

class LGLogMessage;
using LGLogMessagePtr = std::shared_ptr<const LGLogMessage>;

// One log record: immutable once made, shared by every logger it reaches.
class LGLogMessage {
 public:
  // Built on the sender's thread: takes the thread's identifier and name and the label of the
  // dispatch queue running the caller; a missing timestamp means now. `options` is recorded as
  // given (the texts are always stored by value).
  LGLogMessage(std::string message, std::uint64_t level, std::uint64_t flag, std::int64_t context,
               std::optional<std::string> file, std::optional<std::string> function, std::uint64_t line,
               platform::Value tag = {}, std::int64_t options = 0,
               std::optional<platform::Date> timestamp = std::nullopt);

  const std::string& message() const { return message_; }
  std::uint64_t level() const { return level_; }
  std::uint64_t flag() const { return flag_; }
  std::int64_t context() const { return context_; }
  const std::optional<std::string>& file() const { return file_; }
  // The file's last path component without its extension; nil when the file is nil.
  const std::optional<std::string>& fileName() const { return fileName_; }
  const std::optional<std::string>& function() const { return function_; }
  std::uint64_t line() const { return line_; }
  const platform::Value& tag() const { return tag_; }
  std::int64_t options() const { return options_; }
  platform::Date timestamp() const { return timestamp_; }
  // The sender thread's system thread identifier, in decimal.
  const std::string& threadID() const { return threadID_; }
  // The sender thread's name; empty when unnamed.
  const std::string& threadName() const { return threadName_; }
  // The label of the queue the message was made on; the main queue's label on the main thread
  // outside any queue; empty for an unlabelled queue or a plain thread.
  const std::string& queueLabel() const { return queueLabel_; }

  // A new message with the same field values.
  LGLogMessagePtr copy() const;
  // A new message with the same field values except the text (what chained formatters hand on).
  LGLogMessagePtr copyWithMessage(std::string message) const;

 private:
  std::string message_;
  std::uint64_t level_;
  std::uint64_t flag_;
  std::int64_t context_;
  std::optional<std::string> file_;
  std::optional<std::string> fileName_;
  std::optional<std::string> function_;
  std::uint64_t line_;
  platform::Value tag_;
  std::int64_t options_;
  platform::Date timestamp_;
  std::string threadID_;
  std::string threadName_;
  std::string queueLabel_;
};

class LGLogFormatter;

// What the optional members of LGLogger are called by respondsTo.
enum class LGLoggerMethod { DidAddLogger, WillRemoveLogger, Flush, LoggerQueue, LoggerName };

// A logger. The hub calls logMessage, didAddLogger, willRemoveLogger and flush only on the logger's
// queue, and asks loggerQueue and loggerName (when the logger answers them) once, on registration.
// The optional members have empty defaults; a logger that implements one says so in respondsTo.
class LGLogger {
 public:
  virtual ~LGLogger() = default;

  virtual void logMessage(const LGLogMessagePtr& message) = 0;
  virtual std::shared_ptr<LGLogFormatter> logFormatter() = 0;
  virtual void setLogFormatter(std::shared_ptr<LGLogFormatter> formatter) = 0;

  // Optional.
  virtual bool respondsTo(LGLoggerMethod) const { return false; }
  virtual void didAddLogger() {}
  virtual void willRemoveLogger() {}
  virtual void flush() {}
  // The serial queue to run this logger on; null lets the hub make one.
  virtual platform::DispatchQueuePtr loggerQueue() { return nullptr; }
  // The label of the queue the hub makes for this logger.
  virtual std::string loggerName() { return {}; }
};

// One registry entry as allLoggersWithLevel reports it.
struct LGLoggerInformation {
  std::shared_ptr<LGLogger> logger;
  std::uint64_t level = 0;
};

// The hub. There is one, made on first use and kept until the process exits; at a normal exit it
// flushes the registered loggers. Its state (the registry) lives on the global logging queue.
class LGLog {
 public:
  static LGLog& sharedInstance();
  // The global logging queue (serial, labelled LGLogFrameworkLabel).
  static const platform::DispatchQueuePtr& loggingQueue();
  // True when the calling code runs on the global logging queue.
  static bool isOnLoggingQueue();

  // Registration and removal are queued on the global logging queue and return at once; a log
  // call made afterwards from any thread sees them. A null logger does nothing. The same logger
  // with the same level is registered once; with another level it gets another entry.
  static void addLogger(std::shared_ptr<LGLogger> logger, std::uint64_t level = LGLogLevelAll);
  // Removes the earliest entry of the logger (by identity).
  static void removeLogger(const std::shared_ptr<LGLogger>& logger);
  static void removeAllLoggers();
  // One element per entry, in registration order; waits for the global logging queue.
  static std::vector<std::shared_ptr<LGLogger>> allLoggers();
  static std::vector<LGLoggerInformation> allLoggersWithLevel();

  // Formats the arguments printf-style (platform::format, "%@" included) and logs the text to
  // every entry whose level shares a bit with `flag`. Asynchronous: returns once queued;
  // otherwise returns after every matching logger has handled the message. A null format does
  // nothing. At most 1000 messages wait or are in delivery at once; further senders block.
  template <class... Args>
  static void log(bool asynchronous, std::uint64_t level, std::uint64_t flag, std::int64_t context, const char* file,
                  const char* function, std::uint64_t line, platform::Value tag, const char* format,
                  const Args&... args) {
    if (!format) return;
    logMessage(asynchronous, platform::format(format, args...), level, flag, context, file, function, line,
               std::move(tag));
  }
  // The same with arguments already boxed.
  static void logArgs(bool asynchronous, std::uint64_t level, std::uint64_t flag, std::int64_t context,
                      const char* file, const char* function, std::uint64_t line, platform::Value tag,
                      const char* format, std::span<const platform::FormatArg> args);
  // Logs a finished text; file and function are taken as "%s" prints them.
  static void logMessage(bool asynchronous, std::string message, std::uint64_t level, std::uint64_t flag,
                         std::int64_t context, const char* file, const char* function, std::uint64_t line,
                         platform::Value tag = {});
  // Logs a message the caller built. A null message does nothing.
  static void log(bool asynchronous, LGLogMessagePtr message);

  // Returns when every message queued before the call has been delivered and every registered
  // logger that answers flush has flushed.
  static void flushLog();
  // The process is ending: flushes.
  static void applicationWillTerminate();

  // Per-class levels: a class takes part when it has both class methods "lgLogLevel" and
  // "lgSetLogLevel:" (methods by name of the object runtime).
  static bool isRegisteredClass(const platform::Class* cls);
  // Every registered runtime class that takes part, in the runtime's order.
  static std::vector<const platform::Class*> registeredClasses();
  static std::vector<std::string> registeredClassNames();
  // The class's own level, or LGLogLevelAll when it has none (or is null / unknown).
  static std::uint64_t levelForClass(const platform::Class* cls);
  static std::uint64_t levelForClassWithName(std::string_view name);
  // Sets the class's own level; nothing for a class without one.
  static void setLevel(std::uint64_t level, const platform::Class* cls);
  static void setLevel(std::uint64_t level, std::string_view className);

  LGLog(const LGLog&) = delete;
  LGLog& operator=(const LGLog&) = delete;

 private:
  LGLog();
  struct State;
  State* state_;  // never freed: the hub outlives static destruction
};
