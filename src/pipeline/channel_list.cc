#include "pipeline/channel_list.h"

#include "lifecycle/library_lifecycle.h"
#include "platform/platform.h"

namespace core::logger::detail {

std::atomic<std::uint32_t> g_fallback_end{kNoChannelPosition};
std::atomic<std::uint32_t> g_default_options{0};

namespace {

// Read when the ordinary list is built (or reset) and by appends only, all
// after the list's one-time construction or under its lock.
platform::DebugOutputMode g_debug_output_mode = platform::DebugOutputMode::kFallback;

// The decision rests on the call's own span, taken when the call began: a
// channel registered meanwhile, even by one of this call's callbacks, takes
// over from the next call on, and no text falls between the two outputs.
void write_to_debug_output(void*, const DispatchContext& context, const LogCategory&, const LogLevel&,
                           std::string_view text) {
  if (context.channel_count > g_fallback_end.load(std::memory_order_relaxed)) return;
  platform::write_debug_output(text);
}

constexpr LogChannel kBuiltinChannel{"visual_studio", &write_to_debug_output, nullptr};

// Reads the debugger output's mode and returns the built-in channel's record,
// with which the ordinary list starts.
LogChannel start_fallback() {
  g_debug_output_mode = platform::debug_output_mode();
  g_fallback_end.store(g_debug_output_mode == platform::DebugOutputMode::kNoText ? 0 : kNoChannelPosition,
                       std::memory_order_relaxed);
  return kBuiltinChannel;
}

}  // namespace

ChannelList<LogChannel>& ordinary_channels() {
  static ProcessWide<ChannelList<LogChannel>, LifecycleEvent::kChannelListBuilt,
                     LifecycleEvent::kChannelListDestroyed>
      list(start_fallback());
  return list.object;
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

ChannelList<LogRawChannel>& raw_channels() {
  static ProcessWide<ChannelList<LogRawChannel>, LifecycleEvent::kRawChannelListBuilt,
                     LifecycleEvent::kRawChannelListDestroyed>
      list;
  return list.object;
}

void reset_channel_lists_for_testing() {
  ordinary_channels().clear_for_testing();
  ordinary_channels().append(start_fallback());
  raw_channels().clear_for_testing();
}

}  // namespace core::logger::detail
