// core/channels.h: ready-made channels for core_logger, from the companion
// library core_logger_channels (CMake target core_logger::channels).
//
// What an application usually wants beside the core library: console, file,
// rotating file and syslog channels, a capture channel for tests, settings
// from text or the environment, call stacks for assertion reports, and crash
// reports.
// Register a channel object once, early, in one call:
//
//   core::logger::FileChannel file("app.log");
//   core::logger::add_default_channel(file);
//
// Channels cannot be removed from the library, but a channel object may be
// destroyed while its records stay registered: they point at state that
// lives until the process ends, which the destruction flushes and closes.
// Unlike the core library, this one reads the environment (NO_COLOR,
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
// JournalChannel speaks to systemd-journald and is built on Linux only.
#if defined(__linux__)
#  define CORE_LOGGER_CHANNELS_HAS_JOURNAL 1
#else
#  define CORE_LOGGER_CHANNELS_HAS_JOURNAL 0
#endif

namespace core::logger {
namespace channels_detail {
class ChannelState;
struct ObjectAccess;
}  // namespace channels_detail

class ChannelObject;
CORE_LOGGER_CHANNELS_API void add_default_channel(ChannelObject& object);

// -----------------------------------------------------------------------------
// Channel objects
// -----------------------------------------------------------------------------

// What every channel class below is: an object that holds the state behind
// its records. Objects move but do not copy: records handed out before a move
// deliver to the moved-to object, and a moved-from object's members do
// nothing (its records have no callback). Every member may be called from
// any thread at any time but the destructor and the moves. No callback of a
// record throws: a text that cannot be delivered is dropped and counted.
class ChannelObject {
 public:
  ChannelObject(const ChannelObject&) = delete;
  ChannelObject& operator=(const ChannelObject&) = delete;

  // The ordinary record (composed texts) and the raw record (each message's
  // lines, with the call's time). `add_default_channel(object)` registers
  // what the object needs; with `channel()` alone, a message and its time
  // come from the composed text, timed at delivery.
  CORE_LOGGER_CHANNELS_API LogChannel channel() const noexcept;
  CORE_LOGGER_CHANNELS_API LogRawChannel raw_channel() const noexcept;

  // What the channel does with one ordinary text given by hand (a JSON or
  // syslog message of no category, timed now). A closing NUL is not written.
  CORE_LOGGER_CHANNELS_API void write(const LogLevel& level, std::string_view text) const;

  // Hands what the channel holds back to the system.
  CORE_LOGGER_CHANNELS_API void flush();
  // Flushes and stops for good; later texts are dropped uncounted.
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
  // Both close the state this object holds.
  CORE_LOGGER_CHANNELS_API ChannelObject& operator=(ChannelObject&& other) noexcept;
  CORE_LOGGER_CHANNELS_API ~ChannelObject();

  channels_detail::ChannelState* state() const noexcept { return state_; }

