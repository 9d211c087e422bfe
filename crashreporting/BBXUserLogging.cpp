#include "crashreporting/BBXUserLogging.h"

#include <execinfo.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdarg>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "crashreporting/BBXContext.h"
#include "crashreporting/BBXContextInternal.h"
#include "crashreporting/BBXFile.h"
#include "crashreporting/BBXHelpers.h"
#include "crashreporting/BBXSDKLog.h"
#include "platform/system/console.h"

namespace {

// Reads the "kv" lines of one file into `entries` (null removes when `nullRemoves`).
void applyKVFile(const char* path, bool decode, bool isCompacted, std::map<std::string, std::string>& entries) {
  const auto sections = BBXFileReadSections(path, true);
  if (!sections) return;
  for (const nlohmann::json& line : *sections) {
    const auto kv = line.find("kv");
    if (kv == line.end() || !kv->is_object()) continue;
    const auto key = kv->find("key");
    const auto value = kv->find("value");
    if (key == kv->end() || !key->is_string() || value == kv->end() || !(value->is_string() || value->is_null())) {
      if (isCompacted) {
        BBX_SDK_LOG(kBBXLogLevelError, "ERROR [%s:%d] compacted key/value contains a nil and must be dropped\n");
      } else {
        BBX_SDK_LOG(kBBXLogLevelError, "ERROR [%s:%d] incremental key/value contains a nil and must be dropped\n");
      }
      continue;
    }
    const std::string storedKey = key->get<std::string>();
    const std::string mapKey = decode ? BBXHexDecodeString(storedKey) : storedKey;
    if (value->is_null()) {
      entries.erase(mapKey);
    } else {
      const std::string storedValue = value->get<std::string>();
      entries[mapKey] = decode ? BBXHexDecodeString(storedValue) : storedValue;
    }
  }
}

bool writeKVLine(BBXFile* file, const char* key, std::size_t keyLength, const char* value, std::size_t valueLength,
                 bool valueIsHex) {
  bool ok = BBXFileWriteSectionStart(file, "kv") && BBXFileWriteHashStart(file);
  if (!ok) return false;
  if (valueIsHex) {
    // Already hex-encoded: written as they are.
    ok = BBXFileWriteHashEntryStringView(file, "key", std::string_view(key, keyLength)) &&
         BBXFileWriteHashEntryStringView(file, "value", std::string_view(value, valueLength));
  } else {
    ok = BBXFileWriteHashEntryHexEncodedBytes(file, "key", key, keyLength) &&
         (value ? BBXFileWriteHashEntryHexEncodedBytes(file, "value", value, valueLength)
                : BBXFileWriteHashEntryNull(file, "value"));
  }
  return ok && BBXFileWriteHashEnd(file) && BBXFileWriteSectionEnd(file);
}

BBXReadOnlyContext* readOnlyContext() { return bbx_detail::gReadOnlyContext.load(std::memory_order_acquire); }
BBXWritableContext* writableContext() { return bbx_detail::gWritableContext.load(std::memory_order_acquire); }

}  // namespace

namespace bbx_detail {

std::map<std::string, std::string> readKVEntries(const BBXUserLoggingKVStorage* storage, bool decode) {
  std::map<std::string, std::string> entries;
  applyKVFile(storage->compactedPath, decode, true, entries);
  applyKVFile(storage->incrementalPath, decode, false, entries);
  return entries;
}

}  // namespace bbx_detail

void BBXUserLoggingInit(BBXUserLoggingStorage* storage, BBXUserLoggingWritableState* state) {
  if (!storage || !state) return;
  state->currentLogPath = storage->logStorage.aPath;
  state->currentErrorPath = storage->errorStorage.aPath;
  state->currentCustomExceptionPath = storage->customExceptionStorage.aPath;
  state->userKVCount = 0;
  state->internalKVCount = 0;
  state->errorCount = 0;
  state->customExceptionCount = 0;
  storage->userKVStorage.maxIncrementalCount = kBBXMaxIncrementalKVCount;
  storage->internalKVStorage.maxIncrementalCount = kBBXMaxIncrementalKVCount;
}

