#include "logging/file_logger.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <map>
#include <thread>

#include "logging/fd_write_internal.h"
#include "platform/runtime/format.h"
#include "platform/system/console.h"
#include "platform/system/locks.h"
#include "platform/system/process.h"
#include "platform/system/text.h"

using platform::Date;
using platform::ErrorPtr;
using platform::FileManager;

namespace {

ErrorPtr posixError(int code, std::string_view operation, const std::string& path) {
  platform::ValueDictionary info;
  info.set(std::string(platform::kFilePathErrorKey), path);
  info.set(std::string(platform::kLocalizedDescriptionKey), platform::format("%@: %s", operation, std::strerror(code)));
  return platform::Error::make(std::string(platform::kPOSIXErrorDomain), code, platform::Value(std::move(info)));
}

// --- The system clock ----------------------------------------------------------------------------

class SourceAlarm : public LGLogClockAlarm {
 public:
  explicit SourceAlarm(std::shared_ptr<platform::DispatchTimerSource> source) : source_(std::move(source)) {}
  ~SourceAlarm() override { source_->cancel(); }
  void cancel() override { source_->cancel(); }

 private:
  std::shared_ptr<platform::DispatchTimerSource> source_;
};

class SystemClock : public LGLogClock {
 public:
  Date now() const override { return Date::now(); }
  std::shared_ptr<LGLogClockAlarm> runAt(Date date, platform::DispatchQueuePtr queue,
                                         platform::DispatchBlock block) override {
    auto source = platform::DispatchTimerSource::create(std::move(queue));
    source->setTimerWallClock(date, 0);
    source->setEventHandler(std::move(block));
    source->resume();
    return std::make_shared<SourceAlarm>(std::move(source));
  }
};

// --- Watching open files for deletion and renaming -----------------------------------------------

// One inotify descriptor and one thread for the process, made on first use and kept to the end.
// Callbacks run on that thread and must only queue work.
class FileWatcher {
 public:
  static FileWatcher* shared() {
    static FileWatcher* watcher = [] {
      auto* made = new FileWatcher;
      if (made->fd_ < 0) return static_cast<FileWatcher*>(nullptr);
      std::thread([made] { made->run(); }).detach();
      return made;
    }();
    return watcher;
  }

  // A token for remove(); 0 when the path cannot be watched.
  std::uint64_t add(const std::string& path, std::function<void()> onChange) {
    platform::MutexLock lock(mutex_);
    int wd = inotify_add_watch(fd_, path.c_str(), IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF);
    if (wd < 0) return 0;
    std::uint64_t token = ++lastToken_;
    watches_[wd][token] = std::move(onChange);
    tokens_[token] = wd;
    return token;
  }

  void remove(std::uint64_t token) {
    platform::MutexLock lock(mutex_);
    auto it = tokens_.find(token);
    if (it == tokens_.end()) return;
    int wd = it->second;
    tokens_.erase(it);
    auto watch = watches_.find(wd);
    if (watch == watches_.end()) return;
    watch->second.erase(token);
    if (watch->second.empty()) {
      watches_.erase(watch);
      inotify_rm_watch(fd_, wd);
    }
  }

 private:
  FileWatcher() : fd_(inotify_init1(IN_CLOEXEC)) {}

  void run() {
    alignas(inotify_event) char buffer[4096];
    for (;;) {
      ssize_t n = ::read(fd_, buffer, sizeof buffer);
      if (n <= 0) {
        if (n < 0 && errno == EINTR) continue;
        return;
      }
      for (char* p = buffer; p < buffer + n;) {
        auto* event = reinterpret_cast<inotify_event*>(p);
        p += sizeof(inotify_event) + event->len;
        std::vector<std::function<void()>> calls;
        {
          platform::MutexLock lock(mutex_);
          auto watch = watches_.find(event->wd);
          if (watch == watches_.end()) continue;
          for (auto& [token, call] : watch->second) calls.push_back(call);
          if (event->mask & IN_IGNORED) {  // the watch is gone with its file
            for (auto& [token, call] : watch->second) tokens_.erase(token);
            watches_.erase(watch);
          }
        }
        for (auto& call : calls) call();
      }
    }
  }

