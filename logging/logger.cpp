#include "logging/logger.h"

#include <utility>

#include "platform/system/locks.h"

LGAbstractLogger::LGAbstractLogger() = default;

LGAbstractLogger::~LGAbstractLogger() {
  // The queue may outlive the logger (a queue given with setLoggerQueue, or blocks still pending).
  if (queue_) queue_->setSpecific(this, nullptr);
}

bool LGAbstractLogger::respondsTo(LGLoggerMethod method) const {
  return method == LGLoggerMethod::LoggerQueue || method == LGLoggerMethod::LoggerName;
}

std::string LGAbstractLogger::loggerName() { return objectClass().name(); }

// Made on first use rather than in the constructor, so that the label comes from the most derived
// class's loggerName.
platform::DispatchQueuePtr LGAbstractLogger::queue() {
  platform::MutexLock lock(queueMutex_);
  if (!queue_) {
    queue_ = platform::DispatchQueue::createSerial(loggerName());
    queue_->setSpecific(this, this);
  }
  return queue_;
}

void LGAbstractLogger::setLoggerQueue(platform::DispatchQueuePtr queue) {
  platform::MutexLock lock(queueMutex_);
  if (queue == queue_) return;
  if (queue_) queue_->setSpecific(this, nullptr);
  queue_ = std::move(queue);
  if (queue_) queue_->setSpecific(this, this);
}

platform::DispatchQueuePtr LGAbstractLogger::loggerQueue() { return queue(); }

void LGAbstractLogger::logMessage(const LGLogMessagePtr&) {}

bool LGAbstractLogger::isOnGlobalLoggingQueue() const { return LGLog::isOnLoggingQueue(); }

bool LGAbstractLogger::isOnInternalLoggerQueue() const {
  // No queue carries this key before the logger's queue exists.
  return platform::DispatchQueue::getSpecificCurrent(this) != nullptr;
}

std::shared_ptr<LGLogFormatter> LGAbstractLogger::logFormatter() {
  return syncThroughLoggingQueue([this] { return logFormatter_; });
}

void LGAbstractLogger::setLogFormatter(std::shared_ptr<LGLogFormatter> formatter) {
  asyncThroughLoggingQueue([this, formatter = std::move(formatter)]() mutable { swapFormatter(std::move(formatter)); });
}

void LGAbstractLogger::asyncThroughLoggingQueue(std::function<void()> work) {
  auto self = std::static_pointer_cast<LGAbstractLogger>(shared_from_this());
  LGLog::loggingQueue()->async([self = std::move(self), work = std::move(work)]() mutable {
    const platform::DispatchQueuePtr queue = self->queue();
    queue->async([self = std::move(self), work = std::move(work)] { work(); });
  });
}

void LGAbstractLogger::onLoggerQueue(std::function<void()> work) {
  if (isOnInternalLoggerQueue())
    work();
  else
    asyncThroughLoggingQueue(std::move(work));
}

bool LGAbstractLogger::lineTextFor(const LGLogMessagePtr& message, LineText& line) const {
  line.text = &message->message();
  line.custom = false;
  if (!logFormatter_) return true;
  line.formatted = logFormatter_->formatLogMessage(message);
  if (!line.formatted) return false;
  line.text = &*line.formatted;
  line.custom = *line.formatted != message->message();
  return true;
}

void LGAbstractLogger::swapFormatter(std::shared_ptr<LGLogFormatter> formatter) {
  if (formatter == logFormatter_) return;
  if (logFormatter_ && logFormatter_->respondsTo(LGLogFormatterMethod::WillRemoveFromLogger))
    logFormatter_->willRemoveFromLogger(*this);
  logFormatter_ = std::move(formatter);
  if (logFormatter_ && logFormatter_->respondsTo(LGLogFormatterMethod::DidAddToLogger))
    logFormatter_->didAddToLogger(*this);
}
