#pragma once

// Crash record files: the allocation-free writer of JSON-line record files and their reader.
//
// A record file is a text file of lines; every line is one JSON object with one key, the section
// name, whose value is an object or an array, followed by "\n". The writer runs inside signal
// handlers: after the optional 1,000-byte write buffer taken at open it allocates nothing, takes no
// lock and calls only open, write, close, fstat and unlink. Text that a user or the application
// supplies is written hex-encoded (the reader of that value decodes it). Every other string the
// writer is given (thread and queue names, image paths, settings values) is escaped as JSON
// (quote, backslash and control characters), so a line never breaks whatever the text holds.
//
// Failure: every writer answers false when a write fails; callers log and go on with the next line,
// so a file may lack lines but a line that is there is whole or cut off at its end (the reader
// skips such a line).
//
// Threads: a BBXFile is used by one thread at a time; callers that share one serialise on their own
// queue. The reader runs on any thread.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "nlohmann/json.hpp"
#include "platform/system/function_ref.h"

// Any pointer below this is absent: crash-time code never follows it.
inline constexpr std::uintptr_t kBBXSmallestValidPointer = 4096;
inline bool BBXPointerIsAbsent(const void* pointer) {
  return reinterpret_cast<std::uintptr_t>(pointer) < kBBXSmallestValidPointer;
}

inline constexpr std::size_t kBBXFileWriteBufferSize = 1000;

// The writer's state, one per open record file, owned by the caller.
struct BBXFile {
  int fd = -1;
  std::int32_t collectionDepth = 0;
  bool needsComma = false;
  bool bufferWrites = false;
  char* writeBuffer = nullptr;  // kBBXFileWriteBufferSize bytes while buffered and open
  std::size_t writeBufferLength = 0;
  std::uint64_t bytesWritten = 0;  // the size at open when appending, plus every byte written since
};

// Opens `path` write-only (created with mode 0644), appending or truncating.
[[nodiscard]] bool BBXFileInitWithPathMode(BBXFile* file, const char* path, bool append, bool bufferWrites);
// The same, appending: how every crash-time record file is opened.
[[nodiscard]] bool BBXFileInit(BBXFile* file, const char* path, bool bufferWrites);
// Flushes, frees the buffer, stores the bytes written into `offset` when given, closes.
[[nodiscard]] bool BBXFileCloseWithOffset(BBXFile* file, std::uint64_t* offset);
[[nodiscard]] bool BBXFileClose(BBXFile* file);

// Structure.
[[nodiscard]] bool BBXFileWriteSectionStart(BBXFile* file, const char* name);
[[nodiscard]] bool BBXFileWriteSectionEnd(BBXFile* file);
[[nodiscard]] bool BBXFileWriteHashStart(BBXFile* file);
[[nodiscard]] bool BBXFileWriteHashEnd(BBXFile* file);
[[nodiscard]] bool BBXFileWriteArrayStart(BBXFile* file);
[[nodiscard]] bool BBXFileWriteArrayEnd(BBXFile* file);
[[nodiscard]] bool BBXFileWriteHashKey(BBXFile* file, const char* key);

// Values. A null text writes null. Plain strings are escaped as JSON; hex-encoded ones are the
// lowercase hexadecimal form of their bytes.
[[nodiscard]] bool BBXFileWriteHashEntryUint64(BBXFile* file, const char* key, std::uint64_t value);
[[nodiscard]] bool BBXFileWriteHashEntryInt64(BBXFile* file, const char* key, std::int64_t value);
[[nodiscard]] bool BBXFileWriteHashEntryString(BBXFile* file, const char* key, const char* text);
// A string of known length (may hold NUL bytes, which are escaped).
[[nodiscard]] bool BBXFileWriteHashEntryStringView(BBXFile* file, const char* key,
                                                   std::optional<std::string_view> text);
// Nothing at all for an absent or empty text.
[[nodiscard]] bool BBXFileWriteHashEntryStringUnlessNilOrEmpty(BBXFile* file, const char* key,
                                                               std::optional<std::string_view> text);
[[nodiscard]] bool BBXFileWriteHashEntryHexEncodedString(BBXFile* file, const char* key, const char* text);
[[nodiscard]] bool BBXFileWriteHashEntryHexEncodedBytes(BBXFile* file, const char* key, const void* bytes,
                                                        std::size_t length);
[[nodiscard]] bool BBXFileWriteHashEntryBoolean(BBXFile* file, const char* key, bool value);
[[nodiscard]] bool BBXFileWriteHashEntryNull(BBXFile* file, const char* key);
[[nodiscard]] bool BBXFileWriteArrayEntryUint64(BBXFile* file, std::uint64_t value);
[[nodiscard]] bool BBXFileWriteArrayEntryString(BBXFile* file, const char* text);
[[nodiscard]] bool BBXFileWriteArrayEntryHexEncodedString(BBXFile* file, const char* text);

// Lower level.
[[nodiscard]] bool BBXFileWriteWithLength(BBXFile* file, const void* bytes, std::size_t length);
[[nodiscard]] bool BBXFileWriteUInt64(BBXFile* file, std::uint64_t value, bool hex);
[[nodiscard]] bool BBXFileWriteInt64(BBXFile* file, std::int64_t value);
[[nodiscard]] bool BBXFileFDWriteUInt64(int fd, std::uint64_t value, bool hex);
[[nodiscard]] bool BBXFileFDWriteInt64(int fd, std::int64_t value);
// Repeats `block` (which answers what write(2) answers) until all bytes are out: at most 50
// attempts; a zero length, a result of 0 or less, or a result larger than asked for fails.
[[nodiscard]] bool BBXFileLoopWithWriteBlock(const void* bytes, std::size_t length,
                                             platform::FunctionRef<ssize_t(const void*, std::size_t)> block);
[[nodiscard]] bool BBXFileWriteWithRetries(int fd, const void* bytes, std::size_t length);

// The reader: the sections of a record file, one JSON value per line that parses (empty lines and
// lines cut short are skipped). With `map`, each parsed line goes through it and its non-empty
// results are kept. nullopt for an absent path or a file that cannot be read (deleted when
// `deleteIfUnreadable`). Not for crash time: it allocates.
using BBXFileSectionMap = std::function<std::optional<nlohmann::json>(const nlohmann::json&)>;
std::optional<std::vector<nlohmann::json>> BBXFileReadSections(const char* path, bool deleteIfUnreadable,
                                                               const BBXFileSectionMap& map = {});
