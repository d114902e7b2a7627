#include "support/capture_test.h"

#include <regex>

#include "support/recording_channel.h"

namespace core::logger::testing {

CaptureChannel& shared_capture() {
  static CaptureChannel* const capture = [] {
    // Never destroyed: the library may call it until the process ends.
    auto* channel = new CaptureChannel();
    add_default_channel(channel->channel());
    add_default_channel(channel->raw_channel());
    return channel;
  }();
  return *capture;
}

std::string without_padding(std::string_view text) {
  static const std::regex kPadding("\\] +( [>|-] )");
  return std::regex_replace(mask_time(text), kPadding, "]$1");
}

void deliver_as_call(const ChannelObject& channel, LogTimestamp timestamp, const std::string& text) {
  const LogRawChannel raw = channel.raw_channel();
  const LogChannel ordinary = channel.channel();
  DispatchContext context{};
  context.raw_channels = &raw;
  context.raw_channel_count = 1;
  raw.callback(raw.user_data, context, kAssertCategory, kInfoLevel, timestamp, text);
  ordinary.callback(ordinary.user_data, context, kAssertCategory, kInfoLevel, with_nul(text));
}

}  // namespace core::logger::testing
