#include "channels/appending_file.h"

#include <cstring>

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
  if (used_ + text.size() > buffer_size_) result = write_out();
  if (text.size() > buffer_size_ || (flush_now && used_ == 0)) {
    return worse(result, write_now(text, counted ? 1 : 0));
  }
  std::memcpy(buffer_.get() + used_, text.data(), text.size());
  used_ += text.size();
  held_texts_ += counted ? 1 : 0;
  return flush_now ? worse(result, write_out()) : result;
}

WriteResult AppendingFile::write_out() noexcept {
  if (used_ == 0) return WriteResult{kHeldBack, 0};
  const WriteResult result = write_now(std::string_view(buffer_.get(), used_), held_texts_);
  used_ = 0;
  held_texts_ = 0;
  return result;
}

WriteResult AppendingFile::write_now(std::string_view data, std::uint32_t texts) noexcept {
  if (data.empty()) return WriteResult{kHeldBack, 0};
  const int failure = channels_platform::write_file(file_, data.data(), data.size());
  return WriteResult{failure, failure != 0 ? texts : 0};
}

}  // namespace core::logger::channels_detail
