#include "channels/rfc5424.h"

#include <cstring>

#include "channels/local_time.h"

namespace core::logger::channels_detail {
namespace {

constexpr std::size_t kMaxMsgId = 32;
// Room in front of a packet for its octet count and a blank.
constexpr std::size_t kCountRoom = 21;
constexpr std::string_view kCut = "...";

// "<191>1 ", the time, the sender's three fields at their longest with their
// blanks, MSGID, " - ".
static_assert(kMaxRfc5424Header == 7 + kIsoTimeLength + (1 + 255 + 1 + 48 + 1 + 128 + 1) + kMaxMsgId + 3);

// The length of the longest prefix of `text` of at most `length` bytes that
// does not end inside a UTF-8 character. Bytes that are not UTF-8 count as
// characters of their own, so a run of continuation bytes is cut anywhere
// beyond the three that one character may have.
std::size_t utf8_prefix(std::string_view text, std::size_t length) noexcept {
  if (length >= text.size()) return text.size();
  for (std::size_t back = 0; back < 3 && length > 0; ++back) {
    if ((static_cast<unsigned char>(text[length]) & 0xC0) != 0x80) return length;  // a character starts here
    --length;
  }
  return length;
}

}  // namespace

unsigned syslog_severity(std::uint32_t level_value) noexcept {
  if (level_value <= 1) return 7;  // debug
  if (level_value == 2) return 6;  // informational
  if (level_value == 3) return 4;  // warning
  if (level_value == 4) return 3;  // error
  return 2;                        // critical: fatal levels
}

char* put_header_field(char* out, std::string_view text, std::size_t max_length) noexcept {
  if (text.empty() || max_length == 0) {
    *out = '-';
    return out + 1;
  }
  for (const char c : text.substr(0, max_length)) *out++ = c < 33 || c > 126 ? '_' : c;
  return out;
}

std::string sender_fields(std::string_view host, std::string_view app_name, std::string_view procid) {
  char fields[255 + 48 + 128 + 4];
  char* at = fields;
  *at++ = ' ';
  at = put_header_field(at, host, 255);
  *at++ = ' ';
  at = put_header_field(at, app_name, 48);
  *at++ = ' ';
  at = put_header_field(at, procid, 128);
  *at++ = ' ';
  return std::string(fields, at);
}

std::string_view encode_rfc5424(const Message& message, unsigned facility, std::string_view fields,
                                std::size_t max_size, bool octet_counting, EncodeBuffer& out) {
  const std::string_view category =
      message.category != nullptr ? message.category->key.name : std::string_view();
  out.resize(kCountRoom + 8 + kIsoTimeLength + fields.size() + kMaxMsgId + 3 + message.text.size() +
             kCut.size());
  char* const packet = out.data() + kCountRoom;
  char* at = put_decimal(put_text(packet, "<"), facility * 8 + syslog_severity(message.level->value));
  at = put_iso_time(put_text(at, ">1 "), message.timestamp, message.utc_offset);
  std::memcpy(at, fields.data(), fields.size());
  at = put_text(put_header_field(at + fields.size(), category, kMaxMsgId), " - ");
  const std::size_t header = static_cast<std::size_t>(at - packet);
  const std::size_t room = max_size > header ? max_size - header : 0;
  std::size_t size = header + message.text.size();
  if (message.text.size() <= room) {
    std::memcpy(at, message.text.data(), message.text.size());
  } else {
    const std::size_t length = utf8_prefix(message.text, room > kCut.size() ? room - kCut.size() : 0);
    std::memcpy(at, message.text.data(), length);
    std::memcpy(at + length, kCut.data(), kCut.size());
    size = header + length + kCut.size();
  }
  if (!octet_counting) return std::string_view(packet, size);
  char count[kCountRoom];
  char* const count_end = put_text(put_decimal(count, size), " ");
  const auto count_size = static_cast<std::size_t>(count_end - count);
  std::memcpy(packet - count_size, count, count_size);
  return std::string_view(packet - count_size, count_size + size);
}

}  // namespace core::logger::channels_detail
