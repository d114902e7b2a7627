// tests/support/recording_channel.h: channel doubles that record what the
// library delivers, and helpers to compare texts whose time varies.
#ifndef CORE_LOGGER_TESTS_SUPPORT_RECORDING_CHANNEL_H_
#define CORE_LOGGER_TESTS_SUPPORT_RECORDING_CHANNEL_H_

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "core/logger.h"

namespace core::logger::testing {

// Records every ordinary text and every raw line it receives, in order, with
// what came with them. Thread-safe.
class RecordingChannel {
 public:
  struct Delivery {
    bool raw;          // a raw line, or an ordinary text
    std::string text;  // the view's characters, a NUL included
    DispatchContext context;
    std::string category;
    std::uint32_t category_id;
    std::string level;
    std::uint32_t level_value;
    LogTimestamp timestamp;  // raw lines only
  };

  LogChannel channel(std::string_view name = "recording") { return LogChannel{name, &on_text, this}; }
  LogRawChannel raw_channel(std::string_view name = "recording-raw") {
    return LogRawChannel{name, &on_raw_line, this};
  }

  std::vector<Delivery> deliveries() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return deliveries_;
  }
  std::vector<std::string> texts() const { return select(false); }
  std::vector<std::string> raw_lines() const { return select(true); }

  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    deliveries_.clear();
  }

 private:
  static void on_text(void* self, const DispatchContext& context, const LogCategory& category,
                      const LogLevel& level, std::string_view text) {
    static_cast<RecordingChannel*>(self)->record(false, context, category, level, {}, text);
  }
  static void on_raw_line(void* self, const DispatchContext& context, const LogCategory& category,
                          const LogLevel& level, LogTimestamp timestamp, std::string_view line) {
    static_cast<RecordingChannel*>(self)->record(true, context, category, level, timestamp, line);
  }

  void record(bool raw, const DispatchContext& context, const LogCategory& category, const LogLevel& level,
              LogTimestamp timestamp, std::string_view text) {
    std::lock_guard<std::mutex> lock(mutex_);
    deliveries_.push_back(Delivery{raw, std::string(text), context, std::string(category.key.name),
                                   category.key.id, std::string(level.name), level.value, timestamp});
  }

  std::vector<std::string> select(bool raw) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> out;
    for (const Delivery& d : deliveries_) {
      if (d.raw == raw) out.push_back(d.text);
    }
    return out;
  }

  mutable std::mutex mutex_;
  std::vector<Delivery> deliveries_;
};

// Replaces the digits of every "{HH:MM:SS.mmm}" in `text` with
// "{hh:mm:ss.mmm}", so that texts compare exactly apart from the time.
inline std::string mask_time(std::string_view text) {
  constexpr std::string_view kPattern = "{dd:dd:dd.ddd}";
  std::string out(text);
  for (std::size_t at = 0; at + kPattern.size() <= out.size(); ++at) {
    bool match = true;
    for (std::size_t i = 0; i < kPattern.size() && match; ++i) {
      const char c = out[at + i];
      match = kPattern[i] == 'd' ? (c >= '0' && c <= '9') : c == kPattern[i];
    }
    if (match) out.replace(at, kPattern.size(), "{hh:mm:ss.mmm}");
  }
  return out;
}

// The string "text" followed by a NUL, as ordinary channels receive it.
inline std::string with_nul(std::string_view text) {
  std::string out(text);
  out.push_back('\0');
  return out;
}

}  // namespace core::logger::testing

#endif  // CORE_LOGGER_TESTS_SUPPORT_RECORDING_CHANNEL_H_
