// core/channels.h: ready-made channels for core_logger, from the companion
// library core_logger_channels (CMake target core_logger::channels).
//
// The core library writes only to its built-in channel; this library adds
// what an application usually wants: console, file, rotating file and syslog
// channels, a capture channel for tests, settings read from text or the
// environment, and the call stack for assertion reports. Register a channel
// once, early, with `add_default_channel`:
//
//   core::logger::add_default_channel(core::logger::console_channel());
//
// Channels cannot be removed from the library, but every channel object here
// may be destroyed while its records stay registered: a record points at
// state that the object shares and that lives until the process ends. The
// object's destruction flushes and closes that state, and the texts that
// still reach it are dropped. Each channel object costs that small state for
// the rest of the process once one of its records has been handed out.
//
// Unlike the core library, this library reads the environment (NO_COLOR,
// CORE_LOG), writes files and opens sockets.
#ifndef CORE_CHANNELS_H_
#define CORE_CHANNELS_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/log.h"
#include "core/logger.h"

#if defined(_WIN32) && defined(CORE_LOGGER_CHANNELS_BUILDING)
#  define CORE_LOGGER_CHANNELS_API __declspec(dllexport)
#elif defined(_WIN32)
#  define CORE_LOGGER_CHANNELS_API __declspec(dllimport)
#elif defined(__GNUC__)
#  define CORE_LOGGER_CHANNELS_API __attribute__((visibility("default")))
#else
#  define CORE_LOGGER_CHANNELS_API
#endif
// SyslogChannel speaks POSIX sockets and is not built on Windows.
#if defined(_WIN32)
#  define CORE_LOGGER_CHANNELS_HAS_SYSLOG 0
#else
#  define CORE_LOGGER_CHANNELS_HAS_SYSLOG 1
#endif

namespace core::logger {

// Every channel class below has `channel()`, `flush()`, `close()`,
// `is_open()` and `error()`, and may be destroyed while its records stay
// registered (see the top of this file). Their members may be called from
// any thread at any time, but for the destructor; no callback of theirs
// throws.

// -----------------------------------------------------------------------------
// Console
// -----------------------------------------------------------------------------
//
// A console channel writes every ordinary text it receives, without the
// closing NUL, to its stream in one write, and flushes the stream, so that the
// lines of one call never interleave with another thread's. With colour on,
// the text is wrapped in one ANSI colour chosen by the level's value on the
// scale of the standard levels of core/log.h: trace dim, debug cyan,
// information green, warning yellow, error (the library's own reports
// included) red, anything above bold red. Raw lines are not written.
//
// On Linux the built-in channel writes to standard error only until a channel
// like this one is registered; a console channel adds colour and a stream of
// its choice, and on Windows, where the built-in channel writes to the
// debugger, it is what shows the log on the console.

// When a console channel colours its texts.
//   Auto    only when its stream is a terminal and NO_COLOR is unset or empty
//   Always  always, whatever the stream and NO_COLOR say (an explicit choice)
//   Never   never
enum class ColorMode : std::uint8_t { Auto, Always, Never };

// The standard stream a `console_channel()` writes to.
enum class ConsoleStream : std::uint8_t { StandardOutput, StandardError };

// console_color_wanted()
//
// The colour decision of the console channels: `mode`, whether the stream is
// a terminal, and the value of the NO_COLOR environment variable (null when
// it is unset). Pure; thread-safe.
CORE_LOGGER_CHANNELS_API bool console_color_wanted(ColorMode mode, bool stream_is_terminal,
                                                   const char* no_color) noexcept;

// console_channel()
//
// A console channel named "console" on the standard output or error. The
// colour decision is made now, once: for `Auto` it asks whether the stream is
// a terminal and reads NO_COLOR (on Windows it also switches the console to
// ANSI sequences, and goes without colour where that fails). The returned
// record needs no object to stay alive and may be registered any number of
// times. Thread-safe, but reads the environment: do not call it while another
// thread changes the environment.
CORE_LOGGER_CHANNELS_API LogChannel console_channel(ConsoleStream stream = ConsoleStream::StandardOutput,
                                                    ColorMode color = ColorMode::Auto);

// A console channel on any stdio stream, with the colour decided by the
// caller (see `console_color_wanted`). Used for streams other than the
// standard ones and by tests. The stream stays the caller's: `close()` and
// destruction flush it and stop writing to it, but never close it.
class ConsoleChannel {
 public:
  // REQUIRES: `stream` is open for writing until `close()` or destruction.
  CORE_LOGGER_CHANNELS_API ConsoleChannel(std::FILE* stream, bool color);
  CORE_LOGGER_CHANNELS_API ~ConsoleChannel();
  ConsoleChannel(const ConsoleChannel&) = delete;
  ConsoleChannel& operator=(const ConsoleChannel&) = delete;

