#include "platform/system/calendar.h"

#include <unicode/calendar.h>
#include <unicode/datefmt.h>
#include <unicode/dtfmtsym.h>
#include <unicode/gregocal.h>
#include <unicode/locid.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>
#include <unicode/unistr.h>

#include <cmath>
#include <stdexcept>

#include "platform/system/locks.h"

namespace platform {

namespace {

constexpr double kMillisecondsBetween1970AndReferenceDate = kTimeIntervalBetween1970AndReferenceDate * 1000.0;
constexpr char kUnknownZone[] = "Etc/Unknown";

// ICU time in milliseconds since 1970. Rounded to the microsecond so that a date computed as
// 12.123 seconds does not format as 12.122 because of binary fractions.
UDate toUDate(Date date) {
  double ms = date.timeIntervalSinceReferenceDate() * 1000.0 + kMillisecondsBetween1970AndReferenceDate;
  return std::round(ms * 1000.0) / 1000.0;
}

Date fromUDate(UDate ms) { return Date((ms - kMillisecondsBetween1970AndReferenceDate) / 1000.0); }

std::string toUtf8(const icu::UnicodeString& text) {
  std::string out;
  text.toUTF8String(out);
  return out;
}

// A time zone for the identifier, or nullptr when ICU does not know it.
std::unique_ptr<icu::TimeZone> makeZone(std::string_view identifier) {
  if (identifier.empty()) return std::unique_ptr<icu::TimeZone>(icu::TimeZone::createDefault());
  std::unique_ptr<icu::TimeZone> zone(icu::TimeZone::createTimeZone(
      icu::UnicodeString::fromUTF8(icu::StringPiece(identifier.data(), static_cast<int32_t>(identifier.size())))));
  icu::UnicodeString id;
  zone->getID(id);
  if (id == icu::UnicodeString(kUnknownZone)) return nullptr;
  return zone;
}

std::string zoneIdentifier(const icu::TimeZone& zone) {
  icu::UnicodeString id;
  zone.getID(id);
  return toUtf8(id);
}

// The locale with the Gregorian calendar forced, whatever the locale would pick.
icu::Locale makeLocale(std::string_view identifier) {
  icu::Locale locale = identifier.empty() ? icu::Locale::getDefault() : icu::Locale(std::string(identifier).c_str());
  UErrorCode status = U_ZERO_ERROR;
  locale.setKeywordValue("calendar", "gregorian", status);
  return locale;
}

std::string localeName(const icu::Locale& locale) {
  // The base name leaves out keywords such as the forced calendar.
  return locale.getBaseName();
}

struct FieldOfUnit {
  CalendarUnit unit;
  UCalendarDateFields field;
};

// Fields read by components(units, date), in the order of DateComponents.
constexpr FieldOfUnit kReadFields[] = {
    {CalendarUnitEra, UCAL_ERA},
    {CalendarUnitYear, UCAL_YEAR},
    {CalendarUnitMonth, UCAL_MONTH},
    {CalendarUnitDay, UCAL_DATE},
    {CalendarUnitHour, UCAL_HOUR_OF_DAY},
    {CalendarUnitMinute, UCAL_MINUTE},
    {CalendarUnitSecond, UCAL_SECOND},
    {CalendarUnitWeekday, UCAL_DAY_OF_WEEK},
    {CalendarUnitWeekdayOrdinal, UCAL_DAY_OF_WEEK_IN_MONTH},
    {CalendarUnitWeekOfMonth, UCAL_WEEK_OF_MONTH},
    {CalendarUnitWeekOfYear, UCAL_WEEK_OF_YEAR},
    {CalendarUnitYearForWeekOfYear, UCAL_YEAR_WOY},
};

bool fitsInt32(std::int64_t value) {
  return value >= std::numeric_limits<int32_t>::min() && value <= std::numeric_limits<int32_t>::max();
}

// Splits a date into whole seconds (as ICU milliseconds) and nanoseconds.
std::pair<UDate, std::int64_t> splitNanoseconds(Date date) {
  double seconds = date.timeIntervalSinceReferenceDate();
  double whole = std::floor(seconds);
  auto nanoseconds = static_cast<std::int64_t>(std::llround((seconds - whole) * 1e9));
  if (nanoseconds >= 1000000000) {
    whole += 1;
    nanoseconds -= 1000000000;
  }
  return {whole * 1000.0 + kMillisecondsBetween1970AndReferenceDate, nanoseconds};
}

}  // namespace

// ---- DateComponents -------------------------------------------------------------------------

namespace {

std::int64_t DateComponents::*memberOf(CalendarUnit unit) {
  switch (unit) {
    case CalendarUnitEra:
      return &DateComponents::era;
    case CalendarUnitYear:
      return &DateComponents::year;
    case CalendarUnitMonth:
      return &DateComponents::month;
    case CalendarUnitDay:
      return &DateComponents::day;
    case CalendarUnitHour:
      return &DateComponents::hour;
    case CalendarUnitMinute:
      return &DateComponents::minute;
    case CalendarUnitSecond:
      return &DateComponents::second;
    case CalendarUnitWeekday:
      return &DateComponents::weekday;
    case CalendarUnitWeekdayOrdinal:
      return &DateComponents::weekdayOrdinal;
    case CalendarUnitQuarter:
      return &DateComponents::quarter;
    case CalendarUnitWeekOfMonth:
      return &DateComponents::weekOfMonth;
    case CalendarUnitWeekOfYear:
      return &DateComponents::weekOfYear;
    case CalendarUnitYearForWeekOfYear:
      return &DateComponents::yearForWeekOfYear;
    case CalendarUnitNanosecond:
      return &DateComponents::nanosecond;
  }
  return nullptr;
}

}  // namespace

std::int64_t DateComponents::value(CalendarUnit unit) const {
  auto member = memberOf(unit);
  return member ? this->*member : kUndefined;
}

void DateComponents::setValue(std::int64_t value, CalendarUnit unit) {
  if (auto member = memberOf(unit)) this->*member = value;
}

// ---- Calendar -------------------------------------------------------------------------------

struct Calendar::Impl {
  mutable platform::Mutex mutex;
  std::unique_ptr<icu::Calendar> calendar ZORVEL_GUARDED_BY(mutex);
  icu::Locale locale ZORVEL_GUARDED_BY(mutex);

