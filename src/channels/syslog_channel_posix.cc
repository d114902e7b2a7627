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
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>

#include "channels/channel_state.h"
#include "channels/channels_platform.h"
#include "channels/message_text.h"

namespace core::logger {
namespace {

using Clock = std::chrono::steady_clock;
using channels_detail::TextBuffer;

// UDP carries at most 65507 bytes; longer datagrams are cut to this.
constexpr std::size_t kMaxDatagram = 65000;
// After a failed TCP connection, texts are dropped at once for this long
// rather than each waiting for a collector that does not answer.
constexpr auto kReconnectPause = std::chrono::seconds(1);

enum class Transport { Unix, Udp, Tcp };

// RFC 5424 header fields are printable US-ASCII without blanks, of bounded
// length, "-" when empty.
std::string header_field(std::string_view text, std::size_t max_length) {
  std::string field(text.substr(0, max_length));
  for (char& c : field) {
    if (c < 33 || c > 126) c = '_';
  }
  return field.empty() ? "-" : field;
}

unsigned severity_of(std::uint32_t level_value) noexcept {
  if (level_value <= 1) return 7;  // debug
  if (level_value == 2) return 6;  // informational
  if (level_value == 3) return 4;  // warning
  return 3;                        // error
}

std::int64_t unix_seconds_now() noexcept { return channels_platform::unix_time_ms() / 1000; }

// A lock that a caller gives up on at a deadline. std::timed_mutex would do,
// but the thread sanitizer does not see its locking by the steady clock
// (pthread_mutex_clocklock) and reports every unlock as a fault.
class DeadlineLock {
 public:
  bool lock_until(Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!released_.wait_until(lock, deadline, [this] { return !held_; })) return false;
    held_ = true;
    return true;
  }
  void lock() {
    std::unique_lock<std::mutex> lock(mutex_);
    released_.wait(lock, [this] { return !held_; });
    held_ = true;
  }
  void unlock() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      held_ = false;
    }
    released_.notify_one();
  }

 private:
  std::mutex mutex_;
  std::condition_variable released_;
  bool held_ = false;  // guarded by mutex_
};

}  // namespace

// Thread-safety: the members below `mutex` are guarded by it; the others are
// fixed at construction or atomic. The lock is taken with the call's
// deadline, so that no call waits for another's send beyond its own timeout.
struct SyslogChannel::State : channels_detail::KeptState {
  explicit State(const SyslogOptions& options)
      : timeout(std::chrono::milliseconds(options.send_timeout_ms)),
        facility(static_cast<unsigned>(options.facility)) {
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    fields = " " + header_field(host, 255) + " " +
             header_field(options.app_name.empty() ? program_invocation_short_name : options.app_name, 48) +
             " " + header_field(options.procid.empty() ? std::to_string(::getpid()) : options.procid, 128) +
             " ";
    const int failure = resolve(options.address);
    if (failure != 0) {
      error.store(failure);
      closed = true;
    }
  }

  // Fills `address` from "unix:/path", "udp:host:port" or "tcp:host:port";
  // returns 0 or an error number.
  int resolve(std::string_view text) {
    if (text.substr(0, 5) == "unix:") {
      const std::string_view path = text.substr(5);
      sockaddr_un unix_address{};
      if (path.empty() || path.size() >= sizeof unix_address.sun_path) return EINVAL;
      unix_address.sun_family = AF_UNIX;
      std::memcpy(unix_address.sun_path, path.data(), path.size());
      std::memcpy(&address, &unix_address, sizeof unix_address);
      address_length = sizeof unix_address;
      transport = Transport::Unix;
      return 0;
    }
    const std::string_view scheme = text.substr(0, 4);
    if (scheme != "udp:" && scheme != "tcp:") return EINVAL;
    transport = scheme == "udp:" ? Transport::Udp : Transport::Tcp;
    const std::string_view host_port = text.substr(4);
    const std::size_t colon = host_port.rfind(':');
    if (colon == std::string_view::npos || colon + 1 == host_port.size()) return EINVAL;
    std::string host(host_port.substr(0, colon));
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    const std::string port(host_port.substr(colon + 1));
    addrinfo hints{};
    hints.ai_socktype = transport == Transport::Tcp ? SOCK_STREAM : SOCK_DGRAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (host.empty() || ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0 || found == nullptr) {
      return EHOSTUNREACH;
    }
    std::memcpy(&address, found->ai_addr, found->ai_addrlen);
    address_length = found->ai_addrlen;
    ::freeaddrinfo(found);
    return 0;
  }