  // A record named "console".
  CORE_LOGGER_CHANNELS_API LogChannel channel() const noexcept;

  // What the channel does with one ordinary text. A text that the stream
  // refuses is lost, and its error kept in `error()`.
  CORE_LOGGER_CHANNELS_API void write(const LogLevel& level, std::string_view text) const;

  // Flushes the stream.
  CORE_LOGGER_CHANNELS_API void flush();
  // Flushes the stream and stops writing to it; later texts are dropped.
  CORE_LOGGER_CHANNELS_API void close();
  CORE_LOGGER_CHANNELS_API bool is_open() const;
  // The error number of the last failed write; 0 when there was none.
  CORE_LOGGER_CHANNELS_API int error() const;

  // Whether `write` wraps texts in colour sequences; fixed at construction.
  bool uses_color() const noexcept { return color_; }

 private:
  struct State;
  State* state_;
  bool color_;
};

// -----------------------------------------------------------------------------
// Files
// -----------------------------------------------------------------------------

// When a file channel hands its buffered texts to the operating system.
//   EveryText  before each callback returns (nothing is lost when the
//              process dies afterwards)
//   AtLevel    when a text's level value is at least `flush_level`, and
//              whenever the buffer would overflow
//   WhenFull   only when the buffer would overflow
// Every policy also writes on `flush()`, `close()`, `reopen()`, a rotation
// and destruction.
enum class FlushPolicy : std::uint8_t { EveryText, AtLevel, WhenFull };

// What a file channel writes.
//   Text       every ordinary text as composed, without its NUL. When the
//              local date changes while the file is open, a line
//              "---- 2026-12-08 ----" comes first, since headers carry only
//              the time of day.
//   JsonLines  one JSON object per call, on one line: "time" (ISO 8601 local
//              time with milliseconds and the UTC offset found at delivery),
//              "level", "level_value", "category", "message" (the lines of
//              the message without headers, joined by "\n"), and "file",
//              "line" when the call carries its file and line
//              (`with_file_line`: the library's reports) and "function" when
//              it carries its function (`with_function`). Quotes,
//              backslashes and control characters are escaped; bytes that
//              are not UTF-8 become U+FFFD. The message and the time come
//              from the call's raw lines: register `raw_channel()` beside
//              `channel()`. Without it, `channel()` writes the composed
//              lines, headers and all, as the message, timed at delivery.
enum class FileFormat : std::uint8_t { Text, JsonLines };

// How a `FileChannel` buffers and writes. Read once, at construction.
struct FileChannelOptions {
  FlushPolicy flush = FlushPolicy::EveryText;
  // For `AtLevel`: the lowest level value that flushes (the value of
  // kWarningLevel by default).
  std::uint32_t flush_level = 3;
  // The most bytes held back; a text longer than this is written at once,
  // after what is buffered.
  std::size_t buffer_size = 64 * 1024;
  FileFormat format = FileFormat::Text;
};

// A channel that appends every ordinary text, without its closing NUL, to a
// file (or, in the JSON format, one object per call). The file is opened for
// appending (and created) at construction. Thread-safe: texts from any
// number of threads are appended whole, one after another, never
// interleaved; each hand-over to the operating system is one write of whole
// texts, so processes that append to the same file do not tear each other's
// lines either.
//
// A text that cannot be written is dropped and its error kept in `error()`.
class FileChannel {
 public:
  // Opens `path` for appending. On failure `is_open()` is false, `error()`
  // holds the system's error number, and the channel drops every text.
  CORE_LOGGER_CHANNELS_API explicit FileChannel(std::string_view path, FileChannelOptions options = {});
  // Writes what is buffered and closes the file; texts that still reach the
  // channel's records are dropped.
  CORE_LOGGER_CHANNELS_API ~FileChannel();
  FileChannel(const FileChannel&) = delete;
  FileChannel& operator=(const FileChannel&) = delete;

