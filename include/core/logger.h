// core/logger.h: the public interface of core_logger.
//
// A synchronous logging library: every log call composes its text and hands it
// to the registered channels on the caller's thread before it returns. Every
// function here may be called from any thread unless its comment says
// otherwise. The library reads no file and no environment variable but
// CORE_LOGGER_STDERR on Linux (see `add_default_channel`), and writes only
// through channels.
//
// Records in this header are part of the binary interface: their layout is
// fixed, and channel callbacks built against one version of the library keep
// working with the next.
#ifndef CORE_LOGGER_H_
#define CORE_LOGGER_H_

#include <cstdint>
#include <string_view>

#include <fmt/core.h>

#if defined(_WIN32) && defined(CORE_LOGGER_BUILDING)
#  define CORE_LOGGER_API __declspec(dllexport)
#elif defined(_WIN32)
#  define CORE_LOGGER_API __declspec(dllimport)
#elif defined(__GNUC__)
#  define CORE_LOGGER_API __attribute__((visibility("default")))
#else
#  define CORE_LOGGER_API
#endif

namespace core::logger {

// -----------------------------------------------------------------------------
// Records
// -----------------------------------------------------------------------------

// How much detail a message carries, or a category lets through. A message
// passes a category whose current verbosity is greater than or equal to the
// message's. Values above `Detailed` compare as plain numbers.
enum class MessageVerbosity : std::uint32_t { Brief = 0, Normal = 1, Detailed = 2 };

// Names a category. `name` is not copied by the library: a name that declares
// a category must stay valid while the library is loaded. `id` is the
// category's identity and should be `category_id(name)`.
struct CategoryKey {
  std::string_view name;
  std::uint32_t id;
};

// A category as a module names it, usually a `constexpr` constant. `enabled`
// and `verbosity` are what the category gets when this record declares it; a
// verbosity of `Detailed` makes the category follow the runtime verbosity.
struct LogCategory {
  CategoryKey key;
  bool enabled;
  MessageVerbosity verbosity;
};

// Flags of a log call, merged (bitwise OR) with the default options.
//   Continuation    joins the first line with " | " instead of " > ".
//   WithFunction    data-error reports put the function name on every line.
//   WithFileLine    data-error reports lead every line with file(line).
//   ChannelDefined  read by no composer; it only reaches the channels.
enum LogOptions : std::uint32_t { Continuation = 1, WithFunction = 2, WithFileLine = 4, ChannelDefined = 8 };

constexpr LogOptions operator|(LogOptions a, LogOptions b) noexcept {
  return static_cast<LogOptions>(static_cast<std::uint32_t>(a) | static_cast<std::uint32_t>(b));
}
constexpr LogOptions operator&(LogOptions a, LogOptions b) noexcept {
  return static_cast<LogOptions>(static_cast<std::uint32_t>(a) & static_cast<std::uint32_t>(b));
}

// A source location. The views are handed to channels, never copied.
struct LogLocation {
  std::string_view function;
  std::string_view file;
  std::uint32_t line;
};

// A level: `name` is the tag the header shows; `value` is for channels only
// (the library never reads it).
struct LogLevel {
  std::string_view name;
  std::uint32_t value;
};

// The local wall-clock time of a log call, in 100 ns ticks since
// 0001-01-01 00:00:00 (proleptic Gregorian). Format it with {fmt}:
//   fmt::format("{:F}", ts)  ->  "2022-06-30 09:42:07.123"
// Specs: d (date), t (time), T (time.ms), f (date time, the default),
// F (date time.ms), z / Z (f / F followed by " (local)"). Any other letter
// writes "<invalid_datetime_format_specifier>".
struct LogTimestamp {
  std::uint64_t ticks;
};

struct LogChannel;
struct LogRawChannel;

// What one log call hands to every channel callback. Built on the caller's
// stack and valid only until the callback returns.
//
// `channels` / `raw_channels` are the channel lists as they stood when the
// call began. `location` is empty (null views, line 0) for `log_format`.
struct DispatchContext {
  LogLocation location;
  const LogChannel* channels;
  std::uint32_t channel_count;
  const LogRawChannel* raw_channels;
  std::uint32_t raw_channel_count;
  bool continuation;
  bool with_function;
  bool with_file_line;
  bool channel_defined;
};

// An ordinary channel receives the whole composed text of a call once. The
// text is NUL-terminated and `text.size()` counts the NUL. The view is valid
// only during the callback. Callbacks of different threads may run at once;
// a channel that needs ordering does its own locking. An exception thrown by
// a callback ends the log call and reaches its caller; later channels are
// skipped.
using LogChannelCallback = void (*)(void* user_data, const DispatchContext& context,
                                    const LogCategory& category, const LogLevel& level,
                                    std::string_view text);

// A raw channel receives each line of the formatted message, without header,
// with the call's timestamp. Every line but the last keeps its line feed.
// Raw channels are called while the text is composed, before any ordinary
// channel.
using LogRawChannelCallback = void (*)(void* user_data, const DispatchContext& context,
                                       const LogCategory& category, const LogLevel& level,
                                       LogTimestamp timestamp, std::string_view line);

struct LogChannel {
  std::string_view name;
  LogChannelCallback callback;
  void* user_data;
};

struct LogRawChannel {
  std::string_view name;
  LogRawChannelCallback callback;
  void* user_data;
};

// What `foreach_category` reports for one category. `verbosity` is the stored
// verbosity, which is not the current one for a category that follows the
// runtime verbosity.
struct CategoryInfo {
  CategoryKey key;
  MessageVerbosity verbosity;
  bool enabled;
};

// category_id()
//
// The 32-bit FNV-1a hash of `name`: the id that identifies a category. Usable
// at compile time:
//   constexpr LogCategory kNet{{"net", category_id("net")}, true,
//                              MessageVerbosity::Detailed};
constexpr std::uint32_t category_id(std::string_view name) noexcept {
  std::uint32_t hash = 2166136261u;
  for (char c : name) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 16777619u;
  }
  return hash;
}

