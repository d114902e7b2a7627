// channels/appending_file.h: a file that takes whole texts at its end, held
// back in buffers as its flush policy says, and written outside its
// channel's lock. Each hand-over to the system is one write of whole texts,
// and a write that fails part-way is completed or undone, so that the file
// holds whole texts only. The file looks after itself once a second: it
// opens its name again when the file was removed or replaced there, and
// retries a name that could not be opened.
//
// Writes outside the lock. A text of EveryText, and a full buffer of the
// other policies, are written by the thread that brought them, after it has
// released the channel's lock; the order in which texts entered is kept:
//   - EveryText writes each text in one write on a descriptor opened with
//     O_APPEND, so that the texts of many threads reach the kernel at once.
//     Regular files on Linux take each write whole, under the inode's lock,
//     so texts never interleave; their order is the order of those writes.
//     A calm text (the day of the last one, no check due, room left) does
//     not take the lock at all: it enters the writes in flight and, when the
//     gate is open, writes (`append_free`). Where the platform cannot promise
//     whole appends (Windows, as Wine runs it), each text is written under
//     the lock.
//   - The other policies fill one of two buffers under the lock. The thread
//     that fills it, or whose text must go out at once, swaps in the other
//     and writes the full one outside the lock, while other threads copy
//     into the fresh one. Only one buffer is ever being written: a thread
//     that finds the other still being written waits for it (memory stays
//     bounded, nothing is dropped), so buffers reach the file in order.
// Whatever changes the file as a whole (a date line, a rotation, reopening,
// a check that reopens, flush, close) first waits, under the lock, for the
// writes in flight to end (`settle`), so that none of them is lost or lands
// on the wrong side of it. A write outside the lock that falls short is
// completed or undone under the lock once no other write is in flight.
//
// The gate of EveryText's lock-free texts is the calm window (`calm`): a
// text enters the flight, then reads the window, and writes only when its
// time lies in it and no torn write is pending. `settle` shuts the window
// before it waits, so a text that enters after it finds the window shut and
// takes the lock, and one that entered before is waited for; the window
// opens again only with the next write of the locked path, once all that
// the file holds (its handle, its size limit, a line feed owed) stands. So
// what a lock-free text reads never changes while it is in flight.
//
// At a crash the reporting thread writes the buffers out from a signal
// handler, with the channel's lock or without it (held too long by another
// thread, or by the crashing thread itself, interrupted). So that nothing
// held back is lost or written twice, whoever hands a buffer's bytes to the
// system claims that buffer first:
//   - a buffer's `writer` holds the writing thread's token (crash_platform)
//     from before its write until the write returned (or, for a write that
//     fell short, until it is settled), else 0; a writer hands over the
//     bytes from `written` to `used` and, holding the lock or the buffer
//     swapped out, empties the buffer, else only moves `written` past what
//     it wrote;
//   - a text enters a buffer before its `used` grows past it (release), so a
//     crash-time reader that sees `used` sees the text whole;
//   - a crash-time write-out never waits for a claim of its own thread (an
//     interrupted write, skipped), waits for another thread's claim (a
//     buffer being written outside the lock) until its deadline, never
//     writes a buffer that is still claimed then, and writes the buffer
//     swapped out before the one being filled;
//   - a writer with the lock waits for a crash-time claim to end;
//   - a text written straight to the file (EveryText, a text larger than the
//     buffer) is its writer's alone.
//
// Thread-safety: the members run with the channel's lock held, but for the
// crash-time ones; `append` may release it (see there).
#ifndef CORE_LOGGER_CHANNELS_APPENDING_FILE_H_
#define CORE_LOGGER_CHANNELS_APPENDING_FILE_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "calendar/civil_time.h"
#include "channels/channel_state.h"
#include "channels/channels_platform.h"
#include "core/channels.h"

