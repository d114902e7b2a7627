#include "fuzz/log_call_check.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <new>
#include <stdexcept>
#include <utility>

#include <fmt/args.h>
#include <fmt/format.h>

#include "pipeline/line_buffer.h"
#include "pipeline/text_composer.h"
#include "pipeline/timestamp.h"

namespace core::logger::fuzz {

// An argument whose formatter writes a few characters and then throws: what a
// user's faulty formatter does to a log call.
struct ThrowingArgument {
  std::uint8_t what;
};

// What the reference composition formats for a null C string: the spec of a
// C string, and then {fmt}'s "string pointer is null" error, or the pointer
// for "{:p}", without ever reading through it.
struct NullCString {};

}  // namespace core::logger::fuzz

template <>
struct fmt::formatter<core::logger::fuzz::NullCString> : fmt::formatter<const char*> {
  bool as_pointer = false;

  constexpr auto parse(fmt::format_parse_context& ctx) -> fmt::format_parse_context::iterator {
    const auto end = fmt::formatter<const char*>::parse(ctx);
    as_pointer = end != ctx.begin() && end[-1] == 'p';
    return end;
  }
  auto format(core::logger::fuzz::NullCString, fmt::format_context& ctx) const
      -> fmt::format_context::iterator {
    if (!as_pointer) throw fmt::format_error("string pointer is null");
    // Through a volatile, so that the compiler does not see a null pointer
    // reach the string branch, which the pointer spec never takes.
    const char* volatile null_string = nullptr;
    const char* const pointer = null_string;
    return fmt::formatter<const char*>::format(pointer, ctx);
  }
};

template <>
struct fmt::formatter<core::logger::fuzz::ThrowingArgument> {
  constexpr auto parse(fmt::format_parse_context& ctx) -> fmt::format_parse_context::iterator {
    return ctx.begin();
  }
  auto format(const core::logger::fuzz::ThrowingArgument& argument, fmt::format_context& ctx) const
      -> fmt::format_context::iterator {
    auto out = ctx.out();
    for (char c : std::string_view("<thr")) *out++ = c;
    switch (argument.what % 4) {
      case 0:
        throw std::runtime_error("argument formatter failed");
      case 1:
        throw fmt::format_error("argument formatter rejects its format");
      case 2:
        throw std::bad_alloc();
      default:
        throw 42;
    }
  }
};

namespace core::logger::fuzz {
namespace {

constexpr std::uint64_t kTicksPerSecond = 10'000'000;
constexpr std::uint64_t kTicksPerDay = 86'400 * kTicksPerSecond;
constexpr std::uint64_t k1601Offset = 504'911'232'000'000'000;

// ---------------------------------------------------------------------------
// Decoding
// ---------------------------------------------------------------------------

class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  std::uint8_t byte() {
    if (size_ == 0) return 0;
    --size_;
    return *data_++;
  }
  std::uint64_t little_endian(int bytes) {
    std::uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) value |= std::uint64_t{byte()} << (8 * i);
    return value;
  }
  std::string text() {
    const std::size_t length = std::min<std::size_t>(little_endian(2), size_);
    std::string out(reinterpret_cast<const char*>(data_), length);
    data_ += length;
    size_ -= length;
    return out;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
};

class Writer {
 public:
  void byte(std::uint8_t value) { out_.push_back(static_cast<char>(value)); }
  void little_endian(std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) byte(static_cast<std::uint8_t>(value >> (8 * i)));
  }
  void text(std::string_view value) {
    const std::size_t length = std::min<std::size_t>(value.size(), 0xFFFF);
    little_endian(length, 2);
    out_.append(value.substr(0, length));
  }
  std::string take() { return std::move(out_); }

 private:
  std::string out_;
};

std::uint8_t heap_byte_for(std::uint32_t limit) {
  for (std::uint32_t b = 1; b < 256; ++b) {
    if (b * b * 64 >= limit) return static_cast<std::uint8_t>(b);
  }
  return 255;
}

// ---------------------------------------------------------------------------
// The calls' environment: channels and the heap seam
// ---------------------------------------------------------------------------

struct ChannelError {};

struct RawPiece {
  std::string text;
  LogTimestamp timestamp;
};

struct Delivery {
  std::string text;
  DispatchContext context;
  std::string category;
  std::uint32_t category_id;
  std::string level;
  std::uint32_t level_value;
};

