#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "crash/child_process.h"

extern char** environ;

namespace core::logger::testing {

const bool kWindows = false;

ChildEnd crash_end(int signal) { return ChildEnd{true, static_cast<std::uint32_t>(signal)}; }

ChildRun run_crash_child(const std::vector<std::string>& arguments) {
  ChildRun run{"", ChildEnd{false, ~0u}, -1};
  std::vector<char*> argv{const_cast<char*>(CORE_LOGGER_CRASH_CHILD)};
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  int out[2];
  if (::pipe(out) != 0) return run;
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  ::posix_spawn_file_actions_addclose(&actions, out[0]);
  pid_t child = -1;
  const int spawned = ::posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
  ::posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  char buffer[4096];
  for (ssize_t got; spawned == 0 && (got = ::read(out[0], buffer, sizeof buffer)) > 0;) {
    run.output.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(out[0]);
  int status = 0;
  if (spawned != 0 || ::waitpid(child, &status, 0) != child) return run;
  timespec now;
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  run.ended_ms = static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
  run.end = WIFSIGNALED(status) ? ChildEnd{true, static_cast<std::uint32_t>(WTERMSIG(status))}
                                : ChildEnd{false, static_cast<std::uint32_t>(WEXITSTATUS(status))};
  return run;
}

bool run_crash_child_into_pipe(const std::vector<std::string>& arguments, const std::string& pipe,
                               const std::string& go, ChildRun* run, std::string* piped) {
  if (::mkfifo(pipe.c_str(), 0600) != 0) return false;
  std::atomic<bool> ended{false};
  std::atomic<bool> read{false};
  std::thread reader([&] {
    const int fd = ::open(pipe.c_str(), O_RDONLY | O_CLOEXEC);  // until a writer opens it
    while (fd >= 0 && !ended && ::access(go.c_str(), F_OK) != 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    char buffer[4096];
    for (ssize_t got; fd >= 0 && (got = ::read(fd, buffer, sizeof buffer)) > 0;) {
      piped->append(buffer, static_cast<std::size_t>(got));
    }
    if (fd >= 0) ::close(fd);
    read = true;
  });
  *run = run_crash_child(arguments);
  ended = true;
  // A child that never opened the pipe leaves the reader waiting for a
  // writer: one that comes and goes at once ends the wait.
  while (!read) {
    const int writer = ::open(pipe.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (writer >= 0) ::close(writer);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  reader.join();
  return true;
}

}  // namespace core::logger::testing
