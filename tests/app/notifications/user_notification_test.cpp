// A notification made for an event and a trigger: its text and delivery date in a time zone with
// daylight saving (Europe/Berlin), and the rest of its values.

#include <gtest/gtest.h>

#include "app/app_test_support.h"
#include "app/model/ZRVEvent.h"
#include "app/model/ZRVOption.h"
#include "app/notifications/ZRVUserNotification.h"

namespace {

using namespace zorvel::test;

constexpr std::uint64_t kYears = platform::CalendarUnitYear;
constexpr std::uint64_t kMonths = platform::CalendarUnitMonth;
constexpr std::uint64_t kDays = platform::CalendarUnitDay;
constexpr std::uint64_t kHours = platform::CalendarUnitHour;
constexpr std::uint64_t kMinutes = platform::CalendarUnitMinute;
constexpr std::uint64_t kSeconds = platform::CalendarUnitSecond;

struct Row {
  const char* label;
  std::uint64_t value;
  std::uint64_t unit;
  platform::Date event;
  const char* body;
  platform::Date delivery;
};

TEST(UserNotification, TextAndDeliveryDateFollowTheTrigger) {
  ScopedClock clock(localDate(2024, 1, 1));
  const platform::Date summer = localDate(2024, 6, 20, 18, 45);
  // 31 March 2024: Berlin moves from 02:00 CET to 03:00 CEST.
  const platform::Date afterJump = localDate(2024, 3, 31, 3, 30);
  const Row rows[] = {
      {"three days", 3, kDays, summer, "less than three days", localDate(2024, 6, 17, 18, 45)},
      {"at the date itself", 0, kSeconds, summer, "event has occurred", summer},
      {"one hour", 1, kHours, summer, "less than a hour", summer.addingTimeInterval(-3600)},
      {"two days in March", 2, kDays, localDate(2024, 3, 10, 9), "less than two days", localDate(2024, 3, 8, 9)},
      {"a month before 31 March: end of February", 1, kMonths, localDate(2024, 3, 31, 9), "less than a month",
       localDate(2024, 2, 29, 9)},
      {"a month before 31 March of a common year", 1, kMonths, localDate(2023, 3, 31, 9), "less than a month",
       localDate(2023, 2, 28, 9)},
      {"an hour across the change is 3,600 s", 1, kHours, afterJump, "less than a hour",
       afterJump.addingTimeInterval(-3600)},
      {"a day across the change keeps the wall clock (23 h)", 1, kDays, localDate(2024, 3, 31, 12), "less than a day",
       localDate(2024, 3, 30, 12)},
      {"five minutes", 5, kMinutes, summer, "less than five minutes", summer.addingTimeInterval(-300)},
      {"no time before a day", 0, kDays, summer, "less than a day", summer},
      {"two years", 2, kYears, summer, "less than two years", localDate(2022, 6, 20, 18, 45)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    auto event = platform::make<ZRVEvent>();
    event->setName("Trip");
    event->setDate(row.event);
    auto trigger = ZRVOptionTrigger::triggerWithUnit(row.unit, row.value, ZRVOptionTriggerTypeBuiltIn, true);
    auto n = ZRVUserNotification::notificationWithEvent(*event, *trigger);
    EXPECT_EQ(n->body(), row.body);
    ASSERT_TRUE(n->delivery());
    EXPECT_EQ(*n->delivery(), row.delivery) << n->delivery()->description() << " vs " << row.delivery.description();
  }
  // The hour across the change: two hours apart on the wall clock, one hour in time.
  EXPECT_EQ(afterJump.timeIntervalSince(localDate(2024, 3, 31, 1, 30)), 3600);
  EXPECT_EQ(localDate(2024, 3, 31, 12).timeIntervalSince(localDate(2024, 3, 30, 12)), 23 * 3600);
}

TEST(UserNotification, CarriesTheEventAndTriggerAndAFreshIdentifier) {
  ScopedClock clock(localDate(2024, 1, 1));
  auto event = platform::make<ZRVEvent>();
  event->setName("Trip");
  event->setDate(localDate(2024, 6, 20));
  auto trigger = ZRVOptionTrigger::triggerWithUnit(kDays, 1, ZRVOptionTriggerTypeBuiltIn, true);
  auto a = ZRVUserNotification::notificationWithEvent(*event, *trigger);
  auto b = ZRVUserNotification::notificationWithEvent(*event, *trigger);
  EXPECT_EQ(a->title(), "Trip");
  EXPECT_EQ(a->sound(), "message-new-instant");
  EXPECT_FALSE(a->isDelivered());
  EXPECT_EQ(a->event(), event->uuid());
  EXPECT_EQ(a->trigger(), trigger->uuid());
  ASSERT_TRUE(a->identifier());
  EXPECT_EQ(a->identifier()->size(), 36u);
  EXPECT_NE(a->identifier(), b->identifier());
  EXPECT_FALSE(a->isEqual(*b));
  EXPECT_TRUE(a->isEqual(*a->copy()));
  auto shown = a->copyWithDelivered(true);
  EXPECT_TRUE(shown->isDelivered());
  EXPECT_EQ(shown->identifier(), a->identifier());
  EXPECT_FALSE(a->isDelivered());
}

TEST(UserNotification, ATriggerOfNoCalendarUnitHasNoDeliveryDate) {
  ScopedClock clock(localDate(2024, 1, 1));
  auto event = platform::make<ZRVEvent>();
  event->setDate(localDate(2024, 6, 20));
  auto trigger = ZRVOptionTrigger::triggerWithUnit(1, 2, ZRVOptionTriggerTypeBuiltIn, true);
  EXPECT_FALSE(ZRVUserNotification::notificationWithEvent(*event, *trigger)->delivery());
}

}  // namespace