namespace core::logger::channels_detail {

// The worse of two outcomes (an error before success before nothing
// written), with the texts both lost.
inline WriteResult worse(WriteResult a, WriteResult b) noexcept {
  return WriteResult{a.error > b.error ? a.error : b.error, a.lost + b.lost};
}

// In the ends of the pieces in a buffer, marks a piece that is not a text of
// its own (a date line).
constexpr std::uint32_t kUncounted = 0x8000'0000u;

class AppendingFile {
 public:
  using Lock = ChannelLock;

  // `buffer_size` is capped at 1 GiB.
  AppendingFile(FlushPolicy policy, std::uint32_t flush_level, std::size_t buffer_size);
  ~AppendingFile() { close(); }
  AppendingFile(const AppendingFile&) = delete;
  AppendingFile& operator=(const AppendingFile&) = delete;

  // Opens `path` for appending in place of the current file (what is held
  // back goes to the new one) and returns 0. On failure returns the system's
  // error number and keeps the current file; with none, the failure is said
  // once on the standard error, and `look_after` tries `path` again.
  int open(std::string path) noexcept;
  // Waits for the writes in flight, then closes the file.
  void close() noexcept;
  bool is_open() const noexcept { return file_ != channels_platform::kNoFile; }
  // The error of the open that failed while no file is open.
  int open_error() const noexcept { return open_error_; }
  // The name of the file, or of the one to open.
  const std::string& name() const noexcept { return name_; }
  // The file's size with what is held back or being written.
  std::uint64_t size() const noexcept { return size_.load(std::memory_order_relaxed); }

  // Whether texts of EveryText may be written without the lock.
  bool writes_free() const noexcept { return writes_free_; }
  // Whether a text at `ticks` needs none of the locked path's care: it lies
  // in the window of the last `set_calm`. The span first, so that without
  // the lock the start read is the one that the window was opened with.
  bool calm(std::uint64_t ticks) const noexcept {
    const std::uint64_t span = calm_span_.load(std::memory_order_acquire);
    return ticks - calm_from_.load(std::memory_order_relaxed) < span;
  }
  // The texts from `from` on for `span` ticks need no care from now on; for
  // texts without the lock, from the next write of the locked path on.
  void set_calm(std::uint64_t from, std::uint64_t span) noexcept;
  // Shuts the calm window: the next text takes the locked path. Where texts
  // go without the lock, also waits for those in flight.
  void hold_off() noexcept;
  // Appends `text` (a counted text of EveryText at `ticks`, not empty)
  // without the lock when the gate lets it: it is calm, nothing torn is
  // pending, and it keeps the file within `max_bytes`. Returns false when it
  // did not; else sets `result`. Takes `lock` (not held) only to settle a
  // write that fell short. REQUIRES: writes_free().
  bool append_free(std::uint64_t ticks, std::string_view text, std::uint64_t max_bytes, Lock& lock,
                   WriteResult* result) noexcept;

  // Counts the second of look_after from `ticks`; the ticks from
  // `checked_from()` on for two seconds are those of no check.
  void checked_at(std::uint64_t ticks) noexcept { checked_from_ = ticks - calendar::kTicksPerSecond; }
  std::uint64_t checked_from() const noexcept { return checked_from_; }
  // Once a second of the texts' local times (`ticks`), and at once when they
  // go back by more than a second: opens the name afresh when the file was
  // moved away (what is held back goes to the old file first) or removed
  // (to the new one; when that cannot be opened, it is lost), and retries a
  // name that could not be opened. Costs no system call in between.
  WriteResult look_after(std::uint64_t ticks) noexcept {
    if (ticks - checked_from_ < 2 * calendar::kTicksPerSecond) return WriteResult{kHeldBack, 0};
    return check(ticks);
  }

  // Appends one whole text (`counted`: a text of its own, lost if it cannot
  // be written), and hands what is held back to the system when the policy
  // says so for a text of `level_value`. A counted text may be written
  // outside the lock: then `lock` is released before the write, and taken
  // back only when the write fell short; the caller touches nothing that the
  // lock guards afterwards. REQUIRES: `lock` holds the channel's lock; the
  // file is open; `text` is not empty.
  WriteResult append(std::string_view text, std::uint32_t level_value, Lock& lock,
                     bool counted = true) noexcept {
    Buffer& filling = *filling_.load(std::memory_order_relaxed);
    if (level_value < flush_from_ && has_room(filling, text.size())) {
      // Never a text of EveryText: no other thread adds to the size now.
      size_.store(size() + text.size(), std::memory_order_relaxed);
      hold(filling, text, counted);
      return WriteResult{kHeldBack, 0};
    }
    return append_and_write(text, level_value, lock, counted);
  }

