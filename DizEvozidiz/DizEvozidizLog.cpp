#include "DizEvozidiz/DizEvozidizLogInternal.h"

#include "logging/log.h"

std::string DizFileNameWithoutExtension(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  const std::size_t dot = name.rfind('.');
  if (dot != std::string_view::npos) name = name.substr(0, dot);
  return std::string(name);
}

void DizLogMessage(unsigned flag, const char* file, const char* function, unsigned line, const std::string& message) {
  LGLog::logMessage(false, message, kDizLogLevel, flag, kDizLogContext, file, function, line);
}
