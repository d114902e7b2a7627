// pipeline/char_copy.h: copying the short runs of characters, and the pairs
// of digits, that make up a log line.
//
// A composed line is a dozen copies of a few characters each (a time, a tag, a
// name, a separator, a piece of the message). Through the C library's memcpy
// each is a call that costs more than the copy itself, so runs of up to 32
// characters are copied inline.
#ifndef CORE_LOGGER_PIPELINE_CHAR_COPY_H_
#define CORE_LOGGER_PIPELINE_CHAR_COPY_H_

#include <cstddef>
#include <cstdint>
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

// "00" to "99": the two digits of every value below 100, at twice the value.
inline constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Writes the two decimal digits of `value` at `target`.
// REQUIRES: value < 100.
[[gnu::always_inline]] inline void copy_digit_pair(char* target, std::uint32_t value) noexcept {
  std::memcpy(target, kDigitPairs + value * 2, 2);
}

// The number of decimal digits of `value`: an estimate from its bit length
// (1233 / 4096 is just above log10(2)), corrected by one comparison.
inline std::size_t decimal_digit_count(std::uint64_t value) noexcept {
  static constexpr std::uint64_t kPowersOf10[] = {0,
                                                  10,
                                                  100,
                                                  1000,
                                                  10000,
                                                  100000,
                                                  1000000,
                                                  10000000,
                                                  100000000,
                                                  1000000000,
                                                  10000000000,
                                                  100000000000,
                                                  1000000000000,
                                                  10000000000000,
                                                  100000000000000,
                                                  1000000000000000,
                                                  10000000000000000,
                                                  100000000000000000,
                                                  1000000000000000000,
                                                  10000000000000000000u};
  const int bits = 64 - __builtin_clzll(value | 1);
  const int estimate = bits * 1233 >> 12;
  return static_cast<std::size_t>(estimate - (value < kPowersOf10[estimate]) + 1);
}

// Writes `size` characters at `target`: the decimal digits of `magnitude` at
// the end, zeros before them, and a '-' first if `negative` (as {fmt} writes
// "{:0N}"). The composers' one decimal writer: the digits go straight to
// their place, since built elsewhere and copied they would be read back
// before their stores complete.
// REQUIRES: size >= decimal_digit_count(magnitude) + negative.
template <typename Unsigned>
[[gnu::hot]] void write_decimal(char* target, Unsigned magnitude, std::size_t size, bool negative) noexcept {
  char* digit = target + size;
  while (magnitude >= 100) {
    digit -= 2;
    copy_digit_pair(digit, static_cast<std::uint32_t>(magnitude % 100));
    magnitude /= 100;
  }
  if (magnitude >= 10) {
    digit -= 2;
    copy_digit_pair(digit, static_cast<std::uint32_t>(magnitude));
  } else {
    *--digit = static_cast<char>('0' + magnitude);
  }
  while (digit != target) *--digit = '0';
  if (negative) *target = '-';
}

}  // namespace core::logger::detail

#endif  // CORE_LOGGER_PIPELINE_CHAR_COPY_H_