  // A record named "file".
  CORE_LOGGER_CHANNELS_API LogChannel channel() noexcept;
  // A raw record named "file-raw", which the JSON format needs beside
  // `channel()`; the text format ignores what it receives.
  CORE_LOGGER_CHANNELS_API LogRawChannel raw_channel() noexcept;

  // What the channel does with one ordinary text (in the JSON format: an
  // object whose message is `text`, timed now, with no category).
  CORE_LOGGER_CHANNELS_API void write(const LogLevel& level, std::string_view text);

  // Hands every buffered text to the operating system.
  CORE_LOGGER_CHANNELS_API void flush();

  // Flushes and closes the file; later texts are dropped. For a channel that
  // must stop writing while it stays registered (at shutdown).
  CORE_LOGGER_CHANNELS_API void close();

  CORE_LOGGER_CHANNELS_API bool is_open() const;

  // The error number of the failed open or of the last failed write; 0 when
  // there was none.
  CORE_LOGGER_CHANNELS_API int error() const;

 private:
  struct State;
  State* state_;
};

// How a `RotatingFileChannel` buffers, writes and rotates. Read once, at
// construction.
struct RotatingFileOptions {
  FlushPolicy flush = FlushPolicy::EveryText;
  std::uint32_t flush_level = 3;
  std::size_t buffer_size = 64 * 1024;
  // The largest size a file reaches by the texts written to it; 0: no
  // rotation by size.
  std::uint64_t max_bytes = 0;
  // How many older files are kept; the oldest beyond them is dropped.
  std::uint32_t max_files = 5;
  // Whether the file name carries the local date, a new file starting at
  // local midnight.
  bool daily = false;
  FileFormat format = FileFormat::Text;
};

// A file channel that moves to a fresh file by size, by day, and on demand.
//
// For "app.log" the older files are "app.1.log" (the newest) to
// "app.N.log", N being `max_files`: the index goes before the extension
// ("app" gives "app.1"). With `daily` the file being written carries the
// local date, "app_2026-12-07.log", and its older files by size
// "app_2026-12-07.1.log" and on; the files of earlier days are left alone.
//
// The size is checked before each text: when the file is not empty and the
// text would take it past `max_bytes`, the file rotates first, so a text is
// never split across files and a text larger than `max_bytes` stands alone
// in a fresh file. A rotation that fails (a directory that cannot be
// written, a full disk) keeps writing to the current file, keeps the error
// in `error()`, and is tried again at the next text that would pass the
// limit. Otherwise as `FileChannel`.
class RotatingFileChannel {
 public:
  CORE_LOGGER_CHANNELS_API explicit RotatingFileChannel(std::string_view path,
                                                        RotatingFileOptions options = {});
  CORE_LOGGER_CHANNELS_API ~RotatingFileChannel();
  RotatingFileChannel(const RotatingFileChannel&) = delete;
  RotatingFileChannel& operator=(const RotatingFileChannel&) = delete;

  // Records named "rotating-file" and "rotating-file-raw"; see `FileFormat`.
  CORE_LOGGER_CHANNELS_API LogChannel channel() noexcept;
  CORE_LOGGER_CHANNELS_API LogRawChannel raw_channel() noexcept;

  CORE_LOGGER_CHANNELS_API void write(const LogLevel& level, std::string_view text);
  CORE_LOGGER_CHANNELS_API void flush();

  // Closes the current file and opens its name afresh, for tools such as
  // logrotate that move the file and then signal the program. When the name
  // cannot be opened, the channel keeps the file it has and keeps the error.
  CORE_LOGGER_CHANNELS_API void reopen();

  CORE_LOGGER_CHANNELS_API void close();
  CORE_LOGGER_CHANNELS_API bool is_open() const;
  CORE_LOGGER_CHANNELS_API int error() const;

