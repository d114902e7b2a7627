// The companion library's platform layer on Windows: the console API for
// terminals and colour, files through CreateFileA with FILE_APPEND_DATA
// (appends whole, shareable for renaming) and the FILETIME clock.
#include "channels/channels_platform.h"

#include <windows.h>

#include <io.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string_view>

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

bool may_raise_sigpipe(std::FILE*) noexcept { return false; }

int write_stream(std::FILE* stream, std::string_view text, bool) noexcept {
  errno = 0;
  const bool written = std::fwrite(text.data(), 1, text.size(), stream) == text.size();
  return std::fflush(stream) == 0 && written ? 0 : (errno != 0 ? errno : EIO);
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

const char kPathSeparators[] = "\\/";

std::size_t write_file(FileHandle file, const char* data, std::size_t size, bool, int* error) noexcept {
  // WriteFile takes a DWORD; a longer text goes out in more than one call.
  const DWORD chunk = static_cast<DWORD>(size < 0x40000000u ? size : 0x40000000u);
  DWORD written = 0;
  *error = 0;
  if (::WriteFile(reinterpret_cast<HANDLE>(file), data, chunk, &written, nullptr) == 0) {
    *error = static_cast<int>(::GetLastError());
  } else if (written == 0 && size != 0) {
    *error = static_cast<int>(ERROR_WRITE_FAULT);
  }
  return written;
}

bool file_size_limited() noexcept { return false; }

void close_file(FileHandle file) noexcept { ::CloseHandle(reinterpret_cast<HANDLE>(file)); }

std::uint64_t file_size(FileHandle file) noexcept {
  LARGE_INTEGER size;
  return ::GetFileSizeEx(reinterpret_cast<HANDLE>(file), &size) != 0
             ? static_cast<std::uint64_t>(size.QuadPart)
             : 0;
}

bool file_end(FileHandle file, std::uint64_t* position, std::uint64_t* size) noexcept {
  const LARGE_INTEGER zero{};
  LARGE_INTEGER offset;
  LARGE_INTEGER length;
  if (::SetFilePointerEx(reinterpret_cast<HANDLE>(file), zero, &offset, FILE_CURRENT) == 0 ||
      ::GetFileSizeEx(reinterpret_cast<HANDLE>(file), &length) == 0) {
    return false;
  }
  *position = static_cast<std::uint64_t>(offset.QuadPart);
  *size = static_cast<std::uint64_t>(length.QuadPart);
  return true;
}

int truncate_file(FileHandle file, std::uint64_t size) noexcept {
  // A handle opened for appending only may be refused: the caller then
  // leaves the file as it is.
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
  return ::SetFileInformationByHandle(reinterpret_cast<HANDLE>(file), FileEndOfFileInfo, &end, sizeof end) !=
                 0
             ? 0
             : static_cast<int>(::GetLastError());
}

FilePlace file_place(FileHandle file, const std::string& path) noexcept {
  BY_HANDLE_FILE_INFORMATION open_file;
  if (::GetFileInformationByHandle(reinterpret_cast<HANDLE>(file), &open_file) == 0) return FilePlace::Linked;
  if (open_file.nNumberOfLinks == 0) return FilePlace::Removed;
  const HANDLE named = ::CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (named == INVALID_HANDLE_VALUE) return FilePlace::Moved;
  BY_HANDLE_FILE_INFORMATION other;
  const bool same = ::GetFileInformationByHandle(named, &other) != 0 &&
                    other.dwVolumeSerialNumber == open_file.dwVolumeSerialNumber &&
                    other.nFileIndexHigh == open_file.nFileIndexHigh &&
                    other.nFileIndexLow == open_file.nFileIndexLow;
  ::CloseHandle(named);
  return same ? FilePlace::Linked : FilePlace::Moved;
}

bool file_exists(const std::string& path) noexcept {
  return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
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

void write_standard_error(std::string_view text) noexcept {
  DWORD written = 0;
  ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written,
              nullptr);
}

std::string describe_error(int error) {
  char buffer[256];
  DWORD length = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                  static_cast<DWORD>(error), 0, buffer, sizeof buffer, nullptr);
  while (length > 0 &&
         (buffer[length - 1] == '\n' || buffer[length - 1] == '\r' || buffer[length - 1] == '.'))
    --length;
  return length > 0 ? std::string(buffer, length) : "error " + std::to_string(error);
}

void at_fork(void (*)(), void (*)(), void (*)()) noexcept {}

// Windows appends each WriteFile on a FILE_APPEND_DATA handle whole on
// NTFS, but Wine, where the tests run, computes the end and writes there in
// two steps: texts of threads writing at once would overwrite each other.
bool concurrent_appends_whole() noexcept { return false; }

// The atomic word is the plain 32-bit word that WaitOnAddress compares.
static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
              std::atomic<std::uint32_t>::is_always_lock_free);

void wait_while(const std::atomic<std::uint32_t>& word, std::uint32_t value) noexcept {
  ::WaitOnAddress(const_cast<std::atomic<std::uint32_t>*>(&word), &value, sizeof value, INFINITE);
}

void wake_waiters(std::atomic<std::uint32_t>& word) noexcept { ::WakeByAddressAll(&word); }

void wake_one(std::atomic<std::uint32_t>& word) noexcept { ::WakeByAddressSingle(&word); }

void relax_processor() noexcept { YieldProcessor(); }

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
