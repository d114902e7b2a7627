// The POSIX platform layer: standard error as the debugger output and the
// local clock under the process's TZ.
#include "platform/platform.h"

#include <fcntl.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/library_test.h"

namespace core::logger::platform {
namespace {

using ::testing::MatchesRegex;

// Points file descriptor 2 at a pipe for its lifetime and reads back what
// was written to it.
class StderrCapture {
 public:
  StderrCapture() {
    EXPECT_EQ(::pipe(fds_), 0);
    ::fcntl(fds_[0], F_SETFL, O_NONBLOCK);
    ::fcntl(fds_[1], F_SETPIPE_SZ, 1 << 20);
    saved_ = ::dup(STDERR_FILENO);
    ::dup2(fds_[1], STDERR_FILENO);
  }
  ~StderrCapture() {
    restore();
    ::close(fds_[0]);
    ::close(fds_[1]);
  }
  std::string read() {
    restore();
    std::string out;
    char buffer[65536];
    for (ssize_t n; (n = ::read(fds_[0], buffer, sizeof buffer)) > 0;)
      out.append(buffer, static_cast<std::size_t>(n));
    return out;
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
    saved_ = -1;
  }
  int fds_[2];
  int saved_ = -1;
};

TEST(DebugOutputTest, WritesTheWholeTextButItsClosingNul) {
  StderrCapture capture;
  write_debug_output(std::string_view("one\0two\0", 8));
  write_debug_output("a view without NUL");
  EXPECT_EQ(capture.read(), std::string("one\0twoa view without NUL", 25));
}

TEST(DebugOutputTest, BuiltinChannelWritesEveryComposedTextWithoutItsNul) {
  detail::reset_for_testing();
  const std::string big(100'000, 'b');
  StderrCapture capture;
  log_format(LogOptions{}, testing::make_category("net"), testing::kInfo, "a\n{}",
             fmt::make_format_args(big));
  const std::string written = capture.read();
  EXPECT_EQ(testing::mask_time(written),
            "{hh:mm:ss.mmm} INFO: [net] > a\n{hh:mm:ss.mmm} INFO: [net] | " + big + "\n");
  detail::reset_for_testing();
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

TEST(LocalClockTest, FollowsTheZoneWithItsDaylightSavingState) {
  ScopedTimeZone zone("UTC0");
  EXPECT_EQ(observed_offset_seconds(), 0);
  zone.set("CCC7");  // seven hours behind UTC, no daylight saving
  EXPECT_EQ(observed_offset_seconds(), -7 * 3600);
  zone.set("AAA-3BBB,J1/0,J365/25");  // three hours ahead, daylight saving all year
  EXPECT_EQ(observed_offset_seconds(), 4 * 3600);
}

TEST(LocalClockTest, TimeOfDayInTheHeaderIsLocal) {
  ScopedTimeZone zone("CCC7");
  const std::uint64_t ticks = local_time_ticks();
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
