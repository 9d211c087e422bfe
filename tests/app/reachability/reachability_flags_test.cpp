// The reachability flag word: which words count as reachable, and their text.

#include <gtest/gtest.h>

#include "app/reachability/Reachability.h"

namespace {

TEST(ReachabilityFlags, ReachableUnlessATransientConnectionIsRequired) {
  struct Row {
    const char* label;
    ReachabilityFlags flags;
    bool reachable;
  };
  const Row rows[] = {
      {"reachable", 2, true},
      {"nothing", 0, false},
      {"reachable, connection required and transient", 7, false},
      {"reachable and connection required only", 6, true},
      {"reachable and transient only", 3, true},
      {"connection required and transient without reachable", 5, false},
      {"reachable, local and direct", 2 | 65536 | 131072, true},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(Reachability::isReachableWithFlags(row.flags), row.reachable) << row.label;
  }
}

TEST(ReachabilityFlags, TextHasOneLetterPerFlag) {
  struct Row {
    const char* label;
    ReachabilityFlags flags;
    const char* text;
  };
  const Row rows[] = {
      {"reachable only", 2, "XR -------"},
      {"nothing", 0, "X- -------"},
      {"every flag", 1 | 2 | 4 | 8 | 16 | 32 | 65536 | 131072, "XR ctiCDld"},
      {"connection required and transient", 5, "X- ct-----"},
      {"on demand and direct", 32 | 131072, "X- ----D-d"},
      {"intervention and on traffic", 16 | 8, "X- --iC---"},
      {"local address", 65536, "X- -----l-"},
  };
  for (const Row& row : rows) EXPECT_EQ(Reachability::flagsDescription(row.flags), row.text) << row.label;
}

}  // namespace
