// channels/message_text.h: what the channels that rebuild a message from its
// raw lines share: the pieces of one call gathered, local dates and times
// with their UTC offset, and JSON strings.
#ifndef CORE_LOGGER_CHANNELS_MESSAGE_TEXT_H_
#define CORE_LOGGER_CHANNELS_MESSAGE_TEXT_H_

#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "core/logger.h"

namespace core::logger::channels_detail {

using TextBuffer = fmt::memory_buffer;

inline void append(TextBuffer& out, std::string_view text) {
  out.append(text.data(), text.data() + text.size());
}

// `text` without the closing NUL of an ordinary text.
inline std::string_view without_nul(std::string_view text) noexcept {
  if (!text.empty() && text.back() == '\0') text.remove_suffix(1);
  return text;
}

// Whether the call's raw span holds the record (`callback`, `user_data`):
// a channel that builds its output from raw lines then leaves the ordinary
// text alone.
bool has_raw_record(const DispatchContext& context, LogRawChannelCallback callback,
                    const void* user_data) noexcept;

// Gathers the raw pieces of each call into its whole message. Every piece
// but a message's last ends in a line feed, and all pieces of a call arrive
// on its thread with the same DispatchContext and timestamp, which tell
// calls apart while they run. Thread-safe.
class MessageAssembler {
 public:
  // Takes one piece. Returns true when it ends its call's message, which
  // `*message` then views: the piece itself for a one-line message, else
  // `*storage`.
  bool add(const DispatchContext& context, LogTimestamp timestamp, std::string_view piece,
           std::string* storage, std::string_view* message);

 private:
  struct Pending {
    const DispatchContext* context;
    std::uint64_t ticks;
    std::string text;
  };

  // Lets one-line messages skip the lock while no call is half gathered.
  std::atomic<std::size_t> pending_count_{0};
  std::mutex mutex_;
  std::vector<Pending> pending_;  // guarded by mutex_
};

// The local zone's UTC offset, looked up at most once per second. Thread-safe.
class UtcOffsetCache {
 public:
  int at(std::int64_t unix_seconds) noexcept;

 private:
  static constexpr int kBias = 1 << 19;  // offsets fit in 20 bits, seconds above
  std::atomic<std::uint64_t> packed_{0};
};

// Milliseconds since 1970-01-01 00:00:00 on the local time scale of a
// LogTimestamp.
std::int64_t local_ms_of(LogTimestamp timestamp) noexcept;

// Days since 1970-01-01 of a local time in seconds.
std::int64_t day_of(std::int64_t local_seconds) noexcept;

// "2026-12-07" for a day since 1970-01-01.
void append_date(TextBuffer& out, std::int64_t day);

// "2026-12-07T09:42:07.123+01:00": ISO 8601 local time with milliseconds and
// the UTC offset (whole minutes), kIsoTimeLength characters, written at
// `out`; returns the end.
constexpr std::size_t kIsoTimeLength = 29;
char* put_iso_time(char* out, std::int64_t local_ms, int offset_seconds) noexcept;
void append_iso_time(TextBuffer& out, std::int64_t local_ms, int offset_seconds);

// `value` in decimal digits (at most 20).
char* put_decimal(char* out, std::uint64_t value) noexcept;
void append_decimal(TextBuffer& out, std::uint64_t value);

// `text` as the body of a JSON string: quotes, backslashes and control
// characters escaped, each ill-formed UTF-8 sequence replaced by U+FFFD.
// Writes at most kMaxJsonEscape bytes per byte of `text` at `out`; returns
// the end.
constexpr std::size_t kMaxJsonEscape = 6;  // \u001f
char* put_json_escaped(char* out, std::string_view text) noexcept;

// Copies `text`, a literal, at `out`; returns the end.
template <std::size_t N>
char* put_text(char* out, const char (&text)[N]) noexcept {
  std::memcpy(out, text, N - 1);
  return out + N - 1;
}

}  // namespace core::logger::channels_detail

#endif  // CORE_LOGGER_CHANNELS_MESSAGE_TEXT_H_
