// The platform layer on POSIX systems (Linux): standard error stands in for
// the debugger output, as the fallback output unless CORE_LOGGER_STDERR says
// otherwise, written so that a closed pipe cannot end the process; fork
// handlers through pthread_atfork; and the calendar breakdown is computed by
// hand so that it reproduces the Windows conversion bit for bit without
// depending on the process's time zone.
#include "platform/platform.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <limits>
#include <mutex>
#include <type_traits>

#include "posix/held_signal.h"

namespace core::logger::platform {
namespace {

// Days from 1601-01-01 to 1970-01-01.
constexpr std::int64_t kDays1601To1970 = 134'774;

// The zone offset that localtime_r gave this thread for one epoch second.
struct ZoneOffset {
  time_t second;
  long offset;  // seconds east of UTC, daylight saving included
};

// Trivially destructible and constant-initialised: a thread_local with a
// destructor would register it through __cxa_thread_atexit, which keeps
// dlclose from unloading the library while the thread lives.
thread_local ZoneOffset t_zone_offset{std::numeric_limits<time_t>::min(), 0};
static_assert(std::is_trivially_destructible_v<ZoneOffset>);

// localtime_r takes glibc's zone lock, which a fork would copy held if another
// thread of ours were inside: the lock is taken around every fork.
std::mutex g_zone_lock;

void (*g_fork_prepare)() = nullptr;
void (*g_fork_after)() = nullptr;

void prepare_fork() {
  g_fork_prepare();
  g_zone_lock.lock();
}

void after_fork() {
  g_zone_lock.unlock();
  g_fork_after();
}

// One write per text, so that texts of concurrent calls do not interleave
// mid-line; only an interruption before anything was written is retried.
// Returns 0 or the error number; a failure (a closed standard error among
// them) is the host's.
int write_whole(std::string_view text) noexcept {
  for (;;) {
    if (::write(STDERR_FILENO, text.data(), text.size()) >= 0) return 0;
    if (errno != EINTR) return errno;
  }
}

}  // namespace

DebugOutputKind debug_output_kind() noexcept {
  return DebugOutputKind{posix::may_raise_sigpipe(STDERR_FILENO), ::isatty(STDERR_FILENO) == 1};
}

void write_debug_output(std::string_view text, bool guard_sigpipe) noexcept {
  // The closing NUL terminates the text and is not written; NUL bytes inside
  // the message are, as the console and file channels write them.
  if (!text.empty() && text.back() == '\0') text.remove_suffix(1);
  if (guard_sigpipe) {
    posix::with_signal_held(SIGPIPE, EPIPE, [text] { return write_whole(text); });
  } else {
    write_whole(text);
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

[[gnu::hot]] std::uint64_t local_time_ticks() noexcept {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  // localtime_r takes a process-wide lock and looks at TZ on every call, yet
  // the offset it finds changes only on a second boundary (daylight saving
  // starts and ends on one). So each thread converts once per second; a host
  // that changes TZ and calls tzset() sees the new zone on a thread from that
  // thread's next second on.
  ZoneOffset& cached = t_zone_offset;
  if (cached.second != now.tv_sec) {
    tm local{};
    const time_t seconds = now.tv_sec;
    std::unique_lock<std::mutex> zone(g_zone_lock);
    // A failure is not kept: the next call tries again.
    if (::localtime_r(&seconds, &local) == nullptr) return k1601Ticks;
    zone.unlock();
    cached = ZoneOffset{seconds, local.tm_gmtoff};
  }
  const std::int64_t local_seconds = static_cast<std::int64_t>(now.tv_sec) + cached.offset;
  return calendar::k1970Ticks +
         static_cast<std::uint64_t>(local_seconds * static_cast<std::int64_t>(kTicksPerSecond) +
                                    now.tv_nsec / 100);
}

void file_time_to_system_time(std::uint64_t since_1601, SystemTimeFields* fields) noexcept {
  if (is_unconvertible(since_1601)) {
    *fields = SystemTimeFields{};
    return;
  }
  const std::uint64_t days = since_1601 / kTicksPerDay;
  const std::uint64_t in_day = since_1601 % kTicksPerDay;

  const calendar::CivilDate date =
      calendar::civil_from_days(static_cast<std::int64_t>(days) - kDays1601To1970);
  fields->year = static_cast<std::uint16_t>(date.year);
  fields->month = static_cast<std::uint16_t>(date.month);
  fields->day = static_cast<std::uint16_t>(date.day);
  fields->day_of_week = static_cast<std::uint16_t>((days + 1) % 7);  // 1601-01-01 was a Monday
  fields->hour = static_cast<std::uint16_t>(in_day / (3600 * kTicksPerSecond));
  fields->minute = static_cast<std::uint16_t>(in_day / (60 * kTicksPerSecond) % 60);
  fields->second = static_cast<std::uint16_t>(in_day / kTicksPerSecond % 60);
  fields->millisecond = static_cast<std::uint16_t>(in_day % kTicksPerSecond / 10'000);
}

void at_fork(void (*prepare)(), void (*after)()) noexcept {
  g_fork_prepare = prepare;
  g_fork_after = after;
  ::pthread_atfork(&prepare_fork, &after_fork, &after_fork);
}

void* aligned_allocate(std::size_t size, std::size_t alignment) noexcept {
  if (alignment < sizeof(void*)) alignment = sizeof(void*);
  void* block = nullptr;
  if (::posix_memalign(&block, alignment, size) != 0) return nullptr;
  return block;
}

void aligned_free(void* block) noexcept { ::free(block); }

}  // namespace core::logger::platform
