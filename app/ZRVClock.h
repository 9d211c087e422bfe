#pragma once

// The application's clock: the current date that the main timer sends, that the countdown
// counter and the edit validator compare with, that the date utilities count from and that new
// model objects are stamped with. It reads real time unless a source is set (tests set one to pin
// time).
//
// Threads: any thread may read or replace the source; a reader sees the old or the new source,
// never a torn one.

#include <functional>

#include "platform/system/date.h"

class ZRVClock {
 public:
  using Source = std::function<platform::Date()>;

  // The current date from the source in place.
  static platform::Date now();
  // Replaces the source for the whole process; an empty source restores real time.
  static void setSource(Source source);
};
