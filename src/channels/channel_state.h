// channels/channel_state.h: the state behind every channel object: its
// records, its lock, and the bookkeeping of errors and lost texts.
//
// Registered records cannot be removed, so their user data must outlive the
// object that handed them out: the object's destruction closes its state,
// which then drops what still reaches it and stays on a process-wide list
// until the process ends (reachable, so that leak checkers see no leak). A
// state whose records were never handed out is freed with its object.
//
// A channel is one class derived from ChannelState that says what it makes
// of a message (`encode`, outside the lock) and how it writes it
// (`write_locked`, under the lock); the base does the rest.
#ifndef CORE_LOGGER_CHANNELS_CHANNEL_STATE_H_
#define CORE_LOGGER_CHANNELS_CHANNEL_STATE_H_

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string_view>
#include <utility>

#include <fmt/format.h>

#include "channels/message.h"
#include "core/logger.h"

namespace core::logger::channels_detail {

using Clock = std::chrono::steady_clock;

// What threads that write one variable and read another on the same line
// keep apart, so that the reads do not miss.
constexpr std::size_t kCacheLine = 64;

// Where a channel encodes a message: on the stack, but for long messages.
using EncodeBuffer = fmt::basic_memory_buffer<char, 4096>;

// What became of one write: the system's error number of what failed (0:
// nothing; kHeldBack: nothing reached the system, so the current error
// stands), and how many texts were lost.
constexpr int kHeldBack = -1;
struct WriteResult {
  int error = 0;
  std::uint32_t lost = 0;
};

// The lock of a channel. The uncontended path takes and gives it back with
// one atomic instruction each, where a std::mutex costs two calls into the C
// library on every text; a thread that finds it held watches the word for
// about a microsecond (a text's copy holds it for less), then sleeps on it.
// A plain word, so that a crash handler may try it inside a signal handler.
// Meets Lockable.
class ChannelMutex {
 public:
  bool try_lock() noexcept {
    std::uint32_t free = kFree;
    return word_.compare_exchange_strong(free, kHeld, std::memory_order_acquire, std::memory_order_relaxed);
  }
  void lock() noexcept {
    if (!try_lock()) wait_and_lock();
  }
  void unlock() noexcept {
    if (word_.exchange(kFree, std::memory_order_release) == kSleepers) wake_sleeper();
  }

 private:
  static constexpr std::uint32_t kFree = 0;
  static constexpr std::uint32_t kHeld = 1;
  static constexpr std::uint32_t kSleepers = 2;  // held, and a thread may sleep on it

  void wait_and_lock() noexcept;
  void wake_sleeper() noexcept;

  std::atomic<std::uint32_t> word_{kFree};
};

// A channel's lock, held by the thread whose token it marks in `owner` (so
// that a crash on that thread never waits for it). A write may release it
// to hand its bytes to the system outside it: the mark goes before the lock
// does, and comes back after it.
class ChannelLock {
 public:
  // Adopts `mutex`, which the caller holds.
  ChannelLock(ChannelMutex& mutex, std::atomic<std::uintptr_t>& owner, std::uintptr_t token) noexcept
      : mutex_(mutex), owner_(owner), token_(token) {
    owner_.store(token_, std::memory_order_relaxed);
  }
  // Does not take `mutex` (yet).
  ChannelLock(ChannelMutex& mutex, std::atomic<std::uintptr_t>& owner, std::uintptr_t token,
              std::defer_lock_t) noexcept
      : mutex_(mutex), owner_(owner), token_(token), held_(false) {}
  ~ChannelLock() {
    if (held_) unlock();
  }
  ChannelLock(const ChannelLock&) = delete;
  ChannelLock& operator=(const ChannelLock&) = delete;

  void unlock() noexcept {
    owner_.store(0, std::memory_order_relaxed);
    held_ = false;
    mutex_.unlock();
  }
  void lock() noexcept {
    mutex_.lock();
    held_ = true;
    owner_.store(token_, std::memory_order_relaxed);
  }

