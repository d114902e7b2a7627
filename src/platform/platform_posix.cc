// The platform layer on POSIX systems (Linux): standard error stands in for
// the debugger output, as the fallback output unless CORE_LOGGER_STDERR says
// otherwise, and the calendar breakdown is computed by hand so that
// it reproduces the Windows conversion bit for bit without depending on the
// process's time zone.
#include "platform/platform.h"

#include <errno.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

namespace core::logger::platform {
namespace {

// 1970-01-01 counted in ticks from 0001-01-01.
constexpr std::int64_t kUnixEpochTicks = 621'355'968'000'000'000;
// Days from 1601-01-01 to 1970-01-01.
constexpr std::int64_t kDays1601To1970 = 134'774;

}  // namespace

void write_debug_output(std::string_view text) noexcept {
  // The closing NUL terminates the text and is not written; NUL bytes inside
  // the message are, as the console and file channels write them.
  if (!text.empty() && text.back() == '\0') text.remove_suffix(1);
  // One write per text, so that texts of concurrent calls do not interleave
  // mid-line; only an interruption before anything was written is retried.
  // Any other failure (a closed standard error among them) is the host's.
  while (::write(STDERR_FILENO, text.data(), text.size()) < 0 && errno == EINTR) {
  }
}

DebugOutputMode debug_output_mode() noexcept {
  const char* value = ::getenv("CORE_LOGGER_STDERR");
  if (value == nullptr) return DebugOutputMode::kFallback;
  const std::string_view mode(value);
  if (mode == "always") return DebugOutputMode::kEveryText;
  if (mode == "never") return DebugOutputMode::kNoText;
  return DebugOutputMode::kFallback;
}

std::uint64_t local_time_ticks() noexcept {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  // localtime_r on every call: the offset must be the one in force now, and
  // a host that changes TZ and calls tzset() expects the next line to show it.
  tm local{};
  const time_t seconds = now.tv_sec;
  if (::localtime_r(&seconds, &local) == nullptr) return k1601Ticks;
  const std::int64_t local_seconds = static_cast<std::int64_t>(seconds) + local.tm_gmtoff;
  return static_cast<std::uint64_t>(
      kUnixEpochTicks + local_seconds * static_cast<std::int64_t>(kTicksPerSecond) + now.tv_nsec / 100);
}

void file_time_to_system_time(std::uint64_t since_1601, SystemTimeFields* fields) noexcept {
  if (is_unconvertible(since_1601)) {
    *fields = SystemTimeFields{};
    return;
  }
  const std::uint64_t days = since_1601 / kTicksPerDay;
  const std::uint64_t in_day = since_1601 % kTicksPerDay;

  // Civil date from a day count (H. Hinnant's algorithm), shifted to count
  // from 1970 so that the era arithmetic stays non-negative for every input.
  std::int64_t z = static_cast<std::int64_t>(days) - kDays1601To1970 + 719'468;
  const std::int64_t era = (z >= 0 ? z : z - 146'096) / 146'097;
  const std::int64_t doe = z - era * 146'097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36'524 - doe / 146'096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  const std::int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const std::int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);

  fields->year = static_cast<std::uint16_t>(year);
  fields->month = static_cast<std::uint16_t>(month);
  fields->day = static_cast<std::uint16_t>(day);
  fields->day_of_week = static_cast<std::uint16_t>((days + 1) % 7);  // 1601-01-01 was a Monday
  fields->hour = static_cast<std::uint16_t>(in_day / (3600 * kTicksPerSecond));
  fields->minute = static_cast<std::uint16_t>(in_day / (60 * kTicksPerSecond) % 60);
  fields->second = static_cast<std::uint16_t>(in_day / kTicksPerSecond % 60);
  fields->millisecond = static_cast<std::uint16_t>(in_day % kTicksPerSecond / 10'000);
}

void* aligned_allocate(std::size_t size, std::size_t alignment) noexcept {
  if (alignment < sizeof(void*)) alignment = sizeof(void*);
  void* block = nullptr;
  if (::posix_memalign(&block, alignment, size) != 0) return nullptr;
  return block;
}

void aligned_free(void* block) noexcept { ::free(block); }

}  // namespace core::logger::platform