  static void on_text(void* user_data, const DispatchContext& context, const LogCategory& category,
                      const LogLevel& level, std::string_view text) {
    auto* state = static_cast<State*>(user_data);
    if (channels_detail::has_raw_record(context, &on_raw_line, state)) return;
    text = channels_detail::without_nul(text);
    if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
    const std::int64_t now_ms = channels_platform::unix_time_ms();
    const int offset = state->offsets.at(now_ms / 1000);
    const bool done = channels_detail::delivered(
        [&] { state->send(category, level, now_ms + offset * std::int64_t{1000}, offset, text); });
    if (!done) state->drop(ENOMEM);
  }

  static void on_raw_line(void* user_data, const DispatchContext& context, const LogCategory& category,
                          const LogLevel& level, LogTimestamp timestamp, std::string_view piece) {
    auto* state = static_cast<State*>(user_data);
    const bool done = channels_detail::delivered([&] {
      std::string storage;
      std::string_view message;
      if (!state->assembler.add(context, timestamp, piece, &storage, &message)) return;
      state->send(category, level, channels_detail::local_ms_of(timestamp),
                  state->offsets.at(unix_seconds_now()), message);
    });
    if (!done) state->drop(ENOMEM);
  }

  void drop(int failure) noexcept {
    error.store(failure, std::memory_order_relaxed);
    dropped.fetch_add(1, std::memory_order_relaxed);
  }

  void send(const LogCategory& category, const LogLevel& level, std::int64_t local_ms, int offset_seconds,
            std::string_view message) {
    const Clock::time_point deadline = Clock::now() + timeout;
    TextBuffer packet;
    packet.push_back('<');
    channels_detail::append_decimal(packet, facility * 8 + severity_of(level.value));
    channels_detail::append(packet, ">1 ");
    channels_detail::append_iso_time(packet, local_ms, offset_seconds);
    channels_detail::append(packet, fields);
    channels_detail::append(packet, header_field(category.key.name, 32));
    channels_detail::append(packet, " - ");
    if (transport != Transport::Tcp && packet.size() + message.size() > kMaxDatagram) {
      message = message.substr(0, kMaxDatagram > packet.size() ? kMaxDatagram - packet.size() : 0);
    }
    channels_detail::append(packet, message);
    if (transport == Transport::Tcp) {
      // Octet counting: the length, a blank, then the message.
      const std::string length = std::to_string(packet.size()) + " ";
      packet.reserve(packet.size() + length.size());
      packet.resize(packet.size() + length.size());
      std::memmove(packet.data() + length.size(), packet.data(), packet.size() - length.size());
      std::memcpy(packet.data(), length.data(), length.size());
    }
    const int failure = deliver(std::string_view(packet.data(), packet.size()), deadline);
    if (failure != 0) drop(failure);
  }

  // Sends the packet before the deadline, connecting first when needed, and
  // once more on a fresh socket when the first attempt failed before any of
  // it went out (a restarted receiver). Returns 0 or an error number.
  int deliver(std::string_view packet, Clock::time_point deadline) {
    if (!mutex.lock_until(deadline)) return ETIMEDOUT;
    std::lock_guard<DeadlineLock> lock(mutex, std::adopt_lock);
    if (closed) return EBADF;
    int failure = 0;
    for (int attempt = 0; attempt < 2; ++attempt) {
      if (socket_fd < 0 && (failure = connect_socket(deadline)) != 0) return failure;
      bool sent_any = false;
      failure = send_all(packet, deadline, &sent_any);
      if (failure == 0) return 0;
      close_socket();
      if (sent_any || failure == ETIMEDOUT) break;
    }
    return failure;
  }

