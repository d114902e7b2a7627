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

// The most bytes that the header before MSG takes, whatever the fields.
constexpr std::size_t kMaxRfc5424Header = 506;

// `message` as "<PRI>1 TIMESTAMP HOSTNAME APP-NAME PROCID MSGID - MSG" in
// `out`, and with `octet_counting` its length and a blank in front; returns
// a view of it. A message longer than `max_size` bytes (the octet count not
// counted) has MSG cut at a UTF-8 character boundary and ending in "...", so
// that the whole is `max_size` bytes or a few less; where the header and
// "..." do not fit, it is the header and "...".
std::string_view encode_rfc5424(const Message& message, unsigned facility, std::string_view fields,
                                std::size_t max_size, bool octet_counting, EncodeBuffer& out);

}  // namespace core::logger::channels_detail

#endif  // CORE_LOGGER_CHANNELS_RFC5424_H_
