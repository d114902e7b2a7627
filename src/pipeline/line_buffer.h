// pipeline/line_buffer.h: the text buffers of one composition and their
// allocator.
//
// A composition keeps its buffers in its own stack frame; they reach for the
// heap only when a message outgrows 4096 characters or a text 65536. Each
// buffer belongs to one call on one thread.
#ifndef CORE_LOGGER_PIPELINE_LINE_BUFFER_H_
#define CORE_LOGGER_PIPELINE_LINE_BUFFER_H_

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <string_view>

#include <fmt/format.h>

#include "pipeline/char_copy.h"
#include "pipeline/message_format.h"

namespace core::logger::detail {

// Where the buffers' heap blocks come from: std::malloc, unless a test has
// installed another source (to make the heap run out on demand).
void* heap_allocate(std::size_t bytes) noexcept;
using HeapAllocateFunction = void* (*)(std::size_t bytes);
void set_heap_allocate_for_testing(HeapAllocateFunction allocate) noexcept;  // null: std::malloc

// A stateless allocator over the runtime heap. Throws std::bad_alloc when
// the heap refuses, so that {fmt}'s buffers never write through a null block.
template <typename T>
class memdump_allocator {
 public:
  using value_type = T;

  memdump_allocator() noexcept = default;
  template <typename U>
  memdump_allocator(const memdump_allocator<U>&) noexcept {}

  T* allocate(std::size_t count) {
    if (count > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_alloc();
    void* block = heap_allocate(count * sizeof(T));
    if (block == nullptr) throw std::bad_alloc();
    return static_cast<T*>(block);
  }
  void deallocate(T* block, std::size_t) noexcept { std::free(block); }

  friend bool operator==(const memdump_allocator&, const memdump_allocator&) noexcept { return true; }
  friend bool operator!=(const memdump_allocator&, const memdump_allocator&) noexcept { return false; }
};

// The end of every text that is not an assertion report, and of every text
// cut short.
constexpr std::string_view kLineFeedAndNul("\n", 2);

// A character buffer with `kInline` characters in the object itself that
// grows on the heap by half its capacity (or to the size needed).
//
// It never throws. When the heap refuses a larger block, the buffer keeps
// what it holds and drops further appends; `terminate` then cuts the text so
// that it still ends with its terminators. Not thread-safe.
template <std::size_t kInline>
class TextBuffer {
 public:
  TextBuffer() = default;
  TextBuffer(const TextBuffer&) = delete;
  TextBuffer& operator=(const TextBuffer&) = delete;

  [[gnu::always_inline]] void append(std::string_view text) noexcept {
    if (truncated_) return;
    // Inline while the text fits, which is every append of a common call.
    const std::size_t size = buffer_.size();
    if (text.size() <= buffer_.capacity() - size) {
      copy_chars(buffer_.data() + size, text.data(), text.size());
      buffer_.resize(size + text.size());
      return;
    }
    grow_and_append(text);
  }

  // Appends each of `parts` in turn, checking the room once for all of them.
  template <typename... Parts>
  [[gnu::always_inline]] void append_parts(const Parts&... parts) noexcept {
    if (truncated_) return;
    const std::size_t size = buffer_.size();
    const std::size_t total = (std::string_view(parts).size() + ...);
    if (total > buffer_.capacity() - size) {
      (append(parts), ...);
      return;
    }
    char* out = buffer_.data() + size;
    ((copy_chars(out, std::string_view(parts).data(), std::string_view(parts).size()),
      out += std::string_view(parts).size()),
     ...);
    buffer_.resize(size + total);
  }

  // Formats `format` with `args` at the end of the buffer. A malformed
  // format string, a null C string or an argument whose formatter throws
  // keeps whatever was written before the failure.
  void format(std::string_view format, fmt::format_args args) noexcept {
    if (truncated_) return;
    try {
      format_message(fmt::appender(buffer_), format, args);
    } catch (const std::bad_alloc&) {
      truncated_ = true;
    } catch (...) {
    }
  }

  // Appends `terminators`. If the heap refused to grow the buffer, the text
  // was cut, possibly mid-line: it then ends in a line feed and a NUL,
  // whatever `terminators` are, cut further where they would not fit.
  void terminate(std::string_view terminators) noexcept {
    append(terminators);
    if (!truncated_) return;
    // A piece that needed a refused growth was dropped whole, so nothing
    // of `terminators` is in the buffer now.
    const std::size_t room = buffer_.capacity() - kLineFeedAndNul.size();
    if (buffer_.size() > room) buffer_.resize(room);
    buffer_.append(kLineFeedAndNul.data(), kLineFeedAndNul.data() + kLineFeedAndNul.size());
  }

  std::string_view view() const noexcept { return {buffer_.data(), buffer_.size()}; }
  bool truncated() const noexcept { return truncated_; }

 private:
  [[gnu::noinline]] void grow_and_append(std::string_view text) noexcept {
    try {
      buffer_.append(text.data(), text.data() + text.size());
    } catch (...) {
      truncated_ = true;
    }
  }

  static_assert(kInline >= 2, "room for the terminators is needed even when the heap is exhausted");

  // Beside the buffer's own fields, not after its inline storage: a call
  // touches the flag, the fields and the first characters, and kept
  // together they lie on one page of the stack.
  bool truncated_ = false;
  fmt::basic_memory_buffer<char, kInline, memdump_allocator<char>> buffer_;
};

// The formatted message of one call.
using MessageBuffer = TextBuffer<4096>;
// The composed text of one call.
using LineBuffer = TextBuffer<65536>;

}  // namespace core::logger::detail

#endif  // CORE_LOGGER_PIPELINE_LINE_BUFFER_H_
