#include "channels/channel_state.h"

#include <algorithm>
#include <cerrno>
#include <thread>
#include <vector>

#include "channels/channels_platform.h"
#include "channels/crash_handler.h"
#include "core/channels.h"

namespace core::logger {
namespace channels_detail {
namespace {

// How often a thread looks whether a channel's lock came free before it
// sleeps (about a microsecond).
constexpr int kLockSpins = 100;

// Neither is ever destroyed: a record may reach its state from a static
// destructor that runs after this library's own.
std::mutex g_kept_mutex;
std::vector<ChannelState*>* g_kept = nullptr;  // guarded by g_kept_mutex

// What a thread got at its first delivery: its token, and what the crash
// handler wanted of it then (0: nothing yet), so that each delivery costs
// one comparison and a thread that started before the handler was installed
// gets its alternate stack at its next delivery.
struct ThreadMark {
  std::uint8_t crash_setup = 0;
  std::uintptr_t token = 0;
};
thread_local ThreadMark t_mark;

// The calling thread's token, read once per delivery (each read of a
// thread_local costs a call in a shared library).
std::uintptr_t this_thread_token() noexcept {
  ThreadMark& mark = t_mark;
  const std::uint8_t wanted = crash_detail::thread_setup_wanted();
  if (mark.crash_setup != wanted) {
    crash_detail::prepare_thread(wanted);
    mark = ThreadMark{wanted, crash_platform::thread_token()};
  }
  return mark.token;
}

}  // namespace

void ChannelMutex::wait_and_lock() noexcept {
  for (int spin = 0; spin < kLockSpins; ++spin) {
    channels_platform::relax_processor();
    // Reads leave the line shared with the holder until the word changes.
    if (word_.load(std::memory_order_relaxed) == kFree && try_lock()) return;
  }
  // From here on the word says that a thread may sleep, so that the holder's
  // unlock wakes one: a thread that takes the lock this way leaves it so.
  while (word_.exchange(kSleepers, std::memory_order_acquire) != kFree) {
    channels_platform::wait_while(word_, kSleepers);
  }
}

void ChannelMutex::wake_sleeper() noexcept { channels_platform::wake_one(word_); }

[[gnu::hot]] void ChannelState::on_text(void* user_data, const DispatchContext& context,
                                        const LogCategory& category, const LogLevel& level,
                                        std::string_view text) {
  auto* state = static_cast<ChannelState*>(user_data);
  const bool raw_seen = has_raw_record(context, &on_raw_line, state);
  if (raw_seen && state->input_ == Input::Lines) return;  // written from the call's lines
  text = without_nul(text);
  if (state->input_ == Input::Lines && !text.empty() && text.back() == '\n') text.remove_suffix(1);
  LogTimestamp call{};
  const bool timed = raw_seen && call_time(context, &call);
  state->deliver(make_message(&context, &category, level, timed ? &call : nullptr, false, text));
}

[[gnu::hot]] void ChannelState::on_raw_line(void* user_data, const DispatchContext& context,
                                            const LogCategory& category, const LogLevel& level,
                                            LogTimestamp timestamp, std::string_view piece) {
  auto* state = static_cast<ChannelState*>(user_data);
  std::string_view message;
  if (state->input_ != Input::Lines) {
    note_call_time(context, timestamp);
    if (state->sees_raw_lines_)
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

[[gnu::hot]] void ChannelState::deliver(const Message& message) noexcept {
  const Clock::time_point deadline =
      lock_timeout_ == Clock::duration::zero() ? Clock::time_point::max() : Clock::now() + lock_timeout_;
  // A text that goes as it is needs no room to be encoded in.
  if (plain_text_) return deliver_encoded(message, message.text, deadline);
  encode_and_deliver(message, deadline);
}

// Apart from `deliver`, so that the room to encode in (4 KiB of stack) is in
// no frame of a plain text's delivery: below it, the lock and the write would
// touch a page of stack more on every call.
[[gnu::noinline]] void ChannelState::encode_and_deliver(const Message& message,
                                                        Clock::time_point deadline) noexcept {
  try {
    EncodeBuffer scratch;
    deliver_encoded(message, encode(message, scratch), deadline);
  } catch (...) {  // out of memory: the text is lost, the call goes on
    account(WriteResult{ENOMEM, 1});
  }
}

[[gnu::hot]] void ChannelState::deliver_encoded(const Message& message, std::string_view encoded,
                                                Clock::time_point deadline) noexcept {
  const std::uintptr_t self = this_thread_token();
  try {
    if (crash_detail::reporting_thread() == self) return deliver_for_crash(message, encoded, self);
    if (free_writes_) {
      ChannelLock lock(mutex_, owner_, self, std::defer_lock);
      WriteResult result;
      if (write_free(message, encoded, lock, &result)) return account(result);
    }
    if (lock_timeout_ == Clock::duration::zero()) {
      mutex_.lock();
    } else if (!lock_until(deadline)) {
      return account(WriteResult{ETIMEDOUT, 1});
    }
    ChannelLock lock(mutex_, owner_, self);
    if (open_) account(write_locked(message, encoded, deadline, lock));
  } catch (...) {  // out of memory: the text is lost, the call goes on
    account(WriteResult{ENOMEM, 1});
  }
}

// A crash report on its way: a lock is waited for only so long, and never
// one that this thread holds.
bool ChannelState::lock_for_crash(std::uintptr_t self, Clock::time_point deadline) {
  return owner_.load(std::memory_order_relaxed) != self && lock_until(deadline);
}

void ChannelState::deliver_for_crash(const Message& message, std::string_view encoded, std::uintptr_t self) {
  const Clock::time_point deadline = Clock::now() + crash_detail::kLockWait;
  if (!lock_for_crash(self, deadline)) {
    if (open_) account(crash_write(message, encoded, nullptr, self, deadline));
    return;
  }
  ChannelLock lock(mutex_, owner_, self);
  if (open_) account(crash_write(message, encoded, &lock, self, deadline));
}

void ChannelState::write_out_for_crash(std::uintptr_t self, Clock::duration wait) noexcept {
  const Clock::time_point deadline = Clock::now() + wait;
  if (!lock_for_crash(self, deadline)) {
    if (open_) account(crash_write_out(false, self, deadline));
    return;
  }
  const ChannelLock lock(mutex_, owner_, self);
  if (open_) account(crash_write_out(true, self, deadline));
}

void ChannelState::write_out_all_for_crash(Clock::duration wait) noexcept {
  const std::uintptr_t self = crash_platform::thread_token();
  // A list that cannot be had is read as it stands, as a last resort.
  const bool listed = [&] {
    const Clock::time_point deadline = Clock::now() + wait;
    while (!g_kept_mutex.try_lock()) {
      if (Clock::now() >= deadline) return false;
      std::this_thread::yield();
    }
    return true;
  }();
  if (g_kept != nullptr) {
    for (ChannelState* state : *g_kept) state->write_out_for_crash(self, wait);
  }
  if (listed) g_kept_mutex.unlock();
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
  // Stored only when it changes: every thread's delivery passes here, and a
  // store would take the line from the other cores each time.
  if (result.error != kHeldBack && error_.load(std::memory_order_relaxed) != result.error) {
    error_.store(result.error, std::memory_order_relaxed);
  }
}

void ChannelState::flush() {
  mutex_.lock();
  const ChannelLock lock(mutex_, owner_, crash_platform::thread_token());
  if (open_) account(flush_locked());
}

void ChannelState::close() {
  mutex_.lock();
  const ChannelLock lock(mutex_, owner_, crash_platform::thread_token());
  if (!open_) return;
  account(flush_locked());
  close_locked();
  open_ = false;
}

bool ChannelState::is_open() const {
  std::lock_guard<ChannelMutex> lock(mutex_);
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

struct ObjectAccess {
  static ChannelState* state(const ChannelObject& object) noexcept { return object.state_; }
};

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
  channels_detail::ChannelState* const state = channels_detail::ObjectAccess::state(object);
  if (state == nullptr || !state->take_registration()) return;
  if (state->takes_raw()) add_default_channel(state->raw_record());
  add_default_channel(state->record());
}

}  // namespace core::logger