 private:
  // add_default_channel's way in (a friend function would lose its DLL
  // attribute).
  friend struct channels_detail::ObjectAccess;
  channels_detail::ChannelState* state_;
};

// add_default_channel()
//
// Registers every record through which `object` takes texts: the raw record
// and then the ordinary one (the console: only the ordinary one), so that a
// message's lines and time come from the call itself. A second call for the
// same object registers nothing. Call it before other threads log.
CORE_LOGGER_CHANNELS_API void add_default_channel(ChannelObject& object);

// -----------------------------------------------------------------------------
// Console
// -----------------------------------------------------------------------------
//
// A console channel writes every ordinary text, without the closing NUL, to
// its stream in one write and flushes it, so that the lines of one call never
// interleave with another thread's. On a pipe or socket whose reader has gone
// the write fails with EPIPE (the text is counted as dropped) and SIGPIPE
// never ends the process, however the program holds it; whether the stream
// is one is looked at when the record or object is made, since a look per
// text would cost a system call. With colour on, the text is wrapped in
// one ANSI colour by the level's value on the scale of core/log.h: trace dim,
// debug cyan, information green, warning yellow, error (the library's own
// reports included) red, anything above bold red.
//
// On a terminal, the control characters of a text are written as visible
// escapes, so that a message cannot set the terminal's title, clear the
// screen or hide earlier lines: each byte of a control character (0x00-0x1F
// but line feed and tab, 0x7F, and the C1 controls U+0080-U+009F in UTF-8,
// 0xC2 0x80 to 0xC2 0x9F) becomes "\x" and two upper case hex digits, as in
// "\x1B". Other UTF-8 stays as it is, and so do the channel's own colour
// sequences around the text.

// When a console channel colours: Auto only on a terminal while NO_COLOR is
// unset or empty; Always and Never whatever the stream and NO_COLOR say.
enum class ColorMode : std::uint8_t { Auto, Always, Never };

// The standard stream a `console_channel()` writes to.
enum class ConsoleStream : std::uint8_t { StandardOutput, StandardError };

// When a console channel escapes the control characters of its texts: only
// on a terminal (EscapeOnTerminal), always (Escape), never (Keep).
enum class ControlCharacters : std::uint8_t { EscapeOnTerminal, Escape, Keep };

// console_color_wanted()
//
// The colour decision of the console channels from `mode`, whether the
// stream is a terminal, and NO_COLOR's value (null: unset). Pure.
CORE_LOGGER_CHANNELS_API bool console_color_wanted(ColorMode mode, bool stream_is_terminal,
                                                   const char* no_color) noexcept;

// console_channel()
//
// A console record named "console" on the standard output or error, which
// needs no object. The colour and the escapes are decided now: for `Auto` and
// `EscapeOnTerminal` by whether the stream is a terminal, and by NO_COLOR (on
// Windows the console is switched to ANSI sequences, without colour where
// that fails). Thread-safe, but reads the environment.
CORE_LOGGER_CHANNELS_API LogChannel console_channel(ConsoleStream stream = ConsoleStream::StandardOutput,
                                                    ColorMode color = ColorMode::Auto);
CORE_LOGGER_CHANNELS_API LogChannel console_channel(ConsoleStream stream, ColorMode color,
                                                    ControlCharacters control);

// A console channel on any stdio stream, coloured as the caller says; its
// record is named "console". The stream stays the caller's: `close()` and
// destruction flush it and stop writing to it, but never close it.
class ConsoleChannel : public ChannelObject {
 public:
  // REQUIRES: `stream` is open for writing until `close()` or destruction.
  CORE_LOGGER_CHANNELS_API ConsoleChannel(std::FILE* stream, bool color);
  // `EscapeOnTerminal` is decided now, by whether `stream` is a terminal.
  CORE_LOGGER_CHANNELS_API ConsoleChannel(std::FILE* stream, bool color, ControlCharacters control);

  // Whether texts are wrapped in colour sequences; fixed at construction.
  CORE_LOGGER_CHANNELS_API bool uses_color() const noexcept;
  // Whether control characters are escaped; fixed at construction.
  CORE_LOGGER_CHANNELS_API bool escapes_control_characters() const noexcept;
};

// -----------------------------------------------------------------------------
// Files
// -----------------------------------------------------------------------------

// When a file channel hands its buffered texts to the operating system:
// before each callback returns (EveryText), also when a text's level value is
// at least `flush_level` (AtLevel), or only when the buffer would overflow
// (WhenFull); and always on `flush()`, `close()`, `reopen()`, a rotation and
// destruction. The thread whose text goes out writes it, or the full buffer,
// after it has left the channel's lock: with EveryText the texts of many
// threads reach the system at once (on Linux, most of them without taking
// the lock at all; on Windows one at a time), and with the others a second
// buffer takes texts while the first is written.
enum class FlushPolicy : std::uint8_t { EveryText, AtLevel, WhenFull };

// What a file channel writes.
//   Text       every text as composed, without its NUL, after a line
//              "---- 2026-12-08 ----" when the local date differs from the
//              text before (headers carry only the time of day).
//   JsonLines  one JSON object per call, on one line: "time" (ISO 8601 local
//              time with milliseconds and the UTC offset), "level",
//              "level_value", "category", "message" (the message's lines
//              without headers), and "file", "line" when the call carries
//              them (`with_file_line`) and "function" (`with_function`).
//              Control characters, quotes and backslashes are escaped;
//              bytes that are not UTF-8 become U+FFFD.
// Dates and times are the call's own when the raw record is registered
// (`add_default_channel(channel)` does); else they are read at delivery.
enum class FileFormat : std::uint8_t { Text, JsonLines };

// How a `FileChannel` buffers and writes. Read once, at construction.
struct FileChannelOptions {
  FlushPolicy flush = FlushPolicy::EveryText;
  std::uint32_t flush_level = 3;  // kWarningLevel's value
  // The most bytes held back; a longer text is written at once. A channel
  // that holds texts back has two buffers of this size (one filled while the
  // other is written).
  std::size_t buffer_size = 64 * 1024;
  FileFormat format = FileFormat::Text;
};

// A channel that appends every text (or JSON line) to a file, opened for
// appending (and created) at construction; its records are named "file" and
// "file-raw". Texts from any number of threads are appended whole, never
// interleaved, in the order in which they reached the channel (with
// EveryText, in which their writes reach the system); each hand-over to the
// system is one write of whole texts, so processes that append to one file
// do not tear each other's lines either. A date line, a rotation, `reopen()`,
// `flush()` and `close()` wait for the writes under way.
// A write that fails part-way (a full disk, a limit on the size of files) is
// completed or undone: the file keeps whole texts only, and the texts not
// written are counted in `dropped()`.
//
// While the channel has no file (it could not open its name, or the file
// was removed and the name cannot be opened again), one line on the
// standard error says so, its texts are dropped and counted, and it tries
// the name again at most once a second. Once a second, too, it checks
// whether its file was removed or moved away from its name, and then opens
// the name afresh, as `reopen()` does; texts written to a removed file in
// the second before that check go with it.
class FileChannel : public ChannelObject {
 public:
  // Opens `path` for appending; on failure `is_open()` is false and
  // `error()` holds the system's error number until the file opens.
  CORE_LOGGER_CHANNELS_API explicit FileChannel(std::string_view path, FileChannelOptions options = {});