  Impl(std::unique_ptr<icu::TimeZone> zone, const icu::Locale& locale) : locale(locale) {
    UErrorCode status = U_ZERO_ERROR;
    calendar = std::make_unique<icu::GregorianCalendar>(zone.release(), locale, status);
    if (U_FAILURE(status)) throw std::runtime_error("Calendar: ICU calendar creation failed");
    calendar->setLenient(true);
    calendar->setRepeatedWallTimeOption(UCAL_WALLTIME_FIRST);
    calendar->setSkippedWallTimeOption(UCAL_WALLTIME_LAST);
  }
  explicit Impl(const Impl& other) : calendar(other.calendar->clone()), locale(other.locale) {}
};

Calendar::Calendar() : impl_(std::make_unique<Impl>(makeZone({}), makeLocale({}))) {}

Calendar::Calendar(std::string_view timeZoneIdentifier, std::string_view localeIdentifier) {
  auto zone = makeZone(timeZoneIdentifier);
  if (!zone) zone = makeZone("UTC");
  impl_ = std::make_unique<Impl>(std::move(zone), makeLocale(localeIdentifier));
}

Calendar::Calendar(const Calendar& other) {
  platform::MutexLock lock(other.impl_->mutex);
  impl_ = std::make_unique<Impl>(*other.impl_);
}

Calendar& Calendar::operator=(const Calendar& other) {
  if (this == &other) return *this;
  std::unique_ptr<Impl> copy;
  {
    platform::MutexLock lock(other.impl_->mutex);
    copy = std::make_unique<Impl>(*other.impl_);
  }
  // Replacing the whole state object is only safe because assignment, like any non-const
  // operation on an object, must not overlap other uses of that same object.
  impl_ = std::move(copy);
  return *this;
}

Calendar::~Calendar() = default;

std::string Calendar::timeZoneIdentifier() const {
  platform::MutexLock lock(impl_->mutex);
  return zoneIdentifier(impl_->calendar->getTimeZone());
}

bool Calendar::setTimeZone(std::string_view identifier) {
  auto zone = makeZone(identifier);
  if (!zone) return false;
  platform::MutexLock lock(impl_->mutex);
  impl_->calendar->adoptTimeZone(zone.release());
  return true;
}

std::string Calendar::localeIdentifier() const {
  platform::MutexLock lock(impl_->mutex);
  return localeName(impl_->locale);
}

void Calendar::setLocale(std::string_view identifier) {
  icu::Locale locale = makeLocale(identifier);
  platform::MutexLock lock(impl_->mutex);
  std::unique_ptr<icu::TimeZone> zone(impl_->calendar->getTimeZone().clone());
  Impl fresh(std::move(zone), locale);
  platform::MutexLock freshLock(fresh.mutex);
  impl_->calendar = std::move(fresh.calendar);
  impl_->locale = locale;
}

int Calendar::firstWeekday() const {
  platform::MutexLock lock(impl_->mutex);
  UErrorCode status = U_ZERO_ERROR;
  return static_cast<int>(impl_->calendar->getFirstDayOfWeek(status));
}

std::int64_t Calendar::secondsFromGMT(Date date) const {
  platform::MutexLock lock(impl_->mutex);
  int32_t raw = 0, dst = 0;
  UErrorCode status = U_ZERO_ERROR;
  impl_->calendar->getTimeZone().getOffset(toUDate(date), false, raw, dst, status);
  return U_SUCCESS(status) ? (raw + dst) / 1000 : 0;
}

DateComponents Calendar::components(CalendarUnits units, Date date) const {
  DateComponents result;
  auto [wholeMs, nanoseconds] = splitNanoseconds(date);
  platform::MutexLock lock(impl_->mutex);
  icu::Calendar& cal = *impl_->calendar;
  UErrorCode status = U_ZERO_ERROR;
  cal.setTime(wholeMs, status);
  for (const auto& [unit, field] : kReadFields) {
    if (!(units & unit)) continue;
    std::int64_t value = cal.get(field, status);
    if (unit == CalendarUnitMonth) value += 1;
    result.setValue(value, unit);
  }
  if (units & CalendarUnitQuarter) result.quarter = cal.get(UCAL_MONTH, status) / 3 + 1;
  if (units & CalendarUnitNanosecond) result.nanosecond = nanoseconds;
  if (U_FAILURE(status)) return DateComponents{};
  return result;
}

std::int64_t Calendar::component(CalendarUnit unit, Date date) const { return components(unit, date).value(unit); }

std::optional<Date> Calendar::dateFromComponents(const DateComponents& c) const {
  using U = DateComponents;
  auto fits = [](std::int64_t v) { return v == U::kUndefined || fitsInt32(v); };
  for (std::int64_t v : {c.era, c.year, c.month, c.day, c.hour, c.minute, c.second, c.weekday, c.weekdayOrdinal,
                         c.weekOfMonth, c.weekOfYear, c.yearForWeekOfYear}) {
    if (!fits(v)) return std::nullopt;
  }
  auto i32 = [](std::int64_t v) { return static_cast<int32_t>(v); };
  platform::MutexLock lock(impl_->mutex);
  icu::Calendar& cal = *impl_->calendar;
  cal.clear();
  if (c.era != U::kUndefined) cal.set(UCAL_ERA, i32(c.era));
  bool weekBased = c.day == U::kUndefined;
  if (c.year != U::kUndefined) {
    cal.set(UCAL_YEAR, i32(c.year));
  } else if (!(weekBased && c.yearForWeekOfYear != U::kUndefined)) {
    cal.set(UCAL_YEAR, 1);
  }
  if (weekBased) {
    // Set before the month so that ICU resolves by the most specific week fields given.
    if (c.yearForWeekOfYear != U::kUndefined) cal.set(UCAL_YEAR_WOY, i32(c.yearForWeekOfYear));
    if (c.month != U::kUndefined) cal.set(UCAL_MONTH, i32(c.month - 1));
    if (c.weekOfYear != U::kUndefined) cal.set(UCAL_WEEK_OF_YEAR, i32(c.weekOfYear));
    if (c.weekOfMonth != U::kUndefined) cal.set(UCAL_WEEK_OF_MONTH, i32(c.weekOfMonth));
    if (c.weekdayOrdinal != U::kUndefined) cal.set(UCAL_DAY_OF_WEEK_IN_MONTH, i32(c.weekdayOrdinal));
    if (c.weekday != U::kUndefined) cal.set(UCAL_DAY_OF_WEEK, i32(c.weekday));
    bool anyWeekField = c.weekOfYear != U::kUndefined || c.weekOfMonth != U::kUndefined ||
                        c.weekdayOrdinal != U::kUndefined || c.weekday != U::kUndefined;
    if (!anyWeekField) {
      if (c.month == U::kUndefined) cal.set(UCAL_MONTH, 0);
      cal.set(UCAL_DATE, 1);
    }
  } else {
    cal.set(UCAL_MONTH, c.month != U::kUndefined ? i32(c.month - 1) : 0);
    cal.set(UCAL_DATE, i32(c.day));
  }
  cal.set(UCAL_HOUR_OF_DAY, c.hour != U::kUndefined ? i32(c.hour) : 0);
  cal.set(UCAL_MINUTE, c.minute != U::kUndefined ? i32(c.minute) : 0);
  cal.set(UCAL_SECOND, c.second != U::kUndefined ? i32(c.second) : 0);
  cal.set(UCAL_MILLISECOND, 0);
  UErrorCode status = U_ZERO_ERROR;
  UDate ms = cal.getTime(status);
  if (U_FAILURE(status)) return std::nullopt;
  Date date = fromUDate(ms);
  if (c.nanosecond != U::kUndefined) date = date.addingTimeInterval(static_cast<double>(c.nanosecond) / 1e9);
  return date;
}

std::optional<Date> Calendar::dateByAddingComponents(const DateComponents& amounts, Date date) const {
  using U = DateComponents;
  struct Step {
    std::int64_t amount;
    std::int64_t factor;
    UCalendarDateFields field;
  };
  const Step calendarSteps[] = {
      {amounts.era, 1, UCAL_ERA},
      {amounts.year, 1, UCAL_YEAR},
      {amounts.quarter, 3, UCAL_MONTH},
      {amounts.month, 1, UCAL_MONTH},
      {amounts.weekOfYear, 1, UCAL_WEEK_OF_YEAR},
      {amounts.weekOfMonth, 1, UCAL_WEEK_OF_YEAR},
      {amounts.day, 1, UCAL_DATE},
  };
  auto [wholeMs, nanoseconds] = splitNanoseconds(date);
  platform::MutexLock lock(impl_->mutex);
  icu::Calendar& cal = *impl_->calendar;
  UErrorCode status = U_ZERO_ERROR;
  cal.setTime(wholeMs, status);
  for (const Step& step : calendarSteps) {
    if (step.amount == U::kUndefined || step.amount == 0) continue;
    if (!fitsInt32(step.amount) || !fitsInt32(step.amount * step.factor)) return std::nullopt;
    cal.add(step.field, static_cast<int32_t>(step.amount * step.factor), status);
  }
  UDate ms = cal.getTime(status);
  if (U_FAILURE(status)) return std::nullopt;
  // Hours, minutes and seconds are fixed lengths of time.
  double seconds = static_cast<double>(nanoseconds) / 1e9;
  if (amounts.hour != U::kUndefined) seconds += static_cast<double>(amounts.hour) * 3600.0;
  if (amounts.minute != U::kUndefined) seconds += static_cast<double>(amounts.minute) * 60.0;
  if (amounts.second != U::kUndefined) seconds += static_cast<double>(amounts.second);
  if (amounts.nanosecond != U::kUndefined) seconds += static_cast<double>(amounts.nanosecond) / 1e9;
  return fromUDate(ms).addingTimeInterval(seconds);
}

std::optional<Date> Calendar::dateByAddingUnit(CalendarUnit unit, std::int64_t value, Date date) const {
  DateComponents amounts;
  amounts.setValue(value, unit);
  return dateByAddingComponents(amounts, date);
}

Date Calendar::startOfDay(Date date) const {
  auto [wholeMs, nanoseconds] = splitNanoseconds(date);
  (void)nanoseconds;
  platform::MutexLock lock(impl_->mutex);
  icu::Calendar& cal = *impl_->calendar;
  UErrorCode status = U_ZERO_ERROR;
  cal.setTime(wholeMs, status);
  int32_t year = cal.get(UCAL_EXTENDED_YEAR, status);
  int32_t dayOfYear = cal.get(UCAL_DAY_OF_YEAR, status);
  cal.clear();
  cal.set(UCAL_EXTENDED_YEAR, year);
  cal.set(UCAL_DAY_OF_YEAR, dayOfYear);
  cal.set(UCAL_HOUR_OF_DAY, 0);
  UDate start = cal.getTime(status);
  if (U_FAILURE(status)) return date;
  return fromUDate(start);
}

DateComponents Calendar::components(CalendarUnits units, Date from, Date to) const {
  struct Step {
    CalendarUnit unit;
    UCalendarDateFields field;
  };
  constexpr Step steps[] = {
      {CalendarUnitEra, UCAL_ERA},
      {CalendarUnitYear, UCAL_YEAR},
      {CalendarUnitQuarter, UCAL_MONTH},
      {CalendarUnitMonth, UCAL_MONTH},
      {CalendarUnitWeekOfYear, UCAL_WEEK_OF_YEAR},
      {CalendarUnitWeekOfMonth, UCAL_WEEK_OF_YEAR},
      {CalendarUnitDay, UCAL_DATE},
      {CalendarUnitHour, UCAL_HOUR_OF_DAY},
      {CalendarUnitMinute, UCAL_MINUTE},
      {CalendarUnitSecond, UCAL_SECOND},
  };
  DateComponents result;
  UDate target = toUDate(to);
  platform::MutexLock lock(impl_->mutex);
  icu::Calendar& cal = *impl_->calendar;
  UErrorCode status = U_ZERO_ERROR;
  cal.setTime(toUDate(from), status);
  for (const Step& step : steps) {
    if (!(units & step.unit)) continue;
    std::int64_t value;
    if (step.unit == CalendarUnitQuarter) {
      // Whole quarters: whole months over three, advancing by the months they cover.
      UDate start = cal.getTime(status);
      std::int64_t months = cal.fieldDifference(target, UCAL_MONTH, status);
      value = months / 3;
      cal.setTime(start, status);
      if (value != 0) cal.add(UCAL_MONTH, static_cast<int32_t>(value * 3), status);
    } else {
      value = cal.fieldDifference(target, step.field, status);
    }
    result.setValue(value, step.unit);
  }
  if (units & CalendarUnitNanosecond) {
    UDate reached = cal.getTime(status);
    result.nanosecond = static_cast<std::int64_t>(std::llround((target - reached) * 1e6));
  }
  if (U_FAILURE(status)) return DateComponents{};
  return result;
}

std::optional<Calendar::Range> Calendar::range(CalendarUnit smaller, CalendarUnit larger, Date date) const {
  UCalendarDateFields field;
  if (smaller == CalendarUnitDay && larger == CalendarUnitMonth) {
    field = UCAL_DATE;
  } else if (smaller == CalendarUnitDay && larger == CalendarUnitYear) {
    field = UCAL_DAY_OF_YEAR;
  } else if (smaller == CalendarUnitMonth && larger == CalendarUnitYear) {
    field = UCAL_MONTH;
  } else if (smaller == CalendarUnitHour && larger == CalendarUnitDay) {
    field = UCAL_HOUR_OF_DAY;
  } else if (smaller == CalendarUnitMinute && larger == CalendarUnitHour) {
    field = UCAL_MINUTE;
  } else if (smaller == CalendarUnitSecond && larger == CalendarUnitMinute) {
    field = UCAL_SECOND;
  } else if (smaller == CalendarUnitWeekday &&
             (larger == CalendarUnitWeekOfYear || larger == CalendarUnitWeekOfMonth)) {
    return Range{1, 7};
  } else {
    return std::nullopt;
  }
  platform::MutexLock lock(impl_->mutex);
  icu::Calendar& cal = *impl_->calendar;
  UErrorCode status = U_ZERO_ERROR;
  cal.setTime(splitNanoseconds(date).first, status);
  std::int64_t minimum = cal.getActualMinimum(field, status);
  std::int64_t maximum = cal.getActualMaximum(field, status);
  if (U_FAILURE(status)) return std::nullopt;
  std::int64_t offset = field == UCAL_MONTH ? 1 : 0;
  return Range{minimum + offset, maximum - minimum + 1};
}

// ---- DateFormatter --------------------------------------------------------------------------

namespace {

icu::DateFormat::EStyle icuStyle(DateFormatterStyle style) {
  switch (style) {
    case DateFormatterStyle::None:
      return icu::DateFormat::kNone;
    case DateFormatterStyle::Short:
      return icu::DateFormat::kShort;
    case DateFormatterStyle::Medium:
      return icu::DateFormat::kMedium;
    case DateFormatterStyle::Long:
      return icu::DateFormat::kLong;
    case DateFormatterStyle::Full:
      return icu::DateFormat::kFull;
  }
  return icu::DateFormat::kNone;
}

}  // namespace

struct DateFormatter::Impl {
  mutable platform::Mutex mutex;
  // Settings; the ICU formatter is rebuilt from them when they change.
  std::string pattern ZORVEL_GUARDED_BY(mutex);
  DateFormatterStyle dateStyle ZORVEL_GUARDED_BY(mutex) = DateFormatterStyle::None;
  DateFormatterStyle timeStyle ZORVEL_GUARDED_BY(mutex) = DateFormatterStyle::None;
  icu::Locale locale ZORVEL_GUARDED_BY(mutex) = makeLocale({});
  std::unique_ptr<icu::TimeZone> zone ZORVEL_GUARDED_BY(mutex){icu::TimeZone::createDefault()};
  std::unique_ptr<icu::Calendar> calendar ZORVEL_GUARDED_BY(mutex);  // week rules to follow; nullptr: the locale's
  std::optional<Date> defaultDate ZORVEL_GUARDED_BY(mutex);
  mutable std::unique_ptr<icu::DateFormat> format ZORVEL_GUARDED_BY(mutex);  // nullptr: rebuild before use
  mutable bool formatIsEmpty ZORVEL_GUARDED_BY(mutex) = false;               // neither a pattern nor styles

