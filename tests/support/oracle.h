// tests/support/oracle.h: what the library must deliver, worked out apart
// from its code: the three text forms, the time of day, the calendar and the
// timestamp layouts. The fuzzer, the table of composer cases and the stress
// test all check against it.
#ifndef CORE_LOGGER_TESTS_SUPPORT_ORACLE_H_
#define CORE_LOGGER_TESTS_SUPPORT_ORACLE_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/logger.h"

namespace core::logger::oracle {

enum class Form { kOrdinary, kAssert, kDataError };

// What a composer reads of one call (views, not owned).
struct Call {
  Form form = Form::kOrdinary;
  bool continuation = false;  // ordinary lines only
  std::string_view level;     // ordinary lines only
  std::string_view category;  // ordinary lines only
  LogLocation location{};     // reports only
  std::string_view condition;
  std::string_view callstack;
};

// An expected text and where each of the library's appends to it ends: a
// refused heap drops the append that needed it whole.
struct Text {
  std::string text;
  std::vector<std::size_t> part_ends;
  void add(std::string_view part) { part_ends.push_back(text.append(part).size()); }
};

// "HH:MM:SS.mmm", as a header shows it.
std::string time_of_day(LogTimestamp timestamp);

// What "{:<letter>}" writes for `timestamp`; '}' stands for "{}".
std::string layout(char letter, LogTimestamp timestamp);

// The pieces that the line splitter hands to raw channels.
std::vector<std::string_view> pieces(std::string_view message);

// The text of `call` for the message part that its raw channels received
// ("Assertion failed!..." for an assertion report). `*prefix_width` is the
// PrefixWidth that the call read; it is left as the call leaves it.
Text compose(const Call& call, LogTimestamp timestamp, std::string_view message, std::uint64_t* prefix_width);

// Empty when `delivered` is `expected`, or, with `heap_limited`, `expected`
// cut where a refused heap may cut it: after the last append that the 65,536
// characters held inline could take, or two short of a full buffer, then a
// line feed and a NUL. Otherwise where they differ.
std::string compare_text(const Text& expected, std::string_view delivered, bool heap_limited);

// The same for the message: `delivered` is `formatted`, or with
// `heap_limited` a beginning of it when it could not fit 4,096 characters.
std::string compare_message(std::string_view formatted, std::string_view delivered, bool heap_limited);

}  // namespace core::logger::oracle

#endif  // CORE_LOGGER_TESTS_SUPPORT_ORACLE_H_