// What the channels saw during one call. Only one call runs at a time.
struct Recorder {
  std::vector<Delivery> texts;
  std::vector<Delivery> raw_records;  // those of the first piece, and any that differ
  std::vector<RawPiece> pieces;
  bool throwing_armed = false;
  int after_throwing_calls = 0;

  void clear() {
    texts.clear();
    raw_records.clear();
    pieces.clear();
    after_throwing_calls = 0;
  }
};

Recorder g_recorder;

Delivery make_delivery(std::string_view text, const DispatchContext& context, const LogCategory& category,
                       const LogLevel& level) {
  return Delivery{std::string(text),       context,    std::string(category.key.name), category.key.id,
                  std::string(level.name), level.value};
}

void record_text(void*, const DispatchContext& context, const LogCategory& category, const LogLevel& level,
                 std::string_view text) {
  g_recorder.texts.push_back(make_delivery(text, context, category, level));
}

void throw_when_armed(void*, const DispatchContext&, const LogCategory&, const LogLevel&, std::string_view) {
  if (g_recorder.throwing_armed) throw ChannelError{};
}

void count_after_throwing(void*, const DispatchContext&, const LogCategory&, const LogLevel&,
                          std::string_view) {
  ++g_recorder.after_throwing_calls;
}

bool same_context(const DispatchContext& a, const DispatchContext& b) {
  return a.location.function == b.location.function && a.location.file == b.location.file &&
         a.location.line == b.location.line && a.channels == b.channels &&
         a.channel_count == b.channel_count && a.raw_channels == b.raw_channels &&
         a.raw_channel_count == b.raw_channel_count && a.continuation == b.continuation &&
         a.with_function == b.with_function && a.with_file_line == b.with_file_line &&
         a.channel_defined == b.channel_defined;
}

// Keeps the records of the first piece and of every piece whose records
// differ from them: a message of many lines must not cost a copy per line.
void record_piece(void*, const DispatchContext& context, const LogCategory& category, const LogLevel& level,
                  LogTimestamp timestamp, std::string_view piece) {
  g_recorder.pieces.push_back(RawPiece{std::string(piece), timestamp});
  if (!g_recorder.raw_records.empty()) {
    const Delivery& first = g_recorder.raw_records.front();
    if (first.category == category.key.name && first.category_id == category.key.id &&
        first.level == level.name && first.level_value == level.value &&
        same_context(first.context, context)) {
      return;
    }
  }
  g_recorder.raw_records.push_back(make_delivery({}, context, category, level));
}

// Built-in, recorder, null callback, throwing, counter.
constexpr std::uint32_t kOrdinaryChannelCount = 5;
// Recorder, null callback.
constexpr std::uint32_t kRawChannelCount = 2;

void register_channels_once() {
  static const bool registered = [] {
    add_default_channel(LogChannel{"fuzz-recorder", &record_text, nullptr});
    add_default_channel(LogChannel{"fuzz-null", nullptr, nullptr});
    add_default_channel(LogChannel{"fuzz-throwing", &throw_when_armed, nullptr});
    add_default_channel(LogChannel{"fuzz-after-throwing", &count_after_throwing, nullptr});
    add_default_channel(LogRawChannel{"fuzz-raw-recorder", &record_piece, nullptr});
    add_default_channel(LogRawChannel{"fuzz-raw-null", nullptr, nullptr});
    return true;
  }();
  (void)registered;
}

std::atomic<std::uint64_t> g_heap_left{0};

void* limited_heap(std::size_t bytes) {
  std::uint64_t left = g_heap_left.load(std::memory_order_relaxed);
  if (bytes > left) return nullptr;
  g_heap_left.store(left - bytes, std::memory_order_relaxed);
  return std::malloc(bytes);
}

// Restores the process-wide settings that one call changes.
class CallSettings {
 public:
  CallSettings(const LogCallCase& call, bool armed) {
    set_default_options(call.default_options);
    g_recorder.throwing_armed = armed;
    if (call.heap_limit != 0) {
      g_heap_left.store(call.heap_limit, std::memory_order_relaxed);
      detail::set_heap_allocate_for_testing(&limited_heap);
    }
  }
  ~CallSettings() {
    detail::set_heap_allocate_for_testing(nullptr);
    g_recorder.throwing_armed = false;
    reset_default_options();
  }
  CallSettings(const CallSettings&) = delete;
  CallSettings& operator=(const CallSettings&) = delete;
};

