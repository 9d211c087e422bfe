#include "crashreporting/BBXHelpers.h"

#include <dlfcn.h>
#include <errno.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

#include "crashreporting/BBXFile.h"

bool BBXReadMemory(const void* source, void* destination, std::size_t length) {
  if (BBXPointerIsAbsent(source) || !destination || length == 0) return false;
  iovec local{destination, length};
  iovec remote{const_cast<void*>(source), length};
  for (;;) {
    const ssize_t got = process_vm_readv(getpid(), &local, 1, &remote, 1, 0);
    if (got < 0 && errno == EINTR) continue;
    return got >= 0 && static_cast<std::size_t>(got) == length;
  }
}

bool BBXReadString(const char* address, const char** out, std::size_t maximum) {
  if (BBXPointerIsAbsent(address) || !out) return false;
  for (std::size_t i = 0; i < maximum; ++i) {
    char byte = 0;
    if (!BBXReadMemory(address + i, &byte, 1)) return false;
    if (byte == '\0') {
      *out = address;
      return true;
    }
  }
  return false;
}

std::uint8_t BBXHexValue(char character) {
  if (character >= '0' && character <= '9') return static_cast<std::uint8_t>(character - '0');
  if (character >= 'a' && character <= 'f') return static_cast<std::uint8_t>(character - 'a' + 10);
  if (character >= 'A' && character <= 'F') return static_cast<std::uint8_t>(character - 'A' + 10);
  return 255;
}

std::string BBXHexDecodeString(std::string_view text) {
  std::string bytes;
  bytes.reserve(text.size() / 2);
  for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
    const std::uint8_t high = BBXHexValue(text[i]);
    const std::uint8_t low = BBXHexValue(text[i + 1]);
    if (high > 15 || low > 15) break;
    bytes.push_back(static_cast<char>(high << 4 | low));
  }
  return bytes;
}

std::string BBXHexEncodeString(std::string_view text) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(text.size() * 2);
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    hex.push_back(kDigits[byte >> 4]);
    hex.push_back(kDigits[byte & 0xf]);
  }
  return hex;
}

bool BBXFileUnlinkIfExists(const char* path) {
  if (BBXPointerIsAbsent(path)) return false;
  return unlink(path) == 0 || errno == ENOENT;
}

void BBXDladdrBlock(const void* address, platform::FunctionRef<void(const char*, const char*)> block) {
  Dl_info info{};
  if (dladdr(address, &info) == 0) {
    block(nullptr, nullptr);
    return;
  }
  block(info.dli_sname ? info.dli_sname : "unknown", info.dli_fname ? info.dli_fname : "unknown");
}

void BBXDispatchAfter(const platform::DispatchQueuePtr& queue, platform::DispatchBlock block, double seconds) {
  if (queue) queue->after(seconds, std::move(block));
}

std::uint64_t BBXProfilingStart() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000u + static_cast<std::uint64_t>(now.tv_nsec);
}

double BBXProfileEndTime(std::uint64_t mark) {
  const std::uint64_t now = BBXProfilingStart();
  return now > mark ? static_cast<double>(now - mark) / 1'000'000.0 : 0.0;
}

void BBXProfileBlock(const char* name, platform::FunctionRef<void()> block) {
  const std::uint64_t mark = BBXProfilingStart();
  block();
  std::fprintf(stderr, "[Profile] %s: %f ms\n", name ? name : "(null)", BBXProfileEndTime(mark));
}
