#include "channels/local_time.h"

#include <climits>

#include <fmt/format.h>

#include "calendar/civil_time.h"
#include "channels/channels_platform.h"

namespace core::logger::channels_detail {
namespace {

// Trivially destructible, so that it never keeps the library loaded.
struct SecondCache {
  std::int64_t unix_second;  // of `offset`
  int offset;
  std::int64_t local_second;  // of `text`
  char text[19];              // "2026-12-07T09:42:07"
};
thread_local SecondCache t_second{INT64_MIN, 0, INT64_MIN, {}};

// Writes `value` as `width` decimal digits, zero-padded, and returns the end.
char* put_digits(char* out, unsigned value, int width) noexcept {
  for (int i = width - 1; i >= 0; --i, value /= 10) out[i] = static_cast<char>('0' + value % 10);
  return out + width;
}

}  // namespace

LogTimestamp local_time_now(int* utc_offset) noexcept {
  const std::int64_t ms = channels_platform::unix_time_ms();
  const std::int64_t second = calendar::floor_div(ms, 1000);
  SecondCache& cache = t_second;
  if (cache.unix_second != second) {
    cache.offset = channels_platform::utc_offset_seconds(second);
    cache.unix_second = second;
  }
  *utc_offset = cache.offset;
  return LogTimestamp{calendar::ticks_of_unix_ms(ms + cache.offset * std::int64_t{1000})};
}

char* put_date(char* out, std::int64_t day) noexcept {
  const calendar::CivilDate date = calendar::civil_from_days(day);
  out = put_digits(out, static_cast<unsigned>(date.year < 0 ? 0 : date.year % 10000), 4);
  *out++ = '-';
  out = put_digits(out, date.month, 2);
  *out++ = '-';
  return put_digits(out, date.day, 2);
}

char* put_iso_time(char* out, LogTimestamp local, int utc_offset) noexcept {
  const std::int64_t ms = calendar::unix_ms_of_ticks(local.ticks);
  const std::int64_t second = calendar::floor_div(ms, 1000);
  SecondCache& cache = t_second;
  if (cache.local_second != second) {
    const std::int64_t day = calendar::floor_div(second, 86400);
    const auto in_day = static_cast<unsigned>(second - day * 86400);
    char* at = put_date(cache.text, day);
    *at++ = 'T';
    at = put_digits(at, in_day / 3600, 2);
    *at++ = ':';
    at = put_digits(at, in_day / 60 % 60, 2);
    *at++ = ':';
    put_digits(at, in_day % 60, 2);
    cache.local_second = second;
  }
  std::memcpy(out, cache.text, sizeof cache.text);
  out += sizeof cache.text;
  *out++ = '.';
  out = put_digits(out, static_cast<unsigned>(ms - second * 1000), 3);
  const unsigned minutes = static_cast<unsigned>(utc_offset < 0 ? -utc_offset : utc_offset) / 60;
  *out++ = utc_offset < 0 ? '-' : '+';
  out = put_digits(out, minutes / 60 % 100, 2);
  *out++ = ':';
  return put_digits(out, minutes % 60, 2);
}

char* put_decimal(char* out, std::uint64_t value) noexcept {
  const fmt::format_int digits(value);
  std::memcpy(out, digits.data(), digits.size());
  return out + digits.size();
}

}  // namespace core::logger::channels_detail
