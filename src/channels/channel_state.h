// channels/channel_state.h: what the state behind every channel object
// shares: its records, its lock, its open flag, and the bookkeeping of errors
// and lost texts.
//
// The core library keeps every registered record until it unloads, and
// channels cannot be removed, so a record's user data must stay valid after
// the object that handed it out is gone. A channel object therefore keeps its
// working state in a ChannelState: the object's destruction closes the state,
// which then drops what still reaches it, and the state itself stays on a
// process-wide list until the process ends (reachable, so that leak checkers
// see no leak). A state whose records were never handed out is freed with
// its object.
//
// A channel is one class derived from ChannelState that says what it makes
// of a message (`encode`, outside the lock) and how it writes it
// (`write_locked`, under the lock); the base does the rest.
#ifndef CORE_LOGGER_CHANNELS_CHANNEL_STATE_H_
#define CORE_LOGGER_CHANNELS_CHANNEL_STATE_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string_view>
#include <utility>

#include <fmt/format.h>

#include "channels/message.h"
#include "core/logger.h"

namespace core::logger::channels_detail {

using Clock = std::chrono::steady_clock;

// Where a channel encodes a message: on the stack for every message of
// common size.
using EncodeBuffer = fmt::basic_memory_buffer<char, 4096>;

// What became of one write: the system's error number of what failed (0:
// nothing; kHeldBack: nothing reached the system, so the error of the
// current failure stands), and how many texts were lost with it.
constexpr int kHeldBack = -1;
struct WriteResult {
  int error = 0;
  std::uint32_t lost = 0;
};

// Thread-safety: the records' callbacks and every public member may run on
// any thread at once; `mutex_` guards `open_` and whatever the derived
// classes say it guards; the counters are atomic.
class ChannelState {
 public:
  // What a channel takes from a call.
  //   Texts  the composed text, timed by the call when its raw record is
  //          registered too (the capture channel also keeps the raw lines)
  //   Lines  the message's lines from the raw record; the composed text only
  //          when the raw record is not registered
  enum class Input : std::uint8_t { Texts, Lines };

  ChannelState(const ChannelState&) = delete;
  ChannelState& operator=(const ChannelState&) = delete;
  virtual ~ChannelState() = default;

  LogChannel record() noexcept { return LogChannel{name_, &on_text, share()}; }
  LogRawChannel raw_record() noexcept { return LogRawChannel{raw_name_, &on_raw_line, share()}; }
  // Whether the one-call registration registers the raw record.
  bool takes_raw() const noexcept { return takes_raw_; }
  // True once: the one-call registration registers a state once.
  bool take_registration() noexcept { return !registered_.exchange(true); }

  // A text given by hand rather than by a log call.
  void write(const LogLevel& level, std::string_view text);
  void flush();
  // Flushes and closes for good; later texts are dropped uncounted.
  void close();
  bool is_open() const;
  int error() const noexcept { return error_.load(std::memory_order_relaxed); }
  std::uint64_t dropped() const noexcept { return dropped_.load(std::memory_order_relaxed); }

 protected:
  // `lock_timeout` zero: a delivery waits for the lock as long as it takes.
  ChannelState(std::string_view name, std::string_view raw_name, Input input, bool takes_raw,
               Clock::duration lock_timeout = {}) noexcept
      : name_(name), raw_name_(raw_name), input_(input), takes_raw_(takes_raw), lock_timeout_(lock_timeout) {}

  // What to write for `message`; runs outside the lock and may use
  // `scratch`. May throw std::bad_alloc (the text is then lost and counted).
  virtual std::string_view encode(const Message& message, EncodeBuffer& scratch) {
    (void)scratch;
    return message.text;
  }
  // Writes one encoded message before `deadline`. REQUIRES: mutex_ is held
  // and the state is open.
  virtual WriteResult write_locked(const Message& message, std::string_view encoded,
                                   Clock::time_point deadline) = 0;
  // REQUIRES: mutex_ is held and the state is open.
  virtual WriteResult flush_locked() { return {}; }
  // Releases what the channel holds (after a flush). REQUIRES: mutex_ is held.
  virtual void close_locked() {}
  // Whether what the channel writes to is there. REQUIRES: mutex_ is held.
  virtual bool is_open_locked() const { return true; }
  // One raw piece, for a channel that keeps them.
  virtual void saw_raw_line(const Message& line) { (void)line; }

  // Counts what a write lost, and keeps or clears the error.
  void account(WriteResult result) noexcept;

  mutable std::mutex mutex_;
  bool open_ = true;  // guarded by mutex_

 private:
  friend void retire(ChannelState* state) noexcept;

  static void on_text(void* user_data, const DispatchContext& context, const LogCategory& category,
                      const LogLevel& level, std::string_view text);
  static void on_raw_line(void* user_data, const DispatchContext& context, const LogCategory& category,
                          const LogLevel& level, LogTimestamp timestamp, std::string_view piece);
  void deliver(const Message& message) noexcept;
  bool lock_until(Clock::time_point deadline);
  void* share() noexcept {
    shared_.store(true, std::memory_order_relaxed);
    return this;
  }

  const std::string_view name_;
  const std::string_view raw_name_;
  const Input input_;
  const bool takes_raw_;
  const Clock::duration lock_timeout_;
  std::atomic<bool> shared_{false};
  std::atomic<bool> registered_{false};
  std::atomic<int> error_{0};
  std::atomic<std::uint64_t> dropped_{0};
};

// Adds `state`, made with new, to the process-wide list; deletes it and
// rethrows when the list cannot grow.
void add_to_kept(ChannelState* state);

// A new State on the process-wide list.
template <typename State, typename... Args>
State* make_kept(Args&&... args) {
  State* state = new State(std::forward<Args>(args)...);
  add_to_kept(state);
  return state;
}

// What a channel object's destructor does with its state: closes it, then
// frees it when no record was handed out, else leaves it on the list.
void retire(ChannelState* state) noexcept;

}  // namespace core::logger::channels_detail

#endif  // CORE_LOGGER_CHANNELS_CHANNEL_STATE_H_
