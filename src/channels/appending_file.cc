#include "channels/appending_file.h"

#include <cstring>
#include <thread>

#include "channels/crash_platform.h"

namespace core::logger::channels_detail {

AppendingFile::AppendingFile(FlushPolicy policy, std::uint32_t flush_level, std::size_t buffer_size)
    : policy_(policy),
      flush_level_(flush_level),
      buffer_size_(policy == FlushPolicy::EveryText ? 0 : buffer_size) {
  if (buffer_size_ > 0) buffer_.reset(new char[buffer_size_]);
}

int AppendingFile::open(const std::string& path) noexcept {
  int failure = 0;
  const channels_platform::FileHandle fresh = channels_platform::open_for_append(path, &failure);
  if (fresh == channels_platform::kNoFile) return failure;
  close();
  file_ = fresh;
  size_ = channels_platform::file_size(file_);
  return 0;
}

void AppendingFile::close() noexcept {
  if (file_ != channels_platform::kNoFile) channels_platform::close_file(file_);
  file_ = channels_platform::kNoFile;
}

WriteResult AppendingFile::append(std::string_view text, std::uint32_t level_value, bool counted) noexcept {
  const bool flush_now =
      policy_ == FlushPolicy::EveryText || (policy_ == FlushPolicy::AtLevel && level_value >= flush_level_);
  size_ += text.size();
  WriteResult result{kHeldBack, 0};
  std::size_t used = used_.load(std::memory_order_relaxed);
  if (used + text.size() > buffer_size_) {
    result = write_out();
    used = 0;
  }
  if (text.size() > buffer_size_ || (flush_now && used == 0)) {
    return worse(result, write_now(text, counted ? 1 : 0));
  }
  std::memcpy(buffer_.get() + used, text.data(), text.size());
  used_.store(used + text.size(), std::memory_order_release);
  held_texts_ += counted ? 1 : 0;
  return flush_now ? worse(result, write_out()) : result;
}

WriteResult AppendingFile::write_out() noexcept {
  const std::size_t used = used_.load(std::memory_order_relaxed);
  if (used == 0) return WriteResult{kHeldBack, 0};
  // A crash-time write-out on another thread ends within its own write.
  const std::uintptr_t self = crash_platform::thread_token();
  for (std::uintptr_t idle = 0; !writer_.compare_exchange_weak(idle, self, std::memory_order_acquire);
       idle = 0) {
    std::this_thread::yield();
  }
  const WriteResult result = write_claimed(used);
  used_.store(0, std::memory_order_relaxed);
  written_ = 0;
  held_texts_ = 0;
  writer_.store(0, std::memory_order_release);
  return result;
}

WriteResult AppendingFile::write_out_for_crash(bool locked, std::uintptr_t self,
                                               Clock::time_point deadline) noexcept {
  std::uintptr_t claim = 0;
  while (!writer_.compare_exchange_strong(claim, self, std::memory_order_acquire)) {
    if (claim == self || Clock::now() >= deadline) return WriteResult{kHeldBack, 0};
    claim = 0;
    std::this_thread::yield();
  }
  const std::size_t used = used_.load(std::memory_order_acquire);
  const WriteResult result = write_claimed(used);
  if (locked) {
    used_.store(0, std::memory_order_relaxed);
    written_ = 0;
    held_texts_ = 0;
  } else {
    written_ = used;
  }
  writer_.store(0, std::memory_order_release);
  return result;
}

WriteResult AppendingFile::write_claimed(std::size_t used) noexcept {
  if (used <= written_) return WriteResult{kHeldBack, 0};
  return write_now(std::string_view(buffer_.get() + written_, used - written_), held_texts_);
}

WriteResult AppendingFile::write_now(std::string_view data, std::uint32_t texts) noexcept {
  if (data.empty()) return WriteResult{kHeldBack, 0};
  const int failure = channels_platform::write_file(file_, data.data(), data.size());
  return WriteResult{failure, failure != 0 ? texts : 0};
}

}  // namespace core::logger::channels_detail
