// The message formatter compared with what {fmt} makes of the same format
// string and arguments, errors included.
#include "pipeline/message_format.h"

#include <climits>
#include <random>
#include <string>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "core/logger.h"
#include "fuzz/context_probe.h"

namespace {
// Counts how often it is formatted: no formatter may run twice.
struct Counted {
  int* count;
};
}  // namespace

template <>
struct fmt::formatter<Counted> : fmt::formatter<std::string_view> {
  auto format(const Counted& counted, fmt::format_context& ctx) const {
    return fmt::format_to(ctx.out(), "counted#{}", ++*counted.count);
  }
};

namespace core::logger::testing {
namespace {

// What a formatter leaves in a small buffer (the heap from the third field
// on) after "head:", and the error it raised.
template <bool kFast>
std::string formatted(std::string_view format, fmt::format_args args) {
  fmt::basic_memory_buffer<char, 16> buffer;
  buffer.append(std::string_view("head:"));
  std::string error;
  try {
    if (kFast) {
      detail::format_message(fmt::appender(buffer), format, args);
    } else {
      fmt::vformat_to(fmt::appender(buffer), format, args);
    }
  } catch (const std::exception& e) {
    error = e.what();
  }
  return fmt::to_string(buffer) + "|error: " + error;
}

template <typename... Args>
void expect_as_fmt(std::string_view format, const Args&... args) {
  const auto stored = fmt::make_format_args(args...);
  EXPECT_EQ(formatted<true>(format, stored), formatted<false>(format, stored))
      << "format \"" << format << "\"";
}

TEST(FormatMessageTest, WritesWhatFmtWrites) {
  int object = 0;
  expect_as_fmt("{} {} {} {} {} {} {}", INT_MIN, UINT_MAX, LLONG_MIN, ULLONG_MAX, -42L, short{-7}, 'x');
  expect_as_fmt("{} {} {} {} {} {}", true, 0.1, -1.5e300, 2.5L, static_cast<const void*>(&object), nullptr);
  expect_as_fmt("{}/{}/{}/{}", "c-string", std::string(100, 't'), std::string_view(),
                LogTimestamp{637'924'321'270'000'000});
  expect_as_fmt("{} {}", __extension__ static_cast<__int128>(LLONG_MIN) * 1000,
                __extension__ ~static_cast<unsigned __int128>(0));
  for (unsigned long long power = 1; power <= ULLONG_MAX / 10; power *= 10) {
    expect_as_fmt("{} {} {} {}", power - 1, power, -static_cast<long long>(power),
                  static_cast<unsigned>(power + 1));
  }
  expect_as_fmt("a {} b {} c", 1);  // a missing argument
  expect_as_fmt("x {} y {}", 2, static_cast<const char*>(nullptr));
  expect_as_fmt(std::string_view("nul \0 inside {}", 15), 5);
  // Other fields and stray braces, which {fmt}'s handler formats.
  for (const char* format :
       {"{0}", "{:x}", "{} {:>5}", "a {", "a }", "{ }", "{}{", "x}y", "{:{}}", "{}{0}", "{} {:{}} {}"}) {
    expect_as_fmt(format, 255, "s", 3);
  }
  // A user's formatter runs once, also before a field that {fmt} formats.
  int count = 0;
  EXPECT_EQ(formatted<true>("[{}] and {:x}", fmt::make_format_args(Counted{&count}, 255)),
            "head:[counted#1] and ff|error: ");
}

TEST(FormatMessageTest, RandomFormatStringsMatchFmt) {
  const std::string_view pieces[] = {"{}",  "{",   "}",   "{{",    "}}",    "a",    "bcdefgh", "\n",
                                     "{:}", "{0}", "{4}", "{:>3}", "{:{}}", "{:n}", " ",       "{:x}"};
  std::mt19937 random(20240601);
  for (int i = 0; i < 3000; ++i) {
    std::string format;
    for (int n = static_cast<int>(random() % 13); n > 0; --n) format += pieces[random() % std::size(pieces)];
    expect_as_fmt(format, 12, std::string(40, 'w'), -3, 'c', fuzz::ContextProbe{}, 1.25,
                  fuzz::ContextProbe{});
  }
}

TEST(FindBraceTest, FindsTheFirstBraceForEveryLengthAndPosition) {
  for (std::size_t length = 0; length <= 40; ++length) {
    for (std::size_t at = 0; at <= length; ++at) {
      for (char brace : {'{', '}'}) {
        std::string text(length, ' ');
        for (std::size_t i = 0; i < length; ++i) text[i] = "z|~y"[i % 4];  // braces' neighbours
        if (at < length) text[at] = brace;
        EXPECT_EQ(detail::find_brace(text), at) << length << " " << at;
      }
    }
  }
}

}  // namespace
}  // namespace core::logger::testing
