#pragma once

#ifndef ZORVEL_INTERNAL_reactive
#error "reactive/RFProbesInternal.h is internal to the reactive framework"
#endif

// Internal: the framework's static tracing probes (Linux USDT, readable by bpftrace, perf and
// SystemTap), providers RFSignal (next, error, completed) and RFCompoundDisposable (added,
// removed). Each probe has a semaphore that a tracer raises while attached, so argument strings
// are built only when someone listens. Without <sys/sdt.h> the probes compile to nothing.

#if __has_include(<sys/sdt.h>)
#define _SDT_HAS_SEMAPHORES 1
#include <sys/sdt.h>
#define RF_HAVE_PROBES 1

extern "C" {
extern volatile unsigned short RFSignal_next_semaphore;
extern volatile unsigned short RFSignal_error_semaphore;
extern volatile unsigned short RFSignal_completed_semaphore;
extern volatile unsigned short RFCompoundDisposable_added_semaphore;
extern volatile unsigned short RFCompoundDisposable_removed_semaphore;
}

#define RF_PROBE_ENABLED(provider, name) __builtin_expect(provider##_##name##_semaphore != 0, 0)
#define RF_PROBE2(provider, name, a, b) STAP_PROBE2(provider, name, a, b)
#define RF_PROBE3(provider, name, a, b, c) STAP_PROBE3(provider, name, a, b, c)
#else
#define RF_HAVE_PROBES 0
#define RF_PROBE_ENABLED(provider, name) false
#define RF_PROBE2(provider, name, a, b) ((void)0)
#define RF_PROBE3(provider, name, a, b, c) ((void)0)
#endif

#include <string>

namespace rf_detail {
// Runs of white space become one blank, so each probe argument is one line.
std::string cleanedForProbe(const std::string& text);
}  // namespace rf_detail
