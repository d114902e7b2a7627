// Assertion and data-error reports: their layouts, alignment rules and the
// records they hand to channels.
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
using ::testing::Not;

const std::string kBegin = std::string(54, '>') + " callstack beg " + std::string(54, '>') + "\n";
const std::string kEnd = std::string(54, '<') + " callstack end " + std::string(54, '<') + "\n";
const LogLocation kWhere{"main", "app.cc", 12};

std::uint64_t prefix_width() { return detail::g_prefix_width.load(); }

// Raises PrefixWidth to `width` through an ordinary line with a long name.
void widen_prefix_to(std::size_t width) {
  const std::string name(width - std::string("{hh:mm:ss.mmm} INFO: []").size(), 'w');
  log_format(LogOptions{}, make_category(name), kInfo, "", fmt::format_args());
  ASSERT_EQ(prefix_width(), width);
}

template <typename... Args>
void assert_report(const LogLocation& where, std::string_view condition, std::string_view callstack,
                   std::string_view format, const Args&... args) {
  log_format_assert(where, condition, callstack, format, fmt::make_format_args(args...));
}

class AssertReportTest : public LibraryTest {
 protected:
  const std::string h_ = "app.cc(12) : {hh:mm:ss.mmm} ASRT: [Assert]";
};

TEST_F(AssertReportTest, EmptyMessageGivesFailureConditionFunctionAndAnEmptyLine) {
  assert_report(kWhere, "x > 0", "", "", 42);
  EXPECT_EQ(only_text(), with_nul(h_ + " > Assertion failed!\n" + h_ + " - Condition: x > 0\n" + h_ +
                                  " - Function: main\n\n"));
  EXPECT_THAT(recorder_.raw_lines(), ElementsAre("Assertion failed!"));
}

TEST_F(AssertReportTest, MessageLinesFollowTheFailureLine) {
  assert_report(kWhere, "ok", "", "first {}\nsecond", 1);
  EXPECT_EQ(only_text(), with_nul(h_ + " > Assertion failed!\n" + h_ + " | first 1\n" + h_ + " | second\n" +
                                  h_ + " - Condition: ok\n" + h_ + " - Function: main\n\n"));
  EXPECT_THAT(recorder_.raw_lines(), ElementsAre("Assertion failed!\n", "first 1\n", "second"));
}

TEST_F(AssertReportTest, MessageEndingInLineFeedLeavesAnEmptyMessageLine) {
  assert_report(kWhere, "ok", "", "text\n");
  EXPECT_EQ(only_text(), with_nul(h_ + " > Assertion failed!\n" + h_ + " | text\n" + h_ + " | \n" + h_ +
                                  " - Condition: ok\n" + h_ + " - Function: main\n\n"));
}

TEST_F(AssertReportTest, EmptyFieldsStillYieldTheirLines) {
  assert_report(LogLocation{"", "", 7}, "", "", "");
  const std::string h = "(7) : {hh:mm:ss.mmm} ASRT: [Assert]";
  EXPECT_EQ(only_text(),
            with_nul(h + " > Assertion failed!\n" + h + " - Condition: \n" + h + " - Function: \n\n"));
}

TEST_F(AssertReportTest, LineFeedsInsideTheConditionAreCopiedUnchanged) {
  assert_report(kWhere, "a &&\n  b", "", "");
  EXPECT_THAT(only_text(), HasSubstr(h_ + " - Condition: a &&\n  b\n" + h_ + " - Function: main\n"));
}

TEST_F(AssertReportTest, CallStackStandsBetweenBannersWithOneFinalLineFeed) {
  const std::string head =
      h_ + " > Assertion failed!\n" + h_ + " - Condition: c\n" + h_ + " - Function: main\n";
  const std::pair<std::string, std::string> cases[] = {
      {"f0\nf1\n", "f0\nf1\n"},
      {"f0\nf1", "f0\nf1\n"},  // a last character that is not a line feed is kept
      {"\n", "\n"},
      {"x", "x\n"},
  };
  for (const auto& [callstack, between] : cases) {
    recorder_.clear();
    assert_report(kWhere, "c", callstack, "");
    EXPECT_EQ(only_text(), with_nul(head + kBegin + between + kEnd)) << callstack;
    EXPECT_THAT(recorder_.raw_lines(), ElementsAre("Assertion failed!"));
  }
  EXPECT_EQ(kBegin.size(), 124u);
}

TEST_F(AssertReportTest, WiderPrefixPadsEveryHeaderLineAndStaysUnchanged) {
  widen_prefix_to(60);
  recorder_.clear();
  assert_report(kWhere, "c", "s\n", "m");
  const std::string h = h_ + std::string(60 - h_.size(), ' ');
  EXPECT_EQ(only_text(), with_nul(h + " > Assertion failed!\n" + h + " | m\n" + h + " - Condition: c\n" + h +
                                  " - Function: main\n" + kBegin + "s\n" + kEnd));
  EXPECT_EQ(prefix_width(), 60u);
}

TEST_F(AssertReportTest, NarrowerPrefixIsNeitherPaddedNorRaised) {
  log_format(LogOptions{}, make_category("a"), kInfo, "", fmt::format_args());
  const std::uint64_t before = prefix_width();
  ASSERT_LT(before, h_.size());
  assert_report(kWhere, "c", "", "");
  EXPECT_EQ(prefix_width(), before);
  EXPECT_THAT(recorder_.texts().back(), HasSubstr("ASRT: [Assert] > Assertion failed!\n"));
}

