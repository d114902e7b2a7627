// channels/local_time.h: the clock, dates and times of the channels. Each
// thread keeps the UTC offset and the time text of its current second.
#ifndef CORE_LOGGER_CHANNELS_LOCAL_TIME_H_
#define CORE_LOGGER_CHANNELS_LOCAL_TIME_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/logger.h"

namespace core::logger::channels_detail {

// The local time from the coarse clock (good to a few milliseconds), and the
// zone's offset from UTC, in seconds east, at `*utc_offset`.
LogTimestamp local_time_now(int* utc_offset) noexcept;

// The zone's offset from UTC, in seconds east, at the moment whose local
// time is `local`.
int utc_offset_of(LogTimestamp local) noexcept;

// "2026-12-07" for a day counted from 1970-01-01, at `out`; returns the end.
// Years beyond four digits, which no clock reaches, keep their last four.
constexpr std::size_t kDateLength = 10;
char* put_date(char* out, std::int64_t day) noexcept;

// "2026-12-07T09:42:07.123+01:00" at `out` (ISO 8601, the offset in whole
// minutes); returns the end.
constexpr std::size_t kIsoTimeLength = 29;
char* put_iso_time(char* out, LogTimestamp local, int utc_offset) noexcept;

// `value` in decimal digits (at most 20) at `out`; returns the end.
char* put_decimal(char* out, std::uint64_t value) noexcept;

// Copies `text`, a literal, at `out`; returns the end.
template <std::size_t N>
char* put_text(char* out, const char (&text)[N]) noexcept {
  std::memcpy(out, text, N - 1);
  return out + N - 1;
}

}  // namespace core::logger::channels_detail

#endif  // CORE_LOGGER_CHANNELS_LOCAL_TIME_H_
