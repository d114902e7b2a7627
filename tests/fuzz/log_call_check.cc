#include "fuzz/log_call_check.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <tuple>

#include <fmt/args.h>
#include <fmt/format.h>

#include "fuzz/context_probe.h"
#include "pipeline/channel_list.h"
#include "pipeline/line_buffer.h"
#include "pipeline/text_composer.h"
#include "pipeline/timestamp.h"
#include "support/faults.h"
#include "support/oracle.h"

namespace core::logger::fuzz {

// What the reference composition formats for a null C string: the format spec
// of a C string, and then {fmt}'s "string pointer is null" error, or the pointer
// for "{:p}", without ever reading through it.
struct NullCString {};

}  // namespace core::logger::fuzz

template <>
struct fmt::formatter<core::logger::fuzz::NullCString> : fmt::formatter<const char*> {
  bool as_pointer = false;

  constexpr auto parse(fmt::format_parse_context& ctx) -> fmt::format_parse_context::iterator {
    const auto end = fmt::formatter<const char*>::parse(ctx);
    // {fmt} checks a custom type's closing brace only after formatting it; a
    // C string's is checked before, so that nothing is written.
    if (end == ctx.end() || *end != '}') throw fmt::format_error("missing '}' in format string");
    as_pointer = end != ctx.begin() && end[-1] == 'p';
    return end;
  }
  auto format(core::logger::fuzz::NullCString, fmt::format_context& ctx) const
      -> fmt::format_context::iterator {
    if (!as_pointer) throw fmt::format_error("string pointer is null");
    // Through a volatile, so that the compiler does not see a null pointer
    // reach the string branch, which "{:p}" never takes.
    const char* volatile null_string = nullptr;
    const char* const pointer = null_string;
    return fmt::formatter<const char*>::format(pointer, ctx);
  }
};

namespace core::logger::fuzz {
namespace {

using oracle::Form;
using testing::ChannelFailure;

// Widths and precisions in a format string stay at or below this, all of them
// together too, so that no input asks for more memory than the fuzzer's limits
// are meant to catch (a megabyte of fill stays the slowest input).
constexpr std::uint64_t kFormatWidthBudget = 1u << 20;
constexpr std::uint64_t kTicksPerDay = 864'000'000'000;

class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  std::uint64_t number(int bytes) {
    std::uint64_t value = 0;
    for (int i = 0; i < bytes && size_ > 0; ++i, --size_) value |= std::uint64_t{*data_++} << (8 * i);
    return value;
  }
  std::string text() {
    const std::size_t length = std::min<std::size_t>(number(2), size_);
    std::string out(reinterpret_cast<const char*>(data_), length);
    data_ += length;
    size_ -= length;
    return out;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
};

// Rewrites every number inside a replacement field above what remains of the
// width budget to that remainder. Sets `*nested` when a field holds a nested
// one (a width or precision taken from an argument).
std::string cap_format_widths(std::string_view format, bool* nested) {
  std::string out;
  std::uint64_t budget = kFormatWidthBudget;
  int depth = 0;
  *nested = false;
  for (std::size_t i = 0; i < format.size();) {
    const char c = format[i];
    if (depth > 0 && c >= '0' && c <= '9') {
      std::size_t end = i;
      std::uint64_t value = 0;
      for (; end < format.size() && format[end] >= '0' && format[end] <= '9'; ++end) {
        value =
            std::min<std::uint64_t>(value * 10 + static_cast<std::uint64_t>(format[end] - '0'), 1ull << 40);
      }
      // {fmt} refuses a number beyond int by itself: that one stays.
      const bool capped = value > budget && value <= 0x7FFFFFFF;
      out += capped ? std::to_string(budget) : std::string(format.substr(i, end - i));
      budget -= std::min(value, budget);
      i = end;
      continue;
    }
    if (depth == 0 && c == '{' && i + 1 < format.size() && format[i + 1] == '{') {
      out += "{{";
      i += 2;
      continue;
    }
    if (c == '{') *nested |= depth++ > 0;
    if (c == '}' && depth > 0) --depth;
    out += c;
    ++i;
  }
  return out;
}

// The arguments of a case, as {fmt} takes them: for the log calls, or with
// `reference` for the reference composition, which must not hand {fmt} a null
// C string.
class ArgumentStore {
 public:
  // `limit`: the cap on integers, which may stand for widths (0: none).
  ArgumentStore(const LogCallCase& call, std::uint64_t limit, bool reference) {
    const auto capped = [limit](std::uint64_t value) { return limit > 0 ? value % (limit + 1) : value; };
    for (const Argument& a : call.arguments) {
      switch (a.kind) {
        case Argument::kInt:
          store_.push_back(
              static_cast<int>(limit > 0 ? a.integer % static_cast<std::int64_t>(limit + 1) : a.integer));
          break;
        case Argument::kLongLong:
          store_.push_back(static_cast<long long>(limit > 0 ? a.integer % static_cast<std::int64_t>(limit + 1)
                                                            : a.integer));
          break;
        case Argument::kUnsignedLongLong:
          store_.push_back(static_cast<unsigned long long>(capped(a.bits)));
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
        case Argument::kContextProbe:
          store_.push_back(ContextProbe{});
          break;
        default:
          store_.push_back(testing::ThrowingValue{static_cast<int>(a.integer)});
          break;
      }
    }
  }

