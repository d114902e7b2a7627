// core/channels.h: ready-made channels for core_logger, from the companion
// library core_logger_channels (CMake target core_logger::channels).
//
// The core library writes only to its built-in channel; this library adds
// what an application usually wants: console, file, rotating file and syslog
// channels, a capture channel for tests, settings read from text or the
// environment, and the call stack for assertion reports. Register a channel
// object once, early, in one call:
//
//   core::logger::FileChannel file("app.log");
//   core::logger::add_default_channel(file);
//
// Channels cannot be removed from the library, but every channel object here
// may be destroyed while its records stay registered: a record points at
// state that lives until the process ends. The object's destruction flushes
// and closes that state, and the texts that still reach it are dropped.
//
// Unlike the core library, this library reads the environment (NO_COLOR,
// CORE_LOG), writes files and opens sockets.
#ifndef CORE_CHANNELS_H_
#define CORE_CHANNELS_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>
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
namespace channels_detail {
class ChannelState;
}  // namespace channels_detail

class ChannelObject;
CORE_LOGGER_CHANNELS_API void add_default_channel(ChannelObject& object);

// -----------------------------------------------------------------------------
// Channel objects
// -----------------------------------------------------------------------------

// What every channel class below is. An object holds the state behind its
// records; the records stay valid after the object is gone (see the top of
// this file). Objects move but do not copy: the records handed out before a
// move deliver to the moved-to object, and a moved-from object's members are
// safe and do nothing (its records have no callback).
//
// Every member may be called from any thread at any time but the destructor
// and the moves. No callback of a record throws: a text that cannot be
// delivered is dropped and counted in `dropped()`.
class ChannelObject {
 public:
  ChannelObject(const ChannelObject&) = delete;
  ChannelObject& operator=(const ChannelObject&) = delete;

  // The ordinary record, which takes composed texts, and the raw record,
  // which takes the lines of each message with the call's timestamp.
  // `add_default_channel(object)` registers what the object needs; register
  // records by hand only to choose otherwise (the lines and the time of a
  // call then come from the composed text, timed at delivery).
  CORE_LOGGER_CHANNELS_API LogChannel channel() const noexcept;
  CORE_LOGGER_CHANNELS_API LogRawChannel raw_channel() const noexcept;

  // What the channel does with one ordinary text, given here rather than by
  // a log call (a JSON or syslog channel makes a message of it with no
  // category, timed now). A closing NUL is not written.
  CORE_LOGGER_CHANNELS_API void write(const LogLevel& level, std::string_view text) const;

  // Hands what the channel holds back to the system.
  CORE_LOGGER_CHANNELS_API void flush();
  // Flushes and stops for good; later texts are dropped without being
  // counted. For a channel that must stop while it stays registered.
  CORE_LOGGER_CHANNELS_API void close();
  CORE_LOGGER_CHANNELS_API bool is_open() const;
  // The system's error number of the current failure (to open, write, send
  // or rotate); 0 once the channel delivers again.
  CORE_LOGGER_CHANNELS_API int error() const;
  // How many texts the channel lost since it was made.
  CORE_LOGGER_CHANNELS_API std::uint64_t dropped() const;

 protected:
  explicit ChannelObject(channels_detail::ChannelState* state) noexcept : state_(state) {}
  ChannelObject(ChannelObject&& other) noexcept : state_(std::exchange(other.state_, nullptr)) {}
  // Closes the state this object holds, then takes the other's.
  CORE_LOGGER_CHANNELS_API ChannelObject& operator=(ChannelObject&& other) noexcept;
  // Flushes and closes the state.
  CORE_LOGGER_CHANNELS_API ~ChannelObject();

  channels_detail::ChannelState* state() const noexcept { return state_; }

 private:
  friend void add_default_channel(ChannelObject& object);
  channels_detail::ChannelState* state_;
};

// add_default_channel()
//
// Registers every record through which `object` takes texts: for the file,
// syslog and capture channels their raw record and then their ordinary one,
// so that a message's lines and time come from the call itself; for a
// console channel its ordinary record. A second call for the same object
// (or one it was moved from) registers nothing. Like the core's
// `add_default_channel`, call it before other threads log.
void add_default_channel(ChannelObject& object);

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
// caller (see `console_color_wanted`); its record is named "console". The
// stream stays the caller's: `close()` and destruction flush it and stop
// writing to it, but never close it. A text that the stream refuses is
// dropped and counted.
class ConsoleChannel : public ChannelObject {
 public:
  // REQUIRES: `stream` is open for writing until `close()` or destruction.
  CORE_LOGGER_CHANNELS_API ConsoleChannel(std::FILE* stream, bool color);
  ConsoleChannel(ConsoleChannel&&) noexcept = default;
  ConsoleChannel& operator=(ConsoleChannel&&) noexcept = default;

