#pragma once

#ifndef ZORVEL_INTERNAL_reactive
#error "reactive/RFBarrierInternal.h is internal to the reactive framework"
#endif

// Internal: asymmetric memory barriers, for hot paths that must order a store before a later
// load (one half of a Dekker-style handshake) against a rare slow path on another thread.
//
// The hot side calls lightBarrier() between its store and its load; the slow side calls
// heavyBarrier() between its own store and load. Where the kernel offers process-wide barriers
// (membarrier), the light barrier only stops the compiler and the heavy one makes every running
// thread of the process pass a full barrier. Elsewhere, and under the thread sanitizer (which
// cannot see what a process-wide barrier orders), both are full fences made of one atomic
// operation on a shared word, which the sanitizer does model. Either way, at least one side sees
// the other's store. Safe from any thread.

#include <atomic>

#if defined(__SANITIZE_THREAD__)
#define RF_UNDER_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define RF_UNDER_THREAD_SANITIZER 1
#endif
#endif

namespace rf_detail {

#if defined(RF_UNDER_THREAD_SANITIZER)
inline constexpr bool kUnderThreadSanitizer = true;
#else
inline constexpr bool kUnderThreadSanitizer = false;
#endif

// True once process-wide barriers are registered; never goes back to false.
extern std::atomic<bool> gLightBarrierIsCompilerOnly;

void fullFence();
void heavyBarrier();

inline void lightBarrier() {
  if (__builtin_expect(gLightBarrierIsCompilerOnly.load(std::memory_order_relaxed), 1))
    std::atomic_signal_fence(std::memory_order_seq_cst);
  else
    fullFence();
}

}  // namespace rf_detail
