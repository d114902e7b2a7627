#include "channels/appending_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

#include <fmt/format.h>

#include "channels/crash_platform.h"

namespace core::logger::channels_detail {
namespace {

constexpr std::size_t kMaxBufferSize = std::size_t{1} << 30;
// A buffer takes a piece per this many bytes of its size; smaller texts on
// average send it out before it is full.
constexpr std::size_t kBytesPerPiece = 16;

// Where the whole pieces of a write end within its first `done` bytes, and
// how many texts end after that.
struct Cut {
  std::size_t whole;
  std::uint32_t lost;
};
Cut cut_at(std::size_t done, const std::uint32_t* ends, std::uint32_t pieces, bool counted) noexcept {
  if (ends == nullptr) return Cut{0, counted ? 1u : 0u};
  Cut cut{0, 0};
  for (std::uint32_t i = 0; i < pieces; ++i) {
    const std::size_t end = ends[i] & ~kUncounted;
    if (end <= done) {
      cut.whole = end;
    } else if ((ends[i] & kUncounted) == 0) {
      ++cut.lost;
    }
  }
  return cut;
}

}  // namespace

AppendingFile::AppendingFile(FlushPolicy policy, std::uint32_t flush_level, std::size_t buffer_size)
    : buffer_size_(policy == FlushPolicy::EveryText ? 0 : std::min(buffer_size, kMaxBufferSize)),
      flush_from_(policy == FlushPolicy::EveryText ? 0
                  : policy == FlushPolicy::AtLevel ? flush_level
                                                   : std::uint64_t{1} << 32),
      max_pieces_(static_cast<std::uint32_t>(buffer_size_ == 0 ? 0 : buffer_size_ / kBytesPerPiece + 1)) {
  if (buffer_size_ > 0) {
    buffer_.reset(new char[buffer_size_]);
    ends_.reset(new std::uint32_t[max_pieces_]);
  }
}

int AppendingFile::open(std::string path) noexcept {
  const int failure = attach(path);
  if (failure == 0 || !is_open()) name_ = std::move(path);
  if (failure != 0 && !is_open()) fail_open(failure);
  return failure;
}

int AppendingFile::attach(const std::string& path) noexcept {
  int failure = 0;
  const channels_platform::FileHandle fresh = channels_platform::open_for_append(path, &failure);
  if (fresh == channels_platform::kNoFile) return failure;
  close();
  file_ = fresh;
  size_ = channels_platform::file_size(file_) + used_.load(std::memory_order_relaxed);
  size_limited_ = channels_platform::file_size_limited();
  line_feed_owed_ = false;
  reported_ = false;
  open_error_ = 0;
  return 0;
}

void AppendingFile::fail_open(int failure) noexcept {
  open_error_ = failure;
  if (reported_) return;
  reported_ = true;
  try {
    channels_platform::write_standard_error(
        fmt::format("core_logger: cannot open {}: {}; its texts are dropped until it opens\n", name_,
                    channels_platform::describe_error(failure)));
  } catch (...) {  // out of memory: error() still tells
  }
}

void AppendingFile::close() noexcept {
  if (file_ != channels_platform::kNoFile) channels_platform::close_file(file_);
  file_ = channels_platform::kNoFile;
}

WriteResult AppendingFile::check(std::uint64_t ticks) noexcept {
  checked_at(ticks);
  if (!is_open()) {
    const int failure = attach(name_);
    if (failure != 0) open_error_ = failure;
    return WriteResult{kHeldBack, 0};
  }
  size_limited_ = channels_platform::file_size_limited();
  switch (channels_platform::file_place(file_, name_)) {
    case channels_platform::FilePlace::Linked:
      return WriteResult{kHeldBack, 0};
    case channels_platform::FilePlace::Moved: {  // as reopen(): what came before goes with the old file
      const WriteResult written = write_out();
      return worse(written, WriteResult{attach(name_), 0});
    }
    case channels_platform::FilePlace::Removed:
      break;
  }
  const int failure = attach(name_);
  if (failure == 0) return write_out();
  const WriteResult lost{failure, held_texts_};
  forget();
  close();
  fail_open(failure);
  return lost;
}

WriteResult AppendingFile::append_and_write(std::string_view text, std::uint32_t level_value,
                                            bool counted) noexcept {
  size_ += text.size();
  WriteResult result{kHeldBack, 0};
  if (!has_room(text.size())) result = write_out();
  if (text.size() > buffer_size_ ||
      (level_value >= flush_from_ && used_.load(std::memory_order_relaxed) == 0)) {
    return worse(result, write_whole(text.data(), text.size(), nullptr, 1, counted));
  }
  hold(text, counted);
  return level_value >= flush_from_ ? worse(result, write_out()) : result;
}

WriteResult AppendingFile::write_out() noexcept {
  const std::uint32_t used = used_.load(std::memory_order_relaxed);
  if (used == 0) return WriteResult{kHeldBack, 0};
  // A crash-time write-out on another thread ends within its own write.
  const std::uintptr_t self = crash_platform::thread_token();
  for (std::uintptr_t idle = 0; !writer_.compare_exchange_weak(idle, self, std::memory_order_acquire);
       idle = 0) {
    std::this_thread::yield();
  }
  // Only a crash leaves part of the buffer written: the rest goes as one text.
  const WriteResult result =
      written_ == 0 ? write_whole(buffer_.get(), used, ends_.get(), pieces_, true) : write_rest(used);
  used_.store(0, std::memory_order_relaxed);
  pieces_ = held_texts_ = written_ = 0;
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
  const std::uint32_t used = used_.load(std::memory_order_acquire);
  const WriteResult result = write_rest(used);
  if (locked) {
    used_.store(0, std::memory_order_relaxed);
    pieces_ = held_texts_ = written_ = 0;
  } else {
    written_ = used;
  }
  writer_.store(0, std::memory_order_release);
  return result;
}

WriteResult AppendingFile::write_rest(std::uint32_t used) noexcept {
  if (used <= written_) return WriteResult{kHeldBack, 0};
  int error = 0;
  const std::size_t size = used - written_;
  const std::size_t done =
      channels_platform::write_file(file_, buffer_.get() + written_, size, size_limited_, &error);
  return done == size ? WriteResult{0, 0} : WriteResult{error != 0 ? error : EIO, held_texts_};
}

WriteResult AppendingFile::write_whole(const char* data, std::size_t size, const std::uint32_t* ends,
                                       std::uint32_t pieces, bool counted) noexcept {
  int error = 0;
  if (line_feed_owed_) {
    if (channels_platform::write_file(file_, "\n", 1, size_limited_, &error) != 1) {
      return WriteResult{error, cut_at(0, ends, pieces, counted).lost};
    }
    line_feed_owed_ = false;
  }
  std::size_t done = 0;
  for (;;) {
    done += channels_platform::write_file(file_, data + done, size - done, size_limited_, &error);
    if (done == size) return WriteResult{0, 0};
    const Cut cut = cut_at(done, ends, pieces, counted);
    if (done == 0) return WriteResult{error, cut.lost};
    // Part of it is in the file. The rest may follow while nothing else has
    // been appended; else the torn piece is cut off while it ends the file,
    // or ends its line when something came after it.
    std::uint64_t position = 0;
    std::uint64_t file_size = 0;
    const bool at_end = channels_platform::file_end(file_, &position, &file_size) && position == file_size;
    if (error == 0 && at_end) continue;
    const std::size_t torn = done - cut.whole;
    if (torn != 0 && (!at_end || channels_platform::truncate_file(file_, position - torn) != 0)) {
      line_feed_owed_ = true;
    }
    return WriteResult{error != 0 ? error : EIO, cut.lost};
  }
}

}  // namespace core::logger::channels_detail
