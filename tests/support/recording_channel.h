// tests/support/recording_channel.h: a channel double that records what the
// library delivers, and helpers to compare texts whose time varies.
#ifndef CORE_LOGGER_TESTS_SUPPORT_RECORDING_CHANNEL_H_
#define CORE_LOGGER_TESTS_SUPPORT_RECORDING_CHANNEL_H_

#include <mutex>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "core/logger.h"

namespace core::logger::testing {

// Records every ordinary text and raw line it receives, in order, with the
// call's DispatchContext. Thread-safe.
class RecordingChannel {
 public:
  struct Delivery {
    bool raw;          // a raw line, or an ordinary text
    std::string text;  // the view's characters, a NUL included
    DispatchContext context;
  };

  LogChannel channel() {
    return {"recording",
            [](void* self, const DispatchContext& context, const LogCategory&, const LogLevel&,
               std::string_view text) { record(self, false, text, context); },
            this};
  }
  LogRawChannel raw_channel() {
    return {"recording-raw",
            [](void* self, const DispatchContext& context, const LogCategory&, const LogLevel&, LogTimestamp,
               std::string_view line) { record(self, true, line, context); },
            this};
  }

  std::vector<Delivery> deliveries() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return deliveries_;
  }
  std::vector<std::string> texts() const { return select(false); }
  std::vector<std::string> raw_lines() const { return select(true); }

 private:
  static void record(void* self, bool raw, std::string_view text, const DispatchContext& context) {
    auto* channel = static_cast<RecordingChannel*>(self);
    std::lock_guard<std::mutex> lock(channel->mutex_);
    channel->deliveries_.push_back({raw, std::string(text), context});
  }
  std::vector<std::string> select(bool raw) const {
    std::vector<std::string> out;
    for (const Delivery& d : deliveries()) {
      if (d.raw == raw) out.push_back(d.text);
    }
    return out;
  }

  mutable std::mutex mutex_;
  std::vector<Delivery> deliveries_;
};

// `text` with the digits of every "{HH:MM:SS.mmm}" replaced: "{hh:mm:ss.mmm}".
inline std::string mask_time(std::string_view text) {
  static const std::regex kTime("\\{[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}\\}");
  return std::regex_replace(std::string(text), kTime, "{hh:mm:ss.mmm}");
}

// "text" followed by a NUL, as ordinary channels receive it.
inline std::string with_nul(std::string_view text) { return std::string(text) + '\0'; }

}  // namespace core::logger::testing

#endif  // CORE_LOGGER_TESTS_SUPPORT_RECORDING_CHANNEL_H_