void BBXUserLoggingRecordUserKeyValue(const char* key, const char* value) {
  BBXReadOnlyContext* readOnly = readOnlyContext();
  BBXWritableContext* writable = writableContext();
  if (!readOnly || !writable) return;
  BBXUserLoggingRecordKeyValue(key, value, &readOnly->logging.userKVStorage, &writable->logging.userKVCount);
}

void BBXUserLoggingRecordInternalKeyValue(const char* key, const char* value) {
  BBXReadOnlyContext* readOnly = readOnlyContext();
  BBXWritableContext* writable = writableContext();
  if (!readOnly || !writable) return;
  BBXUserLoggingRecordKeyValue(key, value, &readOnly->logging.internalKVStorage, &writable->logging.internalKVCount);
}

void BBXUserLoggingRecordKeyValue(const char* key, const char* value, BBXUserLoggingKVStorage* storage,
                                  std::uint32_t* counter) {
  if (BBXPointerIsAbsent(key)) {
    BBX_SDK_LOG(kBBXLogLevelWarn, "WARN  [%s:%d] User provided bad key\n");
    return;
  }
  if (value && BBXPointerIsAbsent(value)) {
    BBX_SDK_LOG(kBBXLogLevelWarn, "WARN  [%s:%d] Bad value pointer being clamped to nil\n");
    value = nullptr;
  }
  if (!BBXContextIsInitialized()) return;
  BBXLoggingQueue()->sync([&] { BBXUserLoggingWriteKeyValue(key, value, storage, counter); });
}

void BBXUserLoggingWriteKeyValue(const char* key, const char* value, BBXUserLoggingKVStorage* storage,
                                 std::uint32_t* counter) {
  if (BBXPointerIsAbsent(storage) || BBXPointerIsAbsent(counter) || BBXPointerIsAbsent(key)) {
    BBX_SDK_LOG(kBBXLogLevelError, "ERROR [%s:%d] Bad parameters\n");
    return;
  }
  BBXFile file;
  if (!BBXFileInit(&file, storage->incrementalPath, true)) {
    BBX_SDK_LOG(kBBXLogLevelError, "ERROR [%s:%d] Unable to open k-v file\n");
    return;
  }
  const bool written = writeKVLine(&file, key, strlen(key), value, value ? strlen(value) : 0, false);
  const bool closed = BBXFileClose(&file);
  if (!written || !closed) BBX_SDK_LOG(kBBXLogLevelError, "ERROR [%s:%d] Unable to write k-v entry\n");
  *counter += 1;
  if (*counter >= storage->maxIncrementalCount) {
    *counter = 0;
    const BBXUserLoggingKVStorage* compacting = storage;
    BBXLoggingQueue()->async([compacting] { BBXUserLoggingCompactKVEntries(compacting); });
  }
}

std::optional<std::map<std::string, std::string>> BBXUserLoggingGetCompactedKVEntries(
    const BBXUserLoggingKVStorage* storage, bool decode) {
  if (BBXPointerIsAbsent(storage)) {
    BBX_SDK_LOG(kBBXLogLevelError, "ERROR [%s:%d] storage invalid\n");
    return std::nullopt;
  }
  if (!BBXContextIsInitialized()) return std::map<std::string, std::string>{};
  return bbx_detail::readKVEntries(storage, decode);
}