 private:
  struct State;
  State* state_;
};

// -----------------------------------------------------------------------------
// Capture
// -----------------------------------------------------------------------------

// One ordinary text as a capture channel saw it. `text` is the delivered text
// without its closing NUL. `timestamp` is the call's time, known only when
// the same capture's raw channel is registered too (it is taken from the
// call's raw lines); otherwise its ticks are 0.
struct CapturedText {
  std::string text;
  std::string category;
  std::uint32_t category_id;
  std::string level;
  std::uint32_t level_value;
  std::string function;
  std::string file;
  std::uint32_t line;
  bool continuation;
  bool with_function;
  bool with_file_line;
  bool channel_defined;
  LogTimestamp timestamp;
};

// One raw line as a capture channel saw it (the line keeps its line feed,
// as delivered), with the call's timestamp.
struct CapturedLine {
  std::string line;
  std::string category;
  std::uint32_t category_id;
  std::string level;
  std::uint32_t level_value;
  LogTimestamp timestamp;
};

// Records what the library delivers, for tests: register `channel()`,
// `raw_channel()` or both, log, then inspect. Callbacks of several threads
// may run at once; the accessors return copies in the order of arrival.
// `close()` and destruction forget what was captured and capture no more.
class CaptureChannel {
 public:
  CORE_LOGGER_CHANNELS_API CaptureChannel();
  CORE_LOGGER_CHANNELS_API ~CaptureChannel();
  CaptureChannel(const CaptureChannel&) = delete;
  CaptureChannel& operator=(const CaptureChannel&) = delete;

  // Records named "capture" and "capture-raw".
  CORE_LOGGER_CHANNELS_API LogChannel channel() noexcept;
  CORE_LOGGER_CHANNELS_API LogRawChannel raw_channel() noexcept;

  // Every ordinary text captured since construction or `clear()`.
  CORE_LOGGER_CHANNELS_API std::vector<CapturedText> texts() const;
  // Every raw line captured since construction or `clear()`.
  CORE_LOGGER_CHANNELS_API std::vector<CapturedLine> lines() const;
  // Only the `text` of every captured text.
  CORE_LOGGER_CHANNELS_API std::vector<std::string> text_strings() const;

  // Forgets everything captured so far.
  CORE_LOGGER_CHANNELS_API void clear();

  // Nothing to flush: captured texts are in memory at once.
  CORE_LOGGER_CHANNELS_API void flush();
  CORE_LOGGER_CHANNELS_API void close();
  CORE_LOGGER_CHANNELS_API bool is_open() const;
  // Always 0: capturing cannot fail but for memory, which throws.
  CORE_LOGGER_CHANNELS_API int error() const;

 private:
  struct State;
  State* state_;
};

// -----------------------------------------------------------------------------
// Syslog
// -----------------------------------------------------------------------------

// The facilities of RFC 5424, with its codes.
enum class SyslogFacility : std::uint8_t {
  Kernel = 0,
  User = 1,
  Mail = 2,
  Daemon = 3,
  Auth = 4,
  Syslog = 5,
  Printer = 6,
  News = 7,
  Uucp = 8,
  Cron = 9,
  AuthPriv = 10,
  Ftp = 11,
  Ntp = 12,
  Audit = 13,
  Alert = 14,
  Clock = 15,
  Local0 = 16,
  Local1 = 17,
  Local2 = 18,
  Local3 = 19,
  Local4 = 20,
  Local5 = 21,
  Local6 = 22,
  Local7 = 23,
};

// Where and as whom a `SyslogChannel` sends. Read once, at construction.
struct SyslogOptions {
  // "unix:/path" (a datagram socket, the local syslog daemon's by default),
  // "udp:host:port" or "tcp:host:port" (a numeric port; an IPv6 host in
  // brackets, "tcp:[::1]:514"). TCP frames each message with its length
  // (RFC 6587 octet counting) and reconnects after a failure.
  std::string address = "unix:/dev/log";
  // Empty: the program's name.
  std::string app_name;
  // Empty: the process id.
  std::string procid;
  SyslogFacility facility = SyslogFacility::User;
  // The longest a log call waits for the channel (its lock, a connection, a
  // full socket); a text that cannot go out in time is dropped and counted.
  std::uint32_t send_timeout_ms = 100;
};

#if CORE_LOGGER_CHANNELS_HAS_SYSLOG
// A channel that sends one RFC 5424 message per call to a syslog daemon or
// collector: PRI from the facility and the level's value (0-1 debug,
// 2 informational, 3 warning, 4 and above error), the local time with its
// UTC offset, this host's name, APP-NAME, PROCID, the category as MSGID (cut
// to 32 printable characters), no structured data, and as MSG the message's
// lines without headers (line feeds kept). Like the JSON file format it
// takes the message and time from the call's raw lines: register
// `raw_channel()` beside `channel()` (with `channel()` alone, MSG is the
// composed text). POSIX only; a datagram longer than 65000 bytes is cut.
class SyslogChannel {
 public:
  // Resolves the address now (which may wait for DNS); a malformed or
  // unresolvable address leaves the channel closed with its error.
  CORE_LOGGER_CHANNELS_API explicit SyslogChannel(SyslogOptions options);
  CORE_LOGGER_CHANNELS_API ~SyslogChannel();
  SyslogChannel(const SyslogChannel&) = delete;
  SyslogChannel& operator=(const SyslogChannel&) = delete;

