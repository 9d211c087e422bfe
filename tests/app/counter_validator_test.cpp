// The countdown counter and the editor's validator.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "app/ZRVMainEditEventValidator.h"
#include "app/ZRVMainItemCounter.h"
#include "app/model/ZRVEvent.h"
#include "app_test_support.h"

namespace {

using platform::Date;
using zorvel::test::localDate;
using zorvel::test::ScopedClock;

std::shared_ptr<ZRVEvent> eventAt(std::optional<Date> date) {
  auto event = platform::make<ZRVEvent>();
  event->setDate(date);
  return event;
}

TEST(MainItemCounter, SplitsTheTimeLeftIntoFixedYearsDaysHoursMinutesSeconds) {
  const Date now = localDate(2024, 3, 30, 12);  // the counter ignores the daylight-saving change ahead
  struct Case {
    const char* what;
    double ahead;
    std::int64_t years, days, hours, minutes, seconds;
  };
  const Case cases[] = {
      {"1.9 s drops the fraction", 1.9, 0, 0, 0, 0, 1},
      {"exactly now", 0, 0, 0, 0, 0, 0},
      {"in the past", -5000, 0, 0, 0, 0, 0},
      {"0.4 s is nothing left to show", 0.4, 0, 0, 0, 0, 0},
      {"one counter year", 31556926, 1, 0, 0, 0, 0},
      {"a second short of a year", 31556925, 0, 365, 5, 48, 45},
      {"a day across spring-forward is 86,400 s", 86400, 0, 1, 0, 0, 0},
      {"mixed", 2 * 31556926.0 + 3 * 86400 + 4 * 3600 + 5 * 60 + 6, 2, 3, 4, 5, 6},
      {"59 s", 59.999, 0, 0, 0, 0, 59},
  };
  for (const Case& c : cases) {
    ZRVMainItemCounter counter(*eventAt(now.addingTimeInterval(c.ahead)));
    counter.updateWithCurrentDate(now);
    EXPECT_EQ(counter.years(), c.years) << c.what;
    EXPECT_EQ(counter.days(), c.days) << c.what;
    EXPECT_EQ(counter.hours(), c.hours) << c.what;
    EXPECT_EQ(counter.minutes(), c.minutes) << c.what;
    EXPECT_EQ(counter.seconds(), c.seconds) << c.what;
  }
}

TEST(MainItemCounter, MissingDatesTargetsAndStrings) {
  const Date now = localDate(2024, 1, 1);
  ZRVMainItemCounter counter(*eventAt(now.addingTimeInterval(123 * 86400.0 + 5)));
  counter.updateWithCurrentDate(now);
  EXPECT_EQ(counter.stringValueForUnitType(ZRVMainItemCounterUnitSeconds), "05");
  EXPECT_EQ(counter.stringValueForUnitType(ZRVMainItemCounterUnitDays), "123");
  EXPECT_EQ(counter.stringValueForUnitType(ZRVMainItemCounterUnitHours), "00");
  EXPECT_EQ(counter.stringValueForUnitType(5), "00");
  EXPECT_EQ(counter.valueForUnitType(99), 0);

  // The old values stay until a nil date zeroes them.
  counter.updateWithCurrentDate(std::nullopt);
  EXPECT_EQ(counter.days(), 0);
  EXPECT_EQ(counter.seconds(), 0);

  // A new target replaces the old one; no target keeps it.
  counter.updateWithCurrentDate(now, now.addingTimeInterval(61));
  EXPECT_EQ(counter.minutes(), 1);
  EXPECT_EQ(counter.seconds(), 1);
  counter.updateWithCurrentDate(now.addingTimeInterval(1), std::nullopt);
  EXPECT_EQ(counter.minutes(), 1);
  EXPECT_EQ(counter.seconds(), 0);

  ZRVMainItemCounter dateless(*eventAt(std::nullopt));
  dateless.setSeconds(9);
  dateless.updateWithCurrentDate(now);
  EXPECT_EQ(dateless.seconds(), 0);
}

TEST(MainEditEventValidator, SavingNeedsANameAndAFutureDate) {
  ScopedClock clock(localDate(2024, 6, 1, 12));
  auto event = eventAt(clock.now().addingTimeInterval(60));
  ZRVMainEditEventValidator validator(*event);
  struct Case {
    const char* what;
    std::optional<std::string> name;
    std::optional<Date> date;
    bool saveable;
  };
  const Case cases[] = {
      {"no name", std::nullopt, clock.now().addingTimeInterval(60), false},
      {"empty name", "", clock.now().addingTimeInterval(60), false},
      {"a name of one space", " ", clock.now().addingTimeInterval(60), true},
      {"date now", "Party", clock.now(), false},
      {"date a moment ago", "Party", clock.now().addingTimeInterval(-0.001), false},
      {"no date", "Party", std::nullopt, false},
      {"a millisecond ahead", "Party", clock.now().addingTimeInterval(0.001), true},
  };
  for (const Case& c : cases) {
    event->setName(c.name);
    event->setDate(c.date);
    EXPECT_EQ(validator.isEventCanBeSaved(*event), c.saveable) << c.what;
  }
}

TEST(MainEditEventValidator, ChangesAndDeletion) {
  auto event = platform::make<ZRVEvent>();
  event->setName("Trip");
  ZRVMainEditEventValidator validator(*event);
  EXPECT_NE(validator.initialEvent().get(), event.get());  // a copy, not the event

  auto edited = std::static_pointer_cast<ZRVEvent>(event->copy());
  EXPECT_FALSE(validator.isEventHasChanges(*edited));  // missing link on both sides is no change
  edited->setName("Trip");                             // the same value again
  EXPECT_FALSE(validator.isEventHasChanges(*edited));
  edited->setLink("https://example.org");
  EXPECT_TRUE(validator.isEventHasChanges(*edited));
  edited->setLink(std::nullopt);
  edited->setUpdatedAt(edited->updatedAt()->addingTimeInterval(1));
  EXPECT_TRUE(validator.isEventHasChanges(*edited));
  event->setName("changed after the validator was made");
  EXPECT_FALSE(validator.isEventHasChanges(*std::static_pointer_cast<ZRVEvent>(validator.initialEvent()->copy())));

  for (std::uint64_t state = 0; state <= 4; ++state) {
    edited->setState(state);
    EXPECT_EQ(validator.isEventCanBeDeleted(*edited), state != ZRVEventStateAdding) << state;
  }
}

}  // namespace