void BBXUserLoggingCompactKVEntries(const BBXUserLoggingKVStorage* storage) {
  if (BBXPointerIsAbsent(storage)) {
    BBX_SDK_LOG(kBBXLogLevelError, "ERROR [%s:%d] Error: storage invalid\n");
    return;
  }
  std::map<std::string, std::string> entries = bbx_detail::readKVEntries(storage, false);
  if (entries.size() > storage->maxCount) {
    BBX_SDK_LOG(kBBXLogLevelInfo, "INFO  [%s:%d] Truncating KV set, which is above max %d\n",
                static_cast<int>(storage->maxCount));
    entries.erase(std::next(entries.begin(), storage->maxCount), entries.end());
  }
  // The merged set goes to a file beside the compacted one and replaces it whole: until the rename
  // the old compacted and incremental files still hold every key.
  const std::string temporary = std::string(storage->compactedPath) + ".tmp";
  BBXFile file;
  if (!BBXFileInitWithPathMode(&file, temporary.c_str(), false, true)) {
    BBX_SDK_LOG(kBBXLogLevelWarn, "WARN  [%s:%d] Error: Unable to open compacted k-v file\n");
    return;
  }
  bool ok = true;
  for (const auto& [key, value] : entries) {
    ok = writeKVLine(&file, key.data(), key.size(), value.data(), value.size(), true) && ok;
  }
  ok = BBXFileClose(&file) && ok;
  if (ok) {
    const int fd = open(temporary.c_str(), O_RDONLY | O_CLOEXEC);
    ok = fd >= 0 && fsync(fd) == 0;
    if (fd >= 0) close(fd);
  }
  if (!ok || rename(temporary.c_str(), storage->compactedPath) != 0) {
    BBX_SDK_LOG(kBBXLogLevelWarn, "WARN  [%s:%d] Error: Unable to replace the compacted KV store %s\n",
                strerror(errno));
    (void)BBXFileUnlinkIfExists(temporary.c_str());
    return;
  }
  if (!BBXFileUnlinkIfExists(storage->incrementalPath)) {
    BBX_SDK_LOG(kBBXLogLevelWarn, "WARN  [%s:%d] Error: Unable to remove incremental KV store after compaction %s\n",
                strerror(errno));
  }
}

void BBXUserLoggingWriteAndCheckABFiles(const BBXUserLoggingABStorage* storage, const char** currentPath,
                                        platform::FunctionRef<void(BBXFile*)> write) {
  if (BBXPointerIsAbsent(storage) || BBXPointerIsAbsent(currentPath) || BBXPointerIsAbsent(*currentPath) || !write) {
    return;
  }
  if ((storage->restrictBySize ? storage->maxSize : storage->maxEntries) == 0) return;
  BBXLoggingQueue()->sync([&] {
    BBXFile file;
    if (!BBXFileInit(&file, *currentPath, true)) {
      BBX_SDK_LOG(kBBXLogLevelWarn, "WARN  [%s:%d] Unable to open log file\n");
      return;
    }
    write(&file);
    std::uint64_t size = 0;
    if (!BBXFileCloseWithOffset(&file, &size)) return;
    if (!storage->restrictBySize && !BBXPointerIsAbsent(storage->entryCount)) *storage->entryCount += 1;
    BBXLoggingQueue()->async(
        [storage, currentPath, size] { BBXUserLoggingCheckAndSwapABFiles(storage, currentPath, size); });
  });
}

void BBXUserLoggingCheckAndSwapABFiles(const BBXUserLoggingABStorage* storage, const char** currentPath,
                                       std::uint64_t fileSize) {
  if (BBXPointerIsAbsent(storage) || BBXPointerIsAbsent(currentPath)) return;
  if (storage->restrictBySize) {
    if (fileSize <= storage->maxSize) return;
  } else {
    if (BBXPointerIsAbsent(storage->entryCount)) {
      BBX_SDK_LOG(kBBXLogLevelError,
                  "ERROR [%s:%d] Error: storage has invalid pointer, but is restricted by entry count\n");
      return;
    }
    if (*storage->entryCount < storage->maxEntries) return;
    *storage->entryCount = 0;
  }
  const char* other = *currentPath == storage->aPath ? storage->bPath : storage->aPath;
  (void)BBXFileUnlinkIfExists(other);
  *currentPath = other;
}

