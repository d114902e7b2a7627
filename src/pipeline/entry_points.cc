// The exported logging, option and channel calls. Each log call gathers the
// channel spans and its flags into a DispatchContext on its own stack and
// hands it to a composer. From the first end-of-life step on, log calls and
// registrations do nothing: the lazily built lists may already be gone.
#include <cstddef>

#include "core/logger.h"
#include "lifecycle/library_lifecycle.h"
#include "pipeline/channel_list.h"
#include "pipeline/text_composer.h"

namespace core::logger {

// Channel callbacks are compiled against these layouts; a change breaks every
// channel built for an earlier version of the library.
static_assert(sizeof(LogLocation) == 40 && offsetof(LogLocation, file) == 16 &&
              offsetof(LogLocation, line) == 32);
static_assert(sizeof(LogLevel) == 24 && offsetof(LogLevel, value) == 16);
static_assert(sizeof(CategoryKey) == 24 && offsetof(CategoryKey, id) == 16);
static_assert(sizeof(LogCategory) == 32 && offsetof(LogCategory, enabled) == 24 &&
              offsetof(LogCategory, verbosity) == 28);
static_assert(sizeof(LogTimestamp) == 8);
static_assert(sizeof(DispatchContext) == 72 && offsetof(DispatchContext, channels) == 40 &&
              offsetof(DispatchContext, channel_count) == 48 &&
              offsetof(DispatchContext, raw_channels) == 56 &&
              offsetof(DispatchContext, raw_channel_count) == 64 &&
              offsetof(DispatchContext, continuation) == 68 &&
              offsetof(DispatchContext, with_function) == 69 &&
              offsetof(DispatchContext, with_file_line) == 70 &&
              offsetof(DispatchContext, channel_defined) == 71);
static_assert(sizeof(LogChannel) == 32 && offsetof(LogChannel, callback) == 16 &&
              offsetof(LogChannel, user_data) == 24);
static_assert(sizeof(LogRawChannel) == 32 && offsetof(LogRawChannel, callback) == 16 &&
              offsetof(LogRawChannel, user_data) == 24);
static_assert(sizeof(CategoryInfo) == 32 && offsetof(CategoryInfo, verbosity) == 24 &&
              offsetof(CategoryInfo, enabled) == 28);

namespace {

// The report forms read no default options: their flags are fixed.
constexpr LogOptions kReportOptions = WithFunction | WithFileLine;

[[gnu::hot]] DispatchContext make_context(const LogLocation& location, LogOptions options) noexcept {
  // The ordinary list first: a first log call builds the lists in this order.
  const auto ordinary = detail::ordinary_channels().span();
  const auto raw = detail::raw_channels().span();
  DispatchContext context;
  context.location = location;
  context.channels = ordinary.data;
  context.channel_count = ordinary.size;
  context.raw_channels = raw.data;
  context.raw_channel_count = raw.size;
  context.continuation = (options & Continuation) != 0;
  context.with_function = (options & WithFunction) != 0;
  context.with_file_line = (options & WithFileLine) != 0;
  context.channel_defined = (options & ChannelDefined) != 0;
  return context;
}

}  // namespace

[[gnu::hot]] void log_format(LogOptions options, const LogCategory& category, const LogLevel& level,
                             std::string_view format, fmt::format_args args) {
  if (detail::library_has_ended()) return;
  detail::compose_ordinary(make_context(LogLocation{}, options | default_options()), category, level, format,
                           args);
}

[[gnu::hot]] void log_format_source(LogOptions options, LogLocation location, const LogCategory& category,
                                    const LogLevel& level, std::string_view format, fmt::format_args args) {
  if (detail::library_has_ended()) return;
  detail::compose_ordinary(make_context(location, options | default_options()), category, level, format,
                           args);
}

void log_format_assert(LogLocation location, std::string_view condition, std::string_view callstack,
                       std::string_view format, fmt::format_args args) {
  if (detail::library_has_ended()) return;
  detail::compose_assert(make_context(location, kReportOptions), condition, callstack, format, args);
}

void log_format_data_error(LogLocation location, std::string_view format, fmt::format_args args) {
  if (detail::library_has_ended()) return;
  detail::compose_data_error(make_context(location, kReportOptions), format, args);
}

[[gnu::hot]] LogOptions default_options() {
  return static_cast<LogOptions>(detail::g_default_options.load(std::memory_order_relaxed));
}

void set_default_options(LogOptions options) {
  detail::g_default_options.store(options, std::memory_order_relaxed);
}

void reset_default_options() { detail::g_default_options.store(0, std::memory_order_relaxed); }

void add_default_channel(LogChannel channel) {
  if (detail::library_has_ended()) return;
  detail::add_ordinary_channel(channel);
}

void add_default_channel(LogRawChannel channel) {
  if (detail::library_has_ended()) return;
  detail::raw_channels().append(channel);
}

}  // namespace core::logger