  // The formatter for the current settings, or nullptr when there is nothing to format with.
  icu::DateFormat* current() const ZORVEL_REQUIRES(mutex) {
    if (format) return format.get();
    if (formatIsEmpty) return nullptr;
    UErrorCode status = U_ZERO_ERROR;
    if (!pattern.empty()) {
      format = std::make_unique<icu::SimpleDateFormat>(icu::UnicodeString::fromUTF8(pattern), locale, status);
      if (U_FAILURE(status)) format.reset();
    } else if (dateStyle != DateFormatterStyle::None || timeStyle != DateFormatterStyle::None) {
      format.reset(icu::DateFormat::createDateTimeInstance(icuStyle(dateStyle), icuStyle(timeStyle), locale));
    }
    if (!format) {
      formatIsEmpty = true;
      return nullptr;
    }
    if (calendar) {
      icu::Calendar* own = format->getCalendar()->clone();
      UErrorCode status = U_ZERO_ERROR;
      UCalendarDaysOfWeek first = calendar->getFirstDayOfWeek(status);
      if (U_SUCCESS(status)) own->setFirstDayOfWeek(first);
      own->setMinimalDaysInFirstWeek(calendar->getMinimalDaysInFirstWeek());
      format->adoptCalendar(own);
    }
    format->setTimeZone(*zone);
    format->setLenient(false);
    return format.get();
  }