  // Hands what is held back to the system, after the writes in flight, in
  // order; returns once it is written. The lock stays held.
  WriteResult write_out() noexcept;

  // In the child of a fork, which has none of its parent's other threads:
  // no write is in flight, and what the parent holds back (and writes
  // itself) is dropped.
  void forget() noexcept;

  // At a crash, on the thread `self`, with the lock or not (`locked`): hands
  // what is held back to the system as the rules above say, the buffer
  // swapped out first. Waits for no write outside the lock past `deadline`.
  // Crash-safe.
  WriteResult write_out_for_crash(bool locked, std::uintptr_t self, Clock::time_point deadline) noexcept;
  // Writes `text` past the buffers, straight to the file, under the lock or
  // at a crash; waits for no write in flight. REQUIRES: the file is open.
  WriteResult write_through(std::string_view text) noexcept {
    size_.fetch_add(text.size(), std::memory_order_relaxed);
    return write_whole(Piece{text.data(), text.size(), nullptr, 1, true, 0});
  }

 private:
  // Whole texts and date lines, each ending where `ends` says.
  struct Buffer {
    std::unique_ptr<char[]> data;
    std::unique_ptr<std::uint32_t[]> ends;
    std::atomic<std::uint32_t> used{0};
    std::atomic<std::uintptr_t> writer{0};  // the thread that writes the buffer out
    std::uint32_t written = 0;              // guarded by the claim (writer)
    std::uint32_t pieces = 0;
    std::uint32_t texts = 0;  // pieces but date lines
    // When it became the buffer being filled, counted in swaps (0: never);
    // set under the lock, read at a crash without it.
    std::atomic<std::uint64_t> entered{0};
  };
  // What a write hands to the system: the bytes from `from` to `size` of
  // pieces ending at `ends` (null: one piece, a text when `counted`); those
  // before `from` were written at a crash.
  struct Piece {
    const char* data;
    std::size_t size;
    const std::uint32_t* ends;
    std::uint32_t pieces;
    bool counted;
    std::size_t from;
  };
  struct Torn;

  // Whether `buffer` takes `size` more bytes as a piece of its own.
  bool has_room(const Buffer& buffer, std::size_t size) const noexcept {
    return size <= buffer_size_ - buffer.used.load(std::memory_order_relaxed) && buffer.pieces < max_pieces_;
  }
  // Copies a text that has room into `buffer`.
  static void hold(Buffer& buffer, std::string_view text, bool counted) noexcept {
    const std::uint32_t used = buffer.used.load(std::memory_order_relaxed);
    std::memcpy(buffer.data.get() + used, text.data(), text.size());
    const std::uint32_t end = used + static_cast<std::uint32_t>(text.size());
    buffer.used.store(end, std::memory_order_release);
    buffer.ends[buffer.pieces++] = end | (counted ? 0 : kUncounted);
    buffer.texts += counted ? 1 : 0;
  }
  static Piece piece_of(const Buffer& buffer) noexcept {
    return Piece{buffer.data.get(),
                 buffer.used.load(std::memory_order_relaxed),
                 buffer.ends.get(),
                 buffer.pieces,
                 true,
                 buffer.written};
  }
  // Takes `buffer` for this thread once no crash-time write holds it.
  static void claim(Buffer& buffer) noexcept;
  // Empties `buffer`, written, and gives up its claim.
  static void release_emptied(Buffer& buffer) noexcept;

