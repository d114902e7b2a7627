// The statement macros of core/log.h, through the shared library. Built twice,
// as C++17 (format strings checked through FMT_STRING) and as C++20 (checked
// by {fmt}'s consteval constructor).
#include "core/log.h"

#include <cstdint>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/capture_test.h"
#include "support/recording_channel.h"

// A macro in a condition, to show that the report keeps the text as written.
#define FRONTEND_TEST_LIMIT 10

namespace core::logger {
namespace {

using testing::CaptureTest;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

static_assert(make_category("Assert").key.id == 0xEB78D69Bu);
static_assert(kAssertCategory.key.id == 0xEB78D69Bu && kAssertCategory.key.name == "Assert");
static_assert(kDataErrorCategory.key.id == 0x4A9830F1u);
static_assert(make_category("net").enabled && make_category("net").verbosity == MessageVerbosity::Detailed);
static_assert(kErrorLevel.name == "ERRR" && kErrorLevel.value == 4);

// Counts its calls, so that a test can tell whether an argument was evaluated.
struct Probe {
  int calls = 0;
  std::string text(std::string value) {
    ++calls;
    return value;
  }
  int number(int value) {
    ++calls;
    return value;
  }
  bool truth(bool value) {
    ++calls;
    return value;
  }
  const LogCategory& category(const LogCategory& value) {
    ++calls;
    return value;
  }
};

// The blanks that pad `header` in `text` to the widest header seen so far,
// which earlier tests of the process decide.
std::string padding_after(const std::string& header, const std::string& text) {
  const std::size_t separator = text.find(" > ");
  if (separator == std::string::npos || separator < header.size()) return "<no header in text>";
  return std::string(separator - header.size(), ' ');
}

using LogMacrosTest = CaptureTest;

// -----------------------------------------------------------------------------
// Lazy arguments
// -----------------------------------------------------------------------------

TEST_F(LogMacrosTest, DisabledCategoryEvaluatesNoArgument) {
  constexpr LogCategory kOff = make_category("macros.disabled", false);
  Probe probe;
  CORE_LOG_INFO(kOff, "{} {}", probe.text("costly"), probe.number(1));
  CORE_LOG(kOff, kInfoLevel, MessageVerbosity::Brief, "{}", probe.number(2));
  EXPECT_EQ(probe.calls, 0);
  EXPECT_TRUE(texts().empty());
}

TEST_F(LogMacrosTest, MessageAboveTheVerbosityEvaluatesNoArgument) {
  constexpr LogCategory kQuiet = make_category("macros.quiet");
  change_verbosity(MessageVerbosity::Normal);
  Probe probe;
  CORE_LOG_DEBUG(kQuiet, "{}", probe.text("costly"));
  CORE_LOG_TRACE(kQuiet, "{}", probe.text("costly"));
  EXPECT_EQ(probe.calls, 0);
  CORE_LOG_INFO(kQuiet, "{}", probe.text("wanted"));
  EXPECT_EQ(probe.calls, 1);
  EXPECT_THAT(only_text(), HasSubstr("INFO: [macros.quiet]"));
}

TEST_F(LogMacrosTest, EnabledStatementEvaluatesEachArgumentOnce) {
  constexpr LogCategory kOn = make_category("macros.enabled");
  Probe probe;
  CORE_LOG_INFO(kOn, "{} and {}", probe.text("one"), probe.number(2));
  EXPECT_EQ(probe.calls, 2);
  ASSERT_EQ(texts().size(), 1u);
  EXPECT_EQ(testing::without_padding(texts()[0].text), "{hh:mm:ss.mmm} INFO: [macros.enabled] > one and 2\n");
}

TEST_F(LogMacrosTest, CategoryExpressionIsEvaluatedOnce) {
  constexpr LogCategory kOn = make_category("macros.once");
  constexpr LogCategory kOff = make_category("macros.once.off", false);
  Probe probe;
  CORE_LOG_INFO(probe.category(kOn), "on");
  EXPECT_EQ(probe.calls, 1);
  CORE_LOG_INFO(probe.category(kOff), "off");
  EXPECT_EQ(probe.calls, 2);
  EXPECT_EQ(texts().size(), 1u);
}

TEST_F(LogMacrosTest, RuntimeFilteringTakesEffectOnTheNextStatement) {
  constexpr LogCategory kSwitched = make_category("macros.switched");
  CORE_LOG_WARN(kSwitched, "first");
  disable_category(kSwitched);
  CORE_LOG_WARN(kSwitched, "second");
  enable_category(kSwitched);
  CORE_LOG_WARN(kSwitched, "third");
  const auto captured = texts();
  ASSERT_EQ(captured.size(), 2u);
  EXPECT_THAT(captured[0].text, HasSubstr("> first"));
  EXPECT_THAT(captured[1].text, HasSubstr("> third"));
}

// -----------------------------------------------------------------------------
// Levels, verbosities and options
// -----------------------------------------------------------------------------

TEST_F(LogMacrosTest, StandardMacrosCarryTheirLevelAndVerbosity) {
  constexpr LogCategory kLevels = make_category("macros.levels");
  for (MessageVerbosity runtime :
       {MessageVerbosity::Brief, MessageVerbosity::Normal, MessageVerbosity::Detailed}) {
    change_verbosity(runtime);
    CORE_LOG_TRACE(kLevels, "t");
    CORE_LOG_DEBUG(kLevels, "d");
    CORE_LOG_INFO(kLevels, "i");
    CORE_LOG_WARN(kLevels, "w");
    CORE_LOG_ERROR(kLevels, "e");
  }
  std::vector<std::string> seen;
  for (const CapturedText& text : texts()) seen.push_back(fmt::format("{}/{}", text.level, text.level_value));
  EXPECT_THAT(seen, ElementsAre(
                        // Brief: warnings and errors.
                        "WARN/3", "ERRR/4",
                        // Normal: information too.
                        "INFO/2", "WARN/3", "ERRR/4",
                        // Detailed: everything.
                        "TRCE/0", "DBUG/1", "INFO/2", "WARN/3", "ERRR/4"));
}

TEST_F(LogMacrosTest, GeneralFormTakesAnyLevelAndOptions) {
  constexpr LogCategory kGeneral = make_category("macros.general");
  constexpr LogLevel kNotice{"NOTE", 7};
  CORE_LOG_WITH_OPTIONS(Continuation | ChannelDefined, kGeneral, kNotice, MessageVerbosity::Brief, "more {}",
                        1);
  ASSERT_EQ(texts().size(), 1u);
  const CapturedText text = texts()[0];
  EXPECT_EQ(testing::without_padding(text.text), "{hh:mm:ss.mmm} NOTE: [macros.general] | more 1\n");
  EXPECT_EQ(text.level_value, 7u);
  EXPECT_TRUE(text.continuation);
  EXPECT_TRUE(text.channel_defined);
  EXPECT_FALSE(text.with_function);
}

// -----------------------------------------------------------------------------
// Statement shape and location
// -----------------------------------------------------------------------------

TEST_F(LogMacrosTest, MacrosAreSingleStatementsInIfElseWithoutBraces) {
  constexpr LogCategory kBranch = make_category("macros.branch");
  for (int i = 0; i < 2; ++i) {
    if (i == 0)
      CORE_LOG_INFO(kBranch, "then {}", i);
    else
      CORE_LOG_INFO(kBranch, "else {}", i);
    if (i == 0)
      CORE_LOG_DATA_ERROR("data then");
    else
      CORE_LOG_ASSERT(i == 0);
  }
  std::vector<std::string> order;
  for (const CapturedText& text : texts()) order.push_back(text.category);
  EXPECT_THAT(order, ElementsAre("macros.branch", "DataError", "macros.branch", "Assert"));
  EXPECT_THAT(texts()[2].text, HasSubstr("> else 1"));
}

TEST_F(LogMacrosTest, LocationOfTheStatementReachesTheChannels) {
  constexpr LogCategory kWhere = make_category("macros.where");
  const std::uint32_t line = __LINE__ + 1;
  CORE_LOG_INFO(kWhere, "here");
  ASSERT_EQ(texts().size(), 1u);
  const CapturedText text = texts()[0];
  EXPECT_EQ(text.file, __FILE__);
  EXPECT_EQ(text.line, line);
  EXPECT_EQ(text.function, "TestBody");
  // The ordinary text does not show the location.
  EXPECT_THAT(text.text, ::testing::Not(HasSubstr("TestBody")));
}

TEST_F(LogMacrosTest, LocationMacroNamesTheEnclosingFunction) {
  const auto here = [] { return CORE_LOG_HERE; }();
  EXPECT_EQ(here.function, "operator()");
  EXPECT_EQ(here.file, __FILE__);
  EXPECT_EQ(here.line, static_cast<std::uint32_t>(__LINE__ - 3));
}

// -----------------------------------------------------------------------------
// Formats
// -----------------------------------------------------------------------------

TEST_F(LogMacrosTest, FormatsArgumentsLikeFmt) {
  constexpr LogCategory kFormats = make_category("macros.formats");
  const std::string name = "disk";
  CORE_LOG_INFO(kFormats, "{:>6}|{:04d}|{:.2f}|{}|{{}}", name, 42, 3.14159, true);
  CORE_LOG_INFO(kFormats, "no arguments {{}}");
  CORE_LOG_INFO(kFormats, "{:F}", LogTimestamp{637921789271239000});
  CORE_LOG_INFO(kFormats, "{} {} {} {} {} {} {} {} {} {} {} {}", 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12);
  const auto captured = lines();
  std::vector<std::string> raw;
  for (const CapturedLine& line : captured) raw.push_back(line.line);
  EXPECT_THAT(raw, ElementsAre("  disk|0042|3.14|true|{}", "no arguments {}", "2022-06-30 09:42:07.123",
                               "1 2 3 4 5 6 7 8 9 10 11 12"));
}

TEST_F(LogMacrosTest, MultiLineMessageKeepsItsLines) {
  constexpr LogCategory kLines = make_category("macros.lines");
  CORE_LOG_WARN(kLines, "device lost:\n  name: {}", "hdmi-0");
  const auto captured = lines();
  ASSERT_EQ(captured.size(), 2u);
  EXPECT_EQ(captured[0].line, "device lost:\n");
  EXPECT_EQ(captured[1].line, "  name: hdmi-0");
  EXPECT_EQ(captured[0].timestamp.ticks, captured[1].timestamp.ticks);
}

// -----------------------------------------------------------------------------
// Data-error reports
// -----------------------------------------------------------------------------

TEST_F(LogMacrosTest, DataErrorCarriesTheStatementsLocation) {
  const std::uint32_t line = __LINE__ + 1;
  CORE_LOG_DATA_ERROR("bad record {}", 7);
  ASSERT_EQ(texts().size(), 1u);
  const CapturedText text = texts()[0];
  EXPECT_EQ(text.category, "DataError");
  EXPECT_EQ(text.level, "ERRR");
  EXPECT_EQ(text.line, line);
  const std::string header = fmt::format("{}({}) : {{hh:mm:ss.mmm}} ERRR: [DataError]", __FILE__, line);
  const std::string masked = testing::mask_time(text.text);
  const std::string pad = padding_after(header, masked);
  EXPECT_EQ(masked, header + pad + " > [TestBody] bad record 7\n");
}

TEST_F(LogMacrosTest, DataErrorIsUnconditional) {
  // Even a disabled category of the report's own name does not hold it back.
  declare_category(kDataErrorCategory.key.name, false);
  disable_category(kDataErrorCategory);
  change_verbosity(MessageVerbosity::Brief);
  Probe probe;
  CORE_LOG_DATA_ERROR("{}", probe.number(1));
  EXPECT_EQ(probe.calls, 1);
  EXPECT_EQ(texts().size(), 1u);
}

// -----------------------------------------------------------------------------
// Assertion reports
// -----------------------------------------------------------------------------

TEST_F(LogMacrosTest, PassingAssertionReportsNothingAndYieldsTrue) {
  Probe probe;
  const bool held = CORE_LOG_ASSERT_MSG(probe.truth(true), "never {}", probe.number(1));
  EXPECT_TRUE(held);
  EXPECT_EQ(probe.calls, 1);  // the condition only
  EXPECT_TRUE(texts().empty());
}

TEST_F(LogMacrosTest, FailingAssertionEvaluatesTheConditionOnceAndYieldsFalse) {
  Probe probe;
  const bool held = CORE_LOG_ASSERT(probe.truth(false));
  EXPECT_FALSE(held);
  EXPECT_EQ(probe.calls, 1);
  ASSERT_EQ(texts().size(), 1u);
  EXPECT_EQ(texts()[0].category, "Assert");
}

TEST_F(LogMacrosTest, FailingAssertionReportsConditionAsWrittenAndMessage) {
  const int value = 12;
  const std::uint32_t line = __LINE__ + 1;
  CORE_LOG_ASSERT_MSG(value < FRONTEND_TEST_LIMIT, "value {} too big", value);
  ASSERT_EQ(texts().size(), 1u);
  const std::string header = fmt::format("{}({}) : {{hh:mm:ss.mmm}} ASRT: [Assert]", __FILE__, line);
  const std::string text = testing::mask_time(texts()[0].text);
  const std::string pad = padding_after(header, text);
  EXPECT_EQ(text, header + pad + " > Assertion failed!\n" + header + pad + " | value 12 too big\n" + header +
                      pad + " - Condition: value < FRONTEND_TEST_LIMIT\n" + header + pad +
                      " - Function: TestBody\n"
                      "\n");
}

TEST_F(LogMacrosTest, AssertionCanGuardAnEarlyReturn) {
  const auto checked_half = [](int value) {
    if (!CORE_LOG_ASSERT_MSG(value % 2 == 0, "odd {}", value)) return -1;
    return value / 2;
  };
  EXPECT_EQ(checked_half(8), 4);
  EXPECT_EQ(checked_half(7), -1);
  EXPECT_EQ(texts().size(), 1u);
}

TEST_F(LogMacrosTest, CallStackIsEvaluatedOnlyOnFailureAndFramedByBanners) {
  Probe probe;
  CORE_LOG_ASSERT_EX(probe.text("#0 frame\n#1 main\n"), true);
  EXPECT_EQ(probe.calls, 0);
  CORE_LOG_ASSERT_EX_MSG(probe.text("#0 frame\n#1 main\n"), false, "with stack");
  EXPECT_EQ(probe.calls, 1);
  ASSERT_EQ(texts().size(), 1u);
  const std::string text = texts()[0].text;
  const std::string begin = std::string(54, '>') + " callstack beg " + std::string(54, '>') + "\n";
  const std::string end = std::string(54, '<') + " callstack end " + std::string(54, '<') + "\n";
  EXPECT_THAT(text, HasSubstr(" - Function: TestBody\n" + begin + "#0 frame\n#1 main\n" + end));
}

}  // namespace
}  // namespace core::logger
