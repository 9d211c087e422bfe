#pragma once

// The application's own system log: one handle per area of the application, all writing to the
// systemd journal through the logging framework's journal writer (logging/journal.h). The
// key-value store and the other frameworks log through LGLog instead, never through these.
//
// Entries: one journal entry per message with
//   PRIORITY           from the message type: error 3, info 6, debug 7 (syslog's err/info/debug)
//   SYSLOG_IDENTIFIER  the handle's subsystem (the application's identifier, ZRVBundleIdentifier)
//   MESSAGE            the formatted text
//   ZRV_CATEGORY       the handle's area: "Database", "CloudKit", "Reachability", "UI", "Push",
//                      "Notifications" or "Review"
// so `journalctl -t org.zorvel.Zorvel ZRV_CATEGORY=CloudKit` shows one area.
//
// Formats: printf-style as platform::format takes them ("%@" for descriptions, "%li" for
// numbers), where "%{public}@" is "%@": every message is written as it stands (the journal knows no
// private arguments, so no format holds any). Call sites write "%{public}@ - %{public}@" (class
// name, method name) followed by details; they ask isEnabled(type) first and build their arguments
// only when it answers true.
//
// Enabled: every type is enabled while the handle's journal socket exists (the daemon then decides
// what it keeps); without a journal nothing is enabled and a message sent anyway reports failure.
//
// Threads: handles are immutable and may be used from any number of threads at once (the journal
// writer is thread-safe). The manager's getters and setters may be called from any thread.

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "logging/journal.h"
#include "platform/runtime/error.h"
#include "platform/runtime/format.h"
#include "platform/runtime/object.h"
#include "platform/system/locks.h"

enum class ZRVLogType {
  Info,   // method traces
  Debug,  // details of the cloud flow and of saving
  Error,  // failures
};

class ZRVLogHandle {
 public:
  static constexpr std::string_view kCategoryFieldName = "ZRV_CATEGORY";

  // Writes through `writer` (null: the journal daemon's), which must outlive the handle.
  ZRVLogHandle(std::string subsystem, std::string category, const LGJournalWriter* writer = nullptr);

  const std::string& subsystem() const { return subsystem_; }
  const std::string& category() const { return category_; }

  bool isEnabled(ZRVLogType type) const;

  // Formats and writes one entry; false (with *error when given) when it was not written.
  template <class... Args>
  bool log(ZRVLogType type, std::string_view format, const Args&... args) const {
    return write(type, platform::format(messageFormat(format), args...));
  }
  template <class... Args>
  bool info(std::string_view format, const Args&... args) const {
    return log(ZRVLogType::Info, format, args...);
  }
  template <class... Args>
  bool debug(std::string_view format, const Args&... args) const {
    return log(ZRVLogType::Debug, format, args...);
  }
  template <class... Args>
  bool error(std::string_view format, const Args&... args) const {
    return log(ZRVLogType::Error, format, args...);
  }
  // Writes a finished text.
  bool write(ZRVLogType type, std::string_view text, platform::ErrorPtr* error = nullptr) const;

  // The journal priority of a message type.
  static int priorityForType(ZRVLogType type);
  // The platform::format form of a log format: "{public}" after a "%" removed ("%%" stays literal).
  static std::string messageFormat(std::string_view logFormat);

 private:
  const std::string subsystem_;
  const std::string category_;
  const LGJournalWriter* const writer_;
};

using ZRVLogHandlePtr = std::shared_ptr<const ZRVLogHandle>;

// The seven handles, made once; every call site takes its area's handle from the shared instance.
class ZRVLogManager : public platform::Object {
  ZORVEL_CLASS(ZRVLogManager, platform::Object)

 public:
  // The areas, in the order the handles are made.
  enum class Area : std::size_t { Database, CloudKit, Reachability, UI, Push, Notifications, Review };
  static constexpr std::array<std::string_view, 7> kCategories = {"Database", "CloudKit",      "Reachability", "UI",
                                                                  "Push",     "Notifications", "Review"};

  // The process's manager, made on first use (thread-safe), writing to the journal daemon.
  static std::shared_ptr<ZRVLogManager> sharedInstance();

  // Makes the seven handles with the application's identifier as subsystem, writing through
  // `writer` (null: the journal daemon's), which must outlive the manager and its handles.
  explicit ZRVLogManager(const LGJournalWriter* writer = nullptr);

  ZRVLogHandlePtr handle(Area area) const;
  // Replaces an area's handle; null leaves the area without one (callers then get null).
  void setHandle(Area area, ZRVLogHandlePtr handle);

  ZRVLogHandlePtr database_log() const { return handle(Area::Database); }
  ZRVLogHandlePtr cloudKit_log() const { return handle(Area::CloudKit); }
  ZRVLogHandlePtr reachability_log() const { return handle(Area::Reachability); }
  ZRVLogHandlePtr ui_log() const { return handle(Area::UI); }
  ZRVLogHandlePtr push_log() const { return handle(Area::Push); }
  ZRVLogHandlePtr notifications_log() const { return handle(Area::Notifications); }
  ZRVLogHandlePtr review_log() const { return handle(Area::Review); }
  void setDatabase_log(ZRVLogHandlePtr h) { setHandle(Area::Database, std::move(h)); }
  void setCloudKit_log(ZRVLogHandlePtr h) { setHandle(Area::CloudKit, std::move(h)); }
  void setReachability_log(ZRVLogHandlePtr h) { setHandle(Area::Reachability, std::move(h)); }
  void setUi_log(ZRVLogHandlePtr h) { setHandle(Area::UI, std::move(h)); }
  void setPush_log(ZRVLogHandlePtr h) { setHandle(Area::Push, std::move(h)); }
  void setNotifications_log(ZRVLogHandlePtr h) { setHandle(Area::Notifications, std::move(h)); }
  void setReview_log(ZRVLogHandlePtr h) { setHandle(Area::Review, std::move(h)); }

 private:
  mutable platform::Mutex mutex_;
  std::array<ZRVLogHandlePtr, kCategories.size()> handles_ ZORVEL_GUARDED_BY(mutex_);
};
