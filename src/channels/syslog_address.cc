#include "channels/syslog_address.h"

namespace core::logger::channels_detail {

bool parse_syslog_address(std::string_view text, SyslogAddress* address) noexcept {
  *address = SyslogAddress{};
  // A NUL would end the name that the system sees before the text does.
  if (text.find('\0') != std::string_view::npos) return false;
  const std::string_view scheme = text.substr(0, text.find(':'));
  const std::string_view rest = text.substr(scheme.size() < text.size() ? scheme.size() + 1 : text.size());
  if (scheme == "unix") {
    address->transport = SyslogTransport::Unix;
    address->path = rest;
    return !rest.empty();
  }
  if (scheme != "udp" && scheme != "tcp") return false;
  address->transport = scheme == "udp" ? SyslogTransport::Udp : SyslogTransport::Tcp;
  const std::size_t colon = rest.rfind(':');
  if (colon == std::string_view::npos) return false;
  std::string_view host = rest.substr(0, colon);
  const std::string_view port = rest.substr(colon + 1);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  } else if (host.find_first_of("[]:") != std::string_view::npos) {
    return false;  // an IPv6 address needs its brackets to tell its colons from the port's
  }
  // Digits only, without the signs, blanks and suffixes that strtol takes.
  std::uint32_t number = 0;
  for (const char c : port) {
    if (c < '0' || c > '9' || number > 65535) return false;
    number = number * 10 + static_cast<std::uint32_t>(c - '0');
  }
  if (host.empty() || port.empty() || number == 0 || number > 65535) return false;
  address->host = host;
  address->port = static_cast<std::uint16_t>(number);
  return true;
}

}  // namespace core::logger::channels_detail
