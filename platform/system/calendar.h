#pragma once

// Gregorian calendar arithmetic and date formatting in a time zone and locale, on top of ICU.
//
// Thread safety: every operation of Calendar and DateFormatter, setters included, may be called from
// any number of threads at once; each object guards its ICU object with its own mutex (so heavy use
// of one shared object from many threads serialises on it). Only assigning to a Calendar must not
// overlap other uses of that calendar. DateComponents is a plain value.

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/system/date.h"

namespace platform {

// Calendar units as bit flags. The numbers are part of stored data (a unit is kept as its number,
// e.g. 16 for a day), so they never change.
enum CalendarUnit : std::uint64_t {
  CalendarUnitEra = 1u << 1,
  CalendarUnitYear = 1u << 2,
  CalendarUnitMonth = 1u << 3,
  CalendarUnitDay = 1u << 4,
  CalendarUnitHour = 1u << 5,
  CalendarUnitMinute = 1u << 6,
  CalendarUnitSecond = 1u << 7,
  CalendarUnitWeekday = 1u << 9,
  CalendarUnitWeekdayOrdinal = 1u << 10,
  CalendarUnitQuarter = 1u << 11,
  CalendarUnitWeekOfMonth = 1u << 12,
  CalendarUnitWeekOfYear = 1u << 13,
  CalendarUnitYearForWeekOfYear = 1u << 14,
  CalendarUnitNanosecond = 1u << 15,
};
// A combination of CalendarUnit flags.
using CalendarUnits = std::uint64_t;

// Field values of a date in a calendar, or amounts to add, or a difference. A field that was not
// asked for or not set holds DateComponents::kUndefined. Months and days count from 1; weekdays
// run 1 (Sunday) to 7 (Saturday).
struct DateComponents {
  static constexpr std::int64_t kUndefined = std::numeric_limits<std::int64_t>::max();

  std::int64_t era = kUndefined;
  std::int64_t year = kUndefined;
  std::int64_t month = kUndefined;
  std::int64_t day = kUndefined;
  std::int64_t hour = kUndefined;
  std::int64_t minute = kUndefined;
  std::int64_t second = kUndefined;
  std::int64_t nanosecond = kUndefined;
  std::int64_t weekday = kUndefined;
  std::int64_t weekdayOrdinal = kUndefined;
  std::int64_t quarter = kUndefined;
  std::int64_t weekOfMonth = kUndefined;
  std::int64_t weekOfYear = kUndefined;
  std::int64_t yearForWeekOfYear = kUndefined;

  // The field of one unit (kUndefined for a combination or an unknown flag); setting an unknown
  // flag does nothing.
  std::int64_t value(CalendarUnit unit) const;
  void setValue(std::int64_t value, CalendarUnit unit);

  friend bool operator==(const DateComponents&, const DateComponents&) = default;
};

// A Gregorian calendar in a time zone and a locale (the locale decides the first weekday and the
// week-of-year rules). Calendar arithmetic: adding a month to 31 January gives
// the last day of February; adding days keeps the wall-clock time across daylight-saving changes,
// while hours, minutes and seconds are fixed lengths of time. A wall-clock time skipped by a
// daylight-saving change resolves to the same distance after the change (02:30 becomes 03:30); a
// repeated one resolves to its first occurrence.
class Calendar {
 public:
  // The process's local time zone and default locale.
  Calendar();
  // An unknown time zone identifier falls back to "UTC"; an empty locale means the default one.
  explicit Calendar(std::string_view timeZoneIdentifier, std::string_view localeIdentifier = {});
  Calendar(const Calendar& other);
  Calendar& operator=(const Calendar& other);
  ~Calendar();

  // A fresh calendar for the current settings (local zone, default locale).
  static Calendar current() { return Calendar(); }

  // An Olson identifier such as "Europe/Berlin" or "UTC".
  std::string timeZoneIdentifier() const;
  // Returns false and changes nothing when the identifier is unknown.
  bool setTimeZone(std::string_view identifier);
  std::string localeIdentifier() const;
  void setLocale(std::string_view identifier);
  // 1 (Sunday) to 7, from the locale.
  int firstWeekday() const;
  // Seconds east of UTC at that moment in the calendar's zone (daylight saving included).
  std::int64_t secondsFromGMT(Date date) const;

