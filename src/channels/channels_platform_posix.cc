// The companion library's platform layer on POSIX systems (Linux with glibc):
// isatty, file descriptors opened with O_APPEND | O_CLOEXEC, the coarse
// real-time clock and localtime_r.
#include "channels/channels_platform.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

namespace core::logger::channels_platform {

bool is_terminal(std::FILE* stream) noexcept {
  const int fd = stream == nullptr ? -1 : ::fileno(stream);
  return fd >= 0 && ::isatty(fd) == 1;
}

bool enable_color_sequences(std::FILE*) noexcept { return true; }

FileHandle open_for_append(const std::string& path, int* error) noexcept {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) *error = errno;
  return fd < 0 ? kNoFile : fd;
}

int write_file(FileHandle file, const char* data, std::size_t size) noexcept {
  while (size > 0) {
    const ssize_t written = ::write(static_cast<int>(file), data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return written < 0 ? errno : EIO;
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return 0;
}

void close_file(FileHandle file) noexcept { ::close(static_cast<int>(file)); }

std::uint64_t file_size(FileHandle file) noexcept {
  struct stat status;
  return ::fstat(static_cast<int>(file), &status) == 0 ? static_cast<std::uint64_t>(status.st_size) : 0;
}

int rename_file(const std::string& from, const std::string& to) noexcept {
  return std::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

int remove_file(const std::string& path) noexcept { return ::unlink(path.c_str()) == 0 ? 0 : errno; }

bool is_missing_file(int error) noexcept { return error == ENOENT; }

void at_fork(void (*prepare)(), void (*parent)(), void (*child)()) noexcept {
  ::pthread_atfork(prepare, parent, child);
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
  return ::localtime_r(&time, &local) != nullptr ? static_cast<int>(local.tm_gmtoff) : 0;
}

}  // namespace core::logger::channels_platform
