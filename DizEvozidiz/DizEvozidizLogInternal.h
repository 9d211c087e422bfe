#pragma once

#ifndef ZORVEL_INTERNAL_store
#error "DizEvozidiz/DizEvozidizLogInternal.h is internal to the store and its extensions"
#endif

// The store's one way to report failures: through the logging framework, synchronously, with
// level 3, context 27017 and flag 1 (error) or 2 (warning). Every message format begins with "%@",
// filled with the name of the source unit of the class that logs: "DizEvozidiz" for the database,
// "DizEvozidizConnection" for the connection and "DizEvozidizTransaction" for the transactions,
// whichever of their files the message comes from. Any thread.

#include <string>
#include <string_view>

#include "logging/log.h"
#include "platform/runtime/format.h"

inline constexpr unsigned kDizLogFlagError = 1;
inline constexpr unsigned kDizLogFlagWarning = 2;
inline constexpr unsigned kDizLogLevel = 3;
inline constexpr long kDizLogContext = 27017;

// Hands one formatted message to the logging framework.
void DizLogMessage(unsigned flag, const char* file, const char* function, unsigned line, const std::string& message);

template <class... Args>
void DizLog(unsigned flag, const char* file, const char* function, unsigned line, std::string_view format,
            const Args&... args) {
  DizLogMessage(flag, file, function, line,
                platform::format(format, LGFileNameWithoutExtension(file, false).description(), args...));
}

// The source units the messages name.
inline constexpr const char* kDizDatabaseLogFile = "DizEvozidiz/DizEvozidiz.cpp";
inline constexpr const char* kDizConnectionLogFile = "DizEvozidiz/DizEvozidizConnection.cpp";
inline constexpr const char* kDizTransactionLogFile = "DizEvozidiz/DizEvozidizTransaction.cpp";

#define DIZ_LOG_IN(flag, file, ...) DizLog(flag, file, __PRETTY_FUNCTION__, __LINE__, __VA_ARGS__)
#define DIZ_DB_LOG_ERROR(...) DIZ_LOG_IN(kDizLogFlagError, kDizDatabaseLogFile, __VA_ARGS__)
#define DIZ_DB_LOG_WARN(...) DIZ_LOG_IN(kDizLogFlagWarning, kDizDatabaseLogFile, __VA_ARGS__)
#define DIZ_CONN_LOG_ERROR(...) DIZ_LOG_IN(kDizLogFlagError, kDizConnectionLogFile, __VA_ARGS__)
#define DIZ_CONN_LOG_WARN(...) DIZ_LOG_IN(kDizLogFlagWarning, kDizConnectionLogFile, __VA_ARGS__)
#define DIZ_TXN_LOG_ERROR(...) DIZ_LOG_IN(kDizLogFlagError, kDizTransactionLogFile, __VA_ARGS__)
#define DIZ_TXN_LOG_WARN(...) DIZ_LOG_IN(kDizLogFlagWarning, kDizTransactionLogFile, __VA_ARGS__)