  fmt::format_args args() const { return fmt::format_args(store_); }

 private:
  static constexpr const char* kNullString = nullptr;
  fmt::dynamic_format_arg_store<fmt::format_context> store_;
};

// A case's format string and arguments as the calls get them.
struct Prepared {
  std::string format;
  ArgumentStore store;
  ArgumentStore reference;  // the same values, for {fmt} itself
  std::string formatted;    // what {fmt} makes of them, up to where it throws
};

Prepared prepare(const LogCallCase& call) {
  bool nested = false;
  std::string format = cap_format_widths(call.format, &nested);
  // Every width taken from an argument shares one cap.
  const auto fields = static_cast<std::uint64_t>(std::count(format.begin(), format.end(), '{'));
  const std::uint64_t limit = nested ? kFormatWidthBudget / std::max<std::uint64_t>(fields, 1) : 0;
  ArgumentStore store(call, limit, /*reference=*/false);
  ArgumentStore reference(call, limit, /*reference=*/true);
  fmt::memory_buffer out;
  try {
    fmt::vformat_to(fmt::appender(out), format, reference.args());
  } catch (...) {
  }
  std::string formatted(out.data(), out.size());
  return Prepared{std::move(format), std::move(store), std::move(reference), std::move(formatted)};
}

// ---------------------------------------------------------------------------
// The channels and what they saw during one call; one call runs at a time.
// ---------------------------------------------------------------------------

struct Delivery {
  DispatchContext context;
  std::string category;
  std::uint32_t category_id;
  std::string level;
  std::uint32_t level_value;
};

struct Recorder {
  std::vector<std::string> texts, pieces;
  std::vector<LogTimestamp> timestamps;
  std::vector<Delivery> records;  // of the first delivery
  std::vector<const void*> addresses;
  bool other_records = false, piece_after_text = false, armed = false, armed_raw = false;
  int after_throwing = 0;

