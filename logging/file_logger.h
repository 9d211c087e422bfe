#pragma once

// The rolling file logger: appends lines to a current log file and rolls to a new file when the
// current one reaches a size or an age; a log file manager decides where log files live, how new
// ones are named, which folder entries are log files, and which old ones are deleted.
//
// Files: "<application name> <yyyy-MM-dd HH-mm, UTC>.log", or "<...> <n>.log" (n = 2, 3, ...) when
// that name is taken, in "<XDG state home>/Logs/<process name>" unless a folder is given. A file
// that has been rolled carries the extended attribute "user.LGLog.log.archived" (empty value).
// Old files go newest first (by creation time): past the disk quota (bytes, 0: none) or past the
// maximum number of files (0: none) they are deleted, except the newest file while it is not
// archived (the one being written).
//
// Crash safety: each message is one write(2) straight to the file (opened O_APPEND, no user-space
// buffer), so a crashing process loses no line it has written and leaves no half line; a roll
// syncs the file to disk before closing it; new files are made with O_EXCL, so two writers never
// take the same file; renames are one rename(2).
//
// Threads: all file work runs on the logger's queue; settings go through the global logging queue
// first, so they apply between two messages in issue order. The getters must not be called from
// the global logging queue or the logger's queue. A file manager's methods run on whichever thread
// calls them (the logger's queue in normal use); LGLogFileManagerDefault's limits may be changed
// from any thread. An LGLogFileInfo belongs to the thread using it.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "logging/logger.h"
#include "platform/dispatch/dispatch.h"
#include "platform/runtime/error.h"
#include "platform/runtime/thread.h"
#include "platform/services/files.h"
#include "platform/system/calendar.h"
#include "platform/system/date.h"

// The extended attribute (without its "user." namespace) that marks a rolled file.
inline constexpr std::string_view LGLogFileArchivedAttributeName = "LGLog.log.archived";

// A pending call of LGLogClock::runAt.
class LGLogClockAlarm {
 public:
  virtual ~LGLogClockAlarm() = default;
  // The block does not start after this returns.
  virtual void cancel() = 0;
};

// The time the file logger and its manager go by: the wall clock, or one a test moves by hand.
// Thread-safe.
class LGLogClock {
 public:
  virtual ~LGLogClock() = default;
  virtual platform::Date now() const = 0;
  // Queues `block` on `queue` once now() has reached `date` (at once when it has).
  virtual std::shared_ptr<LGLogClockAlarm> runAt(platform::Date date, platform::DispatchQueuePtr queue,
                                                 platform::DispatchBlock block) = 0;

  // The wall clock, with alarms on dispatch timer sources.
  static std::shared_ptr<LGLogClock> systemClock();
};

// One log file on disk. Attributes are read on first use and kept (a size of 0 is read again).
class LGLogFileInfo {
 public:
  static std::shared_ptr<LGLogFileInfo> logFileWithPath(std::string filePath);
  explicit LGLogFileInfo(std::string filePath);

  const std::string& filePath() const { return filePath_; }
  const std::string& fileName();
  // nullopt when the file cannot be read.
  const std::optional<platform::FileAttributes>& fileAttributes();
  platform::Date creationDate();
  platform::Date modificationDate();
  std::uint64_t fileSize();
  // Seconds from the creation date to `now`.
  double age(platform::Date now = platform::Date::now());

  bool isArchived() const;
  // Adds or removes the archived mark; failures are reported on standard error.
  void setIsArchived(bool archived);

  // Renames the file within its folder with one rename(2), replacing a file of that name. On
  // success filePath() becomes the new path; on failure it stays, and false (with *error) comes
  // back. The same name does nothing and succeeds.
  bool renameFile(std::string_view newFileName, platform::ErrorPtr* error = nullptr);
  // Drops the cached attributes.
  void reset();

  bool hasExtendedAttributeWithName(std::string_view name) const;
  bool addExtendedAttributeWithName(std::string_view name);
  bool removeExtendedAttributeWithName(std::string_view name);

