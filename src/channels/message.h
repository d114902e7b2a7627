// channels/message.h: one call as a channel sees it. A call reaches a
// channel through its raw record (each line of the message with the call's
// time, all before any ordinary text) and its ordinary record (the composed
// text). The functions here make one Message of that: the message's lines
// and the call's time when the raw record is registered, the composed text
// timed at delivery when not. They keep what they need per thread, take no
// lock and allocate nothing.
#ifndef CORE_LOGGER_CHANNELS_MESSAGE_H_
#define CORE_LOGGER_CHANNELS_MESSAGE_H_

#include <cstdint>
#include <string_view>

#include "core/logger.h"

namespace core::logger::channels_detail {

struct Message {
  const DispatchContext* context;  // null for a text given to write()
  const LogCategory* category;     // null for a text given to write()
  const LogLevel* level;
  LogTimestamp timestamp;  // local time: the call's, or the delivery's
  int utc_offset;          // seconds east of UTC, at delivery
  bool from_call;          // whether `timestamp` is the call's own
  std::string_view text;   // the message's lines, or a composed text without its NUL
};

// Whether the call's raw span holds the record (`callback`, `user_data`).
bool has_raw_record(const DispatchContext& context, LogRawChannelCallback callback,
                    const void* user_data) noexcept;

// Takes one raw piece of a call; true when it is the call's last, with
// `*message` viewing the whole message. The pieces of a call follow one
// another in the composer's buffer, valid until the call returns, so they are
// joined without a copy; pieces that do not (handed over by hand) start a
// message afresh. Also notes the call's time for `call_time`.
bool gather_piece(const DispatchContext& context, LogTimestamp timestamp, std::string_view piece,
                  std::string_view* message) noexcept;

// Notes the time of a call whose raw piece this thread sees, for
// `call_time`, as `gather_piece` does.
void note_call_time(const DispatchContext& context, LogTimestamp timestamp) noexcept;

// The timestamp of the call whose raw pieces this thread saw last, when
// `context` is that call's.
bool call_time(const DispatchContext& context, LogTimestamp* timestamp) noexcept;

// `text` without the closing NUL of an ordinary text.
inline std::string_view without_nul(std::string_view text) noexcept {
  if (!text.empty() && text.back() == '\0') text.remove_suffix(1);
  return text;
}

// A message of `text`, timed by the call's `timestamp` or, when null, now;
// the UTC offset is read only when null or `with_offset`.
Message make_message(const DispatchContext* context, const LogCategory* category, const LogLevel& level,
                     const LogTimestamp* timestamp, bool with_offset, std::string_view text) noexcept;

}  // namespace core::logger::channels_detail

#endif  // CORE_LOGGER_CHANNELS_MESSAGE_H_
