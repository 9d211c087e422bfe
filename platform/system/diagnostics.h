#pragma once

// Library diagnostics: what the frameworks report about their own trouble (a worker thread that
// could not start, an exception caught while decoding a model, a malformed property description).
// They go to one sink. The logging framework installs one when it is linked in, which hands them
// to its registered loggers; with no sink, or when the sink declines (no logger registered, or a
// diagnostic raised inside the logging framework's own work), the text goes to standard error as a
// console line (platform/console.h). The texts are the diagnostics' own; the sink adds nothing.
//
// The platform layer cannot depend on the logging framework (which stands on it), hence the hook.
// A diagnostic that ends the process does not come here: it is written straight to standard error
// before aborting, since nothing queued would get out.
//
// Threads: any thread. The sink is called on the reporting thread and must not wait for work that
// might itself report a diagnostic.

#include <string_view>

namespace platform {

enum class DiagnosticSeverity { Error, Warning };

// Where a diagnostic was raised (for loggers that show file, function and line).
struct DiagnosticOrigin {
  const char* file = nullptr;
  const char* function = nullptr;
  unsigned line = 0;
};

// Returns true when it took the diagnostic, false to have it written to standard error instead.
using DiagnosticSink = bool (*)(DiagnosticSeverity severity, std::string_view message, const DiagnosticOrigin& origin);

// Installs the sink (null restores standard error alone); returns the one it replaces.
DiagnosticSink setDiagnosticSink(DiagnosticSink sink);

void reportDiagnostic(DiagnosticSeverity severity, std::string_view message, const DiagnosticOrigin& origin = {});

}  // namespace platform

// Reports with the caller's file, function and line.
#define ZORVEL_DIAGNOSTIC(severity, message) \
  ::platform::reportDiagnostic(severity, message, ::platform::DiagnosticOrigin{__FILE__, __func__, __LINE__})
#define ZORVEL_DIAGNOSTIC_ERROR(message) ZORVEL_DIAGNOSTIC(::platform::DiagnosticSeverity::Error, message)
#define ZORVEL_DIAGNOSTIC_WARNING(message) ZORVEL_DIAGNOSTIC(::platform::DiagnosticSeverity::Warning, message)