  bool isEqual(const LGLogFileInfo& other) const { return filePath_ == other.filePath_; }
  // Later dates first; equal dates compare equal.
  static bool reverseCompareByCreationDate(LGLogFileInfo& a, LGLogFileInfo& b);
  static bool reverseCompareByModificationDate(LGLogFileInfo& a, LGLogFileInfo& b);
  std::string description();

 private:
  std::string filePath_;
  std::optional<std::string> fileName_;
  bool attributesRead_ = false;
  std::optional<platform::FileAttributes> attributes_;
};

using LGLogFileInfoPtr = std::shared_ptr<LGLogFileInfo>;

// Where log files live and which are deleted. The optional did... calls are made by the file
// logger (on its queue) when respondsToArchiveCalls() answers true.
class LGLogFileManager : public std::enable_shared_from_this<LGLogFileManager> {
 public:
  virtual ~LGLogFileManager() = default;

  virtual std::string logsDirectory() = 0;
  virtual std::vector<std::string> unsortedLogFilePaths() = 0;
  virtual std::vector<std::string> unsortedLogFileNames() = 0;
  virtual std::vector<LGLogFileInfoPtr> unsortedLogFileInfos() = 0;
  // Newest first.
  virtual std::vector<std::string> sortedLogFilePaths() = 0;
  virtual std::vector<std::string> sortedLogFileNames() = 0;
  virtual std::vector<LGLogFileInfoPtr> sortedLogFileInfos() = 0;
  // The path of a new, empty log file; nullopt (with *error) when none can be made.
  virtual std::optional<std::string> createNewLogFile(platform::ErrorPtr* error = nullptr) = 0;

  virtual std::uint64_t maximumNumberOfLogFiles() const = 0;
  virtual void setMaximumNumberOfLogFiles(std::uint64_t count) = 0;
  virtual std::uint64_t logFilesDiskQuota() const = 0;
  virtual void setLogFilesDiskQuota(std::uint64_t bytes) = 0;

  // Optional.
  virtual bool respondsToArchiveCalls() const { return false; }
  virtual void didArchiveLogFile(const std::string& path) { (void)path; }
  virtual void didRollAndArchiveLogFile(const std::string& path) { (void)path; }
};

class LGLogFileManagerDefault : public LGLogFileManager {
 public:
  // A null folder means defaultLogsDirectory(); a null clock the system clock.
  explicit LGLogFileManagerDefault(std::optional<std::string> logsDirectory = std::nullopt,
                                   std::shared_ptr<LGLogClock> clock = nullptr);

  // "<XDG state home>/Logs/<process name>" (the temporary folder stands in for a missing home).
  static std::string defaultLogsDirectory();
  // The process name (there is no bundle identifier here); "" when it has none. Fixed per process.
  static const std::string& applicationName();

  // The folder, made with its parents when missing (a failure is reported on standard error and
  // the path returned all the same).
  std::string logsDirectory() override;
  bool isLogFile(std::string_view fileName) const;
  std::vector<std::string> unsortedLogFilePaths() override;
  std::vector<std::string> unsortedLogFileNames() override;
  std::vector<LGLogFileInfoPtr> unsortedLogFileInfos() override;
  std::vector<std::string> sortedLogFilePaths() override;
  std::vector<std::string> sortedLogFileNames() override;
  std::vector<LGLogFileInfoPtr> sortedLogFileInfos() override;

  // The name for the clock's current time.
  std::string newLogFileName() const;
  std::optional<std::string> createNewLogFile(platform::ErrorPtr* error = nullptr) override;
  // Deletes past the quota and the count; failures are ignored.
  void deleteOldLogFiles();

  // Defaults 5 files and 20 MiB. A change queues deleteOldLogFiles on the global logging queue.
  std::uint64_t maximumNumberOfLogFiles() const override { return maximumNumberOfLogFiles_.load(); }
  void setMaximumNumberOfLogFiles(std::uint64_t count) override;
  std::uint64_t logFilesDiskQuota() const override { return logFilesDiskQuota_.load(); }
  void setLogFilesDiskQuota(std::uint64_t bytes) override;

  const std::shared_ptr<LGLogClock>& clock() const { return clock_; }

 private:
  void limitChanged();