  const int fd_;
  platform::Mutex mutex_;
  std::uint64_t lastToken_ ZORVEL_GUARDED_BY(mutex_) = 0;
  std::map<int, std::map<std::uint64_t, std::function<void()>>> watches_ ZORVEL_GUARDED_BY(mutex_);
  std::map<std::uint64_t, int> tokens_ ZORVEL_GUARDED_BY(mutex_);
};

// The failures of file loggers are reported on standard error, ten at most per process.
std::atomic<int> gReportedFailures{0};

}  // namespace

std::shared_ptr<LGLogClock> LGLogClock::systemClock() {
  static const std::shared_ptr<LGLogClock> clock = std::make_shared<SystemClock>();
  return clock;
}

// A registered inotify watch of the current file.
struct LGFileLogger::Watch {
  std::uint64_t token = 0;
  ~Watch() {
    if (token) FileWatcher::shared()->remove(token);
  }
};

// --- File info -----------------------------------------------------------------------------------

std::shared_ptr<LGLogFileInfo> LGLogFileInfo::logFileWithPath(std::string filePath) {
  return std::make_shared<LGLogFileInfo>(std::move(filePath));
}

LGLogFileInfo::LGLogFileInfo(std::string filePath) : filePath_(std::move(filePath)) {}

const std::string& LGLogFileInfo::fileName() {
  if (!fileName_) fileName_ = platform::lastPathComponent(filePath_);
  return *fileName_;
}

const std::optional<platform::FileAttributes>& LGLogFileInfo::fileAttributes() {
  if (!attributesRead_) {
    attributes_ = FileManager::defaultManager().attributesOfItem(filePath_);
    attributesRead_ = true;
  }
  return attributes_;
}

Date LGLogFileInfo::creationDate() {
  const auto& attributes = fileAttributes();
  return attributes ? attributes->creationDate : Date();
}

Date LGLogFileInfo::modificationDate() {
  const auto& attributes = fileAttributes();
  return attributes ? attributes->modificationDate : Date();
}

std::uint64_t LGLogFileInfo::fileSize() {
  if (attributesRead_ && (!attributes_ || attributes_->size == 0)) attributesRead_ = false;  // read 0 again
  const auto& attributes = fileAttributes();
  return attributes ? attributes->size : 0;
}

double LGLogFileInfo::age(Date now) { return now.timeIntervalSince(creationDate()); }

bool LGLogFileInfo::isArchived() const { return hasExtendedAttributeWithName(LGLogFileArchivedAttributeName); }

void LGLogFileInfo::setIsArchived(bool archived) {
  if (archived)
    addExtendedAttributeWithName(LGLogFileArchivedAttributeName);
  else
    removeExtendedAttributeWithName(LGLogFileArchivedAttributeName);
}

bool LGLogFileInfo::hasExtendedAttributeWithName(std::string_view name) const {
  return FileManager::defaultManager().hasExtendedAttribute(filePath_, name);
}

bool LGLogFileInfo::addExtendedAttributeWithName(std::string_view name) {
  if (FileManager::defaultManager().setExtendedAttribute(filePath_, name, {})) return true;
  platform::consoleLog(
      platform::format("LGLogFileInfo: setxattr(%@, %@): error = %s", name, filePath_, std::strerror(errno)));
  return false;
}

bool LGLogFileInfo::removeExtendedAttributeWithName(std::string_view name) {
  ErrorPtr error;
  if (FileManager::defaultManager().removeExtendedAttribute(filePath_, name, &error)) return true;
  if (error && error->code() == ENODATA) return true;  // it was not there
  platform::consoleLog(platform::format("LGLogFileInfo: removexattr(%@, %@): error = %s", name, fileName(),
                                        std::strerror(error ? static_cast<int>(error->code()) : EIO)));
  return false;
}

