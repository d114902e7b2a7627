// Where the built-in channel's copy of a text goes on POSIX systems: standard
// error, up to the text's first NUL.
#include <string>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "core/logger.h"
#include "lifecycle/library_lifecycle.h"
#include "support/recording_channel.h"
#include "support/standard_error.h"

namespace core::logger {
namespace {

using namespace std::string_literals;

TEST(BuiltInChannelTest, WritesTheTextUpToItsFirstNul) {
  constexpr LogCategory kCategory{{"bad", category_id("bad")}, true, MessageVerbosity::Detailed};
  std::string written;
  {
    testing::StandardErrorCapture captured;
    log_format(LogOptions{}, kCategory, LogLevel{"INFO", 2}, "a\0b {}\n"s, fmt::make_format_args(1));
    written = captured.written();
  }
  detail::reset_for_testing();
  EXPECT_EQ(testing::mask_time(written), "{hh:mm:ss.mmm} INFO: [bad] > a");
}

}  // namespace
}  // namespace core::logger
