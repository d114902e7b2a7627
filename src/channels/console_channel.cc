// The console channels: one write and one flush per text, coloured by level.
#include "core/channels.h"

#include <cstdlib>
#include <string_view>

#include <fmt/format.h>

#include "channels/channels_platform.h"

namespace core::logger {
namespace {

constexpr std::string_view kReset = "\x1b[0m";

std::string_view color_of(const LogLevel& level) noexcept {
  switch (level.value) {
    case 0:
      return "\x1b[2m";  // trace: dim
    case 1:
      return "\x1b[36m";  // debug: cyan
    case 2:
      return "\x1b[32m";  // information: green
    case 3:
      return "\x1b[33m";  // warning: yellow
    case 4:
      return "\x1b[31m";  // error: red
    default:
      return "\x1b[1;31m";
  }
}

void write_text(std::FILE* stream, bool color, const LogLevel& level, std::string_view text) {
  if (!text.empty() && text.back() == '\0') text.remove_suffix(1);
  if (!color) {
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
    return;
  }
  // The reset goes before the final line feed, so that a colour never leaks
  // into the next line of whatever else writes to the terminal. The text is
  // composed first so that one fwrite, atomic with respect to other threads'
  // stdio calls, carries all of it.
  const bool ends_line = !text.empty() && text.back() == '\n';
  if (ends_line) text.remove_suffix(1);
  fmt::memory_buffer buffer;
  const std::string_view color_sequence = color_of(level);
  buffer.append(color_sequence.data(), color_sequence.data() + color_sequence.size());
  buffer.append(text.data(), text.data() + text.size());
  buffer.append(kReset.data(), kReset.data() + kReset.size());
  if (ends_line) buffer.push_back('\n');
  std::fwrite(buffer.data(), 1, buffer.size(), stream);
  std::fflush(stream);
}

// The standard streams are named rather than stored: `stdout` is no
// constant, and a record that needs no object lets `console_channel()`
// return a channel without a lifetime to manage.
struct StandardConsole {
  ConsoleStream stream;
  bool color;
};

constexpr StandardConsole kStandardConsoles[] = {
    {ConsoleStream::StandardOutput, false},
    {ConsoleStream::StandardOutput, true},
    {ConsoleStream::StandardError, false},
    {ConsoleStream::StandardError, true},
};

std::FILE* standard_stream(ConsoleStream stream) noexcept {
  return stream == ConsoleStream::StandardError ? stderr : stdout;
}

void on_standard_text(void* user_data, const DispatchContext&, const LogCategory&, const LogLevel& level,
                      std::string_view text) {
  const auto* console = static_cast<const StandardConsole*>(user_data);
  write_text(standard_stream(console->stream), console->color, level, text);
}

void on_stream_text(void* user_data, const DispatchContext&, const LogCategory&, const LogLevel& level,
                    std::string_view text) {
  static_cast<const ConsoleChannel*>(user_data)->write(level, text);
}

}  // namespace

bool console_color_wanted(ColorMode mode, bool stream_is_terminal, const char* no_color) noexcept {
  switch (mode) {
    case ColorMode::Always:
      return true;
    case ColorMode::Never:
      return false;
    case ColorMode::Auto:
      break;
  }
  // https://no-color.org: present and not empty, whatever its value.
  const bool no_color_set = no_color != nullptr && no_color[0] != '\0';
  return stream_is_terminal && !no_color_set;
}

LogChannel console_channel(ConsoleStream stream, ColorMode color) {
  std::FILE* file = standard_stream(stream);
  const bool terminal = channels_platform::is_terminal(file);
  bool use_color = console_color_wanted(color, terminal, std::getenv("NO_COLOR"));
  // A console that cannot take colour sequences would show them as text;
  // only an explicit Always keeps them.
  if (use_color && terminal && !channels_platform::enable_color_sequences(file)) {
    use_color = color == ColorMode::Always;
  }
  const std::size_t index = (stream == ConsoleStream::StandardError ? 2 : 0) + (use_color ? 1 : 0);
  return LogChannel{"console", &on_standard_text, const_cast<StandardConsole*>(&kStandardConsoles[index])};
}

ConsoleChannel::ConsoleChannel(std::FILE* stream, bool color) noexcept : stream_(stream), color_(color) {}

LogChannel ConsoleChannel::channel() const noexcept {
  return LogChannel{"console", &on_stream_text, const_cast<ConsoleChannel*>(this)};
}

void ConsoleChannel::write(const LogLevel& level, std::string_view text) const {
  write_text(stream_, color_, level, text);
}

}  // namespace core::logger
