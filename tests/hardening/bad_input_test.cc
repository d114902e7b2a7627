// What every kind of bad input gives: a clear outcome, never a crash and never
// an exception of the library's own out of a log call. Each test backs a row
// of the table of bad inputs in README.md.
#include <cstdint>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/logger.h"
#include "lifecycle/library_lifecycle.h"
#include "pipeline/line_buffer.h"
#include "pipeline/text_composer.h"
#include "support/library_test.h"
#include "support/recording_channel.h"
#include "support/standard_error.h"

namespace {

// A user's type whose formatter writes a little and then fails.
struct FailingValue {
  int how;
};

}  // namespace

template <>
struct fmt::formatter<FailingValue> {
  constexpr auto parse(fmt::format_parse_context& ctx) -> fmt::format_parse_context::iterator {
    return ctx.begin();
  }
  auto format(const FailingValue& value, fmt::format_context& ctx) const -> fmt::format_context::iterator {
    auto out = ctx.out();
    *out++ = '<';
    if (value.how == 0) throw std::runtime_error("formatter failed");
    if (value.how == 1) throw std::bad_alloc();
    throw value.how;
  }
};

namespace core::logger {
namespace {

using namespace std::string_literals;
using namespace std::string_view_literals;
using ::testing::ElementsAre;
using testing::kInfo;
using testing::mask_time;
using testing::with_nul;

constexpr LogCategory kCategory{{"bad", category_id("bad")}, true, MessageVerbosity::Detailed};
constexpr LogLocation kLocation{"load", "cfg.cc", 7};

void* refuse_heap(std::size_t) { return nullptr; }

class BadInputTest : public testing::LibraryTest {
 protected:
  void TearDown() override {
    detail::set_heap_allocate_for_testing(nullptr);
    LibraryTest::TearDown();
  }

  std::string joined_raw_lines() const {
    std::string out;
    for (const std::string& line : recorder_.raw_lines()) out += line;
    return out;
  }

