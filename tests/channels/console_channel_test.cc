// The console channels: the colour decision and the bytes they write.
#include <cstdio>
#include <string>
#include <string_view>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/channels.h"
#include "core/log.h"
#include "support/capture_test.h"
#include "support/recording_channel.h"
#include "support/temp_file.h"

namespace core::logger {
namespace {

using testing::TempFile;
using testing::with_nul;

// -----------------------------------------------------------------------------
// The colour decision
// -----------------------------------------------------------------------------

TEST(ConsoleColorDecisionTest, AutoColoursOnlyATerminalWithoutNoColor) {
  EXPECT_TRUE(console_color_wanted(ColorMode::Auto, true, nullptr));
  EXPECT_FALSE(console_color_wanted(ColorMode::Auto, false, nullptr));
  EXPECT_FALSE(console_color_wanted(ColorMode::Auto, true, "1"));
  EXPECT_FALSE(console_color_wanted(ColorMode::Auto, true, "0"));  // any value counts
  EXPECT_FALSE(console_color_wanted(ColorMode::Auto, false, "1"));
}

TEST(ConsoleColorDecisionTest, EmptyNoColorIsLikeUnset) {
  EXPECT_TRUE(console_color_wanted(ColorMode::Auto, true, ""));
}

TEST(ConsoleColorDecisionTest, ExplicitModesIgnoreTerminalAndNoColor) {
  for (bool terminal : {false, true}) {
    for (const char* no_color : {static_cast<const char*>(nullptr), "", "1"}) {
      EXPECT_TRUE(console_color_wanted(ColorMode::Always, terminal, no_color));
      EXPECT_FALSE(console_color_wanted(ColorMode::Never, terminal, no_color));
    }
  }
}

// -----------------------------------------------------------------------------
// What a console channel writes
// -----------------------------------------------------------------------------

class ConsoleChannelTest : public ::testing::Test {
 protected:
  // Everything that `write` put on a stream, for each text in turn.
  std::string written(bool color, const LogLevel& level, std::string_view text) {
    TempFile file("console");
    std::FILE* stream = std::fopen(file.path().c_str(), "wb");
    EXPECT_NE(stream, nullptr);
    if (stream == nullptr) return std::string();
    ConsoleChannel(stream, color).write(level, text);
    std::fclose(stream);
    return file.contents();
  }
};

TEST_F(ConsoleChannelTest, PlainTextIsWrittenWithoutItsNul) {
  EXPECT_EQ(written(false, kInfoLevel, with_nul("{12:00:00.000} INFO: [a] > x\n")),
            "{12:00:00.000} INFO: [a] > x\n");
}

TEST_F(ConsoleChannelTest, InnerNulAndCarriageReturnPassThrough) {
  const std::string text = with_nul(std::string("a\0b\r\n", 5));
  EXPECT_EQ(written(false, kInfoLevel, text), std::string("a\0b\r\n", 5));
}

TEST_F(ConsoleChannelTest, ColourWrapsTheTextAndResetsBeforeTheLastLineFeed) {
  EXPECT_EQ(written(true, kWarningLevel, with_nul("one\ntwo\n")), "\x1b[33mone\ntwo\x1b[0m\n");
}

TEST_F(ConsoleChannelTest, ColourFollowsTheLevelValue) {
  EXPECT_EQ(written(true, kTraceLevel, with_nul("x\n")), "\x1b[2mx\x1b[0m\n");
  EXPECT_EQ(written(true, kDebugLevel, with_nul("x\n")), "\x1b[36mx\x1b[0m\n");
  EXPECT_EQ(written(true, kInfoLevel, with_nul("x\n")), "\x1b[32mx\x1b[0m\n");
  EXPECT_EQ(written(true, kWarningLevel, with_nul("x\n")), "\x1b[33mx\x1b[0m\n");
  EXPECT_EQ(written(true, kErrorLevel, with_nul("x\n")), "\x1b[31mx\x1b[0m\n");
  EXPECT_EQ(written(true, LogLevel{"CRIT", 9}, with_nul("x\n")), "\x1b[1;31mx\x1b[0m\n");
}

TEST_F(ConsoleChannelTest, OddTextsAreWrittenAsTheyAre) {
  EXPECT_EQ(written(true, kInfoLevel, ""), "\x1b[32m\x1b[0m");
  EXPECT_EQ(written(true, kInfoLevel, "no terminator"), "\x1b[32mno terminator\x1b[0m");
  EXPECT_EQ(written(false, kInfoLevel, std::string_view("\0", 1)), "");
}

TEST_F(ConsoleChannelTest, ChannelRecordCallsTheObject) {
  TempFile file("console_record");
  std::FILE* stream = std::fopen(file.path().c_str(), "wb");
  ASSERT_NE(stream, nullptr);
  const ConsoleChannel console(stream, false);
  const LogChannel record = console.channel();
  EXPECT_EQ(record.name, "console");
  EXPECT_EQ(record.user_data, &console);
  DispatchContext context{};
  record.callback(record.user_data, context, kAssertCategory, kErrorLevel, with_nul("report\n"));
  std::fclose(stream);
  EXPECT_EQ(file.contents(), "report\n");
}

// -----------------------------------------------------------------------------
// Through the library
// -----------------------------------------------------------------------------

using ConsoleThroughLibraryTest = testing::CaptureTest;

TEST_F(ConsoleThroughLibraryTest, WritesWhatTheLibraryComposed) {
  // Registered channels stay registered: the stream and the channel live as
  // long as the process, and later tests' texts land in the file too.
  static const TempFile file("console_library");
  static std::FILE* const stream = std::fopen(file.path().c_str(), "wb");
  ASSERT_NE(stream, nullptr);
  static const ConsoleChannel* const console = [] {
    auto* channel = new ConsoleChannel(stream, false);
    add_default_channel(channel->channel());
    return channel;
  }();
  ASSERT_NE(console, nullptr);

  const std::size_t before = file.contents().size();
  constexpr LogCategory kConsole = make_category("console.library");
  CORE_LOG_WARN(kConsole, "two\nlines");
  const auto captured = texts();
  ASSERT_EQ(captured.size(), 1u);
  EXPECT_EQ(file.contents().substr(before), captured[0].text);
}

}  // namespace
}  // namespace core::logger
