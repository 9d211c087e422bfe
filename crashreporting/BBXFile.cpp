#include "crashreporting/BBXFile.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "crashreporting/BBXSDKLog.h"

namespace {

constexpr int kMaxWriteAttempts = 50;
constexpr char kHexDigits[] = "0123456789abcdef";

bool writeBytes(BBXFile* file, const void* bytes, std::size_t length) {
  return BBXFileWriteWithLength(file, bytes, length);
}

bool writeLiteral(BBXFile* file, const char* text) { return writeBytes(file, text, strlen(text)); }

// Writes `text` escaped for a JSON string: quote and backslash get a backslash, control characters
// (and DEL) become \u00XX. Assembled in a stack buffer, written in chunks.
bool writeEscaped(BBXFile* file, const char* text, std::size_t length) {
  char chunk[64];
  std::size_t used = 0;
  for (std::size_t i = 0; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (used + 6 > sizeof chunk) {
      if (!writeBytes(file, chunk, used)) return false;
      used = 0;
    }
    if (c == '"' || c == '\\') {
      chunk[used++] = '\\';
      chunk[used++] = static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7f) {
      chunk[used++] = '\\';
      chunk[used++] = 'u';
      chunk[used++] = '0';
      chunk[used++] = '0';
      chunk[used++] = kHexDigits[c >> 4];
      chunk[used++] = kHexDigits[c & 0xf];
    } else {
      chunk[used++] = static_cast<char>(c);
    }
  }
  return used == 0 || writeBytes(file, chunk, used);
}

bool needsEscape(const char* text, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\' || c < 0x20 || c == 0x7f) return true;
  }
  return false;
}

// `"text"` and, with `colon`, ":" after it. Short plain texts go out in one write.
bool writeQuoted(BBXFile* file, const char* text, std::size_t length, bool colon) {
  const std::size_t limit = colon ? 12 : 13;
  if (length < limit && !needsEscape(text, length)) {
    char assembled[16];
    std::size_t used = 0;
    assembled[used++] = '"';
    memcpy(assembled + used, text, length);
    used += length;
    assembled[used++] = '"';
    if (colon) assembled[used++] = ':';
    return writeBytes(file, assembled, used);
  }
  if (!writeBytes(file, "\"", 1)) return false;
  if (!writeEscaped(file, text, length)) return false;
  return writeBytes(file, colon ? "\":" : "\"", colon ? 2 : 1);
}

bool writeHexQuoted(BBXFile* file, const void* bytes, std::size_t length) {
  if (!writeBytes(file, "\"", 1)) return false;
  const auto* in = static_cast<const unsigned char*>(bytes);
  char chunk[32];
  std::size_t used = 0;
  for (std::size_t i = 0; i < length; ++i) {
    chunk[used++] = kHexDigits[in[i] >> 4];
    chunk[used++] = kHexDigits[in[i] & 0xf];
    if (used == sizeof chunk) {
      if (!writeBytes(file, chunk, used)) return false;
      used = 0;
    }
  }
  if (used > 0 && !writeBytes(file, chunk, used)) return false;
  return writeBytes(file, "\"", 1);
}

// Formats into the end of `buffer` (21 bytes hold any 64-bit number and a sign); answers the start.
char* formatUnsigned(char (&buffer)[21], std::uint64_t value, bool hex, bool negative) {
  const unsigned base = hex ? 16 : 10;
  char* p = buffer + sizeof buffer;
  do {
    *--p = kHexDigits[value % base];
    value /= base;
  } while (value != 0);
  if (negative) *--p = '-';
  return p;
}

std::uint64_t magnitude(std::int64_t value) {
  return value < 0 ? static_cast<std::uint64_t>(-(value + 1)) + 1 : static_cast<std::uint64_t>(value);
}

bool beginArrayEntry(BBXFile* file) {
  if (file->needsComma && !writeBytes(file, ",", 1)) return false;
  file->needsComma = true;
  return true;
}

bool flushBuffer(BBXFile* file) {
  if (file->writeBufferLength == 0) return true;
  const bool ok = BBXFileWriteWithRetries(file->fd, file->writeBuffer, file->writeBufferLength);
  if (ok) file->bytesWritten += file->writeBufferLength;
  file->writeBufferLength = 0;
  file->writeBuffer[0] = '\0';
  return ok;
}

}  // namespace

