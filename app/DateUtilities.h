#pragma once

// Date arithmetic and comparisons for the application, in the user's time zone and locale: the
// completion tick, the counter, the validator, the item sizes, the editor, new events, the
// notification triggers and the review policy all do their date work here.
//
// Calendar: one Gregorian calendar in the process's time zone and locale (ICU's defaults, taken
// from TZ and the locale environment), made on first use and kept (currentCalendar()). "Now" is
// ZRVClock::now(), so tests pin both time (a clock source) and place (TZ and LC_ALL set before
// the first use).
//
// Two kinds of arithmetic:
//   - calendar arithmetic (years, months, days): a month after 31 January is the end of
//     February; a day across a daylight-saving change is 23 or 25 hours, keeping the wall-clock
//     time. nullopt when the result is outside the calendar's range (absurd amounts).
//   - fixed-length arithmetic (hours, minutes, seconds): n x 3,600, 60 or 1 seconds.
// Operations that set fields of a day (start and end of day, replacing the date or the time
// part) work in whole seconds: the fraction of the receiver's second is dropped. A wall-clock
// time that a daylight-saving change skips resolves to the same distance after the change.
// Differences in minutes, hours and days are the interval divided by the unit's fixed length,
// truncated toward zero.
//
// Threads: every function may be called from any thread (the shared calendar serialises its ICU
// work on its own lock).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/system/calendar.h"
#include "platform/system/date.h"

namespace DateUtilities {

using platform::Date;

// year, month, day, hour, minute, second, weekday, weekday ordinal, week of year.
inline constexpr platform::CalendarUnits kAllComponents = 9980;
inline constexpr double kSecondsPerMinute = 60;
inline constexpr double kSecondsPerHour = 3600;
inline constexpr double kSecondsPerDay = 86400;
inline constexpr double kSecondsPerWeek = 604800;

// The calendar the component operations use.
const platform::Calendar& currentCalendar();

// --- Relative to now -------------------------------------------------------------------------------
std::optional<Date> dateWithDaysFromNow(std::int64_t days);
std::optional<Date> dateWithDaysBeforeNow(std::int64_t days);
std::optional<Date> dateTomorrow();
std::optional<Date> dateYesterday();
Date dateWithHoursFromNow(std::int64_t hours);
Date dateWithHoursBeforeNow(std::int64_t hours);
Date dateWithMinutesFromNow(std::int64_t minutes);
Date dateWithMinutesBeforeNow(std::int64_t minutes);

// --- Formatting (current locale and time zone) ------------------------------------------------------
// The date in an ICU date pattern ("yyyy-MM-dd HH:mm").
std::string stringWithFormat(Date date, std::string_view pattern);
std::string stringWithDateStyle(Date date, platform::DateFormatterStyle dateStyle,
                                platform::DateFormatterStyle timeStyle);
std::string shortString(Date date);
std::string shortTimeString(Date date);
std::string shortDateString(Date date);
std::string mediumString(Date date);
std::string mediumTimeString(Date date);
std::string mediumDateString(Date date);
std::string longString(Date date);
std::string longTimeString(Date date);
std::string longDateString(Date date);
// The locale's short month name cut to three characters (UTF-16 units), in lower case: "jan".
std::string monthName(Date date);

// --- Comparisons -------------------------------------------------------------------------------------
// Same year, month and day.
bool isEqualToDateIgnoringTime(Date date, Date other);
bool isToday(Date date);
bool isTomorrow(Date date);
bool isYesterday(Date date);
// Same week of year and less than seven days apart (so week 1 of two years differs).
bool isSameWeekAsDate(Date date, Date other);
bool isThisWeek(Date date);
bool isNextWeek(Date date);
bool isLastWeek(Date date);
// Same month of the same year.
bool isSameMonthAsDate(Date date, Date other);
bool isThisMonth(Date date);
bool isNextMonth(Date date);
bool isLastMonth(Date date);
bool isSameYearAsDate(Date date, Date other);
bool isThisYear(Date date);
bool isNextYear(Date date);
bool isLastYear(Date date);
// Strict: equal dates are neither earlier nor later.
bool isEarlierThanDate(Date date, Date other);
bool isLaterThanDate(Date date, Date other);
bool isInFuture(Date date);
bool isInPast(Date date);
// Saturday or Sunday.
bool isTypicallyWeekend(Date date);
bool isTypicallyWorkday(Date date);

// --- Arithmetic --------------------------------------------------------------------------------------
std::optional<Date> dateByAddingYears(Date date, std::int64_t years);
std::optional<Date> dateBySubtractingYears(Date date, std::int64_t years);
std::optional<Date> dateByAddingMonths(Date date, std::int64_t months);
std::optional<Date> dateBySubtractingMonths(Date date, std::int64_t months);
std::optional<Date> dateByAddingDays(Date date, std::int64_t days);
std::optional<Date> dateBySubtractingDays(Date date, std::int64_t days);
Date dateByAddingHours(Date date, std::int64_t hours);
Date dateBySubtractingHours(Date date, std::int64_t hours);
Date dateByAddingMinutes(Date date, std::int64_t minutes);
Date dateBySubtractingMinutes(Date date, std::int64_t minutes);
Date dateByAddingSeconds(Date date, std::int64_t seconds);
Date dateBySubtractingSeconds(Date date, std::int64_t seconds);

// --- Parts of a day and a month ----------------------------------------------------------------------
// The calendar difference from `other` to `date` in every unit of kAllComponents.
platform::DateComponents componentsWithOffsetFromDate(Date date, Date other);
// `date` with the year, month and day of `datePart`.
Date replaceDatePart(Date date, Date datePart);
// `date` with the hour, minute and second of `timePart`.
Date replaceTimePart(Date date, Date timePart);
Date dateAtStartOfDay(Date date);               // 00:00:00
Date dateAtStartOfDayIgnoreSeconds(Date date);  // 00:00, the second kept
Date dateAtEndOfDay(Date date);                 // 23:59:59
Date dateAtBeginOfMonth(Date date);             // the 1st, the time kept

// --- Differences (truncated toward zero) -------------------------------------------------------------
std::int64_t minutesAfterDate(Date date, Date other);
std::int64_t minutesBeforeDate(Date date, Date other);
std::int64_t hoursAfterDate(Date date, Date other);
std::int64_t hoursBeforeDate(Date date, Date other);
std::int64_t daysAfterDate(Date date, Date other);
std::int64_t daysBeforeDate(Date date, Date other);
// Calendar days from `date` to `other`; an `other` at exactly 23:59:59 counts its day in full.
std::int64_t distanceInDaysToDate(Date date, Date other);
std::int64_t daysInMonth(Date date);

// --- Read-outs in the current calendar ---------------------------------------------------------------
std::int64_t hour(Date date);
std::int64_t minute(Date date);
std::int64_t seconds(Date date);
std::int64_t day(Date date);
std::int64_t month(Date date);
std::int64_t week(Date date);        // week of year
std::int64_t weekday(Date date);     // 1 Sunday .. 7 Saturday
std::int64_t nthWeekday(Date date);  // weekday ordinal in the month
std::int64_t year(Date date);
// The hour of now plus half an hour.
std::int64_t nearestHour();

}  // namespace DateUtilities
