// channels/appending_file.h: a file that takes whole texts at its end, held
// back in a buffer as its flush policy says. Not thread-safe: its channel's
// lock guards it. Each hand-over to the system is one write of whole texts.
#ifndef CORE_LOGGER_CHANNELS_APPENDING_FILE_H_
#define CORE_LOGGER_CHANNELS_APPENDING_FILE_H_

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

class AppendingFile {
 public:
  AppendingFile(FlushPolicy policy, std::uint32_t flush_level, std::size_t buffer_size);
  ~AppendingFile() { close(); }
  AppendingFile(const AppendingFile&) = delete;
  AppendingFile& operator=(const AppendingFile&) = delete;

  // Opens `path` for appending in place of the current file; on failure
  // returns the system's error number and keeps the current file.
  // REQUIRES (both): nothing held back.
  int open(const std::string& path) noexcept;
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
  void forget() noexcept { used_ = held_texts_ = 0; }

 private:
  WriteResult write_now(std::string_view data, std::uint32_t texts) noexcept;

  const FlushPolicy policy_;
  const std::uint32_t flush_level_;
  const std::size_t buffer_size_;
  channels_platform::FileHandle file_ = channels_platform::kNoFile;
  std::uint64_t size_ = 0;
  std::unique_ptr<char[]> buffer_;  // whole texts only; null for EveryText
  std::size_t used_ = 0;
  std::uint32_t held_texts_ = 0;
};

}  // namespace core::logger::channels_detail

#endif  // CORE_LOGGER_CHANNELS_APPENDING_FILE_H_