  std::atomic<std::uint64_t> maximumNumberOfLogFiles_{5};
  std::atomic<std::uint64_t> logFilesDiskQuota_{20 * 1024 * 1024};
  const std::string logsDirectory_;
  const std::shared_ptr<LGLogClock> clock_;
};

// "<yyyy/MM/dd HH:mm:ss:SSS>  <text>": the timestamp in the given date formatter, by default one
// with that pattern in the current locale and time zone. Thread-safe.
class LGLogFileFormatterDefault : public LGLogFormatter {
 public:
  explicit LGLogFileFormatterDefault(std::shared_ptr<platform::DateFormatter> dateFormatter = nullptr);
  std::optional<std::string> formatLogMessage(const LGLogMessagePtr& message) override;

 private:
  // Our own formatter's text changes once a second at most: its date part is kept per second.
  const bool cachePerSecond_;
  std::shared_ptr<platform::DateFormatter> dateFormatter_;
  platform::SpinLock cacheLock_;
  double cachedSecond_ = -1e300;  // under cacheLock_
  std::string cachedPrefix_;      // under cacheLock_
};

class LGFileLogger : public LGAbstractLogger {
  ZORVEL_CLASS(LGFileLogger, LGAbstractLogger)

 public:
  // With a new LGLogFileManagerDefault (null manager) and LGLogFileFormatterDefault as formatter.
  // The clock is the manager's when it is an LGLogFileManagerDefault, else the system clock.
  explicit LGFileLogger(std::shared_ptr<LGLogFileManager> logFileManager = nullptr);
  ~LGFileLogger() override;

  const std::shared_ptr<LGLogFileManager>& logFileManager() const { return manager_; }
  std::string loggerName() override;
  bool respondsTo(LGLoggerMethod method) const override;
  void logMessage(const LGLogMessagePtr& message) override;
  void willRemoveLogger() override;

  // Bytes; 0 disables rolling by size. Default 1 MiB.
  std::uint64_t maximumFileSize();
  void setMaximumFileSize(std::uint64_t bytes);
  // Seconds; 0 or less disables rolling by age. Default 24 hours.
  double rollingFrequency();
  void setRollingFrequency(double seconds);

  // Rolls now (on the logger's queue), then runs the block, if any, on the default global queue.
  void rollLogFile(std::function<void()> completion = nullptr);

  // Start a new file at each launch instead of continuing the newest one.
  bool doNotReuseLogFiles() const { return doNotReuseLogFiles_.load(); }
  void setDoNotReuseLogFiles(bool value) { doNotReuseLogFiles_.store(value); }
  bool automaticallyAppendNewlineForCustomFormatters() const { return appendNewline_.load(); }
  void setAutomaticallyAppendNewlineForCustomFormatters(bool value) { appendNewline_.store(value); }

  // The file being written, choosing (or making) one when there is none; nullptr when none can
  // be had. Logger's queue only.
  LGLogFileInfoPtr currentLogFileInfo();
  // Closes and archives the current file; the next message opens a new one. Logger's queue only.
  void rollLogFileNow();

 private:
  struct Watch;
  int currentLogFileHandle(platform::ErrorPtr* error);
  void scheduleTimerToRollLogFileDueToAge();
  void maybeRollLogFileDueToAge();
  void maybeRollLogFileDueToSize();
  void fileChangedOnDisk();
  void closeCurrentFile(bool syncToDisk);
  void reportFailure(const std::string& what);

  const std::shared_ptr<LGLogFileManager> manager_;
  const std::shared_ptr<LGLogClock> clock_;
  std::atomic<bool> doNotReuseLogFiles_{false};
  std::atomic<bool> appendNewline_{true};
  // Touched only on the logger's queue.
  std::uint64_t maximumFileSize_ = 1024 * 1024;
  double rollingFrequency_ = 24 * 60 * 60;
  LGLogFileInfoPtr currentLogFileInfo_;
  int fd_ = -1;
  std::uint64_t offset_ = 0;  // bytes in the current file
  std::shared_ptr<Watch> watch_;
  std::shared_ptr<LGLogClockAlarm> rollingTimer_;
};