  void invalidate() ZORVEL_REQUIRES(mutex) {
    format.reset();
    formatIsEmpty = false;
  }
};

DateFormatter::DateFormatter() : impl_(std::make_unique<Impl>()) {}

DateFormatter::DateFormatter(std::string pattern, std::string_view localeIdentifier,
                             std::string_view timeZoneIdentifier)
    : DateFormatter() {
  setDateFormat(std::move(pattern));
  setLocale(localeIdentifier);
  setTimeZone(timeZoneIdentifier);
}

DateFormatter::~DateFormatter() = default;

std::string DateFormatter::dateFormat() const {
  platform::MutexLock lock(impl_->mutex);
  if (!impl_->pattern.empty()) return impl_->pattern;
  auto* simple = dynamic_cast<icu::SimpleDateFormat*>(impl_->current());
  if (!simple) return {};
  icu::UnicodeString pattern;
  simple->toPattern(pattern);
  return toUtf8(pattern);
}

void DateFormatter::setDateFormat(std::string pattern) {
  platform::MutexLock lock(impl_->mutex);
  impl_->pattern = std::move(pattern);
  impl_->dateStyle = impl_->timeStyle = DateFormatterStyle::None;
  impl_->invalidate();
}

DateFormatterStyle DateFormatter::dateStyle() const {
  platform::MutexLock lock(impl_->mutex);
  return impl_->dateStyle;
}

DateFormatterStyle DateFormatter::timeStyle() const {
  platform::MutexLock lock(impl_->mutex);
  return impl_->timeStyle;
}

void DateFormatter::setDateStyle(DateFormatterStyle style) {
  platform::MutexLock lock(impl_->mutex);
  impl_->dateStyle = style;
  impl_->pattern.clear();
  impl_->invalidate();
}

void DateFormatter::setTimeStyle(DateFormatterStyle style) {
  platform::MutexLock lock(impl_->mutex);
  impl_->timeStyle = style;
  impl_->pattern.clear();
  impl_->invalidate();
}

std::string DateFormatter::localeIdentifier() const {
  platform::MutexLock lock(impl_->mutex);
  return localeName(impl_->locale);
}

void DateFormatter::setLocale(std::string_view identifier) {
  icu::Locale locale = makeLocale(identifier);
  platform::MutexLock lock(impl_->mutex);
  impl_->locale = locale;
  impl_->invalidate();
}

std::string DateFormatter::timeZoneIdentifier() const {
  platform::MutexLock lock(impl_->mutex);
  return zoneIdentifier(*impl_->zone);
}

bool DateFormatter::setTimeZone(std::string_view identifier) {
  auto zone = makeZone(identifier);
  if (!zone) return false;
  platform::MutexLock lock(impl_->mutex);
  impl_->zone = std::move(zone);
  impl_->invalidate();
  return true;
}

void DateFormatter::setCalendar(const Calendar* calendar) {
  std::unique_ptr<icu::Calendar> copy;
  if (calendar) {
    platform::MutexLock calendarLock(calendar->impl_->mutex);
    copy.reset(calendar->impl_->calendar->clone());
  }
  platform::MutexLock lock(impl_->mutex);
  impl_->calendar = std::move(copy);
  impl_->invalidate();
}

void DateFormatter::setDefaultDate(std::optional<Date> date) {
  platform::MutexLock lock(impl_->mutex);
  impl_->defaultDate = date;
}

std::optional<Date> DateFormatter::defaultDate() const {
  platform::MutexLock lock(impl_->mutex);
  return impl_->defaultDate;
}

std::string DateFormatter::stringFromDate(Date date) const {
  platform::MutexLock lock(impl_->mutex);
  icu::DateFormat* format = impl_->current();
  if (!format) return {};
  icu::UnicodeString text;
  format->format(toUDate(date), text);
  return toUtf8(text);
}

std::optional<Date> DateFormatter::dateFromString(std::string_view text) const {
  icu::UnicodeString input =
      icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  platform::MutexLock lock(impl_->mutex);
  icu::DateFormat* format = impl_->current();
  if (!format || input.isEmpty()) return std::nullopt;
  icu::ParsePosition position(0);
  if (impl_->defaultDate) {
    // Parsing into a calendar set to the default date leaves the fields the text lacks as they are.
    std::unique_ptr<icu::Calendar> calendar(format->getCalendar()->clone());
    UErrorCode status = U_ZERO_ERROR;
    calendar->setTime(toUDate(*impl_->defaultDate), status);
    if (U_FAILURE(status)) return std::nullopt;
    format->parse(input, *calendar, position);
    if (position.getErrorIndex() >= 0 || position.getIndex() != input.length()) return std::nullopt;
    UDate ms = calendar->getTime(status);
    if (U_FAILURE(status)) return std::nullopt;
    return fromUDate(ms);
  }
  UDate ms = format->parse(input, position);
  if (position.getErrorIndex() >= 0 || position.getIndex() != input.length()) return std::nullopt;
  return fromUDate(ms);
}

std::vector<std::string> DateFormatter::shortMonthSymbols() const {
  icu::Locale locale;
  {
    platform::MutexLock lock(impl_->mutex);
    locale = impl_->locale;
  }
  UErrorCode status = U_ZERO_ERROR;
  icu::DateFormatSymbols symbols(locale, status);
  std::vector<std::string> names;
  if (U_FAILURE(status)) return names;
  int32_t count = 0;
  const icu::UnicodeString* months = symbols.getShortMonths(count);
  // The Gregorian calendar has a thirteenth (unused) slot in some data; keep the twelve months.
  for (int32_t i = 0; i < count && i < 12; ++i) names.push_back(toUtf8(months[i]));
  return names;
}

std::string DateFormatter::localizedString(Date date, DateFormatterStyle dateStyle, DateFormatterStyle timeStyle) {
  DateFormatter formatter;
  formatter.setDateStyle(dateStyle);
  formatter.setTimeStyle(timeStyle);
  return formatter.stringFromDate(date);
}

}  // namespace platform
