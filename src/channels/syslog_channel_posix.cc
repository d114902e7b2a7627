// The syslog channel: one RFC 5424 message per call over a unix datagram
// socket, UDP or TCP (RFC 6587 octet counting), never waiting longer than
// the send timeout. POSIX sockets; not built on Windows.
#include "core/channels.h"

#include <errno.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>

#include "channels/channel_state.h"
#include "channels/rfc5424.h"

namespace core::logger {
namespace {

using channels_detail::Clock;
using channels_detail::WriteResult;

// UDP carries at most 65507 bytes; longer datagrams are cut to this.
constexpr std::size_t kMaxDatagram = 65000;
// After a failed TCP connection, texts are dropped at once for this long
// rather than each waiting for a collector that does not answer.
constexpr auto kReconnectPause = std::chrono::seconds(1);

enum class Transport { Unix, Udp, Tcp };

// Thread-safety: the socket is used under the state's lock, which a call
// waits for no longer than its send timeout, so that no call waits for
// another's send beyond its own timeout.
class SyslogState final : public channels_detail::ChannelState {
 public:
  explicit SyslogState(const SyslogOptions& options)
      : ChannelState("syslog", "syslog-raw", Input::Lines,
                     std::chrono::milliseconds(options.send_timeout_ms)),
        facility_(static_cast<unsigned>(options.facility)) {
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    fields_ = channels_detail::sender_fields(
        host, options.app_name.empty() ? program_invocation_short_name : options.app_name,
        options.procid.empty() ? std::to_string(::getpid()) : options.procid);
    const int failure = resolve(options.address);
    account(WriteResult{failure, 0});
    open_ = failure == 0;
  }

 private:
  // Fills `address_` from "unix:/path", "udp:host:port" or "tcp:host:port";
  // returns 0 or an error number.
  int resolve(std::string_view text) {
    if (text.substr(0, 5) == "unix:") {
      const std::string_view path = text.substr(5);
      sockaddr_un unix_address{};
      if (path.empty() || path.size() >= sizeof unix_address.sun_path) return EINVAL;
      unix_address.sun_family = AF_UNIX;
      std::memcpy(unix_address.sun_path, path.data(), path.size());
      std::memcpy(&address_, &unix_address, sizeof unix_address);
      address_length_ = sizeof unix_address;
      transport_ = Transport::Unix;
      return 0;
    }
    const std::string_view scheme = text.substr(0, 4);
    if (scheme != "udp:" && scheme != "tcp:") return EINVAL;
    transport_ = scheme == "udp:" ? Transport::Udp : Transport::Tcp;
    const std::string_view host_port = text.substr(4);
    const std::size_t colon = host_port.rfind(':');
    if (colon == std::string_view::npos || colon + 1 == host_port.size()) return EINVAL;
    std::string host(host_port.substr(0, colon));
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    const std::string port(host_port.substr(colon + 1));
    addrinfo hints{};
    hints.ai_socktype = transport_ == Transport::Tcp ? SOCK_STREAM : SOCK_DGRAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (host.empty() || ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0 || found == nullptr) {
      return EHOSTUNREACH;
    }
    std::memcpy(&address_, found->ai_addr, found->ai_addrlen);
    address_length_ = found->ai_addrlen;
    ::freeaddrinfo(found);
    return 0;
  }

  std::string_view encode(const channels_detail::Message& message,
                          channels_detail::EncodeBuffer& scratch) override {
    const bool tcp = transport_ == Transport::Tcp;
    return channels_detail::encode_rfc5424(message, facility_, fields_, tcp ? SIZE_MAX : kMaxDatagram, tcp,
                                           scratch);
  }

  // Sends the packet before the deadline, connecting first when needed, and
  // once more on a fresh socket when the first attempt failed before any of
  // it went out (a restarted receiver).
  WriteResult write_locked(const channels_detail::Message&, std::string_view packet,
                           Clock::time_point deadline, Lock&) override {
    int failure = 0;
    for (int attempt = 0; attempt < 2; ++attempt) {
      if (socket_ < 0 && (failure = connect_socket(deadline)) != 0) break;
      bool sent_any = false;
      failure = send_all(packet, deadline, &sent_any);
      if (failure == 0) break;
      close_locked();
      if (sent_any || failure == ETIMEDOUT) break;
    }
    return WriteResult{failure, failure != 0 ? 1u : 0u};
  }

  void close_locked() override {
    if (socket_ >= 0) ::close(socket_);
    socket_ = -1;
  }
  void forget_in_child() override { close_locked(); }

  int connect_socket(Clock::time_point deadline) {
    if (transport_ == Transport::Tcp && Clock::now() < reconnect_after_) return ENOTCONN;
    const int family = reinterpret_cast<const sockaddr*>(&address_)->sa_family;
    const int type = transport_ == Transport::Tcp ? SOCK_STREAM : SOCK_DGRAM;
    socket_ = ::socket(family, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (socket_ < 0) return errno;
    int failure = 0;
    if (::connect(socket_, reinterpret_cast<const sockaddr*>(&address_), address_length_) != 0) {
      failure = errno == EINPROGRESS ? wait_for(POLLOUT, deadline) : errno;
      socklen_t length = sizeof failure;
      if (failure == 0) ::getsockopt(socket_, SOL_SOCKET, SO_ERROR, &failure, &length);
    }
    if (failure != 0) {
      close_locked();
      if (transport_ == Transport::Tcp) reconnect_after_ = Clock::now() + kReconnectPause;
    }
    return failure;
  }

  int send_all(std::string_view packet, Clock::time_point deadline, bool* sent_any) {
    while (!packet.empty()) {
      const ssize_t sent = ::send(socket_, packet.data(), packet.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent > 0) {
        *sent_any = true;
        packet.remove_prefix(static_cast<std::size_t>(sent));
        continue;
      }
      if (sent < 0 && errno == EINTR) continue;
      if (sent == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return sent == 0 ? EIO : errno;
      if (const int failure = wait_for(POLLOUT, deadline)) return failure;
    }
    return 0;
  }

  // Waits until the socket is ready for `events` or the deadline passes;
  // ppoll's timeout is exact, where poll's rounds up to the kernel's tick.
  int wait_for(short events, Clock::time_point deadline) {
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now()).count();
      if (left <= 0) return ETIMEDOUT;
      const timespec timeout{static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
      pollfd entry{socket_, events, 0};
      const int ready = ::ppoll(&entry, 1, &timeout, nullptr);
      if (ready > 0) return 0;
      if (ready == 0) return ETIMEDOUT;
      if (errno != EINTR) return errno;
    }
  }

  const unsigned facility_;
  std::string fields_;  // " HOSTNAME APP-NAME PROCID "
  Transport transport_ = Transport::Unix;
  sockaddr_storage address_{};
  socklen_t address_length_ = 0;
  // Guarded by the state's lock:
  int socket_ = -1;
  Clock::time_point reconnect_after_{};
};

}  // namespace

SyslogChannel::SyslogChannel(SyslogOptions options)
    : ChannelObject(channels_detail::make_kept<SyslogState>(options)) {}

}  // namespace core::logger