bool LGLogFileInfo::renameFile(std::string_view newFileName, ErrorPtr* error) {
  if (newFileName == fileName()) return true;
  std::string newPath = platform::appendingPathComponent(platform::deletingLastPathComponent(filePath_), newFileName);
  // One rename(2): the destination is replaced atomically, and on failure both files stay as
  // they were.
  if (std::rename(filePath_.c_str(), newPath.c_str()) != 0) {
    int code = errno;
    platform::consoleLog(
        platform::format("LGLogFileInfo: Error renaming file (%@): %s", fileName(), std::strerror(code)));
    if (error) *error = posixError(code, "Cannot rename", filePath_);
    return false;
  }
  filePath_ = std::move(newPath);
  fileName_.reset();
  reset();
  return true;
}

void LGLogFileInfo::reset() {
  attributesRead_ = false;
  attributes_.reset();
}

bool LGLogFileInfo::reverseCompareByCreationDate(LGLogFileInfo& a, LGLogFileInfo& b) {
  return a.creationDate() > b.creationDate();
}

bool LGLogFileInfo::reverseCompareByModificationDate(LGLogFileInfo& a, LGLogFileInfo& b) {
  return a.modificationDate() > b.modificationDate();
}

std::string LGLogFileInfo::description() {
  auto dateText = [](Date date) { return platform::Value(date.description()); };
  const auto& attributes = fileAttributes();
  platform::ValueDictionary d;
  d.set("filePath", filePath_);
  d.set("fileName", fileName());
  d.set("fileAttributes",
        attributes ? platform::Value(platform::format("%llu bytes", attributes->size)) : platform::Value(""));
  d.set("creationDate", attributes ? dateText(attributes->creationDate) : platform::Value(""));
  d.set("modificationDate", attributes ? dateText(attributes->modificationDate) : platform::Value(""));
  d.set("fileSize", fileSize());
  d.set("age", age());
  d.set("isArchived", isArchived());
  return platform::Value(std::move(d)).description();
}

// --- The default file manager --------------------------------------------------------------------

namespace {

// "yyyy-MM-dd HH-mm" in UTC: the date part of log file names. One per thread.
platform::DateFormatter& fileNameDateFormatter() {
  thread_local platform::DateFormatter formatter("yyyy'-'MM'-'dd' 'HH'-'mm'", "en_US_POSIX", "GMT");
  return formatter;
}

}  // namespace

LGLogFileManagerDefault::LGLogFileManagerDefault(std::optional<std::string> logsDirectory,
                                                 std::shared_ptr<LGLogClock> clock)
    : logsDirectory_(logsDirectory ? std::move(*logsDirectory) : defaultLogsDirectory()),
      clock_(clock ? std::move(clock) : LGLogClock::systemClock()) {}

std::string LGLogFileManagerDefault::defaultLogsDirectory() {
  FileManager& files = FileManager::defaultManager();
  std::string base = files.stateDirectory();
  if (base.empty() || base == "/") base = files.temporaryDirectory();
  return platform::appendingPathComponent(platform::appendingPathComponent(base, "Logs"),
                                          platform::ProcessInfo::processName());
}

const std::string& LGLogFileManagerDefault::applicationName() {
  static const std::string name = platform::ProcessInfo::processName();
  return name;
}

std::string LGLogFileManagerDefault::logsDirectory() {
  ErrorPtr error;
  if (!FileManager::defaultManager().createDirectory(logsDirectory_, true, &error))
    platform::consoleLog(platform::format("LGFileLogManagerDefault: Error creating logsDirectory: %@", error));
  return logsDirectory_;
}

bool LGLogFileManagerDefault::isLogFile(std::string_view fileName) const {
  const std::string& app = applicationName();
  if (!fileName.starts_with(app) || !fileName.ends_with(".log")) return false;
  if (fileName.size() < app.size() + 4) return false;
  std::string_view middle = fileName.substr(app.size(), fileName.size() - app.size() - 4);
  if (platform::utf16Length(middle) < 17) return false;
  std::vector<std::string_view> pieces;
  for (std::size_t start = 0;;) {
    std::size_t blank = middle.find(' ', start);
    pieces.push_back(middle.substr(start, blank == std::string_view::npos ? std::string_view::npos : blank - start));
    if (blank == std::string_view::npos) break;
    start = blank + 1;
  }
  if (pieces.size() != 3 && pieces.size() != 4) return false;
  std::string dateText = std::string(pieces[1]) + " " + std::string(pieces[2]);
  return fileNameDateFormatter().dateFromString(dateText).has_value();
}

