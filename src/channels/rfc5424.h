// channels/rfc5424.h: a message as an RFC 5424 syslog message, framed for
// TCP by RFC 6587 octet counting where asked. Portable; the transport is the
// platform's.
#ifndef CORE_LOGGER_CHANNELS_RFC5424_H_
#define CORE_LOGGER_CHANNELS_RFC5424_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "channels/channel_state.h"
#include "channels/message.h"

namespace core::logger::channels_detail {

// The syslog severity of a level's value: 0-1 debug (7), 2 informational
// (6), 3 warning (4), 4 error (3), 5 and above critical (2).
unsigned syslog_severity(std::uint32_t level_value) noexcept;

// `text` as a header field: at most `max_length` printable US-ASCII
// characters, any other character as '_', "-" when empty. Writes at most
// max(max_length, 1) characters at `out`; returns the end.
char* put_header_field(char* out, std::string_view text, std::size_t max_length) noexcept;

// " HOSTNAME APP-NAME PROCID ": the fields that are the same in every message
// of a sender, each made a header field.
std::string sender_fields(std::string_view host, std::string_view app_name, std::string_view procid);

// `message` as "<PRI>1 TIMESTAMP HOSTNAME APP-NAME PROCID MSGID - MSG" in
// `out`, MSG cut so that the whole is at most `max_size` bytes, and with
// `octet_counting` the length and a blank in front; returns a view of it.
std::string_view encode_rfc5424(const Message& message, unsigned facility, std::string_view fields,
                                std::size_t max_size, bool octet_counting, EncodeBuffer& out);

}  // namespace core::logger::channels_detail

#endif  // CORE_LOGGER_CHANNELS_RFC5424_H_
