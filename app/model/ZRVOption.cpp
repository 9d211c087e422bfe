#include "app/model/ZRVOption.h"

#include <limits>

#include "app/DateUtilities.h"
#include "app/model/ZRVEvent.h"
#include "platform/services/locale_text.h"

std::shared_ptr<ZRVOptionTrigger> ZRVOptionTrigger::triggerWithUnit(std::uint64_t unit, std::uint64_t value,
                                                                    std::uint64_t type, bool active) {
  auto trigger = platform::make<ZRVOptionTrigger>();
  trigger->setUnit(unit);
  trigger->setValue(value);
  trigger->setType(type);
  trigger->setActive(active);
  return trigger;
}

std::optional<platform::Date> ZRVOptionTrigger::deliveryDateForEvent(const ZRVEvent& event) const {
  std::optional<platform::Date> date = event.date();
  if (!date) return std::nullopt;
  // Offsets beyond the signed range cannot be subtracted; they name no real date.
  if (value() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return std::nullopt;
  auto n = static_cast<std::int64_t>(value());
  switch (unit()) {
    case platform::CalendarUnitYear:
      return DateUtilities::dateBySubtractingYears(*date, n);
    case platform::CalendarUnitMonth:
      return DateUtilities::dateBySubtractingMonths(*date, n);
    case platform::CalendarUnitDay:
      return DateUtilities::dateBySubtractingDays(*date, n);
    case platform::CalendarUnitHour:
      return DateUtilities::dateBySubtractingHours(*date, n);
    case platform::CalendarUnitMinute:
      return DateUtilities::dateBySubtractingMinutes(*date, n);
    case platform::CalendarUnitSecond:
      return DateUtilities::dateBySubtractingSeconds(*date, n);
    default:
      return std::nullopt;
  }
}

std::string ZRVOptionTrigger::stringDescription() const {
  // The preferences offer only the six units; any other reads as plain "units".
  std::string units = nameForUnit(unit()).value_or("units");
  if (value() >= 2) {
    std::int64_t n = value() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
                         ? std::numeric_limits<std::int64_t>::max()
                         : static_cast<std::int64_t>(value());
    return "less than " + platform::spellOutNumber(n) + " " + units;
  }
  if (value() == 0 && unit() == platform::CalendarUnitSecond) return "event has occurred";
  units.pop_back();  // "days" -> "day"
  return "less than a " + units;
}

std::vector<std::uint64_t> ZRVOptionTrigger::availableUnits() {
  return {platform::CalendarUnitYear, platform::CalendarUnitMonth,  platform::CalendarUnitDay,
          platform::CalendarUnitHour, platform::CalendarUnitMinute, platform::CalendarUnitSecond};
}

std::optional<std::string> ZRVOptionTrigger::nameForUnit(std::uint64_t unit) {
  switch (unit) {
    case platform::CalendarUnitYear:
      return "years";
    case platform::CalendarUnitMonth:
      return "months";
    case platform::CalendarUnitDay:
      return "days";
    case platform::CalendarUnitHour:
      return "hours";
    case platform::CalendarUnitMinute:
      return "minutes";
    case platform::CalendarUnitSecond:
      return "seconds";
    default:
      return std::nullopt;
  }
}
