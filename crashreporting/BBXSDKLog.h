#pragma once

// The crash kit's internal log, "sdk.log" in the run's report folder, written by crash-time code.
//
// BBXSDKFileLog(level, format, ...) writes one message when the crash context exists, its log path
// is set and `level` is at least the context's log level (1 DEBUG, 2 INFO, 3 WARN, 4 ERROR). The
// file is opened on first use (append, mode 0644) and kept open. The format understands "%d"
// (signed 32-bit), "%u" (unsigned 32-bit), "%x" (unsigned 32-bit, lowercase hexadecimal), "%p"
// ("0x" and hexadecimal) and "%s" (the text, "(null)" for a null pointer); any other "%" and the
// character after it is written as it stands and takes no argument (so "%zu" appears literally).
// Every literal character is its own write(2): no buffer, no allocation, no lock, async-signal-safe.
//
// Messages carry their level word, padded to five characters, and "[function:line]" in the format;
// the BBX_SDK_LOG macros put the calling function and line there.
//
// Failure: a log that cannot be opened or written loses the message; nothing reaches the caller.
// Threads: any thread, also inside a signal handler; concurrent messages may interleave.

#include <cstdint>

inline constexpr int kBBXLogLevelDebug = 1;
inline constexpr int kBBXLogLevelInfo = 2;
inline constexpr int kBBXLogLevelWarn = 3;
inline constexpr int kBBXLogLevelError = 4;

void BBXSDKFileLog(int level, const char* format, ...);

// BBX_SDK_LOG(kBBXLogLevelWarn, "WARN  [%s:%d] Unable to open %s\n", path)
#define BBX_SDK_LOG(level, format, ...) BBXSDKFileLog(level, format, __func__, __LINE__ __VA_OPT__(, ) __VA_ARGS__)
