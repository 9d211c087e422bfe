#pragma once

// Custom keys, logs and logged errors: what the application tells the crash kit during a run,
// written as it happens into record files of the run's report folder so that a later crash loses
// none of it.
//
// Key-value pairs (the user's set and the kit's internal set) are appended to an incremental file
// ("kv" lines, key and value hex-encoded, a removed key's value null) and, every 64th write, folded
// into a compacted file. Compaction writes the merged set to a temporary file beside the compacted
// one, syncs it and renames it over the compacted file, and only then removes the incremental file:
// a crash at any moment leaves a compacted and incremental pair whose merge is the full set. Logs
// and errors alternate between an A and a B file, switched by size (logs) or entry count (errors),
// so each keeps a bounded recent history.
//
// Failure: failures are logged to "sdk.log" and the entry is dropped; nothing reaches the caller.
//
// Threads: every write, compaction and file switch runs on the kit's serial logging queue. The
// public entry points wait for it, so callers already on that queue use the unchecked writer
// (BBXUserLoggingWriteKeyValue) instead.

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "platform/system/function_ref.h"

struct BBXFile;

inline constexpr std::uint32_t kBBXMaxIncrementalKVCount = 64;
inline constexpr std::uint32_t kBBXMaxInternalKVCount = 32;

struct BBXUserLoggingKVStorage {
  const char* incrementalPath;
  const char* compactedPath;
  std::uint32_t maxIncrementalCount;  // 64
  std::uint32_t maxCount;             // keys kept by compaction
};

struct BBXUserLoggingABStorage {
  const char* aPath;
  const char* bPath;
  std::uint32_t maxSize;     // bytes, when restricted by size
  std::uint32_t maxEntries;  // entries, otherwise
  bool restrictBySize;
  std::uint32_t* entryCount;  // in the writable context; unused when restricted by size
};

// The writable state: changed only on the logging queue.
struct BBXUserLoggingWritableState {
  const char* currentLogPath;
  const char* currentErrorPath;
  const char* currentCustomExceptionPath;
  std::uint32_t userKVCount;
  std::uint32_t internalKVCount;
  std::uint32_t errorCount;
  std::uint32_t customExceptionCount;
};

struct BBXUserLoggingStorage {
  BBXUserLoggingKVStorage userKVStorage;
  BBXUserLoggingKVStorage internalKVStorage;
  BBXUserLoggingABStorage logStorage;
  BBXUserLoggingABStorage errorStorage;
  BBXUserLoggingABStorage customExceptionStorage;
};

// Points the current paths at the A files, zeroes the counters, sets the incremental maximum.
void BBXUserLoggingInit(BBXUserLoggingStorage* storage, BBXUserLoggingWritableState* state);

// The checked entry points: a null value removes the key. Refused (logged) for an absent key and
// until the crash context is initialised; they wait for the logging queue.
void BBXUserLoggingRecordUserKeyValue(const char* key, const char* value);
void BBXUserLoggingRecordInternalKeyValue(const char* key, const char* value);
void BBXUserLoggingRecordKeyValue(const char* key, const char* value, BBXUserLoggingKVStorage* storage,
                                  std::uint32_t* counter);
// The unchecked writer, on the logging queue only.
void BBXUserLoggingWriteKeyValue(const char* key, const char* value, BBXUserLoggingKVStorage* storage,
                                 std::uint32_t* counter);

// The current set: the compacted entries, then the incremental ones in file order (null removes).
// With `decode`, keys and values are hex-decoded; otherwise they stay as stored. nullopt for an
// absent storage; empty until the crash context is initialised.
std::optional<std::map<std::string, std::string>> BBXUserLoggingGetCompactedKVEntries(
    const BBXUserLoggingKVStorage* storage, bool decode);
// Folds the incremental file into the compacted one, keeping at most `maxCount` keys.
void BBXUserLoggingCompactKVEntries(const BBXUserLoggingKVStorage* storage);

// Appends one entry through `write` to the current A/B file, then queues the switch check.
void BBXUserLoggingWriteAndCheckABFiles(const BBXUserLoggingABStorage* storage, const char** currentPath,
                                        platform::FunctionRef<void(BBXFile*)> write);
void BBXUserLoggingCheckAndSwapABFiles(const BBXUserLoggingABStorage* storage, const char** currentPath,
                                       std::uint64_t fileSize);

// Records a logged error ("error" line: hex-encoded domain, code, time in seconds, the calling
// thread's return addresses, then the error's information and the caller's extra information as
// [key, value] pairs of hex-encoded text, each only when not empty). Refused until the crash
// context is initialised; nothing is written when error reporting is off (maximum 0).
void BBXUserLoggingRecordError(const std::string& domain, std::int64_t code,
                               const std::map<std::string, std::string>& info,
                               const std::map<std::string, std::string>& extraInfo);

// Records a log message ("log" line), cut to the log buffer size. Refused (console warning) until
// the crash context is initialised.
void BBXUserLoggingRecordLogMessage(const std::string& message);
// printf-style formatting, then BBXUserLoggingRecordLogMessage; the NS forms also print the message
// on the console.
void BBXLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
void BBXNSLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
