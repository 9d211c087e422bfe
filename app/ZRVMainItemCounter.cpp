#include "app/ZRVMainItemCounter.h"

#include <cmath>

#include "app/DateUtilities.h"
#include "app/model/ZRVEvent.h"
#include "platform/runtime/format.h"

ZRVMainItemCounter::ZRVMainItemCounter(const ZRVEvent& event) { setTargetDate(event.date()); }

void ZRVMainItemCounter::updateWithCurrentDate(std::optional<platform::Date> now,
                                               std::optional<platform::Date> targetDate) {
  if (targetDate) setTargetDate(targetDate);
  updateWithCurrentDate(now);
}

void ZRVMainItemCounter::updateWithCurrentDate(std::optional<platform::Date> now) {
  std::optional<platform::Date> target = targetDate();
  if (!now || !target || !DateUtilities::isEarlierThanDate(*now, *target)) {
    dropValues();
    return;
  }
  auto remaining = static_cast<std::int64_t>(std::trunc(target->timeIntervalSince(*now)));
  setYears(remaining / kSecondsPerYear);
  remaining -= years() * kSecondsPerYear;
  setDays(remaining / 86400);
  remaining -= days() * 86400;
  setHours(remaining / 3600);
  remaining -= hours() * 3600;
  setMinutes(remaining / 60);
  setSeconds(remaining - minutes() * 60);
}

std::int64_t ZRVMainItemCounter::valueForUnitType(std::uint64_t unitType) const {
  switch (unitType) {
    case ZRVMainItemCounterUnitSeconds:
      return seconds();
    case ZRVMainItemCounterUnitMinutes:
      return minutes();
    case ZRVMainItemCounterUnitHours:
      return hours();
    case ZRVMainItemCounterUnitDays:
      return days();
    case ZRVMainItemCounterUnitYears:
      return years();
    default:
      return 0;
  }
}

std::string ZRVMainItemCounter::stringValueForUnitType(std::uint64_t unitType) const {
  return platform::format("%02li", valueForUnitType(unitType));
}

void ZRVMainItemCounter::dropValues() {
  setSeconds(0);
  setMinutes(0);
  setHours(0);
  setDays(0);
  setYears(0);
}
