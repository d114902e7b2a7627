#include "pipeline/channel_list.h"

#include <fmt/format.h>

#include "lifecycle/library_lifecycle.h"
#include "platform/platform.h"
#include "text/control_characters.h"

namespace core::logger::detail {

std::atomic<std::uint32_t> g_fallback_end{kNoChannelPosition};
std::atomic<std::uint32_t> g_default_options{0};

namespace {

// Read when the ordinary list is built (or reset) and by appends only, all
// after the list's one-time construction or under its lock.
platform::DebugOutputMode g_debug_output_mode = platform::DebugOutputMode::kFallback;

// Whether a text written to the debugger output may raise SIGPIPE there,
// and whether its control characters are escaped (it is a terminal). Looked
// at once, as the mode is read: a check on every call would cost a system
// call as dear as the write itself.
std::atomic<bool> g_guard_sigpipe{true};
std::atomic<bool> g_escape_controls{false};

// The lists once built; null before. Teardown leaves them set: calls check
// the end-of-life flag before they reach a list.
std::atomic<ChannelList<LogChannel>*> g_ordinary_channels{nullptr};
std::atomic<ChannelList<LogRawChannel>*> g_raw_channels{nullptr};

// A terminal would act on the control characters of a message (set its
// title, clear the screen): they go out as "\x1B" and the like. Out of line,
// as only a text that holds one comes here.
[[gnu::noinline]] void write_escaped(std::string_view text, bool guard_sigpipe) noexcept {
  fmt::basic_memory_buffer<char, 2048> escaped;
  try {
    text::append_escaped(text, escaped);
  } catch (...) {  // the heap refused: the text as far as it was escaped, ending its line
    if (escaped.size() != 0) escaped.data()[escaped.size() - 1] = '\n';
  }
  platform::write_debug_output(std::string_view(escaped.data(), escaped.size()), guard_sigpipe);
}

// The decision rests on the call's own span, taken when the call began: a
// channel registered meanwhile, even by one of this call's callbacks, takes
// over from the next call on, and no text falls between the two outputs.
[[gnu::hot]] void write_to_debug_output(void*, const DispatchContext& context, const LogCategory&,
                                        const LogLevel&, std::string_view text) {
  if (context.channel_count > g_fallback_end.load(std::memory_order_relaxed)) return;
  const bool guard_sigpipe = g_guard_sigpipe.load(std::memory_order_relaxed);
  if (g_escape_controls.load(std::memory_order_relaxed)) {
    if (!text.empty() && text.back() == '\0') text.remove_suffix(1);
    if (text::find_control(text) != text.size()) return write_escaped(text, guard_sigpipe);
  }
  platform::write_debug_output(text, guard_sigpipe);
}

constexpr LogChannel kBuiltinChannel{"visual_studio", &write_to_debug_output, nullptr};

// Reads the debugger output's mode and kind and returns the built-in
// channel's record, with which the ordinary list starts.
LogChannel start_fallback() {
  g_debug_output_mode = platform::debug_output_mode();
  const platform::DebugOutputKind kind = platform::debug_output_kind();
  g_guard_sigpipe.store(kind.may_raise_sigpipe, std::memory_order_relaxed);
  g_escape_controls.store(kind.terminal, std::memory_order_relaxed);
  g_fallback_end.store(g_debug_output_mode == platform::DebugOutputMode::kNoText ? 0 : kNoChannelPosition,
                       std::memory_order_relaxed);
  return kBuiltinChannel;
}

// Each list is built under the build lock, its one-time initialisation
// included, so that a fork never copies one half built.
[[gnu::noinline]] ChannelList<LogChannel>& build_ordinary_channels() {
  std::lock_guard<std::mutex> lock(build_lock());
  static ProcessWide<ChannelList<LogChannel>, LifecycleEvent::kChannelListBuilt,
                     LifecycleEvent::kChannelListDestroyed>
      list(build_lock(), start_fallback());
  g_ordinary_channels.store(&list.object, std::memory_order_release);
  return list.object;
}

[[gnu::noinline]] ChannelList<LogRawChannel>& build_raw_channels() {
  std::lock_guard<std::mutex> lock(build_lock());
  static ProcessWide<ChannelList<LogRawChannel>, LifecycleEvent::kRawChannelListBuilt,
                     LifecycleEvent::kRawChannelListDestroyed>
      list(build_lock());
  g_raw_channels.store(&list.object, std::memory_order_release);
  return list.object;
}

}  // namespace

[[gnu::hot]] ChannelList<LogChannel>& ordinary_channels() {
  if (ChannelList<LogChannel>* list = g_ordinary_channels.load(std::memory_order_acquire)) return *list;
  return build_ordinary_channels();
}

void add_ordinary_channel(const LogChannel& channel) {
  ordinary_channels().append(channel, [&channel](std::uint32_t position) {
    // Appends are serialised, so only the first channel with a callback
    // finds no position yet. A record counts for good: channels cannot be
    // removed, and the list cannot tell whether the object behind one is
    // still there.
    if (channel.callback != nullptr && g_debug_output_mode == platform::DebugOutputMode::kFallback &&
        g_fallback_end.load(std::memory_order_relaxed) == kNoChannelPosition) {
      g_fallback_end.store(position, std::memory_order_relaxed);
    }
  });
}

[[gnu::hot]] ChannelList<LogRawChannel>& raw_channels() {
  if (ChannelList<LogRawChannel>* list = g_raw_channels.load(std::memory_order_acquire)) return *list;
  return build_raw_channels();
}

void reset_channel_lists_for_testing() {
  ordinary_channels().clear_for_testing();
  ordinary_channels().append(start_fallback());
  raw_channels().clear_for_testing();
}

}  // namespace core::logger::detail
