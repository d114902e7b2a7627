// core/log.h: the statement-level front end of core_logger.
//
// One macro per log statement. Each macro asks `can_dispatch_log` before it
// evaluates any argument of the message, so a statement whose category or
// verbosity is off costs one call and no formatting:
//
//   constexpr core::logger::LogCategory kNet = core::logger::make_category("net");
//   CORE_LOG_INFO(kNet, "listening on port {}", port);
//   CORE_LOG_DEBUG(kNet, "peer table: {}", expensive_dump());  // not called when off
//
// Format strings are checked while compiling: with C++20 by {fmt}'s consteval
// format strings, with C++17 through `FMT_STRING`. A field that does not fit
// its argument, as in `CORE_LOG_INFO(kNet, "{:d}", "text")`, is a compile
// error. The format string of a macro is therefore a string literal; a format
// known only at run time goes to `log_format` with `fmt::make_format_args`.
//
// Header-only: nothing here needs more than the core library. Every macro may
// be used from any thread, as the calls behind it may. The header defines no
// variable with static storage of its own (no inline variables, no statics in
// inline functions), so it never pins a shared object that includes it.
#ifndef CORE_LOG_H_
#define CORE_LOG_H_

#include <cstdint>
#include <string_view>
#include <utility>

#include <fmt/core.h>
#if !defined(FMT_HAS_CONSTEVAL)
#  include <fmt/format.h>  // FMT_STRING
#endif

#include "core/logger.h"

namespace core::logger {

// -----------------------------------------------------------------------------
// Standard levels
// -----------------------------------------------------------------------------
//
// The levels that the macros below use. `value` grows with severity; the
// library's own reports use the record "ERRR" with value 4, as `kErrorLevel`
// does, so channels see one scale. Channels may colour or route by `value`.
// Any other `LogLevel` works with `CORE_LOG`. Constants: usable from any
// thread and in constant expressions.

constexpr LogLevel kTraceLevel{"TRCE", 0};
constexpr LogLevel kDebugLevel{"DBUG", 1};
constexpr LogLevel kInfoLevel{"INFO", 2};
constexpr LogLevel kWarningLevel{"WARN", 3};
constexpr LogLevel kErrorLevel{"ERRR", 4};

// -----------------------------------------------------------------------------
// Category records
// -----------------------------------------------------------------------------

// make_category()
//
// A category record for `name`, with its id computed at compile time when
// `name` is a constant. `enabled` and `verbosity` are what the category gets
// when this record declares it; the default, `Detailed`, makes it follow the
// runtime verbosity. `name` must outlive the library (a string literal does).
// Pure and constexpr; the record declares nothing until a call uses it:
//
//   constexpr LogCategory kAudio = make_category("audio");
//   constexpr LogCategory kRenderer = make_category("renderer", true, MessageVerbosity::Normal);
constexpr LogCategory make_category(std::string_view name, bool enabled = true,
                                    MessageVerbosity verbosity = MessageVerbosity::Detailed) noexcept {
  return LogCategory{CategoryKey{name, category_id(name)}, enabled, verbosity};
}

// The records that the library passes with its own reports, for channels and
// filters that want to recognise them. The library never declares them.
constexpr LogCategory kAssertCategory = make_category("Assert");
constexpr LogCategory kDataErrorCategory = make_category("DataError");

// -----------------------------------------------------------------------------
// What the macros call
// -----------------------------------------------------------------------------
//
// Thin wrappers over the exported calls, used by the macros once the statement
// is known to be wanted; they filter nothing and have the thread safety and
// error behaviour of the calls they wrap. They may be called directly with a
// format string that {fmt} checks (a literal in C++20, `FMT_STRING(...)` in
// C++17, or `fmt::runtime(...)` to skip the check).
namespace log_internal {

template <typename... Args>
constexpr std::string_view view_of(fmt::format_string<Args...> format) noexcept {
  const fmt::string_view view = format;
  return std::string_view(view.data(), view.size());
}

template <typename... Args>
void log_source(LogOptions options, LogLocation location, const LogCategory& category, const LogLevel& level,
                fmt::format_string<Args...> format, Args&&... args) {
  log_format_source(options, location, category, level, view_of<Args...>(format),
                    fmt::make_format_args(args...));
}

template <typename... Args>
void data_error(LogLocation location, fmt::format_string<Args...> format, Args&&... args) {
  log_format_data_error(location, view_of<Args...>(format), fmt::make_format_args(args...));
}

// Reports a failed assertion and returns false, so that an assertion macro
// can be used as a condition.
inline bool report_assertion(LogLocation location, std::string_view condition, std::string_view callstack) {
  log_format_assert(location, condition, callstack, std::string_view(), fmt::format_args());
  return false;
}

template <typename... Args>
bool report_assertion(LogLocation location, std::string_view condition, std::string_view callstack,
                      fmt::format_string<Args...> format, Args&&... args) {
  log_format_assert(location, condition, callstack, view_of<Args...>(format), fmt::make_format_args(args...));
  return false;
}

}  // namespace log_internal
}  // namespace core::logger

