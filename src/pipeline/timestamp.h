// pipeline/timestamp.h: reading the clock, breaking a timestamp down into
// calendar fields, and writing it in the layout that the spec letter picks.
//
// Nothing here keeps state; every function is thread-safe.
#ifndef CORE_LOGGER_PIPELINE_TIMESTAMP_H_
#define CORE_LOGGER_PIPELINE_TIMESTAMP_H_

#include <cstdint>
#include <string_view>

#include <fmt/core.h>

#include "core/logger.h"

namespace core::logger::detail {

struct DateTimeFields {
  std::int32_t year;
  std::int32_t month;
  std::int32_t day;
  std::int32_t day_of_week;  // 0 is Sunday; no layout writes it
  std::int32_t hour;
  std::int32_t minute;
  std::int32_t second;
  std::int32_t millisecond;
};

// The present local time: the clock read afresh, and the zone offset that
// platform::local_time_ticks finds.
LogTimestamp current_timestamp() noexcept;

// The calendar fields of `timestamp`, milliseconds truncated; all zero where
// the breakdown cannot convert the value (anything before 1601, among others).
DateTimeFields to_date_time_fields(LogTimestamp timestamp) noexcept;

// Writes the layout that the spec letter selects ('d', 't', 'T', 'f', 'F', 'z', 'Z';
// anything else gives "<invalid_datetime_format_specifier>") to `out`.
fmt::appender format_date_time(int spec, const DateTimeFields& fields, std::string_view zone,
                               fmt::appender out);

// The length of the 'T' layout for any timestamp: "HH:MM:SS.mmm".
constexpr std::size_t kTimeOfDayLength = 12;

// Writes the 'T' layout of `timestamp` to `out` (exactly kTimeOfDayLength
// characters, no terminator) without going through {fmt}: the composers'
// fast path, byte for byte what format_date_time('T', ...) writes.
void write_time_of_day(LogTimestamp timestamp, char* out) noexcept;

}  // namespace core::logger::detail

#endif  // CORE_LOGGER_PIPELINE_TIMESTAMP_H_
