// Date utilities in Europe/Berlin (daylight saving begins 2024-03-31 02:00 and ends 2024-10-27
// 03:00) and en_US, with the clock pinned.

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "app/DateUtilities.h"
#include "app_test_support.h"

namespace {

using platform::Date;
using zorvel::test::localDate;
using zorvel::test::ScopedClock;
namespace du = DateUtilities;

std::string text(std::optional<Date> date) {
  return date ? du::stringWithFormat(*date, "yyyy-MM-dd HH:mm:ss") : std::string("nil");
}
std::string text(Date date) { return text(std::optional<Date>(date)); }

TEST(DateUtilities, TheTestPlaceIsPinned) {
  EXPECT_EQ(du::currentCalendar().timeZoneIdentifier(), "Europe/Berlin");
  EXPECT_EQ(du::mediumDateString(localDate(2024, 3, 10, 9)), "Mar 10, 2024");
}

TEST(DateUtilities, CalendarArithmeticKeepsWallClockAndClampsMonthEnds) {
  struct Case {
    const char* what;
    std::optional<Date> result;
    const char* expected;
  };
  const Case cases[] = {
      {"day across spring-forward is 23 hours", du::dateByAddingDays(localDate(2024, 3, 30, 12), 1),
       "2024-03-31 12:00:00"},
      {"day across fall-back is 25 hours", du::dateByAddingDays(localDate(2024, 10, 26, 12), 1), "2024-10-27 12:00:00"},
      {"subtracting a day back over spring-forward", du::dateBySubtractingDays(localDate(2024, 4, 1, 0, 30), 2),
       "2024-03-30 00:30:00"},
      {"month after 31 January", du::dateByAddingMonths(localDate(2024, 1, 31, 8), 1), "2024-02-29 08:00:00"},
      {"month before 31 March, common year", du::dateBySubtractingMonths(localDate(2023, 3, 31, 8), 1),
       "2023-02-28 08:00:00"},
      {"year after 29 February", du::dateByAddingYears(localDate(2024, 2, 29), 1), "2025-02-28 00:00:00"},
      {"day across the year end", du::dateByAddingDays(localDate(2024, 12, 31, 23, 59, 59), 1), "2025-01-01 23:59:59"},
      {"zero months", du::dateByAddingMonths(localDate(2024, 5, 31, 1, 2, 3), 0), "2024-05-31 01:02:03"},
  };
  for (const Case& c : cases) EXPECT_EQ(text(c.result), c.expected) << c.what;

  // Hours are fixed lengths: across spring-forward 24 hours land an hour later on the wall clock.
  EXPECT_EQ(text(du::dateByAddingHours(localDate(2024, 3, 30, 12), 24)), "2024-03-31 13:00:00");
  EXPECT_EQ(text(du::dateBySubtractingMinutes(localDate(2024, 3, 31, 3, 0), 1)), "2024-03-31 01:59:00");
  EXPECT_EQ(du::dateByAddingSeconds(localDate(2024, 1, 1), 90), localDate(2024, 1, 1, 0, 1, 30));
  EXPECT_EQ(du::dateBySubtractingHours(localDate(2024, 1, 1), -2), localDate(2024, 1, 1, 2));
  // Amounts no calendar can hold give nothing rather than a wrong date.
  for (std::int64_t absurd : {INT64_MAX, INT64_MIN, std::int64_t{1} << 40}) {
    EXPECT_FALSE(du::dateByAddingYears(localDate(2024, 1, 1), absurd).has_value()) << absurd;
    EXPECT_FALSE(du::dateBySubtractingDays(localDate(2024, 1, 1), absurd).has_value()) << absurd;
  }
}

TEST(DateUtilities, PartsOfADayAcrossDaylightSavingAndMonthEnds) {
  Date afternoon = localDate(2024, 3, 31, 14, 35, 27);  // the spring-forward day
  EXPECT_EQ(text(du::dateAtStartOfDay(afternoon)), "2024-03-31 00:00:00");
  EXPECT_EQ(text(du::dateAtStartOfDayIgnoreSeconds(afternoon)), "2024-03-31 00:00:27");
  EXPECT_EQ(text(du::dateAtEndOfDay(localDate(2024, 10, 27, 1))), "2024-10-27 23:59:59");
  EXPECT_EQ(text(du::dateAtBeginOfMonth(afternoon)), "2024-03-01 14:35:27");
  // The fraction of a second goes with the fields that are set.
  EXPECT_EQ(du::dateAtStartOfDay(afternoon.addingTimeInterval(0.75)), localDate(2024, 3, 31));

  EXPECT_EQ(text(du::replaceTimePart(localDate(2024, 5, 2, 7, 5, 9), localDate(2023, 11, 20, 18, 30, 0))),
            "2024-05-02 18:30:00");
  EXPECT_EQ(text(du::replaceDatePart(localDate(2024, 5, 2, 7, 5, 9), localDate(2023, 11, 20, 18, 30, 0))),
            "2023-11-20 07:05:09");
  // A time the clocks skip resolves to the same distance after the change.
  EXPECT_EQ(text(du::replaceTimePart(localDate(2024, 3, 31, 12), localDate(2024, 1, 1, 2, 30))), "2024-03-31 03:30:00");
  // 31 January takes a February date part's day, not a clamped one.
  EXPECT_EQ(text(du::replaceDatePart(localDate(2024, 1, 31, 6), localDate(2024, 2, 29, 23))), "2024-02-29 06:00:00");
}

TEST(DateUtilities, DifferencesTruncateTowardZero) {
  Date tenToday = localDate(2024, 6, 10, 10);
  Date nineDayAfterTomorrow = localDate(2024, 6, 12, 9);
  struct Case {
    const char* what;
    std::int64_t actual;
    std::int64_t expected;
  };
  const Case cases[] = {
      {"47 hours are 1 day", du::daysBeforeDate(tenToday, nineDayAfterTomorrow), 1},
      {"a later receiver counts negative", du::daysBeforeDate(nineDayAfterTomorrow, tenToday), -1},
      {"days after", du::daysAfterDate(nineDayAfterTomorrow, tenToday), 1},
      {"hours after", du::hoursAfterDate(nineDayAfterTomorrow, tenToday), 47},
      {"hours before, negative", du::hoursBeforeDate(nineDayAfterTomorrow, tenToday), -47},
      {"59.9 s is 0 minutes", du::minutesAfterDate(tenToday.addingTimeInterval(59.9), tenToday), 0},
      {"-61 s is -1 minute", du::minutesAfterDate(tenToday.addingTimeInterval(-61), tenToday), -1},
      {"minutes before", du::minutesBeforeDate(tenToday, tenToday.addingTimeInterval(150)), 2},
      {"spring-forward day has 23 hours", du::hoursAfterDate(localDate(2024, 4, 1), localDate(2024, 3, 31)), 23},
      {"...so it is 0 fixed days", du::daysAfterDate(localDate(2024, 4, 1), localDate(2024, 3, 31)), 0},
      {"...but 1 calendar day", du::distanceInDaysToDate(localDate(2024, 3, 31), localDate(2024, 4, 1)), 1},
      {"end of day counts in full",
       du::distanceInDaysToDate(localDate(2024, 6, 10), localDate(2024, 6, 12, 23, 59, 59)), 3},
      {"a second before is not the end",
       du::distanceInDaysToDate(localDate(2024, 6, 10), localDate(2024, 6, 12, 23, 59, 58)), 2},
      {"backwards", du::distanceInDaysToDate(localDate(2024, 6, 12, 10), localDate(2024, 6, 10, 10)), -2},
      {"leap February", du::daysInMonth(localDate(2024, 2, 10)), 29},
      {"common February", du::daysInMonth(localDate(2023, 2, 10)), 28},
      {"April", du::daysInMonth(localDate(2024, 4, 30, 23)), 30},
  };
  for (const Case& c : cases) EXPECT_EQ(c.actual, c.expected) << c.what;

  platform::DateComponents offset =
      du::componentsWithOffsetFromDate(localDate(2024, 3, 12, 13, 4, 5), localDate(2024, 2, 10, 12));
  EXPECT_EQ(offset.month, 1);
  EXPECT_EQ(offset.day, 2);
  EXPECT_EQ(offset.hour, 1);
  EXPECT_EQ(offset.minute, 4);
  EXPECT_EQ(offset.second, 5);
}

TEST(DateUtilities, ComparisonsAgainstThePinnedNow) {
  ScopedClock clock(localDate(2024, 1, 31, 10));  // a Wednesday
  struct Case {
    const char* what;
    bool actual;
    bool expected;
  };
  Date now = clock.now();
  const Case cases[] = {
      {"equal dates are not earlier", du::isEarlierThanDate(now, now), false},
      {"equal dates are not later", du::isLaterThanDate(now, now), false},
      {"a second ahead is in the future", du::isInFuture(now.addingTimeInterval(1)), true},
      {"now is not in the past", du::isInPast(now), false},
      {"late tonight is today", du::isToday(localDate(2024, 1, 31, 23, 59, 59)), true},
      {"midnight is tomorrow", du::isTomorrow(localDate(2024, 2, 1)), true},
      {"yesterday morning", du::isYesterday(localDate(2024, 1, 30, 0, 0, 1)), true},
      {"a month after 31 January is February", du::isNextMonth(localDate(2024, 2, 15)), true},
      {"last month", du::isLastMonth(localDate(2023, 12, 1)), true},
      {"this month", du::isThisMonth(localDate(2024, 1, 1)), true},
      {"same month, other year", du::isSameMonthAsDate(localDate(2023, 1, 31), now), false},
      {"next year", du::isNextYear(localDate(2025, 12, 31)), true},
      {"last year", du::isLastYear(localDate(2023, 1, 1)), true},
      {"this year", du::isThisYear(localDate(2024, 12, 31, 23)), true},
      {"this week", du::isThisWeek(localDate(2024, 2, 2)), true},
      {"next week", du::isNextWeek(localDate(2024, 2, 5)), true},
      {"last week", du::isLastWeek(localDate(2024, 1, 25)), true},
      {"week 1 of two years differs", du::isSameWeekAsDate(localDate(2024, 1, 2), localDate(2025, 1, 2)), false},
      {"a week across the year end", du::isSameWeekAsDate(localDate(2024, 12, 30), localDate(2025, 1, 3)), true},
      {"ignoring time", du::isEqualToDateIgnoringTime(localDate(2024, 3, 31, 0, 0, 1), localDate(2024, 3, 31, 23)),
       true},
      {"Saturday is weekend", du::isTypicallyWeekend(localDate(2024, 3, 9)), true},
      {"Sunday is weekend", du::isTypicallyWeekend(localDate(2024, 3, 10)), true},
      {"Monday is a workday", du::isTypicallyWorkday(localDate(2024, 3, 11)), true},
  };
  for (const Case& c : cases) EXPECT_EQ(c.actual, c.expected) << c.what;

  EXPECT_EQ(text(du::dateTomorrow()), "2024-02-01 10:00:00");
  EXPECT_EQ(text(du::dateWithDaysBeforeNow(31)), "2023-12-31 10:00:00");
  EXPECT_EQ(du::dateWithHoursFromNow(2), localDate(2024, 1, 31, 12));
  EXPECT_EQ(du::dateWithMinutesBeforeNow(61), localDate(2024, 1, 31, 8, 59));
  clock.set(localDate(2024, 1, 31, 10, 29, 59));
  EXPECT_EQ(du::nearestHour(), 10);
  clock.set(localDate(2024, 1, 31, 10, 30));
  EXPECT_EQ(du::nearestHour(), 11);
}

TEST(DateUtilities, ReadOutsAndTexts) {
  Date date = localDate(2024, 3, 14, 15, 9, 26);  // the second Thursday of March
  EXPECT_EQ(du::year(date), 2024);
  EXPECT_EQ(du::month(date), 3);
  EXPECT_EQ(du::day(date), 14);
  EXPECT_EQ(du::hour(date), 15);
  EXPECT_EQ(du::minute(date), 9);
  EXPECT_EQ(du::seconds(date), 26);
  EXPECT_EQ(du::weekday(date), 5);
  EXPECT_EQ(du::nthWeekday(date), 2);
  EXPECT_EQ(du::week(date), 11);

  EXPECT_EQ(du::monthName(date), "mar");
  EXPECT_EQ(du::monthName(localDate(2024, 9, 1)), "sep");
  EXPECT_EQ(du::stringWithFormat(date, "EEE d MMM HH:mm"), "Thu 14 Mar 15:09");
  EXPECT_EQ(du::shortDateString(date), "3/14/24");
  EXPECT_EQ(du::mediumDateString(date), "Mar 14, 2024");
  EXPECT_EQ(du::longDateString(date), "March 14, 2024");
  EXPECT_EQ(du::stringWithDateStyle(date, platform::DateFormatterStyle::None, platform::DateFormatterStyle::None), "");
  // Time texts of this ICU version may use a narrow space before "PM"; only the figures matter.
  EXPECT_NE(du::shortTimeString(date).find("3:09"), std::string::npos);
  EXPECT_NE(du::mediumTimeString(date).find("3:09:26"), std::string::npos);
  EXPECT_NE(du::mediumString(date).find("Mar 14, 2024"), std::string::npos);
}

}  // namespace
