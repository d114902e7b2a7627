// posix/wait_ready.h: a wait for a descriptor to become ready, bounded by a
// deadline of the steady clock. Header-only, for the channels that send over
// sockets.
#ifndef CORE_LOGGER_POSIX_WAIT_READY_H_
#define CORE_LOGGER_POSIX_WAIT_READY_H_

#include <errno.h>
#include <poll.h>
#include <time.h>

#include <chrono>

namespace core::logger::posix {

// Waits until `fd` is ready for `events` (0) or `deadline` passes
// (ETIMEDOUT); another error number when poll fails. ppoll's timeout is
// exact, where poll's rounds up to the kernel's tick.
inline int wait_ready(int fd, short events, std::chrono::steady_clock::time_point deadline) noexcept {
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - std::chrono::steady_clock::now())
            .count();
    if (left <= 0) return ETIMEDOUT;
    const timespec timeout{static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
    pollfd entry{fd, events, 0};
    const int ready = ::ppoll(&entry, 1, &timeout, nullptr);
    if (ready > 0) return 0;
    if (ready == 0) return ETIMEDOUT;
    if (errno != EINTR) return errno;
  }
}

}  // namespace core::logger::posix

#endif  // CORE_LOGGER_POSIX_WAIT_READY_H_
