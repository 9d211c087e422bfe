#pragma once

#include <string_view>

namespace platform {

// Writes one console log line to standard error: "<timestamp> <process>[<pid>:<thread>] <message>".
// Safe to call from any thread; lines never interleave.
void consoleLog(std::string_view message);

}  // namespace platform
