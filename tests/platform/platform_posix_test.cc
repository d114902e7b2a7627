// The POSIX platform layer: standard error as the debugger output and the
// local clock under the process's TZ, whose offset each thread keeps for a
// second.
#include "platform/platform.h"

#include <stdlib.h>
#include <time.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "core/log.h"
#include "support/library_reset.h"
#include "support/recording_channel.h"
#include "support/standard_error.h"

namespace core::logger::platform {
namespace {

using namespace std::string_literals;

// Whole texts but their closing NUL, NUL bytes inside included, each in one
// write; the built-in channel's copy of a composed text too.
TEST(DebugOutputTest, WritesTheWholeTextButItsClosingNul) {
  detail::reset_for_testing();
  const std::string big(100'000, 'b');
  std::string written;
  {
    testing::StandardErrorRedirect captured(/*silent=*/false);
    write_debug_output(std::string_view("one\0two\0", 8));
    write_debug_output("|");
    log_format(LogOptions{}, make_category("net"), kInfoLevel, "a\n{}", fmt::make_format_args(big));
    log_format(LogOptions{}, make_category("net"), kInfoLevel, std::string_view("c\0d\n", 4), {});
    written = captured.written();
  }
  detail::reset_for_testing();
  EXPECT_EQ(testing::mask_time(written),
            "one\0two|{hh:mm:ss.mmm} INFO: [net] > a\n{hh:mm:ss.mmm} INFO: [net] | "s + big +
                "\n{hh:mm:ss.mmm} INFO: [net] > c\0d\n{hh:mm:ss.mmm} INFO: [net] | \n"s);
}

// Sets TZ for one test and applies it the way a host would.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) {
    if (const char* old = ::getenv("TZ")) saved_ = old, had_ = true;
    set(zone);
  }
  ~ScopedTimeZone() {
    if (had_) {
      ::setenv("TZ", saved_.c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }
  void set(const char* zone) {
    ::setenv("TZ", zone, 1);
    ::tzset();
  }

 private:
  std::string saved_;
  bool had_ = false;
};

constexpr std::int64_t kTicksPerSecond = 10'000'000;
constexpr std::int64_t kUnixEpoch = 621'355'968'000'000'000;  // 1970-01-01 in ticks since 0001-01-01

// Local ticks minus UTC ticks, in whole seconds, rounded to the nearest minute.
std::int64_t observed_offset_seconds() {
  const std::int64_t utc_before = kUnixEpoch + static_cast<std::int64_t>(::time(nullptr)) * kTicksPerSecond;
  const std::int64_t local = static_cast<std::int64_t>(local_time_ticks());
  const std::int64_t seconds = (local - utc_before) / kTicksPerSecond;
  return std::llround(static_cast<double>(seconds) / 60.0) * 60;
}

// `read` on a thread of its own, which has converted no second yet.
template <typename Read>
auto on_a_fresh_thread(Read read) {
  decltype(read()) value{};
  std::thread([&] { value = read(); }).join();
  return value;
}

std::int64_t utc_ticks_now() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return kUnixEpoch + now.tv_sec * kTicksPerSecond + now.tv_nsec / 100;
}

TEST(LocalClockTest, FollowsTheZoneWithItsDaylightSavingState) {
  ScopedTimeZone zone("UTC0");
  EXPECT_EQ(on_a_fresh_thread(observed_offset_seconds), 0);
  zone.set("CCC7");  // seven hours behind UTC, no daylight saving
  EXPECT_EQ(on_a_fresh_thread(observed_offset_seconds), -7 * 3600);
  zone.set("AAA-3BBB,J1/0,J365/25");  // three hours ahead, daylight saving all year
  EXPECT_EQ(on_a_fresh_thread(observed_offset_seconds), 4 * 3600);
}

// The offset a thread found is kept for the rest of its second, not longer.
TEST(LocalClockTest, AThreadSeesANewZoneFromItsNextSecondOn) {
  ScopedTimeZone zone("UTC0");
  ASSERT_EQ(observed_offset_seconds(), 0);
  zone.set("CCC7");
  const time_t changed = ::time(nullptr);
  while (::time(nullptr) == changed) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(observed_offset_seconds(), -7 * 3600);
}

// To the tick: the clock reading, shifted by an offset with seconds in it,
// on the call that converts and on those that reuse the conversion.
TEST(LocalClockTest, TicksAreTheClockReadingShiftedByTheOffset) {
  ScopedTimeZone zone("ODD-1:02:03");
  constexpr std::int64_t kOffset = 3723 * kTicksPerSecond;
  on_a_fresh_thread([&] {
    for (int i = 0; i < 3; ++i) {
      const std::int64_t before = utc_ticks_now();
      const auto ticks = static_cast<std::int64_t>(local_time_ticks());
      const std::int64_t after = utc_ticks_now();
      EXPECT_GE(ticks, before + kOffset);
      EXPECT_LE(ticks, after + kOffset);
    }
    return 0;
  });
}

TEST(LocalClockTest, TimeOfDayInTheHeaderIsLocal) {
  ScopedTimeZone zone("CCC7");
  const std::uint64_t ticks = on_a_fresh_thread(local_time_ticks);
  const time_t now = ::time(nullptr) - 7 * 3600;
  tm utc{};
  ::gmtime_r(&now, &utc);
  const std::string expected = fmt::format("{:02}:{:02}", utc.tm_hour, utc.tm_min);
  const std::string shown = fmt::format("{:t}", LogTimestamp{ticks}).substr(0, 5);
  if (shown != expected) {  // the minute may have turned between the two reads
    const time_t later = now + 60;
    ::gmtime_r(&later, &utc);
    EXPECT_EQ(shown, fmt::format("{:02}:{:02}", utc.tm_hour, utc.tm_min));
  }
}

}  // namespace
}  // namespace core::logger::platform
