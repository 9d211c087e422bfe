#include "platform/system/process.h"

#include <sched.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

namespace platform {

namespace {

std::string readOSRelease() {
  for (const char* path : {"/etc/os-release", "/usr/lib/os-release"}) {
    std::ifstream in(path);
    if (!in) continue;
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  return {};
}

std::string unquote(std::string_view value) {
  if (value.empty() || (value.front() != '"' && value.front() != '\'')) {
    std::size_t end = value.find_last_not_of(" \t\r");
    return std::string(value.substr(0, end == std::string_view::npos ? 0 : end + 1));
  }
  char quote = value.front();
  std::string out;
  for (std::size_t i = 1; i < value.size() && value[i] != quote; ++i) {
    if (value[i] == '\\' && quote == '"' && i + 1 < value.size()) ++i;
    out += value[i];
  }
  return out;
}

}  // namespace

std::string ProcessInfo::processName() { return program_invocation_short_name; }

int ProcessInfo::processIdentifier() { return static_cast<int>(getpid()); }

std::string ProcessInfo::hostName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
  return name;
}

std::string ProcessInfo::operatingSystemReleaseValue(std::string_view text, std::string_view key) {
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    if (line.size() > key.size() && line.compare(0, key.size(), key) == 0 && line[key.size()] == '=')
      return unquote(line.substr(key.size() + 1));
  }
  return {};
}

std::string ProcessInfo::operatingSystemReleaseValue(std::string_view key) {
  return operatingSystemReleaseValue(readOSRelease(), key);
}

std::string ProcessInfo::operatingSystemVersionString() {
  utsname info{};
  std::string kernel = uname(&info) == 0 ? std::string(info.sysname) + " " + info.release : "Linux";
  std::string distribution = operatingSystemReleaseValue("PRETTY_NAME");
  return distribution.empty() ? kernel : distribution + " (" + kernel + ")";
}

OperatingSystemVersion ProcessInfo::versionFromString(std::string_view text) {
  OperatingSystemVersion version;
  std::int64_t* parts[] = {&version.major, &version.minor, &version.patch};
  std::string copy(text);
  const char* p = copy.c_str();
  for (std::int64_t* part : parts) {
    if (*p < '0' || *p > '9') break;
    char* end = nullptr;
    *part = std::strtoll(p, &end, 10);
    p = end;
    if (*p != '.') break;
    ++p;
  }
  return version;
}

OperatingSystemVersion ProcessInfo::operatingSystemVersion() {
  utsname info{};
  if (uname(&info) != 0) return {};
  return versionFromString(info.release);
}

std::uint64_t ProcessInfo::physicalMemory() {
  long pages = sysconf(_SC_PHYS_PAGES);
  long pageSize = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || pageSize <= 0) return 0;
  return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize);
}

unsigned ProcessInfo::processorCount() {
  long count = sysconf(_SC_NPROCESSORS_CONF);
  return count > 0 ? static_cast<unsigned>(count) : 1;
}

unsigned ProcessInfo::activeProcessorCount() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<unsigned>(count);
  }
  long count = sysconf(_SC_NPROCESSORS_ONLN);
  return count > 0 ? static_cast<unsigned>(count) : 1;
}

std::optional<std::string> ProcessInfo::environmentValue(std::string_view name) {
  const char* value = std::getenv(std::string(name).c_str());
  if (!value) return std::nullopt;
  return std::string(value);
}

std::vector<std::string> ProcessInfo::arguments() {
  // /proc holds the arguments as the process received them, without needing main's argv.
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> arguments;
  std::size_t start = 0;
  while (start < all.size()) {
    std::size_t end = all.find('\0', start);
    if (end == std::string::npos) end = all.size();
    arguments.push_back(all.substr(start, end - start));
    start = end + 1;
  }
  return arguments;
}

}  // namespace platform
