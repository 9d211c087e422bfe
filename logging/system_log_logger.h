#pragma once

// Bridges between the logging framework and the system log (the systemd journal, see journal.h).
//
// LGASLLogger sends each message as a journal entry: PRIORITY from the message's flag (error 2,
// warning 3, info 4, anything else 5), SYSLOG_IDENTIFIER (the process name unless another is
// given), MESSAGE (the formatter's text), the logger's fixed fields, and the marker LGLOG=1.
//
// LGASLLogCapture does the reverse: once started, it watches this process's journal entries
// (_PID = ours) written since the start second, skips those carrying LGLOG=1, and hands the others
// to LGLog as messages: PRIORITY 0-2 become errors (logged synchronously), 3 warnings, 4 infos,
// 5 debugs, anything else verbose (asynchronously); an entry without PRIORITY counts as an error.
// The marker and the capture's file name ("LGASLLogCapture", never sent back) keep the two from
// feeding each other in a loop.
//
// Threads: the logger sends on its own queue. The capture watches on a thread of its own; start,
// stop and the capture level may be used from any thread.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "logging/journal.h"
#include "logging/logger.h"

class LGASLLogger : public LGAbstractLogger {
  ZORVEL_CLASS(LGASLLogger, LGAbstractLogger)

 public:
  // The process's system-log logger (the daemon's journal, the process name as identifier).
  static std::shared_ptr<LGASLLogger> sharedInstance();
  // A logger for an identifier and fixed fields (e.g. an application's category), writing through
  // `writer` (null: the daemon's). The writer must outlive the logger.
  static std::shared_ptr<LGASLLogger> loggerWithIdentifier(std::string identifier, std::vector<LGJournalField> fields,
                                                           const LGJournalWriter* writer = nullptr);

  std::string loggerName() override;
  void logMessage(const LGLogMessagePtr& message) override;

  // The journal priority of a message flag.
  static int priorityForFlag(std::uint64_t flag);

 private:
  LGASLLogger(std::string identifier, std::vector<LGJournalField> fields, const LGJournalWriter* writer);

  const std::string identifier_;
  std::vector<LGJournalField> fields_;  // the fixed fields, then the marker
  const LGJournalWriter* writer_;
};

// A journal entry as the capture reads it.
using LGJournalRecord = std::map<std::string, std::string, std::less<>>;

class LGASLLogCapture {
 public:
  LGASLLogCapture() = delete;

  // Starts watching (nothing when already running). False when the journal cannot be opened.
  static bool start();
  // Stops watching; the watching thread ends soon after.
  static void stop();
  static bool isRunning();

  // The flags passed on (default 31, all five).
  static std::uint64_t captureLevel();
  static void setCaptureLevel(std::uint64_t level);

  // Hands one entry to LGLog as the class comment says (entries without MESSAGE, with the marker
  // or with a flag outside the capture level are dropped). Returns whether it was handed on.
  static bool aslMessageReceived(const LGJournalRecord& record);
  // The flag and delivery of a journal priority (null: the entry had none).
  struct Delivery {
    std::uint64_t flag;
    bool synchronous;
  };
  static Delivery deliveryForPriority(const std::string* priority);
};
