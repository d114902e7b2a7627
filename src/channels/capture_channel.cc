// The capture channel: copies of everything delivered, kept under one lock.
#include "core/channels.h"

#include <mutex>
#include <string>
#include <vector>

#include "channels/channel_state.h"

namespace core::logger {

// Thread-safety: every member below `mutex` is guarded by it.
struct CaptureChannel::State : channels_detail::KeptState {
  // The timestamp of a call whose raw lines have arrived and whose text has
  // not yet. A call hands the same DispatchContext to all its callbacks, on
  // its own thread, raw lines first; the context's address tells calls apart
  // while they run, since each lives on its caller's stack.
  struct PendingTimestamp {
    const DispatchContext* context;
    LogTimestamp timestamp;
  };

  // Copying may run out of memory; the copy is then dropped.
  static void on_text(void* user_data, const DispatchContext& context, const LogCategory& category,
                      const LogLevel& level, std::string_view text) {
    channels_detail::delivered([&] { record_text(user_data, context, category, level, text); });
  }
  static void on_raw_line(void* user_data, const DispatchContext& context, const LogCategory& category,
                          const LogLevel& level, LogTimestamp timestamp, std::string_view line) {
    channels_detail::delivered([&] { record_line(user_data, context, category, level, timestamp, line); });
  }
  static void record_text(void* user_data, const DispatchContext& context, const LogCategory& category,
                          const LogLevel& level, std::string_view text);
  static void record_line(void* user_data, const DispatchContext& context, const LogCategory& category,
                          const LogLevel& level, LogTimestamp timestamp, std::string_view line);

  std::mutex mutex;
  bool open = true;
  std::vector<CapturedText> texts;
  std::vector<CapturedLine> lines;
  std::vector<PendingTimestamp> pending;
};

namespace {

constexpr std::size_t kMaxPendingTimestamps = 64;

std::string copy_of(std::string_view view) { return std::string(view.data(), view.size()); }

}  // namespace

void CaptureChannel::State::record_text(void* user_data, const DispatchContext& context,
                                        const LogCategory& category, const LogLevel& level,
                                        std::string_view text) {
  if (!text.empty() && text.back() == '\0') text.remove_suffix(1);
  CapturedText captured{copy_of(text),
                        copy_of(category.key.name),
                        category.key.id,
                        copy_of(level.name),
                        level.value,
                        copy_of(context.location.function),
                        copy_of(context.location.file),
                        context.location.line,
                        context.continuation,
                        context.with_function,
                        context.with_file_line,
                        context.channel_defined,
                        LogTimestamp{0}};
  auto* state = static_cast<State*>(user_data);
  std::lock_guard<std::mutex> lock(state->mutex);
  if (!state->open) return;
  for (auto it = state->pending.begin(); it != state->pending.end(); ++it) {
    if (it->context == &context) {
      captured.timestamp = it->timestamp;
      state->pending.erase(it);
      break;
    }
  }
  state->texts.push_back(std::move(captured));
}

void CaptureChannel::State::record_line(void* user_data, const DispatchContext& context,
                                        const LogCategory& category, const LogLevel& level,
                                        LogTimestamp timestamp, std::string_view line) {
  CapturedLine captured{copy_of(line),   copy_of(category.key.name),
                        category.key.id, copy_of(level.name),
                        level.value,     timestamp};
  auto* state = static_cast<State*>(user_data);
  std::lock_guard<std::mutex> lock(state->mutex);
  if (!state->open) return;
  state->lines.push_back(std::move(captured));
  for (PendingTimestamp& pending : state->pending) {
    if (pending.context == &context) {
      pending.timestamp = timestamp;
      return;
    }
  }
  // Without the ordinary channel no text ever claims a timestamp; a few
  // pending calls per thread is all a registered one leaves behind.
  if (state->pending.size() == kMaxPendingTimestamps) state->pending.erase(state->pending.begin());
  state->pending.push_back({&context, timestamp});
}

CaptureChannel::CaptureChannel() : state_(channels_detail::make_kept<State>()) {}

CaptureChannel::~CaptureChannel() {
  close();
  channels_detail::retire(state_);
}

LogChannel CaptureChannel::channel() noexcept {
  return LogChannel{"capture", &State::on_text, state_->share()};
}

LogRawChannel CaptureChannel::raw_channel() noexcept {
  return LogRawChannel{"capture-raw", &State::on_raw_line, state_->share()};
}

std::vector<CapturedText> CaptureChannel::texts() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->texts;
}

std::vector<CapturedLine> CaptureChannel::lines() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->lines;
}

std::vector<std::string> CaptureChannel::text_strings() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  std::vector<std::string> strings;
  strings.reserve(state_->texts.size());
  for (const CapturedText& captured : state_->texts) strings.push_back(captured.text);
  return strings;
}

void CaptureChannel::clear() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->texts.clear();
  state_->lines.clear();
  state_->pending.clear();
}

void CaptureChannel::flush() {}

void CaptureChannel::close() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->open = false;
  // Released, not just cleared: the state stays until the process ends.
  std::vector<CapturedText>().swap(state_->texts);
  std::vector<CapturedLine>().swap(state_->lines);
  std::vector<State::PendingTimestamp>().swap(state_->pending);
}

bool CaptureChannel::is_open() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->open;
}

int CaptureChannel::error() const { return 0; }

}  // namespace core::logger
