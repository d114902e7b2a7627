#include "pipeline/text_composer.h"

#include "pipeline/timestamp.h"

namespace core::logger::detail {

std::atomic<std::uint64_t> g_prefix_width{0};

// The fixed layout "{{{:T}}} {}: [{}]" written directly: running it through
// {fmt}'s runtime parser took half of a short log call.
[[gnu::hot]] void append_standard_header(HeaderArea& header, LogTimestamp timestamp, const LogLevel& level,
                                         const LogCategory& category) noexcept {
  const std::string_view tag = level.name;
  const std::string_view name = category.key.name;
  if (char* out = header.claim(kTimeOfDayLength + tag.size() + name.size() + 7)) {
    out[0] = '{';
    write_time_of_day(timestamp, out + 1);
    out += kTimeOfDayLength + 1;
    std::memcpy(out, "} ", 2);
    copy_chars(out + 2, tag.data(), tag.size());
    out += 2 + tag.size();
    std::memcpy(out, ": [", 3);
    copy_chars(out + 3, name.data(), name.size());
    out[3 + name.size()] = ']';
    return;
  }
  // Cut at the end of the area.
  char time[kTimeOfDayLength + 3];
  time[0] = '{';
  write_time_of_day(timestamp, time + 1);
  time[kTimeOfDayLength + 1] = '}';
  time[kTimeOfDayLength + 2] = ' ';
  header.append(std::string_view(time, sizeof time));
  header.append(tag);
  header.append(": [");
  header.append(name);
  header.append("]");
}

void align_header(HeaderArea& header, bool may_raise) noexcept {
  std::uint64_t prefix_width = g_prefix_width.load(std::memory_order_relaxed);
  if (prefix_width > header.size()) {
    header.pad_to(prefix_width);
    return;
  }
  if (!may_raise) return;
  raise_prefix_width(prefix_width, header.size());
}

void raise_prefix_width(std::uint64_t seen, std::uint64_t width) noexcept {
  // Never lowers: a racing call that raised it further keeps its width.
  while (seen < width && !g_prefix_width.compare_exchange_weak(seen, width, std::memory_order_relaxed)) {
  }
}

Composition::Composition(const DispatchContext& context, const LogCategory& category,
                         const LogLevel& level) noexcept
    : context_(context), category_(category), level_(level), timestamp_(current_timestamp()) {}

[[gnu::hot]] void Composition::write_message_lines(std::string_view first_separator,
                                                   std::string_view line_prefix) {
  std::string_view separator = first_separator;
  std::string_view rest = message_.view();
  for (;;) {
    const std::size_t line_feed = rest.find('\n');
    const std::string_view piece =
        rest.substr(0, line_feed == std::string_view::npos ? rest.size() : line_feed + 1);
    text_.append_parts(header_.text(), separator, line_prefix, piece);
    for (std::uint32_t i = 0; i < context_.raw_channel_count; ++i) {
      const LogRawChannel& channel = context_.raw_channels[i];
      if (channel.callback != nullptr) {
        channel.callback(channel.user_data, context_, category_, level_, timestamp_, piece);
      }
    }
    if (line_feed == std::string_view::npos) return;
    separator = kNextSeparator;
    rest.remove_prefix(line_feed + 1);
  }
}

void Composition::write_header_line(std::string_view marker, std::string_view line) noexcept {
  text_.append_parts(header_.text(), marker, line, std::string_view("\n"));
}

[[gnu::hot]] void Composition::deliver(std::string_view terminators) {
  text_.terminate(terminators);
  const std::string_view text = text_.view();
  for (std::uint32_t i = 0; i < context_.channel_count; ++i) {
    const LogChannel& channel = context_.channels[i];
    if (channel.callback != nullptr) channel.callback(channel.user_data, context_, category_, level_, text);
  }
}

[[gnu::hot]] void compose_ordinary(const DispatchContext& context, const LogCategory& category,
                                   const LogLevel& level, std::string_view format, fmt::format_args args) {
  if (context.channel_count == 0) return;
  Composition composition(context, category, level);
  append_standard_header(composition.header(), composition.timestamp(), level, category);
  align_header(composition.header(), /*may_raise=*/true);
  composition.message().format(format, args);
  composition.write_message_lines(first_line_separator(context), {});
  composition.deliver(kLineFeedAndNul);
}

}  // namespace core::logger::detail
