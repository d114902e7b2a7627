// text/control_characters.h: control characters of a text made visible, for
// the outputs that a terminal shows. Header-only, shared by both libraries.
//
// A log line must not take over the terminal that shows it: escape
// sequences in a message could set the window's title, clear the screen,
// hide earlier lines or, on some terminals, answer back into the input.
#ifndef CORE_LOGGER_TEXT_CONTROL_CHARACTERS_H_
#define CORE_LOGGER_TEXT_CONTROL_CHARACTERS_H_

#include <cstddef>
#include <string_view>

#if defined(__SSE2__)
#  include <emmintrin.h>
#endif

namespace core::logger::text {

// Whether the byte at `at` starts a control character, and how many bytes
// long it is: 0x00-0x1F but line feed and tab, 0x7F, and the C1 controls
// U+0080-U+009F encoded as UTF-8 (0xC2 0x80 to 0xC2 0x9F). 0: none.
inline std::size_t control_length(std::string_view text, std::size_t at) noexcept {
  const auto c = static_cast<unsigned char>(text[at]);
  if (c < 0x20) return c != '\n' && c != '\t' ? 1 : 0;
  if (c == 0x7F) return 1;
  if (c != 0xC2 || at + 1 == text.size()) return 0;
  const auto next = static_cast<unsigned char>(text[at + 1]);
  return next >= 0x80 && next <= 0x9F ? 2 : 0;
}

// The offset of the first control character in `text` from `from` on, or
// text.size(). Sixteen bytes at a time where SSE2 is there (every x86-64
// target), looking for bytes below 0x20, 0x7F and 0xC2; the last sixteen
// overlap those before, so that no byte is left to a loop of one at a time.
inline std::size_t find_control(std::string_view text, std::size_t from = 0) noexcept {
  std::size_t at = from;
#if defined(__SSE2__)
  if (text.size() - from >= 16) {
    const __m128i low = _mm_set1_epi8(0x1F);
    const __m128i line_feed = _mm_set1_epi8('\n');
    const __m128i tab = _mm_set1_epi8('\t');
    const __m128i del = _mm_set1_epi8(0x7F);
    const __m128i c1_lead = _mm_set1_epi8(static_cast<char>(0xC2));
    // One bit for each of the sixteen bytes at `offset` that may start a
    // control character.
    const auto candidates_at = [&](std::size_t offset) {
      const __m128i chars = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + offset));
      // Unsigned: min(c, 0x1F) == c exactly for c <= 0x1F.
      const __m128i below = _mm_cmpeq_epi8(_mm_min_epu8(chars, low), chars);
      const __m128i kept = _mm_or_si128(_mm_cmpeq_epi8(chars, line_feed), _mm_cmpeq_epi8(chars, tab));
      const __m128i candidates =
          _mm_or_si128(_mm_andnot_si128(kept, below),
                       _mm_or_si128(_mm_cmpeq_epi8(chars, del), _mm_cmpeq_epi8(chars, c1_lead)));
      return static_cast<unsigned>(_mm_movemask_epi8(candidates));
    };
    const auto first_of = [&](std::size_t offset, unsigned bits) {
      for (; bits != 0; bits &= bits - 1) {
        const std::size_t candidate = offset + static_cast<std::size_t>(__builtin_ctz(bits));
        if (control_length(text, candidate) != 0) return candidate;
      }
      return text.size();
    };
    for (; text.size() - at >= 16; at += 16) {
      const std::size_t found = first_of(at, candidates_at(at));
      if (found != text.size()) return found;
    }
    if (at == text.size()) return at;
    const std::size_t last = text.size() - 16;
    return first_of(last, candidates_at(last) & (~0u << (at - last)));
  }
#endif
  for (; at < text.size(); ++at) {
    if (control_length(text, at) != 0) return at;
  }
  return text.size();
}

// Appends `text` to `out` (anything with `append(const char*, const char*)`)
// with each byte of every control character written as "\xHH", two upper
// case hex digits; line feeds, tabs and all else as they are.
template <typename Buffer>
void append_escaped(std::string_view text, Buffer& out) {
  constexpr char kHex[] = "0123456789ABCDEF";
  std::size_t done = 0;
  for (std::size_t at = find_control(text); at < text.size(); at = find_control(text, done)) {
    out.append(text.data() + done, text.data() + at);
    done = at + control_length(text, at);
    for (; at < done; ++at) {
      const auto c = static_cast<unsigned char>(text[at]);
      const char escape[] = {'\\', 'x', kHex[c >> 4], kHex[c & 15]};
      out.append(escape, escape + 4);
    }
  }
  out.append(text.data() + done, text.data() + text.size());
}

}  // namespace core::logger::text

#endif  // CORE_LOGGER_TEXT_CONTROL_CHARACTERS_H_