// ---------------------------------------------------------------------------
// The independent composition that delivered texts are compared with
// ---------------------------------------------------------------------------

std::string time_of_day(LogTimestamp timestamp) {
  const std::uint64_t since_1601 = timestamp.ticks - k1601Offset;
  const std::uint64_t in_day = since_1601 >> 63 ? 0 : since_1601 % kTicksPerDay;
  const std::uint64_t seconds = in_day / kTicksPerSecond;
  const std::uint64_t millisecond = in_day % kTicksPerSecond / 10'000;
  return fmt::format("{:02}:{:02}:{:02}.{:03}", seconds / 3600, seconds / 60 % 60, seconds % 60, millisecond);
}

struct Fields {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;
};

bool is_leap(std::uint64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

// Walks 400-year cycles, then years, then months from 1601-01-01 (the first
// day of a cycle), so that it shares no arithmetic with the library's.
Fields fields_of(LogTimestamp timestamp) {
  const std::uint64_t since_1601 = timestamp.ticks - k1601Offset;
  Fields f;
  if (since_1601 >> 63) return f;
  std::uint64_t days = since_1601 / kTicksPerDay;
  const std::uint64_t in_day = since_1601 % kTicksPerDay;
  std::uint64_t year = 1601 + days / 146'097 * 400;
  days %= 146'097;
  while (days >= (is_leap(year) ? 366u : 365u)) days -= is_leap(year++) ? 366 : 365;
  static constexpr int kMonthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  int month = 1;
  for (;; ++month) {
    const std::uint64_t length = kMonthDays[month - 1] + (month == 2 && is_leap(year) ? 1 : 0);
    if (days < length) break;
    days -= length;
  }
  f.year = static_cast<int>(year);
  f.month = month;
  f.day = static_cast<int>(days) + 1;
  const std::uint64_t seconds = in_day / kTicksPerSecond;
  f.hour = static_cast<int>(seconds / 3600);
  f.minute = static_cast<int>(seconds / 60 % 60);
  f.second = static_cast<int>(seconds % 60);
  f.millisecond = static_cast<int>(in_day % kTicksPerSecond / 10'000);
  return f;
}

std::string expected_layout(int spec, LogTimestamp timestamp) {
  const Fields f = fields_of(timestamp);
  const std::string date = fmt::format("{:04}-{:02}-{:02}", f.year, f.month, f.day);
  const std::string time = fmt::format("{:02}:{:02}:{:02}", f.hour, f.minute, f.second);
  const std::string milliseconds = fmt::format(".{:03}", f.millisecond);
  switch (spec) {
    case 'd':
      return date;
    case 't':
      return time;
    case 'T':
      return time + milliseconds;
    case 'f':
      return date + " " + time;
    case 'F':
      return date + " " + time + milliseconds;
    case 'z':
      return date + " " + time + " (local)";
    case 'Z':
      return date + " " + time + milliseconds + " (local)";
    default:
      return "<invalid_datetime_format_specifier>";
  }
}

// What {fmt} writes for `format` before it finishes or throws.
std::string reference_format(std::string_view format, fmt::format_args args) {
  fmt::memory_buffer out;
  try {
    fmt::vformat_to(fmt::appender(out), format, args);
  } catch (...) {
  }
  return std::string(out.data(), out.size());
}

std::vector<std::string_view> split_lines(std::string_view message) {
  std::vector<std::string_view> pieces;
  for (;;) {
    const std::size_t line_feed = message.find('\n');
    if (line_feed == std::string_view::npos) {
      pieces.push_back(message);
      return pieces;
    }
    pieces.push_back(message.substr(0, line_feed + 1));
    message.remove_prefix(line_feed + 1);
  }
}

constexpr std::size_t kHeaderArea = 512;

// Cuts `header` to the header area and pads it to `prefix_width`; returns the
// unpadded width.
std::size_t fit_header(std::string& header, std::uint64_t prefix_width) {
  if (header.size() > kHeaderArea) header.resize(kHeaderArea);
  const std::size_t width = header.size();
  if (prefix_width > width) header.append(static_cast<std::size_t>(prefix_width) - width, ' ');
  return width;
}

std::string standard_header(LogTimestamp timestamp, std::string_view level, std::string_view category) {
  return "{" + time_of_day(timestamp) + "} " + std::string(level) + ": [" + std::string(category) + "]";
}

std::string location_prefix(std::string_view file, std::uint32_t line) {
  return std::string(file) + "(" + std::to_string(line) + ") : ";
}

void append_lines(std::string& text, std::string_view header, std::string_view first_separator,
                  std::string_view line_prefix, std::string_view message) {
  std::string_view separator = first_separator;
  for (std::string_view piece : split_lines(message)) {
    text.append(header).append(separator).append(line_prefix).append(piece);
    separator = " | ";
  }
}

std::string banner(char arrow, std::string_view title) {
  return std::string(54, arrow) + std::string(title) + std::string(54, arrow) + "\n";
}

// ---------------------------------------------------------------------------
// The checks
// ---------------------------------------------------------------------------

enum class Form { kOrdinary, kOrdinarySource, kAssert, kDataError };

const char* form_name(Form form) {
  switch (form) {
    case Form::kOrdinary:
      return "log_format";
    case Form::kOrdinarySource:
      return "log_format_source";
    case Form::kAssert:
      return "log_format_assert";
    default:
      return "log_format_data_error";
  }
}

std::string printable(std::string_view text, std::size_t limit = 400) {
  std::string out;
  for (char c : text.substr(0, limit)) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F && c != '\\') {
      out.push_back(c);
    } else {
      out += fmt::format("\\x{:02x}", byte);
    }
  }
  if (text.size() > limit) out += fmt::format("... ({} bytes)", text.size());
  return out;
}

