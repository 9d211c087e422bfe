#include "logging/log.h"

#include <atomic>
#include <charconv>
#include <cstdlib>
#include <semaphore>
#include <utility>

#include "platform/runtime/thread.h"
#include "platform/system/diagnostics.h"
#include "platform/system/process.h"

// --- File names --------------------------------------------------------------------------------

LGFileName LGFileNameWithoutExtension(const char* path, bool copy) {
  LGFileName name;
  if (!path) return name;
  const char* lastSlash = nullptr;
  const char* lastDot = nullptr;
  const char* p = path;
  for (; *p; ++p) {
    if (*p == '/')
      lastSlash = p;
    else if (*p == '.')
      lastDot = p;
  }
  const char* start = lastSlash ? lastSlash + 1 : path;
  // A dot before the last slash belongs to a folder: the file has no extension then.
  const char* end = lastDot && lastDot >= start ? lastDot : p;
  if (copy) {
    name.owned_ = std::make_shared<const std::string>(start, end);
    name.data_ = name.owned_->data();
    name.size_ = name.owned_->size();
  } else {
    name.data_ = start;
    name.size_ = static_cast<std::size_t>(end - start);
  }
  return name;
}

std::optional<std::string> LGFileName::string() const {
  if (isNil()) return std::nullopt;
  return std::string(view());
}

std::string LGFileName::description() const { return isNil() ? std::string("(null)") : std::string(view()); }

// --- Messages ----------------------------------------------------------------------------------

namespace {

// The thread identifier's text never changes for a thread, so it is made once per thread.
const std::string& currentThreadIDText() {
  thread_local const std::string text = [] {
    char buffer[24];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, platform::currentThreadId());
    return std::string(buffer, result.ptr);
  }();
  return text;
}

std::optional<std::string> fileNameOf(const std::optional<std::string>& file) {
  if (!file) return std::nullopt;
  return LGFileNameWithoutExtension(file->c_str(), false).string();
}

}  // namespace

LGLogMessage::LGLogMessage(std::string message, std::uint64_t level, std::uint64_t flag, std::int64_t context,
                           std::optional<std::string> file, std::optional<std::string> function, std::uint64_t line,
                           platform::Value tag, std::int64_t options, std::optional<platform::Date> timestamp)
    : message_(std::move(message)),
      level_(level),
      flag_(flag),
      context_(context),
      file_(std::move(file)),
      fileName_(fileNameOf(file_)),
      function_(std::move(function)),
      line_(line),
      tag_(std::move(tag)),
      options_(options),
      timestamp_(timestamp ? *timestamp : platform::Date::now()),
      threadID_(currentThreadIDText()),
      threadName_(platform::currentThreadName()),
      queueLabel_(platform::DispatchQueue::currentQueueLabel()) {}

LGLogMessagePtr LGLogMessage::copy() const { return std::make_shared<const LGLogMessage>(*this); }

LGLogMessagePtr LGLogMessage::copyWithMessage(std::string message) const {
  auto made = std::make_shared<LGLogMessage>(*this);
  made->message_ = std::move(message);
  return made;
}

// --- The hub -----------------------------------------------------------------------------------

namespace {

// The most messages waiting for or in delivery at once.
constexpr std::ptrdiff_t kQueueSize = 1000;

// Key (and value) of the global logging queue's queue-specific entry.
char gLoggingQueueKey;

// Set while this thread does the hub's work: on the global logging queue and in the blocks the hub
// runs on loggers' queues. The exit flush must not wait for work that waits for this thread.
thread_local int tHubWork = 0;

// How many entries the registry holds, as last changed on the global logging queue; read by the
// diagnostics sink to leave diagnostics on standard error while no logger would take them.
std::atomic<std::size_t> gRegisteredEntries{0};

struct HubWorkScope {
  HubWorkScope() { ++tHubWork; }
  ~HubWorkScope() { --tHubWork; }
  HubWorkScope(const HubWorkScope&) = delete;
  HubWorkScope& operator=(const HubWorkScope&) = delete;
};

// Process-wide set-up, made once and never destroyed (logging must keep working during static
// destruction).
struct Globals {
  platform::DispatchQueuePtr queue;
  std::shared_ptr<platform::DispatchGroup> group;
  std::counting_semaphore<kQueueSize> semaphore{kQueueSize};
  unsigned processorCount = 1;

