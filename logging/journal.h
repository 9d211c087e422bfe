#pragma once

// The system log: the systemd journal. LGJournalWriter sends entries (a priority, an identifier, a
// message and fields); LGJournalReader reads entries back from this machine's journal files.
//
// Writing goes through libsystemd (sd_journal_sendv) to the journal daemon's socket, or, when
// another socket path is given, straight to that socket in the journal's native protocol: one
// datagram per entry holding "NAME=value\n" fields, a value containing a newline in the binary
// form "NAME\n" <64-bit little-endian length> value "\n"; an entry too large for a datagram goes as
// a sealed memory file passed with SCM_RIGHTS, as libsystemd does.
//
// Field names: 1 to 64 of A-Z, 0-9 and "_", not starting with a digit or "_" (names starting with
// "_" are the daemon's own trusted fields). Values are bytes. An entry with a bad name is refused
// whole (EINVAL); nothing is sent.
//
// Trust: entries read back carry what their writers sent; the fields starting with "_" (_PID,
// _UID, ...) are set by the daemon from the sender's credentials.
//
// Threads: a writer may be used from any number of threads at once. A reader belongs to the thread
// using it.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/runtime/error.h"

struct LGJournalField {
  std::string name;
  std::string value;
};

// Syslog priorities, as the journal's PRIORITY field holds them.
enum LGJournalPriority : int {
  LGJournalPriorityEmergency = 0,
  LGJournalPriorityAlert = 1,
  LGJournalPriorityCritical = 2,
  LGJournalPriorityError = 3,
  LGJournalPriorityWarning = 4,
  LGJournalPriorityNotice = 5,
  LGJournalPriorityInfo = 6,
  LGJournalPriorityDebug = 7,
};

class LGJournalWriter {
 public:
  static constexpr std::string_view kDaemonSocketPath = "/run/systemd/journal/socket";

  explicit LGJournalWriter(std::string socketPath = std::string(kDaemonSocketPath));
  ~LGJournalWriter();
  LGJournalWriter(const LGJournalWriter&) = delete;
  LGJournalWriter& operator=(const LGJournalWriter&) = delete;

  // The writer of the journal daemon, shared by the process.
  static LGJournalWriter& daemon();

  const std::string& socketPath() const { return socketPath_; }
  // Whether the daemon's socket exists on this machine (a journal daemon runs).
  static bool isDaemonAvailable();
  // Whether this writer's socket exists (someone listens for its entries).
  bool isSocketPresent() const;
  static bool isValidFieldName(std::string_view name);

  // One entry: PRIORITY (0 to 7), SYSLOG_IDENTIFIER (left out when empty), MESSAGE, then the
  // fields in order. False with *error (NSPOSIXErrorDomain, the errno) when nothing was sent.
  bool send(int priority, std::string_view identifier, std::string_view message,
            std::span<const LGJournalField> fields = {}, platform::ErrorPtr* error = nullptr) const;

 private:
  bool sendNative(const std::vector<std::string>& fields, platform::ErrorPtr* error) const;

  const std::string socketPath_;
  const bool throughDaemonLibrary_;
  int socket_ = -1;  // our own datagram socket, for another socket path
};

// One entry read back: its fields (a field given twice keeps its last value), its time and cursor.
struct LGJournalEntry {
  std::map<std::string, std::string, std::less<>> fields;
  std::uint64_t realtimeMicroseconds = 0;  // when the daemon received it, since 1970
  std::string cursor;

  // nullptr when absent.
  const std::string* field(std::string_view name) const;
};

class LGJournalReader {
 public:
  // This machine's journal files; nullptr (with *error) when they cannot be opened.
  static std::unique_ptr<LGJournalReader> openLocal(platform::ErrorPtr* error = nullptr);
  ~LGJournalReader();
  LGJournalReader(const LGJournalReader&) = delete;
  LGJournalReader& operator=(const LGJournalReader&) = delete;

  // Only entries with this field value ("NAME=value"); matches of different names all apply,
  // matches of the same name are alternatives.
  bool addMatch(std::string_view nameAndValue);
  // The next next() reads the first entry received at or after the time (microseconds since 1970).
  bool seekRealtime(std::uint64_t microseconds);
  // The next next() reads the entry after the one with this cursor.
  bool seekCursor(const std::string& cursor);
  bool seekTail();
  // The next entry, or nullopt at the end (for now).
  std::optional<LGJournalEntry> next();
  // Waits until entries may have been added, at most the seconds given; false on time-out.
  bool wait(double seconds);
  // A descriptor that becomes readable when entries may have been added (for poll); -1 when
  // the journal offers none.
  int fileDescriptor();
  // After fileDescriptor() became readable: true when entries may have been added.
  bool process();

 private:
  explicit LGJournalReader(void* journal) : journal_(journal) {}
  void* journal_;  // sd_journal*
};