// Where two texts first differ, for the failure report.
std::string first_difference(std::string_view actual, std::string_view expected) {
  std::size_t at = 0;
  while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
  const std::size_t from = at > 80 ? at - 80 : 0;
  return fmt::format("differs at {} of {} (expected {}):\n  actual:   \"{}\"\n  expected: \"{}\"", at,
                     actual.size(), expected.size(), printable(actual.substr(from, 200)),
                     printable(expected.substr(from, 200)));
}

bool same_flags(const DispatchContext& context, bool continuation, bool with_function, bool with_file_line,
                bool channel_defined) {
  return context.continuation == continuation && context.with_function == with_function &&
         context.with_file_line == with_file_line && context.channel_defined == channel_defined;
}

class CallChecker {
 public:
  CallChecker(const LogCallCase& call, Form form, std::string_view reference_message,
              std::uint64_t prefix_width_before)
      : call_(call), form_(form), reference_message_(reference_message), prefix_width_(prefix_width_before) {}

  std::string check(LogTimestamp before, LogTimestamp after) {
    if (g_recorder.texts.size() != 1) return fail(fmt::format("{} ordinary texts", g_recorder.texts.size()));
    if (g_recorder.pieces.empty()) return fail("no raw piece");
    if (const std::string error = check_records(); !error.empty()) return error;

    const LogTimestamp timestamp = g_recorder.pieces[0].timestamp;
    std::string message;
    for (const RawPiece& piece : g_recorder.pieces) {
      if (piece.timestamp.ticks != timestamp.ticks) return fail("raw pieces with different timestamps");
      message += piece.text;
    }
    // The clock may step, so only a gross error is caught.
    if (timestamp.ticks + kTicksPerDay < before.ticks || timestamp.ticks > after.ticks + kTicksPerDay) {
      return fail(fmt::format("timestamp {} far from the clock ({})", timestamp.ticks, before.ticks));
    }
    const std::vector<std::string_view> pieces = split_lines(message);
    if (pieces.size() != g_recorder.pieces.size()) {
      return fail(
          fmt::format("{} raw pieces for a message of {} lines", g_recorder.pieces.size(), pieces.size()));
    }
    for (std::size_t i = 0; i < pieces.size(); ++i) {
      if (pieces[i] != g_recorder.pieces[i].text) return fail(fmt::format("raw piece {} is not one line", i));
    }
    const bool may_cut = call_.heap_limit != 0;
    if (message != reference_message_ &&
        !(may_cut && reference_message_.substr(0, message.size()) == message)) {
      return fail("raw pieces joined are not the formatted message: " +
                  first_difference(message, reference_message_));
    }

    std::uint64_t prefix_width_after = prefix_width_;
    const std::string expected = expected_text(timestamp, message, &prefix_width_after);
    const std::string& text = g_recorder.texts[0].text;
    if (text != expected) {
      const std::string_view body(text.data(), text.size() >= 2 ? text.size() - 2 : 0);
      const bool cut_well = may_cut && text.size() >= 2 && text.compare(text.size() - 2, 2, "\n\0", 2) == 0 &&
                            std::string_view(expected).substr(0, body.size()) == body;
      if (!cut_well) return fail("text " + first_difference(text, expected));
    }
    const std::uint64_t prefix_width = detail::g_prefix_width.load(std::memory_order_relaxed);
    if (prefix_width != prefix_width_after) {
      return fail(
          fmt::format("PrefixWidth {} after the call, expected {}", prefix_width, prefix_width_after));
    }
    return {};
  }