bool BBXFileLoopWithWriteBlock(const void* bytes, std::size_t length,
                               platform::FunctionRef<ssize_t(const void*, std::size_t)> block) {
  const auto* next = static_cast<const char*>(bytes);
  std::size_t remaining = length;
  for (int attempt = 0; remaining > 0 && attempt < kMaxWriteAttempts; ++attempt) {
    const ssize_t result = block(next, remaining);
    if (result > 0 && static_cast<std::size_t>(result) == remaining) return true;
    if (result > 0 && static_cast<std::size_t>(result) > remaining) {
      BBX_SDK_LOG(kBBXLogLevelError, "ERROR [%s:%d] Error: length doesn't make sense (%d, %u)\n",
                  static_cast<int>(result), static_cast<unsigned>(remaining));
      return false;
    }
    if (result <= 0) break;
    next += result;
    remaining -= static_cast<std::size_t>(result);
  }
  BBX_SDK_LOG(kBBXLogLevelError, "ERROR [%s:%d] Error: exited write loop without success\n");
  return false;
}

bool BBXFileWriteWithRetries(int fd, const void* bytes, std::size_t length) {
  return BBXFileLoopWithWriteBlock(bytes, length, [fd](const void* chunk, std::size_t size) -> ssize_t {
    errno = 0;
    const ssize_t result = write(fd, chunk, size);
    if (result < 0) BBX_SDK_LOG(kBBXLogLevelError, "ERROR [%s:%d] Failed to write: %s\n", strerror(errno));
    return result;
  });
}

bool BBXFileInitWithPathMode(BBXFile* file, const char* path, bool append, bool bufferWrites) {
  if (BBXPointerIsAbsent(file) || BBXPointerIsAbsent(path)) return false;
  file->fd = -1;
  file->collectionDepth = 0;
  file->needsComma = false;
  file->bufferWrites = bufferWrites;
  file->writeBuffer = nullptr;
  file->writeBufferLength = 0;
  file->bytesWritten = 0;
  const int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC), 0644);
  if (fd < 0) {
    BBX_SDK_LOG(kBBXLogLevelError, "ERROR [%s:%d] Unable to open file %s: %s\n", path, strerror(errno));
    return false;
  }
  if (append) {
    struct stat status;
    if (fstat(fd, &status) != 0) {
      BBX_SDK_LOG(kBBXLogLevelError, "ERROR [%s:%d] Unable to read the size of %s: %s\n", path, strerror(errno));
      close(fd);
      return false;
    }
    file->bytesWritten = static_cast<std::uint64_t>(status.st_size);
  }
  if (bufferWrites) {
    file->writeBuffer = static_cast<char*>(malloc(kBBXFileWriteBufferSize));
    if (!file->writeBuffer) {
      BBX_SDK_LOG(kBBXLogLevelError, "ERROR [%s:%d] Unable to take a write buffer for %s\n", path);
      close(fd);
      return false;
    }
    file->writeBuffer[0] = '\0';
  }
  file->fd = fd;
  return true;
}

bool BBXFileInit(BBXFile* file, const char* path, bool bufferWrites) {
  return BBXFileInitWithPathMode(file, path, true, bufferWrites);
}

bool BBXFileCloseWithOffset(BBXFile* file, std::uint64_t* offset) {
  if (BBXPointerIsAbsent(file) || file->fd < 0) return false;
  bool flushed = true;
  if (file->bufferWrites && file->writeBuffer) {
    flushed = flushBuffer(file);
    free(file->writeBuffer);
    file->writeBuffer = nullptr;
  }
  if (offset) *offset = file->bytesWritten;
  if (close(file->fd) != 0) {
    BBX_SDK_LOG(kBBXLogLevelWarn, "WARN  [%s:%d] Error: Unable to close file %s\n", strerror(errno));
    file->fd = -1;
    return false;
  }
  file->fd = -1;
  file->collectionDepth = 0;
  file->needsComma = false;
  file->bufferWrites = false;
  file->writeBufferLength = 0;
  return flushed;
}

bool BBXFileClose(BBXFile* file) { return BBXFileCloseWithOffset(file, nullptr); }

