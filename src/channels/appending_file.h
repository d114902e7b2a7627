// channels/appending_file.h: a file that takes whole texts at its end, held
// back in a buffer as its flush policy says. Each hand-over to the system is
// one write of whole texts, and a write that fails part-way is completed or
// undone, so that the file holds whole texts only. The file looks after
// itself once a second: it opens its name again when the file was removed or
// replaced there, and retries a name that could not be opened. Not
// thread-safe: its channel's lock guards it, but for the crash-time members.
//
// At a crash the reporting thread writes the buffer out from a signal
// handler, with the channel's lock or without it (held too long by another
// thread, or by the crashing thread itself, interrupted). So that nothing
// held back is lost or written twice, whoever hands buffered bytes to the
// system claims the buffer first:
//   - `writer_` holds the writing thread's token (crash_platform) from
//     before its write until the write returned, else 0; a writer hands over
//     the bytes from `written_` to `used_` and, holding the lock, empties
//     the buffer, else only moves `written_` past what it wrote;
//   - a text enters the buffer before `used_` grows past it (release), so a
//     crash-time reader that sees `used_` sees the text whole;
//   - a crash-time write-out never waits for a claim of its own thread (an
//     interrupted write, skipped), waits for another thread's claim until
//     its deadline, and never writes a buffer that is still claimed then;
//   - a writer with the lock waits for a crash-time claim to end;
//   - a text written straight to the file (EveryText, a text larger than the
//     buffer) is its writer's alone.
// A rework that writes outside the lock or swaps two buffers keeps these
// rules for each buffer and writes out the older buffer first.
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
  void close() noexcept;
  bool is_open() const noexcept { return file_ != channels_platform::kNoFile; }
  // The error of the open that failed while no file is open.
  int open_error() const noexcept { return open_error_; }
  // The name of the file, or of the one to open.
  const std::string& name() const noexcept { return name_; }
  // The file's size with what is held back.
  std::uint64_t size() const noexcept { return size_; }

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
  // be written), and writes out what is held back when the policy says so
  // for a text of `level_value`. REQUIRES: the file is open; `text` is not
  // empty.
  WriteResult append(std::string_view text, std::uint32_t level_value, bool counted = true) noexcept {
    if (level_value < flush_from_ && has_room(text.size())) {
      size_ += text.size();
      hold(text, counted);
      return WriteResult{kHeldBack, 0};
    }
    return append_and_write(text, level_value, counted);
  }
  // Hands what is held back to the system.
  WriteResult write_out() noexcept;
  // Drops what is held back, unwritten (a forked child's copy).
  void forget() noexcept {
    used_.store(0, std::memory_order_relaxed);
    pieces_ = held_texts_ = written_ = 0;
    writer_.store(0, std::memory_order_relaxed);
  }

  // At a crash, on the thread `self`, with the lock or not (`locked`): hands
  // what is held back to the system as the rules above say. Crash-safe.
  WriteResult write_out_for_crash(bool locked, std::uintptr_t self, Clock::time_point deadline) noexcept;
  // Writes `text` past the buffer, straight to the file. REQUIRES: the file
  // is open.
  WriteResult write_through(std::string_view text) noexcept {
    size_ += text.size();
    return write_whole(text.data(), text.size(), nullptr, 1, true);
  }

 private:
  // Whether the buffer takes `size` more bytes as a piece of its own.
  bool has_room(std::size_t size) const noexcept {
    return size <= buffer_size_ - used_.load(std::memory_order_relaxed) && pieces_ < max_pieces_;
  }
  // Copies a text that has room into the buffer.
  void hold(std::string_view text, bool counted) noexcept {
    const std::uint32_t used = used_.load(std::memory_order_relaxed);
    std::memcpy(buffer_.get() + used, text.data(), text.size());
    const std::uint32_t end = used + static_cast<std::uint32_t>(text.size());
    used_.store(end, std::memory_order_release);
    ends_[pieces_++] = end | (counted ? 0 : kUncounted);
    held_texts_ += counted ? 1 : 0;
  }

  WriteResult check(std::uint64_t ticks) noexcept;
  // append() when the text does not just go into the buffer.
  WriteResult append_and_write(std::string_view text, std::uint32_t level_value, bool counted) noexcept;
  // Writes `size` bytes made of `pieces` whole texts ending at `ends` (null:
  // one text, `counted` or not) so that the file keeps whole texts only.
  WriteResult write_whole(const char* data, std::size_t size, const std::uint32_t* ends, std::uint32_t pieces,
                          bool counted) noexcept;
  // Opens `path` in place of the current file; on failure returns the
  // system's error number and changes nothing.
  int attach(const std::string& path) noexcept;
  // Writes the buffer from `written_` to `used` in one go, at a crash or
  // after one. REQUIRES: this thread claimed the buffer.
  WriteResult write_rest(std::uint32_t used) noexcept;
  // Takes the failure to open while no file is open.
  void fail_open(int failure) noexcept;

  const std::size_t buffer_size_;
  const std::uint64_t flush_from_;  // the lowest level value whose text is written at once
  const std::uint32_t max_pieces_;
  channels_platform::FileHandle file_ = channels_platform::kNoFile;
  std::string name_;
  std::uint64_t size_ = 0;
  // The buffer holds whole pieces (texts, and date lines, which are not
  // counted), each ending where `ends_` says, kUncounted marking a date line.
  std::unique_ptr<char[]> buffer_;  // null for EveryText
  std::unique_ptr<std::uint32_t[]> ends_;
  std::atomic<std::uint32_t> used_{0};
  std::atomic<std::uintptr_t> writer_{0};  // the thread that writes the buffer out
  std::uint32_t written_ = 0;              // guarded by the claim (writer_)
  std::uint32_t pieces_ = 0;
  std::uint32_t held_texts_ = 0;
  std::uint64_t checked_from_ = 0;  // a second before the last check, in ticks
  int open_error_ = 0;
  bool size_limited_ = false;    // RLIMIT_FSIZE, read at each check
  bool line_feed_owed_ = false;  // a torn text ends the file: the next write starts a line
  bool reported_ = false;        // the failure to open has been said
};

}  // namespace core::logger::channels_detail

#endif  // CORE_LOGGER_CHANNELS_APPENDING_FILE_H_
