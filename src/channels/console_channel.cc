// The console channels: one write and one flush per text, coloured by level.
#include "core/channels.h"

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string_view>

#include <fmt/format.h>

#include "channels/channel_state.h"
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

// Returns 0, or the error number of a failed write.
int write_text(std::FILE* stream, bool color, const LogLevel& level, std::string_view text) {
  if (!text.empty() && text.back() == '\0') text.remove_suffix(1);
  if (!color) {
    const bool written = std::fwrite(text.data(), 1, text.size(), stream) == text.size();
    return std::fflush(stream) == 0 && written ? 0 : (errno != 0 ? errno : EIO);
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
  const bool written = std::fwrite(buffer.data(), 1, buffer.size(), stream) == buffer.size();
  return std::fflush(stream) == 0 && written ? 0 : (errno != 0 ? errno : EIO);
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
  channels_detail::delivered(
      [&] { write_text(standard_stream(console->stream), console->color, level, text); });
}

}  // namespace

// Thread-safety: every member below `mutex` is guarded by it. The lock also
// keeps a text from being written after `close()` has returned, when the
// caller may close the stream.
struct ConsoleChannel::State : channels_detail::KeptState {
  State(std::FILE* stream, bool color) : stream(stream), color(color) {}

  static void on_text(void* user_data, const DispatchContext&, const LogCategory&, const LogLevel& level,
                      std::string_view text) {
    channels_detail::delivered([&] { static_cast<State*>(user_data)->write(level, text); });
  }

  void write(const LogLevel& level, std::string_view text) {
    std::lock_guard<std::mutex> lock(mutex);
    if (stream == nullptr) return;
    const int failure = write_text(stream, color, level, text);
    if (failure != 0) error = failure;
  }

  std::mutex mutex;
  std::FILE* stream;
  const bool color;
  int error = 0;
};

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

ConsoleChannel::ConsoleChannel(std::FILE* stream, bool color)
    : state_(channels_detail::make_kept<State>(stream, color)), color_(color) {}

ConsoleChannel::~ConsoleChannel() {
  close();
  channels_detail::retire(state_);
}

LogChannel ConsoleChannel::channel() const noexcept {
  return LogChannel{"console", &State::on_text, state_->share()};
}

void ConsoleChannel::write(const LogLevel& level, std::string_view text) const { state_->write(level, text); }

void ConsoleChannel::flush() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  if (state_->stream != nullptr) std::fflush(state_->stream);
}

void ConsoleChannel::close() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  if (state_->stream != nullptr) std::fflush(state_->stream);
  state_->stream = nullptr;
}

bool ConsoleChannel::is_open() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->stream != nullptr;
}

int ConsoleChannel::error() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->error;
}

}  // namespace core::logger