  // Writes what is buffered and opens the file's name afresh, for tools such
  // as logrotate that move the file and signal the program. When the name
  // cannot be opened, the channel keeps its file and the error.
  CORE_LOGGER_CHANNELS_API void reopen();

 protected:
  explicit FileChannel(channels_detail::ChannelState* state) noexcept : ChannelObject(state) {}
};

// How a `RotatingFileChannel` buffers, writes and rotates. Read once, at
// construction.
struct RotatingFileOptions {
  FlushPolicy flush = FlushPolicy::EveryText;
  std::uint32_t flush_level = 3;
  std::size_t buffer_size = 64 * 1024;
  std::uint64_t max_bytes = 0;  // the largest a file grows by its texts; 0: no limit
  std::uint32_t max_files = 5;  // the older files kept
  bool daily = false;           // a file per local date, named with it
  FileFormat format = FileFormat::Text;
};

// A file channel that moves to a fresh file by size, by day, and on demand;
// its records are named "rotating-file" and "rotating-file-raw".
//
// For "app.log" the older files are "app.1.log" (the newest) to
// "app.N.log", N being `max_files`: the index goes before the extension
// ("app" gives "app.1"; a backslash separates directories on Windows only).
// With `daily` the file being written carries the local date of its texts,
// "app_2026-12-07.log", and its older files by size "app_2026-12-07.1.log"
// and on; the files of earlier days are left alone.
//
// When the file is not empty and a text would take it past `max_bytes`, the
// file rotates first: a text is never split across files, and one larger
// than `max_bytes` stands alone (an empty text rotates nothing). A rotation
// renames the older files that exist, up to the first missing index: files
// beyond such a gap keep their names until rotations fill it. A rotation
// that fails (a directory that cannot be written, a full disk) keeps writing
// to the current file, keeps the error, and is tried again at the next text
// past the limit.
class RotatingFileChannel : public FileChannel {
 public:
  CORE_LOGGER_CHANNELS_API explicit RotatingFileChannel(std::string_view path,
                                                        RotatingFileOptions options = {});
};

// -----------------------------------------------------------------------------
// Capture
// -----------------------------------------------------------------------------

// One ordinary text as a capture channel saw it, without its closing NUL.
// `timestamp` is the call's, known when the raw record is registered too
// (else 0).
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

// One raw line as a capture channel saw it, line feed kept.
struct CapturedLine {
  std::string line;
  std::string category;
  std::uint32_t category_id;
  std::string level;
  std::uint32_t level_value;
  LogTimestamp timestamp;
};

// Records what the library delivers, for tests: register it, log, then
// inspect copies, in the order of arrival. Its records are named "capture"
// and "capture-raw". `close()` and destruction forget what was captured.
class CaptureChannel : public ChannelObject {
 public:
  CORE_LOGGER_CHANNELS_API CaptureChannel();