bool BBXFileWriteWithLength(BBXFile* file, const void* bytes, std::size_t length) {
  if (BBXPointerIsAbsent(file) || file->fd < 0) return false;
  if (!file->bufferWrites || !file->writeBuffer) {
    if (!BBXFileWriteWithRetries(file->fd, bytes, length)) return false;
    file->bytesWritten += length;
    return true;
  }
  const auto* next = static_cast<const char*>(bytes);
  std::size_t remaining = length;
  bool ok = true;
  while (file->writeBufferLength + remaining >= kBBXFileWriteBufferSize) {
    const std::size_t piece = kBBXFileWriteBufferSize - 1 - file->writeBufferLength;
    memcpy(file->writeBuffer + file->writeBufferLength, next, piece);
    file->writeBufferLength += piece;
    next += piece;
    remaining -= piece;
    ok = flushBuffer(file) && ok;
  }
  memcpy(file->writeBuffer + file->writeBufferLength, next, remaining);
  file->writeBufferLength += remaining;
  file->writeBuffer[file->writeBufferLength] = '\0';
  return ok;
}

bool BBXFileWriteUInt64(BBXFile* file, std::uint64_t value, bool hex) {
  char buffer[21];
  const char* start = formatUnsigned(buffer, value, hex, false);
  return writeBytes(file, start, static_cast<std::size_t>(buffer + sizeof buffer - start));
}

bool BBXFileWriteInt64(BBXFile* file, std::int64_t value) {
  char buffer[21];
  const char* start = formatUnsigned(buffer, magnitude(value), false, value < 0);
  return writeBytes(file, start, static_cast<std::size_t>(buffer + sizeof buffer - start));
}

bool BBXFileFDWriteUInt64(int fd, std::uint64_t value, bool hex) {
  char buffer[21];
  const char* start = formatUnsigned(buffer, value, hex, false);
  return BBXFileWriteWithRetries(fd, start, static_cast<std::size_t>(buffer + sizeof buffer - start));
}

bool BBXFileFDWriteInt64(int fd, std::int64_t value) {
  char buffer[21];
  const char* start = formatUnsigned(buffer, magnitude(value), false, value < 0);
  return BBXFileWriteWithRetries(fd, start, static_cast<std::size_t>(buffer + sizeof buffer - start));
}

// --- Structure --------------------------------------------------------------------------------------

static bool openCollection(BBXFile* file, const char* bracket) {
  if (BBXPointerIsAbsent(file)) return false;
  if (file->needsComma && !writeBytes(file, ",", 1)) return false;
  if (!writeBytes(file, bracket, 1)) return false;
  file->collectionDepth += 1;
  file->needsComma = false;
  return true;
}

static bool closeCollection(BBXFile* file, const char* bracket) {
  if (BBXPointerIsAbsent(file)) return false;
  const std::int32_t depthBefore = file->collectionDepth;
  if (!writeBytes(file, bracket, 1)) return false;
  if (file->collectionDepth > 0) file->collectionDepth -= 1;
  file->needsComma = depthBefore > 1;
  return true;
}

bool BBXFileWriteSectionStart(BBXFile* file, const char* name) {
  if (!openCollection(file, "{")) return false;
  return BBXFileWriteHashKey(file, name);
}

bool BBXFileWriteSectionEnd(BBXFile* file) {
  if (!closeCollection(file, "}")) return false;
  file->needsComma = false;
  return writeBytes(file, "\n", 1);
}

bool BBXFileWriteHashStart(BBXFile* file) { return openCollection(file, "{"); }
bool BBXFileWriteHashEnd(BBXFile* file) { return closeCollection(file, "}"); }
bool BBXFileWriteArrayStart(BBXFile* file) { return openCollection(file, "["); }
bool BBXFileWriteArrayEnd(BBXFile* file) { return closeCollection(file, "]"); }

bool BBXFileWriteHashKey(BBXFile* file, const char* key) {
  if (BBXPointerIsAbsent(file) || BBXPointerIsAbsent(key)) return false;
  if (file->needsComma && !writeBytes(file, ",", 1)) return false;
  file->needsComma = false;
  return writeQuoted(file, key, strlen(key), true);
}

// --- Values -----------------------------------------------------------------------------------------

static bool endHashValue(BBXFile* file, bool ok) {
  if (ok) file->needsComma = true;
  return ok;
}

bool BBXFileWriteHashEntryUint64(BBXFile* file, const char* key, std::uint64_t value) {
  return BBXFileWriteHashKey(file, key) && endHashValue(file, BBXFileWriteUInt64(file, value, false));
}