  WriteResult check(std::uint64_t ticks) noexcept;
  // append() when the text does not just go into the buffer.
  WriteResult append_and_write(std::string_view text, std::uint32_t level_value, Lock& lock,
                               bool counted) noexcept;
  // Writes `piece` (of `buffer`, claimed, or of no buffer) with the lock
  // released, and takes the lock back only when the write falls short.
  WriteResult write_unlocked(const Piece& piece, Buffer* buffer, Lock& lock) noexcept;
  // The same, once the write has entered the flight and `lock` is not held.
  WriteResult write_in_flight(const Piece& piece, Buffer* buffer, channels_platform::FileHandle file,
                              bool size_limited, Lock& lock) noexcept;
  // Waits until no write is in flight and settles those that fell short.
  void settle() noexcept;
  void await_flight() noexcept;
  // Ends a write outside the lock, and wakes the thread that awaits the
  // last one.
  void leave_flight() noexcept;
  void settle_torn() noexcept;
  // Waits for the other buffer to be written, claims the one being filled
  // and fills the other from now on; returns the claimed one.
  Buffer* swap() noexcept;
  // Writes `piece` while no write is in flight, so that the file keeps whole
  // texts only.
  WriteResult write_whole(const Piece& piece) noexcept;
  // The same, once the bytes up to `done` are in the file and the write of
  // the rest failed with `error`, or fell short.
  WriteResult finish_whole(const Piece& piece, std::size_t done, int error) noexcept;
  // At a crash: writes the bytes of `buffer` that no one wrote yet in one
  // go, unless it began to be filled again since `entered` (then sets
  // `moved`, and writes nothing).
  WriteResult write_out_for_crash(Buffer& buffer, std::uint64_t entered, bool locked, std::uintptr_t self,
                                  Clock::time_point deadline, bool* moved) noexcept;
  // Opens `path` in place of the current file; on failure returns the
  // system's error number and changes nothing.
  int attach(const std::string& path) noexcept;
  // Takes the failure to open while no file is open.
  void fail_open(int failure) noexcept;

  const std::size_t buffer_size_;
  const std::uint64_t flush_from_;  // the lowest level value whose text is written at once
  const std::uint32_t max_pieces_;
  // Whether texts of EveryText are written outside the lock, at once: only
  // where the system lands concurrent appends whole. A buffer is written
  // outside the lock everywhere: no other write runs meanwhile.
  const bool appends_whole_;
  const bool writes_free_;  // EveryText where appends land whole
  // Read by every text, written seldom (kept off the lines below).
  channels_platform::FileHandle file_ = channels_platform::kNoFile;
  std::string name_;
  std::uint64_t checked_from_ = 0;  // a second before the last check, in ticks
  int open_error_ = 0;
  bool size_limited_ = false;    // RLIMIT_FSIZE, read at each check
  bool line_feed_owed_ = false;  // a torn text ends the file: the next write starts a line
  bool reported_ = false;        // the failure to open has been said
  // For texts without the lock: the calm window that the next write of the
  // locked path opens (pending_span_ 0: none).
  std::uint64_t pending_from_ = 0;
  std::uint64_t pending_span_ = 0;
  // The calm window: a text whose time lies from calm_from_ on for
  // calm_span_ ticks needs no care. Read by every text, with the lock or, at
  // EveryText, without it; written under the lock.
  std::atomic<std::uint64_t> calm_from_{0};
  std::atomic<std::uint64_t> calm_span_{0};
  // Written by every text, on lines of their own.
  alignas(kCacheLine) std::atomic<std::uint64_t> size_{0};
  // How many writes outside the lock are under way (entered under the lock,
  // or at EveryText without it, and left without it), and whether a thread
  // awaits them (kAwaited, set and cleared by that thread under the lock).
  std::atomic<std::uint32_t> flight_{0};
  // Writes outside the lock that fell short, each on the stack of its
  // thread, which waits for the lock until the record is settled.
  std::atomic<Torn*> torn_{nullptr};
  // The buffer being filled, and the other, which may be being written; the
  // pointer is read without the lock at a crash.
  Buffer buffers_[2];
  std::atomic<Buffer*> filling_{&buffers_[0]};
};

}  // namespace core::logger::channels_detail

#endif  // CORE_LOGGER_CHANNELS_APPENDING_FILE_H_