// -----------------------------------------------------------------------------
// Logging
// -----------------------------------------------------------------------------
//
// The log calls filter nothing: ask `can_dispatch_log` first. They raise no
// error of their own: a malformed format string or a failing argument
// formatter delivers the text formatted so far. An exception thrown by a
// channel callback passes through. Each call needs about 70 KB of the
// caller's stack and allocates nothing unless the message exceeds 4096
// characters or the text 65536.

// log_format()
//
// Composes one message: every line of `format` formatted with `args` is led by
// the header "{HH:MM:SS.mmm} LEVEL: [category]", padded to the widest header
// seen so far, and " > " (first line) or " | " (later lines). Delivers each
// line to every raw channel, then the whole text to every ordinary channel.
CORE_LOGGER_API void log_format(LogOptions options, const LogCategory& category, const LogLevel& level,
                                std::string_view format, fmt::format_args args);

// log_format_source()
//
// As `log_format`, with `location` handed to the channels in the
// DispatchContext. The ordinary text does not show the location.
CORE_LOGGER_API void log_format_source(LogOptions options, LogLocation location, const LogCategory& category,
                                       const LogLevel& level, std::string_view format, fmt::format_args args);

// log_format_assert()
//
// Delivers an assertion report: "Assertion failed!" and the formatted
// message, then a "Condition: " line and a "Function: " line, then
// `callstack` between two banner lines (or an empty line when `callstack` is
// empty). Every line but the call stack carries the header
// "file(line) : {HH:MM:SS.mmm} ASRT: [Assert]". Raw channels receive only the
// lines of the message part. Does not abort: the policy is the caller's.
CORE_LOGGER_API void log_format_assert(LogLocation location, std::string_view condition,
                                       std::string_view callstack, std::string_view format,
                                       fmt::format_args args);

// log_format_data_error()
//
// Delivers a data-error report under the category "DataError" and the level
// "ERRR": every line reads "file(line) : " (when the file is not empty), the
// standard header, the separator, "[function] " (when the function is not
// empty) and one line of the message.
CORE_LOGGER_API void log_format_data_error(LogLocation location, std::string_view format,
                                           fmt::format_args args);

// -----------------------------------------------------------------------------
// Options and channels
// -----------------------------------------------------------------------------

// The process-wide default options, merged into every `log_format` and
// `log_format_source` call. 0 at load. Bits above `ChannelDefined` are kept
// but no log call passes them on.
CORE_LOGGER_API LogOptions default_options();
CORE_LOGGER_API void set_default_options(LogOptions options);
CORE_LOGGER_API void reset_default_options();

