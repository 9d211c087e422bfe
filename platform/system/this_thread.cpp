#include "platform/system/this_thread.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace platform {

namespace {

thread_local bool tNamedHere = false;
// Read once per thread: the log hub asks for these on every message.
thread_local pid_t tThreadId = ::gettid();
thread_local std::string tName;
thread_local bool tNameKnown = false;
pid_t gProcessId = ::getpid();
// A forked child's only thread has new ids.
[[maybe_unused]] const int kForkHandlerInstalled = pthread_atfork(nullptr, nullptr, [] {
  gProcessId = ::getpid();
  tThreadId = ::gettid();
});

// The name every thread starts with: the process's short name, as the kernel cuts it.
std::string inheritedName() {
  std::string name = program_invocation_short_name ? program_invocation_short_name : "";
  if (name.size() > 15) name.resize(15);
  return name;
}

}  // namespace

std::uint64_t currentThreadId() { return static_cast<std::uint64_t>(tThreadId); }

std::string currentThreadName() {
  if (!tNameKnown) {
    char buffer[64] = {};
    if (pthread_getname_np(pthread_self(), buffer, sizeof buffer) == 0) tName = buffer;
    if (!tNamedHere && tName == inheritedName()) tName.clear();
    tNameKnown = true;
  }
  return tName;
}

void setCurrentThreadName(std::string_view name) {
  std::string cut(name.substr(0, 15));
  // Do not leave half a UTF-8 character behind.
  if (name.size() > 15) {
    while (!cut.empty() && (static_cast<unsigned char>(cut.back()) & 0xC0) == 0x80) cut.pop_back();
    if (!cut.empty() && (static_cast<unsigned char>(cut.back()) & 0x80)) cut.pop_back();
  }
  pthread_setname_np(pthread_self(), cut.c_str());
  tNamedHere = true;
  tName = cut;
  tNameKnown = true;
}

bool isMainThread() { return tThreadId == gProcessId; }

void sleepFor(double seconds) {
  auto duration = durationOfSeconds(seconds);
  if (duration > std::chrono::steady_clock::duration::zero()) std::this_thread::sleep_for(duration);
}

void sleepUntil(Date date) {
  // Re-reads the wall clock after each slice so that a clock change is noticed.
  for (;;) {
    double remaining = date.timeIntervalSinceNow();
    if (!(remaining > 0)) return;
    sleepFor(remaining < 1.0 ? remaining : 1.0);
  }
}

}  // namespace platform
