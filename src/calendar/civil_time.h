// calendar/civil_time.h: the one calendar of both libraries. Ticks are the
// 100 ns units of a LogTimestamp, counted from 0001-01-01 00:00:00; dates are
// proleptic Gregorian. Header-only, constexpr and free of state, so that the
// core library and its companion share it without an export.
#ifndef CORE_LOGGER_CALENDAR_CIVIL_TIME_H_
#define CORE_LOGGER_CALENDAR_CIVIL_TIME_H_

#include <cstdint>

namespace core::logger::calendar {

constexpr std::uint64_t kTicksPerSecond = 10'000'000;
constexpr std::uint64_t kTicksPerDay = 86'400 * kTicksPerSecond;
// 1601-01-01, where Windows file times start, and 1970-01-01, where Unix
// time starts, in ticks.
constexpr std::uint64_t k1601Ticks = 504'911'232'000'000'000;
constexpr std::uint64_t k1970Ticks = 621'355'968'000'000'000;

// The quotient rounded towards minus infinity. REQUIRES: divisor > 0.
constexpr std::int64_t floor_div(std::int64_t value, std::int64_t divisor) noexcept {
  const std::int64_t quotient = value / divisor;
  return quotient * divisor > value ? quotient - 1 : quotient;
}

struct CivilDate {
  std::int64_t year;
  unsigned month;  // 1-12
  unsigned day;    // 1-31
};

// The date of a day counted from 1970-01-01 (H. Hinnant's civil_from_days),
// for any day, before 1970 too.
constexpr CivilDate civil_from_days(std::int64_t days) noexcept {
  days += 719'468;  // from 0000-03-01, so that a leap day ends its year
  const std::int64_t era = floor_div(days, 146'097);
  const auto day_of_era = static_cast<unsigned>(days - era * 146'097);
  const unsigned year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36'524 - day_of_era / 146'096) / 365;
  const unsigned day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const unsigned month_index = (5 * day_of_year + 2) / 153;
  const unsigned day = day_of_year - (153 * month_index + 2) / 5 + 1;
  const unsigned month = month_index < 10 ? month_index + 3 : month_index - 9;
  return CivilDate{static_cast<std::int64_t>(year_of_era) + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

// Days from 1970-01-01 to the local day of `ticks`.
constexpr std::int64_t day_of_ticks(std::uint64_t ticks) noexcept {
  return static_cast<std::int64_t>(ticks / kTicksPerDay) -
         static_cast<std::int64_t>(k1970Ticks / kTicksPerDay);
}

// Milliseconds from 1970-01-01 to `ticks`, on the same (local) time scale.
constexpr std::int64_t unix_ms_of_ticks(std::uint64_t ticks) noexcept {
  return floor_div(static_cast<std::int64_t>(ticks - k1970Ticks), 10'000);
}

// Ticks of a moment given in milliseconds from 1970-01-01.
constexpr std::uint64_t ticks_of_unix_ms(std::int64_t ms) noexcept {
  return k1970Ticks + static_cast<std::uint64_t>(ms * 10'000);
}

static_assert(civil_from_days(0).year == 1970 && civil_from_days(-1).month == 12 &&
              civil_from_days(19'723).day == 1 && civil_from_days(11'016).month == 2);

}  // namespace core::logger::calendar

#endif  // CORE_LOGGER_CALENDAR_CIVIL_TIME_H_
