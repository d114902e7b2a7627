#include "channels/appending_file.h"

#include <algorithm>
#include <cerrno>
#include <thread>
#include <utility>

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

// In flight_, marks that a thread waits for the writes in flight to end.
constexpr std::uint32_t kAwaited = 0x8000'0000u;

}  // namespace

// A write outside the lock that fell short, on the stack of its thread until
// it is settled: under the lock, once no write is in flight, by its thread or
// by any other that settles first.
struct AppendingFile::Torn {
  Piece piece;
  Buffer* buffer;  // claimed by the torn write until it is settled
  std::size_t done;
  int error;
  Torn* next;
  WriteResult outcome;  // these two guarded by the lock
  bool settled;
};

AppendingFile::AppendingFile(FlushPolicy policy, std::uint32_t flush_level, std::size_t buffer_size)
    : buffer_size_(policy == FlushPolicy::EveryText ? 0 : std::min(buffer_size, kMaxBufferSize)),
      flush_from_(policy == FlushPolicy::EveryText ? 0
                  : policy == FlushPolicy::AtLevel ? flush_level
                                                   : std::uint64_t{1} << 32),
      max_pieces_(static_cast<std::uint32_t>(buffer_size_ == 0 ? 0 : buffer_size_ / kBytesPerPiece + 1)),
      appends_whole_(channels_platform::concurrent_appends_whole()),
      writes_free_(buffer_size_ == 0 && appends_whole_) {
  if (buffer_size_ == 0) return;
  for (Buffer& buffer : buffers_) {
    buffer.data.reset(new char[buffer_size_]);
    buffer.ends.reset(new std::uint32_t[max_pieces_]);
  }
  buffers_[0].entered.store(1, std::memory_order_relaxed);
}

[[gnu::hot]] WriteResult AppendingFile::append_and_write(std::string_view text, std::uint32_t level_value,
                                                         Lock& lock, bool counted) noexcept {
  size_.fetch_add(text.size(), std::memory_order_relaxed);
  if (buffer_size_ == 0 && counted) {
    const Piece alone{text.data(), text.size(), nullptr, 1, true, 0};
    return appends_whole_ ? write_unlocked(alone, nullptr, lock) : write_whole(alone);
  }
  if (text.size() > buffer_size_) {  // in place, after what is held back
    const WriteResult held = write_out();
    return worse(held, write_whole(Piece{text.data(), text.size(), nullptr, 1, counted, 0}));
  }
  WriteResult result{kHeldBack, 0};
  const bool full = !has_room(*filling_.load(std::memory_order_relaxed), text.size());
  const bool now = counted && level_value >= flush_from_;
  // A date line never leaves the lock, and a text that goes out at once
  // takes the full buffer with it: then the full one is written in place.
  Buffer* out = nullptr;
  if (full && (now || !counted)) {
    result = write_out();
  } else if (full) {
    out = swap();
  }
  hold(*filling_.load(std::memory_order_relaxed), text, counted);
  if (now) out = swap();
  if (out == nullptr) return result;
  return worse(result, write_unlocked(piece_of(*out), out, lock));
}

void AppendingFile::claim(Buffer& buffer) noexcept {
  for (std::uintptr_t idle = 0; !buffer.writer.compare_exchange_weak(
           idle, crash_platform::thread_token(), std::memory_order_acquire, std::memory_order_relaxed);
       idle = 0) {
    std::this_thread::yield();
  }
}

void AppendingFile::release_emptied(Buffer& buffer) noexcept {
  buffer.used.store(0, std::memory_order_relaxed);
  buffer.written = buffer.pieces = buffer.texts = 0;
  buffer.writer.store(0, std::memory_order_release);
}

AppendingFile::Buffer* AppendingFile::swap() noexcept {
  settle();  // the other buffer is written and empty
  Buffer* const out = filling_.load(std::memory_order_relaxed);
  claim(*out);
  Buffer* const next = out == &buffers_[0] ? &buffers_[1] : &buffers_[0];
  next->entered.store(out->entered.load(std::memory_order_relaxed) + 1, std::memory_order_release);
  filling_.store(next, std::memory_order_release);
  return out;
}