  // Every delivery of a call hands on the same three records.
  void note(const DispatchContext& context, const LogCategory& category, const LogLevel& level) {
    const std::vector<const void*> now = {&context, &category, &level};
    if (records.empty()) {
      records.push_back(Delivery{context, std::string(category.key.name), category.key.id,
                                 std::string(level.name), level.value});
      addresses = now;
    }
    other_records |= addresses != now;
  }
};

Recorder g_seen;

// Built-in, recorder, null callback, throwing, counter; the raw recorder
// twice, null callback, throwing.
constexpr std::uint32_t kOrdinaryChannels = 5;
constexpr std::uint32_t kRawChannels = 4;

// Registers the channels unless they are there: the lists hold the built-in
// channel alone when the library is fresh or a test has just reset it.
void register_channels() {
  if (detail::ordinary_channels().span().size != 1 || detail::raw_channels().span().size != 0) return;
  add_default_channel(LogChannel{"recorder",
                                 [](void*, const DispatchContext& c, const LogCategory& category,
                                    const LogLevel& level, std::string_view text) {
                                   g_seen.texts.emplace_back(text);
                                   g_seen.note(c, category, level);
                                 },
                                 nullptr});
  add_default_channel(LogChannel{"null", nullptr, nullptr});
  add_default_channel(testing::throwing_channel(&g_seen.armed));
  add_default_channel(LogChannel{"counter",
                                 [](void*, const DispatchContext&, const LogCategory&, const LogLevel&,
                                    std::string_view) { ++g_seen.after_throwing; },
                                 nullptr});
  const LogRawChannel raw{"raw-recorder",
                          [](void*, const DispatchContext& c, const LogCategory& category,
                             const LogLevel& level, LogTimestamp timestamp, std::string_view piece) {
                            g_seen.piece_after_text |= !g_seen.texts.empty();
                            g_seen.pieces.emplace_back(piece);
                            g_seen.timestamps.push_back(timestamp);
                            g_seen.note(c, category, level);
                          },
                          nullptr};
  add_default_channel(raw);
  add_default_channel(raw);
  add_default_channel(LogRawChannel{"null-raw", nullptr, nullptr});
  add_default_channel(testing::throwing_raw_channel(&g_seen.armed_raw));
}

std::atomic<std::uint64_t> g_heap_left{0};

void* limited_heap(std::size_t bytes) {
  const std::uint64_t left = g_heap_left.load(std::memory_order_relaxed);
  if (bytes > left) return nullptr;
  g_heap_left.store(left - bytes, std::memory_order_relaxed);
  return std::malloc(bytes);
}

// The process-wide settings of one call, restored at the end of the scope.
class CallSettings {
 public:
  explicit CallSettings(const LogCallCase& call) {
    set_default_options(call.default_options);
    g_seen = Recorder{};
    g_seen.armed = (call.calls & kArmThrowingChannel) != 0;
    g_seen.armed_raw = (call.calls & kArmThrowingRawChannel) != 0;
    if (call.heap_limit != 0) {
      g_heap_left.store(call.heap_limit, std::memory_order_relaxed);
      detail::set_heap_allocate_for_testing(&limited_heap);
    }
  }
  ~CallSettings() {
    detail::set_heap_allocate_for_testing(nullptr);
    g_seen.armed = g_seen.armed_raw = false;
    reset_default_options();
  }
  CallSettings(const CallSettings&) = delete;
  CallSettings& operator=(const CallSettings&) = delete;
};

const char* form_name(Form form, bool with_location) {
  return form == Form::kAssert      ? "log_format_assert"
         : form == Form::kDataError ? "log_format_data_error"
         : with_location            ? "log_format_source"
                                    : "log_format";
}

// What the records of every delivery must hold.
std::string check_records(const LogCallCase& call, Form form, bool with_location) {
  const bool report = form != Form::kOrdinary;
  const std::string_view category = form == Form::kAssert      ? "Assert"
                                    : form == Form::kDataError ? "DataError"
                                                               : std::string_view(call.category);
  const std::string_view level = report ? "ERRR" : std::string_view(call.level);
  const LogOptions options = report ? WithFunction | WithFileLine : call.options | call.default_options;
  if (g_seen.other_records) return "the deliveries of one call with other records";
  for (const Delivery& d : g_seen.records) {
    if (d.category != category || d.category_id != category_id(category)) return "category record";
    if (d.level != level || d.level_value != (report ? 4u : 7u)) return "level record";
    const DispatchContext& c = d.context;
    if (c.channel_count != kOrdinaryChannels || c.raw_channel_count != kRawChannels ||
        c.channels[0].name != "visual_studio") {
      return "channel spans";
    }
    const LogLocation expected =
        with_location ? LogLocation{call.function, call.file, call.line} : LogLocation{};
    if (c.location.function != expected.function || c.location.file != expected.file ||
        c.location.line != expected.line || (!with_location && c.location.file.data() != nullptr)) {
      return "location";
    }
    if (c.continuation != ((options & Continuation) != 0) ||
        c.with_function != ((options & WithFunction) != 0) ||
        c.with_file_line != ((options & WithFileLine) != 0) ||
        c.channel_defined != ((options & ChannelDefined) != 0)) {
      return "option flags";
    }
  }
  return {};
}

// Makes one call and checks what it delivered.
std::string check_call(const LogCallCase& call, Form form, bool with_location, const Prepared& prepared) {
  const std::uint64_t prefix_width_before = detail::g_prefix_width.load(std::memory_order_relaxed);
  const LogCategory category{{call.category, category_id(call.category)}, true, MessageVerbosity::Detailed};
  const LogLevel level{call.level, 7};
  const LogLocation location{call.function, call.file, call.line};
  const fmt::format_args args = prepared.store.args();
  const LogTimestamp before = detail::current_timestamp();
  bool threw = false, options_kept = false;
  try {
    CallSettings settings(call);
    options_kept = default_options() == call.default_options;  // every bit, those beyond the flags too
    if (form == Form::kAssert) {
      log_format_assert(location, call.condition, call.callstack, prepared.format, args);
    } else if (form == Form::kDataError) {
      log_format_data_error(location, prepared.format, args);
    } else if (with_location) {
      log_format_source(call.options, location, category, level, prepared.format, args);
    } else {
      log_format(call.options, category, level, prepared.format, args);
    }
  } catch (const ChannelFailure&) {
    threw = true;
  } catch (...) {
    return fmt::format("{} raised an error of its own", form_name(form, with_location));
  }
  const LogTimestamp after = detail::current_timestamp();
  const auto fail = [&](std::string_view what) {
    return fmt::format("{}: {}", form_name(form, with_location), what);
  };

  const bool heap_limited = call.heap_limit != 0;
  const bool armed_raw = (call.calls & kArmThrowingRawChannel) != 0;
  const bool armed = armed_raw || (call.calls & kArmThrowingChannel) != 0;
  if (threw != armed) return fail(armed ? "a channel's exception was swallowed" : "an exception appeared");
  if (!options_kept) return fail("default_options() is not what was set");
  if (const std::string error = check_records(call, form, with_location); !error.empty()) return fail(error);
  const std::string message_part = form != Form::kAssert ? prepared.formatted
                                   : call.format.empty() ? "Assertion failed!"
                                                         : "Assertion failed!\n" + prepared.formatted;
  if (g_seen.pieces.size() % 2 != 0 || g_seen.pieces.empty()) return fail("raw pieces not in pairs");
  std::string message;
  for (std::size_t i = 0; i < g_seen.pieces.size(); i += 2) {
    if (g_seen.pieces[i] != g_seen.pieces[i + 1])
      return fail("a piece reached the second raw channel changed");
    if (g_seen.timestamps[i].ticks != g_seen.timestamps[0].ticks) return fail("two timestamps in one call");
    message += g_seen.pieces[i];
  }
  if (armed_raw) {
    // The first raw piece throws: no ordinary channel hears of the call.
    const std::string_view first = oracle::pieces(message_part)[0];
    if (g_seen.pieces.size() != 2 || !g_seen.texts.empty() || g_seen.after_throwing != 0 ||
        (message != first && !(heap_limited && first.substr(0, message.size()) == message))) {
      return fail("a throwing raw channel did not end the call at its first piece");
    }
    return {};
  }
  if (g_seen.texts.size() != 1 || g_seen.after_throwing != (armed ? 0 : 1) || g_seen.piece_after_text) {
    return fail("ordinary deliveries");
  }
  if (std::string error = oracle::compare_message(message_part, message, heap_limited); !error.empty()) {
    return fail(error);
  }
  const std::vector<std::string_view> pieces = oracle::pieces(message);
  if (pieces.size() * 2 != g_seen.pieces.size()) return fail("raw pieces are not the message's lines");
  const LogTimestamp timestamp = g_seen.timestamps[0];
  if (timestamp.ticks + kTicksPerDay < before.ticks || timestamp.ticks > after.ticks + kTicksPerDay) {
    return fail("a timestamp far from the clock");
  }
  const bool continuation = form == Form::kOrdinary && ((call.options | call.default_options) & Continuation);
  const oracle::Call composed{form,     continuation,   call.level,    call.category,
                              location, call.condition, call.callstack};
  std::uint64_t prefix_width = prefix_width_before;
  const oracle::Text expected = oracle::compose(composed, timestamp, message, &prefix_width);
  if (std::string error = oracle::compare_text(expected, g_seen.texts[0], heap_limited); !error.empty()) {
    return fail(error);
  }
  if (detail::g_prefix_width.load(std::memory_order_relaxed) != prefix_width) {
    return fail(fmt::format("PrefixWidth {} after the call, expected {}", detail::g_prefix_width.load(),
                            prefix_width));
  }
  return {};
}

std::string check_timestamp_formatting(const LogCallCase& call, const Prepared& prepared) {
  bool throwing = false;
  for (const Argument& a : call.arguments) throwing |= a.kind == Argument::kThrowing;
  try {
    (void)fmt::vformat(prepared.format, prepared.reference.args());
  } catch (const fmt::format_error&) {
  } catch (...) {
    if (!throwing) return "fmt::format raised something other than fmt::format_error";
  }
  const std::string field = call.timestamp_spec == '}' ? "{}" : std::string("{:") + call.timestamp_spec + "}";
  for (const Argument& a : call.arguments) {
    if (a.kind != Argument::kTimestamp) continue;
    std::string text;
    try {
      text = fmt::format(fmt::runtime(field), LogTimestamp{a.bits});
    } catch (const std::exception& e) {
      return fmt::format("fmt::format of a timestamp with spec {:#x} raised {}",
                         static_cast<unsigned char>(call.timestamp_spec), e.what());
    }
    const std::string expected = oracle::layout(call.timestamp_spec, LogTimestamp{a.bits});
    if (text != expected) return fmt::format("ticks {} gave \"{}\", expected \"{}\"", a.bits, text, expected);
  }
  return {};
}

// Texts of this size or more are not composed: a fill of line feeds makes a
// message of a million lines, each of which carries a header.
constexpr std::size_t kMaxExpectedText = 32u << 20;

}  // namespace

LogCallCase decode_case(const std::uint8_t* data, std::size_t size) {
  Reader in(data, size);
  LogCallCase call;
  call.calls = static_cast<std::uint8_t>(in.number(1));
  const auto options = static_cast<std::uint32_t>(in.number(1));
  call.options = static_cast<LogOptions>(options & 0x0F);
  call.default_options = static_cast<LogOptions>(options >> 4);
  const auto heap = static_cast<std::uint32_t>(in.number(1));
  call.heap_limit = heap * heap * 64;
  call.timestamp_spec = static_cast<char>(in.number(1));
  call.line = static_cast<std::uint32_t>(in.number(4));
  for (std::string* text : {&call.format, &call.category, &call.level, &call.file, &call.function,
                            &call.condition, &call.callstack}) {
    *text = in.text();
  }
  for (int count = static_cast<int>(in.number(1) % 16); count > 0; --count) {
    Argument a;
    a.kind = static_cast<Argument::Kind>(in.number(1) % Argument::kKindCount);
    switch (a.kind) {
      case Argument::kInt:
        a.integer = static_cast<std::int32_t>(in.number(4));
        break;
      case Argument::kLongLong:
        a.integer = static_cast<std::int64_t>(in.number(8));
        break;
      case Argument::kBool:
      case Argument::kChar:
      case Argument::kThrowing:
        a.integer = static_cast<std::int64_t>(in.number(1));
        break;
      case Argument::kString:
      case Argument::kCString:
        a.text = in.text();
        break;
      case Argument::kNullCString:
      case Argument::kContextProbe:
        break;
      default:
        a.bits = in.number(8);
        break;
    }
    call.arguments.push_back(std::move(a));
  }
  return call;
}

std::string reference_message(const LogCallCase& call) { return prepare(call).formatted; }

std::string check_case(const LogCallCase& call) {
  register_channels();
  if (detail::g_prefix_width.load(std::memory_order_relaxed) > 512) return "PrefixWidth above 512";
  const Prepared prepared = prepare(call);
  const std::size_t lines =
      2 + static_cast<std::size_t>(std::count(prepared.formatted.begin(), prepared.formatted.end(), '\n'));
  const std::size_t estimate = lines * 700 + prepared.formatted.size() + call.condition.size() +
                               call.callstack.size() + call.function.size() + 4096;
  if (estimate <= kMaxExpectedText) {
    const std::tuple<std::uint8_t, Form, bool> calls[] = {{kCallLogFormat, Form::kOrdinary, false},
                                                          {kCallLogFormatSource, Form::kOrdinary, true},
                                                          {kCallAssert, Form::kAssert, true},
                                                          {kCallDataError, Form::kDataError, true}};
    for (const auto& [bit, form, with_location] : calls) {
      if ((call.calls & bit) == 0) continue;
      if (std::string error = check_call(call, form, with_location, prepared); !error.empty()) return error;
    }
  }
  if (call.calls & kCallFormatTimestamp) return check_timestamp_formatting(call, prepared);
  return {};
}

std::string check_log_calls(const std::uint8_t* data, std::size_t size) {
  return check_case(decode_case(data, size));
}

}  // namespace core::logger::fuzz