  // What was captured since construction or `clear()`.
  CORE_LOGGER_CHANNELS_API std::vector<CapturedText> texts() const;
  CORE_LOGGER_CHANNELS_API std::vector<CapturedLine> lines() const;
  CORE_LOGGER_CHANNELS_API std::vector<std::string> text_strings() const;  // the `text` of each
  CORE_LOGGER_CHANNELS_API void clear();
};

// -----------------------------------------------------------------------------
// Syslog
// -----------------------------------------------------------------------------

// The facilities of RFC 5424, with its codes, 0 to 23 in this order.
// clang-format off
enum class SyslogFacility : std::uint8_t {
  Kernel, User, Mail, Daemon, Auth, Syslog, Printer, News, Uucp, Cron, AuthPriv, Ftp, Ntp, Audit, Alert, Clock,
  Local0, Local1, Local2, Local3, Local4, Local5, Local6, Local7
};
// clang-format on

// Where and as whom a `SyslogChannel` sends. Read once, at construction.
struct SyslogOptions {
  // "unix:/path" (a datagram socket; the local daemon's by default),
  // "udp:host:port" or "tcp:host:port" (a port of 1 to 65535 in digits; an
  // IPv6 host in brackets, "tcp:[::1]:514"; TCP frames each message by
  // RFC 6587 octet counting and reconnects after a failure).
  std::string address = "unix:/dev/log";
  std::string app_name;  // empty: the program's name
  std::string procid;    // empty: the process id (the child's own after a fork)
  SyslogFacility facility = SyslogFacility::User;
  // The longest a log call waits for the channel (its lock, a connection, a
  // full socket); a text that cannot go out in time is dropped and counted.
  // 0: no wait at all.
  std::uint32_t send_timeout_ms = 100;
  // The largest message sent, header included (TCP's octet count is not):
  // a longer one is cut at a UTF-8 character boundary and ends in "...".
  // rsyslog's default limit; at least 512 (room for the longest header), and
  // datagrams are cut at 65,000 bytes whatever it says.
  std::size_t max_message_bytes = 8192;
};

#if CORE_LOGGER_CHANNELS_HAS_SYSLOG
// A channel that sends one RFC 5424 message per call to a syslog daemon or
// collector; its records are named "syslog" and "syslog-raw". PRI comes from
// the facility and the level's value (0-1 debug, 2 informational, 3 warning,
// 4 error, 5 and above critical), then the call's local time and UTC offset,
// this host, APP-NAME, PROCID, the category as MSGID (cut to 32 printable
// characters), no structured data, and as MSG the message's lines (line
// feeds kept), cut to `max_message_bytes`. POSIX only; nothing is held back.
// Over TCP the channel checks before each message whether the collector has
// closed the connection, and reconnects first, so that a restarted collector
// costs no uncounted message.
class SyslogChannel : public ChannelObject {
 public:
  // Resolves the address now (which may wait for DNS); a malformed address
  // leaves the channel closed with the error EINVAL, an unresolvable one
  // with EHOSTUNREACH.
  CORE_LOGGER_CHANNELS_API explicit SyslogChannel(SyslogOptions options);
};
#endif

// -----------------------------------------------------------------------------
// Systemd journal
// -----------------------------------------------------------------------------

// Where and as whom a `JournalChannel` sends. Read once, at construction.
struct JournalOptions {
  std::string identifier;                              // SYSLOG_IDENTIFIER; empty: the program's short name
  std::string socket = "/run/systemd/journal/socket";  // journald's native socket
  // The longest a log call waits for the channel (its lock, journald's full
  // queue); an entry that cannot go out in time is dropped and counted. 0:
  // no wait at all.
  std::uint32_t send_timeout_ms = 100;
};

#if CORE_LOGGER_CHANNELS_HAS_JOURNAL
// A channel that sends one entry per call to the systemd journal over its
// native protocol; its records are named "journal" and "journal-raw". The
// fields, each filterable (`journalctl CORE_CATEGORY=net`):
//   MESSAGE            the message's lines, line feeds kept
//   PRIORITY           SyslogChannel's severity of the level's value: 7
//                      for 0-1, 6 for 2, 4 for 3, 3 for 4, 2 for 5 and up
//   SYSLOG_IDENTIFIER  `identifier`
//   CODE_FILE, CODE_LINE, CODE_FUNC
//                      when the call carries its location (the statements
//                      of core/log.h and the reports do)
//   TID                the calling thread's id
//   CORE_CATEGORY, CORE_LEVEL (the level's name), CORE_LEVEL_VALUE,
//   CORE_TIMESTAMP     the call's local time as the JSON lines write it
// Values are sent as they are, any bytes; an entry too large for a datagram
// goes in a sealed memory file. Without a journal (no socket, journald
// stopped) entries are dropped and counted, and flow again once journald is
// back. A forked child sends on a socket of its own. Linux only; nothing is
// held back.
class JournalChannel : public ChannelObject {
 public:
  // Connects now; a journal not there yet leaves the channel open with its
  // error. A socket path too long for a unix socket leaves it closed.
  CORE_LOGGER_CHANNELS_API explicit JournalChannel(JournalOptions options = {});
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
// audio=detailed": `key=value` entries separated by commas, blanks ignored:
//   verbosity=brief|normal|detailed   the runtime verbosity
//   <category>=on                     enabled
//   <category>=off                    disabled
//   <category>=brief|normal|detailed  enabled, at that fixed verbosity
//   <category>=follow                 enabled, following the runtime verbosity
// A category not yet declared is declared in that state (`off`: disabled,
// following the runtime verbosity), so that the setting holds from its first
// use; names are copied for the rest of the process. A malformed entry (no
// `=`, an empty name, an unknown value) is skipped and described in
// `errors`. Prints nothing, throws nothing but `std::bad_alloc`.
CORE_LOGGER_CHANNELS_API SettingsResult apply_settings(std::string_view text);

// apply_settings_from_environment()
//
// `apply_settings` with the value of the environment variable `variable`
// (unset or null: an empty text).
CORE_LOGGER_CHANNELS_API SettingsResult apply_settings_from_environment(const char* variable = "CORE_LOG");

// -----------------------------------------------------------------------------
// Call stack
// -----------------------------------------------------------------------------

// capture_call_stack()
//
// The calling thread's call stack for an assertion report: one frame per
// line ending in a line feed, from the caller of `capture_call_stack` after
// skipping `skip_frames` more, at most `max_frames`; a function inlined into
// another is a frame of its own. A frame reads "#0 ns::S<int>::f(int) at
// src/app.cc:42" where the module has debug information, else
// "#3 name in libfoo.so+0x1a2b3" with the name from the symbol table, or
// "#3 libfoo.so+0x1a2b3" without one. Empty when the stack cannot be read.
// Not for signal handlers.
CORE_LOGGER_CHANNELS_API std::string capture_call_stack(std::uint32_t skip_frames = 0,
                                                        std::uint32_t max_frames = 32) noexcept;

// -----------------------------------------------------------------------------
// Crashes
// -----------------------------------------------------------------------------

// The level and the category of a crash report. Level values 5 and above are
// fatal: a syslog channel sends them as critical.
constexpr LogLevel kFatalLevel{"FATL", 5};
constexpr LogCategory kCrashCategory = make_category("Crash");

// What `install_crash_handler` takes over. Read at every call.
struct CrashHandlerOptions {
  bool signals = true;    // fatal signals (Windows: unhandled exceptions and SIGABRT)
  bool terminate = true;  // std::terminate
  // The longest the handler may take before the process ends anyway.
  std::uint32_t deadline_ms = 2000;
  std::uint32_t max_frames = 64;  // frames in a report
};

// install_crash_handler()
//
// Reports a crash through the registered channels before the process ends.
// On a fatal signal (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP), an
// unhandled Windows exception or `std::terminate`:
//   1. every file channel hands what it holds back to the system;
//   2. one report per process goes to the channels as one log call of
//      kCrashCategory at kFatalLevel: a first line such as "Fatal signal
//      SIGSEGV (segmentation fault) at address 0x0 on thread 12345" or
//      "Uncaught exception std::runtime_error: boom on thread 12345", then
//      the crashing thread's stack from the crash site, as
//      `capture_call_stack` writes it, cut to 4096 characters;
//   3. the file channels write out again;
//   4. the signal goes to the handler that was there before (or the default
//      action), so that the exit status and core dump stay what they were;
//      `std::terminate` calls the previous terminate handler.
// The handler waits at most 100 ms for a channel's lock and never for one
// that the crashing thread holds; a watchdog ends the process with the
// signal's default action after `deadline_ms` or at a second fault. Each
// thread that delivers through a channel of this library gets an alternate
// signal stack, so that a stack overflow is reported too.
//
// Call it in `main` once the channels are registered. A later call installs
// what an earlier one did not and sets the calling thread's alternate stack;
// unloading this library restores what was there before. Thread-safe. False
// where the platform offers none of what `options` asks for.
CORE_LOGGER_CHANNELS_API bool install_crash_handler(const CrashHandlerOptions& options = {});

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
