// The assertion and data-error composers: the ordinary machinery with the
// report forms' own headers and extra lines.
#include <array>

#include "core/log.h"
#include "pipeline/text_composer.h"

namespace core::logger::detail {

namespace {

// The header of an assertion report shows "ASRT" where the standard header
// shows the level; the report's records still carry kErrorLevel.
constexpr LogLevel kAssertTag{"ASRT", 4};

constexpr std::size_t kBannerLength = 124;

constexpr std::array<char, kBannerLength> make_banner(char arrow, std::string_view title) {
  std::array<char, kBannerLength> banner{};
  std::size_t at = 0;
  for (int i = 0; i < 54; ++i) banner[at++] = arrow;
  for (char c : title) banner[at++] = c;
  for (int i = 0; i < 54; ++i) banner[at++] = arrow;
  banner[at] = '\n';
  return banner;
}

constexpr std::array<char, kBannerLength> kBeginBanner = make_banner('>', " callstack beg ");
constexpr std::array<char, kBannerLength> kEndBanner = make_banner('<', " callstack end ");

std::string_view view_of(const std::array<char, kBannerLength>& banner) {
  return std::string_view(banner.data(), banner.size());
}

void append_location_prefix(HeaderArea& header, const LogLocation& location) noexcept {
  header.append(location.file);
  header.append("(");
  header.append_decimal(location.line);
  header.append(") : ");
}

}  // namespace

void compose_assert(const DispatchContext& context, std::string_view condition, std::string_view callstack,
                    std::string_view format, fmt::format_args args) {
  if (context.channel_count == 0) return;
  Composition composition(context, kAssertCategory, kErrorLevel);
  HeaderArea& header = composition.header();
  append_location_prefix(header, context.location);
  append_standard_header(header, composition.timestamp(), kAssertTag, kAssertCategory);
  align_header(header, /*may_raise=*/false);

  MessageBuffer& message = composition.message();
  message.append("Assertion failed!");
  if (!format.empty()) {
    message.append("\n");
    message.format(format, args);
  }
  composition.write_message_lines(kFirstSeparator, {});
  LineBuffer& text = composition.text();
  text.append("\n");
  composition.write_header_line(" - Condition: ", condition);
  composition.write_header_line(" - Function: ", context.location.function);
  if (callstack.empty()) {
    text.append("\n");
  } else {
    // Drop only a final line feed: a call stack that lacks one keeps its
    // last character.
    if (callstack.back() == '\n') callstack.remove_suffix(1);
    text.append(view_of(kBeginBanner));
    text.append(callstack);
    text.append("\n");
    text.append(view_of(kEndBanner));
  }
  composition.deliver(std::string_view("", 1));  // a NUL
}

void compose_data_error(const DispatchContext& context, std::string_view format, fmt::format_args args) {
  if (context.channel_count == 0) return;
  Composition composition(context, kDataErrorCategory, kErrorLevel);
  HeaderArea& header = composition.header();
  if (context.with_file_line && !context.location.file.empty()) {
    append_location_prefix(header, context.location);
  }
  append_standard_header(header, composition.timestamp(), kErrorLevel, kDataErrorCategory);
  align_header(header, /*may_raise=*/!context.with_file_line);

  FixedText<128> function_prefix;
  if (context.with_function && !context.location.function.empty()) {
    function_prefix.append("[");
    function_prefix.append(context.location.function);
    function_prefix.append("] ");
  }
  composition.message().format(format, args);
  composition.write_message_lines(first_line_separator(context), function_prefix.text());
  composition.deliver(kLineFeedAndNul);
}

}  // namespace core::logger::detail