std::vector<std::string> LGLogFileManagerDefault::unsortedLogFileNames() {
  std::vector<std::string> names;
  auto entries = FileManager::defaultManager().contentsOfDirectory(logsDirectory());
  if (!entries) return names;
  for (std::string& name : *entries)
    if (isLogFile(name)) names.push_back(std::move(name));
  return names;
}

std::vector<std::string> LGLogFileManagerDefault::unsortedLogFilePaths() {
  std::vector<std::string> paths;
  for (const std::string& name : unsortedLogFileNames())
    paths.push_back(platform::appendingPathComponent(logsDirectory_, name));
  return paths;
}

std::vector<LGLogFileInfoPtr> LGLogFileManagerDefault::unsortedLogFileInfos() {
  std::vector<LGLogFileInfoPtr> infos;
  for (std::string& path : unsortedLogFilePaths()) infos.push_back(LGLogFileInfo::logFileWithPath(std::move(path)));
  return infos;
}

namespace {

// The order a log file's name gives: its date, then its number (none counts as 1). File systems
// stamp creation times with a coarse clock, so files made in quick succession can share one.
std::pair<std::string, unsigned long> nameOrder(std::string_view fileName, std::string_view app) {
  std::string_view middle = fileName.substr(app.size() + 1, fileName.size() - app.size() - 1 - 4);
  std::size_t third = middle.find(' ', middle.find(' ') + 1);
  unsigned long number = 1;
  if (third != std::string_view::npos)
    number = std::strtoul(std::string(middle.substr(third + 1)).c_str(), nullptr, 10);
  return {std::string(middle.substr(0, third)), number};
}

}  // namespace

std::vector<LGLogFileInfoPtr> LGLogFileManagerDefault::sortedLogFileInfos() {
  std::vector<LGLogFileInfoPtr> infos = unsortedLogFileInfos();
  const std::string& app = applicationName();
  std::stable_sort(infos.begin(), infos.end(), [&app](const LGLogFileInfoPtr& a, const LGLogFileInfoPtr& b) {
    if (LGLogFileInfo::reverseCompareByCreationDate(*a, *b)) return true;
    if (LGLogFileInfo::reverseCompareByCreationDate(*b, *a)) return false;
    return nameOrder(a->fileName(), app) > nameOrder(b->fileName(), app);
  });
  return infos;
}

std::vector<std::string> LGLogFileManagerDefault::sortedLogFilePaths() {
  std::vector<std::string> paths;
  for (const auto& info : sortedLogFileInfos()) paths.push_back(info->filePath());
  return paths;
}

std::vector<std::string> LGLogFileManagerDefault::sortedLogFileNames() {
  std::vector<std::string> names;
  for (const auto& info : sortedLogFileInfos()) names.push_back(info->fileName());
  return names;
}

std::string LGLogFileManagerDefault::newLogFileName() const {
  return platform::format("%@ %@.log", applicationName(), fileNameDateFormatter().stringFromDate(clock_->now()));
}

std::optional<std::string> LGLogFileManagerDefault::createNewLogFile(ErrorPtr* error) {
  const std::string directory = logsDirectory();
  const std::string name = newLogFileName();
  const std::string stem = name.substr(0, name.size() - 4);  // without ".log"
  for (unsigned long attempt = 1;; ++attempt) {
    std::string fileName = attempt == 1 ? name : platform::format("%@ %lu.log", stem, attempt);
    std::string path = platform::appendingPathComponent(directory, fileName);
    // O_EXCL: a name another writer took meanwhile is never truncated, only skipped.
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      if (error) *error = posixError(errno, "Cannot create the log file", path);
      return std::nullopt;
    }
    ::close(fd);
    deleteOldLogFiles();
    return path;
  }
}