  Globals() {
    queue = platform::DispatchQueue::createSerial(std::string(LGLogFrameworkLabel));
    group = platform::DispatchGroup::create();
    queue->setSpecific(&gLoggingQueueKey, &gLoggingQueueKey);
    processorCount = platform::ProcessInfo::processorCount();
    if (processorCount == 0) processorCount = 1;
    // Messages made on the main thread carry the main queue's label, which the dispatch layer
    // knows once the main queue exists.
    platform::DispatchQueue::main();
  }
};

Globals& globals() {
  static Globals* made = new Globals;
  return *made;
}

struct Node {
  std::shared_ptr<LGLogger> logger;
  platform::DispatchQueuePtr queue;
  std::uint64_t level;
};

}  // namespace

struct LGLog::State {
  std::vector<Node> loggers;  // registration order; touched only on the global logging queue

  State() { loggers.reserve(4); }

  void deliver(const LGLogMessagePtr& message);
  void flush();
  void addLogger(std::shared_ptr<LGLogger> logger, std::uint64_t level);
  void removeLogger(const std::shared_ptr<LGLogger>& logger);
  void removeAllLoggers();
};

void LGLog::State::deliver(const LGLogMessagePtr& message) {
  Globals& g = globals();
  const std::uint64_t flag = message->flag();
  std::size_t last = loggers.size();
  for (std::size_t i = 0; i < loggers.size(); ++i)
    if (loggers[i].level & flag) last = i;
  if (last == loggers.size()) return;

  auto runOn = [&message](LGLogger& logger) {
    HubWorkScope work;
    logger.logMessage(message);
  };
  if (g.processorCount < 2) {
    for (std::size_t i = 0; i <= last; ++i) {
      const Node& node = loggers[i];
      if (node.level & flag) node.queue->sync([&] { runOn(*node.logger); });
    }
    return;
  }
  // The loggers work on the message in parallel; the last one runs through a synchronous
  // submission, which takes its queue on this thread when the queue is idle instead of waking
  // another thread for it. Either way this returns only when every one has finished.
  for (std::size_t i = 0; i < last; ++i) {
    const Node& node = loggers[i];
    if (node.level & flag)
      g.group->async(node.queue, [logger = node.logger, message] {
        HubWorkScope work;
        logger->logMessage(message);
      });
  }
  const Node& node = loggers[last];
  node.queue->sync([&] { runOn(*node.logger); });
  g.group->wait();
}

void LGLog::State::flush() {
  Globals& g = globals();
  for (const Node& node : loggers) {
    if (!node.logger->respondsTo(LGLoggerMethod::Flush)) continue;
    g.group->async(node.queue, [logger = node.logger] {
      HubWorkScope work;
      logger->flush();
    });
  }
  g.group->wait();
}

void LGLog::State::addLogger(std::shared_ptr<LGLogger> logger, std::uint64_t level) {
  for (const Node& node : loggers)
    if (node.logger == logger && node.level == level) return;
  // A logger registered again (with another level) keeps the queue of its first entry: a
  // logger's state must only ever be touched from one queue.
  platform::DispatchQueuePtr queue;
  for (const Node& node : loggers)
    if (node.logger == logger) queue = node.queue;
  if (!queue && logger->respondsTo(LGLoggerMethod::LoggerQueue)) queue = logger->loggerQueue();
  if (!queue)
    queue = platform::DispatchQueue::createSerial(logger->respondsTo(LGLoggerMethod::LoggerName) ? logger->loggerName()
                                                                                                 : std::string());
  loggers.push_back(Node{logger, queue, level});
  gRegisteredEntries.store(loggers.size(), std::memory_order_release);
  if (logger->respondsTo(LGLoggerMethod::DidAddLogger))
    queue->async([logger] {
      HubWorkScope work;
      logger->didAddLogger();
    });
}

