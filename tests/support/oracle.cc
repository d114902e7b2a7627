#include "support/oracle.h"

#include <algorithm>

#include <fmt/format.h>

namespace core::logger::oracle {
namespace {

using namespace std::string_view_literals;

constexpr std::uint64_t kTicksPerSecond = 10'000'000;
constexpr std::uint64_t kTicksPerDay = 86'400 * kTicksPerSecond;
constexpr std::uint64_t k1601 = 504'911'232'000'000'000;
constexpr std::size_t kHeaderArea = 512;
constexpr std::size_t kFunctionArea = 128;
constexpr std::size_t kInlineMessage = 4'096;
constexpr std::size_t kInlineText = 65'536;

struct Fields {
  std::uint64_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;
};

bool is_leap(std::uint64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

// Walks 400-year cycles, then years, then months from 1601-01-01, the first
// day of a cycle: no arithmetic in common with the library's.
Fields fields_of(LogTimestamp timestamp) {
  const std::uint64_t since_1601 = timestamp.ticks - k1601;
  Fields f;
  if (since_1601 >> 63) return f;  // beyond what the calendar breakdown takes: all zero
  std::uint64_t days = since_1601 / kTicksPerDay;
  const std::uint64_t in_day = since_1601 % kTicksPerDay;
  f.year = 1601 + days / 146'097 * 400;
  days %= 146'097;
  while (days >= (is_leap(f.year) ? 366u : 365u)) days -= is_leap(f.year++) ? 366 : 365;
  static constexpr std::uint64_t kMonthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  for (f.month = 1; days >= kMonthDays[f.month - 1] + (f.month == 2 && is_leap(f.year)); ++f.month) {
    days -= kMonthDays[f.month - 1] + (f.month == 2 && is_leap(f.year));
  }
  f.day = days + 1;
  f.hour = in_day / (3600 * kTicksPerSecond);
  f.minute = in_day / (60 * kTicksPerSecond) % 60;
  f.second = in_day / kTicksPerSecond % 60;
  f.millisecond = in_day % kTicksPerSecond / 10'000;
  return f;
}

std::string first_difference(std::string_view what, std::string_view actual, std::string_view expected) {
  const auto at = static_cast<std::size_t>(
      std::mismatch(actual.begin(), actual.end(), expected.begin(), expected.end()).first - actual.begin());
  const std::size_t from = at > 80 ? at - 80 : 0;
  return fmt::format("{} differs at {} of {} (expected {}):\n  actual:   {:?}\n  expected: {:?}", what, at,
                     actual.size(), expected.size(), actual.substr(from, 200), expected.substr(from, 200));
}

}  // namespace

std::string time_of_day(LogTimestamp timestamp) { return layout('T', timestamp); }

std::string layout(char spec, LogTimestamp timestamp) {
  const Fields f = fields_of(timestamp);
  const std::string date = fmt::format("{:04}-{:02}-{:02}", f.year, f.month, f.day);
  const std::string time = fmt::format("{:02}:{:02}:{:02}", f.hour, f.minute, f.second);
  const std::string milliseconds = fmt::format(".{:03}", f.millisecond);
  const std::string with_date = date + " " + time;
  const std::pair<char, std::string> layouts[] = {{'d', date},
                                                  {'t', time},
                                                  {'T', time + milliseconds},
                                                  {'f', with_date},
                                                  {'}', with_date},
                                                  {'F', with_date + milliseconds},
                                                  {'z', with_date + " (local)"},
                                                  {'Z', with_date + milliseconds + " (local)"}};
  for (const auto& [letter, text] : layouts) {
    if (letter == spec) return text;
  }
  return "<invalid_datetime_format_specifier>";
}

std::vector<std::string_view> pieces(std::string_view message) {
  std::vector<std::string_view> out;
  for (std::size_t line_feed; (line_feed = message.find('\n')) != std::string_view::npos;) {
    out.push_back(message.substr(0, line_feed + 1));
    message.remove_prefix(line_feed + 1);
  }
  out.push_back(message);
  return out;
}

Text compose(const Call& call, LogTimestamp timestamp, std::string_view message,
             std::uint64_t* prefix_width) {
  const LogLocation& where = call.location;
  const std::string time = "{" + time_of_day(timestamp) + "}";
  std::string header;
  if (call.form == Form::kAssert || (call.form == Form::kDataError && !where.file.empty())) {
    header = fmt::format("{}({}) : ", where.file, where.line);
  }
  header += call.form == Form::kOrdinary ? fmt::format("{} {}: [{}]", time, call.level, call.category)
            : call.form == Form::kAssert ? time + " ASRT: [Assert]"
                                         : time + " ERRR: [DataError]";
  header.resize(std::min(header.size(), kHeaderArea));
  if (*prefix_width > header.size()) {
    header.resize(*prefix_width, ' ');
  } else if (call.form == Form::kOrdinary) {
    *prefix_width = header.size();  // reports never raise it
  }
  std::string function;
  if (call.form == Form::kDataError && !where.function.empty()) {
    function = ("[" + std::string(where.function) + "] ").substr(0, kFunctionArea);
  }

  Text out;
  std::string_view separator = call.continuation ? " | " : " > ";
  for (std::string_view piece : pieces(message)) {
    for (std::string_view part : {std::string_view(header), separator, std::string_view(function), piece}) {
      out.add(part);
    }
    separator = " | ";
  }
  if (call.form != Form::kAssert) {
    out.add("\n\0"sv);
    return out;
  }
  out.add("\n");
  for (auto [marker, line] :
       {std::pair{" - Condition: "sv, call.condition}, {" - Function: "sv, where.function}}) {
    for (std::string_view part : {std::string_view(header), marker, line, "\n"sv}) out.add(part);
  }
  if (call.callstack.empty()) {
    out.add("\n");
  } else {
    // Only a final line feed is dropped: the stack's last line ends in one.
    std::string_view callstack = call.callstack;
    if (callstack.back() == '\n') callstack.remove_suffix(1);
    static const std::string kBegin = std::string(54, '>') + " callstack beg " + std::string(54, '>') + "\n";
    static const std::string kEnd = std::string(54, '<') + " callstack end " + std::string(54, '<') + "\n";
    for (std::string_view part : {std::string_view(kBegin), callstack, "\n"sv, std::string_view(kEnd)})
      out.add(part);
  }
  out.add("\0"sv);
  return out;
}

std::string compare_text(const Text& expected, std::string_view delivered, bool heap_limited) {
  const std::string& whole = expected.text;
  if (delivered == whole) return {};
  if (heap_limited && delivered.size() >= 2 && delivered.substr(delivered.size() - 2) == "\n\0"sv) {
    const std::size_t kept = delivered.size() - 2;
    const std::vector<std::size_t>& ends = expected.part_ends;
    const bool at_part_end = kept == 0 || std::binary_search(ends.begin(), ends.end(), kept);
    const auto next = std::upper_bound(ends.begin(), ends.end(), kept);
    const bool dropped_part = at_part_end && next != ends.end() && *next > kInlineText;
    if (kept < whole.size() && whole.compare(0, kept, delivered.substr(0, kept)) == 0 &&
        (dropped_part || kept + 2 >= kInlineText)) {
      return {};
    }
  }
  return first_difference("text", delivered, whole);
}

std::string compare_message(std::string_view formatted, std::string_view delivered, bool heap_limited) {
  if (delivered == formatted) return {};
  const bool cut =
      heap_limited && formatted.size() > kInlineMessage && formatted.substr(0, delivered.size()) == delivered;
  return cut ? std::string() : first_difference("message", delivered, formatted);
}

}  // namespace core::logger::oracle
