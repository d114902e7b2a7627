// The capture channel: copies of everything delivered, kept under one lock.
#include "core/channels.h"

#include <string>
#include <vector>

#include "channels/channel_state.h"

namespace core::logger {
namespace {

std::string copy_of(std::string_view view) { return std::string(view.data(), view.size()); }

// Thread-safety: the members below are guarded by the state's lock.
class CaptureState final : public channels_detail::ChannelState {
 public:
  CaptureState() : ChannelState("capture", "capture-raw", Input::TimedTexts) { sees_raw_lines_ = true; }

  template <typename Read>
  auto read(Read read) const {
    std::lock_guard<channels_detail::ChannelMutex> lock(mutex_);
    return read(texts_, lines_);
  }
  void clear() {
    std::lock_guard<channels_detail::ChannelMutex> lock(mutex_);
    texts_.clear();
    lines_.clear();
  }

 private:
  channels_detail::WriteResult write_locked(const channels_detail::Message& message, std::string_view,
                                            channels_detail::Clock::time_point, Lock&) override {
    const DispatchContext context = message.context != nullptr ? *message.context : DispatchContext{};
    const LogCategory category = message.category != nullptr ? *message.category : LogCategory{};
    texts_.push_back(CapturedText{
        copy_of(message.text), copy_of(category.key.name), category.key.id, copy_of(message.level->name),
        message.level->value, copy_of(context.location.function), copy_of(context.location.file),
        context.location.line, context.continuation, context.with_function, context.with_file_line,
        context.channel_defined, message.from_call ? message.timestamp : LogTimestamp{0}});
    return channels_detail::WriteResult{};
  }

  void saw_raw_line(const channels_detail::Message& line) override {
    CapturedLine captured{copy_of(line.text),    copy_of(line.category->key.name),
                          line.category->key.id, copy_of(line.level->name),
                          line.level->value,     line.timestamp};
    std::lock_guard<channels_detail::ChannelMutex> lock(mutex_);
    if (open_) lines_.push_back(std::move(captured));
  }

  void close_locked() override {
    // Released, not just cleared: the state stays until the process ends.
    std::vector<CapturedText>().swap(texts_);
    std::vector<CapturedLine>().swap(lines_);
  }

  std::vector<CapturedText> texts_;
  std::vector<CapturedLine> lines_;
};

const CaptureState* capture_of(channels_detail::ChannelState* state) {
  return static_cast<CaptureState*>(state);
}

}  // namespace

CaptureChannel::CaptureChannel() : ChannelObject(channels_detail::make_kept<CaptureState>()) {}

std::vector<CapturedText> CaptureChannel::texts() const {
  if (state() == nullptr) return {};
  return capture_of(state())->read([](const auto& texts, const auto&) { return texts; });
}

std::vector<CapturedLine> CaptureChannel::lines() const {
  if (state() == nullptr) return {};
  return capture_of(state())->read([](const auto&, const auto& lines) { return lines; });
}

std::vector<std::string> CaptureChannel::text_strings() const {
  if (state() == nullptr) return {};
  return capture_of(state())->read([](const std::vector<CapturedText>& texts, const auto&) {
    std::vector<std::string> strings;
    strings.reserve(texts.size());
    for (const CapturedText& captured : texts) strings.push_back(captured.text);
    return strings;
  });
}

void CaptureChannel::clear() {
  if (state() != nullptr) static_cast<CaptureState*>(state())->clear();
}

}  // namespace core::logger
