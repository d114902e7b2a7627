// The console channels: one write and one flush per text, coloured by level,
// control characters escaped on a terminal.
#include "core/channels.h"

#include <atomic>
#include <cstdlib>
#include <string_view>

#include <fmt/format.h>

#include "channels/channel_state.h"
#include "channels/channels_platform.h"
#include "channels/message.h"
#include "text/control_characters.h"

namespace core::logger {
namespace {

constexpr std::string_view kReset = "\x1b[0m";

// Trace dim, debug cyan, information green, warning yellow, error red, and
// bold red above.
std::string_view color_of(const LogLevel& level) noexcept {
  static constexpr std::string_view kColors[] = {"\x1b[2m",  "\x1b[36m", "\x1b[32m",
                                                 "\x1b[33m", "\x1b[31m", "\x1b[1;31m"};
  return kColors[level.value < 5 ? level.value : 5];
}

// `text` without its NUL, its control characters escaped when `escape`,
// wrapped in the colour of its level when `color`, in `out` or in place;
// returns what to write. The reset goes before the final line feed, so that
// a colour never leaks into the next line of whatever else writes to the
// terminal.
std::string_view encoded(bool color, bool escape, const LogLevel& level, std::string_view text,
                         channels_detail::EncodeBuffer& out) {
  text = channels_detail::without_nul(text);
  // One scan, and a copy only of a text that needs one.
  const bool escapes = escape && text::find_control(text) != text.size();
  if (!color && !escapes) return text;
  const bool ends_line = color && !text.empty() && text.back() == '\n';
  if (ends_line) text.remove_suffix(1);
  const std::string_view color_sequence = color ? color_of(level) : std::string_view();
  out.append(color_sequence.data(), color_sequence.data() + color_sequence.size());
  if (escapes) {
    text::append_escaped(text, out);
  } else {
    out.append(text.data(), text.data() + text.size());
  }
  if (color) out.append(kReset.data(), kReset.data() + kReset.size());
  if (ends_line) out.push_back('\n');
  return std::string_view(out.data(), out.size());
}

// Whether a console channel escapes control characters.
bool escapes(ControlCharacters control, bool terminal) noexcept {
  return control == ControlCharacters::Escape || (control == ControlCharacters::EscapeOnTerminal && terminal);
}

// Thread-safety: the stream is written under the state's lock, which also
// keeps a text from being written after `close()` has returned, when the
// caller may close the stream.
class ConsoleState final : public channels_detail::ChannelState {
 public:
  // `guard_sigpipe`: the stream writes to a pipe or socket, whose reader may
  // go. Looked at once, when the state is made: a check on every text would
  // cost a system call as dear as the write itself.
  ConsoleState(std::FILE* stream, bool color, bool escape, bool guard_sigpipe)
      : ChannelState("console", "console-raw", Input::Texts),
        stream_(stream),
        color_(color),
        escape_(escape),
        guard_sigpipe_(guard_sigpipe) {}

  bool uses_color() const noexcept { return color_; }
  bool escapes_control_characters() const noexcept { return escape_; }

 private:
  std::string_view encode(const channels_detail::Message& message,
                          channels_detail::EncodeBuffer& scratch) override {
    return encoded(color_, escape_, *message.level, message.text, scratch);
  }
  channels_detail::WriteResult write_locked(const channels_detail::Message&, std::string_view encoded,
                                            channels_detail::Clock::time_point, Lock&) override {
    const int failure = channels_platform::write_stream(stream_, encoded, guard_sigpipe_);
    return channels_detail::WriteResult{failure, failure != 0 ? 1u : 0u};
  }
  channels_detail::WriteResult flush_locked() override {
    std::fflush(stream_);
    return {channels_detail::kHeldBack, 0};
  }

  std::FILE* const stream_;
  const bool color_;
  const bool escape_;
  const bool guard_sigpipe_;
};

// The states behind `console_channel()` records, one per stream, colour,
// escapes and guard, made on first use and kept for the rest of the process.
// Slots rather than a function-local static: a fork that caught another
// thread in a static's one-time initialisation would leave it pending for
// ever in the child.
std::atomic<ConsoleState*> g_standard[16];

ConsoleState* standard_state(std::FILE* stream, bool color, bool escape, bool guard_sigpipe) {
  std::atomic<ConsoleState*>& slot =
      g_standard[(stream == stderr ? 8 : 0) + (color ? 4 : 0) + (escape ? 2 : 0) + guard_sigpipe];
  ConsoleState* state = slot.load(std::memory_order_acquire);
  if (state != nullptr) return state;
  ConsoleState* made = channels_detail::make_kept<ConsoleState>(stream, color, escape, guard_sigpipe);
  if (slot.compare_exchange_strong(state, made, std::memory_order_acq_rel)) return made;
  channels_detail::retire(made);  // another thread's came first
  return state;
}

}  // namespace

bool console_color_wanted(ColorMode mode, bool stream_is_terminal, const char* no_color) noexcept {
  if (mode != ColorMode::Auto) return mode == ColorMode::Always;
  // https://no-color.org: present and not empty, whatever its value.
  return stream_is_terminal && (no_color == nullptr || no_color[0] == '\0');
}

LogChannel console_channel(ConsoleStream stream, ColorMode color) {
  return console_channel(stream, color, ControlCharacters::EscapeOnTerminal);
}

LogChannel console_channel(ConsoleStream stream, ColorMode color, ControlCharacters control) {
  std::FILE* file = stream == ConsoleStream::StandardError ? stderr : stdout;
  const bool terminal = channels_platform::is_terminal(file);
  bool use_color = console_color_wanted(color, terminal, std::getenv("NO_COLOR"));
  // A console that cannot take colour sequences would show them as text;
  // only an explicit Always keeps them.
  if (use_color && terminal && !channels_platform::enable_color_sequences(file)) {
    use_color = color == ColorMode::Always;
  }
  return standard_state(file, use_color, escapes(control, terminal),
                        channels_platform::may_raise_sigpipe(file))
      ->record();
}

ConsoleChannel::ConsoleChannel(std::FILE* stream, bool color)
    : ConsoleChannel(stream, color, ControlCharacters::EscapeOnTerminal) {}

ConsoleChannel::ConsoleChannel(std::FILE* stream, bool color, ControlCharacters control)
    : ChannelObject(channels_detail::make_kept<ConsoleState>(
          stream, color, escapes(control, channels_platform::is_terminal(stream)),
          channels_platform::may_raise_sigpipe(stream))) {}

bool ConsoleChannel::uses_color() const noexcept {
  return state() != nullptr && static_cast<const ConsoleState*>(state())->uses_color();
}

bool ConsoleChannel::escapes_control_characters() const noexcept {
  return state() != nullptr && static_cast<const ConsoleState*>(state())->escapes_control_characters();
}

}  // namespace core::logger