bool BBXFileWriteHashEntryInt64(BBXFile* file, const char* key, std::int64_t value) {
  return BBXFileWriteHashKey(file, key) && endHashValue(file, BBXFileWriteInt64(file, value));
}

bool BBXFileWriteHashEntryString(BBXFile* file, const char* key, const char* text) {
  if (!text) return BBXFileWriteHashEntryNull(file, key);
  return BBXFileWriteHashEntryStringView(file, key, std::string_view(text));
}

bool BBXFileWriteHashEntryStringView(BBXFile* file, const char* key, std::optional<std::string_view> text) {
  if (!BBXFileWriteHashKey(file, key)) return false;
  if (!text) return endHashValue(file, writeLiteral(file, "null"));
  return endHashValue(file, writeQuoted(file, text->data(), text->size(), false));
}

bool BBXFileWriteHashEntryStringUnlessNilOrEmpty(BBXFile* file, const char* key, std::optional<std::string_view> text) {
  if (!text || text->empty()) return true;
  return BBXFileWriteHashEntryStringView(file, key, text);
}

bool BBXFileWriteHashEntryHexEncodedString(BBXFile* file, const char* key, const char* text) {
  if (!text) return BBXFileWriteHashEntryNull(file, key);
  return BBXFileWriteHashEntryHexEncodedBytes(file, key, text, strlen(text));
}

bool BBXFileWriteHashEntryHexEncodedBytes(BBXFile* file, const char* key, const void* bytes, std::size_t length) {
  return BBXFileWriteHashKey(file, key) && endHashValue(file, writeHexQuoted(file, bytes, length));
}

bool BBXFileWriteHashEntryBoolean(BBXFile* file, const char* key, bool value) {
  return BBXFileWriteHashKey(file, key) && endHashValue(file, writeLiteral(file, value ? "true" : "false"));
}

bool BBXFileWriteHashEntryNull(BBXFile* file, const char* key) {
  return BBXFileWriteHashKey(file, key) && endHashValue(file, writeLiteral(file, "null"));
}

bool BBXFileWriteArrayEntryUint64(BBXFile* file, std::uint64_t value) {
  return !BBXPointerIsAbsent(file) && beginArrayEntry(file) && BBXFileWriteUInt64(file, value, false);
}

bool BBXFileWriteArrayEntryString(BBXFile* file, const char* text) {
  if (BBXPointerIsAbsent(file) || !beginArrayEntry(file)) return false;
  return text ? writeQuoted(file, text, strlen(text), false) : writeLiteral(file, "null");
}

bool BBXFileWriteArrayEntryHexEncodedString(BBXFile* file, const char* text) {
  if (BBXPointerIsAbsent(file) || !beginArrayEntry(file)) return false;
  return text ? writeHexQuoted(file, text, strlen(text)) : writeLiteral(file, "null");
}

// --- Reader -----------------------------------------------------------------------------------------

std::optional<std::vector<nlohmann::json>> BBXFileReadSections(const char* path, bool deleteIfUnreadable,
                                                               const BBXFileSectionMap& map) {
  if (BBXPointerIsAbsent(path)) {
    BBX_SDK_LOG(kBBXLogLevelError, "ERROR [%s:%d] Error: input path is invalid\n");
    return std::nullopt;
  }
  std::string text;
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  bool readable = fd >= 0;
  while (readable) {
    char chunk[65536];
    const ssize_t got = read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) readable = false;
    if (got <= 0) break;
    text.append(chunk, static_cast<std::size_t>(got));
  }
  if (fd >= 0) close(fd);
  if (!readable) {
    if (deleteIfUnreadable) unlink(path);
    BBX_SDK_LOG(kBBXLogLevelWarn, "WARN  [%s:%d] Unable to read file %s\n", path);
    return std::nullopt;
  }
  std::vector<nlohmann::json> sections;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string_view piece(text.data() + start, end - start);
    start = end + 1;
    if (piece.empty()) continue;
    nlohmann::json value = nlohmann::json::parse(piece, nullptr, false);
    if (value.is_discarded()) continue;
    if (map) {
      std::optional<nlohmann::json> mapped = map(value);
      if (mapped) sections.push_back(std::move(*mapped));
    } else {
      sections.push_back(std::move(value));
    }
  }
  return sections;
}
