// AppendingFile's upkeep: opening and closing its file, the check once a
// second, a fork's child, and the write-out at a crash (appending_file.h).
#include "channels/appending_file.h"

#include <cerrno>
#include <string>
#include <thread>

#include <fmt/format.h>

namespace core::logger::channels_detail {

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
  size_ = channels_platform::file_size(file_) +
          filling_.load(std::memory_order_relaxed)->used.load(std::memory_order_relaxed);
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
  settle();
  if (file_ != channels_platform::kNoFile) channels_platform::close_file(file_);
  file_ = channels_platform::kNoFile;
}

void AppendingFile::forget() noexcept {
  flight_.store(0, std::memory_order_relaxed);
  torn_.store(nullptr, std::memory_order_relaxed);
  for (Buffer& buffer : buffers_) {
    buffer.used.store(0, std::memory_order_relaxed);
    buffer.written = buffer.pieces = buffer.texts = 0;
    buffer.writer.store(0, std::memory_order_relaxed);
  }
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
  close();  // what it holds back is lost with the file
  Buffer& filling = *filling_.load(std::memory_order_relaxed);
  const WriteResult lost{failure, filling.texts};
  claim(filling);
  release_emptied(filling);
  fail_open(failure);
  return lost;
}

WriteResult AppendingFile::write_out_for_crash(bool locked, std::uintptr_t self,
                                               Clock::time_point deadline) noexcept {
  if (buffer_size_ == 0) return WriteResult{kHeldBack, 0};
  // The buffer that began to be filled first goes first. Without the lock a
  // swap may turn the order while this waits for a claim: the order is read
  // again then, a few times at most.
  WriteResult result{kHeldBack, 0};
  std::uint64_t done = 0;  // when the last buffer written or passed by began
  for (int round = 0; round < 8; ++round) {
    Buffer* next = nullptr;
    std::uint64_t entered = 0;
    for (Buffer& buffer : buffers_) {
      const std::uint64_t began = buffer.entered.load(std::memory_order_acquire);
      if (began > done && (next == nullptr || began < entered)) next = &buffer, entered = began;
    }
    if (next == nullptr) break;
    bool moved = false;
    result = worse(result, write_out_for_crash(*next, entered, locked, self, deadline, &moved));
    if (!moved) done = entered;
  }
  return result;
}

WriteResult AppendingFile::write_out_for_crash(Buffer& buffer, std::uint64_t entered, bool locked,
                                               std::uintptr_t self, Clock::time_point deadline,
                                               bool* moved) noexcept {
  std::uintptr_t claim = 0;
  while (!buffer.writer.compare_exchange_strong(claim, self, std::memory_order_acquire)) {
    if (claim == self || Clock::now() >= deadline) return WriteResult{kHeldBack, 0};
    claim = 0;
    std::this_thread::yield();
  }
  const std::uint32_t used = buffer.used.load(std::memory_order_acquire);
  // Read after `used`: a text that entered after a swap made this buffer
  // the one being filled again shows here.
  if (buffer.entered.load(std::memory_order_acquire) != entered) {
    buffer.writer.store(0, std::memory_order_release);
    *moved = true;
    return WriteResult{kHeldBack, 0};
  }
  WriteResult result{kHeldBack, 0};
  if (used > buffer.written) {
    int error = 0;
    const std::size_t size = used - buffer.written;
    const std::size_t done =
        channels_platform::write_file(file_, buffer.data.get() + buffer.written, size, size_limited_, &error);
    result = done == size ? WriteResult{0, 0} : WriteResult{error != 0 ? error : EIO, buffer.texts};
  }
  if (locked) {
    release_emptied(buffer);
  } else {
    buffer.written = used;
    buffer.writer.store(0, std::memory_order_release);
  }
  return result;
}

}  // namespace core::logger::channels_detail