// add_default_channel()
//
// Appends a copy of `channel` to its list; channels are called in the order
// of registration, after the built-in channel "visual_studio". There is no
// removal: register once, early. Registering the same channel twice makes it
// receive everything twice. Safe to call while other threads log, even from
// a channel callback: a log call delivers to the list as it stood when the
// call began. A channel with a null callback is kept but never called.
//
// The built-in channel writes each text to the debugger output on Windows.
// On Linux it is the fallback output: it writes a text to standard error
// only when the call's list holds no ordinary channel with a callback besides
// it, so registering one, whatever it does with the texts and for as long as
// the process runs, silences standard error from the next call on. The
// environment variable CORE_LOGGER_STDERR, read when the first log call or
// registration builds the list, overrides that: "always" writes every text,
// "never" none; any other value is the fallback rule.
CORE_LOGGER_API void add_default_channel(LogChannel channel);
CORE_LOGGER_API void add_default_channel(LogRawChannel channel);

// -----------------------------------------------------------------------------
// Categories and verbosity
// -----------------------------------------------------------------------------
//
// A category is identified by its id alone. Every call that names a category
// comes in two forms: by record (the id travels in the record) and by name
// (the id is computed from the name). Names are never copied, so a name that
// declares a category must outlive the library. Any byte sequence is accepted
// as a name.

// can_dispatch_log()
//
// Whether a message of `verbosity` in `category` is to be logged: the
// category is enabled and its current verbosity is at least `verbosity`.
// Declares the category from the record if it is unknown. Lock-free for a
// known category.
CORE_LOGGER_API bool can_dispatch_log(const LogCategory& category, MessageVerbosity verbosity);

// The process-wide runtime verbosity, `Detailed` at load. Categories declared
// with `Detailed` follow it. `change_verbosity` refuses values above
// `Detailed` and then returns false.
CORE_LOGGER_API MessageVerbosity runtime_verbosity();
CORE_LOGGER_API bool change_verbosity(MessageVerbosity verbosity);

// declare_category()
//
// Declares a category if it is unknown; a known category stays as it is. By
// name, the category is declared following the runtime verbosity.
CORE_LOGGER_API void declare_category(const LogCategory& category);
CORE_LOGGER_API void declare_category(std::string_view name, bool enabled);

// Disables every category declared so far; later declarations are unaffected.
CORE_LOGGER_API void disable_all_known_categories();

// The controls below act on a declared category and return true; on an
// unknown category they change nothing, declare nothing and return false.
CORE_LOGGER_API bool enable_category(const LogCategory& category);
CORE_LOGGER_API bool enable_category(std::string_view name);
CORE_LOGGER_API bool disable_category(const LogCategory& category);
CORE_LOGGER_API bool disable_category(std::string_view name);

// Fixes the category's verbosity at `verbosity` (any value is stored).
CORE_LOGGER_API bool change_category_verbosity(const LogCategory& category, MessageVerbosity verbosity);
CORE_LOGGER_API bool change_category_verbosity(std::string_view name, MessageVerbosity verbosity);

// Makes the category follow the runtime verbosity again; its stored verbosity
// is kept. Does nothing for an unknown category.
CORE_LOGGER_API void reset_category_verbosity(const LogCategory& category);
CORE_LOGGER_API void reset_category_verbosity(std::string_view name);

// foreach_category()
//
// Calls `callback` once for every declared category, in no particular order.
// No lock is held during a callback, so it may call any function of this
// library; categories that it declares may or may not be visited.
CORE_LOGGER_API void foreach_category(void (*callback)(void* user_data, CategoryInfo info), void* user_data);

}  // namespace core::logger

// Formats a `LogTimestamp` by the letter of its format spec (see `LogTimestamp`).
// `parse` is inline and constexpr so that compile-time checked format strings
// accept a timestamp; `format` lives in the library.
template <>
struct fmt::formatter<core::logger::LogTimestamp> {
  int spec = 'f';

  constexpr auto parse(fmt::format_parse_context& ctx) -> fmt::format_parse_context::iterator {
    auto it = ctx.begin();
    if (it != ctx.end() && *it != '}') {
      spec = static_cast<signed char>(*it);
      ++it;
    }
    return it;
  }

  CORE_LOGGER_API auto format(const core::logger::LogTimestamp& timestamp, fmt::format_context& ctx) const
      -> fmt::format_context::iterator;
};

#endif  // CORE_LOGGER_H_
