#include "app/DateUtilities.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "app/ZRVClock.h"
#include "platform/runtime/error.h"
#include "platform/services/locale_text.h"
#include "platform/system/text.h"

namespace DateUtilities {

using platform::CalendarUnit;
using platform::DateComponents;
using platform::DateFormatterStyle;

namespace {

constexpr platform::CalendarUnits kDayAndTime = platform::CalendarUnitYear | platform::CalendarUnitMonth |
                                                platform::CalendarUnitDay | platform::CalendarUnitHour |
                                                platform::CalendarUnitMinute | platform::CalendarUnitSecond;

// The receiver's day and time fields, changed by `edit`, back as a date.
template <class Edit>
Date withFields(Date date, Edit edit) {
  DateComponents fields = currentCalendar().components(kDayAndTime, date);
  edit(fields);
  std::optional<Date> result = currentCalendar().dateFromComponents(fields);
  // Fields read from a real date always make a date again.
  if (!result) platform::Exception::raise(platform::kInternalInconsistencyException, "date fields out of range");
  return *result;
}

std::optional<Date> addingCalendarUnit(Date date, CalendarUnit unit, std::int64_t amount) {
  // The largest amount doubles as the calendar's "no amount" marker; no calendar reaches it anyway.
  if (amount == DateComponents::kUndefined) return std::nullopt;
  return currentCalendar().dateByAddingUnit(unit, amount, date);
}

std::optional<Date> subtractingCalendarUnit(Date date, CalendarUnit unit, std::int64_t amount) {
  if (amount == INT64_MIN) return std::nullopt;  // has no positive counterpart
  return addingCalendarUnit(date, unit, -amount);
}

Date addingSeconds(Date date, std::int64_t count, double unitSeconds) {
  return date.addingTimeInterval(static_cast<double>(count) * unitSeconds);
}

std::int64_t truncatedUnits(double seconds, double unitSeconds) {
  double units = std::trunc(seconds / unitSeconds);
  // Beyond the range of the result only for dates far outside the calendar's use.
  if (units >= 9.2e18) return INT64_MAX;
  if (units <= -9.2e18) return INT64_MIN;
  return static_cast<std::int64_t>(units);
}

std::string formatted(Date date, DateFormatterStyle dateStyle, DateFormatterStyle timeStyle) {
  platform::DateFormatter formatter;
  formatter.setDateStyle(dateStyle);
  formatter.setTimeStyle(timeStyle);
  return formatter.stringFromDate(date);
}

std::int64_t component(CalendarUnit unit, Date date) { return currentCalendar().component(unit, date); }

}  // namespace

const platform::Calendar& currentCalendar() {
  static const platform::Calendar calendar;
  return calendar;
}

// --- Relative to now -------------------------------------------------------------------------------

std::optional<Date> dateWithDaysFromNow(std::int64_t days) { return dateByAddingDays(ZRVClock::now(), days); }
std::optional<Date> dateWithDaysBeforeNow(std::int64_t days) { return dateBySubtractingDays(ZRVClock::now(), days); }
std::optional<Date> dateTomorrow() { return dateWithDaysFromNow(1); }
std::optional<Date> dateYesterday() { return dateWithDaysBeforeNow(1); }
Date dateWithHoursFromNow(std::int64_t hours) { return dateByAddingHours(ZRVClock::now(), hours); }
Date dateWithHoursBeforeNow(std::int64_t hours) { return dateBySubtractingHours(ZRVClock::now(), hours); }
Date dateWithMinutesFromNow(std::int64_t minutes) { return dateByAddingMinutes(ZRVClock::now(), minutes); }
Date dateWithMinutesBeforeNow(std::int64_t minutes) { return dateBySubtractingMinutes(ZRVClock::now(), minutes); }

// --- Formatting --------------------------------------------------------------------------------------

std::string stringWithFormat(Date date, std::string_view pattern) {
  platform::DateFormatter formatter;
  formatter.setDateFormat(std::string(pattern));
  return formatter.stringFromDate(date);
}

std::string stringWithDateStyle(Date date, DateFormatterStyle dateStyle, DateFormatterStyle timeStyle) {
  return formatted(date, dateStyle, timeStyle);
}

std::string shortString(Date d) { return formatted(d, DateFormatterStyle::Short, DateFormatterStyle::Short); }
std::string shortTimeString(Date d) { return formatted(d, DateFormatterStyle::None, DateFormatterStyle::Short); }
std::string shortDateString(Date d) { return formatted(d, DateFormatterStyle::Short, DateFormatterStyle::None); }
std::string mediumString(Date d) { return formatted(d, DateFormatterStyle::Medium, DateFormatterStyle::Medium); }
std::string mediumTimeString(Date d) { return formatted(d, DateFormatterStyle::None, DateFormatterStyle::Medium); }
std::string mediumDateString(Date d) { return formatted(d, DateFormatterStyle::Medium, DateFormatterStyle::None); }
std::string longString(Date d) { return formatted(d, DateFormatterStyle::Long, DateFormatterStyle::Long); }
std::string longTimeString(Date d) { return formatted(d, DateFormatterStyle::None, DateFormatterStyle::Long); }
std::string longDateString(Date d) { return formatted(d, DateFormatterStyle::Long, DateFormatterStyle::None); }

std::string monthName(Date date) {
  platform::DateFormatter formatter;
  std::vector<std::string> symbols = formatter.shortMonthSymbols();
  std::int64_t index = month(date) - 1;
  if (index < 0 || index >= static_cast<std::int64_t>(symbols.size())) return std::string();
  const std::string& symbol = symbols[static_cast<std::size_t>(index)];
  return platform::lowercaseString(
      platform::substringToUtf16Index(symbol, std::min<std::size_t>(3, platform::utf16Length(symbol))));
}

// --- Comparisons -------------------------------------------------------------------------------------

bool isEqualToDateIgnoringTime(Date date, Date other) {
  constexpr platform::CalendarUnits units =
      platform::CalendarUnitYear | platform::CalendarUnitMonth | platform::CalendarUnitDay;
  DateComponents a = currentCalendar().components(units, date);
  DateComponents b = currentCalendar().components(units, other);
  return a.year == b.year && a.month == b.month && a.day == b.day;
}

bool isToday(Date date) { return isEqualToDateIgnoringTime(date, ZRVClock::now()); }
bool isTomorrow(Date date) {
  std::optional<Date> tomorrow = dateTomorrow();
  return tomorrow && isEqualToDateIgnoringTime(date, *tomorrow);
}
bool isYesterday(Date date) {
  std::optional<Date> yesterday = dateYesterday();
  return yesterday && isEqualToDateIgnoringTime(date, *yesterday);
}

bool isSameWeekAsDate(Date date, Date other) {
  if (component(platform::CalendarUnitWeekOfYear, date) != component(platform::CalendarUnitWeekOfYear, other))
    return false;
  return std::fabs(date.timeIntervalSince(other)) < kSecondsPerWeek;
}
bool isThisWeek(Date date) { return isSameWeekAsDate(date, ZRVClock::now()); }
bool isNextWeek(Date date) { return isSameWeekAsDate(date, ZRVClock::now().addingTimeInterval(kSecondsPerWeek)); }
bool isLastWeek(Date date) { return isSameWeekAsDate(date, ZRVClock::now().addingTimeInterval(-kSecondsPerWeek)); }

bool isSameMonthAsDate(Date date, Date other) {
  constexpr platform::CalendarUnits units = platform::CalendarUnitYear | platform::CalendarUnitMonth;
  DateComponents a = currentCalendar().components(units, date);
  DateComponents b = currentCalendar().components(units, other);
  return a.year == b.year && a.month == b.month;
}
bool isThisMonth(Date date) { return isSameMonthAsDate(date, ZRVClock::now()); }
bool isNextMonth(Date date) {
  std::optional<Date> next = dateByAddingMonths(ZRVClock::now(), 1);
  return next && isSameMonthAsDate(date, *next);
}
bool isLastMonth(Date date) {
  std::optional<Date> last = dateBySubtractingMonths(ZRVClock::now(), 1);
  return last && isSameMonthAsDate(date, *last);
}

bool isSameYearAsDate(Date date, Date other) { return year(date) == year(other); }
bool isThisYear(Date date) { return isSameYearAsDate(date, ZRVClock::now()); }
bool isNextYear(Date date) { return year(date) == year(ZRVClock::now()) + 1; }
bool isLastYear(Date date) { return year(date) + 1 == year(ZRVClock::now()); }

bool isEarlierThanDate(Date date, Date other) { return date < other; }
bool isLaterThanDate(Date date, Date other) { return date > other; }
bool isInFuture(Date date) { return isLaterThanDate(date, ZRVClock::now()); }
bool isInPast(Date date) { return isEarlierThanDate(date, ZRVClock::now()); }

bool isTypicallyWeekend(Date date) {
  std::int64_t day = weekday(date);
  return day == 1 || day == 7;
}
bool isTypicallyWorkday(Date date) { return !isTypicallyWeekend(date); }

// --- Arithmetic --------------------------------------------------------------------------------------

std::optional<Date> dateByAddingYears(Date d, std::int64_t n) {
  return addingCalendarUnit(d, platform::CalendarUnitYear, n);
}
std::optional<Date> dateBySubtractingYears(Date d, std::int64_t n) {
  return subtractingCalendarUnit(d, platform::CalendarUnitYear, n);
}
std::optional<Date> dateByAddingMonths(Date d, std::int64_t n) {
  return addingCalendarUnit(d, platform::CalendarUnitMonth, n);
}
std::optional<Date> dateBySubtractingMonths(Date d, std::int64_t n) {
  return subtractingCalendarUnit(d, platform::CalendarUnitMonth, n);
}
std::optional<Date> dateByAddingDays(Date d, std::int64_t n) {
  return addingCalendarUnit(d, platform::CalendarUnitDay, n);
}
std::optional<Date> dateBySubtractingDays(Date d, std::int64_t n) {
  return subtractingCalendarUnit(d, platform::CalendarUnitDay, n);
}
Date dateByAddingHours(Date d, std::int64_t n) { return addingSeconds(d, n, kSecondsPerHour); }
Date dateBySubtractingHours(Date d, std::int64_t n) { return addingSeconds(d, n, -kSecondsPerHour); }
Date dateByAddingMinutes(Date d, std::int64_t n) { return addingSeconds(d, n, kSecondsPerMinute); }
Date dateBySubtractingMinutes(Date d, std::int64_t n) { return addingSeconds(d, n, -kSecondsPerMinute); }
Date dateByAddingSeconds(Date d, std::int64_t n) { return addingSeconds(d, n, 1); }
Date dateBySubtractingSeconds(Date d, std::int64_t n) { return addingSeconds(d, n, -1); }

// --- Parts of a day and a month ----------------------------------------------------------------------

DateComponents componentsWithOffsetFromDate(Date date, Date other) {
  return currentCalendar().components(kAllComponents, other, date);
}

namespace {
// `date` with the fields of `units` taken from `source`.
Date replacingFields(Date date, Date source, platform::CalendarUnits units) {
  DateComponents from = currentCalendar().components(units, source);
  return withFields(date, [&](DateComponents& fields) {
    for (CalendarUnit unit : {platform::CalendarUnitYear, platform::CalendarUnitMonth, platform::CalendarUnitDay,
                              platform::CalendarUnitHour, platform::CalendarUnitMinute, platform::CalendarUnitSecond})
      if (units & unit) fields.setValue(from.value(unit), unit);
  });
}
}  // namespace

Date replaceDatePart(Date date, Date datePart) {
  return replacingFields(date, datePart,
                         platform::CalendarUnitYear | platform::CalendarUnitMonth | platform::CalendarUnitDay);
}

Date replaceTimePart(Date date, Date timePart) {
  return replacingFields(date, timePart,
                         platform::CalendarUnitHour | platform::CalendarUnitMinute | platform::CalendarUnitSecond);
}

Date dateAtStartOfDay(Date date) {
  return withFields(date, [](DateComponents& c) { c.hour = c.minute = c.second = 0; });
}

Date dateAtStartOfDayIgnoreSeconds(Date date) {
  return withFields(date, [](DateComponents& c) { c.hour = c.minute = 0; });
}

Date dateAtEndOfDay(Date date) {
  return withFields(date, [](DateComponents& c) {
    c.hour = 23;
    c.minute = 59;
    c.second = 59;
  });
}

Date dateAtBeginOfMonth(Date date) {
  return withFields(date, [](DateComponents& c) { c.day = 1; });
}

// --- Differences -------------------------------------------------------------------------------------

std::int64_t minutesAfterDate(Date d, Date o) { return truncatedUnits(d.timeIntervalSince(o), kSecondsPerMinute); }
std::int64_t minutesBeforeDate(Date d, Date o) { return truncatedUnits(o.timeIntervalSince(d), kSecondsPerMinute); }
std::int64_t hoursAfterDate(Date d, Date o) { return truncatedUnits(d.timeIntervalSince(o), kSecondsPerHour); }
std::int64_t hoursBeforeDate(Date d, Date o) { return truncatedUnits(o.timeIntervalSince(d), kSecondsPerHour); }
std::int64_t daysAfterDate(Date d, Date o) { return truncatedUnits(d.timeIntervalSince(o), kSecondsPerDay); }
std::int64_t daysBeforeDate(Date d, Date o) { return truncatedUnits(o.timeIntervalSince(d), kSecondsPerDay); }

std::int64_t distanceInDaysToDate(Date date, Date other) {
  Date to = other == dateAtEndOfDay(other) ? other.addingTimeInterval(1) : other;
  return currentCalendar().components(platform::CalendarUnitDay, date, to).day;
}

std::int64_t daysInMonth(Date date) {
  auto range = currentCalendar().range(platform::CalendarUnitDay, platform::CalendarUnitMonth, date);
  return range ? range->length : 0;
}

// --- Read-outs ---------------------------------------------------------------------------------------

std::int64_t hour(Date d) { return component(platform::CalendarUnitHour, d); }
std::int64_t minute(Date d) { return component(platform::CalendarUnitMinute, d); }
std::int64_t seconds(Date d) { return component(platform::CalendarUnitSecond, d); }
std::int64_t day(Date d) { return component(platform::CalendarUnitDay, d); }
std::int64_t month(Date d) { return component(platform::CalendarUnitMonth, d); }
std::int64_t week(Date d) { return component(platform::CalendarUnitWeekOfYear, d); }
std::int64_t weekday(Date d) { return component(platform::CalendarUnitWeekday, d); }
std::int64_t nthWeekday(Date d) { return component(platform::CalendarUnitWeekdayOrdinal, d); }
std::int64_t year(Date d) { return component(platform::CalendarUnitYear, d); }
std::int64_t nearestHour() { return hour(ZRVClock::now().addingTimeInterval(kSecondsPerHour / 2)); }

}  // namespace DateUtilities