  testing::StandardErrorRedirect silenced_;  // the built-in channel's copies
};

// What a log call delivers when {fmt} rejects its format string or arguments:
// the text formatted before the error, as a well-formed line.
struct FormatCase {
  const char* name;
  std::string_view format;
  std::string_view delivered;
};

TEST_F(BadInputTest, FormatErrorsDeliverWhatWasFormattedBeforeThem) {
  const FormatCase cases[] = {
      {"unclosed field", "value {", "value "},
      {"unmatched closing brace", "a } b {}", ""},
      {"unknown type", "a {:q} b", "a "},
      {"manual after automatic index", "x{}{0}y", "x1"},
      {"missing argument", "{} {} {} {}", "1 str -5 "},
      {"missing numbered argument", "a{5}", "a"},
      {"string as integer", "n={1:d}", "n="},
      {"integer as string", "n={0:s}", "n="},
      {"huge width", "[{:>99999999999}]", "["},
      {"huge precision", "[{1:.99999999999}]", "["},
      {"width from a string", "[{0:{1}}]", "["},
      {"negative width", "[{0:{2}}]", "["},
  };
  for (const FormatCase& c : cases) {
    SCOPED_TRACE(c.name);
    recorder_.clear();
    EXPECT_NO_THROW(
        log_format(LogOptions{}, kCategory, kInfo, c.format, fmt::make_format_args(1, "str", -5)));
    EXPECT_EQ(only_text(), with_nul("{hh:mm:ss.mmm} INFO: [bad] > " + std::string(c.delivered) + "\n"));
    EXPECT_THAT(recorder_.raw_lines(), ElementsAre(std::string(c.delivered)));
  }
}

// A null C string is {fmt}'s format error "string pointer is null" under any
// spec (where {fmt} 9 itself reads through the pointer), except as a pointer.
TEST_F(BadInputTest, NullCStringEndsTheMessageAtItsField) {
  const char* null_string = nullptr;
  const FormatCase cases[] = {
      {"bare", "x{}y", "x"},
      {"empty spec", "x{:}y", "x"},
      {"width", "x{:>5}y", "x"},
      {"type", "x{:s}y", "x"},
      {"precision", "x{0:.3}y", "x"},
      {"after another field", "{1} x{0:<4}y", "7 x"},
      {"as pointer", "x{:p}y", "x0x0y"},
  };
  for (const FormatCase& c : cases) {
    SCOPED_TRACE(c.name);
    recorder_.clear();
    log_format(LogOptions{}, kCategory, kInfo, c.format, fmt::make_format_args(null_string, 7));
    EXPECT_EQ(only_text(), with_nul("{hh:mm:ss.mmm} INFO: [bad] > " + std::string(c.delivered) + "\n"));
  }
  recorder_.clear();
  log_format(LogOptions{}, kCategory, kInfo, "x{n:>4}y", fmt::make_format_args(fmt::arg("n", null_string)));
  log_format_source(LogOptions{}, kLocation, kCategory, kInfo, "x{:>4}y", fmt::make_format_args(null_string));
  log_format_assert(kLocation, "c", "", "x{:>4}y", fmt::make_format_args(null_string));
  log_format_data_error(kLocation, "x{:>4}y", fmt::make_format_args(null_string));
  const std::vector<std::string> texts = recorder_.texts();
  ASSERT_EQ(texts.size(), 4u);
  for (const std::string& text : {texts[0], texts[1], texts[3]})
    EXPECT_THAT(text, ::testing::EndsWith(" x\n"s + '\0'));
  EXPECT_THAT(texts[2], ::testing::HasSubstr("| x\n"));
}

TEST_F(BadInputTest, FormatErrorsInReportsStillYieldWholeReports) {
  log_format_assert(kLocation, "x > 0", "", "got {:d}", fmt::make_format_args("str"));
  EXPECT_EQ(only_text(), with_nul("cfg.cc(7) : {hh:mm:ss.mmm} ASRT: [Assert] > Assertion failed!\n"
                                  "cfg.cc(7) : {hh:mm:ss.mmm} ASRT: [Assert] | got \n"
                                  "cfg.cc(7) : {hh:mm:ss.mmm} ASRT: [Assert] - Condition: x > 0\n"
                                  "cfg.cc(7) : {hh:mm:ss.mmm} ASRT: [Assert] - Function: load\n"
                                  "\n"));
  recorder_.clear();
  log_format_data_error(kLocation, "row {} of {}", fmt::make_format_args(3));
  EXPECT_EQ(only_text(), with_nul("cfg.cc(7) : {hh:mm:ss.mmm} ERRR: [DataError] > [load] row 3 of \n"));
}

TEST_F(BadInputTest, FailingArgumentFormatterEndsTheMessageThere) {
  // A std::exception, a std::bad_alloc and something else entirely.
  for (int how : {0, 1, 2}) {
    SCOPED_TRACE(how);
    recorder_.clear();
    EXPECT_NO_THROW(log_format(LogOptions{}, kCategory, kInfo, "before {} after",
                               fmt::make_format_args(FailingValue{how})));
    EXPECT_EQ(only_text(), with_nul("{hh:mm:ss.mmm} INFO: [bad] > before <\n"));
  }
}

TEST_F(BadInputTest, NulBytesStayInTheText) {
  const std::string argument = "x\0y"s;
  // A C string argument ends at its NUL, as {fmt} reads it.
  log_format(LogOptions{}, kCategory, kInfo, "a\0b {} {}\n"sv, fmt::make_format_args(argument, "cut\0off"));
  EXPECT_EQ(only_text(), with_nul("{hh:mm:ss.mmm} INFO: [bad] > a\0b x\0y cut\n"
                                  "{hh:mm:ss.mmm} INFO: [bad] | \n"s));
  EXPECT_THAT(recorder_.raw_lines(), ElementsAre("a\0b x\0y cut\n"s, ""));
}

TEST_F(BadInputTest, LoneCarriageReturnsDoNotSplitLines) {
  log_format(LogOptions{}, kCategory, kInfo, "a\rb\r", {});
  EXPECT_EQ(only_text(), with_nul("{hh:mm:ss.mmm} INFO: [bad] > a\rb\r\n"));
  EXPECT_THAT(recorder_.raw_lines(), ElementsAre("a\rb\r"));
}

TEST_F(BadInputTest, HugeMessagesAndTextsArriveWhole) {
  const std::string long_line(100'000, 'm');
  log_format_data_error(kLocation, "{}\n{}\n{}", fmt::make_format_args(long_line, long_line, long_line));
  const std::string line = "cfg.cc(7) : {hh:mm:ss.mmm} ERRR: [DataError]";
  EXPECT_EQ(only_text(), with_nul(line + " > [load] " + long_line + "\n" + line + " | [load] " + long_line +
                                  "\n" + line + " | [load] " + long_line + "\n"));
  EXPECT_EQ(joined_raw_lines(), long_line + "\n" + long_line + "\n" + long_line);
}

TEST_F(BadInputTest, NamesWithOddBytesAreCopiedUnchanged) {
  const std::string name = "c\0\xff\n"s;
  const LogCategory odd{{name, category_id(name)}, true, MessageVerbosity::Detailed};
  log_format(LogOptions{}, odd, LogLevel{"", 0}, "m", {});
  EXPECT_EQ(only_text(), with_nul("{hh:mm:ss.mmm} : [" + name + "] > m\n"));

  // Category calls take any bytes, a NUL inside included, and tell names
  // apart by all of them.
  declare_category(name, true);
  EXPECT_TRUE(disable_category(name));
  EXPECT_FALSE(can_dispatch_log(odd, MessageVerbosity::Brief));
  EXPECT_FALSE(enable_category(std::string_view("c")));
}

TEST_F(BadInputTest, HeadersBeyondTheirAreasAreCut) {
  const std::string category(600, 'c');
  const std::string function(200, 'f');
  log_format(LogOptions{}, LogCategory{{category, category_id(category)}, true, MessageVerbosity::Detailed},
             kInfo, "m", {});
  const std::string header = ("{hh:mm:ss.mmm} INFO: [" + category).substr(0, 512);
  EXPECT_EQ(only_text(), with_nul(header + " > m\n"));
  EXPECT_EQ(detail::g_prefix_width.load(), 512u);

  recorder_.clear();
  detail::g_prefix_width.store(0);
  log_format_data_error(LogLocation{function, "f.cc", 1}, "m", {});
  EXPECT_EQ(only_text(), with_nul("f.cc(1) : {hh:mm:ss.mmm} ERRR: [DataError] > " +
                                  ("[" + function).substr(0, 128) + "m\n"));
}

TEST_F(BadInputTest, ChannelsWithoutCallbackAreCountedButNeverCalled) {
  add_default_channel(LogChannel{"null", nullptr, nullptr});
  add_default_channel(LogRawChannel{"null-raw", nullptr, nullptr});
  testing::RecordingChannel after;
  add_default_channel(after.channel());
  log_format(LogOptions{}, kCategory, kInfo, "m", {});
  ASSERT_EQ(after.deliveries().size(), 1u);
  const DispatchContext context = after.deliveries()[0].context;
  EXPECT_EQ(context.channel_count, 4u);  // built-in, recorder, null, after
  EXPECT_EQ(context.raw_channel_count, 2u);
  EXPECT_EQ(context.channels[2].callback, nullptr);
  EXPECT_EQ(recorder_.raw_lines().size(), 1u);
}

struct ChannelFailure : std::runtime_error {
  ChannelFailure() : std::runtime_error("channel failed") {}
};
void throw_from_text(void*, const DispatchContext&, const LogCategory&, const LogLevel&, std::string_view) {
  throw ChannelFailure();
}
void throw_from_line(void*, const DispatchContext&, const LogCategory&, const LogLevel&, LogTimestamp,
                     std::string_view) {
  throw ChannelFailure();
}

TEST_F(BadInputTest, ThrowingChannelEndsTheCallAndItsExceptionReachesTheCaller) {
  add_default_channel(LogChannel{"throwing", &throw_from_text, nullptr});
  testing::RecordingChannel after;
  add_default_channel(after.channel());
  // Big enough for both buffers to be on the heap, which the sanitizers'
  // leak check then sees released.
  const std::string big(70'000, 'b');
  EXPECT_THROW(log_format(LogOptions{}, kCategory, kInfo, "{}", fmt::make_format_args(big)), ChannelFailure);
  EXPECT_THROW(log_format_assert(kLocation, "c", "s", "{}", fmt::make_format_args(big)), ChannelFailure);
  EXPECT_THROW(log_format_data_error(kLocation, "{}", fmt::make_format_args(big)), ChannelFailure);
  EXPECT_EQ(recorder_.texts().size(), 3u);  // registered before the throwing channel
  EXPECT_TRUE(after.deliveries().empty());
}

TEST_F(BadInputTest, ThrowingRawChannelStopsBeforeAnyOrdinaryDelivery) {
  add_default_channel(LogRawChannel{"throwing", &throw_from_line, nullptr});
  const std::string big(70'000, 'b');
  EXPECT_THROW(log_format(LogOptions{}, kCategory, kInfo, "{}\nsecond", fmt::make_format_args(big)),
               ChannelFailure);
  EXPECT_EQ(recorder_.raw_lines().size(), 1u);
  EXPECT_TRUE(recorder_.texts().empty());
}

// Every text cut by a refused heap block ends in a line feed and a NUL, like
// any whole text, and everything before is what the whole text would hold.
void expect_cut_well(std::string_view text, std::string_view whole_start) {
  ASSERT_GE(text.size(), 2u);
  EXPECT_EQ(text.substr(text.size() - 2), std::string_view("\n\0", 2));
  EXPECT_EQ(text.substr(0, whole_start.size()), whole_start);
}

TEST_F(BadInputTest, HeapExhaustionEndsTheMessageAtTheFailedGrowth) {
  detail::set_heap_allocate_for_testing(&refuse_heap);
  const std::string long_line(10'000, 'm');
  log_format(LogOptions{}, kCategory, kInfo, "start {} end", fmt::make_format_args(long_line));
  EXPECT_EQ(only_text(), with_nul("{hh:mm:ss.mmm} INFO: [bad] > start \n"));
  EXPECT_EQ(joined_raw_lines(), "start ");

  // A fill stops where the message's own storage ends.
  recorder_.clear();
  log_format(LogOptions{}, kCategory, kInfo, "[{:>2147483647}]", fmt::make_format_args(1));
  EXPECT_EQ(only_text(), with_nul("{hh:mm:ss.mmm} INFO: [bad] > [" + std::string(4095, ' ') + "\n"));
}

TEST_F(BadInputTest, HeapExhaustionCutsEveryFormOfTextAndEndsItWell) {
  detail::set_heap_allocate_for_testing(&refuse_heap);
  // 4000 line feeds fit the message's own storage, but their lines, each
  // with its header, make a text of more than 100 KB.
  log_format(LogOptions{}, kCategory, kInfo, "{:\n>4000}", fmt::make_format_args(1));
  log_format_data_error(kLocation, "{:\n>4000}", fmt::make_format_args(1));
  // The report is cut inside its condition line, which has no line feed of
  // its own to end on.
  const std::string condition(70'000, 'c');
  log_format_assert(kLocation, condition, "", "m", {});

  const std::vector<std::string> texts = recorder_.texts();
  ASSERT_EQ(texts.size(), 3u);
  for (const std::string& text : {texts[0], texts[1]}) {
    EXPECT_LE(text.size(), 65536u);  // all that fits without the heap
    EXPECT_GT(text.size(), 60000u);
  }
  expect_cut_well(mask_time(texts[0]), "{hh:mm:ss.mmm} INFO: [bad] > \n{hh:mm:ss.mmm} INFO: [bad] | \n");
  expect_cut_well(mask_time(texts[1]), "cfg.cc(7) : {hh:mm:ss.mmm} ERRR: [DataError] > [load] \n");
  const std::string report = mask_time(texts[2]);
  EXPECT_EQ(report, with_nul("cfg.cc(7) : {hh:mm:ss.mmm} ASRT: [Assert] > Assertion failed!\n"
                             "cfg.cc(7) : {hh:mm:ss.mmm} ASRT: [Assert] | m\n"
                             "cfg.cc(7) : {hh:mm:ss.mmm} ASRT: [Assert] - Condition: \n"));
}

TEST_F(BadInputTest, BadTimestampSpecsAndValues) {
  const LogTimestamp timestamp{637'921'789'271'239'000};  // 2022-06-30 09:42:07.123
  log_format(LogOptions{}, kCategory, kInfo, "A{:x}B|{:TT}C", fmt::make_format_args(timestamp, timestamp));
  EXPECT_EQ(only_text(),
            with_nul("{hh:mm:ss.mmm} INFO: [bad] > A<invalid_datetime_format_specifier>B|09:42:07.123\n"));
  // Outside a log call, {fmt} reports the field it cannot finish, and only
  // with its own error type.
  EXPECT_THROW((void)fmt::format(fmt::runtime("{:TT}"), timestamp), fmt::format_error);
  EXPECT_EQ(fmt::format("{:F}", LogTimestamp{0}), "0000-00-00 00:00:00.000");
  EXPECT_EQ(fmt::format("{:Z}", LogTimestamp{~std::uint64_t{0}}), "0000-00-00 00:00:00.000 (local)");
}

struct CountCalls {
  static void on_category(void* count, CategoryInfo) { ++*static_cast<int*>(count); }
};

TEST_F(BadInputTest, ControlsRefuseOrIgnoreWhatTheyCannotUse) {
  EXPECT_FALSE(change_verbosity(static_cast<MessageVerbosity>(3)));
  EXPECT_EQ(runtime_verbosity(), MessageVerbosity::Detailed);

  // Calls on an unknown category change and declare nothing.
  EXPECT_FALSE(enable_category("unknown"));
  EXPECT_FALSE(change_category_verbosity("unknown", MessageVerbosity::Brief));
  reset_category_verbosity("unknown");
  int count = 0;
  foreach_category(&CountCalls::on_category, &count);
  EXPECT_EQ(count, 0);
  foreach_category(nullptr, nullptr);

  // Any verbosity value is stored for a category and compares as a number.
  declare_category(kCategory);
  EXPECT_TRUE(change_category_verbosity(kCategory, static_cast<MessageVerbosity>(99)));
  EXPECT_TRUE(can_dispatch_log(kCategory, static_cast<MessageVerbosity>(50)));
  EXPECT_FALSE(can_dispatch_log(kCategory, static_cast<MessageVerbosity>(100)));
}

TEST_F(BadInputTest, OptionBitsBeyondTheFlagsAreKeptButNotPassedOn) {
  set_default_options(static_cast<LogOptions>(0xF0 | Continuation));
  EXPECT_EQ(default_options(), static_cast<LogOptions>(0xF1));
  log_format(static_cast<LogOptions>(0xFF00), kCategory, kInfo, "m", {});
  const DispatchContext context = recorder_.deliveries().back().context;
  EXPECT_TRUE(context.continuation);
  EXPECT_FALSE(context.with_function || context.with_file_line || context.channel_defined);
  EXPECT_EQ(only_text(), with_nul("{hh:mm:ss.mmm} INFO: [bad] | m\n"));
}

}  // namespace
}  // namespace core::logger
