// tests/crash/child_process.h: running the crash child and seeing how it
// ended (child_process_posix.cc: posix_spawn and waitpid; child_process_win32.cc:
// CreateProcess and GetExitCodeProcess, whose code a Linux parent of Wine
// would see only the low byte of).
#ifndef CORE_LOGGER_TESTS_CRASH_CHILD_PROCESS_H_
#define CORE_LOGGER_TESTS_CRASH_CHILD_PROCESS_H_

#include <cstdint>
#include <string>
#include <vector>

namespace core::logger::testing {

struct ChildEnd {
  bool by_signal;  // else by exit code
  std::uint32_t code;
  bool operator==(const ChildEnd& other) const { return by_signal == other.by_signal && code == other.code; }
};

struct ChildRun {
  std::string output;  // standard output
  ChildEnd end;
  std::int64_t ended_ms;  // on the clock of the child's now_ms()
};

// Runs the crash child with `arguments` and waits for it.
ChildRun run_crash_child(const std::vector<std::string>& arguments);

// Runs the crash child with `arguments` while `pipe`, made a named pipe, is
// read by a thread only once the file `go` exists (or the child ended), then
// to its end, into `*piped`. False where there are no named pipes.
bool run_crash_child_into_pipe(const std::vector<std::string>& arguments, const std::string& pipe,
                               const std::string& go, ChildRun* run, std::string* piped);

// How a child ends that crashes with `signal` (SIGSEGV, SIGABRT, ...) with no
// handler: killed by the signal on POSIX; on Windows, an access violation's
// exit code for SIGSEGV.
ChildEnd crash_end(int signal);

extern const bool kWindows;

}  // namespace core::logger::testing

#endif  // CORE_LOGGER_TESTS_CRASH_CHILD_PROCESS_H_
