#include "platform/system/diagnostics.h"

#include <atomic>

#include "platform/system/console.h"

namespace platform {

namespace {
std::atomic<DiagnosticSink> gSink{nullptr};
}  // namespace

DiagnosticSink setDiagnosticSink(DiagnosticSink sink) { return gSink.exchange(sink, std::memory_order_acq_rel); }

void reportDiagnostic(DiagnosticSeverity severity, std::string_view message, const DiagnosticOrigin& origin) {
  const DiagnosticSink sink = gSink.load(std::memory_order_acquire);
  if (sink && sink(severity, message, origin)) return;
  consoleLog(message);
}

}  // namespace platform