// -----------------------------------------------------------------------------
// Macros
// -----------------------------------------------------------------------------

// The function name that the macros record. `__func__` gives the bare name;
// define CORE_LOGGER_FUNCTION_NAME as `__PRETTY_FUNCTION__` (GCC, Clang)
// before including this header for the full signature.
#if !defined(CORE_LOGGER_FUNCTION_NAME)
#  define CORE_LOGGER_FUNCTION_NAME __func__
#endif

// CORE_LOG_HERE
//
// The `LogLocation` of the statement that expands it: function, file, line.
#define CORE_LOG_HERE                                                                              \
  ::core::logger::LogLocation {                                                                    \
    ::std::string_view(CORE_LOGGER_FUNCTION_NAME, sizeof(CORE_LOGGER_FUNCTION_NAME) - 1),          \
        ::std::string_view(__FILE__, sizeof(__FILE__) - 1), static_cast<::std::uint32_t>(__LINE__) \
  }

// CORE_LOG_WITH_OPTIONS(options, category, level, verbosity, format, args...)
//
// The general statement: when `can_dispatch_log(category, verbosity)` is true,
// formats `format` with `args` through `log_format_source` with `options`,
// `level` and the statement's location; otherwise evaluates none of `format`,
// `args`, `options` or `level`. `category` is evaluated exactly once. Expands
// to one statement, so it is safe as the body of an `if` without braces.
#define CORE_LOG_WITH_OPTIONS(options, category, level, verbosity, ...)                                  \
  do {                                                                                                   \
    if (const ::core::logger::LogCategory& core_logger_category_ = (category);                           \
        ::core::logger::can_dispatch_log(core_logger_category_, (verbosity))) {                          \
      ::core::logger::log_internal::log_source((options), CORE_LOG_HERE, core_logger_category_, (level), \
                                               CORE_LOGGER_DETAIL_FORMAT(__VA_ARGS__));                  \
    }                                                                                                    \
  } while (false)

// CORE_LOG(category, level, verbosity, format, args...)
//
// As CORE_LOG_WITH_OPTIONS with no options of its own (the default options
// still apply).
#define CORE_LOG(category, level, verbosity, ...) \
  CORE_LOG_WITH_OPTIONS(::core::logger::LogOptions{}, category, level, verbosity, __VA_ARGS__)

// CORE_LOG_TRACE(category, format, args...) and its siblings
//
// The standard levels, each with the verbosity its messages carry: trace and
// debug messages are `Detailed`, information `Normal`, warnings and errors
// `Brief`. So a runtime verbosity of `Brief` keeps warnings and errors,
// `Normal` adds information, and `Detailed` (the default) lets everything
// through.
#define CORE_LOG_TRACE(category, ...) \
  CORE_LOG(category, ::core::logger::kTraceLevel, ::core::logger::MessageVerbosity::Detailed, __VA_ARGS__)
#define CORE_LOG_DEBUG(category, ...) \
  CORE_LOG(category, ::core::logger::kDebugLevel, ::core::logger::MessageVerbosity::Detailed, __VA_ARGS__)
#define CORE_LOG_INFO(category, ...) \
  CORE_LOG(category, ::core::logger::kInfoLevel, ::core::logger::MessageVerbosity::Normal, __VA_ARGS__)
#define CORE_LOG_WARN(category, ...) \
  CORE_LOG(category, ::core::logger::kWarningLevel, ::core::logger::MessageVerbosity::Brief, __VA_ARGS__)
#define CORE_LOG_ERROR(category, ...) \
  CORE_LOG(category, ::core::logger::kErrorLevel, ::core::logger::MessageVerbosity::Brief, __VA_ARGS__)

// CORE_LOG_DATA_ERROR(format, args...)
//
// Reports a data error through `log_format_data_error` with the statement's
// location. Unconditional, like the call behind it: a data error is always
// reported, so its arguments are always evaluated. One statement.
#define CORE_LOG_DATA_ERROR(...)                                                                     \
  do {                                                                                               \
    ::core::logger::log_internal::data_error(CORE_LOG_HERE, CORE_LOGGER_DETAIL_FORMAT(__VA_ARGS__)); \
  } while (false)

