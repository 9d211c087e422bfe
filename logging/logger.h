#pragma once

// The logger base class and the formatter protocol.
//
// Every logger runs on its own serial queue. A formatter change passes through the global logging
// queue before it reaches that queue, so it takes effect exactly between two messages, in the order
// in which messages and the change were issued, and a read of the formatter from the thread that
// set it sees the change.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>

#include "logging/log.h"
#include "platform/dispatch/dispatch.h"
#include "platform/runtime/object.h"
#include "platform/system/locks.h"

// What the optional members of LGLogFormatter are called by respondsTo.
enum class LGLogFormatterMethod { DidAddToLogger, WillRemoveFromLogger };

// Turns messages into the text a logger writes. Called on the queue of each logger that uses it,
// so a formatter shared by several loggers must be thread-safe.
class LGLogFormatter {
 public:
  virtual ~LGLogFormatter() = default;

  // The text to write, or nullopt to drop the message.
  virtual std::optional<std::string> formatLogMessage(const LGLogMessagePtr& message) = 0;

  // Optional (a formatter that implements one says so in respondsTo). Called on the logger's queue.
  virtual bool respondsTo(LGLogFormatterMethod) const { return false; }
  // The logger has just taken this formatter.
  virtual void didAddToLogger(LGLogger&) {}
  // The logger is about to let this formatter go.
  virtual void willRemoveFromLogger(LGLogger&) {}
};

// Base of the framework's loggers: owns the logger's serial queue (labelled with loggerName, made
// on first use) and guards the formatter. Loggers are owned through std::shared_ptr made by
// platform::make; the queue-hopping members need that ownership and must not be called from a
// constructor.
class LGAbstractLogger : public platform::Object, public LGLogger {
  ZORVEL_CLASS(LGAbstractLogger, platform::Object)

 public:
  LGAbstractLogger();
  ~LGAbstractLogger() override;

  // Answers LoggerQueue and LoggerName; subclasses add what they implement.
  bool respondsTo(LGLoggerMethod method) const override;
  // The class's name; concrete loggers return their own fixed names.
  std::string loggerName() override;
  platform::DispatchQueuePtr loggerQueue() override;
  // Replaces the logger's queue (which the logger then keeps alive); null makes a fresh one on next
  // use. Meant for set-up before registration: a registered logger goes on running on the queue
  // the hub took when it was registered. Must not be called from the logger's own queue.
  void setLoggerQueue(platform::DispatchQueuePtr queue);
  // Does nothing here; called on the logger's queue.
  void logMessage(const LGLogMessagePtr& message) override;

  // The formatter in force after everything issued before the call, read through the global
  // logging queue and then this logger's queue. On this logger's own queue it is read directly.
  std::shared_ptr<LGLogFormatter> logFormatter() override;
  // Queued through the global logging queue onto this logger's queue; returns at once. Setting the
  // formatter already in force does nothing; otherwise the old one hears willRemoveFromLogger and
  // the new one didAddToLogger (when they answer them). Null removes the formatter.
  void setLogFormatter(std::shared_ptr<LGLogFormatter> formatter) override;

  bool isOnGlobalLoggingQueue() const;
  bool isOnInternalLoggerQueue() const;

 protected:
  // The text a logger writes for a message: the formatter's, else the message's own. A formatter
  // that hands the text back unchanged (a filter) counts as not customising it.
  struct LineText {
    std::optional<std::string> formatted;  // the formatter's text, when there is a formatter
    const std::string* text = nullptr;     // what to write (points into `formatted` or the message)
    bool custom = false;
    bool endsWithNewline() const { return !text->empty() && text->back() == '\n'; }
  };
  // False when the formatter dropped the message. Logger's queue only.
  bool lineTextFor(const LGLogMessagePtr& message, LineText& line) const;

  // For constructors: sets the first formatter before the logger is shared (without telling it).
  void initLogFormatter(std::shared_ptr<LGLogFormatter> formatter) { logFormatter_ = std::move(formatter); }
  // The formatter, for the logger's own code on its queue (no locking: only that queue swaps it).
  const std::shared_ptr<LGLogFormatter>& currentLogFormatter() const { return logFormatter_; }

  // Runs `work` on this logger's queue after everything issued before through the global logging
  // queue: asynchronously on that queue, then asynchronously on this logger's queue. Holds the
  // logger until the work has run. Returns at once.
  void asyncThroughLoggingQueue(std::function<void()> work);
  // Runs `work` at once when called on this logger's queue, else as asyncThroughLoggingQueue.
  void onLoggerQueue(std::function<void()> work);
  // Runs `read` synchronously on the global logging queue and inside it on this logger's queue,
  // and returns its result. Called on this logger's queue it reads at once; on the global logging
  // queue it reads on this logger's queue only.
  template <class F>
  std::invoke_result_t<F&> syncThroughLoggingQueue(F&& read) {
    if (isOnInternalLoggerQueue()) return read();
    const platform::DispatchQueuePtr queue = this->queue();
    auto onLogger = [&]() -> std::invoke_result_t<F&> { return queue->sync(read); };
    if (LGLog::isOnLoggingQueue()) return onLogger();
    return LGLog::loggingQueue()->sync(onLogger);
  }

 private:
  platform::DispatchQueuePtr queue();
  void swapFormatter(std::shared_ptr<LGLogFormatter> formatter);

  platform::Mutex queueMutex_;
  platform::DispatchQueuePtr queue_ ZORVEL_GUARDED_BY(queueMutex_);
  std::shared_ptr<LGLogFormatter> logFormatter_;  // touched only on queue_
};