void LGLogFileManagerDefault::deleteOldLogFiles() {
  std::vector<LGLogFileInfoPtr> infos = sortedLogFileInfos();
  const std::uint64_t quota = logFilesDiskQuota();
  const std::uint64_t maximum = maximumNumberOfLogFiles();
  std::size_t firstToDelete = infos.size();
  bool found = false;
  if (quota > 0) {
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < infos.size(); ++i) {
      total += infos[i]->fileSize();
      if (total > quota) {
        firstToDelete = i;
        found = true;
        break;
      }
    }
  }
  if (maximum > 0) {
    std::size_t byCount = static_cast<std::size_t>(std::min<std::uint64_t>(maximum, SIZE_MAX));
    firstToDelete = found ? std::min(firstToDelete, byCount) : byCount;
  }
  // The newest file, while it is not archived, is the one being written.
  if (firstToDelete == 0 && !infos.empty() && !infos[0]->isArchived()) firstToDelete = 1;
  for (std::size_t i = firstToDelete; i < infos.size(); ++i)
    FileManager::defaultManager().removeItem(infos[i]->filePath());
}

void LGLogFileManagerDefault::setMaximumNumberOfLogFiles(std::uint64_t count) {
  if (maximumNumberOfLogFiles_.exchange(count) != count) limitChanged();
}

void LGLogFileManagerDefault::setLogFilesDiskQuota(std::uint64_t bytes) {
  if (logFilesDiskQuota_.exchange(bytes) != bytes) limitChanged();
}

void LGLogFileManagerDefault::limitChanged() {
  std::weak_ptr<LGLogFileManager> weak = weak_from_this();
  LGLog::loggingQueue()->async([weak] {
    if (auto self = std::static_pointer_cast<LGLogFileManagerDefault>(weak.lock())) self->deleteOldLogFiles();
  });
}

// --- The default line formatter ------------------------------------------------------------------

LGLogFileFormatterDefault::LGLogFileFormatterDefault(std::shared_ptr<platform::DateFormatter> dateFormatter)
    : cachePerSecond_(!dateFormatter),
      dateFormatter_(dateFormatter ? std::move(dateFormatter)
                                   : std::make_shared<platform::DateFormatter>("yyyy/MM/dd HH:mm:ss:SSS")) {}

std::optional<std::string> LGLogFileFormatterDefault::formatLogMessage(const LGLogMessagePtr& message) {
  const double seconds = message->timestamp().timeIntervalSinceReferenceDate();
  std::string line;
  if (cachePerSecond_) {
    const double whole = std::floor(seconds);
    std::string prefix;
    {
      platform::MutexLock lock(cacheLock_);
      if (whole == cachedSecond_) prefix = cachedPrefix_;
    }
    if (prefix.empty()) {
      std::string text = dateFormatter_->stringFromDate(Date(whole));
      // Locales whose digits are not ASCII are formatted each time.
      if (text.ends_with("000")) {
        prefix = text.substr(0, text.size() - 3);
        platform::MutexLock lock(cacheLock_);
        cachedSecond_ = whole;
        cachedPrefix_ = prefix;
      }
    }
    if (!prefix.empty()) {
      int millis = std::clamp(static_cast<int>((seconds - whole) * 1000), 0, 999);
      char digits[4] = {static_cast<char>('0' + millis / 100), static_cast<char>('0' + millis / 10 % 10),
                        static_cast<char>('0' + millis % 10), 0};
      line.reserve(prefix.size() + 5 + message->message().size());
      line += prefix;
      line += digits;
    }
  }
  if (line.empty()) line = dateFormatter_->stringFromDate(message->timestamp());
  line += "  ";
  line += message->message();
  return line;
}

// --- The file logger -----------------------------------------------------------------------------

LGFileLogger::LGFileLogger(std::shared_ptr<LGLogFileManager> logFileManager)
    : manager_(logFileManager ? std::move(logFileManager) : std::make_shared<LGLogFileManagerDefault>()),
      clock_([this] {
        auto* defaultManager = dynamic_cast<LGLogFileManagerDefault*>(manager_.get());
        return defaultManager ? defaultManager->clock() : LGLogClock::systemClock();
      }()) {
  initLogFormatter(std::make_shared<LGLogFileFormatterDefault>());
}

