#include <gtest/gtest.h>

#include <chrono>
#include <ctime>

#include "platform/system/date.h"

namespace platform {
namespace {

TEST(Date, ConvertsBetweenReferenceDateAndUnixEpoch) {
  EXPECT_EQ(Date().timeIntervalSince1970(), 978307200.0);
  EXPECT_EQ(Date::fromTimeIntervalSince1970(0).timeIntervalSinceReferenceDate(), -978307200.0);
  Date d = Date::fromTimeIntervalSince1970(1700000000.25);
  EXPECT_DOUBLE_EQ(d.timeIntervalSince1970(), 1700000000.25);
}

TEST(Date, NowFollowsTheWallClock) {
  double before = static_cast<double>(std::time(nullptr));
  double now = Date::now().timeIntervalSince1970();
  double after = static_cast<double>(std::time(nullptr)) + 1;
  EXPECT_GE(now, before);
  EXPECT_LE(now, after);
}

TEST(Date, ArithmeticAndOrdering) {
  Date a(100), b = a.addingTimeInterval(2.5);
  EXPECT_EQ(b.timeIntervalSince(a), 2.5);
  EXPECT_EQ(a.timeIntervalSince(b), -2.5);
  EXPECT_LT(a, b);
  EXPECT_EQ(a.earlierDate(b), a);
  EXPECT_EQ(a.laterDate(b), b);
  EXPECT_LT(Date::distantPast(), Date::fromTimeIntervalSince1970(-1e10));
  EXPECT_GT(Date::distantFuture(), Date::fromTimeIntervalSince1970(1e10));
}

TEST(Date, DescriptionIsUtcWithWholeSeconds) {
  struct Case {
    double sinceReference;
    const char* text;
  } cases[] = {
      {0, "2001-01-01 00:00:00 +0000"},
      {0.999, "2001-01-01 00:00:00 +0000"},
      {-0.5, "2000-12-31 23:59:59 +0000"},
      {-978307200, "1970-01-01 00:00:00 +0000"},
      {5011200 + 86399, "2001-02-28 23:59:59 +0000"},
      {Date::fromTimeIntervalSince1970(951782400).timeIntervalSinceReferenceDate(), "2000-02-29 00:00:00 +0000"},
      {Date::distantFuture().timeIntervalSinceReferenceDate(), "4001-01-01 00:00:00 +0000"},
      {Date::distantPast().timeIntervalSinceReferenceDate(), "0001-01-01 00:00:00 +0000"},
  };
  for (const Case& c : cases) EXPECT_EQ(Date(c.sinceReference).description(), c.text) << c.sinceReference;
}

TEST(MonotonicClock, NeverGoesBackwards) {
  std::uint64_t previous = monotonicNanoseconds();
  for (int k = 0; k < 1000; ++k) {
    std::uint64_t now = monotonicNanoseconds();
    ASSERT_GE(now, previous);
    previous = now;
  }
}

}  // namespace
}  // namespace platform
