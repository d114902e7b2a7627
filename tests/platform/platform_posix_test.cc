// The POSIX platform layer: standard error as the debugger output, and the
// local clock under the process's TZ.
#include "platform/platform.h"

#include <stdlib.h>
#include <time.h>

#include <cmath>
#include <string>

#include <gtest/gtest.h>

#include "core/log.h"
#include "lifecycle/library_lifecycle.h"
#include "support/recording_channel.h"
#include "support/standard_error.h"

namespace core::logger::platform {
namespace {

TEST(DebugOutputTest, EveryComposedTextUpToItsFirstNul) {
  detail::reset_for_testing();
  const std::string big(100'000, 'b');
  std::string written;
  {
    testing::StandardErrorRedirect captured(/*silent=*/false);
    write_debug_output(std::string_view("visible\0hidden", 14));
    log_format(LogOptions{}, make_category("net"), kInfoLevel, "a\n{}", fmt::make_format_args(big));
    log_format(LogOptions{}, make_category("net"), kInfoLevel, std::string_view("c\0d\n", 4), {});
    written = captured.written();
  }
  detail::reset_for_testing();
  EXPECT_EQ(testing::mask_time(written),
            "visible{hh:mm:ss.mmm} INFO: [net] > a\n{hh:mm:ss.mmm} INFO: [net] | " + big +
                "\n{hh:mm:ss.mmm} INFO: [net] > c");
}

TEST(LocalClockTest, FollowsTheZoneWithItsDaylightSavingState) {
  const std::string saved = getenv("TZ") != nullptr ? getenv("TZ") : "";
  // Local ticks minus UTC ticks, to the nearest minute.
  const auto offset_in = [](const char* zone) {
    setenv("TZ", zone, 1);
    tzset();
    const double utc = 621'355'968'000'000'000.0 + static_cast<double>(time(nullptr)) * 1e7;
    return std::lround((static_cast<double>(local_time_ticks()) - utc) / 6e8) * 60;
  };
  EXPECT_EQ(offset_in("UTC0"), 0);
  EXPECT_EQ(offset_in("CCC7"), -7 * 3600);                  // behind UTC, no daylight saving
  EXPECT_EQ(offset_in("AAA-3BBB,J1/0,J365/25"), 4 * 3600);  // ahead, daylight saving all year
  saved.empty() ? unsetenv("TZ") : setenv("TZ", saved.c_str(), 1);
  tzset();
}

}  // namespace
}  // namespace core::logger::platform
