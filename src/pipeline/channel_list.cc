#include "pipeline/channel_list.h"

#include "lifecycle/library_lifecycle.h"
#include "platform/platform.h"

namespace core::logger::detail {
namespace {

// Relies on the composers' texts being NUL-terminated, like the debugger
// output it stands for.
void write_to_debug_output(void*, const DispatchContext&, const LogCategory&, const LogLevel&,
                           std::string_view text) {
  platform::write_debug_output(text);
}

constexpr LogChannel kBuiltinChannel{"visual_studio", &write_to_debug_output, nullptr};

}  // namespace

ChannelList<LogChannel>& ordinary_channels() {
  static ProcessWide<ChannelList<LogChannel>, LifecycleEvent::kChannelListBuilt,
                     LifecycleEvent::kChannelListDestroyed>
      list(kBuiltinChannel);
  return list.object;
}

ChannelList<LogRawChannel>& raw_channels() {
  static ProcessWide<ChannelList<LogRawChannel>, LifecycleEvent::kRawChannelListBuilt,
                     LifecycleEvent::kRawChannelListDestroyed>
      list;
  return list.object;
}

void reset_channel_lists_for_testing() {
  ordinary_channels().clear_for_testing();
  ordinary_channels().append(kBuiltinChannel);
  raw_channels().clear_for_testing();
}

}  // namespace core::logger::detail
