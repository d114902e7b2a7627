// core/channels.h: ready-made channels for core_logger, from the companion
// library core_logger_channels (CMake target core_logger::channels).
//
// The core library writes only to its built-in channel; this library adds
// what an application usually wants: a console channel with colours, a file
// channel, a capture channel for tests, and the call stack for assertion
// reports. Register a channel once, early, with `add_default_channel`:
//
//   core::logger::add_default_channel(core::logger::console_channel());
//
// Channels cannot be removed, so an object whose `channel()` is registered
// must outlive every log call that may reach it (a static or an object of
// `main` that lives until the program stops logging). `console_channel()`
// needs no object at all.
//
// Unlike the core library, this library reads the environment (NO_COLOR) and
// writes files.
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

namespace core::logger {

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
// standard ones and by tests. Immutable after construction; the channel may
// be called from any number of threads at once.
class ConsoleChannel {
 public:
  // REQUIRES: `stream` is open for writing and stays open while the channel
  // is registered.
  CORE_LOGGER_CHANNELS_API ConsoleChannel(std::FILE* stream, bool color) noexcept;

  // A record named "console" whose user data is this object.
  CORE_LOGGER_CHANNELS_API LogChannel channel() const noexcept;

  // What the channel does with one ordinary text. Stdio errors are ignored: a
  // console that cannot be written to loses the text.
  CORE_LOGGER_CHANNELS_API void write(const LogLevel& level, std::string_view text) const;

  // Whether `write` wraps texts in colour sequences; fixed at construction.
  bool uses_color() const noexcept { return color_; }

 private:
  std::FILE* stream_;
  bool color_;
};

// -----------------------------------------------------------------------------
// File
// -----------------------------------------------------------------------------

// When a file channel hands its buffered texts to the operating system.
//   EveryText  before each callback returns (nothing is lost when the
//              process dies afterwards)
//   AtLevel    when a text's level value is at least `flush_level`, and
//              whenever the buffer would overflow
//   WhenFull   only when the buffer would overflow
// Every policy also writes on `flush()`, `close()` and destruction.
enum class FlushPolicy : std::uint8_t { EveryText, AtLevel, WhenFull };

// How a `FileChannel` buffers. Read once, at construction.
struct FileChannelOptions {
  FlushPolicy flush = FlushPolicy::EveryText;
  // For `AtLevel`: the lowest level value that flushes (the value of
  // kWarningLevel by default).
  std::uint32_t flush_level = 3;
  // The most bytes held back; a text longer than this is written at once,
  // after what is buffered.
  std::size_t buffer_size = 64 * 1024;
};

// A channel that appends every ordinary text, without its closing NUL, to a
// file. The file is opened for appending (and created) at construction.
// Thread-safe: texts from any number of threads are appended whole, one after
// another, never interleaved; each hand-over to the operating system is one
// write of whole texts, so processes that append to the same file do not tear
// each other's lines either. Raw lines are not written.
//
// A text that cannot be written is dropped and its error kept in `error()`;
// the channel never throws from a callback. Every member but the destructor
// may be called from any thread at any time.
class FileChannel {
 public:
  // Opens `path` for appending. On failure `is_open()` is false, `error()`
  // holds the system's error number, and the channel drops every text.
  CORE_LOGGER_CHANNELS_API explicit FileChannel(std::string_view path, FileChannelOptions options = {});
  // Writes what is buffered and closes the file.
  // REQUIRES: no log call can reach the channel any more.
  CORE_LOGGER_CHANNELS_API ~FileChannel();
  FileChannel(const FileChannel&) = delete;
  FileChannel& operator=(const FileChannel&) = delete;

  // A record named "file" whose user data is this object.
  CORE_LOGGER_CHANNELS_API LogChannel channel() noexcept;

  // What the channel does with one ordinary text.
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
  std::unique_ptr<State> state_;
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
// `raw_channel()` or both, log, then inspect. Thread-safe: callbacks of
// several threads may run at once, and the accessors return copies taken
// under the channel's lock, in the order of arrival.
class CaptureChannel {
 public:
  CORE_LOGGER_CHANNELS_API CaptureChannel();
  // REQUIRES: no log call can reach the channel any more.
  CORE_LOGGER_CHANNELS_API ~CaptureChannel();
  CaptureChannel(const CaptureChannel&) = delete;
  CaptureChannel& operator=(const CaptureChannel&) = delete;

  // Records named "capture" and "capture-raw" whose user data is this object.
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

 private:
  struct State;
  static void on_text(void* state, const DispatchContext& context, const LogCategory& category,
                      const LogLevel& level, std::string_view text);
  static void on_raw_line(void* state, const DispatchContext& context, const LogCategory& category,
                          const LogLevel& level, LogTimestamp timestamp, std::string_view line);

  std::unique_ptr<State> state_;
};

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
