// A channel's exception crosses the shared library (on Windows a DLL with its
// own static copy of the C++ runtime) on its way back to the caller.
#include <stdexcept>
#include <string>

#include <fmt/core.h>
#include <gtest/gtest.h>

#include "core/logger.h"
#include "support/recording_channel.h"

namespace core::logger {
namespace {

struct ChannelFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

void throw_from_channel(void* armed, const DispatchContext&, const LogCategory&, const LogLevel&,
                        std::string_view) {
  if (*static_cast<bool*>(armed)) throw ChannelFailure("channel failed");
}

TEST(ChannelExceptionTest, ReachesTheCallerThroughTheSharedLibrary) {
  static bool armed = false;
  static testing::RecordingChannel later;
  add_default_channel(LogChannel{"throwing", &throw_from_channel, &armed});
  add_default_channel(later.channel());
  // A short name: this binary cannot reset the library, and a wider header
  // would pad the headers that other tests here compare exactly.
  constexpr LogCategory kCategory{{"x", category_id("x")}, true, MessageVerbosity::Detailed};

  armed = true;
  try {
    log_format(LogOptions{}, kCategory, LogLevel{"INFO", 2}, "boom {}", fmt::make_format_args(1));
    ADD_FAILURE() << "the channel's exception did not reach the caller";
  } catch (const ChannelFailure& failure) {
    EXPECT_STREQ(failure.what(), "channel failed");
  }
  EXPECT_TRUE(later.texts().empty());  // later channels are skipped

  armed = false;
  log_format(LogOptions{}, kCategory, LogLevel{"INFO", 2}, "after", fmt::format_args());
  EXPECT_EQ(later.texts().size(), 1u);
}

}  // namespace
}  // namespace core::logger
