#pragma once

// ZRVEventsSummary: the counts of events by state, as the interface shows them; never stored.
// Threads: belongs to the code that made it.

#include <cstdint>

#include "platform/runtime/object.h"
#include "platform/runtime/properties.h"

class ZRVEventsSummary : public platform::Object {
  ZORVEL_CLASS(ZRVEventsSummary, platform::Object)

 public:
  ZORVEL_PROPERTY(std::int64_t, completeEventsCount, setCompleteEventsCount)
  ZORVEL_PROPERTY(std::int64_t, activeEventsCount, setActiveEventsCount)
  ZORVEL_PROPERTY(std::int64_t, archiveEventsCount, setArchiveEventsCount)
};
