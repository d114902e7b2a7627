// tests/fuzz/byte_reader.h: arbitrary bytes read as numbers and texts, for
// the fuzz targets and their corpus replays. A field cut off by the end of
// the input is zero or empty.
#ifndef CORE_LOGGER_TESTS_FUZZ_BYTE_READER_H_
#define CORE_LOGGER_TESTS_FUZZ_BYTE_READER_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

namespace core::logger::fuzz {

class ByteReader {
 public:
  ByteReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  // `bytes` bytes, little-endian.
  std::uint64_t number(int bytes) {
    std::uint64_t value = 0;
    for (int i = 0; i < bytes && size_ > 0; ++i, --size_) value |= std::uint64_t{*data_++} << (8 * i);
    return value;
  }
  // A u16 length, then that many bytes.
  std::string text() {
    const std::size_t length = std::min<std::size_t>(number(2), size_);
    std::string out(reinterpret_cast<const char*>(data_), length);
    data_ += length;
    size_ -= length;
    return out;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
};

}  // namespace core::logger::fuzz

#endif  // CORE_LOGGER_TESTS_FUZZ_BYTE_READER_H_
