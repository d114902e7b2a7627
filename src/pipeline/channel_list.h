// pipeline/channel_list.h: the process-wide lists of registered channels and
// the default options.
#ifndef CORE_LOGGER_PIPELINE_CHANNEL_LIST_H_
#define CORE_LOGGER_PIPELINE_CHANNEL_LIST_H_

#include <atomic>
#include <cstdint>
#include <limits>
#include <mutex>
#include <new>
#include <stdexcept>

#include "core/logger.h"

namespace core::logger::detail {

// A growable array of channel records in registration order.
//
// Thread-safety: `span` never blocks and may run at any time, concurrently
// with `append`; appends are serialised by the lock given at construction,
// which log calls never take. The records live in a block that is never changed below
// its published size: an append fills the next free record and then publishes
// the new size, and a full block is copied into a larger one that is then
// published in its place. Replaced blocks stay alive until the list is
// destroyed, so a log call keeps walking the span it took when it began.
template <typename Record>
class ChannelList {
 public:
  struct Span {
    const Record* data;
    std::uint32_t size;
  };

  explicit ChannelList(std::mutex& append_lock) : append_lock_(append_lock), current_(make_block(0)) {}
  // Takes no lock: no other thread sees the list while it is made.
  ChannelList(std::mutex& append_lock, const Record& first)
      : append_lock_(append_lock), current_(make_block(1)) {
    Block* block = current_.load(std::memory_order_relaxed);
    new (&block->records()[0]) Record(first);
    block->size.store(1, std::memory_order_relaxed);
  }
  ~ChannelList() {
    release(current_.load(std::memory_order_relaxed));
    release(retired_);
  }
  ChannelList(const ChannelList&) = delete;
  ChannelList& operator=(const ChannelList&) = delete;

  // Drops every record and all storage.
  // REQUIRES: no other thread uses the list.
  void clear_for_testing() {
    release(current_.exchange(make_block(0), std::memory_order_relaxed));
    release(retired_);
    retired_ = nullptr;
  }

  Span span() const noexcept {
    const Block* block = current_.load(std::memory_order_acquire);
    return Span{block->records(), block->size.load(std::memory_order_acquire)};
  }

  // Throws std::length_error("vector<T> too long") when the list holds as
  // many records as a span can count, and std::bad_alloc when the heap
  // refuses; the list is unchanged then.
  void append(const Record& record) {
    append(record, [](std::uint32_t) {});
  }

  // As above; `before_publish(position)` runs, under the list's lock, once
  // the append can no longer fail and before any span can hold the new
  // record at `position`. What it stores is seen by every reader of a span
  // that holds the record.
  template <typename BeforePublish>
  void append(const Record& record, BeforePublish before_publish) {
    std::lock_guard<std::mutex> lock(append_lock_);
    Block* block = current_.load(std::memory_order_relaxed);
    const std::uint32_t size = block->size.load(std::memory_order_relaxed);
    if (size < block->capacity) {
      new (&block->records()[size]) Record(record);
      before_publish(size);
      block->size.store(size + 1, std::memory_order_release);
      return;
    }
    if (size == std::numeric_limits<std::uint32_t>::max()) throw std::length_error("vector<T> too long");
    // One and a half times as many records, or one more if that is larger.
    const std::uint64_t wanted = std::uint64_t{size} + size / 2;
    const auto capacity = static_cast<std::uint32_t>(wanted > std::numeric_limits<std::uint32_t>::max()
                                                         ? std::numeric_limits<std::uint32_t>::max()
                                                     : wanted > size ? wanted
                                                                     : size + 1);
    Block* grown = make_block(capacity);
    for (std::uint32_t i = 0; i < size; ++i) new (&grown->records()[i]) Record(block->records()[i]);
    new (&grown->records()[size]) Record(record);
    grown->size.store(size + 1, std::memory_order_relaxed);
    before_publish(size);
    current_.store(grown, std::memory_order_release);
    block->retired_next = retired_;
    retired_ = block;
  }

 private:
  struct Block {
    Block* retired_next;
    std::uint32_t capacity;
    std::atomic<std::uint32_t> size;

    Record* records() noexcept { return reinterpret_cast<Record*>(this + 1); }
    const Record* records() const noexcept { return reinterpret_cast<const Record*>(this + 1); }
  };
  static_assert(sizeof(Block) % alignof(Record) == 0, "records follow the block header");
  static_assert(std::is_trivially_copyable_v<Record> && std::is_trivially_destructible_v<Record>,
                "records are copied and dropped without constructors or destructors");

  static Block* make_block(std::uint32_t capacity) {
    void* storage = ::operator new (sizeof(Block) + std::size_t{capacity} * sizeof(Record));
    return new (storage) Block{nullptr, capacity, {0}};
  }

  static void release(Block* block) noexcept {
    while (block != nullptr) {
      Block* next = block->retired_next;
      ::operator delete(block);
      block = next;
    }
  }

  std::mutex& append_lock_;
  std::atomic<Block*> current_;
  Block* retired_ = nullptr;  // guarded by append_lock_
};

// The process-wide default options (a LogOptions value), 0 at load.
extern std::atomic<std::uint32_t> g_default_options;

// The list of ordinary channels, built on first use holding the built-in
// channel "visual_studio". Building it reads the debugger output's mode
// (CORE_LOGGER_STDERR on Linux) and looks at its kind once for the process.
// Both lists are built and grow under the build lock.
ChannelList<LogChannel>& ordinary_channels();
// The list of raw channels, built empty on first use.
ChannelList<LogRawChannel>& raw_channels();

// Appends `channel` to the ordinary list, where a callback makes it take the
// place of the built-in channel as the fallback output.
void add_ordinary_channel(const LogChannel& channel);

// No list position: the value of g_fallback_end while every ordinary text
// reaches the debugger output.
constexpr std::uint32_t kNoChannelPosition = std::numeric_limits<std::uint32_t>::max();

// The built-in channel writes a call's text only while the call's span ends
// at or before this list position (`channel_count <= g_fallback_end`). In the
// fallback mode it is the position of the first ordinary channel registered
// with a callback, kNoChannelPosition while there is none; it is stored
// before the append that adds that channel publishes it, so a call writes to
// the debugger output exactly when its span holds no such channel.
// The mode that writes every text keeps kNoChannelPosition; the mode that
// writes none sets 0. One relaxed load per call.
extern std::atomic<std::uint32_t> g_fallback_end;

// Returns both lists to their freshly built content, reading the debugger
// output's mode again.
// REQUIRES: no other thread uses the library.
void reset_channel_lists_for_testing();

}  // namespace core::logger::detail

#endif  // CORE_LOGGER_PIPELINE_CHANNEL_LIST_H_
