#pragma once

// The store's one way to report failures: through the logging framework, synchronously, with
// level 3, context 27017 and flag 1 (error) or 2 (warning). Every message format begins with "%@",
// filled with the calling source file's name without its extension ("DizEvozidiz").
// Any thread.

#include <string>
#include <string_view>

#include "platform/format.h"

inline constexpr unsigned kDizLogFlagError = 1;
inline constexpr unsigned kDizLogFlagWarning = 2;
inline constexpr unsigned kDizLogLevel = 3;
inline constexpr long kDizLogContext = 27017;

// "/a/b/DizEvozidiz.cpp" -> "DizEvozidiz".
std::string DizFileNameWithoutExtension(std::string_view path);

// Hands one formatted message to the logging framework.
void DizLogMessage(unsigned flag, const char* file, const char* function, unsigned line, const std::string& message);

template <class... Args>
void DizLog(unsigned flag, const char* file, const char* function, unsigned line, std::string_view format,
            const Args&... args) {
  DizLogMessage(flag, file, function, line, platform::format(format, DizFileNameWithoutExtension(file), args...));
}

#define DIZ_LOG_ERROR(...) DizLog(kDizLogFlagError, __FILE__, __PRETTY_FUNCTION__, __LINE__, __VA_ARGS__)
#define DIZ_LOG_WARN(...) DizLog(kDizLogFlagWarning, __FILE__, __PRETTY_FUNCTION__, __LINE__, __VA_ARGS__)
