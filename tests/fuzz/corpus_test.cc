// The fuzzer's seed corpus: the committed files, and a table of named cases
// (every row of README's bad-input table that a log call meets, the seeds,
// the edges of the buffers), each case checked at PrefixWidth 0, 100 and 512.
// A new case is one more row.
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fuzz/log_call_check.h"
#include "pipeline/text_composer.h"
#include "support/library_reset.h"

namespace core::logger::fuzz {
namespace {

using namespace std::string_literals;

TEST(FuzzCorpusTest, EveryCommittedInputPassesTheCheck) {
  detail::reset_for_testing();
  int replayed = 0;
  for (const auto& entry : std::filesystem::directory_iterator(CORE_LOGGER_FUZZ_CORPUS)) {
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string input((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(check_log_calls(reinterpret_cast<const std::uint8_t*>(input.data()), input.size()), "")
        << entry.path().filename().string();
    ++replayed;
  }
  EXPECT_GE(replayed, 10) << "the seed corpus is missing";
}

Argument arg(std::int64_t value, Argument::Kind kind = Argument::kInt) {
  return {kind, value, static_cast<std::uint64_t>(value), {}};
}
Argument text(std::string value, Argument::Kind kind = Argument::kString) {
  return {kind, 0, 0, std::move(value)};
}
const Argument kNullString{Argument::kNullCString, 0, 0, {}};
const Argument kProbe{Argument::kContextProbe, 0, 0, {}};
Argument number(double value) {
  Argument a = arg(0, Argument::kDouble);
  std::memcpy(&a.bits, &value, sizeof value);
  return a;
}

// A call of every form on a socket, changed by `edit`.
LogCallCase make(std::string format, std::vector<Argument> arguments = {},
                 const std::function<void(LogCallCase&)>& edit = {}) {
  LogCallCase c;
  c.format = std::move(format);
  c.arguments = std::move(arguments);
  c.category = "net", c.level = "INFO", c.file = "src/net/socket.cc", c.function = "Socket::connect";
  c.line = 214, c.condition = "fd >= 0", c.callstack = "frame 0\nframe 1\n", c.timestamp_spec = 'T';
  if (edit) edit(c);
  return c;
}

// `message`: what {fmt} makes of the case's format string, where README pins it.
struct NamedCase {
  const char* name;
  LogCallCase call;
  std::string message = "<any>";
};

std::vector<NamedCase> cases() {
  const auto stack = [](std::string s) {
    return [s](LogCallCase& c) { c.calls = kCallAssert, c.callstack = s; };
  };
  const auto heap = [](std::uint32_t bytes) { return [bytes](LogCallCase& c) { c.heap_limit = bytes; }; };
  // Headers as wide as the area, so that the text's size is the same whatever
  // PrefixWidth; a heap that has room for the message and none for the text.
  const auto wide = [](LogCallCase& c) {
    c.heap_limit = 70'000, c.category = std::string(600, 'c'), c.file = std::string(700, 'f'),
    c.function = "";
  };
  const auto category = [](std::size_t length) {
    return [length](LogCallCase& c) { c.category = std::string(length, 'c'); };
  };
  return {
      // README: bad input.
      {"unclosed field", make("value {"), "value "},
      {"unmatched closing brace", make("a } b {}", {arg(1)}), ""},
      {"unknown type", make("a {:q} b", {arg(1)}), "a "},
      {"manual index after automatic", make("x{}{0}y", {arg(1)}), "x1"},
      {"missing argument", make("{} {} {} {}", {arg(1), text("str"), arg(-5)}), "1 str -5 "},
      {"missing numbered argument", make("a{5}"), "a"},
      {"string as integer", make("n={1:d}", {arg(1), text("str")}), "n="},
      {"integer as string", make("n={0:s}", {arg(1)}), "n="},
      {"width beyond int", make("[{:>99999999999}]", {arg(1)}), "["},
      {"precision beyond int", make("[{1:.99999999999}]", {arg(1), text("str")}), "["},
      {"width from a string", make("[{0:{1}}]", {arg(1), text("str")}), "["},
      {"negative width", make("[{0:{1}}]", {arg(1), arg(-5)}), "["},
      {"huge width, heap refused", make("[{:>1000000}]", {arg(1)}, heap(1)),
       "[" + std::string(999'999, ' ') + "1]"},
      {"throwing formatter", make("before {} after", {arg(0, Argument::kThrowing)}), "before <thr"},
      {"throwing formatter, format_error", make("before {}", {arg(1, Argument::kThrowing)}), "before <thr"},
      {"throwing formatter, bad_alloc", make("before {}", {arg(2, Argument::kThrowing)}), "before <thr"},
      {"throwing formatter, an int", make("before {} {}", {arg(1), arg(3, Argument::kThrowing)}),
       "before 1 <thr"},
      {"NUL bytes", make("a\0b {} {}\n\0"s, {text("x\0y"s), text("cut\0off"s, Argument::kCString)}),
       "a\0b x\0y cut\n\0"s},
      {"null C string", make("x{}y", {kNullString}), "x"},
      {"null C string, empty format spec", make("x{:}y", {kNullString}), "x"},
      {"null C string, width", make("x{:>5}y", {kNullString}), "x"},
      {"null C string, type", make("x{:s}y", {kNullString}), "x"},
      {"null C string, precision", make("x{0:.3}y", {kNullString}), "x"},
      {"null C string after another field", make("{1} x{0:<4}y", {kNullString, arg(7)}), "7 x"},
      {"null C string as a pointer", make("x{:p}y", {kNullString}), "x0x0y"},
      // A user formatter sees the contexts that {fmt} gives it, wherever
      // {fmt} takes over from the "{}" fields.
      {"user formatter reading its context, among '{}' fields",
       make("{} {}|{:n} {:>4}|{}", {arg(1), kProbe, kProbe, arg(7), kProbe}),
       "1 <0 [ 0] 5: 1 o o 7 o>|<11 [ 3] 5: 1 o o 7 o> <6 [] 5: 1 o o 7 o>|"},
      {"user formatter reading its context, after a format spec",
       make("{:>3}{}{:{}}", {arg(1), kProbe, arg(5), arg(4)}), "  1<0 [ 0] 4: 1 o 5 4>   5"},
      {"lone carriage returns", make("dos\r\nline\rmac\r"), "dos\r\nline\rmac\r"},
      {"long message and text", make("{}\n{}\n{}", {text(std::string(100'000, 'm')), arg(2), arg(3)})},
      {"heap refused mid-message", make("start {} end", {text(std::string(10'000, 'm'))}, heap(1))},
      {"heap refused mid-text", make("{:\n>4000}", {arg(1)}, heap(1))},
      {"heap runs out", make("{:z>200000}\n{}", {arg(1), text("tail")}, heap(64 * 40 * 40))},
      {"heap refused mid-condition", make("m", {},
                                          [](LogCallCase& c) {
                                            c.calls = kCallAssert, c.heap_limit = 1,
                                            c.condition = std::string(70'000, 'c');
                                          })},
      {"long names", make("long names", {},
                          [](LogCallCase& c) {
                            c.category = std::string(600, 'c'), c.level = std::string(40, 'L');
                            c.file = std::string(700, 'f'), c.function = std::string(200, 'g');
                          })},
      {"long location", make("m", {}, [](LogCallCase& c) { c.file = std::string(510, 'f'), c.line = 99; })},
      {"odd names", make("odd names {}", {arg(1)},
                         [](LogCallCase& c) {
                           c.category = "cat\0\xff\n\r\t{}"s, c.level = "\x01\x7f";
                           c.file = "a\nb\0c"s, c.function = "{:}", c.condition = "line\nfeed";
                         })},
      {"empty names", make("empty names", {},
                           [](LogCallCase& c) {
                             c.category = c.level = c.file = c.function = c.condition = c.callstack = "";
                           })},
      {"null channel callbacks and a throwing channel",
       make("throws {}", {arg(3)}, [](LogCallCase& c) { c.calls |= kArmThrowingChannel; })},
      {"throwing raw channel",
       make("throws\nsecond"s, {}, [](LogCallCase& c) { c.calls |= kArmThrowingRawChannel; })},
      {"option bits beyond the flags", make("{}\nline", {arg(2)},
                                            [](LogCallCase& c) {
                                              c.options = static_cast<LogOptions>(0xFF00 | ChannelDefined);
                                              c.default_options = static_cast<LogOptions>(
                                                  0xF0 | Continuation | WithFunction | WithFileLine);
                                            })},
      {"timestamps",
       make("{:T} {:d} {:Z} {:x} {} {:z}",
            {arg(637'921'789'271'239'000, Argument::kTimestamp), arg(0, Argument::kTimestamp),
             arg(504'911'232'000'000'000, Argument::kTimestamp),
             arg(504'911'231'999'999'999, Argument::kTimestamp), arg(-1, Argument::kTimestamp),
             arg(3'155'378'975'999'999'999, Argument::kTimestamp)}),
       "09:42:07.123 0000-00-00 1601-01-01 00:00:00.000 (local) <invalid_datetime_format_specifier> "
       "0000-00-00 00:00:00 9999-12-31 23:59:59 (local)"},
      {"timestamp format spec of two letters",
       make("A{:TT}B", {arg(637'921'789'271'239'000, Argument::kTimestamp)},
            [](LogCallCase& c) { c.timestamp_spec = 'F'; }),
       "A09:42:07.123"},
      {"timestamp without format spec",
       make("{:Q}", {arg(1, Argument::kTimestamp)}, [](LogCallCase& c) { c.timestamp_spec = '}'; })},
      // The fuzzer's seeds.
      {"plain", make("user {} logged in from {}", {text("alice"), arg(8080)}),
       "user alice logged in from 8080"},
      {"multi-line", make("first {}\nsecond\nthird {:>8.3f}", {text("a"), number(3.14159)})},
      {"empty format", make("")},
      {"only a line feed", make("\n")},
      {"ends with a line feed", make("done {}\n", {arg(1)})},
      {"malformed fields", make("{:}{0:{}}{:q}{:.}", {arg(1), arg(2)})},
      {"wrong types",
       make("{:d} {:s} {:f} {:c} {:p}", {text("str"), arg(3), text("x"), number(1.5), arg(7)})},
      {"dynamic width",
       make("{:{}}|{:.{}f}|{:{}}", {arg(12), arg(70000), number(2.5), arg(40), text("w"), arg(-3)})},
      {"line-feed fill", make("{:\n>3000}", {arg(5)})},
      {"every kind",
       make("{} {} {} {} {} {} {} {} {}",
            {arg(-7), arg(-9'000'000'000, Argument::kLongLong), arg(-1, Argument::kUnsignedLongLong),
             number(-0.0), arg(1, Argument::kBool), arg('q', Argument::kChar), text("sv"),
             arg(0xdeadbeef, Argument::kPointer), number(1e308 * 10)})},
      {"call stack without a final line feed", make("stack", {}, stack("f0\nf1"))},
      {"call stack of a line feed", make("stack", {}, stack("\n"))},
      {"call stack of one character", make("stack", {}, stack("x"))},
      // The edges.
      {"header one short of PrefixWidth 100", make("x", {}, category(76))},
      {"header one short of PrefixWidth 512", make("x", {}, category(488))},
      {"header of the whole area", make("x\ny", {}, category(489))},
      {"message of 4096, heap refused", make("{}", {text(std::string(4096, 'm'))}, heap(1))},
      {"message of 4097, heap refused", make("{}", {text(std::string(4097, 'm'))}, heap(1))},
      {"text of 65536, heap refused", make("{}", {text(std::string(65'019, 'm'))}, wide)},
      {"text of 65537, heap refused", make("{}", {text(std::string(65'020, 'm'))}, wide)},
  };
}

TEST(FuzzCorpusTest, EveryCaseWhateverTheWidestHeaderSoFar) {
  detail::reset_for_testing();
  for (const NamedCase& c : cases()) {
    if (c.message != "<any>") {
      EXPECT_EQ(reference_message(c.call), c.message) << c.name;
    }
    for (std::uint64_t width : {0, 100, 512}) {
      detail::g_prefix_width.store(width);
      EXPECT_EQ(check_case(c.call), "") << c.name << ", PrefixWidth " << width;
    }
  }
  detail::reset_for_testing();
}

}  // namespace
}  // namespace core::logger::fuzz