 private:
  std::string fail(std::string_view what) const { return fmt::format("{}: {}", form_name(form_), what); }

  std::string check_records() const {
    const bool report = form_ == Form::kAssert || form_ == Form::kDataError;
    const std::string_view category = form_ == Form::kAssert      ? "Assert"
                                      : form_ == Form::kDataError ? "DataError"
                                                                  : std::string_view(call_.category);
    const std::string_view level = report ? "ERRR" : std::string_view(call_.level);
    const std::uint32_t level_value = report ? 4 : 7;
    const auto options = static_cast<std::uint32_t>(call_.options | call_.default_options);
    for (const std::vector<Delivery>* records : {&g_recorder.texts, &g_recorder.raw_records}) {
      for (const Delivery& d : *records) {
        if (d.category != category || d.category_id != category_id(category)) return fail("category record");
        if (d.level != level || d.level_value != level_value) return fail("level record");
        const DispatchContext& c = d.context;
        if (c.channel_count != kOrdinaryChannelCount || c.raw_channel_count != kRawChannelCount) {
          return fail("channel spans");
        }
        if (form_ == Form::kOrdinary) {
          if (!c.location.function.empty() || !c.location.file.empty() || c.location.line != 0) {
            return fail("log_format hands on a location");
          }
        } else if (c.location.function != call_.function || c.location.file != call_.file ||
                   c.location.line != call_.line) {
          return fail("location");
        }
        const bool flags_match = report ? same_flags(c, false, true, true, false)
                                        : same_flags(c, options & Continuation, options & WithFunction,
                                                     options & WithFileLine, options & ChannelDefined);
        if (!flags_match) return fail("option flags");
      }
    }
    return {};
  }

  // The text for `message` (what the raw channels received) and the
  // PrefixWidth that the call leaves behind.
  std::string expected_text(LogTimestamp timestamp, std::string_view message,
                            std::uint64_t* prefix_width_after) const {
    std::string text;
    if (form_ == Form::kOrdinary || form_ == Form::kOrdinarySource) {
      std::string header = standard_header(timestamp, call_.level, call_.category);
      const std::size_t width = fit_header(header, prefix_width_);
      *prefix_width_after = std::max<std::uint64_t>(prefix_width_, width);
      const auto options = call_.options | call_.default_options;
      append_lines(text, header, (options & Continuation) ? " | " : " > ", {}, message);
      text.append("\n\0", 2);
    } else if (form_ == Form::kAssert) {
      std::string header =
          location_prefix(call_.file, call_.line) + "{" + time_of_day(timestamp) + "} ASRT: [Assert]";
      fit_header(header, prefix_width_);
      append_lines(text, header, " > ", {}, message);
      text += "\n";
      text += header + " - Condition: " + call_.condition + "\n";
      text += header + " - Function: " + call_.function + "\n";
      if (call_.callstack.empty()) {
        text += "\n";
      } else {
        std::string_view callstack = call_.callstack;
        if (callstack.back() == '\n') callstack.remove_suffix(1);
        text += banner('>', " callstack beg ");
        text.append(callstack);
        text += "\n" + banner('<', " callstack end ");
      }
      text.push_back('\0');
    } else {
      std::string header = call_.file.empty() ? std::string() : location_prefix(call_.file, call_.line);
      header += standard_header(timestamp, "ERRR", "DataError");
      fit_header(header, prefix_width_);
      std::string function_prefix = call_.function.empty() ? std::string() : "[" + call_.function + "] ";
      if (function_prefix.size() > 128) function_prefix.resize(128);
      append_lines(text, header, " > ", function_prefix, message);
      text.append("\n\0", 2);
    }
    return text;
  }

