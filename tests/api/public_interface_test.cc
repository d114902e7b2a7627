// Tests that use only the installed header and the shared library.
#include <string>

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/logger.h"
#include "support/recording_channel.h"

namespace core::logger {
namespace {

using ::testing::ElementsAre;

TEST(PublicInterfaceTest, CategoryIdIsUsableAtCompileTime) {
  static_assert(category_id("Assert") == 0xEB78D69Bu);
  static_assert(category_id("DataError") == 0x4A9830F1u);
  static_assert(category_id("") == 0x811C9DC5u);
  constexpr LogCategory kCategory{{"net", category_id("net")}, true, MessageVerbosity::Detailed};
  EXPECT_TRUE(can_dispatch_log(kCategory, MessageVerbosity::Detailed));
}

TEST(PublicInterfaceTest, TimestampFormatterWorksInAUsersProgram) {
  const LogTimestamp timestamp{637921789271239000};  // 2022-06-30 09:42:07.1239
  EXPECT_EQ(fmt::format("{:F}", timestamp), "2022-06-30 09:42:07.123");
  EXPECT_EQ(fmt::format("{}", timestamp), "2022-06-30 09:42:07");
  EXPECT_EQ(fmt::format(FMT_STRING("[{:T}]"), timestamp), "[09:42:07.123]");
}

TEST(PublicInterfaceTest, LogCallReachesChannelsThroughTheSharedLibrary) {
  // Channels cannot be removed and this binary cannot reset the library, so
  // the recorder outlives the test: later log calls still reach it.
  static testing::RecordingChannel recorder;
  add_default_channel(recorder.channel());
  add_default_channel(recorder.raw_channel());
  constexpr LogCategory kCategory{{"api", category_id("api")}, true, MessageVerbosity::Detailed};
  log_format(LogOptions{}, kCategory, LogLevel{"INFO", 2}, "one {}\ntwo", fmt::make_format_args(1));
  EXPECT_THAT(recorder.raw_lines(), ElementsAre("one 1\n", "two"));
  ASSERT_EQ(recorder.texts().size(), 1u);
  EXPECT_EQ(testing::mask_time(recorder.texts()[0]), testing::with_nul("{hh:mm:ss.mmm} INFO: [api] > one 1\n"
                                                                       "{hh:mm:ss.mmm} INFO: [api] | two\n"));
}

}  // namespace
}  // namespace core::logger
