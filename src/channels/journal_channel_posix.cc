// The journal channel: one entry per call to systemd-journald over its native
// protocol, never waiting longer than the send timeout. Written here rather
// than with sd_journal_sendv, which names its own socket, blocks and
// allocates per call. Linux only (memfd), chosen by CMake.
#include "core/channels.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "channels/channel_state.h"
#include "channels/channels_platform.h"
#include "channels/journal_entry.h"
#include "posix/wait_ready.h"

namespace core::logger {
namespace {

using channels_detail::Clock;
using channels_detail::WriteResult;

// gettid is a system call: each thread asks once. The child of a fork runs
// on a thread of its own, so every fork forgets the answer in the child.
thread_local std::uint64_t t_thread_id = 0;

void forget_thread_id() { t_thread_id = 0; }

std::uint64_t thread_id() noexcept {
  if (t_thread_id == 0) t_thread_id = static_cast<std::uint64_t>(::gettid());
  return t_thread_id;
}

// SYSLOG_IDENTIFIER, the field that every entry of a channel carries.
std::string identifier_field(const std::string& identifier) {
  return channels_detail::journal_field("SYSLOG_IDENTIFIER",
                                        identifier.empty() ? program_invocation_short_name : identifier);
}

// Thread-safety: the socket is used under the state's lock, which a call
// waits for no longer than its send timeout.
class JournalState final : public channels_detail::ChannelState {
 public:
  explicit JournalState(const JournalOptions& options)
      : ChannelState("journal", "journal-raw", Input::Lines, wait_at_most(options.send_timeout_ms)),
        sender_fields_(identifier_field(options.identifier)) {
    static const bool forgets_in_children =
        (channels_platform::at_fork(nullptr, nullptr, &forget_thread_id), true);
    (void)forgets_in_children;
    if (options.socket.empty() || options.socket.size() >= sizeof address_.sun_path) {
      account(WriteResult{EINVAL, 0});
      open_ = false;
      return;
    }
    address_.sun_family = AF_UNIX;
    std::memcpy(address_.sun_path, options.socket.data(), options.socket.size());
    // A journal that is not there yet shows in error() at once; the channel
    // stays open and connects when it comes.
    account(WriteResult{connect_socket(), 0});
  }

 private:
  std::string_view encode(const channels_detail::Message& message,
                          channels_detail::EncodeBuffer& scratch) override {
    return channels_detail::encode_journal_entry(message, sender_fields_, thread_id(), scratch);
  }

  // Sends the entry before the deadline, and once more on a fresh socket
  // when an older one failed: journald was stopped or restarted, and its
  // socket is not the one this one was connected to.
  WriteResult write_locked(const channels_detail::Message&, std::string_view entry,
                           Clock::time_point deadline, Lock&) override {
    const bool fresh = socket_ < 0;
    int failure = fresh ? connect_socket() : 0;
    if (failure == 0) failure = send_entry(entry, deadline);
    if (failure != 0 && failure != ETIMEDOUT && !fresh) {
      close_locked();
      failure = connect_socket();
      if (failure == 0) failure = send_entry(entry, deadline);
    }
    return WriteResult{failure, failure != 0 ? 1u : 0u};
  }

  void close_locked() override {
    if (socket_ >= 0) ::close(socket_);
    socket_ = -1;
  }
  void forget_in_child() override { close_locked(); }

  // Connected, so that poll waits for room in journald's queue, which an
  // unconnected datagram socket never does.
  int connect_socket() {
    socket_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (socket_ < 0) return errno;
    if (::connect(socket_, reinterpret_cast<const sockaddr*>(&address_), sizeof address_) == 0) return 0;
    const int failure = errno;
    close_locked();
    return failure;
  }

  int send_entry(std::string_view entry, Clock::time_point deadline) {
    iovec data{const_cast<char*>(entry.data()), entry.size()};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    const int failure = send_message(message, deadline);
    return failure == EMSGSIZE || failure == ENOBUFS ? send_in_memfd(entry, deadline) : failure;
  }

  // An entry too large for a datagram goes, as the protocol has it, in a
  // sealed memory file whose descriptor an empty datagram carries.
  int send_in_memfd(std::string_view entry, Clock::time_point deadline) {
    const int file = ::memfd_create("core_logger_journal_entry", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (file < 0) return errno;
    int failure = write_all(file, entry);
    if (failure == 0 &&
        ::fcntl(file, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0) {
      failure = errno;
    }
    if (failure == 0) {
      alignas(cmsghdr) char control[CMSG_SPACE(sizeof file)] = {};
      msghdr message{};
      message.msg_control = control;
      message.msg_controllen = sizeof control;
      cmsghdr* const rights = CMSG_FIRSTHDR(&message);
      rights->cmsg_level = SOL_SOCKET;
      rights->cmsg_type = SCM_RIGHTS;
      rights->cmsg_len = CMSG_LEN(sizeof file);
      std::memcpy(CMSG_DATA(rights), &file, sizeof file);
      failure = send_message(message, deadline);
    }
    ::close(file);
    return failure;
  }

  static int write_all(int file, std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t written = ::write(file, bytes.data(), bytes.size());
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) return written < 0 ? errno : EIO;
      bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return 0;
  }

  // One sendmsg, and more only while journald's queue is full.
  int send_message(const msghdr& message, Clock::time_point deadline) {
    for (;;) {
      if (::sendmsg(socket_, &message, MSG_NOSIGNAL | MSG_DONTWAIT) >= 0) return 0;
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return errno;
      if (const int failure = posix::wait_ready(socket_, POLLOUT, deadline)) return failure;
    }
  }

  const std::string sender_fields_;  // SYSLOG_IDENTIFIER
  sockaddr_un address_{};
  // Guarded by the state's lock:
  int socket_ = -1;
};

}  // namespace

JournalChannel::JournalChannel(JournalOptions options)
    : ChannelObject(channels_detail::make_kept<JournalState>(options)) {}

}  // namespace core::logger
