#include "platform/system/thread_safety.h"

#include <cstdio>
#include <cstdlib>

namespace platform {

void threadingRuleBroken(const char* rule, const char* file, int line) {
  // Straight to standard error: the process is about to abort, so nothing queued would get out.
  std::fprintf(stderr, "Threading rule broken: %s (%s:%d)\n", rule, file, line);
  std::fflush(stderr);
  std::abort();
}

}  // namespace platform
