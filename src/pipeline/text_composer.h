// pipeline/text_composer.h: composition of the texts that channels receive.
//
// Three composers (ordinary lines, assertion reports, data-error reports)
// share the machinery here: the header area, alignment with PrefixWidth, the
// line splitter, the terminators and the delivery to channels. A composition
// lives in its composer's stack frame (about 70 KB), takes no lock and calls
// the channels on the caller's thread.
#ifndef CORE_LOGGER_PIPELINE_TEXT_COMPOSER_H_
#define CORE_LOGGER_PIPELINE_TEXT_COMPOSER_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include <fmt/format.h>

#include "core/logger.h"
#include "pipeline/char_copy.h"
#include "pipeline/line_buffer.h"

namespace core::logger::detail {

// The widest header that an aligning composer has produced so far; 0 at load,
// never above 512, never lowered. Relaxed: a raise that another thread has
// not seen yet only affects the padding of its current line.
extern std::atomic<std::uint64_t> g_prefix_width;

// A fixed area of `kCapacity` characters; whatever does not fit is dropped.
template <std::size_t kCapacity>
class FixedText {
 public:
  [[gnu::always_inline]] void append(std::string_view text) noexcept {
    const std::size_t count = text.size() < kCapacity - size_ ? text.size() : kCapacity - size_;
    copy_chars(data_ + size_, text.data(), count);
    size_ += count;
  }

  // The next `count` characters of the area, to be written in place, or null
  // when they do not all fit (`append` then cuts).
  char* claim(std::size_t count) noexcept {
    if (count > kCapacity - size_) return nullptr;
    char* const at = data_ + size_;
    size_ += count;
    return at;
  }

  void append_decimal(std::uint32_t value) noexcept {
    const fmt::format_int digits(value);
    append(std::string_view(digits.data(), digits.size()));
  }

  // Blanks up to `width` characters (no further than the capacity).
  void pad_to(std::uint64_t width) noexcept {
    const std::size_t target = width < kCapacity ? static_cast<std::size_t>(width) : kCapacity;
    if (target > size_) {
      std::memset(data_ + size_, ' ', target - size_);
      size_ = target;
    }
  }

  std::size_t size() const noexcept { return size_; }
  std::string_view text() const noexcept { return {data_, size_}; }

 private:
  char data_[kCapacity];
  std::size_t size_ = 0;
};

// The header of the current call followed by its alignment blanks.
using HeaderArea = FixedText<512>;

// Appends the standard header "{HH:MM:SS.mmm} LEVEL: [category]".
void append_standard_header(HeaderArea& header, LogTimestamp timestamp, const LogLevel& level,
                            const LogCategory& category) noexcept;

// Pads the header with blanks up to PrefixWidth when PrefixWidth is wider;
// otherwise, when `may_raise`, raises PrefixWidth to the header's width.
void align_header(HeaderArea& header, bool may_raise) noexcept;

// Raises PrefixWidth to `width` unless it already holds `width` or more.
// `seen` is the value the caller read; another call may have raised it since.
void raise_prefix_width(std::uint64_t seen, std::uint64_t width) noexcept;

// The separators between a header and a line of the message.
constexpr std::string_view kFirstSeparator = " > ";
constexpr std::string_view kNextSeparator = " | ";

// The separator of a message's first line: " | " too when the call continues
// an earlier message.
constexpr std::string_view first_line_separator(const DispatchContext& context) noexcept {
  return context.continuation ? kNextSeparator : kFirstSeparator;
}

// The per-call state of one composition: the call's timestamp, the header
// area and both buffers. Not thread-safe; it never leaves its call.
class Composition {
 public:
  // Takes the call's one timestamp.
  Composition(const DispatchContext& context, const LogCategory& category, const LogLevel& level) noexcept;
  Composition(const Composition&) = delete;
  Composition& operator=(const Composition&) = delete;

  LogTimestamp timestamp() const noexcept { return timestamp_; }
  HeaderArea& header() noexcept { return header_; }
  MessageBuffer& message() noexcept { return message_; }
  LineBuffer& text() noexcept { return text_; }

  // Cuts the message after every line feed (the last piece, possibly empty,
  // is what follows the last one). For each piece, appends the header, the
  // separator (`first_separator`, then " | "), `line_prefix` and the piece to
  // the text, then hands the piece to every raw channel.
  void write_message_lines(std::string_view first_separator, std::string_view line_prefix);

  // Appends the header, `marker` and `line` to the text and ends the line.
  void write_header_line(std::string_view marker, std::string_view line) noexcept;

  // Appends `terminators` and hands the whole text to every ordinary channel.
  void deliver(std::string_view terminators);

 private:
  const DispatchContext& context_;
  const LogCategory& category_;
  const LogLevel& level_;
  const LogTimestamp timestamp_;
  // In this order what every call touches lies in two places of the stack:
  // the header with the start of the text, and, 64 KiB further up, the start
  // of the message with the frame's top. Where the kernel empties the TLB at
  // every system call, as it does without PCID, each page touched is a page
  // walk on every call to a file that writes each text.
  HeaderArea header_;
  LineBuffer text_;
  MessageBuffer message_;
};

// The three composers. Each returns at once when `context` holds no ordinary
// channel. They raise nothing of their own; a channel's exception passes.
void compose_ordinary(const DispatchContext& context, const LogCategory& category, const LogLevel& level,
                      std::string_view format, fmt::format_args args);
void compose_assert(const DispatchContext& context, std::string_view condition, std::string_view callstack,
                    std::string_view format, fmt::format_args args);
void compose_data_error(const DispatchContext& context, std::string_view format, fmt::format_args args);

}  // namespace core::logger::detail

#endif  // CORE_LOGGER_PIPELINE_TEXT_COMPOSER_H_
