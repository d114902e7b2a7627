// channels/appending_file.h: a file that takes whole texts at its end, held
// back in a buffer as its flush policy says.
#ifndef CORE_LOGGER_CHANNELS_APPENDING_FILE_H_
#define CORE_LOGGER_CHANNELS_APPENDING_FILE_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "channels/channel_state.h"
#include "channels/channels_platform.h"
#include "core/channels.h"

namespace core::logger::channels_detail {

// The worse of two outcomes (an error before success before nothing
// written), with the texts both lost.
inline WriteResult worse(WriteResult a, WriteResult b) noexcept {
  return WriteResult{a.error > b.error ? a.error : b.error, a.lost + b.lost};
}

// Not thread-safe: its channel's lock guards it, but for the crash-time
// members. Each hand-over to the system is one write of whole texts.
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
class AppendingFile {
 public:
  AppendingFile(FlushPolicy policy, std::uint32_t flush_level, std::size_t buffer_size);
  ~AppendingFile() { close(); }
  AppendingFile(const AppendingFile&) = delete;
  AppendingFile& operator=(const AppendingFile&) = delete;

  // Opens `path` for appending in place of the current file, which is closed
  // (REQUIRES: nothing held back). Returns 0, or the system's error number
  // with the current file kept.
  int open(const std::string& path) noexcept;
  // Closes the file, writing out nothing: call write_out() first.
  void close() noexcept;
  bool is_open() const noexcept { return file_ != channels_platform::kNoFile; }
  // The file's size with what is held back.
  std::uint64_t size() const noexcept { return size_; }

  // Appends one whole text (`counted`: a text of its own, lost if it cannot
  // be written), and writes out what is held back when the policy says so
  // for a text of `level_value`. REQUIRES: the file is open.
  WriteResult append(std::string_view text, std::uint32_t level_value, bool counted = true) noexcept;
  // Hands what is held back to the system.
  WriteResult write_out() noexcept;
  // Drops what is held back, unwritten (a forked child's copy).
  void forget() noexcept {
    used_.store(0, std::memory_order_relaxed);
    written_ = held_texts_ = 0;
    writer_.store(0, std::memory_order_relaxed);
  }

  // At a crash, on the thread `self`, with the lock or not (`locked`): hands
  // what is held back to the system as the rules above say. Crash-safe.
  WriteResult write_out_for_crash(bool locked, std::uintptr_t self, Clock::time_point deadline) noexcept;
  // Writes `text` past the buffer, straight to the file. REQUIRES: the file
  // is open.
  WriteResult write_through(std::string_view text) noexcept {
    size_ += text.size();
    return write_now(text, 1);
  }

 private:
  WriteResult write_now(std::string_view data, std::uint32_t texts) noexcept;
  // Writes [written_, used) out; REQUIRES: this thread claimed the buffer.
  WriteResult write_claimed(std::size_t used) noexcept;

  const FlushPolicy policy_;
  const std::uint32_t flush_level_;
  const std::size_t buffer_size_;
  channels_platform::FileHandle file_ = channels_platform::kNoFile;
  std::uint64_t size_ = 0;
  std::unique_ptr<char[]> buffer_;  // whole texts only; null for EveryText
  std::atomic<std::size_t> used_{0};
  std::atomic<std::uintptr_t> writer_{0};  // the thread that writes the buffer out
  std::size_t written_ = 0;                // guarded by the claim (writer_)
  std::uint32_t held_texts_ = 0;
};

}  // namespace core::logger::channels_detail

#endif  // CORE_LOGGER_CHANNELS_APPENDING_FILE_H_
