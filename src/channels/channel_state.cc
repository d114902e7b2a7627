#include "channels/channel_state.h"

#include <algorithm>
#include <cerrno>
#include <thread>
#include <vector>

#include "channels/channels_platform.h"
#include "core/channels.h"

namespace core::logger {
namespace channels_detail {
namespace {

// Neither is ever destroyed: a record may reach its state from a static
// destructor that runs after this library's own.
std::mutex g_kept_mutex;
std::vector<ChannelState*>* g_kept = nullptr;  // guarded by g_kept_mutex

}  // namespace

void ChannelState::on_text(void* user_data, const DispatchContext& context, const LogCategory& category,
                           const LogLevel& level, std::string_view text) {
  auto* state = static_cast<ChannelState*>(user_data);
  const bool raw_seen = has_raw_record(context, &on_raw_line, state);
  if (raw_seen && state->input_ == Input::Lines) return;  // written from the call's lines
  text = without_nul(text);
  if (state->input_ == Input::Lines && !text.empty() && text.back() == '\n') text.remove_suffix(1);
  LogTimestamp call{};
  const bool timed = raw_seen && call_time(context, &call);
  state->deliver(make_message(&context, &category, level, timed ? &call : nullptr, false, text));
}

void ChannelState::on_raw_line(void* user_data, const DispatchContext& context, const LogCategory& category,
                               const LogLevel& level, LogTimestamp timestamp, std::string_view piece) {
  auto* state = static_cast<ChannelState*>(user_data);
  std::string_view message;
  if (state->input_ != Input::Lines) {
    note_call_time(context, timestamp);
    state->saw_raw_line(Message{&context, &category, &level, timestamp, 0, true, piece});
  } else if (gather_piece(context, timestamp, piece, &message)) {
    state->deliver(make_message(&context, &category, level, &timestamp, true, message));
  }
}

void ChannelState::write(const LogLevel& level, std::string_view text) {
  text = without_nul(text);
  if (input_ == Input::Lines && !text.empty() && text.back() == '\n') text.remove_suffix(1);
  deliver(make_message(nullptr, nullptr, level, nullptr, false, text));
}

void ChannelState::deliver(const Message& message) noexcept {
  const Clock::time_point deadline =
      lock_timeout_ == Clock::duration::zero() ? Clock::time_point::max() : Clock::now() + lock_timeout_;
  try {
    EncodeBuffer scratch;
    const std::string_view encoded = encode(message, scratch);
    if (lock_timeout_ == Clock::duration::zero()) {
      mutex_.lock();
    } else if (!lock_until(deadline)) {
      return account(WriteResult{ETIMEDOUT, 1});
    }
    Lock lock(mutex_, std::adopt_lock);
    if (open_) account(write_locked(message, encoded, deadline, lock));
  } catch (...) {  // out of memory: the text is lost, the call goes on
    account(WriteResult{ENOMEM, 1});
  }
}

bool ChannelState::lock_until(Clock::time_point deadline) {
  // A timed mutex would do, but the thread sanitizer does not see its
  // locking by the steady clock and reports every unlock as a fault.
  for (int attempt = 0; !mutex_.try_lock(); ++attempt) {
    if (Clock::now() >= deadline) return false;
    if (attempt < 64) {
      std::this_thread::yield();
    } else {
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
  }
  return true;
}

void ChannelState::account(WriteResult result) noexcept {
  if (result.lost != 0) dropped_.fetch_add(result.lost, std::memory_order_relaxed);
  if (result.error != kHeldBack) error_.store(result.error, std::memory_order_relaxed);
}

void ChannelState::flush() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (open_) account(flush_locked());
}

void ChannelState::close() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!open_) return;
  account(flush_locked());
  close_locked();
  open_ = false;
}

bool ChannelState::is_open() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return open_ && is_open_locked();
}

void ChannelState::before_fork() noexcept {
  g_kept_mutex.lock();
  for (ChannelState* state : *g_kept) state->mutex_.lock();
}

void ChannelState::after_fork(bool child) noexcept {
  for (ChannelState* state : *g_kept) {
    if (child) state->forget_in_child();
    state->mutex_.unlock();
  }
  g_kept_mutex.unlock();
}

void add_to_kept(ChannelState* state) {
  std::lock_guard<std::mutex> lock(g_kept_mutex);
  try {
    if (g_kept == nullptr) {
      g_kept = new std::vector<ChannelState*>();
      channels_platform::at_fork(&ChannelState::before_fork, &ChannelState::after_fork_in_parent,
                                 &ChannelState::after_fork_in_child);
    }
    g_kept->push_back(state);
  } catch (...) {
    delete state;
    throw;
  }
}

void retire(ChannelState* state) noexcept {
  if (state == nullptr) return;
  state->close();
  if (state->shared_.load(std::memory_order_relaxed)) return;
  {
    std::lock_guard<std::mutex> lock(g_kept_mutex);
    g_kept->erase(std::find(g_kept->begin(), g_kept->end(), state));
  }
  delete state;
}

}  // namespace channels_detail

ChannelObject& ChannelObject::operator=(ChannelObject&& other) noexcept {
  if (this != &other) channels_detail::retire(std::exchange(state_, std::exchange(other.state_, nullptr)));
  return *this;
}

ChannelObject::~ChannelObject() { channels_detail::retire(state_); }

// A moved-from object has no state; its records have no callback.
LogChannel ChannelObject::channel() const noexcept { return state_ ? state_->record() : LogChannel{}; }
LogRawChannel ChannelObject::raw_channel() const noexcept {
  return state_ ? state_->raw_record() : LogRawChannel{};
}
void ChannelObject::write(const LogLevel& level, std::string_view text) const {
  if (state_) state_->write(level, text);
}
void ChannelObject::flush() {
  if (state_) state_->flush();
}
void ChannelObject::close() {
  if (state_) state_->close();
}
bool ChannelObject::is_open() const { return state_ && state_->is_open(); }
int ChannelObject::error() const { return state_ ? state_->error() : 0; }
std::uint64_t ChannelObject::dropped() const { return state_ ? state_->dropped() : 0; }

void add_default_channel(ChannelObject& object) {
  channels_detail::ChannelState* const state = object.state_;
  if (state == nullptr || !state->take_registration()) return;
  if (state->takes_raw()) add_default_channel(state->raw_record());
  add_default_channel(state->record());
}

}  // namespace core::logger
