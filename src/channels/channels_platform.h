// channels/channels_platform.h: what each channels_platform_<os>.cc provides
// to the companion library.
//
// The channels touch the operating system only through these functions; the
// build picks exactly one implementation file per OS. Every function here is
// thread-safe and raises nothing.
#ifndef CORE_LOGGER_CHANNELS_CHANNELS_PLATFORM_H_
#define CORE_LOGGER_CHANNELS_CHANNELS_PLATFORM_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace core::logger::channels_platform {

// Whether `stream` writes to a terminal (a console on Windows).
bool is_terminal(std::FILE* stream) noexcept;

// Makes the terminal behind `stream` interpret ANSI colour sequences, which
// POSIX terminals always do and Windows consoles do once asked. False when
// the terminal cannot.
bool enable_color_sequences(std::FILE* stream) noexcept;

// An open file: a file descriptor on POSIX, a HANDLE on Windows.
using FileHandle = std::intptr_t;
constexpr FileHandle kNoFile = -1;

// Opens `path` for appending, creating the file when it is missing; every
// write lands at the end of the file, whoever else appends to it, and the
// file may be renamed or removed while open. The handle is not inherited by
// child processes. On failure returns kNoFile and stores the system's error
// number in `*error`.
FileHandle open_for_append(const std::string& path, int* error) noexcept;

// Writes all of `size` bytes, in one system call unless the system takes
// fewer. Returns 0, or the system's error number (what was not written is
// lost).
int write_file(FileHandle file, const char* data, std::size_t size) noexcept;

void close_file(FileHandle file) noexcept;

// The size of the open file; 0 when it cannot be read.
std::uint64_t file_size(FileHandle file) noexcept;

// Renames `from` to `to`, replacing a file `to` (std::rename does not on
// Windows). Returns 0 or the system's error number.
int rename_file(const std::string& from, const std::string& to) noexcept;

// Removes the file `path`. Returns 0 or the system's error number.
int remove_file(const std::string& path) noexcept;

// Whether `error` says that a file does not exist.
bool is_missing_file(int error) noexcept;

// Has `prepare` run before every fork(), and `parent` and `child` after it in
// each process; nothing where processes do not fork. Handlers of a library
// that is unloaded are dropped with it.
void at_fork(void (*prepare)(), void (*parent)(), void (*child)()) noexcept;

// Milliseconds since 1970-01-01 00:00:00 UTC.
std::int64_t unix_time_ms() noexcept;

// The local zone's offset from UTC at `unix_seconds`, in seconds (east
// positive), daylight saving included; 0 when it cannot be found.
int utc_offset_seconds(std::int64_t unix_seconds) noexcept;

}  // namespace core::logger::channels_platform

#endif  // CORE_LOGGER_CHANNELS_CHANNELS_PLATFORM_H_
