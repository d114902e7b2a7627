// The message formatter that bypasses {fmt}'s parser for "{}" fields, and the
// short-copy helpers under it. Every case is compared with what {fmt} itself
// produces for the same format string and arguments, errors included.
#include "pipeline/message_format.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <string_view>

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/logger.h"
#include "pipeline/char_copy.h"
#include "pipeline/line_buffer.h"

namespace core::logger::testing {
namespace {

// Counts how often it is formatted, to show that no formatter runs twice.
struct Counted {
  int* count;
};

}  // namespace
}  // namespace core::logger::testing

template <>
struct fmt::formatter<core::logger::testing::Counted> : fmt::formatter<std::string_view> {
  auto format(const core::logger::testing::Counted& counted, fmt::format_context& ctx) const
      -> fmt::format_context::iterator {
    ++*counted.count;
    return fmt::format_to(ctx.out(), "counted#{}", *counted.count);
  }
};

namespace core::logger::testing {
namespace {

using ::testing::ElementsAre;

// What a formatter left in its buffer, and the error it raised, if any.
struct Outcome {
  std::string text;
  std::string error;
  bool operator==(const Outcome& other) const { return text == other.text && error == other.error; }
};

void PrintTo(const Outcome& outcome, std::ostream* os) {
  *os << "text \"" << outcome.text << "\" error \"" << outcome.error << "\"";
}

using SmallBuffer = fmt::basic_memory_buffer<char, 16>;

Outcome with_fmt(std::string_view format, fmt::format_args args) {
  SmallBuffer buffer;
  buffer.append(std::string_view("head:"));
  Outcome outcome;
  try {
    fmt::vformat_to(fmt::appender(buffer), format, args);
  } catch (const std::exception& e) {
    outcome.error = e.what();
  }
  outcome.text = fmt::to_string(buffer);
  return outcome;
}

// The fast path, and {fmt} where it declines, as the text buffers use them.
Outcome with_fast_path(std::string_view format, fmt::format_args args, bool* declined = nullptr) {
  SmallBuffer buffer;
  buffer.append(std::string_view("head:"));
  Outcome outcome;
  try {
    const bool done = detail::format_automatic_fields(buffer, format, args);
    if (declined != nullptr) *declined = !done;
    if (!done) {
      EXPECT_EQ(fmt::to_string(buffer), "head:") << "a declined string leaves the buffer as it was";
      fmt::vformat_to(fmt::appender(buffer), format, args);
    }
  } catch (const std::exception& e) {
    outcome.error = e.what();
  }
  outcome.text = fmt::to_string(buffer);
  return outcome;
}

template <typename... Args>
void expect_same_as_fmt(std::string_view format, const Args&... args) {
  const auto stored = fmt::make_format_args(args...);
  EXPECT_EQ(with_fast_path(format, stored), with_fmt(format, stored)) << "format \"" << format << "\"";
}

TEST(AutomaticFieldsTest, EveryArgumentTypeIsWrittenAsFmtWritesIt) {
  const int int_min = INT_MIN;
  const unsigned uint_max = UINT_MAX;
  const long long ll_min = LLONG_MIN;
  const unsigned long long ull_max = ULLONG_MAX;
  const long l = -42;
  const short s = -7;
  const unsigned char uc = 200;
  expect_same_as_fmt("{} {} {} {} {} {} {}", int_min, uint_max, ll_min, ull_max, l, s, uc);
  expect_same_as_fmt("{}|{}|{}|{}|{}", 0, -1, 9, 10, 99);
  expect_same_as_fmt("{}|{}|{}|{}", 100, -100, 1000000000, 4294967295u);
  expect_same_as_fmt("{} {} {} {}", true, false, 'x', '\0');
  expect_same_as_fmt("{} {} {} {}", 0.1, -1.5e300, 3.0f, 2.5L);
  expect_same_as_fmt("{} {}", std::numeric_limits<double>::infinity(),
                     std::numeric_limits<double>::quiet_NaN());
  const char* c_string = "c-string";
  const std::string text(100, 't');
  expect_same_as_fmt("{}/{}/{}/{}", c_string, text, std::string_view("view"), std::string_view());
  int object = 0;
  expect_same_as_fmt("{} {}", static_cast<const void*>(&object), nullptr);
  expect_same_as_fmt("{}", LogTimestamp{637'924'321'270'000'000});
#ifdef __SIZEOF_INT128__
  __extension__ typedef __int128 Int128;
  __extension__ typedef unsigned __int128 UInt128;
  expect_same_as_fmt("{} {}", static_cast<Int128>(LLONG_MIN) * 1000, ~static_cast<UInt128>(0));
#endif
}

TEST(AutomaticFieldsTest, IntegersOfEveryLengthAndSign) {
  for (unsigned long long power = 1;; power *= 10) {
    for (const unsigned long long value : {power - 1, power, power + 1}) {
      const long long negative = -static_cast<long long>(value);
      const unsigned narrow = static_cast<unsigned>(value);
      const int narrow_negative = -static_cast<int>(narrow & 0x7fffffff);
      expect_same_as_fmt("{} {} {} {}", value, negative, narrow, narrow_negative);
    }
    if (power > ULLONG_MAX / 10) break;
  }
  expect_same_as_fmt("{} {}", ULLONG_MAX, LLONG_MIN);
}

TEST(AutomaticFieldsTest, LiteralTextAndEscapedBracesAtEveryOffset) {
  // Braces land at every position of the eight-character blocks that the
  // scanner reads, and at the end of the string.
  for (std::size_t lead = 0; lead < 20; ++lead) {
    const std::string pad(lead, 'p');
    for (const char* tail : {"{}", "{{", "}}", "{}}}", "{{{}", "{{}}", "x{}y", "}}{}{{", ""}) {
      const std::string format = pad + tail + pad;
      expect_same_as_fmt(format, 1, "two");
    }
  }
  expect_same_as_fmt(std::string(1000, 'z'));
  expect_same_as_fmt(std::string_view("nul \0 inside {}", 15), 5);
}

TEST(AutomaticFieldsTest, OtherFieldsAndStrayBracesAreLeftToFmt) {
  for (const char* format : {"{0}", "{:x}", "{} {:>5}", "{} {0}", "a {", "a }", "}", "{", "{ }", "{}{", "x}y",
                             "{} {} } {}", "{:{}}", "{name}", "{}\n{:d}"}) {
    bool declined = false;
    const auto args = fmt::make_format_args(255, "s", 3);
    EXPECT_EQ(with_fast_path(format, args, &declined), with_fmt(format, args)) << format;
    EXPECT_TRUE(declined) << format;
  }
}

TEST(AutomaticFieldsTest, ErrorsStopAtTheSamePlaceAsFmt) {
  expect_same_as_fmt("a {} b {} c", 1);  // a missing argument
  expect_same_as_fmt("{}");              // no argument at all
  const char* null_string = nullptr;
  expect_same_as_fmt("x {} y {}", 2, null_string);
  // The buffer grows on the heap at the first argument that does not fit.
  expect_same_as_fmt("{}-{}-{}", std::string(40, 'a'), std::string(300, 'b'), -5);
}

TEST(AutomaticFieldsTest, UserFormatterRunsOnceAsForABareField) {
  int count = 0;
  const Counted counted{&count};
  bool declined = false;
  EXPECT_EQ(with_fast_path("[{}] and {}", fmt::make_format_args(counted, 7), &declined).text,
            "head:[counted#1] and 7");
  EXPECT_FALSE(declined);
  EXPECT_EQ(count, 1);
  // A later field that only {fmt} handles: the user formatter must not run
  // in the fast path first.
  count = 0;
  EXPECT_EQ(with_fast_path("[{}] and {:x}", fmt::make_format_args(counted, 255), &declined).text,
            "head:[counted#1] and ff");
  EXPECT_TRUE(declined);
  EXPECT_EQ(count, 1);
}

TEST(AutomaticFieldsTest, RandomFormatStringsMatchFmt) {
  // Pieces that exercise every branch of the scanner and the field handling.
  const std::string_view pieces[] = {"{}", "{", "}", "{{", "}}", "a", "bcdefgh", "\n", "{:}", "{0}", " "};
  std::mt19937 random(20240601);
  std::uniform_int_distribution<std::size_t> pick(0, std::size(pieces) - 1);
  std::uniform_int_distribution<int> length(0, 12);
  const std::string word = "word";
  for (int i = 0; i < 3000; ++i) {
    std::string format;
    for (int n = length(random); n > 0; --n) format += pieces[pick(random)];
    expect_same_as_fmt(format, 12, word, -3, 'c', 1.25);
  }
}

TEST(FindBraceTest, FindsTheFirstBraceForEveryLengthAndPosition) {
  for (std::size_t length = 0; length <= 70; ++length) {
    for (std::size_t at = 0; at <= length; ++at) {
      for (char brace : {'{', '}'}) {
        // Neighbours of the braces must not be taken for one.
        std::string text(length, ' ');
        for (std::size_t i = 0; i < length; ++i) text[i] = "z|~y"[i % 4];
        if (at < length) text[at] = brace;
        const std::size_t expected = std::min(text.find_first_of("{}"), text.size());
        EXPECT_EQ(detail::find_brace(text), expected) << length << " " << at;
        EXPECT_EQ(detail::find_brace_in_words(text), expected) << length << " " << at;
      }
    }
  }
}

TEST(CopyCharsTest, CopiesExactlyTheRequestedCharacters) {
  for (std::size_t count = 0; count <= 70; ++count) {
    std::string source(count, '\0');
    for (std::size_t i = 0; i < count; ++i) source[i] = static_cast<char>('A' + i % 26);
    std::string target(count + 16, '#');
    detail::copy_chars(target.data() + 8, source.data(), count);
    EXPECT_EQ(target, std::string(8, '#') + source + std::string(8, '#')) << count;
  }
}

TEST(AppendPartsTest, AppendsEveryPartOrFallsBackToOneAtATime) {
  detail::TextBuffer<16> buffer;
  buffer.append_parts(std::string_view("ab"), std::string_view(), std::string_view("cde"));
  buffer.append_parts(std::string_view("0123456789"), std::string_view("xyz"));  // grows
  EXPECT_EQ(buffer.view(), "abcde0123456789xyz");
  EXPECT_FALSE(buffer.truncated());
}

}  // namespace
}  // namespace core::logger::testing
