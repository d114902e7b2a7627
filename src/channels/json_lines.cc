#include "channels/json_lines.h"

#include <array>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#  include <emmintrin.h>
#endif

#include "channels/local_time.h"

namespace core::logger::channels_detail {
namespace {

// The JSON escape of a character that needs one.
char* put_escape(char* out, unsigned char c) noexcept {
  static constexpr char kShort[] = {'"', '"',  '\\', '\\', '\n', 'n',  '\r',
                                    'r', '\t', 't',  '\b', 'b',  '\f', 'f'};
  *out++ = '\\';
  for (std::size_t i = 0; i < sizeof kShort; i += 2) {
    if (kShort[i] == static_cast<char>(c)) {
      *out++ = kShort[i + 1];
      return out;
    }
  }
  static constexpr char kHex[] = "0123456789abcdef";
  const char unicode[] = {'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
  std::memcpy(out, unicode, sizeof unicode);
  return out + sizeof unicode;
}

// The length of the well-formed UTF-8 sequence at the start of `text`, or,
// when it is ill-formed, minus the length of its longest well-formed prefix
// (at least 1): what one U+FFFD replaces. REQUIRES: text[0] >= 0x80.
int utf8_sequence(std::string_view text) noexcept {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  int length = 0;
  unsigned char low = 0x80;  // the range of the second byte
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return -1;
  }
  for (int i = 1; i < length; ++i) {
    if (static_cast<std::size_t>(i) >= text.size()) return -i;
    const unsigned char c = byte(static_cast<std::size_t>(i));
    if (c < (i == 1 ? low : 0x80) || c > (i == 1 ? high : 0xBF)) return -i;
  }
  return length;
}

// Whether none of the eight bytes at `bytes` is a control character, a
// quote, a backslash or above 0x7F.
bool is_plain_word(const char* bytes) noexcept {
  constexpr std::uint64_t kOnes = 0x0101010101010101u;
  constexpr std::uint64_t kHighs = 0x8080808080808080u;
  std::uint64_t word;
  std::memcpy(&word, bytes, sizeof word);
  const auto has_zero = [](std::uint64_t v) { return (v - kOnes) & ~v & kHighs; };
  const std::uint64_t below_space = (word - 0x20 * kOnes) & ~word & kHighs;
  return ((word & kHighs) | below_space | has_zero(word ^ ('"' * kOnes)) | has_zero(word ^ ('\\' * kOnes))) ==
         0;
}

// Bit i set: byte i of the sixteen at `bytes` needs a look, as above. SSE2
// is on every x86-64 target; elsewhere every byte is marked.
unsigned special_bytes(const char* bytes) noexcept {
#if defined(__SSE2__)
  const __m128i chars = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
  // Compared as signed bytes, those above 0x7F fall below the blank too.
  const __m128i special = _mm_or_si128(
      _mm_cmplt_epi8(chars, _mm_set1_epi8(0x20)),
      _mm_or_si128(_mm_cmpeq_epi8(chars, _mm_set1_epi8('"')), _mm_cmpeq_epi8(chars, _mm_set1_epi8('\\'))));
  return static_cast<unsigned>(_mm_movemask_epi8(special));
#else
  (void)bytes;
  return 0xFFFF;
#endif
}

// The bytes that need no escape.
constexpr std::array<bool, 256> kPlain = [] {
  std::array<bool, 256> plain{};
  for (int c = 0x20; c < 0x80; ++c) plain[static_cast<std::size_t>(c)] = c != '"' && c != '\\';
  return plain;
}();

}  // namespace

char* put_json_escaped(char* out, std::string_view text) noexcept {
  const char* at = text.data();
  const char* const end = at + text.size();
  while (at < end) {
    // Sixteen bytes at a time while none needs a look, then eight, then one:
    // most messages are plain ASCII, and this loop was the JSON format's
    // largest cost. A copy may run past what is plain: `out` has room for
    // six bytes per byte.
    while (end - at >= 16) {
      std::memcpy(out, at, 16);
      const unsigned special = special_bytes(at);
      const unsigned plain = special != 0 ? static_cast<unsigned>(__builtin_ctz(special)) : 16;
      at += plain;
      out += plain;
      if (special != 0) break;
    }
    if (end - at >= 8 && is_plain_word(at)) {
      std::memcpy(out, at, 8);
      at += 8;
      out += 8;
    }
    const char* const run = at;
    while (at != end && kPlain[static_cast<unsigned char>(*at)]) ++at;
    std::memcpy(out, run, static_cast<std::size_t>(at - run));
    out += at - run;
    if (at == end) break;
    const auto c = static_cast<unsigned char>(*at);
    if (c < 0x80) {
      out = put_escape(out, c);
      ++at;
    } else if (const int length = utf8_sequence(std::string_view(at, static_cast<std::size_t>(end - at)));
               length > 0) {
      std::memcpy(out, at, static_cast<std::size_t>(length));
      out += length;
      at += length;
    } else {
      std::memcpy(out, "\xEF\xBF\xBD", 3);
      out += 3;
      at += -length;
    }
  }
  return out;
}

std::string_view encode_json_line(const Message& message, EncodeBuffer& out) {
  const DispatchContext* const context = message.context;
  const std::string_view category =
      message.category != nullptr ? message.category->key.name : std::string_view();
  const bool with_file_line = context != nullptr && context->with_file_line;
  const bool with_function = context != nullptr && context->with_function;
  const std::string_view file = with_file_line ? context->location.file : std::string_view();
  const std::string_view function = with_function ? context->location.function : std::string_view();
  // Written through a pointer into room for the worst case: appending piece
  // by piece cost as much as the escaping. The keys, the time and two
  // numbers take less than 192 bytes.
  out.resize(192 + kMaxJsonEscape * (message.level->name.size() + category.size() + message.text.size() +
                                     file.size() + function.size()));
  char* at = put_iso_time(put_text(out.data(), "{\"time\":\""), message.timestamp, message.utc_offset);
  at = put_json_escaped(put_text(at, "\",\"level\":\""), message.level->name);
  at = put_decimal(put_text(at, "\",\"level_value\":"), message.level->value);
  at = put_json_escaped(put_text(at, ",\"category\":\""), category);
  at = put_json_escaped(put_text(at, "\",\"message\":\""), message.text);
  *at++ = '"';
  if (with_file_line) {
    at = put_json_escaped(put_text(at, ",\"file\":\""), file);
    at = put_decimal(put_text(at, "\",\"line\":"), context->location.line);
  }
  if (with_function) {
    at = put_json_escaped(put_text(at, ",\"function\":\""), function);
    *at++ = '"';
  }
  at = put_text(at, "}\n");
  return std::string_view(out.data(), static_cast<std::size_t>(at - out.data()));
}

}  // namespace core::logger::channels_detail
