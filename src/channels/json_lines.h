// channels/json_lines.h: a message as one JSON object on one line.
#ifndef CORE_LOGGER_CHANNELS_JSON_LINES_H_
#define CORE_LOGGER_CHANNELS_JSON_LINES_H_

#include <cstddef>
#include <string_view>

#include "channels/channel_state.h"
#include "channels/message.h"

namespace core::logger::channels_detail {

// The JSON line of `message` (see FileFormat::JsonLines), "{...}\n", in
// `out`; returns a view of it.
std::string_view encode_json_line(const Message& message, EncodeBuffer& out);

// `text` as the body of a JSON string: quotes, backslashes and control
// characters escaped, each ill-formed UTF-8 sequence replaced by U+FFFD
// (one per maximal subpart, as Unicode recommends). Writes at most
// kMaxJsonEscape bytes per byte of `text` at `out`; returns the end.
constexpr std::size_t kMaxJsonEscape = 6;  // \u001f
char* put_json_escaped(char* out, std::string_view text) noexcept;

}  // namespace core::logger::channels_detail

#endif  // CORE_LOGGER_CHANNELS_JSON_LINES_H_
