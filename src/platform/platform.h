// platform/platform.h: what each platform_<os>.cc provides.
//
// The library touches the operating system only through these functions; the
// build picks exactly one implementation file per OS. Every function here is
// thread-safe and raises nothing.
#ifndef CORE_LOGGER_PLATFORM_PLATFORM_H_
#define CORE_LOGGER_PLATFORM_PLATFORM_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "calendar/civil_time.h"

namespace core::logger::platform {

using calendar::k1601Ticks;
using calendar::kTicksPerDay;
using calendar::kTicksPerSecond;

// Whether the calendar breakdown below fails for `since_1601`, as the
// Windows one does: from 2^63 on.
constexpr bool is_unconvertible(std::uint64_t since_1601) noexcept {
  return since_1601 >= (std::uint64_t{1} << 63);
}

// What the debugger output writes to, as found when asked: the channel list
// asks once, when it is built, as it reads the mode.
struct DebugOutputKind {
  // Whether a write can raise SIGPIPE: standard error is a pipe or a socket,
  // or cannot be looked at. Never on Windows.
  bool may_raise_sigpipe;
};
DebugOutputKind debug_output_kind() noexcept;

// Writes `text` to the debugger output. On Windows that is the debugger, in
// one call that ends at the text's first NUL and, where that cuts the text
// mid-line, a line feed after it. Elsewhere it is file descriptor 2, in one
// write of the whole text but its closing NUL (NUL bytes before it included);
// a view without a closing NUL goes out whole. With `guard_sigpipe`, a write
// to a pipe or socket whose reader is gone fails without SIGPIPE ending the
// process, whatever the process does with the signal (at the cost of three
// system calls more); without it, the caller knows that standard error
// raises no SIGPIPE.
void write_debug_output(std::string_view text, bool guard_sigpipe = true) noexcept;

// Which texts of the built-in channel reach the debugger output.
enum class DebugOutputMode {
  kEveryText,
  kNoText,
  kFallback,  // only texts that no channel of the host receives
};

// The mode in the process's environment, read afresh on every call. The
// Windows debugger output takes every text. Elsewhere CORE_LOGGER_STDERR
// decides: "always" every text, "never" none, and any other value, or none,
// the fallback.
DebugOutputMode debug_output_mode() noexcept;

// The present local wall-clock time, with the daylight-saving state in force
// now, as 100 ns ticks since 0001-01-01 00:00:00. The clock is read afresh on
// every call; on POSIX the zone offset once per second and thread, so a
// change of TZ shows on a thread from its next second on.
std::uint64_t local_time_ticks() noexcept;

// A calendar breakdown laid out like the Windows SYSTEMTIME record.
struct SystemTimeFields {
  std::uint16_t year;
  std::uint16_t month;
  std::uint16_t day_of_week;  // 0 is Sunday
  std::uint16_t day;
  std::uint16_t hour;
  std::uint16_t minute;
  std::uint16_t second;
  std::uint16_t millisecond;  // truncated, never rounded
};

// Breaks `since_1601` (100 ns ticks since 1601-01-01 00:00:00, no zone shift)
// down into `*fields` in the proleptic Gregorian calendar. Sets every field to
// 0 exactly where `is_unconvertible(since_1601)`.
void file_time_to_system_time(std::uint64_t since_1601, SystemTimeFields* fields) noexcept;

// Has `prepare` run before every fork() and `after` after it, in the parent
// and in the child, with the platform's own lock (around the zone lookup)
// taken last and released first. For one caller; nothing where processes do
// not fork. The handlers of a library go when it is unloaded.
void at_fork(void (*prepare)(), void (*after)()) noexcept;

// Aligned heap allocation; returns null when the heap is exhausted.
// REQUIRES: `alignment` is a power of two.
void* aligned_allocate(std::size_t size, std::size_t alignment) noexcept;
void aligned_free(void* block) noexcept;

}  // namespace core::logger::platform

#endif  // CORE_LOGGER_PLATFORM_PLATFORM_H_
