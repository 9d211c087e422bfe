#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "platform/system/calendar.h"

using platform::Calendar;
using platform::Date;
using platform::DateComponents;
using platform::DateFormatter;
using platform::DateFormatterStyle;
using namespace platform;  // CalendarUnit flags

namespace {

constexpr std::int64_t kUndefined = DateComponents::kUndefined;

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm), so expected
// instants are computed independently of the code under test.
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

// The instant of a UTC wall-clock time.
Date utc(int year, unsigned month, unsigned day, int hour = 0, int minute = 0, double second = 0) {
  double unix = static_cast<double>(daysFromCivil(year, month, day)) * 86400.0 + hour * 3600.0 + minute * 60.0 + second;
  return Date::fromTimeIntervalSince1970(unix);
}

DateComponents ymd(std::int64_t y, std::int64_t m, std::int64_t d, std::int64_t h = kUndefined,
                   std::int64_t mi = kUndefined, std::int64_t s = kUndefined) {
  DateComponents c;
  c.year = y;
  c.month = m;
  c.day = d;
  c.hour = h;
  c.minute = mi;
  c.second = s;
  return c;
}

constexpr CalendarUnits kDateAndTime =
    CalendarUnitYear | CalendarUnitMonth | CalendarUnitDay | CalendarUnitHour | CalendarUnitMinute | CalendarUnitSecond;

}  // namespace

TEST(Calendar, UnitFlagsKeepTheirStoredNumbers) {
  EXPECT_EQ(CalendarUnitYear, 4u);
  EXPECT_EQ(CalendarUnitMonth, 8u);
  EXPECT_EQ(CalendarUnitDay, 16u);
  EXPECT_EQ(CalendarUnitHour, 32u);
  EXPECT_EQ(CalendarUnitMinute, 64u);
  EXPECT_EQ(CalendarUnitSecond, 128u);
  EXPECT_EQ(kDateAndTime, 252u);
  EXPECT_EQ(kDateAndTime | CalendarUnitWeekday | CalendarUnitWeekdayOrdinal | CalendarUnitWeekOfYear, 9980u);
}

TEST(Calendar, ComponentsInFixedTimeZones) {
  struct Case {
    const char* zone;
    Date date;
    std::int64_t year, month, day, hour, minute, second, weekday, nanosecond;
  };
  const Case cases[] = {
      {"UTC", Date(0), 2001, 1, 1, 0, 0, 0, 2, 0},
      {"Europe/Berlin", Date(0), 2001, 1, 1, 1, 0, 0, 2, 0},
      {"UTC", Date(-1), 2000, 12, 31, 23, 59, 59, 1, 0},
      {"UTC", Date(-0.25), 2000, 12, 31, 23, 59, 59, 1, 750000000},
      {"UTC", utc(2024, 2, 29, 12, 34, 56.5), 2024, 2, 29, 12, 34, 56, 5, 500000000},
      {"Europe/Berlin", utc(2024, 2, 29, 12, 34, 56.5), 2024, 2, 29, 13, 34, 56, 5, 500000000},
      // Summer time: two hours ahead; crossing midnight into the next local day.
      {"Europe/Berlin", utc(2023, 6, 30, 22, 30), 2023, 7, 1, 0, 30, 0, 7, 0},
      {"America/New_York", utc(2023, 1, 1, 3, 0), 2022, 12, 31, 22, 0, 0, 7, 0},
  };
  for (const auto& c : cases) {
    Calendar calendar(c.zone, "en_US_POSIX");
    auto parts = calendar.components(kDateAndTime | CalendarUnitWeekday | CalendarUnitNanosecond, c.date);
    SCOPED_TRACE(std::string(c.zone) + " " + c.date.description());
    EXPECT_EQ(parts.year, c.year);
    EXPECT_EQ(parts.month, c.month);
    EXPECT_EQ(parts.day, c.day);
    EXPECT_EQ(parts.hour, c.hour);
    EXPECT_EQ(parts.minute, c.minute);
    EXPECT_EQ(parts.second, c.second);
    EXPECT_EQ(parts.weekday, c.weekday);
    EXPECT_EQ(parts.nanosecond, c.nanosecond);
    EXPECT_EQ(parts.era, kUndefined);  // not asked for
    EXPECT_EQ(parts.weekOfYear, kUndefined);
    EXPECT_EQ(calendar.dateFromComponents(parts), c.date);
  }
}

