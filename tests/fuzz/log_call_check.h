// tests/fuzz/log_call_check.h: turns arbitrary bytes into log calls and checks
// every text that the library delivers for them against an independent
// composition of the same call.
//
// Shared by the libFuzzer target (clang) and the corpus replay test (the
// project's own compiler, in every build configuration). Both link the
// library's objects: the check reads PrefixWidth and makes the buffers' heap
// run out on demand through internal seams.
#ifndef CORE_LOGGER_TESTS_FUZZ_LOG_CALL_CHECK_H_
#define CORE_LOGGER_TESTS_FUZZ_LOG_CALL_CHECK_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/logger.h"

namespace core::logger::fuzz {

// Widths and precisions in generated format strings stay at or below this,
// all of them together too, so that one input can never ask for more memory
// than the fuzzer's limits are meant to catch (and a megabyte of fill, which
// {fmt} writes one character at a time, stays the slowest input).
constexpr std::uint32_t kMaxFieldWidth = 1u << 20;
constexpr std::uint32_t kFormatWidthBudget = kMaxFieldWidth;

// One argument of a generated call.
struct Argument {
  enum Kind : std::uint8_t {
    kInt,
    kLongLong,
    kUnsignedLongLong,
    kDouble,
    kBool,
    kChar,
    kString,   // a string_view: may hold NUL bytes and line feeds
    kCString,  // a const char*: ends at its first NUL
    kTimestamp,
    kPointer,
    kThrowing,     // a type whose formatter writes a little and then throws
    kNullCString,  // a const char* that is null
    kKindCount
  };
  Kind kind = kInt;
  std::int64_t integer = 0;  // kInt, kLongLong, kBool, kChar, kThrowing (what it throws)
  std::uint64_t bits = 0;    // kUnsignedLongLong, kDouble (its bit pattern), kTimestamp, kPointer
  std::string text;          // kString, kCString
};

// Which calls one input makes (bits of LogCallCase::calls).
enum CallBits : std::uint8_t {
  kCallLogFormat = 1,
  kCallLogFormatSource = 2,
  kCallAssert = 4,
  kCallDataError = 8,
  kCallFormatTimestamp = 16,
  kArmThrowingChannel = 32,
};

// Everything one input asks for. Decoded from bytes; any byte string decodes.
struct LogCallCase {
  std::uint8_t calls = 0;
  LogOptions options{};          // passed to log_format and log_format_source
  LogOptions default_options{};  // set for the duration of each call
  std::uint32_t heap_limit = 0;  // bytes the text buffers may take from the heap; 0: no limit
  char timestamp_spec = 'f';
  std::uint32_t line = 0;
  std::string format;
  std::string category;
  std::string level;
  std::string file;
  std::string function;
  std::string condition;
  std::string callstack;
  std::vector<Argument> arguments;
};

// Byte layout (little-endian; a field cut off by the end of the input is empty
// or zero):
//   u8 calls (CallBits), u8 options (low nibble: call, high nibble: default),
//   u8 heap (0: no limit, else heap * heap * 64 bytes), u8 timestamp spec,
//   u32 line, then seven strings, each a u16 length and its bytes: format,
//   category, level, file, function, condition, call stack; then u8 argument
//   count (modulo 16) and per argument a u8 kind (modulo kKindCount) and its
//   payload: 4 bytes for int, 8 for long long, unsigned long long, double,
//   timestamp and pointer, 1 for bool, char and throwing, a u16 length and its
//   bytes for both string kinds, none for a null C string.
LogCallCase decode_case(const std::uint8_t* data, std::size_t size);

// The inverse of decode_case, for writing seeds.
std::string encode_case(const LogCallCase& call);

// Rewrites every number inside a replacement field of `format` that is above
// what remains of kFormatWidthBudget down to that remainder. Sets
// `*has_nested_field` when a replacement field holds a nested one (a width or
// precision taken from an argument).
std::string cap_format_widths(std::string_view format, bool* has_nested_field);

// Makes the calls that `data` asks for and checks what the channels receive.
// Returns an empty string when all is well, else what went wrong. Registers
// its channels with the library on first use (they stay registered).
// REQUIRES: no other thread logs while it runs.
std::string check_log_calls(const std::uint8_t* data, std::size_t size);

}  // namespace core::logger::fuzz

#endif  // CORE_LOGGER_TESTS_FUZZ_LOG_CALL_CHECK_H_
