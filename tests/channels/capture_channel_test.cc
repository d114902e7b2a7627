// The capture channel: what it records, with timestamps, from several threads.
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/channels.h"
#include "core/log.h"
#include "support/capture_test.h"
#include "support/recording_channel.h"

namespace core::logger {
namespace {

using testing::CaptureTest;
using ::testing::ElementsAre;

using CaptureChannelTest = CaptureTest;

TEST_F(CaptureChannelTest, RecordsTextsWithWhatCameWithThem) {
  constexpr LogCategory kCapture = make_category("capture.fields");
  CORE_LOG_WITH_OPTIONS(ChannelDefined, kCapture, kWarningLevel, MessageVerbosity::Brief, "a {}\nb", 1);
  const auto captured = texts();
  ASSERT_EQ(captured.size(), 1u);
  const CapturedText& text = captured[0];
  EXPECT_EQ(testing::without_padding(text.text),
            "{hh:mm:ss.mmm} WARN: [capture.fields] > a 1\n"
            "{hh:mm:ss.mmm} WARN: [capture.fields] | b\n");
  EXPECT_EQ(text.category, "capture.fields");
  EXPECT_EQ(text.category_id, category_id("capture.fields"));
  EXPECT_EQ(text.level, "WARN");
  EXPECT_EQ(text.level_value, 3u);
  EXPECT_EQ(text.function, "TestBody");
  EXPECT_EQ(text.file, __FILE__);
  EXPECT_GT(text.line, 0u);
  EXPECT_TRUE(text.channel_defined);
  EXPECT_FALSE(text.continuation);
}

TEST_F(CaptureChannelTest, RecordsRawLinesWithTheCallsTimestamp) {
  constexpr LogCategory kCapture = make_category("capture.lines");
  CORE_LOG_INFO(kCapture, "one\ntwo\n");
  const auto captured = lines();
  ASSERT_EQ(captured.size(), 3u);
  EXPECT_EQ(captured[0].line, "one\n");
  EXPECT_EQ(captured[1].line, "two\n");
  EXPECT_EQ(captured[2].line, "");
  EXPECT_EQ(captured[0].category, "capture.lines");
  EXPECT_EQ(captured[0].level, "INFO");
  EXPECT_NE(captured[0].timestamp.ticks, 0u);
  EXPECT_EQ(captured[1].timestamp.ticks, captured[0].timestamp.ticks);
  EXPECT_EQ(captured[2].timestamp.ticks, captured[0].timestamp.ticks);
}

TEST_F(CaptureChannelTest, TextCarriesTheTimestampOfItsOwnCall) {
  constexpr LogCategory kCapture = make_category("capture.time");
  CORE_LOG_INFO(kCapture, "stamped");
  const auto captured = texts();
  ASSERT_EQ(captured.size(), 1u);
  ASSERT_EQ(lines().size(), 1u);
  EXPECT_EQ(captured[0].timestamp.ticks, lines()[0].timestamp.ticks);
  // The header shows the same time.
  EXPECT_EQ(captured[0].text.substr(0, 14), fmt::format("{{{:T}}}", captured[0].timestamp));
}

TEST_F(CaptureChannelTest, ReportsAreCapturedLikeLines) {
  CORE_LOG_ASSERT_MSG(1 + 1 == 3, "arithmetic");
  CORE_LOG_DATA_ERROR("broken {}", "row");
  std::vector<std::string> categories;
  for (const CapturedText& text : texts()) categories.push_back(text.category + "/" + text.level);
  EXPECT_THAT(categories, ElementsAre("Assert/ERRR", "DataError/ERRR"));
  std::vector<std::string> raw;
  for (const CapturedLine& line : lines()) raw.push_back(line.line);
  EXPECT_THAT(raw, ElementsAre("Assertion failed!\n", "arithmetic", "broken row"));
}

TEST_F(CaptureChannelTest, ClearForgetsEverything) {
  constexpr LogCategory kCapture = make_category("capture.clear");
  CORE_LOG_INFO(kCapture, "gone");
  testing::shared_capture().clear();
  EXPECT_TRUE(texts().empty());
  EXPECT_TRUE(lines().empty());
  EXPECT_TRUE(testing::shared_capture().text_strings().empty());
}

TEST_F(CaptureChannelTest, TextWithoutItsRawChannelHasNoTimestamp) {
  static CaptureChannel* const texts_only = [] {
    auto* channel = new CaptureChannel();
    add_default_channel(channel->channel());
    return channel;
  }();
  texts_only->clear();
  constexpr LogCategory kCapture = make_category("capture.no_raw");
  CORE_LOG_INFO(kCapture, "untimed");
  const auto captured = texts_only->texts();
  ASSERT_EQ(captured.size(), 1u);
  EXPECT_EQ(captured[0].timestamp.ticks, 0u);
  EXPECT_TRUE(texts_only->lines().empty());
}

TEST_F(CaptureChannelTest, CallsOfSeveralThreadsAreRecordedWholeAndMatched) {
  static constexpr LogCategory kCapture = make_category("capture.threads");
  constexpr int kThreads = 4;
  constexpr int kCalls = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kCalls; ++i) CORE_LOG_INFO(kCapture, "thread {} call {}\nend", t, i);
    });
  }
  for (std::thread& thread : threads) thread.join();
  const auto captured = texts();
  ASSERT_EQ(captured.size(), static_cast<std::size_t>(kThreads * kCalls));
  EXPECT_EQ(lines().size(), static_cast<std::size_t>(2 * kThreads * kCalls));
  for (const CapturedText& text : captured) {
    // Each text's timestamp is its own call's: the header shows it.
    EXPECT_EQ(text.text.substr(0, 14), fmt::format("{{{:T}}}", text.timestamp)) << text.text;
  }
}

}  // namespace
}  // namespace core::logger