  const LogCallCase& call_;
  const Form form_;
  const std::string_view reference_message_;
  const std::uint64_t prefix_width_;
};

// The arguments of a case, as {fmt} takes them: for the log calls, or for the
// reference composition, which must not hand {fmt} a null C string.
class ArgumentStore {
 public:
  ArgumentStore(const LogCallCase& call, std::int64_t integer_limit, bool reference) {
    for (const Argument& a : call.arguments) {
      switch (a.kind) {
        case Argument::kInt:
          store_.push_back(static_cast<int>(clamp(a.integer, integer_limit)));
          break;
        case Argument::kLongLong:
          store_.push_back(static_cast<long long>(clamp(a.integer, integer_limit)));
          break;
        case Argument::kUnsignedLongLong:
          store_.push_back(static_cast<unsigned long long>(
              integer_limit > 0 ? a.bits % static_cast<std::uint64_t>(integer_limit + 1) : a.bits));
          break;
        case Argument::kDouble: {
          double value;
          std::memcpy(&value, &a.bits, sizeof value);
          store_.push_back(value);
          break;
        }
        case Argument::kBool:
          store_.push_back(a.integer != 0);
          break;
        case Argument::kChar:
          store_.push_back(static_cast<char>(a.integer));
          break;
        case Argument::kString:
          store_.push_back(std::string_view(a.text));
          break;
        case Argument::kCString:
          store_.push_back(a.text.c_str());
          break;
        case Argument::kTimestamp:
          store_.push_back(LogTimestamp{a.bits});
          break;
        case Argument::kPointer:
          store_.push_back(reinterpret_cast<const void*>(static_cast<std::uintptr_t>(a.bits)));
          break;
        case Argument::kNullCString:
          if (reference) {
            store_.push_back(NullCString{});
          } else {
            store_.push_back(std::cref(kNullString));  // a copy would read it
          }
          break;
        default:
          store_.push_back(ThrowingArgument{static_cast<std::uint8_t>(a.integer)});
          break;
      }
    }
  }

  fmt::format_args args() const { return fmt::format_args(store_); }

 private:
  // A width taken from an argument must obey the same cap as a written one.
  static std::int64_t clamp(std::int64_t value, std::int64_t limit) {
    return limit > 0 ? value % (limit + 1) : value;
  }

  static constexpr const char* kNullString = nullptr;
  fmt::dynamic_format_arg_store<fmt::format_context> store_;
};

// Runs one log call and checks what it delivered.
std::string check_call(const LogCallCase& call, Form form, std::string_view format, fmt::format_args args,
                       std::string_view reference_message) {
  g_recorder.clear();
  const std::uint64_t prefix_width = detail::g_prefix_width.load(std::memory_order_relaxed);
  const bool armed = (call.calls & kArmThrowingChannel) != 0;
  const LogCategory category{{call.category, category_id(call.category)}, true, MessageVerbosity::Detailed};
  const LogLevel level{call.level, 7};
  const LogLocation location{call.function, call.file, call.line};
  const LogTimestamp before = detail::current_timestamp();
  bool threw_channel_error = false;
  try {
    CallSettings settings(call, armed);
    switch (form) {
      case Form::kOrdinary:
        log_format(call.options, category, level, format, args);
        break;
      case Form::kOrdinarySource:
        log_format_source(call.options, location, category, level, format, args);
        break;
      case Form::kAssert:
        log_format_assert(location, call.condition, call.callstack, format, args);
        break;
      case Form::kDataError:
        log_format_data_error(location, format, args);
        break;
    }
  } catch (const ChannelError&) {
    threw_channel_error = true;
  } catch (const std::exception& e) {
    return fmt::format("{} raised an error of its own: {}", form_name(form), e.what());
  } catch (...) {
    return fmt::format("{} raised an error of its own", form_name(form));
  }
  const LogTimestamp after = detail::current_timestamp();
  if (threw_channel_error != armed) {
    return fmt::format("{}: a throwing channel's exception {}", form_name(form),
                       armed ? "was swallowed" : "appeared unasked");
  }
  if (g_recorder.after_throwing_calls != (armed ? 0 : 1)) {
    return fmt::format("{}: the channel after the throwing one was called {} times", form_name(form),
                       g_recorder.after_throwing_calls);
  }
  CallChecker checker(call, form, reference_message, prefix_width);
  return checker.check(before, after);
}

