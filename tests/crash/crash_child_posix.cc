#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include <fmt/format.h>

#include "crash/crash_child.h"

namespace core::logger::testing::crash_child {
namespace {

void write_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written <= 0) return;
    data += written;
    size -= static_cast<std::size_t>(written);
  }
}

// The handler that was there before the crash handler: reports and lets the
// signal take its default course (a fault repeats, anything else arrives
// again once this returns).
void previous_handler(int number, siginfo_t* info, void*) {
  char line[96];
  const auto end =
      fmt::format_to_n(line, sizeof line, "previous handler: signal {} code {}\n", number, info->si_code);
  write_all(STDOUT_FILENO, line, end.size);
  signal(number, SIG_DFL);
  if (info->si_code <= 0) raise(number);
}

std::atomic<bool> g_stream_armed{false};
int* volatile g_nowhere = nullptr;

CORE_LOGGER_FAULTS_ON_PURPOSE ssize_t fault_when_armed(void*, const char*, std::size_t size) {
  if (g_stream_armed) *g_nowhere = 1;
  return static_cast<ssize_t>(size);
}

}  // namespace

void prepare_process() {
  const rlimit no_core{0, 0};
  ::setrlimit(RLIMIT_CORE, &no_core);
  struct sigaction action {};
  action.sa_sigaction = &previous_handler;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  for (int number : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP})
    ::sigaction(number, &action, nullptr);
}

void say(std::string_view text) {
  char line[256];
  const auto end = fmt::format_to_n(line, sizeof line, "{}\n", text);
  write_all(STDOUT_FILENO, line, end.size < sizeof line ? end.size : sizeof line);
}

std::uint64_t thread_number() { return static_cast<std::uint64_t>(::gettid()); }

std::int64_t now_ms() {
  timespec now;
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

std::size_t lines_on_disk(const char* path) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  std::size_t lines = 0;
  char buffer[4096];
  for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;) {
    for (ssize_t i = 0; i < got; ++i) lines += buffer[i] == '\n';
  }
  ::close(fd);
  return lines;
}

std::FILE* faulting_stream() {
  return ::fopencookie(nullptr, "w", cookie_io_functions_t{nullptr, &fault_when_armed, nullptr, nullptr});
}

void arm_stream_fault() { g_stream_armed = true; }

}  // namespace core::logger::testing::crash_child