[[gnu::hot]] WriteResult AppendingFile::write_unlocked(const Piece& piece, Buffer* buffer,
                                                       Lock& lock) noexcept {
  if (torn_.load(std::memory_order_relaxed) != nullptr || line_feed_owed_) {
    settle();
    if (line_feed_owed_) {
      const WriteResult paid = write_whole(Piece{"\n", 1, nullptr, 1, false, 0});
      if (paid.error != 0) {
        if (buffer != nullptr) release_emptied(*buffer);
        return WriteResult{paid.error, cut_at(piece.from, piece.ends, piece.pieces, piece.counted).lost};
      }
    }
  }
  const channels_platform::FileHandle file = file_;
  const bool size_limited = size_limited_;
  flight_.fetch_add(1, std::memory_order_relaxed);
  if (pending_span_ != 0) {  // all that the file holds stands: the gate opens
    calm_from_.store(pending_from_, std::memory_order_relaxed);
    calm_span_.store(std::exchange(pending_span_, 0), std::memory_order_release);
  }
  lock.unlock();
  return write_in_flight(piece, buffer, file, size_limited, lock);
}

[[gnu::hot]] bool AppendingFile::append_free(std::uint64_t ticks, std::string_view text,
                                             std::uint64_t max_bytes, Lock& lock,
                                             WriteResult* result) noexcept {
  // Entered before the window is read: a `settle` that shuts it after this
  // waits for this text, and one before it is seen shut.
  flight_.fetch_add(1, std::memory_order_acquire);
  if (calm(ticks) && torn_.load(std::memory_order_relaxed) == nullptr) {
    const std::uint64_t before = size_.fetch_add(text.size(), std::memory_order_relaxed);
    if (before + text.size() <= max_bytes && before + text.size() >= before) {
      *result = write_in_flight(Piece{text.data(), text.size(), nullptr, 1, true, 0}, nullptr, file_,
                                size_limited_, lock);
      return true;
    }
    size_.fetch_sub(text.size(), std::memory_order_relaxed);  // the locked path rotates
  }
  leave_flight();
  return false;
}

[[gnu::hot]] WriteResult AppendingFile::write_in_flight(const Piece& piece, Buffer* buffer,
                                                        channels_platform::FileHandle file, bool size_limited,
                                                        Lock& lock) noexcept {
  int error = 0;
  const std::size_t done =
      piece.from + channels_platform::write_file(file, piece.data + piece.from, piece.size - piece.from,
                                                 size_limited, &error);
  if (done == piece.size) {
    if (buffer != nullptr) release_emptied(*buffer);
    leave_flight();
    return WriteResult{0, 0};
  }
  Torn torn{piece, buffer, done, error, torn_.load(std::memory_order_relaxed), WriteResult{}, false};
  while (
      !torn_.compare_exchange_weak(torn.next, &torn, std::memory_order_release, std::memory_order_relaxed)) {
  }
  leave_flight();
  lock.lock();
  if (!torn.settled) settle();
  return torn.outcome;
}

void AppendingFile::leave_flight() noexcept {
  if (flight_.fetch_sub(1, std::memory_order_acq_rel) == (kAwaited | 1))
    channels_platform::wake_waiters(flight_);
}

void AppendingFile::set_calm(std::uint64_t from, std::uint64_t span) noexcept {
  if (writes_free_) {
    pending_from_ = from, pending_span_ = span;
    return;
  }
  calm_from_.store(from, std::memory_order_relaxed);
  calm_span_.store(span, std::memory_order_relaxed);
}

void AppendingFile::hold_off() noexcept {
  pending_span_ = 0;
  if (writes_free_) return settle();
  calm_span_.store(0, std::memory_order_relaxed);
}

void AppendingFile::settle() noexcept {
  if (writes_free_) {
    // Shuts the gate. A text that enters after await_flight's first RMW on
    // flight_ reads the window after this store; one that entered before
    // is waited for. A plain load of flight_ would not order the store so.
    calm_span_.store(0, std::memory_order_relaxed);
    await_flight();
  } else if (flight_.load(std::memory_order_acquire) != 0) {
    await_flight();
  }
  if (torn_.load(std::memory_order_relaxed) != nullptr) settle_torn();
}

