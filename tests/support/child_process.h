// tests/support/child_process.h: a piece of a test run in a child process,
// for what must neither end nor hang the process that runs it. POSIX only.
#ifndef CORE_LOGGER_TESTS_SUPPORT_CHILD_PROCESS_H_
#define CORE_LOGGER_TESTS_SUPPORT_CHILD_PROCESS_H_

#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include <fmt/format.h>

namespace core::logger::testing {

// Runs `body` in a child of fork() and tells how the child ended: "exit N"
// with N what `body` returned, "signal N", or "hung" when it took longer than
// `limit` (it is then killed).
template <typename Body>
std::string outcome_in_child(Body body, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(body());
  int status = 0;
  for (const auto until = std::chrono::steady_clock::now() + limit; ::waitpid(pid, &status, WNOHANG) == 0;) {
    if (std::chrono::steady_clock::now() > until) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return "hung";
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return WIFEXITED(status) ? fmt::format("exit {}", WEXITSTATUS(status))
                           : fmt::format("signal {}", WTERMSIG(status));
}

// The ways a process may hold SIGPIPE, which a write to a closed pipe must
// survive: default, ignored, with a handler, blocked, blocked with one
// already pending.
enum class Sigpipe { Default, Ignored, Handled, Blocked, BlockedPending };
constexpr Sigpipe kEverySigpipe[] = {Sigpipe::Default, Sigpipe::Ignored, Sigpipe::Handled, Sigpipe::Blocked,
                                     Sigpipe::BlockedPending};

// In a child whose file descriptor `fd` is a pipe without a reader and whose
// SIGPIPE is held as `how`, runs `write()` and ends with its result, or with
// 101 when the signal mask changed, 102 when a SIGPIPE was left pending or
// the pending one taken, 103 when the handler ran. "exit 0" is all well.
template <typename Write>
std::string closed_pipe_outcome(int fd, Sigpipe how, Write write) {
  return outcome_in_child([&] {
    int ends[2];
    if (::pipe(ends) != 0 || ::dup2(ends[1], fd) < 0) return 100;
    ::close(ends[0]);
    static volatile sig_atomic_t handled = 0;
    struct sigaction action = {};
    action.sa_handler = how == Sigpipe::Ignored   ? SIG_IGN
                        : how == Sigpipe::Handled ? +[](int) { handled = 1; }
                                                  : SIG_DFL;
    ::sigaction(SIGPIPE, &action, nullptr);
    sigset_t pipe;
    ::sigemptyset(&pipe);
    ::sigaddset(&pipe, SIGPIPE);
    const bool blocked = how == Sigpipe::Blocked || how == Sigpipe::BlockedPending;
    ::pthread_sigmask(blocked ? SIG_BLOCK : SIG_UNBLOCK, &pipe, nullptr);
    if (how == Sigpipe::BlockedPending) ::pthread_kill(::pthread_self(), SIGPIPE);
    const int result = write();
    sigset_t mask;
    sigset_t pending;
    ::pthread_sigmask(SIG_SETMASK, nullptr, &mask);
    ::sigpending(&pending);
    if (result != 0) return result;
    if ((::sigismember(&mask, SIGPIPE) == 1) != blocked) return 101;
    if ((::sigismember(&pending, SIGPIPE) == 1) != (how == Sigpipe::BlockedPending)) return 102;
    return handled ? 103 : 0;
  });
}

}  // namespace core::logger::testing

#endif  // CORE_LOGGER_TESTS_SUPPORT_CHILD_PROCESS_H_