void LGLog::State::removeLogger(const std::shared_ptr<LGLogger>& logger) {
  for (auto it = loggers.begin(); it != loggers.end(); ++it) {
    if (it->logger != logger) continue;
    if (logger->respondsTo(LGLoggerMethod::WillRemoveLogger))
      it->queue->async([logger] {
        HubWorkScope work;
        logger->willRemoveLogger();
      });
    loggers.erase(it);
    gRegisteredEntries.store(loggers.size(), std::memory_order_release);
    return;
  }
}

void LGLog::State::removeAllLoggers() {
  for (const Node& node : loggers)
    if (node.logger->respondsTo(LGLoggerMethod::WillRemoveLogger))
      node.queue->async([logger = node.logger, queue = node.queue] {
        HubWorkScope work;
        logger->willRemoveLogger();
      });
  loggers.clear();
  gRegisteredEntries.store(0, std::memory_order_release);
}

namespace {

void exitHandler() {
  // Called from inside the hub's own work (a logger ending the process from its logMessage, say),
  // a flush would wait for this very thread; the messages still queued are then given up.
  if (tHubWork > 0) return;
  LGLog::applicationWillTerminate();
}

}  // namespace

LGLog::LGLog() : state_(new State) {
  globals();
  std::atexit(exitHandler);
}

LGLog& LGLog::sharedInstance() {
  static LGLog* instance = new LGLog;
  return *instance;
}

const platform::DispatchQueuePtr& LGLog::loggingQueue() { return globals().queue; }

bool LGLog::isOnLoggingQueue() {
  globals();
  return platform::DispatchQueue::getSpecificCurrent(&gLoggingQueueKey) != nullptr;
}

void LGLog::addLogger(std::shared_ptr<LGLogger> logger, std::uint64_t level) {
  if (!logger) return;
  State* state = sharedInstance().state_;
  loggingQueue()->async([state, logger = std::move(logger), level]() mutable {
    HubWorkScope work;
    state->addLogger(std::move(logger), level);
  });
}

void LGLog::removeLogger(const std::shared_ptr<LGLogger>& logger) {
  if (!logger) return;
  State* state = sharedInstance().state_;
  loggingQueue()->async([state, logger] {
    HubWorkScope work;
    state->removeLogger(logger);
  });
}

void LGLog::removeAllLoggers() {
  State* state = sharedInstance().state_;
  loggingQueue()->async([state] {
    HubWorkScope work;
    state->removeAllLoggers();
  });
}

namespace {

// Runs `work` on the global logging queue and waits for it; at once when already there.
template <class F>
void onLoggingQueueSync(F&& work) {
  if (LGLog::isOnLoggingQueue()) {
    HubWorkScope scope;
    work();
    return;
  }
  LGLog::loggingQueue()->sync([&] {
    HubWorkScope scope;
    work();
  });
}

}  // namespace

std::vector<std::shared_ptr<LGLogger>> LGLog::allLoggers() {
  State* state = sharedInstance().state_;
  std::vector<std::shared_ptr<LGLogger>> result;
  onLoggingQueueSync([&] {
    result.reserve(state->loggers.size());
    for (const Node& node : state->loggers) result.push_back(node.logger);
  });
  return result;
}

std::vector<LGLoggerInformation> LGLog::allLoggersWithLevel() {
  State* state = sharedInstance().state_;
  std::vector<LGLoggerInformation> result;
  onLoggingQueueSync([&] {
    result.reserve(state->loggers.size());
    for (const Node& node : state->loggers) result.push_back(LGLoggerInformation{node.logger, node.level});
  });
  return result;
}

void LGLog::logArgs(bool asynchronous, std::uint64_t level, std::uint64_t flag, std::int64_t context, const char* file,
                    const char* function, std::uint64_t line, platform::Value tag, const char* format,
                    std::span<const platform::FormatArg> args) {
  if (!format) return;
  logMessage(asynchronous, platform::formatArgs(format, args), level, flag, context, file, function, line,
             std::move(tag));
}