std::string check_timestamp_formatting(const LogCallCase& call, std::string_view format,
                                       fmt::format_args args) {
  bool has_throwing_argument = false;
  bool has_timestamp = false;
  for (const Argument& a : call.arguments) {
    has_throwing_argument |= a.kind == Argument::kThrowing;
    has_timestamp |= a.kind == Argument::kTimestamp;
  }
  if (!has_timestamp) return {};
  try {
    (void)fmt::vformat(format, args);
  } catch (const fmt::format_error&) {
  } catch (...) {
    if (!has_throwing_argument) return "fmt::format raised something other than fmt::format_error";
  }
  const int spec = static_cast<signed char>(call.timestamp_spec);
  std::string field = "{:";
  if (call.timestamp_spec != '}') field += call.timestamp_spec;
  field += "}";
  for (const Argument& a : call.arguments) {
    if (a.kind != Argument::kTimestamp) continue;
    std::string text;
    try {
      text = fmt::format(fmt::runtime(field), LogTimestamp{a.bits});
    } catch (const std::exception& e) {
      return fmt::format("fmt::format(\"{}\", ticks {}) raised: {}", printable(field), a.bits, e.what());
    }
    const std::string expected =
        expected_layout(call.timestamp_spec == '}' ? 'f' : spec, LogTimestamp{a.bits});
    if (text != expected) {
      return fmt::format("fmt::format(\"{}\", ticks {}) gave \"{}\", expected \"{}\"", printable(field),
                         a.bits, printable(text), expected);
    }
  }
  return {};
}

// Texts of this size or more are not composed: a fill of line feeds can make
// a message of a million lines, each of which carries a header.
constexpr std::size_t kMaxExpectedText = 32u << 20;

std::size_t estimated_text_size(const LogCallCase& call, std::string_view message) {
  const std::size_t lines = 2 + static_cast<std::size_t>(std::count(message.begin(), message.end(), '\n'));
  return lines * (kHeaderArea + 3 + 128) + message.size() + call.condition.size() + call.callstack.size() +
         call.function.size() + 4 * kHeaderArea + 300;
}

}  // namespace

LogCallCase decode_case(const std::uint8_t* data, std::size_t size) {
  Reader in(data, size);
  LogCallCase call;
  call.calls = in.byte();
  const std::uint8_t options = in.byte();
  call.options = static_cast<LogOptions>(options & 0x0F);
  call.default_options = static_cast<LogOptions>(options >> 4);
  const std::uint32_t heap = in.byte();
  call.heap_limit = heap * heap * 64;
  call.timestamp_spec = static_cast<char>(in.byte());
  call.line = static_cast<std::uint32_t>(in.little_endian(4));
  for (std::string* text : {&call.format, &call.category, &call.level, &call.file, &call.function,
                            &call.condition, &call.callstack}) {
    *text = in.text();
  }
  const int count = in.byte() % 16;
  for (int i = 0; i < count; ++i) {
    Argument a;
    a.kind = static_cast<Argument::Kind>(in.byte() % Argument::kKindCount);
    switch (a.kind) {
      case Argument::kInt:
        a.integer = static_cast<std::int32_t>(in.little_endian(4));
        break;
      case Argument::kLongLong:
        a.integer = static_cast<std::int64_t>(in.little_endian(8));
        break;
      case Argument::kBool:
      case Argument::kChar:
      case Argument::kThrowing:
        a.integer = in.byte();
        break;
      case Argument::kString:
      case Argument::kCString:
        a.text = in.text();
        break;
      case Argument::kNullCString:
        break;
      default:
        a.bits = in.little_endian(8);
        break;
    }
    call.arguments.push_back(std::move(a));
  }
  return call;
}

