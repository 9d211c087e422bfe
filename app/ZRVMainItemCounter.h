#pragma once

// ZRVMainItemCounter: the time left until a date as years, days, hours, minutes and seconds, each
// printed as a field of at least two digits. A year is a fixed 31,556,926 seconds (365 days 5 h
// 48 min 46 s); there are no months, and time zones, daylight saving and leap years play no part.
// Fractions of a second are dropped, never rounded up (1.9 s left reads as 1 s). A date now or
// past, or a missing date, reads as all zeros.
//
// Threads: belongs to the thread that uses it (the main thread).

#include <cstdint>
#include <optional>
#include <string>

#include "platform/runtime/object.h"
#include "platform/runtime/properties.h"
#include "platform/system/date.h"

class ZRVEvent;

enum ZRVMainItemCounterUnitType : std::uint64_t {
  ZRVMainItemCounterUnitSeconds = 0,
  ZRVMainItemCounterUnitMinutes = 1,
  ZRVMainItemCounterUnitHours = 2,
  ZRVMainItemCounterUnitDays = 3,
  ZRVMainItemCounterUnitYears = 4,
};

class ZRVMainItemCounter : public platform::Object {
  ZORVEL_CLASS(ZRVMainItemCounter, platform::Object)

 public:
  static constexpr std::int64_t kSecondsPerYear = 31556926;

  // Counts down to the event's date; every unit starts at 0.
  explicit ZRVMainItemCounter(const ZRVEvent& event);

  ZORVEL_PROPERTY(std::optional<platform::Date>, targetDate, setTargetDate, platform::Copy)
  ZORVEL_PROPERTY(std::int64_t, seconds, setSeconds)  // 0-59
  ZORVEL_PROPERTY(std::int64_t, minutes, setMinutes)  // 0-59
  ZORVEL_PROPERTY(std::int64_t, hours, setHours)      // 0-23
  ZORVEL_PROPERTY(std::int64_t, days, setDays)        // 0-365, within the counter year
  ZORVEL_PROPERTY(std::int64_t, years, setYears)

  // Replaces the target when one is given, then counts from `now`.
  void updateWithCurrentDate(std::optional<platform::Date> now, std::optional<platform::Date> targetDate);
  // Recounts the units from `now` to the target.
  void updateWithCurrentDate(std::optional<platform::Date> now);
  // The unit's value; 0 for an unknown unit type.
  std::int64_t valueForUnitType(std::uint64_t unitType) const;
  // The value zero-padded to two digits ("07", "123"); "00" for an unknown unit type.
  std::string stringValueForUnitType(std::uint64_t unitType) const;
  // Every unit to 0.
  void dropValues();
};