 private:
  ChannelMutex& mutex_;
  std::atomic<std::uintptr_t>& owner_;
  const std::uintptr_t token_;
  bool held_ = true;
};

// Thread-safety: the records' callbacks and every public member may run on
// any thread at once; `mutex_` guards `open_` and whatever the derived
// classes say it guards; the counters are atomic.
class ChannelState {
 public:
  // What a channel takes from a call: the composed text (Texts), timed by
  // the call when the raw record is registered too (TimedTexts), or the
  // message's lines from the raw record and the composed text only without it
  // (Lines). All but Texts are registered with their raw record.
  enum class Input : std::uint8_t { Texts, TimedTexts, Lines };

  ChannelState(const ChannelState&) = delete;
  ChannelState& operator=(const ChannelState&) = delete;
  virtual ~ChannelState() = default;

  LogChannel record() noexcept { return LogChannel{name_, &on_text, share()}; }
  LogRawChannel raw_record() noexcept { return LogRawChannel{raw_name_, &on_raw_line, share()}; }
  bool takes_raw() const noexcept { return input_ != Input::Texts; }
  // True once: the one-call registration registers a state once.
  bool take_registration() noexcept { return !registered_.exchange(true); }

  void write(const LogLevel& level, std::string_view text);  // a text given by hand
  void flush();
  void close();  // flushes; later texts are dropped uncounted
  bool is_open() const;
  int error() const noexcept { return error_.load(std::memory_order_relaxed); }
  std::uint64_t dropped() const noexcept { return dropped_.load(std::memory_order_relaxed); }

  // At a crash, on the thread that reports it, maybe in a signal handler:
  // every kept state hands what it holds back to the system (crash_write_out
  // below), each lock waited for at most `wait` and never when this thread
  // holds it; the list's own lock too, which is passed by when it cannot be
  // had. Uses no heap.
  static void write_out_all_for_crash(Clock::duration wait) noexcept;

 protected:
  // `lock_timeout` zero: a delivery waits for the lock as long as it takes.
  // A channel whose options say how long a call may wait passes
  // `wait_at_most(send_timeout_ms)`.
  ChannelState(std::string_view name, std::string_view raw_name, Input input,
               Clock::duration lock_timeout = {}) noexcept
      : name_(name), raw_name_(raw_name), input_(input), lock_timeout_(lock_timeout) {}

  // The lock timeout of a channel that waits at most `milliseconds` for its
  // lock and its receiver: 0 waits not at all (and never for ever, which a
  // zero lock timeout would).
  static Clock::duration wait_at_most(std::uint32_t milliseconds) noexcept {
    return milliseconds != 0 ? Clock::duration(std::chrono::milliseconds(milliseconds)) : Clock::duration(1);
  }

  // What to write for `message`, made outside the lock, maybe in `scratch`.
  // May throw std::bad_alloc (the text is then lost and counted).
  virtual std::string_view encode(const Message& message, EncodeBuffer& scratch) {
    (void)scratch;
    return message.text;
  }
  // The members below run with mutex_ held; but for `saw_raw_line` and
  // `forget_in_child`, only while the state is open. `write_locked` writes one
  // encoded message before `deadline`, and may release `lock` to write
  // outside it (it then touches nothing that mutex_ guards unless it takes
  // the lock back); `close_locked` releases what the channel holds, after a
  // flush; `saw_raw_line` sees each raw piece of a TimedTexts channel that
  // sets sees_raw_lines_ (without the lock); `forget_in_child` drops, in the
  // child of a fork, what the parent holds back (and writes itself) or shares
  // with it (a connection).
  using Lock = ChannelLock;
  virtual WriteResult write_locked(const Message& message, std::string_view encoded,
                                   Clock::time_point deadline, Lock& lock) = 0;
  // Where the derived constructor sets free_writes_, tried before the lock
  // is taken: writes `encoded` without it and sets `result`, or returns
  // false (then write_locked follows). May take `lock` (not held); the
  // state may have been closed meanwhile, which must then have waited for
  // this write.
  virtual bool write_free(const Message& message, std::string_view encoded, Lock& lock, WriteResult* result) {
    (void)message, (void)encoded, (void)lock, (void)result;
    return false;
  }
  virtual WriteResult flush_locked() { return {kHeldBack, 0}; }
  virtual void close_locked() {}
  virtual bool is_open_locked() const { return true; }
  virtual void saw_raw_line(const Message& line) { (void)line; }
  virtual void forget_in_child() {}