  // REQUIRES: mutex is held.
  int connect_socket(Clock::time_point deadline) {
    if (transport == Transport::Tcp && Clock::now() < reconnect_after) return ENOTCONN;
    const int family = reinterpret_cast<const sockaddr*>(&address)->sa_family;
    const int type = transport == Transport::Tcp ? SOCK_STREAM : SOCK_DGRAM;
    socket_fd = ::socket(family, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (socket_fd < 0) return errno;
    int failure = 0;
    if (::connect(socket_fd, reinterpret_cast<const sockaddr*>(&address), address_length) != 0) {
      failure = errno == EINPROGRESS ? wait_for(POLLOUT, deadline) : errno;
      socklen_t length = sizeof failure;
      if (failure == 0) ::getsockopt(socket_fd, SOL_SOCKET, SO_ERROR, &failure, &length);
    }
    if (failure != 0) {
      close_socket();
      if (transport == Transport::Tcp) reconnect_after = Clock::now() + kReconnectPause;
    }
    return failure;
  }

  // REQUIRES: mutex is held and the socket is open.
  int send_all(std::string_view packet, Clock::time_point deadline, bool* sent_any) {
    while (!packet.empty()) {
      const ssize_t sent = ::send(socket_fd, packet.data(), packet.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
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
      const timespec timeout_spec{static_cast<time_t>(left / 1000000000),
                                  static_cast<long>(left % 1000000000)};
      pollfd entry{socket_fd, events, 0};
      const int ready = ::ppoll(&entry, 1, &timeout_spec, nullptr);
      if (ready > 0) return 0;
      if (ready == 0) return ETIMEDOUT;
      if (errno != EINTR) return errno;
    }
  }

  // REQUIRES: mutex is held.
  void close_socket() {
    if (socket_fd >= 0) ::close(socket_fd);
    socket_fd = -1;
  }

  const Clock::duration timeout;
  const unsigned facility;
  std::string fields;  // " HOSTNAME APP-NAME PROCID "
  Transport transport = Transport::Unix;
  sockaddr_storage address{};
  socklen_t address_length = 0;
  channels_detail::MessageAssembler assembler;
  channels_detail::UtcOffsetCache offsets;
  std::atomic<int> error{0};
  std::atomic<std::uint64_t> dropped{0};

  DeadlineLock mutex;
  bool closed = false;
  int socket_fd = -1;
  Clock::time_point reconnect_after{};
};

SyslogChannel::SyslogChannel(SyslogOptions options) : state_(channels_detail::make_kept<State>(options)) {}

SyslogChannel::~SyslogChannel() {
  close();
  channels_detail::retire(state_);
}

LogChannel SyslogChannel::channel() noexcept {
  return LogChannel{"syslog", &State::on_text, state_->share()};
}

LogRawChannel SyslogChannel::raw_channel() noexcept {
  return LogRawChannel{"syslog-raw", &State::on_raw_line, state_->share()};
}

void SyslogChannel::flush() {}

void SyslogChannel::close() {
  std::lock_guard<DeadlineLock> lock(state_->mutex);
  state_->close_socket();
  state_->closed = true;
}

bool SyslogChannel::is_open() const {
  std::lock_guard<DeadlineLock> lock(state_->mutex);
  return !state_->closed;
}

int SyslogChannel::error() const { return state_->error.load(std::memory_order_relaxed); }

std::uint64_t SyslogChannel::dropped() const { return state_->dropped.load(std::memory_order_relaxed); }

}  // namespace core::logger
