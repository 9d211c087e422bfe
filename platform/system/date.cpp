#include "platform/system/date.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace platform {

Date Date::now() {
  auto since1970 = std::chrono::system_clock::now().time_since_epoch();
  double seconds = std::chrono::duration<double>(since1970).count();
  return fromTimeIntervalSince1970(seconds);
}

double Date::timeIntervalSinceNow() const { return timeIntervalSince(now()); }

namespace {

// Civil date from days since 1970-01-01 in the proleptic Gregorian calendar (Howard Hinnant's
// algorithm); works for the whole range of the sentinels, unlike gmtime on some years.
void civilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = static_cast<std::int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  if (m <= 2) ++y;
}

}  // namespace

std::string Date::description() const {
  double since1970 = std::floor(timeIntervalSince1970());
  if (!std::isfinite(since1970) || std::fabs(since1970) > 1e15)
    return std::isnan(since1970) ? "nan" : (since1970 < 0 ? "-inf" : "inf");
  auto total = static_cast<std::int64_t>(since1970);
  std::int64_t days = total / 86400;
  std::int64_t rest = total % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  std::int64_t year;
  unsigned month, day;
  civilFromDays(days, year, month, day);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04lld-%02u-%02u %02d:%02d:%02d +0000", static_cast<long long>(year), month, day,
                static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60));
  return buf;
}

std::uint64_t monotonicNanoseconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<std::uint64_t>(ts.tv_nsec);
}

std::chrono::steady_clock::duration durationOfSeconds(double seconds) {
  constexpr double kFarAway = 1e9;  // seconds, about 31 years
  if (!(seconds > 0)) return std::chrono::steady_clock::duration::zero();
  if (seconds > kFarAway) seconds = kFarAway;
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
}

}  // namespace platform
