// pipeline/message_format.h: formatting a message as {fmt} formats it, its
// "{}" fields without {fmt}'s format-string parser.
//
// Nearly every log message uses nothing but automatic "{}" fields, and for
// such a short string {fmt}'s runtime parser costs more than the arguments
// themselves. Those fields are written directly; from the first other field
// on, {fmt}'s own format-string handler finishes the string. Compiled once,
// in message_format.cc, which alone reaches into {fmt}'s internals.
#ifndef CORE_LOGGER_PIPELINE_MESSAGE_FORMAT_H_
#define CORE_LOGGER_PIPELINE_MESSAGE_FORMAT_H_

#include <cstddef>
#include <string_view>

#include <fmt/core.h>

namespace core::logger::detail {

// Appends `format` formatted with `args` to the buffer behind `out`, as
// fmt::vformat_to(out, format, args) does: every formatter, user formatters
// included, sees the contexts that {fmt} would give it. Throws what {fmt}
// throws at the same point (fmt::format_error for a malformed string or a
// missing argument, whatever a formatter or the buffer's allocator throws);
// what was appended before stays.
//
// One difference: a replacement field whose argument is a null C string,
// printed as a string, raises {fmt}'s format error "string pointer is null"
// whatever the field's options. {fmt} 9 raises it for "{}" alone; with any
// options ("{:}", "{:>5}", "{:s}") it reads the string through the null pointer.
// A field that prints the pointer ("{:p}") writes it as {fmt} does.
void format_message(fmt::appender out, std::string_view format, fmt::format_args args);

// The offset of the first '{' or '}' in `text`, or text.size() if it has
// none.
std::size_t find_brace(std::string_view text) noexcept;

}  // namespace core::logger::detail

#endif  // CORE_LOGGER_PIPELINE_MESSAGE_FORMAT_H_
