#include "platform/system/console.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>

#include "platform/system/locks.h"

namespace platform {

void consoleLog(std::string_view message) {
  static platform::Mutex mutex;
  auto now = std::chrono::system_clock::now();
  std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  std::string line = std::string(stamp) + "." + (millis < 100 ? (millis < 10 ? "00" : "0") : "") +
                     std::to_string(millis) + " " + program_invocation_short_name + "[" + std::to_string(getpid()) +
                     ":" + std::to_string(syscall(SYS_gettid)) + "] ";
  line.append(message);
  line.push_back('\n');
  platform::MutexLock lock(mutex);
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace platform
