// The companion library's platform layer on POSIX systems (Linux with glibc):
// isatty, stdio writes guarded against SIGPIPE, file descriptors opened with
// O_APPEND | O_CLOEXEC, pthread_atfork, the coarse real-time clock and
// localtime_r.
#include "channels/channels_platform.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>

#include <mutex>
#include <string_view>

namespace core::logger::channels_platform {
namespace {

// localtime_r takes glibc's zone lock, which a fork would copy held if another
// thread of ours were inside: the lock is taken around every fork.
std::mutex g_zone_lock;

// The handlers of at_fork, each caller's in a slot of its own: a slot is
// filled before the count covers it, so a fork reads whole slots only.
struct ForkHandlers {
  void (*prepare)();
  void (*parent)();
  void (*child)();
};
constexpr int kMostForkHandlers = 4;
ForkHandlers g_fork_handlers[kMostForkHandlers];
std::atomic<int> g_fork_handler_count{0};
std::mutex g_fork_registry_lock;  // orders the callers of at_fork

void prepare_fork() {
  const int count = g_fork_handler_count.load(std::memory_order_acquire);
  for (int i = 0; i < count; ++i) {
    if (g_fork_handlers[i].prepare != nullptr) g_fork_handlers[i].prepare();
  }
  g_zone_lock.lock();
}

// After the fork, the handlers run in the opposite order, so that locks are
// released in the opposite order of their taking.
void after_fork(bool child) {
  g_zone_lock.unlock();
  for (int i = g_fork_handler_count.load(std::memory_order_acquire) - 1; i >= 0; --i) {
    void (*const handler)() = child ? g_fork_handlers[i].child : g_fork_handlers[i].parent;
    if (handler != nullptr) handler();
  }
}

void after_fork_in_parent() { after_fork(false); }
void after_fork_in_child() { after_fork(true); }

int fwrite_and_flush(std::FILE* stream, std::string_view text) noexcept {
  errno = 0;
  const bool written = std::fwrite(text.data(), 1, text.size(), stream) == text.size();
  return std::fflush(stream) == 0 && written ? 0 : (errno != 0 ? errno : EIO);
}

}  // namespace

bool is_terminal(std::FILE* stream) noexcept {
  const int fd = stream == nullptr ? -1 : ::fileno(stream);
  return fd >= 0 && ::isatty(fd) == 1;
}

bool enable_color_sequences(std::FILE*) noexcept { return true; }

bool may_raise_sigpipe(std::FILE* stream) noexcept {
  struct stat status;
  const bool known = stream != nullptr && ::fstat(::fileno(stream), &status) == 0;
  return !known || S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode);
}

int write_stream(std::FILE* stream, std::string_view text, bool guard_sigpipe) noexcept {
  if (!guard_sigpipe) return fwrite_and_flush(stream, text);
  // SIGPIPE blocked in this thread for the write; the one that its EPIPE
  // raised is then taken back, so that neither the default action (the end
  // of the process) nor the host's handler sees it. A SIGPIPE that the
  // thread held pending before is the host's and stays.
  sigset_t pipe;
  sigset_t old;
  ::sigemptyset(&pipe);
  ::sigaddset(&pipe, SIGPIPE);
  ::pthread_sigmask(SIG_BLOCK, &pipe, &old);
  const bool blocked_before = ::sigismember(&old, SIGPIPE) == 1;
  sigset_t pending;
  // Unblocked, a pending SIGPIPE would have been delivered already.
  const bool pending_before =
      blocked_before && ::sigpending(&pending) == 0 && ::sigismember(&pending, SIGPIPE) == 1;
  const int error = fwrite_and_flush(stream, text);
  if (error == EPIPE && !pending_before) {
    const timespec now{0, 0};
    while (::sigtimedwait(&pipe, nullptr, &now) < 0 && errno == EINTR) {
    }
  }
  if (!blocked_before) ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return error;
}

FileHandle open_for_append(const std::string& path, int* error) noexcept {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) *error = errno;
  return fd < 0 ? kNoFile : fd;
}

const char kPathSeparators[] = "/";

std::size_t write_file(FileHandle file, const char* data, std::size_t size, bool size_limited,
                       int* error) noexcept {
  // A write that starts at or past RLIMIT_FSIZE raises SIGXFSZ at the
  // writing thread, whose default action ends the process. Under a limit the
  // signal is blocked for the write, and one that the write raised is taken
  // off again: the write fails with EFBIG, which the channel reports. Without
  // a limit (nearly always) this costs nothing.
  sigset_t file_size_signal;
  sigset_t saved;
  if (size_limited) {
    ::sigemptyset(&file_size_signal);
    ::sigaddset(&file_size_signal, SIGXFSZ);
    ::pthread_sigmask(SIG_BLOCK, &file_size_signal, &saved);
  }
  ssize_t written;
  do {
    written = ::write(static_cast<int>(file), data, size);
  } while (written < 0 && errno == EINTR);
  *error = written < 0 ? errno : written == 0 && size != 0 ? EIO : 0;
  if (size_limited) {
    if (*error == EFBIG) {
      const struct timespec now { 0, 0 };
      ::sigtimedwait(&file_size_signal, nullptr, &now);
    }
    ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  }
  return written > 0 ? static_cast<std::size_t>(written) : 0;
}

