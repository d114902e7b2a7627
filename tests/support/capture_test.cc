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

}  // namespace core::logger::testing
