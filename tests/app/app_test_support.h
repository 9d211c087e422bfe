#pragma once

// Pins the place and the time of an application test: the time zone (Europe/Berlin, which has
// daylight saving) and the locale (en_US) are set in the environment before anything reads them,
// and a ScopedClock makes ZRVClock::now() answer a chosen date.

#include <cstdlib>
#include <ctime>
#include <mutex>

#include "app/DateUtilities.h"
#include "app/ZRVClock.h"
#include "platform/system/calendar.h"
#include "platform/system/date.h"

namespace zorvel::test {

inline constexpr const char* kPinnedTimeZone = "Europe/Berlin";

// Runs during static initialisation of every test program that includes this header, before
// ICU has read its defaults.
inline const bool kPlacePinned = [] {
  setenv("TZ", kPinnedTimeZone, 1);
  setenv("LC_ALL", "en_US.UTF-8", 1);
  tzset();
  return true;
}();

// A date on the wall clock of the pinned zone.
inline platform::Date localDate(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
  platform::DateComponents c;
  c.year = year;
  c.month = month;
  c.day = day;
  c.hour = hour;
  c.minute = minute;
  c.second = second;
  return *DateUtilities::currentCalendar().dateFromComponents(c);
}

// Makes ZRVClock::now() answer `now()` until destroyed; set() moves time.
class ScopedClock {
 public:
  explicit ScopedClock(platform::Date start) : state_(std::make_shared<State>()) {
    state_->now = start;
    ZRVClock::setSource([state = state_] {
      std::lock_guard lock(state->mutex);
      return state->now;
    });
  }
  ~ScopedClock() { ZRVClock::setSource(nullptr); }
  ScopedClock(const ScopedClock&) = delete;
  ScopedClock& operator=(const ScopedClock&) = delete;

  void set(platform::Date date) {
    std::lock_guard lock(state_->mutex);
    state_->now = date;
  }
  void advance(double seconds) {
    std::lock_guard lock(state_->mutex);
    state_->now = state_->now.addingTimeInterval(seconds);
  }
  platform::Date now() const {
    std::lock_guard lock(state_->mutex);
    return state_->now;
  }

 private:
  struct State {
    std::mutex mutex;
    platform::Date now;
  };
  std::shared_ptr<State> state_;
};

}  // namespace zorvel::test
