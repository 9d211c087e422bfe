#pragma once

// The calling thread: its identity and name, whether it is the main thread, and sleeping. OS
// helpers only (no object runtime); any thread.

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/system/date.h"

namespace platform {

// The calling thread's system thread identifier (gettid).
std::uint64_t currentThreadId();

// The calling thread's name; empty when the thread was never named (a thread that only carries
// the name it inherited from the process counts as unnamed).
std::string currentThreadName();
// Names the calling thread. The system keeps at most 15 bytes; longer names are cut there (at a
// UTF-8 character boundary).
void setCurrentThreadName(std::string_view name);

// True on the process's initial thread, the one that runs main() and the main run loop.
bool isMainThread();

// Blocks the calling thread for the given seconds (nothing for zero, negative or not-a-number).
void sleepFor(double seconds);
// Blocks the calling thread until the wall-clock date (at once when it has passed).
void sleepUntil(Date date);

}  // namespace platform