  // The asked-for fields of the date; the others stay undefined.
  DateComponents components(CalendarUnits units, Date date) const;
  // One field of the date.
  std::int64_t component(CalendarUnit unit, Date date) const;
  // The date the fields name; undefined fields default to the start of their range (year 1,
  // January, the 1st, 00:00:00). Out-of-range values roll over (day 0 is the previous month's
  // last day). When day is defined, weekday-based fields are ignored. nullopt if the fields
  // cannot make a date.
  std::optional<Date> dateFromComponents(const DateComponents& components) const;

  // Adds each defined amount, largest unit first (era, year, quarter, month, week, day, hour,
  // minute, second, nanosecond). Weekday, weekday ordinal and year-for-week fields are ignored.
  // nullopt when an amount is out of range for the calendar.
  std::optional<Date> dateByAddingComponents(const DateComponents& amounts, Date date) const;
  std::optional<Date> dateByAddingUnit(CalendarUnit unit, std::int64_t value, Date date) const;
  // The first moment of the date's day (00:00, or the first existing time after a skipped midnight).
  Date startOfDay(Date date) const;

  // The difference from `from` to `to` in the asked-for units, largest first, each truncated
  // toward zero (negative when `to` is earlier). Weekday, weekday ordinal and year-for-week
  // fields stay undefined; week units count whole weeks.
  DateComponents components(CalendarUnits units, Date from, Date to) const;

  struct Range {
    std::int64_t location;
    std::int64_t length;
  };
  // The range of values `smaller` takes within the `larger` unit containing the date, e.g. days
  // (1, 29) in February of a leap year. Supported: day in month or year, month in year, hour in
  // day, minute in hour, second in minute, weekday in week; nullopt otherwise.
  std::optional<Range> range(CalendarUnit smaller, CalendarUnit larger, Date date) const;

 private:
  friend class DateFormatter;
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

enum class DateFormatterStyle { None = 0, Short = 1, Medium = 2, Long = 3, Full = 4 };

// Turns dates into text and back with an ICU date pattern ("yyyy-MM-dd HH:mm:ss:SSS") or with
// date and time styles, in a locale and time zone, always in the Gregorian calendar. Fractions of
// a second are truncated when formatted. Setting a pattern replaces the styles and setting a
// style replaces the pattern. With neither, the text is empty and nothing parses.
class DateFormatter {
 public:
  // Default locale, local time zone, no pattern.
  DateFormatter();
  DateFormatter(std::string pattern, std::string_view localeIdentifier = {}, std::string_view timeZoneIdentifier = {});
  DateFormatter(const DateFormatter&) = delete;
  DateFormatter& operator=(const DateFormatter&) = delete;
  ~DateFormatter();

  // The pattern in use (also when it comes from styles).
  std::string dateFormat() const;
  void setDateFormat(std::string pattern);
  DateFormatterStyle dateStyle() const;
  DateFormatterStyle timeStyle() const;
  void setDateStyle(DateFormatterStyle style);
  void setTimeStyle(DateFormatterStyle style);
  std::string localeIdentifier() const;
  // Empty means the default locale; "en_US_POSIX" gives fixed, locale-independent text.
  void setLocale(std::string_view identifier);
  std::string timeZoneIdentifier() const;
  // Empty means the local zone. Returns false and changes nothing when the identifier is unknown.
  bool setTimeZone(std::string_view identifier);
  // The calendar whose week rules (first weekday, days in the first week) the formatter follows;
  // null: the locale's. The formatter's own time zone stays in force.
  void setCalendar(const Calendar* calendar);
  // Parsing takes the fields the text does not name (the date of an "HH:mm" text, say) from this
  // date, in the formatter's time zone; nullopt: from 1970-01-01 00:00:00.
  void setDefaultDate(std::optional<Date> date);
  std::optional<Date> defaultDate() const;

  std::string stringFromDate(Date date) const;
  // The date the whole text names, strictly by the pattern (no out-of-range fields, no trailing
  // text); nullopt on any mismatch. Fields the pattern lacks default to 1970-01-01 00:00:00.
  std::optional<Date> dateFromString(std::string_view text) const;

  // Abbreviated month names of the locale, January first ("Jan", ...).
  std::vector<std::string> shortMonthSymbols() const;

  // The date in the styles, default locale and local zone.
  static std::string localizedString(Date date, DateFormatterStyle dateStyle, DateFormatterStyle timeStyle);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace platform