  // Whether texts are wrapped in colour sequences; fixed at construction.
  CORE_LOGGER_CHANNELS_API bool uses_color() const noexcept;
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
//              local date of a text differs from the one before it, a line
//              "---- 2026-12-08 ----" comes first, since headers carry only
//              the time of day.
//   JsonLines  one JSON object per call, on one line: "time" (ISO 8601 local
//              time with milliseconds and the UTC offset), "level",
//              "level_value", "category", "message" (the lines of the
//              message without headers, joined by "\n"), and "file", "line"
//              when the call carries its file and line (`with_file_line`:
//              the library's reports) and "function" when it carries its
//              function (`with_function`). Quotes, backslashes and control
//              characters are escaped; bytes that are not UTF-8 become
//              U+FFFD.
// The date and time are the call's own when the channel's raw record is
// registered (`add_default_channel(channel)` does); otherwise they are read
// at delivery, and a JSON message is the composed text, headers and all.
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

// A channel that appends every text, without its closing NUL, to a file (or,
// in the JSON format, one object per call); its records are named "file" and
// "file-raw". The file is opened for appending (and created) at
// construction. Thread-safe: texts from any number of threads are appended
// whole, one after another, never interleaved; each hand-over to the
// operating system is one write of whole texts, so processes that append to
// the same file do not tear each other's lines either.
class FileChannel : public ChannelObject {
 public:
  // Opens `path` for appending. On failure `is_open()` is false, `error()`
  // holds the system's error number, and the channel drops every text.
  CORE_LOGGER_CHANNELS_API explicit FileChannel(std::string_view path, FileChannelOptions options = {});
  FileChannel(FileChannel&&) noexcept = default;
  FileChannel& operator=(FileChannel&&) noexcept = default;

  // Writes what is buffered, closes the file and opens its name afresh, for
  // tools such as logrotate that move the file and then signal the program.
  // When the name cannot be opened, the channel keeps the file it has and
  // keeps the error.
  CORE_LOGGER_CHANNELS_API void reopen();
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

// A file channel that moves to a fresh file by size, by day, and on demand;
// its records are named "rotating-file" and "rotating-file-raw".
//
// For "app.log" the older files are "app.1.log" (the newest) to
// "app.N.log", N being `max_files`: the index goes before the extension
// ("app" gives "app.1"). With `daily` the file being written carries the
// local date of its texts, "app_2026-12-07.log", and its older files by size
// "app_2026-12-07.1.log" and on; the files of earlier days are left alone.
//
// The size is checked before each text: when the file is not empty and the
// text would take it past `max_bytes`, the file rotates first, so a text is
// never split across files and a text larger than `max_bytes` stands alone
// in a fresh file. A rotation that fails (a directory that cannot be
// written, a full disk) keeps writing to the current file, keeps the error
// in `error()`, and is tried again at the next text that would pass the
// limit. Otherwise as `FileChannel`, `reopen()` included.
class RotatingFileChannel : public ChannelObject {
 public:
  CORE_LOGGER_CHANNELS_API explicit RotatingFileChannel(std::string_view path,
                                                        RotatingFileOptions options = {});
  RotatingFileChannel(RotatingFileChannel&&) noexcept = default;
  RotatingFileChannel& operator=(RotatingFileChannel&&) noexcept = default;

  CORE_LOGGER_CHANNELS_API void reopen();
};

// -----------------------------------------------------------------------------
// Capture
// -----------------------------------------------------------------------------

// One ordinary text as a capture channel saw it. `text` is the delivered text
// without its closing NUL. `timestamp` is the call's time, known only when
// the same capture's raw record is registered too; otherwise its ticks are 0.
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

// Records what the library delivers, for tests: register it, log, then
// inspect. Its records are named "capture" and "capture-raw". Callbacks of
// several threads may run at once; the accessors return copies in the order
// of arrival. `close()` and destruction forget what was captured and capture
// no more; `error()` stays 0 (capturing fails only for memory, and such a
// copy is dropped and counted).
class CaptureChannel : public ChannelObject {
 public:
  CORE_LOGGER_CHANNELS_API CaptureChannel();
  CaptureChannel(CaptureChannel&&) noexcept = default;
  CaptureChannel& operator=(CaptureChannel&&) noexcept = default;

  // Every ordinary text captured since construction or `clear()`.
  CORE_LOGGER_CHANNELS_API std::vector<CapturedText> texts() const;
  // Every raw line captured since construction or `clear()`.
  CORE_LOGGER_CHANNELS_API std::vector<CapturedLine> lines() const;
  // Only the `text` of every captured text.
  CORE_LOGGER_CHANNELS_API std::vector<std::string> text_strings() const;

  // Forgets everything captured so far.
  CORE_LOGGER_CHANNELS_API void clear();
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
// collector; its records are named "syslog" and "syslog-raw". PRI comes from
// the facility and the level's value (0-1 debug, 2 informational,
// 3 warning, 4 and above error), then the call's local time with its UTC
// offset, this host's name, APP-NAME, PROCID, the category as MSGID (cut to
// 32 printable characters), no structured data, and as MSG the message's
// lines without headers (line feeds kept). POSIX only; a datagram longer
// than 65000 bytes is cut. Nothing is held back, so `flush()` does nothing.
class SyslogChannel : public ChannelObject {
 public:
  // Resolves the address now (which may wait for DNS); a malformed or
  // unresolvable address leaves the channel closed with its error.
  CORE_LOGGER_CHANNELS_API explicit SyslogChannel(SyslogOptions options);
  SyslogChannel(SyslogChannel&&) noexcept = default;
  SyslogChannel& operator=(SyslogChannel&&) noexcept = default;
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