TEST(Calendar, WeekNumbersFollowTheLocale) {
  // 1 January 2023 is a Sunday: week 1 where weeks start on Sunday, the last week of 2022 in ISO weeks.
  Date newYear = utc(2023, 1, 1, 12);
  constexpr CalendarUnits units = CalendarUnitWeekOfYear | CalendarUnitYearForWeekOfYear | CalendarUnitWeekday |
                                  CalendarUnitWeekdayOrdinal | CalendarUnitQuarter;
  Calendar us("UTC", "en_US");
  auto parts = us.components(units, newYear);
  EXPECT_EQ(us.firstWeekday(), 1);
  EXPECT_EQ(parts.weekOfYear, 1);
  EXPECT_EQ(parts.yearForWeekOfYear, 2023);
  EXPECT_EQ(parts.weekday, 1);
  EXPECT_EQ(parts.weekdayOrdinal, 1);
  EXPECT_EQ(parts.quarter, 1);

  Calendar german("UTC", "de_DE");
  parts = german.components(units, newYear);
  EXPECT_EQ(german.firstWeekday(), 2);
  EXPECT_EQ(parts.weekOfYear, 52);
  EXPECT_EQ(parts.yearForWeekOfYear, 2022);
  EXPECT_EQ(german.component(CalendarUnitQuarter, utc(2023, 12, 31)), 4);
}