// CORE_LOG_ASSERT(condition)
// CORE_LOG_ASSERT_MSG(condition, format, args...)
//
// Evaluate `condition` exactly once. When it is false, report an assertion
// through `log_format_assert` with the condition's source text as written,
// the statement's location, no call stack and, for _MSG, the formatted
// message; `format` and `args` are evaluated only then. Never abort: the
// expression yields the condition's value, so the policy stays the caller's:
//
//   if (!CORE_LOG_ASSERT_MSG(index < size, "index {} of {}", index, size)) return;
//
// Also usable as a plain statement.
#define CORE_LOG_ASSERT(condition) CORE_LOGGER_DETAIL_ASSERT(::std::string_view(), condition, #condition)
#define CORE_LOG_ASSERT_MSG(condition, ...) \
  CORE_LOGGER_DETAIL_ASSERT_MSG(::std::string_view(), condition, #condition, __VA_ARGS__)

// CORE_LOG_ASSERT_EX(callstack, condition)
// CORE_LOG_ASSERT_EX_MSG(callstack, condition, format, args...)
//
// As CORE_LOG_ASSERT and CORE_LOG_ASSERT_MSG, with `callstack` (anything that
// converts to `std::string_view`) as the report's call stack. `callstack` is
// evaluated only when the condition is false; a temporary lives until the
// report is delivered. `core/channels.h` adds forms that capture the stack.
#define CORE_LOG_ASSERT_EX(callstack, condition) CORE_LOGGER_DETAIL_ASSERT(callstack, condition, #condition)
#define CORE_LOG_ASSERT_EX_MSG(callstack, condition, ...) \
  CORE_LOGGER_DETAIL_ASSERT_MSG(callstack, condition, #condition, __VA_ARGS__)

// -----------------------------------------------------------------------------
// Machinery of the macros; not for direct use.
// -----------------------------------------------------------------------------

// Format strings: checked by {fmt}'s consteval constructor where there is one,
// else wrapped in FMT_STRING so that the same check runs in C++17.
#if defined(FMT_HAS_CONSTEVAL)
#  define CORE_LOGGER_DETAIL_CHECKED(format) format
#else
#  define CORE_LOGGER_DETAIL_CHECKED(format) FMT_STRING(format)
#endif

// Splits "format, args..." so that the format alone can be wrapped, without
// the zero-argument variadic extension (up to 31 format arguments). SELECT
// expands its argument list before PICK counts it, and PICK yields the name
// of the macro that the following parenthesis then calls.
#define CORE_LOGGER_DETAIL_SELECT(arguments) CORE_LOGGER_DETAIL_PICK arguments
#define CORE_LOGGER_DETAIL_PICK(_1, _2, _3, _4, _5, _6, _7, _8, _9, _10, _11, _12, _13, _14, _15, _16, _17, \
                                _18, _19, _20, _21, _22, _23, _24, _25, _26, _27, _28, _29, _30, _31, _32,  \
                                name, ...)                                                                  \
  name
#define CORE_LOGGER_DETAIL_MANY(m) \
  m, m, m, m, m, m, m, m, m, m, m, m, m, m, m, m, m, m, m, m, m, m, m, m, m, m, m, m, m, m, m
#define CORE_LOGGER_DETAIL_FORMAT(...)                                                                  \
  CORE_LOGGER_DETAIL_SELECT((__VA_ARGS__, CORE_LOGGER_DETAIL_MANY(CORE_LOGGER_DETAIL_FORMAT_WITH_ARGS), \
                             CORE_LOGGER_DETAIL_FORMAT_ALONE, CORE_LOGGER_DETAIL_UNUSED))               \
  (__VA_ARGS__)
#define CORE_LOGGER_DETAIL_FORMAT_ALONE(format) CORE_LOGGER_DETAIL_CHECKED(format)
#define CORE_LOGGER_DETAIL_FORMAT_WITH_ARGS(format, ...) CORE_LOGGER_DETAIL_CHECKED(format), __VA_ARGS__

// The condition's text is taken by the public macro, before any macro in the
// condition is expanded.
#define CORE_LOGGER_DETAIL_ASSERT(callstack, condition, text) \
  (static_cast<bool>(condition) ||                            \
   ::core::logger::log_internal::report_assertion(CORE_LOG_HERE, ::std::string_view(text), (callstack)))
#define CORE_LOGGER_DETAIL_ASSERT_MSG(callstack, condition, text, ...)                                  \
  (static_cast<bool>(condition) ||                                                                      \
   ::core::logger::log_internal::report_assertion(CORE_LOG_HERE, ::std::string_view(text), (callstack), \
                                                  CORE_LOGGER_DETAIL_FORMAT(__VA_ARGS__)))

#endif  // CORE_LOG_H_