void LGLog::logMessage(bool asynchronous, std::string message, std::uint64_t level, std::uint64_t flag,
                       std::int64_t context, const char* file, const char* function, std::uint64_t line,
                       platform::Value tag) {
  // File and function as "%s" prints them.
  log(asynchronous, std::make_shared<const LGLogMessage>(
                        std::move(message), level, flag, context, std::string(file ? file : "(null)"),
                        std::string(function ? function : "(null)"), line, std::move(tag), 0, std::nullopt));
}

void LGLog::log(bool asynchronous, LGLogMessagePtr message) {
  if (!message) return;
  State* state = sharedInstance().state_;
  Globals& g = globals();
  // Bounds the backlog: the sender waits here while kQueueSize messages are queued or in delivery.
  g.semaphore.acquire();
  if (asynchronous) {
    g.queue->async([state, message = std::move(message)] {
      HubWorkScope work;
      state->deliver(message);
      globals().semaphore.release();
    });
    return;
  }
  struct Release {
    ~Release() { globals().semaphore.release(); }
  } release;
  g.queue->sync([&] {
    HubWorkScope work;
    state->deliver(message);
  });
}

void LGLog::flushLog() {
  State* state = sharedInstance().state_;
  onLoggingQueueSync([state] { state->flush(); });
}

void LGLog::applicationWillTerminate() { flushLog(); }

// --- Per-class levels --------------------------------------------------------------------------

namespace {
constexpr std::string_view kLevelGetter = "lgLogLevel";
constexpr std::string_view kLevelSetter = "lgSetLogLevel:";
}  // namespace

bool LGLog::isRegisteredClass(const platform::Class* cls) {
  return cls && cls->respondsToSelector(kLevelGetter) && cls->respondsToSelector(kLevelSetter);
}

std::vector<const platform::Class*> LGLog::registeredClasses() {
  std::vector<const platform::Class*> result;
  for (const platform::Class* cls : platform::Class::allClasses())
    if (isRegisteredClass(cls)) result.push_back(cls);
  return result;
}

std::vector<std::string> LGLog::registeredClassNames() {
  std::vector<std::string> names;
  for (const platform::Class* cls : registeredClasses()) names.push_back(cls->name());
  return names;
}

std::uint64_t LGLog::levelForClass(const platform::Class* cls) {
  if (!isRegisteredClass(cls)) return LGLogLevelAll;
  return cls->perform(kLevelGetter, {}).asUInt64();
}

std::uint64_t LGLog::levelForClassWithName(std::string_view name) {
  return levelForClass(platform::Class::named(name));
}

void LGLog::setLevel(std::uint64_t level, const platform::Class* cls) {
  if (!isRegisteredClass(cls)) return;
  cls->perform(kLevelSetter, {platform::Value(level)});
}

void LGLog::setLevel(std::uint64_t level, std::string_view className) {
  setLevel(level, platform::Class::named(className));
}

// --- Library diagnostics -----------------------------------------------------------------------

namespace {

// The frameworks' diagnostics (platform/diagnostics.h) reach the registered loggers, queued (so
// that no lock or queue of the reporting code waits for the loggers), with the error or warning
// flag, every level bit and context 0. Standard error keeps them while no logger is registered, and
// for the hub's own work, where a log call could wait for the very thread making it.
bool logDiagnostic(platform::DiagnosticSeverity severity, std::string_view message,
                   const platform::DiagnosticOrigin& origin) {
  if (tHubWork > 0 || gRegisteredEntries.load(std::memory_order_acquire) == 0) return false;
  const std::uint64_t flag = severity == platform::DiagnosticSeverity::Error ? LGLogFlagError : LGLogFlagWarning;
  LGLog::logMessage(true, std::string(message), LGLogLevelAll, flag, 0, origin.file, origin.function, origin.line);
  return true;
}

// Installed whenever the hub is part of the program.
[[maybe_unused]] const bool gDiagnosticSinkInstalled = (platform::setDiagnosticSink(&logDiagnostic), true);

}  // namespace