TEST(Calendar, DateFromComponentsRollsOverAndFillsDefaults) {
  Calendar calendar("UTC", "en_US_POSIX");
  struct Case {
    DateComponents components;
    Date expected;
  };
  const Case cases[] = {
      {ymd(2024, 3, 0), utc(2024, 2, 29)},            // day 0 is the previous month's last day
      {ymd(2023, 13, 1), utc(2024, 1, 1)},            // month 13 is January of the next year
      {ymd(2024, 1, 31, 24, 0, 0), utc(2024, 2, 1)},  // hour 24 is the next midnight
      {ymd(2024, 5, 1, 23, 59, 59), utc(2024, 5, 1, 23, 59, 59)},
      {ymd(2024, kUndefined, kUndefined), utc(2024, 1, 1)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(calendar.dateFromComponents(c.components), c.expected) << c.expected.description();
  }

  // The second Tuesday of March 2024, by weekday and ordinal.
  DateComponents weekdayBased;
  weekdayBased.year = 2024;
  weekdayBased.month = 3;
  weekdayBased.weekday = 3;
  weekdayBased.weekdayOrdinal = 2;
  EXPECT_EQ(calendar.dateFromComponents(weekdayBased), utc(2024, 3, 12));

  // A defined day wins over stale weekday fields (e.g. all fields read, then day changed to 1).
  auto all =
      calendar.components(kDateAndTime | CalendarUnitWeekday | CalendarUnitWeekdayOrdinal | CalendarUnitWeekOfYear,
                          utc(2024, 3, 20, 10, 15, 30));
  all.day = 1;
  EXPECT_EQ(calendar.dateFromComponents(all), utc(2024, 3, 1, 10, 15, 30));

  DateComponents fraction = ymd(2024, 1, 1, 0, 0, 0);
  fraction.nanosecond = 250000000;
  EXPECT_EQ(calendar.dateFromComponents(fraction), utc(2024, 1, 1, 0, 0, 0.25));

  EXPECT_FALSE(calendar.dateFromComponents(ymd(std::int64_t{1} << 40, 1, 1)).has_value());
}

TEST(Calendar, AddingMonthsAndYearsPinsToMonthEnd) {
  Calendar calendar("UTC", "en_US_POSIX");
  struct Case {
    Date start;
    CalendarUnit unit;
    std::int64_t amount;
    Date expected;
  };
  const Case cases[] = {
      {utc(2023, 1, 31, 9, 30), CalendarUnitMonth, 1, utc(2023, 2, 28, 9, 30)},
      {utc(2024, 1, 31, 9, 30), CalendarUnitMonth, 1, utc(2024, 2, 29, 9, 30)},
      {utc(2024, 3, 31), CalendarUnitMonth, -1, utc(2024, 2, 29)},
      {utc(2024, 8, 31), CalendarUnitMonth, 1, utc(2024, 9, 30)},
      {utc(2024, 12, 15), CalendarUnitMonth, 1, utc(2025, 1, 15)},
      {utc(2024, 1, 31), CalendarUnitMonth, 13, utc(2025, 2, 28)},
      {utc(2024, 2, 29), CalendarUnitYear, 1, utc(2025, 2, 28)},
      {utc(2024, 2, 29), CalendarUnitYear, 4, utc(2028, 2, 29)},
      {utc(2024, 2, 28), CalendarUnitDay, 2, utc(2024, 3, 1)},
      {utc(2023, 2, 28), CalendarUnitDay, 1, utc(2023, 3, 1)},
      {utc(2024, 1, 1), CalendarUnitDay, -1, utc(2023, 12, 31)},
      {utc(2024, 1, 1), CalendarUnitWeekOfYear, 2, utc(2024, 1, 15)},
      {utc(2024, 1, 31), CalendarUnitQuarter, 1, utc(2024, 4, 30)},
      {utc(2024, 1, 1), CalendarUnitSecond, 90, utc(2024, 1, 1, 0, 1, 30)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(calendar.dateByAddingUnit(c.unit, c.amount, c.start), c.expected)
        << c.start.description() << " + " << c.amount << " of unit " << c.unit;
  }

  // Several amounts apply largest first: 31 January + 1 month = 29 February, + 1 day = 1 March.
  DateComponents amounts;
  amounts.month = 1;
  amounts.day = 1;
  amounts.hour = 2;
  EXPECT_EQ(calendar.dateByAddingComponents(amounts, utc(2024, 1, 31)), utc(2024, 3, 1, 2));
  // The fraction of a second is kept.
  EXPECT_EQ(calendar.dateByAddingUnit(CalendarUnitDay, 1, utc(2024, 1, 1, 0, 0, 0.5)), utc(2024, 1, 2, 0, 0, 0.5));
  EXPECT_FALSE(calendar.dateByAddingUnit(CalendarUnitMonth, std::int64_t{1} << 40, utc(2024, 1, 1)).has_value());
}

TEST(Calendar, DaysAcrossDaylightSavingChangesKeepWallClockTime) {
  Calendar berlin("Europe/Berlin", "de_DE");
  // Spring: 30 March 2024 12:00 CET + 1 day = 31 March 12:00 CEST, only 23 hours later.
  Date springNoon = utc(2024, 3, 30, 11);
  Date next = berlin.dateByAddingUnit(CalendarUnitDay, 1, springNoon).value();
  EXPECT_EQ(next, utc(2024, 3, 31, 10));
  EXPECT_EQ(next.timeIntervalSince(springNoon), 23 * 3600.0);
  // Twenty-four hours are a fixed length: 13:00 local.
  Date hours = berlin.dateByAddingUnit(CalendarUnitHour, 24, springNoon).value();
  EXPECT_EQ(berlin.component(CalendarUnitHour, hours), 13);

  // Autumn: 26 October 2024 12:00 CEST + 1 day is 25 hours later.
  Date autumnNoon = utc(2024, 10, 26, 10);
  EXPECT_EQ(berlin.dateByAddingUnit(CalendarUnitDay, 1, autumnNoon)->timeIntervalSince(autumnNoon), 25 * 3600.0);

  // Start of the short day and its length.
  Date dayStart = berlin.startOfDay(utc(2024, 3, 31, 20));
  EXPECT_EQ(dayStart, utc(2024, 3, 30, 23));
  EXPECT_EQ(berlin.startOfDay(utc(2024, 4, 1, 5)).timeIntervalSince(dayStart), 23 * 3600.0);
  EXPECT_EQ(berlin.secondsFromGMT(utc(2024, 3, 30, 12)), 3600);
  EXPECT_EQ(berlin.secondsFromGMT(utc(2024, 3, 31, 12)), 7200);

  // A skipped wall-clock time moves forward; a repeated one takes its first occurrence.
  EXPECT_EQ(berlin.dateFromComponents(ymd(2024, 3, 31, 2, 30, 0)), utc(2024, 3, 31, 1, 30));
  EXPECT_EQ(berlin.dateFromComponents(ymd(2024, 10, 27, 2, 30, 0)), utc(2024, 10, 27, 0, 30));
}

TEST(Calendar, StartOfDayInFixedZones) {
  struct Case {
    const char* zone;
    Date date;
    Date expected;
  };
  const Case cases[] = {
      {"UTC", utc(2024, 2, 29, 23, 59, 59.9), utc(2024, 2, 29)},
      {"UTC", utc(2024, 2, 29), utc(2024, 2, 29)},
      {"UTC", Date(-0.5), utc(2000, 12, 31)},
      {"Europe/Berlin", utc(2024, 2, 29, 23, 30), utc(2024, 2, 29, 23)},  // already 1 March in Berlin
      // São Paulo skipped midnight on 4 November 2018: the day began at 01:00 (-02:00).
      {"America/Sao_Paulo", utc(2018, 11, 4, 15), utc(2018, 11, 4, 3)},
  };
  for (const auto& c : cases) {
    Calendar calendar(c.zone);
    EXPECT_EQ(calendar.startOfDay(c.date), c.expected) << c.zone << " " << c.date.description();
  }
}

TEST(Calendar, DifferencesTruncateTowardZero) {
  Calendar calendar("UTC", "en_US_POSIX");
  struct Case {
    Date from, to;
    CalendarUnits units;
    DateComponents expected;
  };
  auto only = [](std::int64_t months, std::int64_t days, std::int64_t hours = kUndefined) {
    DateComponents c;
    c.month = months;
    c.day = days;
    c.hour = hours;
    return c;
  };
  const Case cases[] = {
      // 10:00 to 09:00 two days later is 47 hours: one whole day.
      {utc(2024, 5, 1, 10), utc(2024, 5, 3, 9), CalendarUnitDay, only(kUndefined, 1)},
      {utc(2024, 5, 3, 9), utc(2024, 5, 1, 10), CalendarUnitDay, only(kUndefined, -1)},
      {utc(2024, 5, 1, 10), utc(2024, 5, 3, 9), CalendarUnitDay | CalendarUnitHour, only(kUndefined, 1, 23)},
      {utc(2024, 1, 31), utc(2024, 3, 1), CalendarUnitMonth | CalendarUnitDay, only(1, 1)},
      {utc(2024, 1, 15), utc(2024, 1, 15), CalendarUnitMonth | CalendarUnitDay, only(0, 0)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(calendar.components(c.units, c.from, c.to), c.expected)
        << c.from.description() << " -> " << c.to.description();
  }

  auto parts =
      calendar.components(kDateAndTime | CalendarUnitNanosecond, utc(2020, 2, 29), utc(2024, 3, 1, 1, 1, 1.25));
  EXPECT_EQ(parts.year, 4);
  EXPECT_EQ(parts.month, 0);
  EXPECT_EQ(parts.day, 1);  // 29 February 2024 to 1 March
  EXPECT_EQ(parts.hour, 1);
  EXPECT_EQ(parts.minute, 1);
  EXPECT_EQ(parts.second, 1);
  EXPECT_EQ(parts.nanosecond, 250000000);

  // Across the spring change a calendar day is still one day.
  Calendar berlin("Europe/Berlin");
  EXPECT_EQ(berlin.components(CalendarUnitDay, utc(2024, 3, 30, 11), utc(2024, 3, 31, 10)).day, 1);
  EXPECT_EQ(berlin.components(CalendarUnitHour, utc(2024, 3, 30, 11), utc(2024, 3, 31, 10)).hour, 23);
}

TEST(Calendar, RangesOfUnits) {
  Calendar calendar("UTC");
  struct Case {
    CalendarUnit smaller, larger;
    Date date;
    std::int64_t location, length;
  };
  const Case cases[] = {
      {CalendarUnitDay, CalendarUnitMonth, utc(2024, 2, 10), 1, 29},
      {CalendarUnitDay, CalendarUnitMonth, utc(2023, 2, 10), 1, 28},
      {CalendarUnitDay, CalendarUnitMonth, utc(2023, 4, 30), 1, 30},
      {CalendarUnitDay, CalendarUnitMonth, utc(2023, 12, 31, 23, 59, 59), 1, 31},
      {CalendarUnitDay, CalendarUnitYear, utc(2024, 7, 1), 1, 366},
      {CalendarUnitMonth, CalendarUnitYear, utc(2024, 7, 1), 1, 12},
      {CalendarUnitHour, CalendarUnitDay, utc(2024, 7, 1), 0, 24},
      {CalendarUnitWeekday, CalendarUnitWeekOfYear, utc(2024, 7, 1), 1, 7},
  };
  for (const auto& c : cases) {
    auto range = calendar.range(c.smaller, c.larger, c.date);
    ASSERT_TRUE(range.has_value()) << c.smaller << " in " << c.larger;
    EXPECT_EQ(range->location, c.location);
    EXPECT_EQ(range->length, c.length) << c.smaller << " in " << c.larger << " at " << c.date.description();
  }
  EXPECT_FALSE(calendar.range(CalendarUnitYear, CalendarUnitDay, utc(2024, 1, 1)).has_value());
}

TEST(Calendar, TimeZoneAndLocaleSettings) {
  Calendar calendar("Europe/Berlin", "de_DE");
  EXPECT_EQ(calendar.timeZoneIdentifier(), "Europe/Berlin");
  EXPECT_EQ(calendar.localeIdentifier(), "de_DE");
  EXPECT_FALSE(calendar.setTimeZone("Nowhere/Atlantis"));
  EXPECT_EQ(calendar.timeZoneIdentifier(), "Europe/Berlin");
  EXPECT_TRUE(calendar.setTimeZone("UTC"));
  EXPECT_EQ(calendar.component(CalendarUnitHour, utc(2024, 1, 1, 5)), 5);

  calendar.setLocale("en_US");
  EXPECT_EQ(calendar.firstWeekday(), 1);
  EXPECT_EQ(calendar.timeZoneIdentifier(), "UTC");  // the locale change keeps the zone

  EXPECT_EQ(Calendar("Nowhere/Atlantis").timeZoneIdentifier(), "UTC");

  // Copies are independent.
  Calendar copy = calendar;
  copy.setTimeZone("Asia/Tokyo");
  EXPECT_EQ(calendar.timeZoneIdentifier(), "UTC");
  EXPECT_EQ(copy.component(CalendarUnitHour, utc(2024, 1, 1, 5)), 14);
}

TEST(Calendar, SharedCalendarIsSafeAcrossThreads) {
  Calendar calendar("Europe/Berlin");
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 300; ++i) {
        Date date = utc(2020 + t, 1 + i % 12, 1 + i % 28, i % 24);
        auto parts = calendar.components(kDateAndTime, date);
        if (calendar.dateFromComponents(parts) != date) ++mismatches;
        if (calendar.startOfDay(date) > date) ++mismatches;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(mismatches.load(), 0);
}

TEST(DateFormatter, FormatsAndParsesPatternsInZoneAndLocale) {
  struct Case {
    const char* pattern;
    const char* zone;
    Date date;
    const char* text;
  };
  const Case cases[] = {
      {"yyyy-MM-dd HH:mm:ss:SSS", "UTC", utc(2024, 2, 29, 12, 34, 56.5), "2024-02-29 12:34:56:500"},
      {"yyyy-MM-dd HH:mm:ss:SSS", "Europe/Berlin", utc(2024, 2, 29, 12, 34, 56.5), "2024-02-29 13:34:56:500"},
      {"yyyy/MM/dd HH:mm:ss:SSS", "Europe/Berlin", utc(2023, 6, 30, 22, 30, 1.007), "2023/07/01 00:30:01:007"},
      {"yyyy'-'MM'-'dd' 'HH'-'mm'", "GMT", utc(2017, 5, 1, 12, 30), "2017-05-01 12-30"},
      {"yyyy-MM-dd HH:mm:ss:SSS", "UTC", utc(1999, 12, 31, 23, 59, 59.999), "1999-12-31 23:59:59:999"},
  };
  for (const auto& c : cases) {
    DateFormatter formatter(c.pattern, "en_US_POSIX", c.zone);
    EXPECT_EQ(formatter.stringFromDate(c.date), c.text);
    auto parsed = formatter.dateFromString(c.text);
    ASSERT_TRUE(parsed.has_value()) << c.text;
    EXPECT_NEAR(parsed->timeIntervalSince(c.date), 0, 1e-6) << c.text;
    EXPECT_EQ(formatter.dateFormat(), c.pattern);
  }
}

TEST(DateFormatter, TruncatesFractionsWithoutBinaryRoundingErrors) {
  DateFormatter formatter("ss:SSS", "en_US_POSIX", "UTC");
  EXPECT_EQ(formatter.stringFromDate(Date(0.123)), "00:123");
  EXPECT_EQ(formatter.stringFromDate(Date(0.1239)), "00:123");
  EXPECT_EQ(formatter.stringFromDate(Date(59.9999)), "59:999");
  EXPECT_EQ(formatter.stringFromDate(Date(-0.5)), "59:500");
}

TEST(DateFormatter, ParsingRejectsMismatches) {
  DateFormatter formatter("yyyy'-'MM'-'dd' 'HH'-'mm'", "en_US_POSIX", "GMT");
  const char* invalid[] = {
      "",
      "garbage",
      "2017-05-01",
      "2017-05-01 12-30 2",
      "2017-05-01 12-30x",
      "2017-13-01 12-30",
      "2017-02-30 12-30",
      "2017-05-01 25-00",
      "2017/05/01 12-30",
  };
  for (const char* text : invalid) EXPECT_FALSE(formatter.dateFromString(text).has_value()) << text;

  DateFormatter empty;
  EXPECT_EQ(empty.stringFromDate(Date(0)), "");
  EXPECT_FALSE(empty.dateFromString("2017").has_value());
}

TEST(DateFormatter, StylesAndMonthSymbols) {
  DateFormatter formatter;
  formatter.setLocale("en_US");
  EXPECT_TRUE(formatter.setTimeZone("UTC"));
  EXPECT_FALSE(formatter.setTimeZone("Nowhere/Atlantis"));
  EXPECT_EQ(formatter.timeZoneIdentifier(), "UTC");
  formatter.setDateStyle(DateFormatterStyle::Medium);
  EXPECT_EQ(formatter.stringFromDate(utc(2024, 2, 29, 12, 34)), "Feb 29, 2024");
  formatter.setDateStyle(DateFormatterStyle::Long);
  EXPECT_EQ(formatter.stringFromDate(utc(2024, 2, 29, 12, 34)), "February 29, 2024");
  formatter.setTimeStyle(DateFormatterStyle::Short);
  EXPECT_THAT(formatter.stringFromDate(utc(2024, 2, 29, 12, 34)), ::testing::HasSubstr("12:34"));
  EXPECT_FALSE(formatter.dateFormat().empty());
  // A pattern replaces the styles.
  formatter.setDateFormat("yyyy");
  EXPECT_EQ(formatter.dateStyle(), DateFormatterStyle::None);
  EXPECT_EQ(formatter.stringFromDate(utc(2024, 2, 29)), "2024");

  EXPECT_THAT(formatter.shortMonthSymbols(), ::testing::ElementsAre("Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul",
                                                                    "Aug", "Sep", "Oct", "Nov", "Dec"));
  formatter.setLocale("de_DE");
  EXPECT_EQ(formatter.shortMonthSymbols().at(2), "März");

  EXPECT_EQ(DateFormatter::localizedString(Date(0), DateFormatterStyle::None, DateFormatterStyle::None), "");
  EXPECT_FALSE(DateFormatter::localizedString(Date(0), DateFormatterStyle::Short, DateFormatterStyle::None).empty());
}

TEST(DateFormatter, SharedFormatterIsSafeAcrossThreads) {
  DateFormatter formatter("yyyy-MM-dd HH:mm:ss:SSS", "en_US_POSIX", "Europe/Berlin");
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 300; ++i) {
        Date date = utc(2020 + t, 1 + i % 12, 1 + i % 28, i % 24, i % 60, 0.001 * i);
        auto parsed = formatter.dateFromString(formatter.stringFromDate(date));
        if (!parsed || std::abs(parsed->timeIntervalSince(date)) > 1e-6) ++mismatches;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(mismatches.load(), 0);
}
