// The library through its installed header and shared library only, which
// proves the exports of the .so and of the DLL.
#include <string>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "core/logger.h"
#include "support/faults.h"
#include "support/recording_channel.h"

namespace core::logger {
namespace {

static_assert(category_id("Assert") == 0xEB78D69Bu && category_id("") == 0x811C9DC5u);

// This program cannot reset the library: what it registers stays, so the
// test is one, in the order that it needs.
TEST(PublicInterfaceTest, TimestampsFormatAndCallsReachChannelsWhoseExceptionsReachTheCaller) {
  const LogTimestamp timestamp{637921789271239000};  // 2022-06-30 09:42:07.1239
  EXPECT_EQ(fmt::format("{:F}|{}", timestamp, timestamp), "2022-06-30 09:42:07.123|2022-06-30 09:42:07");
  EXPECT_EQ(fmt::format(FMT_STRING("[{:T}]"), timestamp), "[09:42:07.123]");
  static testing::RecordingChannel recorder, later;
  static bool armed = false;
  add_default_channel(recorder.channel());
  add_default_channel(recorder.raw_channel());
  add_default_channel(testing::throwing_channel(&armed));
  add_default_channel(later.channel());
  constexpr LogCategory kApi{{"api", category_id("api")}, true, MessageVerbosity::Detailed};
  EXPECT_TRUE(can_dispatch_log(kApi, MessageVerbosity::Detailed));
  log_format(LogOptions{}, kApi, LogLevel{"INFO", 2}, "one {}\ntwo", fmt::make_format_args(1));
  EXPECT_EQ(recorder.raw_lines(), (std::vector<std::string>{"one 1\n", "two"}));
  EXPECT_EQ(testing::mask_time(recorder.texts().at(0)),
            testing::with_nul("{hh:mm:ss.mmm} INFO: [api] > one 1\n{hh:mm:ss.mmm} INFO: [api] | two\n"));
  // On Windows the exception crosses a DLL with its own static C++ runtime.
  armed = true;
  EXPECT_THROW(log_format(LogOptions{}, kApi, LogLevel{"INFO", 2}, "boom", {}), testing::ChannelFailure);
  EXPECT_EQ(later.texts().size(), 1u);  // later channels are skipped
}

}  // namespace
}  // namespace core::logger
