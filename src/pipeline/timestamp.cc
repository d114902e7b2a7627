#include "pipeline/timestamp.h"

#include <algorithm>
#include <cstring>

#include "pipeline/char_copy.h"
#include "platform/platform.h"

namespace core::logger::detail {
namespace {

constexpr std::string_view kInvalidSpec = "<invalid_datetime_format_specifier>";

// Writes `value` in decimal, zero-padded to at least `width` characters the
// way {fmt}'s "{:0N}" does (a minus sign counts in the width, digits are never
// cut). Returns the end of what it wrote.
char* write_padded(char* out, std::int32_t value, int width) {
  const bool negative = value < 0;
  const std::uint32_t magnitude =
      negative ? 0u - static_cast<std::uint32_t>(value) : static_cast<std::uint32_t>(value);
  const std::size_t size =
      std::max(static_cast<std::size_t>(width), negative + decimal_digit_count(magnitude));
  write_decimal(out, magnitude, size, negative);
  return out + size;
}

char* write_date(char* out, const DateTimeFields& f) {
  out = write_padded(out, f.year, 4);
  *out++ = '-';
  out = write_padded(out, f.month, 2);
  *out++ = '-';
  return write_padded(out, f.day, 2);
}

char* write_time(char* out, const DateTimeFields& f, bool with_milliseconds) {
  out = write_padded(out, f.hour, 2);
  *out++ = ':';
  out = write_padded(out, f.minute, 2);
  *out++ = ':';
  out = write_padded(out, f.second, 2);
  if (with_milliseconds) {
    *out++ = '.';
    out = write_padded(out, f.millisecond, 3);
  }
  return out;
}

}  // namespace

[[gnu::hot]] LogTimestamp current_timestamp() noexcept { return LogTimestamp{platform::local_time_ticks()}; }

DateTimeFields to_date_time_fields(LogTimestamp timestamp) noexcept {
  platform::SystemTimeFields system{};
  platform::file_time_to_system_time(timestamp.ticks - platform::k1601Ticks, &system);
  return DateTimeFields{system.year, system.month,  system.day,    system.day_of_week,
                        system.hour, system.minute, system.second, system.millisecond};
}

fmt::appender format_date_time(int spec, const DateTimeFields& fields, std::string_view zone,
                               fmt::appender out) {
  // Eight fields of at most 11 characters each, separators and the zone: the
  // zone is the only unbounded part, so it is copied separately.
  char text[128];
  char* end = text;
  switch (spec) {
    case 'd':
      end = write_date(end, fields);
      break;
    case 't':
    case 'T':
      end = write_time(end, fields, spec == 'T');
      break;
    case 'f':
    case 'F':
    case 'z':
    case 'Z':
      end = write_date(end, fields);
      *end++ = ' ';
      end = write_time(end, fields, spec == 'F' || spec == 'Z');
      break;
    default:
      return std::copy(kInvalidSpec.begin(), kInvalidSpec.end(), out);
  }
  out = std::copy(text, end, out);
  if (spec == 'z' || spec == 'Z') {
    *out++ = ' ';
    *out++ = '(';
    out = std::copy(zone.begin(), zone.end(), out);
    *out++ = ')';
  }
  return out;
}

[[gnu::hot]] void write_time_of_day(LogTimestamp timestamp, char* out) noexcept {
  const std::uint64_t since_1601 = timestamp.ticks - platform::k1601Ticks;
  // Values the calendar breakdown rejects show as all-zero fields.
  const std::uint64_t in_day =
      platform::is_unconvertible(since_1601) ? 0 : since_1601 % platform::kTicksPerDay;
  // Below 86,400,000: the rest is 32-bit arithmetic.
  const auto milliseconds_in_day = static_cast<std::uint32_t>(in_day / 10'000);
  const std::uint32_t seconds = milliseconds_in_day / 1000;
  const std::uint32_t milliseconds = milliseconds_in_day % 1000;
  copy_digit_pair(out, seconds / 3600);
  out[2] = ':';
  copy_digit_pair(out + 3, seconds / 60 % 60);
  out[5] = ':';
  copy_digit_pair(out + 6, seconds % 60);
  out[8] = '.';
  out[9] = static_cast<char>('0' + milliseconds / 100);
  copy_digit_pair(out + 10, milliseconds % 100);
}

}  // namespace core::logger::detail

auto fmt::formatter<core::logger::LogTimestamp>::format(const core::logger::LogTimestamp& timestamp,
                                                        fmt::format_context& ctx) const
    -> fmt::format_context::iterator {
  return core::logger::detail::format_date_time(spec, core::logger::detail::to_date_time_fields(timestamp),
                                                "local", ctx.out());
}