std::string encode_case(const LogCallCase& call) {
  Writer out;
  out.byte(call.calls);
  out.byte(static_cast<std::uint8_t>((call.options & 0x0F) | (call.default_options & 0x0F) << 4));
  out.byte(call.heap_limit == 0 ? 0 : heap_byte_for(call.heap_limit));
  out.byte(static_cast<std::uint8_t>(call.timestamp_spec));
  out.little_endian(call.line, 4);
  for (const std::string* text : {&call.format, &call.category, &call.level, &call.file, &call.function,
                                  &call.condition, &call.callstack}) {
    out.text(*text);
  }
  out.byte(static_cast<std::uint8_t>(std::min<std::size_t>(call.arguments.size(), 15)));
  for (std::size_t i = 0; i < call.arguments.size() && i < 15; ++i) {
    const Argument& a = call.arguments[i];
    out.byte(a.kind);
    switch (a.kind) {
      case Argument::kInt:
        out.little_endian(static_cast<std::uint64_t>(a.integer), 4);
        break;
      case Argument::kLongLong:
        out.little_endian(static_cast<std::uint64_t>(a.integer), 8);
        break;
      case Argument::kBool:
      case Argument::kChar:
      case Argument::kThrowing:
        out.byte(static_cast<std::uint8_t>(a.integer));
        break;
      case Argument::kString:
      case Argument::kCString:
        out.text(a.text);
        break;
      case Argument::kNullCString:
        break;
      default:
        out.little_endian(a.bits, 8);
        break;
    }
  }
  return out.take();
}

std::string cap_format_widths(std::string_view format, bool* has_nested_field) {
  std::string out;
  out.reserve(format.size());
  std::uint64_t budget = kFormatWidthBudget;
  int depth = 0;
  *has_nested_field = false;
  for (std::size_t i = 0; i < format.size();) {
    const char c = format[i];
    if (depth == 0) {
      if (c == '{' && i + 1 < format.size() && format[i + 1] == '{') {
        out += "{{";
        i += 2;
        continue;
      }
      if (c == '{') depth = 1;
      out += c;
      ++i;
      continue;
    }
    if (c >= '0' && c <= '9') {
      std::size_t end = i;
      std::uint64_t value = 0;
      while (end < format.size() && format[end] >= '0' && format[end] <= '9') {
        value = std::min<std::uint64_t>(value * 10 + static_cast<std::uint64_t>(format[end] - '0'),
                                        std::uint64_t{1} << 40);
        ++end;
      }
      if (value > budget) {
        out += std::to_string(budget);
        value = budget;
      } else {
        out.append(format.substr(i, end - i));
      }
      budget -= value;
      i = end;
      continue;
    }
    if (c == '{') {
      ++depth;
      *has_nested_field = true;
    } else if (c == '}') {
      --depth;
    }
    out += c;
    ++i;
  }
  return out;
}

std::string check_log_calls(const std::uint8_t* data, std::size_t size) {
  register_channels_once();
  const LogCallCase call = decode_case(data, size);
  if (detail::g_prefix_width.load(std::memory_order_relaxed) > kHeaderArea) return "PrefixWidth above 512";

  bool has_nested_field = false;
  const std::string format = cap_format_widths(call.format, &has_nested_field);
  // Every width taken from an argument shares one cap.
  const std::size_t fields = static_cast<std::size_t>(std::count(format.begin(), format.end(), '{'));
  const std::int64_t integer_limit =
      has_nested_field ? static_cast<std::int64_t>(kMaxFieldWidth / std::max<std::size_t>(fields, 1)) : 0;
  const ArgumentStore store(call, integer_limit, /*reference=*/false);
  const fmt::format_args args = store.args();
  const ArgumentStore reference_store(call, integer_limit, /*reference=*/true);

  const std::string formatted = reference_format(format, reference_store.args());
  if (estimated_text_size(call, formatted) <= kMaxExpectedText) {
    const std::string assert_message =
        format.empty() ? std::string("Assertion failed!") : "Assertion failed!\n" + formatted;
    const std::pair<std::uint8_t, Form> calls[] = {{kCallLogFormat, Form::kOrdinary},
                                                   {kCallLogFormatSource, Form::kOrdinarySource},
                                                   {kCallAssert, Form::kAssert},
                                                   {kCallDataError, Form::kDataError}};
    for (const auto& [bit, form] : calls) {
      if ((call.calls & bit) == 0) continue;
      const std::string_view reference = form == Form::kAssert ? assert_message : formatted;
      if (std::string error = check_call(call, form, format, args, reference); !error.empty()) return error;
    }
  }
  if (call.calls & kCallFormatTimestamp)
    return check_timestamp_formatting(call, format, reference_store.args());
  return {};
}

}  // namespace core::logger::fuzz
