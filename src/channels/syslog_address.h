// channels/syslog_address.h: a syslog channel's address taken apart, without
// a socket or a name lookup. Portable; the transport is the platform's.
#ifndef CORE_LOGGER_CHANNELS_SYSLOG_ADDRESS_H_
#define CORE_LOGGER_CHANNELS_SYSLOG_ADDRESS_H_

#include <cstdint>
#include <string_view>

namespace core::logger::channels_detail {

enum class SyslogTransport : std::uint8_t { Unix, Udp, Tcp };

// Views into the text that was parsed.
struct SyslogAddress {
  SyslogTransport transport = SyslogTransport::Unix;
  std::string_view path;  // Unix: the socket's path
  std::string_view host;  // Udp, Tcp: a name or a numeric address, IPv6 without its brackets
  std::uint16_t port = 0;
};

// Takes apart "unix:/path", "udp:host:port" or "tcp:host:port" into
// `*address`, whose other fields are left empty. False for anything else: another scheme, an empty path, an
// empty host, an IPv6 host without its brackets, a port that is not 1 to
// 65535 written in decimal digits, or a NUL byte anywhere.
bool parse_syslog_address(std::string_view text, SyslogAddress* address) noexcept;

}  // namespace core::logger::channels_detail

#endif  // CORE_LOGGER_CHANNELS_SYSLOG_ADDRESS_H_