LGFileLogger::~LGFileLogger() { closeCurrentFile(true); }

std::string LGFileLogger::loggerName() { return std::string(LGLogFrameworkLabel) + ".fileLogger"; }

bool LGFileLogger::respondsTo(LGLoggerMethod method) const {
  return method == LGLoggerMethod::WillRemoveLogger || LGAbstractLogger::respondsTo(method);
}

std::uint64_t LGFileLogger::maximumFileSize() {
  return syncThroughLoggingQueue([this] { return maximumFileSize_; });
}

void LGFileLogger::setMaximumFileSize(std::uint64_t bytes) {
  asyncThroughLoggingQueue([this, bytes] {
    maximumFileSize_ = bytes;
    maybeRollLogFileDueToSize();
  });
}

double LGFileLogger::rollingFrequency() {
  return syncThroughLoggingQueue([this] { return rollingFrequency_; });
}

void LGFileLogger::setRollingFrequency(double seconds) {
  asyncThroughLoggingQueue([this, seconds] {
    rollingFrequency_ = seconds;
    maybeRollLogFileDueToAge();
  });
}

void LGFileLogger::rollLogFile(std::function<void()> completion) {
  onLoggerQueue([this, completion = std::move(completion)] {
    rollLogFileNow();
    if (completion) platform::DispatchQueue::global()->async(completion);
  });
}

void LGFileLogger::willRemoveLogger() { rollLogFileNow(); }

LGLogFileInfoPtr LGFileLogger::currentLogFileInfo() {
  if (currentLogFileInfo_) return currentLogFileInfo_;
  std::vector<LGLogFileInfoPtr> infos = manager_->sortedLogFileInfos();
  if (!infos.empty()) {
    const LGLogFileInfoPtr& newest = infos.front();
    if (!newest->isArchived()) {
      bool full = maximumFileSize_ > 0 && newest->fileSize() >= maximumFileSize_;
      bool old = rollingFrequency_ > 0 && newest->age(clock_->now()) >= rollingFrequency_;
      if (full || old) {
        newest->setIsArchived(true);
        if (manager_->respondsToArchiveCalls()) manager_->didArchiveLogFile(newest->filePath());
      } else if (!doNotReuseLogFiles()) {
        currentLogFileInfo_ = newest;
      }
    }
  }
  if (!currentLogFileInfo_) {
    ErrorPtr error;
    auto path = manager_->createNewLogFile(&error);
    if (!path) {
      reportFailure(error ? error->localizedDescription() : std::string("no log file could be made"));
      return nullptr;
    }
    currentLogFileInfo_ = LGLogFileInfo::logFileWithPath(std::move(*path));
  }
  return currentLogFileInfo_;
}

int LGFileLogger::currentLogFileHandle(ErrorPtr* error) {
  if (fd_ >= 0) return fd_;
  // A file chosen but gone before it could be opened is given up, and another one chosen.
  for (int attempt = 0; attempt < 2; ++attempt) {
    LGLogFileInfoPtr info = currentLogFileInfo();
    if (!info) return -1;
    int fd = ::open(info->filePath().c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) {
      int code = errno;
      if (error) *error = posixError(code, "Cannot open the log file", info->filePath());
      currentLogFileInfo_.reset();
      if (code == ENOENT) continue;
      return -1;
    }
    struct stat status;
    offset_ = ::fstat(fd, &status) == 0 ? static_cast<std::uint64_t>(status.st_size) : 0;
    fd_ = fd;
    scheduleTimerToRollLogFileDueToAge();
    if (FileWatcher* watcher = FileWatcher::shared()) {
      std::weak_ptr<LGFileLogger> weak = std::static_pointer_cast<LGFileLogger>(shared_from_this());
      platform::DispatchQueuePtr queue = loggerQueue();
      watch_ = std::make_shared<Watch>();
      watch_->token = watcher->add(info->filePath(), [weak, queue] {
        queue->async([weak] {
          if (auto self = weak.lock()) self->fileChangedOnDisk();
        });
      });
    }
    return fd_;
  }
  return -1;
}

