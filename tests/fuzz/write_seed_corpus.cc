// Writes the seed corpus of the fuzzer: one file per kind of input that the
// log calls must survive. Usage: write_seed_corpus <directory>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/log_call_check.h"

namespace core::logger::fuzz {
namespace {

constexpr std::uint8_t kAllCalls =
    kCallLogFormat | kCallLogFormatSource | kCallAssert | kCallDataError | kCallFormatTimestamp;
constexpr std::uint64_t k1601Offset = 504'911'232'000'000'000;

Argument integer(std::int64_t value, Argument::Kind kind = Argument::kInt) {
  Argument a;
  a.kind = kind;
  a.integer = value;
  return a;
}
Argument bits(std::uint64_t value, Argument::Kind kind) {
  Argument a;
  a.kind = kind;
  a.bits = value;
  return a;
}
Argument number(double value) {
  Argument a;
  a.kind = Argument::kDouble;
  std::memcpy(&a.bits, &value, sizeof value);
  return a;
}
Argument text(std::string value, Argument::Kind kind = Argument::kString) {
  Argument a;
  a.kind = kind;
  a.text = std::move(value);
  return a;
}

LogCallCase base(std::string format, std::vector<Argument> arguments = {}) {
  LogCallCase call;
  call.calls = kAllCalls;
  call.format = std::move(format);
  call.category = "net";
  call.level = "INFO";
  call.file = "src/net/socket.cc";
  call.function = "Socket::connect";
  call.line = 214;
  call.condition = "fd >= 0";
  call.callstack = "frame 0\nframe 1\n";
  call.timestamp_spec = 'T';
  call.arguments = std::move(arguments);
  return call;
}

std::vector<std::pair<std::string, LogCallCase>> seeds() {
  std::vector<std::pair<std::string, LogCallCase>> out;
  auto add = [&](std::string name, LogCallCase call) { out.emplace_back(std::move(name), std::move(call)); };

  add("plain", base("user {} logged in from {}", {text("alice"), integer(8080)}));
  add("multi-line", base("first {}\nsecond\nthird {:>8.3f}", {text("a"), number(3.14159)}));
  add("empty-format", base(""));
  add("only-line-feed", base("\n"));
  add("ends-with-line-feed", base("done {}\n", {integer(1)}));
  add("carriage-returns", base("dos\r\nline\rmac\r", {}));
  add("nul-bytes", base(std::string("before\0after {}\n\0", 17), {text(std::string("x\0y\nz", 5))}));
  add("c-string-with-nul", base("[{}]", {text(std::string("cut\0here", 8), Argument::kCString)}));
  add("null-c-string", base("{1:p}|{1:>3}|{1}", {integer(1), text("", Argument::kNullCString)}));
  add("malformed-open", base("value {"));
  add("malformed-close", base("value } {}", {integer(1)}));
  add("malformed-fields", base("{:}{0:{}}{:q}{:.}", {integer(1), integer(2)}));
  add("missing-arguments", base("{} {} {} {5}", {integer(1)}));
  add("wrong-types",
      base("{:d} {:s} {:f} {:c} {:p}", {text("str"), integer(3), text("x"), number(1.5), integer(7)}));
  add("huge-width", base("[{:>99999999999}]", {integer(1)}));
  add("huge-precision", base("{:.99999999e}|{:.5000000}", {number(1.0 / 3), text("abc")}));
  add("dynamic-width", base("{:{}}|{:.{}f}|{:{}}",
                            {integer(12), integer(70000), number(2.5), integer(40), text("w"), integer(-3)}));
  add("line-feed-fill", base("{:\n>3000}", {integer(5)}));
  add("long-message", base("{:x>5000}|{:y<70000}", {integer(1), text("z")}));
  {
    LogCallCase call = base("long names");
    call.category = std::string(600, 'c');
    call.level = std::string(40, 'L');
    call.file = std::string(700, 'f');
    call.function = std::string(200, 'g');
    add("long-names", call);
  }
  {
    LogCallCase call = base("odd names {}", {integer(1)});
    call.category = std::string("cat\0\xff\n\r\t{}", 11);
    call.level = std::string("\x01\x7f", 2);
    call.file = std::string("a\nb\0c", 5);
    call.function = "{:}";
    call.condition = "line\nfeed";
    add("odd-names", call);
  }
  {
    LogCallCase call = base("empty names");
    call.category.clear();
    call.level.clear();
    call.file.clear();
    call.function.clear();
    call.condition.clear();
    call.callstack.clear();
    add("empty-names", call);
  }
  for (const char* stack : {"f0\nf1", "\n", "x"}) {
    LogCallCase call = base("stack");
    call.calls = kCallAssert;
    call.callstack = stack;
    add(std::string("callstack-") + (stack[0] == '\n'  ? "line-feed"
                                     : stack[0] == 'x' ? "one"
                                                       : "no-end"),
        call);
  }
  {
    LogCallCase call =
        base("timestamps {:T} {:d} {:Z} {:x} {} {:z}",
             {bits(637'921'789'271'239'000, Argument::kTimestamp), bits(0, Argument::kTimestamp),
              bits(k1601Offset, Argument::kTimestamp), bits(k1601Offset - 1, Argument::kTimestamp),
              bits(~std::uint64_t{0}, Argument::kTimestamp),
              bits(3'155'378'975'999'999'999, Argument::kTimestamp)});
    add("timestamps", call);
    call.format = "{:TT} after";
    call.timestamp_spec = 'F';
    add("timestamp-two-letters", call);
    call.format = "{:Q}";
    call.timestamp_spec = '}';
    add("timestamp-bare-field", call);
  }
  for (std::int64_t what = 0; what < 4; ++what) {
    add("throwing-argument-" + std::to_string(what),
        base("before {} {} after", {integer(1), integer(what, Argument::kThrowing)}));
  }
  {
    LogCallCase call = base("a channel throws {}", {integer(3)});
    call.calls |= kArmThrowingChannel;
    add("throwing-channel", call);
  }
  {
    LogCallCase call = base("{:z>200000}\n{}", {integer(1), text("tail")});
    call.heap_limit = 64 * 40 * 40;
    add("heap-exhausted-message", call);
    call.format = "{:\n>4000}";
    call.heap_limit = 64 * 30 * 30;
    add("heap-exhausted-text", call);
  }
  {
    LogCallCase call = base("continued {}\nline", {integer(2)});
    call.options = Continuation | ChannelDefined;
    call.default_options = WithFunction | WithFileLine;
    add("options", call);
  }
  add("every-kind", base("{} {} {} {} {} {} {} {} {}",
                         {integer(-7), integer(-9'000'000'000, Argument::kLongLong),
                          bits(18'000'000'000'000'000'000u, Argument::kUnsignedLongLong), number(-0.0),
                          integer(1, Argument::kBool), integer('q', Argument::kChar), text("sv"),
                          bits(0xdeadbeef, Argument::kPointer), number(1e308 * 10)}));
  return out;
}

}  // namespace
}  // namespace core::logger::fuzz

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  for (const auto& [name, call] : core::logger::fuzz::seeds()) {
    std::ofstream(std::string(argv[1]) + "/seed-" + name, std::ios::binary)
        << core::logger::fuzz::encode_case(call);
  }
  return 0;
}