  // At a crash, on the thread `self` that reports it, maybe in a signal
  // handler: no heap, no wait past `deadline`. `locked` (`lock` not null)
  // says whether `self` holds mutex_; when not, another thread held it past the wait, or `self`
  // holds it itself, interrupted inside a member above. `crash_write_out`
  // hands what is held back to the system (what a buffer must promise for
  // it: appending_file.h); `crash_write` takes the report, which it may write
  // without the lock (a torn text beats a lost one); by default it writes
  // with the lock only, else drops the text.
  virtual WriteResult crash_write_out(bool locked, std::uintptr_t self, Clock::time_point deadline) noexcept {
    (void)locked, (void)self, (void)deadline;
    return WriteResult{kHeldBack, 0};
  }
  virtual WriteResult crash_write(const Message& message, std::string_view encoded, Lock* lock,
                                  std::uintptr_t self, Clock::time_point deadline) {
    (void)self;
    return lock != nullptr ? write_locked(message, encoded, deadline, *lock) : WriteResult{ETIMEDOUT, 1};
  }

  // Counts what a write lost, and keeps or clears the error.
  void account(WriteResult result) noexcept;

 private:
  friend void add_to_kept(ChannelState* state);
  friend void retire(ChannelState* state) noexcept;

  static void on_text(void* user_data, const DispatchContext& context, const LogCategory& category,
                      const LogLevel& level, std::string_view text);
  static void on_raw_line(void* user_data, const DispatchContext& context, const LogCategory& category,
                          const LogLevel& level, LogTimestamp timestamp, std::string_view piece);
  void deliver(const Message& message) noexcept;
  void encode_and_deliver(const Message& message, Clock::time_point deadline) noexcept;
  void deliver_encoded(const Message& message, std::string_view encoded, Clock::time_point deadline) noexcept;
  void deliver_for_crash(const Message& message, std::string_view encoded, std::uintptr_t self);
  void write_out_for_crash(std::uintptr_t self, Clock::duration wait) noexcept;
  // Takes mutex_ for a crash on the thread `self`, unless `self` holds it
  // already or it cannot be had by `deadline`.
  bool lock_for_crash(std::uintptr_t self, Clock::time_point deadline);
  bool lock_until(Clock::time_point deadline);
  // A fork copies every lock as it stands, held by threads that the child
  // does not have: every state's lock is taken before and released after.
  static void before_fork() noexcept;
  static void after_fork_in_parent() noexcept { after_fork(false); }
  static void after_fork_in_child() noexcept { after_fork(true); }
  static void after_fork(bool child) noexcept;
  void* share() noexcept {
    shared_.store(true, std::memory_order_relaxed);
    return this;
  }

  // Read by every delivery, written seldom: kept off the line that the lock
  // moves from core to core, so that each thread's cache keeps a copy.
  const std::string_view name_;
  const std::string_view raw_name_;
  const Input input_;
  const Clock::duration lock_timeout_;
  std::atomic<bool> shared_{false};
  std::atomic<bool> registered_{false};
  std::atomic<int> error_{0};  // stored only when it changes (account)
  std::atomic<std::uint64_t> dropped_{0};

 protected:
  // Set by the derived constructor: the text goes as it is (`encode` is
  // not called); `saw_raw_line` is called; `write_free` is called.
  bool plain_text_ = false;
  bool sees_raw_lines_ = false;
  bool free_writes_ = false;

  // Written by every delivery: the lock and what goes with it share one
  // line, and what the derived classes declare starts on the next.
  alignas(kCacheLine) mutable ChannelMutex mutex_;
  bool open_ = true;  // guarded by mutex_

 private:
  // The thread token (crash_platform::thread_token) of the holder of mutex_
  // in a delivery, flush or close, else 0: a crash on that thread must not
  // wait for it.
  std::atomic<std::uintptr_t> owner_{0};
  [[maybe_unused]] alignas(kCacheLine) char end_of_lock_line_ = 0;
};

// Adds `state`, made with new, to the process-wide list; deletes it and
// rethrows when the list cannot grow.
void add_to_kept(ChannelState* state);
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
