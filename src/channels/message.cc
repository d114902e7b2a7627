#include "channels/message.h"

#include "channels/local_time.h"

namespace core::logger::channels_detail {
namespace {

// A call whose pieces this thread has seen, and where they lie.
struct SeenCall {
  const DispatchContext* context;
  std::uint64_t ticks;
  const char* begin;
  const char* end;

  bool is(const DispatchContext& other, LogTimestamp timestamp) const noexcept {
    return context == &other && ticks == timestamp.ticks;
  }
};

// One per thread, read once per callback. Multi-line calls under way are a
// few: a channel may log from its callback between two pieces of another
// call. Trivially destructible, so that it never keeps the library loaded.
struct ThreadCalls {
  SeenCall last;  // the call of the latest piece (begin and end unused)
  SeenCall done;  // the latest multi-line call whose last piece came
  SeenCall open[4];
  int open_count;  // of open[] entries in use
};
thread_local ThreadCalls t_calls;

}  // namespace

[[gnu::hot]] bool has_raw_record(const DispatchContext& context, LogRawChannelCallback callback,
                                 const void* user_data) noexcept {
  for (std::uint32_t i = 0; i < context.raw_channel_count; ++i) {
    const LogRawChannel& record = context.raw_channels[i];
    if (record.callback == callback && record.user_data == user_data) return true;
  }
  return false;
}

[[gnu::hot]] void note_call_time(const DispatchContext& context, LogTimestamp timestamp) noexcept {
  t_calls.last = SeenCall{&context, timestamp.ticks, nullptr, nullptr};
}

bool gather_piece(const DispatchContext& context, LogTimestamp timestamp, std::string_view piece,
                  std::string_view* message) noexcept {
  ThreadCalls& calls = t_calls;
  calls.last = SeenCall{&context, timestamp.ticks, nullptr, nullptr};
  const char* const begin = piece.data();
  const char* const end = begin + piece.size();
  const bool last = piece.empty() || piece.back() != '\n';
  SeenCall* call = nullptr;
  if (calls.open_count != 0) {
    for (SeenCall& open : calls.open) {
      if (open.is(context, timestamp)) call = &open;
    }
  }
  if (call == nullptr) {
    if (last) {  // one line, or the last piece of a call another channel has joined
      const bool joined =
          calls.done.is(context, timestamp) && begin >= calls.done.begin && end == calls.done.end;
      *message = joined ? std::string_view(calls.done.begin, static_cast<std::size_t>(end - calls.done.begin))
                        : piece;
      return true;
    }
    for (SeenCall& open : calls.open) {
      if (open.context == nullptr || calls.open_count == 4) call = &open;
    }
    calls.open_count += call->context == nullptr ? 1 : 0;
    *call = SeenCall{&context, timestamp.ticks, begin, end};
    return false;
  }
  if (begin == call->end) {
    call->end = end;  // the next piece
  } else if (begin < call->begin || end > call->end) {
    call->begin = begin;  // not the piece another channel saw: not joinable
    call->end = end;
  }
  if (!last) return false;
  *message = std::string_view(call->begin, static_cast<std::size_t>(end - call->begin));
  calls.done = *call;
  call->context = nullptr;
  --calls.open_count;
  return true;
}

[[gnu::hot]] bool call_time(const DispatchContext& context, LogTimestamp* timestamp) noexcept {
  const SeenCall& last = t_calls.last;
  if (last.context != &context) return false;
  *timestamp = LogTimestamp{last.ticks};
  return true;
}

[[gnu::hot]] Message make_message(const DispatchContext* context, const LogCategory* category,
                                  const LogLevel& level, const LogTimestamp* timestamp, bool with_offset,
                                  std::string_view text) noexcept {
  Message message{context, category, &level, LogTimestamp{}, 0, timestamp != nullptr, text};
  if (timestamp == nullptr) {
    message.timestamp = local_time_now(&message.utc_offset);
  } else {
    message.timestamp = *timestamp;
    if (with_offset) message.utc_offset = utc_offset_of(*timestamp);
  }
  return message;
}

}  // namespace core::logger::channels_detail
