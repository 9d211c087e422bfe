#include <linux/membarrier.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "reactive/RFBarrierInternal.h"

namespace rf_detail {

std::atomic<bool> gLightBarrierIsCompilerOnly{false};

namespace {

long membarrier(int command) { return syscall(SYS_membarrier, command, 0, 0); }

// Registers once. The light barrier turns into a compiler barrier only after registration has
// succeeded, and from then on every heavy barrier is a process-wide one, so the two always pair.
bool processBarriersReady() {
  static const bool ready = [] {
#if defined(RF_UNDER_THREAD_SANITIZER)
    // The thread sanitizer cannot see what a process-wide barrier orders, so a compiler-only light
    // barrier would look like no synchronisation at all: both sides take the full fence instead.
    return false;
#endif
    long commands = membarrier(MEMBARRIER_CMD_QUERY);
    if (commands < 0 || !(commands & MEMBARRIER_CMD_PRIVATE_EXPEDITED)) return false;
    if (membarrier(MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED) != 0) return false;
    gLightBarrierIsCompilerOnly.store(true, std::memory_order_relaxed);
    return true;
  }();
  return ready;
}

// Registers at start-up so that hot paths get the cheap barrier from the first use.
[[maybe_unused]] const bool gRegistered = processBarriersReady();

}  // namespace

void fullFence() {
#if defined(RF_UNDER_THREAD_SANITIZER)
  // The thread sanitizer does not model fences; a sequentially consistent read-modify-write is
  // a full barrier on every target we build for.
  static std::atomic<int> dummy{0};
  dummy.fetch_add(0, std::memory_order_seq_cst);
#else
  std::atomic_thread_fence(std::memory_order_seq_cst);
#endif
}

void heavyBarrier() {
  if (processBarriersReady() && membarrier(MEMBARRIER_CMD_PRIVATE_EXPEDITED) == 0) return;
  fullFence();
}

}  // namespace rf_detail