bool file_size_limited() noexcept {
  struct rlimit limit;
  return ::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY;
}

void close_file(FileHandle file) noexcept { ::close(static_cast<int>(file)); }

std::uint64_t file_size(FileHandle file) noexcept {
  struct stat status;
  return ::fstat(static_cast<int>(file), &status) == 0 ? static_cast<std::uint64_t>(status.st_size) : 0;
}

bool file_end(FileHandle file, std::uint64_t* position, std::uint64_t* size) noexcept {
  // With O_APPEND every write moves the offset to the end of what it wrote.
  const off_t offset = ::lseek(static_cast<int>(file), 0, SEEK_CUR);
  struct stat status;
  if (offset < 0 || ::fstat(static_cast<int>(file), &status) != 0) return false;
  *position = static_cast<std::uint64_t>(offset);
  *size = static_cast<std::uint64_t>(status.st_size);
  return true;
}

int truncate_file(FileHandle file, std::uint64_t size) noexcept {
  int result;
  do {
    result = ::ftruncate(static_cast<int>(file), static_cast<off_t>(size));
  } while (result != 0 && errno == EINTR);
  return result == 0 ? 0 : errno;
}

FilePlace file_place(FileHandle file, const std::string& path) noexcept {
  struct stat open_file;
  struct stat named;
  if (::fstat(static_cast<int>(file), &open_file) != 0) return FilePlace::Linked;
  if (open_file.st_nlink == 0) return FilePlace::Removed;
  const bool same = ::stat(path.c_str(), &named) == 0 && named.st_dev == open_file.st_dev &&
                    named.st_ino == open_file.st_ino;
  return same ? FilePlace::Linked : FilePlace::Moved;
}

bool file_exists(const std::string& path) noexcept {
  struct stat status;
  return ::lstat(path.c_str(), &status) == 0;
}

int rename_file(const std::string& from, const std::string& to) noexcept {
  return std::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

int remove_file(const std::string& path) noexcept { return ::unlink(path.c_str()) == 0 ? 0 : errno; }

bool is_missing_file(int error) noexcept { return error == ENOENT; }

void write_standard_error(std::string_view text) noexcept {
  (void)!::write(STDERR_FILENO, text.data(), text.size());
}

std::string describe_error(int error) {
  char buffer[256];
  return ::strerror_r(error, buffer, sizeof buffer);  // the GNU variant, which returns the text
}

void at_fork(void (*prepare)(), void (*parent)(), void (*child)()) noexcept {
  std::lock_guard<std::mutex> lock(g_fork_registry_lock);
  const int count = g_fork_handler_count.load(std::memory_order_relaxed);
  if (count == kMostForkHandlers) return;
  g_fork_handlers[count] = ForkHandlers{prepare, parent, child};
  g_fork_handler_count.store(count + 1, std::memory_order_release);
  if (count == 0) ::pthread_atfork(&prepare_fork, &after_fork_in_parent, &after_fork_in_child);
}

bool concurrent_appends_whole() noexcept { return true; }

void wait_while(const std::atomic<std::uint32_t>& word, std::uint32_t value) noexcept {
  static_assert(sizeof word == sizeof(std::uint32_t) && std::atomic<std::uint32_t>::is_always_lock_free);
  ::syscall(SYS_futex, &word, FUTEX_WAIT_PRIVATE, value, nullptr, nullptr, 0);
}

void wake_waiters(std::atomic<std::uint32_t>& word) noexcept {
  ::syscall(SYS_futex, &word, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

std::int64_t unix_time_ms() noexcept {
  // The coarse clock costs a few nanoseconds and is good to a few
  // milliseconds, which is all a date check or a delivery time needs.
  struct timespec now;
  ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int utc_offset_seconds(std::int64_t unix_seconds) noexcept {
  const time_t time = static_cast<time_t>(unix_seconds);
  struct tm local;
  std::lock_guard<std::mutex> zone(g_zone_lock);
  return ::localtime_r(&time, &local) != nullptr ? static_cast<int>(local.tm_gmtoff) : 0;
}

}  // namespace core::logger::channels_platform