  // Records named "syslog" and "syslog-raw".
  CORE_LOGGER_CHANNELS_API LogChannel channel() noexcept;
  CORE_LOGGER_CHANNELS_API LogRawChannel raw_channel() noexcept;

  // Nothing is held back: every message is sent while its call runs.
  CORE_LOGGER_CHANNELS_API void flush();
  CORE_LOGGER_CHANNELS_API void close();
  CORE_LOGGER_CHANNELS_API bool is_open() const;
  // The error number of the last failure to resolve, connect or send.
  CORE_LOGGER_CHANNELS_API int error() const;
  // How many messages were dropped: not sent within `send_timeout_ms`, or
  // refused by the system.
  CORE_LOGGER_CHANNELS_API std::uint64_t dropped() const;

 private:
  struct State;
  State* state_;
};
#endif

// -----------------------------------------------------------------------------
// Settings
// -----------------------------------------------------------------------------

// What `apply_settings` could not apply: one description per skipped entry.
struct SettingsResult {
  std::vector<std::string> errors;
  bool ok() const { return errors.empty(); }
};

// apply_settings()
//
// Applies settings written as text, such as "verbosity=normal, net=off,
// audio=detailed". Entries are separated by commas, blanks around keys and
// values are ignored, and each entry is `key=value`:
//   verbosity=brief|normal|detailed   the runtime verbosity
//   <category>=on                     enabled
//   <category>=off                    disabled
//   <category>=brief|normal|detailed  enabled, at that fixed verbosity
//   <category>=follow                 enabled, following the runtime verbosity
// A category not yet declared is declared in that state (`off` declares it
// disabled and following the runtime verbosity), so that the setting holds
// when the code first uses the category. The names are copied into storage
// that lives until the process ends. A malformed entry (no `=`, an empty
// name, an unknown value) is skipped and described in `errors`; the others
// still apply. Prints nothing, throws nothing but `std::bad_alloc`.
// Thread-safe as the category calls are.
CORE_LOGGER_CHANNELS_API SettingsResult apply_settings(std::string_view text);

// apply_settings_from_environment()
//
// `apply_settings` with the value of the environment variable `variable`;
// an unset variable (or a null `variable`) is an empty text. Do not call it
// while another thread changes the environment.
CORE_LOGGER_CHANNELS_API SettingsResult apply_settings_from_environment(const char* variable = "CORE_LOG");

// -----------------------------------------------------------------------------
// Call stack
// -----------------------------------------------------------------------------

// capture_call_stack()
//
// The calling thread's call stack as text for an assertion report: one frame
// per line, innermost first, every line ending in a line feed. The first line
// is the caller of `capture_call_stack`, after skipping `skip_frames` more
// frames; at most `max_frames` lines. A frame shows its function where the
// platform can name it (on Linux the executable needs its symbols exported,
// e.g. CMake's ENABLE_EXPORTS, to name its own functions), else its module
// and address. Empty when the stack cannot be read. Never throws;
// thread-safe; not for signal handlers.
CORE_LOGGER_CHANNELS_API std::string capture_call_stack(std::uint32_t skip_frames = 0,
                                                        std::uint32_t max_frames = 32) noexcept;

}  // namespace core::logger

// CORE_LOG_ASSERT_WITH_STACK(condition)
// CORE_LOG_ASSERT_WITH_STACK_MSG(condition, format, args...)
//
// As CORE_LOG_ASSERT and CORE_LOG_ASSERT_MSG of core/log.h, with the call
// stack of the failing statement (`capture_call_stack()`) in the report. The
// stack is captured only when the condition is false.
#define CORE_LOG_ASSERT_WITH_STACK(condition) \
  CORE_LOGGER_DETAIL_ASSERT(::core::logger::capture_call_stack(), condition, #condition)
#define CORE_LOG_ASSERT_WITH_STACK_MSG(condition, ...) \
  CORE_LOGGER_DETAIL_ASSERT_MSG(::core::logger::capture_call_stack(), condition, #condition, __VA_ARGS__)

#endif  // CORE_CHANNELS_H_
