#include "sdkhost/HBRConstants.h"

#include <atomic>

namespace {
std::atomic<bool> gDebug{false};
}

bool HBRDebugEnabled() { return gDebug.load(std::memory_order_relaxed); }
void HBRSetDebugEnabled(bool enabled) { gDebug.store(enabled, std::memory_order_relaxed); }
