#include "logging/system_log_logger.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <charconv>
#include <thread>

#include "platform/system/locks.h"
#include "platform/system/process.h"

namespace {

constexpr std::string_view kCaptureFileName = "LGASLLogCapture";
constexpr std::string_view kMarkerName = "LGLOG";

std::optional<std::uint64_t> parseUnsigned(const std::string* text) {
  if (!text) return std::nullopt;
  std::uint64_t value = 0;
  auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), value);
  if (ec != std::errc() || end != text->data() + text->size()) return std::nullopt;
  return value;
}

}  // namespace

// --- The logger ----------------------------------------------------------------------------------

LGASLLogger::LGASLLogger(std::string identifier, std::vector<LGJournalField> fields, const LGJournalWriter* writer)
    : identifier_(std::move(identifier)),
      fields_(std::move(fields)),
      writer_(writer ? writer : &LGJournalWriter::daemon()) {
  fields_.push_back(LGJournalField{std::string(kMarkerName), "1"});
}

std::shared_ptr<LGASLLogger> LGASLLogger::sharedInstance() {
  static const std::shared_ptr<LGASLLogger> instance =
      platform::make<LGASLLogger>(platform::ProcessInfo::processName(), std::vector<LGJournalField>{}, nullptr);
  return instance;
}

std::shared_ptr<LGASLLogger> LGASLLogger::loggerWithIdentifier(std::string identifier,
                                                               std::vector<LGJournalField> fields,
                                                               const LGJournalWriter* writer) {
  return platform::make<LGASLLogger>(std::move(identifier), std::move(fields), writer);
}

std::string LGASLLogger::loggerName() { return std::string(LGLogFrameworkLabel) + ".aslLogger"; }

int LGASLLogger::priorityForFlag(std::uint64_t flag) {
  switch (flag) {
    case LGLogFlagError:
      return LGJournalPriorityCritical;
    case LGLogFlagWarning:
      return LGJournalPriorityError;
    case LGLogFlagInfo:
      return LGJournalPriorityWarning;
    default:
      return LGJournalPriorityNotice;
  }
}

void LGASLLogger::logMessage(const LGLogMessagePtr& message) {
  if (message->fileName() && *message->fileName() == kCaptureFileName) return;  // captured: not sent back
  LineText line;
  if (!lineTextFor(message, line)) return;
  // A record that cannot be sent is dropped; the log has nowhere to report it.
  writer_->send(priorityForFlag(message->flag()), identifier_, *line.text, fields_);
}

// --- The capture ---------------------------------------------------------------------------------

namespace {

// One run of the capture, shared by its thread and by stop().
struct CaptureRun {
  std::atomic<bool> running{true};
  int wake = -1;  // eventfd that stop() signals
  std::unique_ptr<LGJournalReader> reader;

  ~CaptureRun() {
    if (wake >= 0) ::close(wake);
  }

  void watch() {
    while (running.load()) {
      while (running.load()) {
        std::optional<LGJournalEntry> entry = reader->next();
        if (!entry) break;
        LGJournalRecord record(entry->fields.begin(), entry->fields.end());
        record["__REALTIME_TIMESTAMP"] = std::to_string(entry->realtimeMicroseconds);
        LGASLLogCapture::aslMessageReceived(record);
      }
      if (!running.load()) break;
      pollfd fds[2] = {{reader->fileDescriptor(), POLLIN, 0}, {wake, POLLIN, 0}};
      // Without a descriptor the journal is looked at again every quarter second.
      int ready = ::poll(fds, 2, fds[0].fd < 0 ? 250 : 1000);
      if (ready > 0 && (fds[1].revents & POLLIN)) break;
      if (fds[0].fd >= 0) reader->process();
    }
  }
};

struct Capture {
  platform::Mutex mutex;
  std::shared_ptr<CaptureRun> run ZORVEL_GUARDED_BY(mutex);
  std::atomic<std::uint64_t> level{31};
};

Capture& capture() {
  static Capture* made = new Capture;  // used by a thread that may outlive static destruction
  return *made;
}

}  // namespace

bool LGASLLogCapture::start() {
  Capture& c = capture();
  platform::MutexLock lock(c.mutex);
  if (c.run && c.run->running.load()) return true;
  auto run = std::make_shared<CaptureRun>();
  run->reader = LGJournalReader::openLocal();
  if (!run->reader) return false;
  run->wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (run->wake < 0) return false;
  // Entries of this process written since the start second.
  run->reader->addMatch("_PID=" + std::to_string(platform::ProcessInfo::processIdentifier()));
  auto startSecond = static_cast<std::uint64_t>(platform::Date::now().timeIntervalSince1970());
  run->reader->seekRealtime(startSecond * 1000000);
  c.run = run;
  std::thread([run] { run->watch(); }).detach();
  return true;
}

void LGASLLogCapture::stop() {
  Capture& c = capture();
  platform::MutexLock lock(c.mutex);
  if (!c.run) return;
  c.run->running.store(false);
  std::uint64_t one = 1;
  [[maybe_unused]] ssize_t written = ::write(c.run->wake, &one, sizeof one);
  c.run.reset();
}

bool LGASLLogCapture::isRunning() {
  Capture& c = capture();
  platform::MutexLock lock(c.mutex);
  return c.run && c.run->running.load();
}

std::uint64_t LGASLLogCapture::captureLevel() { return capture().level.load(); }

void LGASLLogCapture::setCaptureLevel(std::uint64_t level) { capture().level.store(level); }

LGASLLogCapture::Delivery LGASLLogCapture::deliveryForPriority(const std::string* priority) {
  std::optional<std::uint64_t> value = parseUnsigned(priority);
  if (!value) return {LGLogFlagError, true};
  switch (*value) {
    case 0:
    case 1:
    case 2:
      return {LGLogFlagError, true};
    case 3:
      return {LGLogFlagWarning, false};
    case 4:
      return {LGLogFlagInfo, false};
    case 5:
      return {LGLogFlagDebug, false};
    default:
      return {LGLogFlagVerbose, false};
  }
}

bool LGASLLogCapture::aslMessageReceived(const LGJournalRecord& record) {
  auto text = record.find("MESSAGE");
  if (text == record.end()) return false;
  auto marker = record.find(kMarkerName);
  if (marker != record.end() && marker->second == "1") return false;
  auto priority = record.find("PRIORITY");
  Delivery delivery = deliveryForPriority(priority == record.end() ? nullptr : &priority->second);
  const std::uint64_t level = captureLevel();
  if (!(level & delivery.flag)) return false;

  std::optional<platform::Date> timestamp;
  for (std::string_view name : {"_SOURCE_REALTIME_TIMESTAMP", "__REALTIME_TIMESTAMP"}) {
    auto it = record.find(name);
    if (it == record.end()) continue;
    if (auto micros = parseUnsigned(&it->second); micros && *micros > 0) {
      timestamp = platform::Date::fromTimeIntervalSince1970(static_cast<double>(*micros) / 1e6);
      break;
    }
  }
  auto message =
      std::make_shared<const LGLogMessage>(text->second, level, delivery.flag, 0, std::string(kCaptureFileName),
                                           std::nullopt, 0, platform::Value(), 0, timestamp);
  LGLog::log(!delivery.synchronous, message);
  return true;
}
