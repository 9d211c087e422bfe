#pragma once

// A point in time, and the process's monotonic clock. Calendars and formatting live in calendar.h;
// this stays a small value type.

#include <chrono>
#include <compare>
#include <cstdint>
#include <string>

namespace platform {

// Seconds between the Unix epoch (1970-01-01 00:00:00 UTC) and the reference date
// (2001-01-01 00:00:00 UTC).
inline constexpr double kTimeIntervalBetween1970AndReferenceDate = 978307200.0;

// An absolute point in time: seconds (with fraction) since the reference date
// 2001-01-01 00:00:00 UTC. A plain value; safe to copy and share between threads.
class Date {
 public:
  constexpr Date() = default;  // the reference date itself
  constexpr explicit Date(double secondsSinceReferenceDate) : seconds_(secondsSinceReferenceDate) {}

  // The current wall-clock time.
  static Date now();
  static constexpr Date fromTimeIntervalSinceReferenceDate(double seconds) { return Date(seconds); }
  static constexpr Date fromTimeIntervalSince1970(double seconds) {
    return Date(seconds - kTimeIntervalBetween1970AndReferenceDate);
  }
  // Far-away sentinels: 0001-01-01 and 4001-01-01, both 00:00:00 UTC.
  static constexpr Date distantPast() { return Date(-63113904000.0); }
  static constexpr Date distantFuture() { return Date(63113904000.0); }

  constexpr double timeIntervalSinceReferenceDate() const { return seconds_; }
  constexpr double timeIntervalSince1970() const { return seconds_ + kTimeIntervalBetween1970AndReferenceDate; }
  // Positive when this date is later than `other`.
  constexpr double timeIntervalSince(Date other) const { return seconds_ - other.seconds_; }
  double timeIntervalSinceNow() const;
  constexpr Date addingTimeInterval(double seconds) const { return Date(seconds_ + seconds); }

  constexpr Date earlierDate(Date other) const { return other.seconds_ < seconds_ ? other : *this; }
  constexpr Date laterDate(Date other) const { return other.seconds_ > seconds_ ? other : *this; }

  constexpr auto operator<=>(const Date&) const = default;
  constexpr bool operator==(const Date&) const = default;

  // "2001-01-01 00:00:00 +0000": UTC, whole seconds (fraction dropped towards the past).
  std::string description() const;

 private:
  double seconds_ = 0;
};

// Nanoseconds of a clock that only moves forward (not wall time, not affected by clock changes);
// only differences between two readings mean anything.
std::uint64_t monotonicNanoseconds();

// A wait of `seconds` on the monotonic clock: zero for zero, negative or not-a-number seconds, and
// at most about 31 years, so that adding it to the clock's present reading cannot overflow.
std::chrono::steady_clock::duration durationOfSeconds(double seconds);

}  // namespace platform
