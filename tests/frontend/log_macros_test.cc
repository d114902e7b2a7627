// The statement macros of core/log.h, through the shared libraries.
#include "core/log.h"

#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "support/capture_test.h"

// A macro in a condition: the report keeps the text as written.
#define FRONTEND_TEST_LIMIT 10

namespace core::logger {
namespace {

using LogMacrosTest = testing::CaptureTest;

TEST_F(LogMacrosTest, OnlyStatementsThatPassEvaluateTheirArgumentsOnce) {
  constexpr LogCategory kOn = make_category("macros.on");
  constexpr LogCategory kOff = make_category("macros.off", false);
  change_verbosity(MessageVerbosity::Normal);
  int calls = 0;  // whether the arguments were evaluated
  const auto probe = [&calls](const auto& value) -> const auto& { return ++calls, value; };
  CORE_LOG_INFO(kOff, "{} {}", probe("costly"), probe(1));
  CORE_LOG_DEBUG(kOn, "{}", probe(2));  // above the runtime verbosity
  EXPECT_EQ(calls, 0);
  CORE_LOG_INFO(probe(kOn), "{} and {:>4}|{{}}", probe("one"), probe(2));
  CORE_LOG_INFO(probe(kOff), "off");
  CORE_LOG_WARN(kOn, "{} {} {} {} {} {} {} {} {} {} {} {}", 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12);
  EXPECT_EQ(calls, 4);
  std::string got;
  for (const CapturedText& text : texts())
    got += fmt::format("{}/{}/{} ", text.category, text.level, text.level_value);
  for (const CapturedLine& line : lines()) got += line.line + ";";
  EXPECT_EQ(got, "macros.on/INFO/2 macros.on/WARN/3 one and    2|{};1 2 3 4 5 6 7 8 9 10 11 12;");
}

TEST_F(LogMacrosTest, EachMacroCarriesItsLevelVerbosityAndOptions) {
  constexpr LogCategory kLevels = make_category("macros.levels");
  for (auto runtime : {MessageVerbosity::Brief, MessageVerbosity::Normal, MessageVerbosity::Detailed}) {
    change_verbosity(runtime);
    CORE_LOG_TRACE(kLevels, "t");
    CORE_LOG_DEBUG(kLevels, "d");
    CORE_LOG_INFO(kLevels, "i");
    CORE_LOG_WARN(kLevels, "w");
    CORE_LOG_ERROR(kLevels, "e");
  }
  std::string levels;
  for (const CapturedText& text : texts()) levels += fmt::format("{}{} ", text.level, text.level_value);
  EXPECT_EQ(levels, "WARN3 ERRR4 INFO2 WARN3 ERRR4 TRCE0 DBUG1 INFO2 WARN3 ERRR4 ");
  testing::shared_capture().clear();
  CORE_LOG_WITH_OPTIONS(Continuation | ChannelDefined, kLevels, (LogLevel{"NOTE", 7}),
                        MessageVerbosity::Brief, "more {}", 1);
  const CapturedText text = texts().at(0);
  EXPECT_EQ(testing::without_padding(text.text), "{hh:mm:ss.mmm} NOTE: [macros.levels] | more 1\n");
  EXPECT_TRUE(text.level_value == 7 && text.continuation && text.channel_defined && !text.with_function);
}

TEST_F(LogMacrosTest, StatementsFitAnIfElseNameTheirPlaceAndReportDataErrorsAlways) {
  constexpr LogCategory kWhere = make_category("macros.where");
  declare_category(kDataErrorCategory.key.name, false);  // a category of the report's name holds nothing back
  const std::uint32_t line = __LINE__ + 3;
  for (int i = 0; i < 2; ++i) {
    if (i == 0)
      CORE_LOG_INFO(kWhere, "then {}", i);
    else
      CORE_LOG_DATA_ERROR("else {}", i);
  }
  const std::vector<CapturedText> captured = texts();
  ASSERT_EQ(captured.size(), 2u);
  EXPECT_TRUE(captured[0].file == __FILE__ && captured[0].line == line && captured[0].function == "TestBody");
  EXPECT_EQ(testing::without_padding(captured[0].text), "{hh:mm:ss.mmm} INFO: [macros.where] > then 0\n");
  const std::string header = fmt::format("{}({}) : {{hh:mm:ss.mmm}} ERRR: [DataError]", __FILE__, line + 2);
  EXPECT_EQ(testing::without_padding(captured[1].text), header + " > [TestBody] else 1\n");
  const auto here = [] { return CORE_LOG_HERE; }();
  EXPECT_TRUE(here.function == "operator()" && here.file == __FILE__ && here.line == __LINE__ - 1);
}

TEST_F(LogMacrosTest, AssertionsReportOnlyFailuresAndYieldWhetherTheyHeld) {
  int calls = 0;
  const auto probe = [&calls](const auto& value) -> const auto& { return ++calls, value; };
  EXPECT_TRUE(CORE_LOG_ASSERT_MSG(probe(true), "never {}", probe(1)));
  EXPECT_TRUE(CORE_LOG_ASSERT_EX(probe(std::string("stack")), probe(true)));
  EXPECT_EQ(calls, 2);  // the conditions only
  EXPECT_TRUE(texts().empty());

  const int value = 12;
  const std::uint32_t line = __LINE__ + 1;
  EXPECT_FALSE(CORE_LOG_ASSERT_EX_MSG(probe(std::string("#0 f\n#1 main\n")), value < FRONTEND_TEST_LIMIT,
                                      "{} big", value));
  EXPECT_FALSE(CORE_LOG_ASSERT(probe(false)));
  EXPECT_EQ(calls, 4);
  const std::string h = fmt::format("{}({}) : {{hh:mm:ss.mmm}} ASRT: [Assert]", __FILE__, line);
  EXPECT_EQ(testing::without_padding(texts().at(0).text),
            h + " > Assertion failed!\n" + h + " | 12 big\n" + h +
                " - Condition: value < FRONTEND_TEST_LIMIT\n" + h + " - Function: TestBody\n" +
                std::string(54, '>') + " callstack beg " + std::string(54, '>') + "\n#0 f\n#1 main\n" +
                std::string(54, '<') + " callstack end " + std::string(54, '<') + "\n");
  EXPECT_EQ(texts().at(1).category, "Assert");
}

}  // namespace
}  // namespace core::logger
