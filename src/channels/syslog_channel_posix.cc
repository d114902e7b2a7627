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

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>

#include "channels/channel_state.h"
#include "channels/rfc5424.h"
#include "channels/syslog_address.h"
#include "posix/wait_ready.h"

namespace core::logger {
namespace {

using channels_detail::Clock;
using channels_detail::WriteResult;

// UDP carries at most 65507 bytes; longer datagrams are cut to this.
constexpr std::size_t kMaxDatagram = 65000;
// Room for the longest header and the "..." of a cut message.
constexpr std::size_t kMinMessageBytes = 512;
static_assert(channels_detail::kMaxRfc5424Header + 3 <= kMinMessageBytes);
// After a failed TCP connection, texts are dropped at once for this long
// rather than each waiting for a collector that does not answer.
constexpr auto kReconnectPause = std::chrono::seconds(1);

using channels_detail::SyslogTransport;

// Thread-safety: the socket is used under the state's lock, which a call
// waits for no longer than its send timeout, so that no call waits for
// another's send beyond its own timeout.
class SyslogState final : public channels_detail::ChannelState {
 public:
  explicit SyslogState(const SyslogOptions& options)
      : ChannelState("syslog", "syslog-raw", Input::Lines, wait_at_most(options.send_timeout_ms)),
        facility_(static_cast<unsigned>(options.facility)),
        app_name_(options.app_name.empty() ? program_invocation_short_name : options.app_name),
        procid_(options.procid) {
    fields_ = sender_fields();
    const int failure = resolve(options.address);
    const std::size_t max_bytes = std::max(options.max_message_bytes, kMinMessageBytes);
    max_message_bytes_ = transport_ == SyslogTransport::Tcp ? max_bytes : std::min(max_bytes, kMaxDatagram);
    account(WriteResult{failure, 0});
    open_ = failure == 0;
  }

 private:
  // " HOSTNAME APP-NAME PROCID " of this process.
  std::string sender_fields() const {
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    return channels_detail::sender_fields(host, app_name_,
                                          procid_.empty() ? std::to_string(::getpid()) : procid_);
  }

  // Fills `address_` from the address text; returns 0 or an error number.
  int resolve(std::string_view text) {
    channels_detail::SyslogAddress parsed;
    if (!channels_detail::parse_syslog_address(text, &parsed)) return EINVAL;
    transport_ = parsed.transport;
    if (parsed.transport == SyslogTransport::Unix) {
      sockaddr_un unix_address{};
      if (parsed.path.size() >= sizeof unix_address.sun_path) return EINVAL;
      unix_address.sun_family = AF_UNIX;
      std::memcpy(unix_address.sun_path, parsed.path.data(), parsed.path.size());
      std::memcpy(&address_, &unix_address, sizeof unix_address);
      address_length_ = sizeof unix_address;
      return 0;
    }
    const std::string host(parsed.host);
    const std::string port = std::to_string(parsed.port);
    addrinfo hints{};
    hints.ai_socktype = transport_ == SyslogTransport::Tcp ? SOCK_STREAM : SOCK_DGRAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0 || found == nullptr)
      return EHOSTUNREACH;
    std::memcpy(&address_, found->ai_addr, found->ai_addrlen);
    address_length_ = found->ai_addrlen;
    ::freeaddrinfo(found);
    return 0;
  }

  std::string_view encode(const channels_detail::Message& message,
                          channels_detail::EncodeBuffer& scratch) override {
    return channels_detail::encode_rfc5424(message, facility_, fields_, max_message_bytes_,
                                           transport_ == SyslogTransport::Tcp, scratch);
  }

  // Sends the packet before the deadline, connecting first when needed, and
  // once more on a fresh socket when the first attempt failed before any of
  // it went out (a restarted receiver).
  WriteResult write_locked(const channels_detail::Message&, std::string_view packet,
                           Clock::time_point deadline, Lock&) override {
    int failure = 0;
    if (socket_ >= 0 && transport_ == SyslogTransport::Tcp && peer_closed()) close_locked();
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
  // The child sends on a connection of its own, as itself. Only the child's
  // thread runs here, so `fields_`, which `encode` reads unlocked, may change.
  void forget_in_child() override {
    close_locked();
    if (procid_.empty()) fields_ = sender_fields();
  }

  // Whether a TCP collector has closed the connection (stopped, restarted):
  // what is sent after its FIN, the kernel accepts and then loses when the
  // reset comes back, uncounted. One poll that does not wait.
  bool peer_closed() const {
    pollfd entry{socket_, POLLRDHUP, 0};
    return ::poll(&entry, 1, 0) > 0 && (entry.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
  }

  int connect_socket(Clock::time_point deadline) {
    if (transport_ == SyslogTransport::Tcp && Clock::now() < reconnect_after_) return ENOTCONN;
    const int family = reinterpret_cast<const sockaddr*>(&address_)->sa_family;
    const int type = transport_ == SyslogTransport::Tcp ? SOCK_STREAM : SOCK_DGRAM;
    socket_ = ::socket(family, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (socket_ < 0) return errno;
    int failure = 0;
    if (::connect(socket_, reinterpret_cast<const sockaddr*>(&address_), address_length_) != 0) {
      failure = errno == EINPROGRESS ? posix::wait_ready(socket_, POLLOUT, deadline) : errno;
      socklen_t length = sizeof failure;
      if (failure == 0) ::getsockopt(socket_, SOL_SOCKET, SO_ERROR, &failure, &length);
    }
    if (failure != 0) {
      close_locked();
      if (transport_ == SyslogTransport::Tcp) reconnect_after_ = Clock::now() + kReconnectPause;
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
      if (const int failure = posix::wait_ready(socket_, POLLOUT, deadline)) return failure;
    }
    return 0;
  }

  const unsigned facility_;
  const std::string app_name_;
  const std::string procid_;  // empty: the process id
  std::string fields_;        // " HOSTNAME APP-NAME PROCID "
  std::size_t max_message_bytes_ = 0;
  SyslogTransport transport_ = SyslogTransport::Unix;
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
