#include "channels/message.h"

#include "channels/local_time.h"

namespace core::logger::channels_detail {
namespace {

// A call whose pieces are under way on this thread. A few of them, since a
// channel may log from its callback between two pieces of another call.
// Trivially destructible, so that it never keeps the library loaded.
struct OpenCall {
  const DispatchContext* context;
  std::uint64_t ticks;
  const char* begin;
  const char* end;
};
constexpr int kOpenCalls = 4;
thread_local OpenCall t_open_calls[kOpenCalls];
thread_local int t_next_open_call;
thread_local OpenCall t_last_call;

}  // namespace

bool has_raw_record(const DispatchContext& context, LogRawChannelCallback callback,
                    const void* user_data) noexcept {
  for (std::uint32_t i = 0; i < context.raw_channel_count; ++i) {
    const LogRawChannel& record = context.raw_channels[i];
    if (record.callback == callback && record.user_data == user_data) return true;
  }
  return false;
}

bool gather_piece(const DispatchContext& context, LogTimestamp timestamp, std::string_view piece,
                  std::string_view* message) noexcept {
  t_last_call.context = &context;
  t_last_call.ticks = timestamp.ticks;
  const char* const begin = piece.data();
  const char* const end = begin + piece.size();
  const bool last = piece.empty() || piece.back() != '\n';
  OpenCall* call = nullptr;
  for (OpenCall& open : t_open_calls) {
    if (open.context == &context && open.ticks == timestamp.ticks) call = &open;
  }
  if (call == nullptr) {
    if (last) {  // a message of one line: the common case
      *message = piece;
      return true;
    }
    call = &t_open_calls[t_next_open_call];
    t_next_open_call = (t_next_open_call + 1) % kOpenCalls;
    *call = OpenCall{&context, timestamp.ticks, begin, end};
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
  return true;
}

bool call_time(const DispatchContext& context, LogTimestamp* timestamp) noexcept {
  if (t_last_call.context != &context) return false;
  *timestamp = LogTimestamp{t_last_call.ticks};
  return true;
}

Message make_message(const DispatchContext* context, const LogCategory* category, const LogLevel& level,
                     const LogTimestamp* timestamp, std::string_view text) noexcept {
  int offset = 0;
  const LogTimestamp now = local_time_now(&offset);
  return Message{
      context, category, &level, timestamp != nullptr ? *timestamp : now, offset, timestamp != nullptr, text};
}

}  // namespace core::logger::channels_detail
