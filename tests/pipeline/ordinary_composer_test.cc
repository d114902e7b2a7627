// The ordinary composer, driven through log_format: header, alignment,
// splitting, delivery order and the texts of unusual messages.
#include <string>

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "pipeline/text_composer.h"
#include "support/library_test.h"

namespace core::logger::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

template <typename... Args>
void log(const LogCategory& category, std::string_view format, const Args&... args) {
  log_format(LogOptions{}, category, kInfo, format, fmt::make_format_args(args...));
}

std::uint64_t prefix_width() { return detail::g_prefix_width.load(); }

class OrdinaryComposerTest : public LibraryTest {};

TEST_F(OrdinaryComposerTest, OneLineMessage) {
  log(make_category("net"), "port {}", 8080);
  EXPECT_EQ(only_text(), with_nul("{hh:mm:ss.mmm} INFO: [net] > port 8080\n"));
  EXPECT_THAT(recorder_.raw_lines(), ElementsAre("port 8080"));
}

TEST_F(OrdinaryComposerTest, EveryLineGetsTheHeaderAndLaterLinesTheBar) {
  log(make_category("net"), "a\nb\nc");
  EXPECT_EQ(only_text(), with_nul("{hh:mm:ss.mmm} INFO: [net] > a\n"
                                  "{hh:mm:ss.mmm} INFO: [net] | b\n"
                                  "{hh:mm:ss.mmm} INFO: [net] | c\n"));
  EXPECT_THAT(recorder_.raw_lines(), ElementsAre("a\n", "b\n", "c"));
}

TEST_F(OrdinaryComposerTest, EmptyMessageYieldsOneLineAndOneEmptyPiece) {
  log(make_category("net"), "");
  const std::string header = "{hh:mm:ss.mmm} INFO: [net]";
  EXPECT_EQ(only_text(), with_nul(header + " > \n"));
  EXPECT_EQ(only_text().size(), header.size() + 5);  // separator, line feed, NUL
  EXPECT_THAT(recorder_.raw_lines(), ElementsAre(""));
}

TEST_F(OrdinaryComposerTest, TrailingLineFeedYieldsAnEmptyLastLine) {
  log(make_category("net"), "a\n");
  EXPECT_EQ(only_text(), with_nul("{hh:mm:ss.mmm} INFO: [net] > a\n"
                                  "{hh:mm:ss.mmm} INFO: [net] | \n"));
  EXPECT_THAT(recorder_.raw_lines(), ElementsAre("a\n", ""));
}

TEST_F(OrdinaryComposerTest, LineFeedOnlyYieldsTwoLines) {
  log(make_category("net"), "\n");
  EXPECT_EQ(only_text(), with_nul("{hh:mm:ss.mmm} INFO: [net] > \n"
                                  "{hh:mm:ss.mmm} INFO: [net] | \n"));
  EXPECT_THAT(recorder_.raw_lines(), ElementsAre("\n", ""));
}

TEST_F(OrdinaryComposerTest, ContinuationJoinsTheFirstLineWithTheBar) {
  log_format(Continuation, make_category("net"), kInfo, "a\nb", fmt::format_args());
  EXPECT_EQ(only_text(), with_nul("{hh:mm:ss.mmm} INFO: [net] | a\n"
                                  "{hh:mm:ss.mmm} INFO: [net] | b\n"));
}

TEST_F(OrdinaryComposerTest, RawTimestampIsTheHeaderTime) {
  log(make_category("net"), "a\nb");
  const auto deliveries = recorder_.deliveries();
  ASSERT_EQ(deliveries.size(), 3u);
  const std::string time = fmt::format("{{{:T}}}", deliveries[0].timestamp);
  EXPECT_EQ(deliveries[1].timestamp.ticks, deliveries[0].timestamp.ticks);
  EXPECT_THAT(deliveries[2].text, StartsWith(time));
  EXPECT_THAT(deliveries[2].text, HasSubstr("\n" + time));
}

TEST_F(OrdinaryComposerTest, RawChannelsGetEachPieceBeforeTheNextAndBeforeAnyText) {
  RecordingChannel second;
  add_default_channel(second.raw_channel());
  add_default_channel(recorder_.raw_channel());  // the recorder's raw channel twice
  log(make_category("net"), "a\nb");
  std::vector<std::string> order;
  for (const auto& d : recorder_.deliveries()) order.push_back((d.raw ? "raw " : "text ") + d.text);
  ASSERT_EQ(order.size(), 5u);
  EXPECT_THAT(std::vector<std::string>(order.begin(), order.begin() + 4),
              ElementsAre("raw a\n", "raw a\n", "raw b", "raw b"));
  EXPECT_THAT(order[4], StartsWith("text "));
  EXPECT_THAT(second.raw_lines(), ElementsAre("a\n", "b"));
}

class AlignmentTest : public LibraryTest {};

TEST_F(AlignmentTest, FirstCallSetsPrefixWidthAndPadsNothing) {
  log(make_category("net"), "x");
  EXPECT_EQ(prefix_width(), std::string("{hh:mm:ss.mmm} INFO: [net]").size());
  EXPECT_EQ(only_text(), with_nul("{hh:mm:ss.mmm} INFO: [net] > x\n"));
}

TEST_F(AlignmentTest, ShorterHeadersArePaddedToTheWidestSoFar) {
  log(make_category("network"), "x");
  log(make_category("io"), "a\nb");
  log_format(LogOptions{}, make_category("io"), LogLevel{"LONGLEVEL", 1}, "y", fmt::format_args());
  log(make_category("io"), "z");
  const auto texts = recorder_.texts();
  ASSERT_EQ(texts.size(), 4u);
  EXPECT_EQ(mask_time(texts[1]), with_nul("{hh:mm:ss.mmm} INFO: [io]      > a\n"
                                          "{hh:mm:ss.mmm} INFO: [io]      | b\n"));
  // A wider header widens every later one.
  EXPECT_EQ(mask_time(texts[2]), with_nul("{hh:mm:ss.mmm} LONGLEVEL: [io] > y\n"));
  EXPECT_EQ(mask_time(texts[3]), with_nul("{hh:mm:ss.mmm} INFO: [io]      > z\n"));
}

TEST_F(AlignmentTest, HeaderLongerThanTheAreaIsCutOnEveryLine) {
  const std::string name(600, 'c');
  log(make_category(name), "a\nb");
  const std::string header = ("{hh:mm:ss.mmm} INFO: [" + name).substr(0, 512);
  EXPECT_EQ(only_text(), with_nul(header + " > a\n" + header + " | b\n"));
  EXPECT_EQ(prefix_width(), 512u);

  recorder_.clear();
  log(make_category("net"), "c");
  EXPECT_EQ(only_text(), with_nul("{hh:mm:ss.mmm} INFO: [net]" + std::string(512 - 26, ' ') + " > c\n"));
}

}  // namespace
}  // namespace core::logger::testing
