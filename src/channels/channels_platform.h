// channels/channels_platform.h: what each channels_platform_<os>.cc provides
// to the companion library.
//
// The channels touch the operating system only through these functions; the
// build picks exactly one implementation file per OS. Every function here is
// thread-safe and raises nothing.
#ifndef CORE_LOGGER_CHANNELS_CHANNELS_PLATFORM_H_
#define CORE_LOGGER_CHANNELS_CHANNELS_PLATFORM_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace core::logger::channels_platform {

// Whether `stream` writes to a terminal (a console on Windows).
bool is_terminal(std::FILE* stream) noexcept;

// Makes the terminal behind `stream` interpret ANSI colour sequences, which
// POSIX terminals always do and Windows consoles do once asked. False when
// the terminal cannot.
bool enable_color_sequences(std::FILE* stream) noexcept;

// Whether a write to `stream`, as it is now, can raise SIGPIPE: it writes to
// a pipe or a socket, or cannot be looked at. Never on Windows.
bool may_raise_sigpipe(std::FILE* stream) noexcept;

// Writes `text` to `stream` in one fwrite, atomic with respect to other
// threads' stdio calls, and flushes it. Returns 0, or the error number of a
// failed write. With `guard_sigpipe`, a pipe or socket whose reader is gone
// fails the write with EPIPE rather than end the process with SIGPIPE,
// whatever the process does with the signal; that costs three system calls.
int write_stream(std::FILE* stream, std::string_view text, bool guard_sigpipe) noexcept;

// An open file: a file descriptor on POSIX, a HANDLE on Windows.
using FileHandle = std::intptr_t;
constexpr FileHandle kNoFile = -1;

// Opens `path` for appending, creating the file when it is missing; every
// write lands at the end of the file, whoever else appends to it, and the
// file may be renamed or removed while open. The handle is not inherited by
// child processes. On failure returns kNoFile and stores the system's error
// number in `*error`.
FileHandle open_for_append(const std::string& path, int* error) noexcept;

// The characters that end a directory's name in a path.
extern const char kPathSeparators[];

// Writes up to `size` bytes in one system call, which a signal does not
// interrupt, and returns how many it wrote; when that is fewer because the
// write failed, `*error` holds the system's error number (else 0). With
// `size_limited` (file_size_limited), a write past the limit fails with
// EFBIG instead of raising the signal that would end the process.
std::size_t write_file(FileHandle file, const char* data, std::size_t size, bool size_limited,
                       int* error) noexcept;

// Whether this process has a limit on the size of the files it writes
// (RLIMIT_FSIZE), past which a write raises a signal that ends it.
bool file_size_limited() noexcept;

void close_file(FileHandle file) noexcept;

// The size of the open file; 0 when it cannot be read.
std::uint64_t file_size(FileHandle file) noexcept;

// Where the last write through `file` ended, and the file's size now; false
// when either cannot be read.
bool file_end(FileHandle file, std::uint64_t* position, std::uint64_t* size) noexcept;

// Cuts the open file to `size` bytes. Returns 0 or the system's error number.
int truncate_file(FileHandle file, std::uint64_t size) noexcept;

// Whether the open file is still the one at `path`: Linked; Moved when it
// has a name but `path` names another file or none; Removed when it has no
// name left. Linked when that cannot be told.
enum class FilePlace : std::uint8_t { Linked, Moved, Removed };
FilePlace file_place(FileHandle file, const std::string& path) noexcept;

// Whether a file (or anything else) exists at `path`.
bool file_exists(const std::string& path) noexcept;

// Renames `from` to `to`, replacing a file `to` (std::rename does not on
// Windows). Returns 0 or the system's error number.
int rename_file(const std::string& from, const std::string& to) noexcept;

// Removes the file `path`. Returns 0 or the system's error number.
int remove_file(const std::string& path) noexcept;

// Whether `error` says that a file does not exist.
bool is_missing_file(int error) noexcept;

// Writes `text` to the standard error in one write; a failure is ignored.
void write_standard_error(std::string_view text) noexcept;

// The system's description of an error number, without a line end.
std::string describe_error(int error);

// Has `prepare` run before every fork(), and `parent` and `child` after it in
// each process, with the platform's own lock (around the zone lookup) taken
// last and released first; nothing where processes do not fork. Each call
// adds its handlers (null: none). Handlers of a library that is unloaded are dropped with it.
void at_fork(void (*prepare)(), void (*parent)(), void (*child)()) noexcept;

// Whether writes from many threads at once to one file opened for appending
// each land whole at its end (regular files on Linux: the inode's lock);
// where not, a file channel writes one text at a time.
bool concurrent_appends_whole() noexcept;

// Blocks while `word` holds `value` (or returns at once when it does not; it
// may also return early), for a thread that waits for others without
// spinning (a futex; WaitOnAddress); `wake_waiters` wakes every thread
// blocked on `word`, `wake_one` one of them.
void wait_while(const std::atomic<std::uint32_t>& word, std::uint32_t value) noexcept;
void wake_waiters(std::atomic<std::uint32_t>& word) noexcept;
void wake_one(std::atomic<std::uint32_t>& word) noexcept;
// Tells the processor that this thread spins on a value that another core
// will change (x86 `pause`), so that the spin leaves that core its share.
void relax_processor() noexcept;

// Milliseconds since 1970-01-01 00:00:00 UTC.
std::int64_t unix_time_ms() noexcept;

// The local zone's offset from UTC at `unix_seconds`, in seconds (east
// positive), daylight saving included; 0 when it cannot be found.
int utc_offset_seconds(std::int64_t unix_seconds) noexcept;

}  // namespace core::logger::channels_platform

#endif  // CORE_LOGGER_CHANNELS_CHANNELS_PLATFORM_H_
