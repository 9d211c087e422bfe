#include "logging/formatters.h"

#include <algorithm>

#include "platform/system/locks.h"
#include "platform/system/text.h"

// --- Context sets and filters --------------------------------------------------------------------

void LGLoggingContextSet::addToSet(std::int64_t context) {
  platform::MutexLock lock(lock_);
  set_.insert(static_cast<std::uint64_t>(context));
}

void LGLoggingContextSet::removeFromSet(std::int64_t context) {
  platform::MutexLock lock(lock_);
  set_.erase(static_cast<std::uint64_t>(context));
}

bool LGLoggingContextSet::isInSet(std::int64_t context) const {
  platform::MutexLock lock(lock_);
  return set_.contains(static_cast<std::uint64_t>(context));
}

std::vector<std::int64_t> LGLoggingContextSet::currentSet() const {
  platform::MutexLock lock(lock_);
  std::vector<std::int64_t> contexts;
  contexts.reserve(set_.size());
  for (std::uint64_t context : set_) contexts.push_back(static_cast<std::int64_t>(context));
  return contexts;
}

std::optional<std::string> LGContextWhitelistFilterLogFormatter::formatLogMessage(const LGLogMessagePtr& message) {
  if (!isOnWhitelist(message->context())) return std::nullopt;
  return message->message();
}

std::optional<std::string> LGContextBlacklistFilterLogFormatter::formatLogMessage(const LGLogMessagePtr& message) {
  if (isOnBlacklist(message->context())) return std::nullopt;
  return message->message();
}

// --- Queue and thread labels ---------------------------------------------------------------------

namespace {

// The global queues' labels tell nothing about who logged.
bool isGlobalQueueLabel(std::string_view label) {
  static constexpr std::string_view kGlobal[] = {
      "com.apple.root.low-priority",
      "com.apple.root.default-priority",
      "com.apple.root.high-priority",
      "com.apple.root.background-priority",
      "com.apple.root.low-overcommit-priority",
      "com.apple.root.default-overcommit-priority",
      "com.apple.root.high-overcommit-priority",
  };
  return std::find(std::begin(kGlobal), std::end(kGlobal), label) != std::end(kGlobal);
}

// Per-thread date formatters of shareable formatters, by the configuring class's name.
thread_local std::unordered_map<std::string, std::unique_ptr<platform::DateFormatter>> tDateFormatters;

}  // namespace

LGDispatchQueueLogFormatter::LGDispatchQueueLogFormatter(std::uint64_t mode) : mode_(mode) {
  replacements_.emplace("com.apple.main-thread", "main");
}

std::optional<std::string> LGDispatchQueueLogFormatter::replacementStringForQueueLabel(std::string_view label) const {
  platform::MutexLock lock(lock_);
  auto it = replacements_.find(std::string(label));
  if (it == replacements_.end()) return std::nullopt;
  return it->second;
}

void LGDispatchQueueLogFormatter::setReplacementString(std::optional<std::string> shortLabel, std::string_view label) {
  platform::MutexLock lock(lock_);
  if (shortLabel)
    replacements_[std::string(label)] = std::move(*shortLabel);
  else
    replacements_.erase(std::string(label));
}

std::unique_ptr<platform::DateFormatter> LGDispatchQueueLogFormatter::createDateFormatter() const {
  auto formatter = std::make_unique<platform::DateFormatter>();
  configureDateFormatter(*formatter);
  return formatter;
}

void LGDispatchQueueLogFormatter::configureDateFormatter(platform::DateFormatter& formatter) const {
  // The platform's date formatter is always Gregorian.
  formatter.setDateFormat("yyyy-MM-dd HH:mm:ss:SSS");
  formatter.setLocale("en_US_POSIX");
  formatter.setTimeZone({});
}

std::string LGDispatchQueueLogFormatter::stringFromDate(platform::Date date) {
  if (mode_ == LGDispatchQueueLogFormatterModeNonShareable) {
    if (!threadUnsafeDateFormatter_) threadUnsafeDateFormatter_ = createDateFormatter();
    return threadUnsafeDateFormatter_->stringFromDate(date);
  }
  std::unique_ptr<platform::DateFormatter>& formatter = tDateFormatters[dateFormatterClassName() + "_NSDateFormatter"];
  if (!formatter) formatter = createDateFormatter();
  return formatter->stringFromDate(date);
}

std::string LGDispatchQueueLogFormatter::queueThreadLabelForLogMessage(const LGLogMessage& message) const {
  const std::string& queueLabel = message.queueLabel();
  bool useQueueLabel = !queueLabel.empty() && !isGlobalQueueLabel(queueLabel);
  std::string label;
  bool isThreadID = false;
  if (useQueueLabel) {
    label = queueLabel;
  } else if (!message.threadName().empty()) {
    label = message.threadName();
  } else {
    label = message.threadID();
    isThreadID = true;
  }
  if (!isThreadID) {
    if (auto replacement = replacementStringForQueueLabel(label)) label = std::move(*replacement);
  }
  const std::uint64_t maxLength = maxQueueLength();
  const std::uint64_t minLength = minQueueLength();
  const std::size_t length = platform::utf16Length(label);
  if (maxLength > 0 && length > maxLength) {
    label = platform::substringToUtf16Index(label, static_cast<std::size_t>(maxLength));
  } else if (length < minLength) {
    label.append(static_cast<std::size_t>(minLength - length), ' ');
  }
  return label;
}

std::optional<std::string> LGDispatchQueueLogFormatter::formatLogMessage(const LGLogMessagePtr& message) {
  std::string line = stringFromDate(message->timestamp());
  line += " [";
  line += queueThreadLabelForLogMessage(*message);
  line += "] ";
  line += message->message();
  return line;
}

// --- Chains --------------------------------------------------------------------------------------

LGMultiFormatter::LGMultiFormatter()
    : queue_(platform::DispatchQueue::createConcurrent(std::string(LGLogFrameworkLabel) + ".multiformatter")),
      list_(std::make_shared<List>()) {}

LGLogMessagePtr LGMultiFormatter::logMessageForLine(std::string line, const LGLogMessage& message) const {
  return message.copyWithMessage(std::move(line));
}

std::optional<std::string> LGMultiFormatter::formatLogMessage(const LGLogMessagePtr& message) {
  std::optional<std::string> line = message->message();
  queue_->sync([&] {
    for (const auto& formatter : list_->formatters) {
      line = formatter->formatLogMessage(logMessageForLine(std::move(*line), *message));
      if (!line) return;
    }
  });
  return line;
}

std::vector<std::shared_ptr<LGLogFormatter>> LGMultiFormatter::formatters() const {
  return queue_->sync([&] { return list_->formatters; });
}

void LGMultiFormatter::addFormatter(std::shared_ptr<LGLogFormatter> formatter) {
  if (!formatter) return;
  queue_->barrierAsync([list = list_, formatter = std::move(formatter)] { list->formatters.push_back(formatter); });
}

void LGMultiFormatter::removeFormatter(const std::shared_ptr<LGLogFormatter>& formatter) {
  queue_->barrierAsync([list = list_, formatter] { std::erase(list->formatters, formatter); });
}

void LGMultiFormatter::removeAllFormatters() {
  queue_->barrierAsync([list = list_] { list->formatters.clear(); });
}

bool LGMultiFormatter::isFormattingWithFormatter(const std::shared_ptr<LGLogFormatter>& formatter) const {
  return queue_->sync([&] {
    return std::find(list_->formatters.begin(), list_->formatters.end(), formatter) != list_->formatters.end();
  });
}
