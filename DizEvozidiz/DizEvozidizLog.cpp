#include "DizEvozidiz/DizEvozidizLogInternal.h"
#include "logging/log.h"

void DizLogMessage(unsigned flag, const char* file, const char* function, unsigned line, const std::string& message) {
  LGLog::logMessage(false, message, kDizLogLevel, flag, kDizLogContext, file, function, line);
}