TEST_F(AssertReportTest, LongFileNameIsCutAt512OnEveryHeaderLine) {
  const std::string file(700, 'f');
  assert_report(LogLocation{"fn", file, 1}, "c", "", "m");
  const std::string h = file.substr(0, 512);
  EXPECT_EQ(only_text(), with_nul(h + " > Assertion failed!\n" + h + " | m\n" + h + " - Condition: c\n" + h +
                                  " - Function: fn\n\n"));
  EXPECT_EQ(prefix_width(), 0u);
}

TEST_F(AssertReportTest, FixedRecordsAndFlagsWithoutReadingDefaults) {
  set_default_options(Continuation | ChannelDefined);
  assert_report(kWhere, "c", "", "m");
  for (const auto& delivery : recorder_.deliveries()) {
    EXPECT_EQ(delivery.category, "Assert");
    EXPECT_EQ(delivery.category_id, 0xEB78D69Bu);
    EXPECT_EQ(delivery.level, "ERRR");
    EXPECT_EQ(delivery.level_value, 4u);
    EXPECT_FALSE(delivery.context.continuation);
    EXPECT_TRUE(delivery.context.with_function);
    EXPECT_TRUE(delivery.context.with_file_line);
    EXPECT_FALSE(delivery.context.channel_defined);
    EXPECT_EQ(delivery.context.location.file, "app.cc");
  }
  EXPECT_TRUE(detail::kAssertCategory.enabled);
  EXPECT_EQ(detail::kAssertCategory.verbosity, MessageVerbosity::Detailed);
}

template <typename... Args>
void data_error(const LogLocation& where, std::string_view format, const Args&... args) {
  log_format_data_error(where, format, fmt::make_format_args(args...));
}

class DataErrorReportTest : public LibraryTest {
 protected:
  const std::string h_ = "app.cc(12) : {hh:mm:ss.mmm} ERRR: [DataError]";
};

TEST_F(DataErrorReportTest, LocationAndFunctionLeadTheMessage) {
  data_error(kWhere, "bad value {}", 7);
  EXPECT_EQ(only_text(), with_nul(h_ + " > [main] bad value 7\n"));
  EXPECT_THAT(recorder_.raw_lines(), ElementsAre("bad value 7"));
}

TEST_F(DataErrorReportTest, EveryLineCarriesBothPrefixes) {
  data_error(kWhere, "a\nb\n");
  EXPECT_EQ(only_text(), with_nul(h_ + " > [main] a\n" + h_ + " | [main] b\n" + h_ + " | [main] \n"));
  EXPECT_THAT(recorder_.raw_lines(), ElementsAre("a\n", "b\n", ""));
}

TEST_F(DataErrorReportTest, EmptyFileOrFunctionDropsItsPrefix) {
  data_error(LogLocation{"main", "", 12}, "m");
  EXPECT_EQ(only_text(), with_nul("{hh:mm:ss.mmm} ERRR: [DataError] > [main] m\n"));
  recorder_.clear();
  data_error(LogLocation{"", "app.cc", 12}, "");
  EXPECT_EQ(only_text(), with_nul(h_ + " > \n"));
  EXPECT_THAT(recorder_.raw_lines(), ElementsAre(""));
}

TEST_F(DataErrorReportTest, NeverRaisesPrefixWidthButPadsToIt) {
  data_error(LogLocation{"f", "", 1}, "m");
  EXPECT_EQ(prefix_width(), 0u);
  widen_prefix_to(70);
  recorder_.clear();
  data_error(kWhere, "a\nb");
  const std::string h = h_ + std::string(70 - h_.size(), ' ');
  EXPECT_EQ(only_text(), with_nul(h + " > [main] a\n" + h + " | [main] b\n"));
  EXPECT_EQ(prefix_width(), 70u);
}

TEST_F(DataErrorReportTest, LongFunctionNameIsCutAt128) {
  const std::string function(200, 'g');
  data_error(LogLocation{function, "app.cc", 12}, "m");
  EXPECT_EQ(only_text(), with_nul(h_ + " > " + ("[" + function).substr(0, 128) + "m\n"));
}

TEST_F(DataErrorReportTest, LongLocationIsCutWithTheHeaderAt512) {
  const std::string file(510, 'f');
  data_error(LogLocation{"fn", file, 99}, "m");
  EXPECT_EQ(only_text(), with_nul((file + "(99) : {").substr(0, 512) + " > [fn] m\n"));
}

TEST_F(DataErrorReportTest, FixedRecordsAndRawLinesWithoutPrefixes) {
  set_default_options(Continuation);
  data_error(kWhere, "x\ny");
  for (const auto& delivery : recorder_.deliveries()) {
    EXPECT_EQ(delivery.category, "DataError");
    EXPECT_EQ(delivery.category_id, 0x4A9830F1u);
    EXPECT_EQ(delivery.level, "ERRR");
    EXPECT_EQ(delivery.level_value, 4u);
    EXPECT_FALSE(delivery.context.continuation);
    if (delivery.raw) {
      EXPECT_THAT(delivery.text, Not(HasSubstr("main")));
    }
  }
  EXPECT_THAT(only_text(), HasSubstr(" > [main] x\n"));
}

TEST_F(DataErrorReportTest, ReportsDeclareNoCategory) {
  data_error(kWhere, "m");
  assert_report(kWhere, "c", "", "");
  int visited = 0;
  foreach_category([](void* count, CategoryInfo) { ++*static_cast<int*>(count); }, &visited);
  EXPECT_EQ(visited, 0);
}

}  // namespace
}  // namespace core::logger::testing
