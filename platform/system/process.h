#pragma once

// Facts about the running process and the machine. Everything is read from the system at each
// call (nothing is cached), so every function may be called from any thread.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

struct OperatingSystemVersion {
  std::int64_t major = 0;
  std::int64_t minor = 0;
  std::int64_t patch = 0;
  friend bool operator==(const OperatingSystemVersion&, const OperatingSystemVersion&) = default;
};

class ProcessInfo {
 public:
  ProcessInfo() = delete;

  // The executable's file name without its folder (what the process was started as).
  static std::string processName();
  static int processIdentifier();
  // The machine's host name; "localhost" when the system cannot tell.
  static std::string hostName();
  // A human-readable system description, e.g. "Debian GNU/Linux 12 (bookworm) (Linux 6.1.0-18-amd64)";
  // meant for display and logs, not for parsing.
  static std::string operatingSystemVersionString();
  // The running kernel's release as numbers ("6.1.0-18-amd64" gives {6, 1, 0}); parts that are
  // missing are 0.
  static OperatingSystemVersion operatingSystemVersion();
  // A field of the system's identification (os-release(5): "/etc/os-release", else
  // "/usr/lib/os-release"), e.g. "NAME", "VERSION_ID", "BUILD_ID"; unquoted; empty when absent.
  static std::string operatingSystemReleaseValue(std::string_view key);
  // The same field read from os-release text (KEY=value lines; values plain, or in single or
  // double quotes with backslash escapes; "#" lines are comments).
  static std::string operatingSystemReleaseValue(std::string_view text, std::string_view key);
  // Dotted numbers as a version ("6.1.0-18-amd64" gives {6, 1, 0}, "22.04" gives {22, 4, 0});
  // parts that are missing are 0.
  static OperatingSystemVersion versionFromString(std::string_view text);
  // Bytes of physical memory.
  static std::uint64_t physicalMemory();
  // Processors configured, and processors currently usable by this process.
  static unsigned processorCount();
  static unsigned activeProcessorCount();
  // The environment variable's value, or nullopt when it is not set. Read at each call, so
  // changes made with setenv are seen; callers must not call setenv concurrently (a libc rule).
  static std::optional<std::string> environmentValue(std::string_view name);
  // The command-line arguments, the program path first.
  static std::vector<std::string> arguments();
};

}  // namespace platform
