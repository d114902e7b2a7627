// tests/fuzz/log_call_check.h: log calls described by a case (decoded from
// arbitrary bytes, or written in a table), made through all four entry
// points, and everything the channels receive checked against the oracle.
//
// Shared by the libFuzzer target (clang), the corpus replay and the table of
// composer cases (the project's compiler, in every configuration). They link
// the library's objects: the check reads PrefixWidth and makes the buffers'
// heap run out on demand through internal seams.
#ifndef CORE_LOGGER_TESTS_FUZZ_LOG_CALL_CHECK_H_
#define CORE_LOGGER_TESTS_FUZZ_LOG_CALL_CHECK_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/logger.h"

namespace core::logger::fuzz {

// One argument of a call. A new kind goes before kKindCount, with its payload
// in decode_case and its value in the argument store of log_call_check.cc.
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
    kThrowing,      // a value whose formatter writes a little and then throws
    kNullCString,   // a const char* that is null
    kContextProbe,  // a value whose formatter writes what it reads from its contexts
    kKindCount
  };
  Kind kind = kInt;
  std::int64_t integer = 0;  // kInt, kLongLong, kBool, kChar, kThrowing
  std::uint64_t bits = 0;    // kUnsignedLongLong, kDouble (its bit pattern), kTimestamp, kPointer
  std::string text;          // kString, kCString
};

// Which calls a case makes, and which channels throw (bits of `calls`).
enum CallBits : std::uint8_t {
  kCallLogFormat = 1,
  kCallLogFormatSource = 2,
  kCallAssert = 4,
  kCallDataError = 8,
  kCallFormatTimestamp = 16,
  kArmThrowingChannel = 32,
  kArmThrowingRawChannel = 64,
  kAllCalls = 31,
};

struct LogCallCase {
  std::uint8_t calls = kAllCalls;
  LogOptions options{};          // passed to log_format and log_format_source
  LogOptions default_options{};  // set for the duration of each call
  std::uint32_t heap_limit = 0;  // bytes the text buffers may take from the heap; 0: no limit
  char timestamp_spec = 'f';     // of the fields that kCallFormatTimestamp formats
  std::uint32_t line = 0;
  std::string format, category, level, file, function, condition, callstack;
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
//   bytes for both string kinds, none for a null C string and a context
//   probe.
LogCallCase decode_case(const std::uint8_t* data, std::size_t size);

// What {fmt} makes of the case's format string and arguments (widths capped
// as the check caps them), up to where it throws.
std::string reference_message(const LogCallCase& call);

// Makes the calls of `call` and checks what the channels receive. Returns an
// empty string when all is well, else what went wrong. Registers its channels
// when the library holds none but the built-in one; they stay registered.
// REQUIRES: no other thread logs while it runs.
std::string check_case(const LogCallCase& call);

// check_case of the decoded bytes.
std::string check_log_calls(const std::uint8_t* data, std::size_t size);

}  // namespace core::logger::fuzz

#endif  // CORE_LOGGER_TESTS_FUZZ_LOG_CALL_CHECK_H_
