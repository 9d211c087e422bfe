#include "crashreporting/BBXSDKLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>

#include "crashreporting/BBXContextInternal.h"

namespace {

// The log's own write loop: it must not log its failures (that would write to the log again).
void writeQuietly(int fd, const char* bytes, std::size_t length) {
  for (int attempt = 0; length > 0 && attempt < 50; ++attempt) {
    const ssize_t written = write(fd, bytes, length);
    if (written <= 0) return;
    bytes += written;
    length -= static_cast<std::size_t>(written);
  }
}

void writeText(int fd, const char* text) {
  std::size_t length = 0;
  while (text[length] != '\0') ++length;
  writeQuietly(fd, text, length);
}

void writeNumber(int fd, std::uint64_t value, bool hex, bool negative) {
  static constexpr char kDigits[] = "0123456789abcdef";
  const unsigned base = hex ? 16 : 10;
  char buffer[21];
  char* p = buffer + sizeof buffer;
  do {
    *--p = kDigits[value % base];
    value /= base;
  } while (value != 0);
  if (negative) *--p = '-';
  writeQuietly(fd, p, static_cast<std::size_t>(buffer + sizeof buffer - p));
}

// Opens "sdk.log" once; a concurrent opener that loses the race closes its descriptor.
int logDescriptor(BBXWritableContext* writable, const char* path) {
  int fd = writable->logFd.load(std::memory_order_acquire);
  if (fd >= 0) return fd;
  const int opened = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (opened < 0) return -1;
  int expected = -1;
  if (writable->logFd.compare_exchange_strong(expected, opened, std::memory_order_acq_rel)) return opened;
  close(opened);
  return expected;
}

}  // namespace

void BBXSDKFileLog(int level, const char* format, ...) {
  BBXReadOnlyContext* readOnly = bbx_detail::gReadOnlyContext.load(std::memory_order_acquire);
  BBXWritableContext* writable = bbx_detail::gWritableContext.load(std::memory_order_acquire);
  if (!readOnly || !writable || BBXPointerIsAbsent(readOnly->logPath) || BBXPointerIsAbsent(format)) return;
  if (level < writable->logLevel) return;
  const int fd = logDescriptor(writable, readOnly->logPath);
  if (fd < 0) return;

  va_list arguments;
  va_start(arguments, format);
  for (const char* p = format; *p != '\0'; ++p) {
    if (*p != '%' || p[1] == '\0') {
      writeQuietly(fd, p, 1);
      continue;
    }
    ++p;
    switch (*p) {
      case 'd': {
        const std::int64_t value = va_arg(arguments, std::int32_t);
        writeNumber(fd, static_cast<std::uint64_t>(value < 0 ? -value : value), false, value < 0);
        break;
      }
      case 'u':
        writeNumber(fd, va_arg(arguments, std::uint32_t), false, false);
        break;
      case 'x':
        writeNumber(fd, va_arg(arguments, std::uint32_t), true, false);
        break;
      case 'p':
        writeText(fd, "0x");
        writeNumber(fd, reinterpret_cast<std::uintptr_t>(va_arg(arguments, void*)), true, false);
        break;
      case 's': {
        const char* text = va_arg(arguments, const char*);
        writeText(fd, text ? text : "(null)");
        break;
      }
      default:
        writeQuietly(fd, p - 1, 2);
        break;
    }
  }
  va_end(arguments);
}