void AppendingFile::await_flight() noexcept {
  // A write of a buffer ends within microseconds, but a thread that yields
  // the processor to wait for it, on a busy machine, may not run again for
  // milliseconds while it holds the lock: it sleeps until the last writer
  // wakes it. No write of the locked path enters the flight meanwhile; a
  // text without the lock may, finds the gate shut and leaves.
  std::uint32_t seen = flight_.fetch_or(kAwaited, std::memory_order_acq_rel) | kAwaited;
  while (seen != kAwaited) {
    channels_platform::wait_while(flight_, seen);
    seen = flight_.load(std::memory_order_acquire);
  }
  flight_.fetch_and(~kAwaited, std::memory_order_relaxed);
}

void AppendingFile::settle_torn() noexcept {
  // Writers that find a torn write pending wait for it to be settled, so the
  // torn writes are those that were in flight together. A full disk lets at
  // most one of them write part of its text, unless space came back just
  // then: a single one's bytes are taken to end the channel's part of the
  // file, which the position of the last write tells; of two or more, which
  // is last cannot be told, and each fragment is left a line of its own.
  Torn* const first = torn_.exchange(nullptr, std::memory_order_acquire);
  int partial = 0;
  for (Torn* torn = first; torn != nullptr; torn = torn->next)
    partial += torn->done != torn->piece.from ? 1 : 0;
  for (Torn* torn = first; torn != nullptr;) {
    Torn* const next = torn->next;  // the record may go once settled
    const Piece& piece = torn->piece;
    if (torn->done == piece.from) {
      torn->outcome =
          WriteResult{torn->error, cut_at(piece.from, piece.ends, piece.pieces, piece.counted).lost};
    } else if (partial == 1) {
      torn->outcome = finish_whole(piece, torn->done, torn->error);
    } else {
      line_feed_owed_ = true;
      torn->outcome = WriteResult{EIO, cut_at(torn->done, piece.ends, piece.pieces, piece.counted).lost};
    }
    if (torn->buffer != nullptr) release_emptied(*torn->buffer);
    torn->settled = true;
    torn = next;
  }
}

WriteResult AppendingFile::write_out() noexcept {
  settle();
  Buffer& filling = *filling_.load(std::memory_order_relaxed);
  if (filling.used.load(std::memory_order_relaxed) == 0) return WriteResult{kHeldBack, 0};
  claim(filling);  // a crash-time write-out on another thread ends within its own write
  const WriteResult result = write_whole(piece_of(filling));
  release_emptied(filling);
  return result;
}

WriteResult AppendingFile::write_whole(const Piece& piece) noexcept {
  int error = 0;
  if (line_feed_owed_) {
    if (channels_platform::write_file(file_, "\n", 1, size_limited_, &error) != 1) {
      return WriteResult{error, cut_at(piece.from, piece.ends, piece.pieces, piece.counted).lost};
    }
    line_feed_owed_ = false;
  }
  const std::size_t done =
      piece.from + channels_platform::write_file(file_, piece.data + piece.from, piece.size - piece.from,
                                                 size_limited_, &error);
  return finish_whole(piece, done, error);
}

WriteResult AppendingFile::finish_whole(const Piece& piece, std::size_t done, int error) noexcept {
  for (;;) {
    if (done == piece.size) return WriteResult{0, 0};
    const Cut cut = cut_at(done, piece.ends, piece.pieces, piece.counted);
    if (done == piece.from) return WriteResult{error, cut.lost};
    // Part of it is in the file. The rest may follow while nothing else has
    // been appended; else the torn piece is cut off while it ends the file,
    // or ends its line when something came after it.
    std::uint64_t position = 0;
    std::uint64_t file_size = 0;
    const bool at_end = channels_platform::file_end(file_, &position, &file_size) && position == file_size;
    if (error == 0 && at_end) {
      done +=
          channels_platform::write_file(file_, piece.data + done, piece.size - done, size_limited_, &error);
      continue;
    }
    const std::size_t torn = done - std::max(cut.whole, piece.from);
    if (torn != 0 && (!at_end || channels_platform::truncate_file(file_, position - torn) != 0)) {
      line_feed_owed_ = true;
    }
    return WriteResult{error != 0 ? error : EIO, cut.lost};
  }
}

}  // namespace core::logger::channels_detail
