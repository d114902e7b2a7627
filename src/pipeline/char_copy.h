// pipeline/char_copy.h: copying the short runs of characters that make up a
// log line.
//
// A composed line is a dozen copies of a few characters each (a time, a tag, a
// name, a separator, a piece of the message). Through the C library's memcpy
// each is a call that costs more than the copy itself, so runs of up to 32
// characters are copied inline.
#ifndef CORE_LOGGER_PIPELINE_CHAR_COPY_H_
#define CORE_LOGGER_PIPELINE_CHAR_COPY_H_

#include <cstddef>
#include <cstring>

namespace core::logger::detail {

// Copies `count` characters from `source` to `target`; the ranges must not
// overlap. Short runs are copied as two overlapping blocks of fixed size,
// which reads and writes nothing outside either range.
[[gnu::always_inline]] inline void copy_chars(char* target, const char* source, std::size_t count) noexcept {
  if (count >= 16) {
    if (count > 32) {
      std::memcpy(target, source, count);
      return;
    }
    std::memcpy(target, source, 16);
    std::memcpy(target + count - 16, source + count - 16, 16);
  } else if (count >= 8) {
    std::memcpy(target, source, 8);
    std::memcpy(target + count - 8, source + count - 8, 8);
  } else if (count >= 4) {
    std::memcpy(target, source, 4);
    std::memcpy(target + count - 4, source + count - 4, 4);
  } else if (count != 0) {
    target[0] = source[0];
    target[count / 2] = source[count / 2];
    target[count - 1] = source[count - 1];
  }
}

}  // namespace core::logger::detail

#endif  // CORE_LOGGER_PIPELINE_CHAR_COPY_H_
