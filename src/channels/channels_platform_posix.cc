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

#include "posix/held_signal.h"

namespace core::logger::channels_platform {
namespace {

// localtime_r takes glibc's zone lock, which a fork would copy held if another
// thread of ours were inside: the lock is taken around every fork.
std::mutex g_zone_lock;

void lock_zone() { g_zone_lock.lock(); }
void unlock_zone() { g_zone_lock.unlock(); }

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
  return posix::may_raise_sigpipe(stream == nullptr ? -1 : ::fileno(stream));
}

int write_stream(std::FILE* stream, std::string_view text, bool guard_sigpipe) noexcept {
  if (!guard_sigpipe) return fwrite_and_flush(stream, text);
  return posix::with_signal_held(SIGPIPE, EPIPE, [&] { return fwrite_and_flush(stream, text); });
}

FileHandle open_for_append(const std::string& path, int* error) noexcept {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) *error = errno;
  return fd < 0 ? kNoFile : fd;
}

const char kPathSeparators[] = "/";

[[gnu::hot]] std::size_t write_file(FileHandle file, const char* data, std::size_t size, bool size_limited,
                                    int* error) noexcept {
  // A write that starts at or past RLIMIT_FSIZE raises SIGXFSZ at the
  // writing thread, whose default action ends the process. Under a limit the
  // signal is held off for the write, which then fails with EFBIG, and the
  // channel reports it. Without a limit (nearly always) this costs nothing.
  ssize_t written = 0;
  const auto write_once = [&] {
    do {
      written = ::write(static_cast<int>(file), data, size);
    } while (written < 0 && errno == EINTR);
    return written < 0 ? errno : written == 0 && size != 0 ? EIO : 0;
  };
  *error = size_limited ? posix::with_signal_held(SIGXFSZ, EFBIG, write_once) : write_once();
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
  // Registered first, the zone lock is taken after every other prepare
  // handler and released before every other parent and child handler.
  static const bool zone_registered = (::pthread_atfork(&lock_zone, &unlock_zone, &unlock_zone), true);
  (void)zone_registered;
  ::pthread_atfork(prepare, parent, child);
}

bool concurrent_appends_whole() noexcept { return true; }

void wait_while(const std::atomic<std::uint32_t>& word, std::uint32_t value) noexcept {
  static_assert(sizeof word == sizeof(std::uint32_t) && std::atomic<std::uint32_t>::is_always_lock_free);
  ::syscall(SYS_futex, &word, FUTEX_WAIT_PRIVATE, value, nullptr, nullptr, 0);
}

void wake_waiters(std::atomic<std::uint32_t>& word) noexcept {
  ::syscall(SYS_futex, &word, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

void wake_one(std::atomic<std::uint32_t>& word) noexcept {
  ::syscall(SYS_futex, &word, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

void relax_processor() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
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
