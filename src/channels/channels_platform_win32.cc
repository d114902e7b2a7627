// The companion library's platform layer on Windows: the console API for
// terminals and colour, files through CreateFileA with FILE_APPEND_DATA
// (appends whole, shareable for renaming) and the FILETIME clock.
#include "channels/channels_platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#  define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#  define NOMINMAX
#endif
#include <windows.h>

#include <io.h>

#include <cstdint>

namespace core::logger::channels_platform {
namespace {

HANDLE os_handle(std::FILE* stream) noexcept {
  const int fd = stream == nullptr ? -1 : ::_fileno(stream);
  if (fd < 0) return INVALID_HANDLE_VALUE;
  return reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
}

}  // namespace

bool is_terminal(std::FILE* stream) noexcept {
  const HANDLE handle = os_handle(stream);
  DWORD mode = 0;
  return handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode) != 0;
}

bool enable_color_sequences(std::FILE* stream) noexcept {
  const HANDLE handle = os_handle(stream);
  DWORD mode = 0;
  if (handle == INVALID_HANDLE_VALUE || ::GetConsoleMode(handle, &mode) == 0) return false;
  if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0) return true;
  return ::SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

FileHandle open_for_append(const std::string& path, int* error) noexcept {
  // FILE_APPEND_DATA without FILE_WRITE_DATA makes every write an append;
  // FILE_SHARE_DELETE lets a rotation rename the file while it is open.
  const HANDLE handle =
      ::CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    *error = static_cast<int>(::GetLastError());
    return kNoFile;
  }
  return reinterpret_cast<FileHandle>(handle);
}

int write_file(FileHandle file, const char* data, std::size_t size) noexcept {
  while (size > 0) {
    const DWORD chunk = static_cast<DWORD>(size < 0x40000000u ? size : 0x40000000u);
    DWORD written = 0;
    if (::WriteFile(reinterpret_cast<HANDLE>(file), data, chunk, &written, nullptr) == 0) {
      return static_cast<int>(::GetLastError());
    }
    if (written == 0) return static_cast<int>(ERROR_WRITE_FAULT);
    data += written;
    size -= written;
  }
  return 0;
}

void close_file(FileHandle file) noexcept { ::CloseHandle(reinterpret_cast<HANDLE>(file)); }

std::uint64_t file_size(FileHandle file) noexcept {
  LARGE_INTEGER size;
  return ::GetFileSizeEx(reinterpret_cast<HANDLE>(file), &size) != 0
             ? static_cast<std::uint64_t>(size.QuadPart)
             : 0;
}

int rename_file(const std::string& from, const std::string& to) noexcept {
  return ::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0
             ? 0
             : static_cast<int>(::GetLastError());
}

int remove_file(const std::string& path) noexcept {
  return ::DeleteFileA(path.c_str()) != 0 ? 0 : static_cast<int>(::GetLastError());
}

bool is_missing_file(int error) noexcept {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

void at_fork(void (*)(), void (*)(), void (*)()) noexcept {}

namespace {

// FILETIME counts 100 ns from 1601-01-01; 1970 is this many of them later.
constexpr std::uint64_t kUnixEpochAsFileTime = 116444736000000000ull;

std::uint64_t as_integer(const FILETIME& time) noexcept {
  return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

}  // namespace

std::int64_t unix_time_ms() noexcept {
  FILETIME now;
  ::GetSystemTimeAsFileTime(&now);
  return static_cast<std::int64_t>((as_integer(now) - kUnixEpochAsFileTime) / 10000);
}

int utc_offset_seconds(std::int64_t unix_seconds) noexcept {
  // The shift the core library's clock applies, so that offsets match its
  // local times.
  const std::uint64_t utc = static_cast<std::uint64_t>(unix_seconds) * 10000000ull + kUnixEpochAsFileTime;
  FILETIME utc_time{static_cast<DWORD>(utc), static_cast<DWORD>(utc >> 32)};
  FILETIME local_time;
  if (::FileTimeToLocalFileTime(&utc_time, &local_time) == 0) return 0;
  return static_cast<int>(
      (static_cast<std::int64_t>(as_integer(local_time)) - static_cast<std::int64_t>(utc)) / 10000000);
}

}  // namespace core::logger::channels_platform