void BBXUserLoggingRecordLogMessage(const std::string& message) {
  BBXReadOnlyContext* readOnly = readOnlyContext();
  BBXWritableContext* writable = writableContext();
  if (!BBXContextIsInitialized() || !readOnly || !writable) {
    platform::consoleLog(
        "[Blackbox:Crash] WARNING: BBXLog has been used before (or concurrently with) Blackbox initialization and "
        "cannot be recorded. The message was: \n" +
        message);
    return;
  }
  std::string text = message;
  const std::uint32_t maximum = readOnly->logBufferSize;
  if (text.size() > maximum) {
    platform::consoleLog("WARNING: Attempted to write " + std::to_string(text.size()) + " bytes, but " +
                         std::to_string(maximum) + " is the maximum size of the log. Truncating to " +
                         std::to_string(maximum) + " bytes.\n");
    text.resize(maximum);
  }
  timeval now{};
  if (gettimeofday(&now, nullptr) != 0) return;
  const std::uint64_t milliseconds =
      static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_usec) / 1000u;
  BBXUserLoggingWriteAndCheckABFiles(
      &readOnly->logging.logStorage, &writable->logging.currentLogPath, [&](BBXFile* file) {
        const bool ok = BBXFileWriteSectionStart(file, "log") && BBXFileWriteHashStart(file) &&
                        BBXFileWriteHashEntryHexEncodedBytes(file, "msg", text.data(), text.size()) &&
                        BBXFileWriteHashEntryUint64(file, "time", milliseconds) && BBXFileWriteHashEnd(file) &&
                        BBXFileWriteSectionEnd(file);
        if (!ok) BBX_SDK_LOG(kBBXLogLevelWarn, "WARN  [%s:%d] Unable to write log\n");
      });
}

static bool writePairs(BBXFile* file, const char* key, const std::map<std::string, std::string>& pairs) {
  if (pairs.empty()) return true;
  bool ok = BBXFileWriteHashKey(file, key) && BBXFileWriteArrayStart(file);
  for (const auto& [name, value] : pairs) {
    ok = ok && BBXFileWriteArrayStart(file) && BBXFileWriteArrayEntryHexEncodedString(file, name.c_str()) &&
         BBXFileWriteArrayEntryHexEncodedString(file, value.c_str()) && BBXFileWriteArrayEnd(file);
  }
  return ok && BBXFileWriteArrayEnd(file);
}

void BBXUserLoggingRecordError(const std::string& domain, std::int64_t code,
                               const std::map<std::string, std::string>& info,
                               const std::map<std::string, std::string>& extraInfo) {
  BBXReadOnlyContext* readOnly = readOnlyContext();
  BBXWritableContext* writable = writableContext();
  if (!BBXContextIsInitialized() || !readOnly || !writable) return;
  void* frames[128];
  const int frameCount = backtrace(frames, 128);
  const auto seconds = static_cast<std::uint64_t>(time(nullptr));
  BBXUserLoggingWriteAndCheckABFiles(
      &readOnly->logging.errorStorage, &writable->logging.currentErrorPath, [&](BBXFile* file) {
        bool ok = BBXFileWriteSectionStart(file, "error") && BBXFileWriteHashStart(file) &&
                  BBXFileWriteHashEntryHexEncodedBytes(file, "domain", domain.data(), domain.size()) &&
                  BBXFileWriteHashEntryInt64(file, "code", code) &&
                  BBXFileWriteHashEntryUint64(file, "time", seconds) && BBXFileWriteHashKey(file, "stacktrace") &&
                  BBXFileWriteArrayStart(file);
        for (int i = 0; ok && i < frameCount; ++i) {
          ok = BBXFileWriteArrayEntryUint64(file, reinterpret_cast<std::uintptr_t>(frames[i]));
        }
        ok = ok && BBXFileWriteArrayEnd(file) && writePairs(file, "info", info) &&
             writePairs(file, "extra_info", extraInfo) && BBXFileWriteHashEnd(file) && BBXFileWriteSectionEnd(file);
        if (!ok) BBX_SDK_LOG(kBBXLogLevelWarn, "WARN  [%s:%d] Unable to write error\n");
      });
}

static std::string formatMessage(const char* format, va_list arguments) {
  va_list copy;
  va_copy(copy, arguments);
  const int length = vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (length <= 0) return {};
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  vsnprintf(text.data(), text.size(), format, arguments);
  text.resize(static_cast<std::size_t>(length));
  return text;
}

void BBXLog(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  const std::string message = formatMessage(format, arguments);
  va_end(arguments);
  BBXUserLoggingRecordLogMessage(message);
}

void BBXNSLog(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  const std::string message = formatMessage(format, arguments);
  va_end(arguments);
  platform::consoleLog(message);
  BBXUserLoggingRecordLogMessage(message);
}
