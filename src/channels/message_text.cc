#include "channels/message_text.h"

#include <algorithm>
#include <cstring>

#include "channels/channels_platform.h"

namespace core::logger::channels_detail {
namespace {

// Half-gathered calls that never end (a channel before this one threw) are
// forgotten, oldest first, beyond this many.
constexpr std::size_t kMaxPendingMessages = 64;

// LogTimestamp ticks (100 ns since 0001-01-01) at 1970-01-01.
constexpr std::int64_t kTicksAt1970 = 621355968000000000;

std::int64_t floor_div(std::int64_t value, std::int64_t divisor) noexcept {
  const std::int64_t quotient = value / divisor;
  return quotient * divisor > value ? quotient - 1 : quotient;
}

struct Date {
  std::int64_t year;
  unsigned month;
  unsigned day;
};

// The proleptic Gregorian date of a day since 1970-01-01 (H. Hinnant's
// civil_from_days).
Date date_of(std::int64_t days) noexcept {
  days += 719468;
  const std::int64_t era = floor_div(days, 146097);
  const auto day_of_era = static_cast<unsigned>(days - era * 146097);
  const unsigned year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const unsigned day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const unsigned month_index = (5 * day_of_year + 2) / 153;
  const unsigned day = day_of_year - (153 * month_index + 2) / 5 + 1;
  const unsigned month = month_index < 10 ? month_index + 3 : month_index - 9;
  return Date{static_cast<std::int64_t>(year_of_era) + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

// Writes `value` as `width` decimal digits, zero-padded, and returns the end.
char* put_digits(char* out, unsigned value, int width) noexcept {
  for (int i = width - 1; i >= 0; --i, value /= 10) out[i] = static_cast<char>('0' + value % 10);
  return out + width;
}

// "2026-12-07" at `out`; returns the end. Years beyond four digits, which no
// clock reaches, are cut to their last four.
char* put_date(char* out, std::int64_t day) noexcept {
  const Date date = date_of(day);
  out = put_digits(out, static_cast<unsigned>(date.year < 0 ? 0 : date.year % 10000), 4);
  *out++ = '-';
  out = put_digits(out, date.month, 2);
  *out++ = '-';
  return put_digits(out, date.day, 2);
}

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
// (at least 1): what one U+FFFD replaces, as Unicode recommends.
// REQUIRES: text[0] >= 0x80.
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

// The date and time of day change once a second: each thread keeps the text
// of its last second. Trivially destructible, so that it never keeps the
// library loaded.
struct SecondText {
  std::int64_t second;
  char text[19];  // "2026-12-07T09:42:07"
};
thread_local SecondText t_last_second{INT64_MIN, {}};

}  // namespace

bool has_raw_record(const DispatchContext& context, LogRawChannelCallback callback,
                    const void* user_data) noexcept {
  for (std::uint32_t i = 0; i < context.raw_channel_count; ++i) {
    const LogRawChannel& record = context.raw_channels[i];
    if (record.callback == callback && record.user_data == user_data) return true;
  }
  return false;
}

bool MessageAssembler::add(const DispatchContext& context, LogTimestamp timestamp, std::string_view piece,
                           std::string* storage, std::string_view* message) {
  const bool last = piece.empty() || piece.back() != '\n';
  // A thread always sees its own pending calls counted.
  if (last && pending_count_.load(std::memory_order_relaxed) == 0) {
    *message = piece;
    return true;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = std::find_if(pending_.begin(), pending_.end(), [&](const Pending& pending) {
    return pending.context == &context && pending.ticks == timestamp.ticks;
  });
  if (found != pending_.end()) {
    found->text.append(piece);
    if (!last) return false;
    *storage = std::move(found->text);
    pending_.erase(found);
    pending_count_.store(pending_.size(), std::memory_order_relaxed);
    *message = *storage;
    return true;
  }
  if (last) {
    *message = piece;
    return true;
  }
  if (pending_.size() == kMaxPendingMessages) pending_.erase(pending_.begin());
  pending_.push_back(Pending{&context, timestamp.ticks, std::string(piece)});
  pending_count_.store(pending_.size(), std::memory_order_relaxed);
  return false;
}

int UtcOffsetCache::at(std::int64_t unix_seconds) noexcept {
  const std::uint64_t packed = packed_.load(std::memory_order_relaxed);
  if (packed != 0 && static_cast<std::int64_t>(packed >> 20) == unix_seconds) {
    return static_cast<int>(packed & 0xFFFFF) - kBias;
  }
  const int offset = channels_platform::utc_offset_seconds(unix_seconds);
  packed_.store((static_cast<std::uint64_t>(unix_seconds) << 20) | static_cast<std::uint64_t>(offset + kBias),
                std::memory_order_relaxed);
  return offset;
}

std::int64_t local_ms_of(LogTimestamp timestamp) noexcept {
  return floor_div(static_cast<std::int64_t>(timestamp.ticks) - kTicksAt1970, 10000);
}

std::int64_t day_of(std::int64_t local_seconds) noexcept { return floor_div(local_seconds, 86400); }

void append_date(TextBuffer& out, std::int64_t day) {
  char date[10];
  out.append(date, put_date(date, day));
}

char* put_iso_time(char* out, std::int64_t local_ms, int offset_seconds) noexcept {
  SecondText& last = t_last_second;
  const std::int64_t seconds = floor_div(local_ms, 1000);
  if (last.second != seconds) {
    const auto second_of_day = static_cast<unsigned>(seconds - day_of(seconds) * 86400);
    char* at = put_date(last.text, day_of(seconds));
    *at++ = 'T';
    at = put_digits(at, second_of_day / 3600, 2);
    *at++ = ':';
    at = put_digits(at, second_of_day / 60 % 60, 2);
    *at++ = ':';
    put_digits(at, second_of_day % 60, 2);
    last.second = seconds;
  }
  std::memcpy(out, last.text, sizeof last.text);
  out += sizeof last.text;
  *out++ = '.';
  out = put_digits(out, static_cast<unsigned>(local_ms - seconds * 1000), 3);
  const unsigned offset_minutes =
      static_cast<unsigned>(offset_seconds < 0 ? -offset_seconds : offset_seconds) / 60;
  *out++ = offset_seconds < 0 ? '-' : '+';
  out = put_digits(out, offset_minutes / 60 % 100, 2);
  *out++ = ':';
  return put_digits(out, offset_minutes % 60, 2);
}

void append_iso_time(TextBuffer& out, std::int64_t local_ms, int offset_seconds) {
  char time[kIsoTimeLength];
  out.append(time, put_iso_time(time, local_ms, offset_seconds));
}

char* put_decimal(char* out, std::uint64_t value) noexcept {
  const fmt::format_int digits(value);
  std::memcpy(out, digits.data(), digits.size());
  return out + digits.size();
}

void append_decimal(TextBuffer& out, std::uint64_t value) {
  const fmt::format_int digits(value);
  out.append(digits.data(), digits.data() + digits.size());
}

char* put_json_escaped(char* out, std::string_view text) noexcept {
  const char* at = text.data();
  const char* const end = at + text.size();
  while (at < end) {
    // Eight bytes at a time while none needs a look: most messages are
    // plain ASCII, and this loop was the JSON format's largest cost.
    for (; end - at >= 8 && is_plain_word(at); at += 8, out += 8) std::memcpy(out, at, 8);
    if (at == end) break;
    const auto c = static_cast<unsigned char>(*at);
    if (c >= 0x20 && c < 0x80 && c != '"' && c != '\\') {
      *out++ = *at++;
    } else if (c < 0x80) {
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

}  // namespace core::logger::channels_detail
