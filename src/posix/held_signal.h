// posix/held_signal.h: a system call run with a signal held off that its
// failure would raise at the calling thread (SIGPIPE for a closed pipe,
// SIGXFSZ past a limit on file sizes), whose default action ends the
// process. Header-only, for the POSIX platform layers of both libraries.
#ifndef CORE_LOGGER_POSIX_HELD_SIGNAL_H_
#define CORE_LOGGER_POSIX_HELD_SIGNAL_H_

#include <errno.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>

namespace core::logger::posix {

// Whether a write to `fd` may raise SIGPIPE: a pipe or a socket, or a
// descriptor that fstat cannot tell (a closed one among them).
inline bool may_raise_sigpipe(int fd) noexcept {
  struct stat status;
  return fd < 0 || ::fstat(fd, &status) != 0 || S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode);
}

// Runs `call` (returning 0 or an error number) with `signal` blocked in this
// thread, then, when `call` failed with `raised_by`, takes back the `signal`
// that it raised, so that neither the default action nor the host's handler
// sees it. A `signal` that the thread held pending before is the host's and
// stays. Returns what `call` returned.
template <typename Call>
int with_signal_held(int signal, int raised_by, Call call) noexcept {
  sigset_t held;
  sigset_t old;
  ::sigemptyset(&held);
  ::sigaddset(&held, signal);
  ::pthread_sigmask(SIG_BLOCK, &held, &old);
  const bool blocked_before = ::sigismember(&old, signal) == 1;
  sigset_t pending;
  // Unblocked, a pending signal would have been delivered already.
  const bool pending_before =
      blocked_before && ::sigpending(&pending) == 0 && ::sigismember(&pending, signal) == 1;
  const int error = call();
  if (error == raised_by && !pending_before) {
    const timespec now{0, 0};
    while (::sigtimedwait(&held, nullptr, &now) < 0 && errno == EINTR) {
    }
  }
  if (!blocked_before) ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return error;
}

}  // namespace core::logger::posix

#endif  // CORE_LOGGER_POSIX_HELD_SIGNAL_H_
