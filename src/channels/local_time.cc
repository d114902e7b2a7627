#include "channels/local_time.h"

#include <climits>

#include "calendar/civil_time.h"
#include "channels/channels_platform.h"

namespace core::logger::channels_detail {
namespace {

// What changes once a second, per thread; trivially destructible, so that
// it never keeps the library loaded.
struct SecondCache {
  std::int64_t unix_second;  // of `unix_offset`, for the clock
  int unix_offset;
  std::int64_t local_second;  // of `local_offset`, for a call's time
  int local_offset;
  std::int64_t text_second;  // of the texts, whose offset is `text_offset`
  int text_offset;
  char date_time[19];  // "2026-12-07T09:42:07"
  char offset[6];      // "+01:00"
};
thread_local SecondCache t_second{INT64_MIN, 0, INT64_MIN, 0, INT64_MIN, 0, {}, {}};

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
    cache.unix_offset = channels_platform::utc_offset_seconds(second);
    cache.unix_second = second;
  }
  *utc_offset = cache.unix_offset;
  return LogTimestamp{calendar::ticks_of_unix_ms(ms + cache.unix_offset * std::int64_t{1000})};
}

int utc_offset_of(LogTimestamp local) noexcept {
  const std::int64_t second = calendar::floor_div(calendar::unix_ms_of_ticks(local.ticks), 1000);
  SecondCache& cache = t_second;
  if (cache.local_second != second) {
    // The offset in force at the moment whose local time this is: found from
    // the last one, then once more from itself, since it may differ.
    const int first = channels_platform::utc_offset_seconds(second - cache.local_offset);
    cache.local_offset = channels_platform::utc_offset_seconds(second - first);
    cache.local_second = second;
  }
  return cache.local_offset;
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
  if (cache.text_second != second || cache.text_offset != utc_offset) {
    const std::int64_t day = calendar::floor_div(second, 86400);
    const auto in_day = static_cast<unsigned>(second - day * 86400);
    char* at = put_date(cache.date_time, day);
    *at++ = 'T';
    at = put_digits(at, in_day / 3600, 2);
    *at++ = ':';
    at = put_digits(at, in_day / 60 % 60, 2);
    *at++ = ':';
    put_digits(at, in_day % 60, 2);
    const unsigned minutes = static_cast<unsigned>(utc_offset < 0 ? -utc_offset : utc_offset) / 60;
    cache.offset[0] = utc_offset < 0 ? '-' : '+';
    put_digits(cache.offset + 1, minutes / 60 % 100, 2);
    cache.offset[3] = ':';
    put_digits(cache.offset + 4, minutes % 60, 2);
    cache.text_second = second;
    cache.text_offset = utc_offset;
  }
  std::memcpy(out, cache.date_time, sizeof cache.date_time);
  out[19] = '.';
  put_digits(out + 20, static_cast<unsigned>(ms - second * 1000), 3);
  std::memcpy(out + 23, cache.offset, sizeof cache.offset);
  return out + kIsoTimeLength;
}

char* put_decimal(char* out, std::uint64_t value) noexcept {
  int count = 1;  // level values and line numbers are short: no table pays
  for (std::uint64_t rest = value; rest >= 10; rest /= 10) ++count;
  for (char* at = out + count; at != out; value /= 10) *--at = static_cast<char>('0' + value % 10);
  return out + count;
}

}  // namespace core::logger::channels_detail