void LGFileLogger::fileChangedOnDisk() {
  if (fd_ < 0 || !currentLogFileInfo_) return;
  struct stat open;
  struct stat named;
  bool deleted = ::fstat(fd_, &open) != 0 || open.st_nlink == 0;
  bool moved = ::stat(currentLogFileInfo_->filePath().c_str(), &named) != 0 || named.st_ino != open.st_ino ||
               named.st_dev != open.st_dev;
  if (deleted || moved) rollLogFileNow();
}

void LGFileLogger::scheduleTimerToRollLogFileDueToAge() {
  if (rollingTimer_) {
    rollingTimer_->cancel();
    rollingTimer_.reset();
  }
  if (!currentLogFileInfo_ || !(rollingFrequency_ > 0)) return;
  Date due = currentLogFileInfo_->creationDate().addingTimeInterval(rollingFrequency_);
  std::weak_ptr<LGFileLogger> weak = std::static_pointer_cast<LGFileLogger>(shared_from_this());
  rollingTimer_ = clock_->runAt(due, loggerQueue(), [weak] {
    if (auto self = weak.lock()) self->maybeRollLogFileDueToAge();
  });
}

void LGFileLogger::maybeRollLogFileDueToAge() {
  if (rollingFrequency_ > 0 && currentLogFileInfo_ && currentLogFileInfo_->age(clock_->now()) >= rollingFrequency_)
    rollLogFileNow();
  else
    scheduleTimerToRollLogFileDueToAge();
}

void LGFileLogger::maybeRollLogFileDueToSize() {
  if (fd_ >= 0 && maximumFileSize_ > 0 && offset_ >= maximumFileSize_) rollLogFileNow();
}

void LGFileLogger::closeCurrentFile(bool syncToDisk) {
  watch_.reset();
  if (rollingTimer_) {
    rollingTimer_->cancel();
    rollingTimer_.reset();
  }
  if (fd_ < 0) return;
  if (syncToDisk) ::fsync(fd_);
  ::close(fd_);
  fd_ = -1;
  offset_ = 0;
}

void LGFileLogger::rollLogFileNow() {
  if (fd_ < 0) return;
  closeCurrentFile(true);
  LGLogFileInfoPtr info = std::move(currentLogFileInfo_);
  currentLogFileInfo_.reset();
  info->setIsArchived(true);
  if (manager_->respondsToArchiveCalls()) manager_->didRollAndArchiveLogFile(info->filePath());
}

void LGFileLogger::reportFailure(const std::string& what) {
  int count = gReportedFailures.fetch_add(1) + 1;
  if (count > 10) return;
  platform::consoleLog(platform::format("LGFileLogger.logMessage: %@", what));
  if (count == 10)
    platform::consoleLog("LGFileLogger.logMessage: Too many exceptions -- will not log any more of them.");
}

void LGFileLogger::logMessage(const LGLogMessagePtr& message) {
  LineText line;
  if (!lineTextFor(message, line)) return;
  const std::string& text = *line.text;
  const bool appendNewline =
      !line.endsWithNewline() && (!line.custom || appendNewline_.load(std::memory_order_relaxed));

  ErrorPtr error;
  int fd = currentLogFileHandle(&error);
  if (fd < 0) {
    reportFailure(error ? error->localizedDescription() : std::string("no log file"));
    return;
  }
  static char newline = '\n';
  iovec pieces[2] = {{const_cast<char*>(text.data()), text.size()}, {&newline, appendNewline ? 1u : 0u}};
  if (!LGWriteFully(fd, pieces, 2)) {
    reportFailure(
        posixError(errno, "Cannot write the log file", currentLogFileInfo_->filePath())->localizedDescription());
    return;
  }
  offset_ += text.size() + (appendNewline ? 1 : 0);
  maybeRollLogFileDueToSize();
}
