#include "channels/message_text.h"

#include <algorithm>

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

void append_two_digits(TextBuffer& out, unsigned value) {
  const char digits[2] = {static_cast<char>('0' + value / 10 % 10), static_cast<char>('0' + value % 10)};
  out.append(digits, digits + 2);
}

void append_escape(TextBuffer& out, unsigned char c) {
  switch (c) {
    case '"':
      return append(out, "\\\"");
    case '\\':
      return append(out, "\\\\");
    case '\n':
      return append(out, "\\n");
    case '\r':
      return append(out, "\\r");
    case '\t':
      return append(out, "\\t");
    case '\b':
      return append(out, "\\b");
    case '\f':
      return append(out, "\\f");
    default:
      fmt::format_to(std::back_inserter(out), "\\u{:04x}", static_cast<unsigned>(c));
  }
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
  const Date date = date_of(day);
  fmt::format_to(std::back_inserter(out), "{:04}-", date.year);
  append_two_digits(out, date.month);
  out.push_back('-');
  append_two_digits(out, date.day);
}

void append_iso_time(TextBuffer& out, std::int64_t local_ms, int offset_seconds) {
  const std::int64_t seconds = floor_div(local_ms, 1000);
  append_date(out, day_of(seconds));
  const auto second_of_day = static_cast<unsigned>(seconds - day_of(seconds) * 86400);
  const auto millisecond = static_cast<unsigned>(local_ms - seconds * 1000);
  out.push_back('T');
  append_two_digits(out, second_of_day / 3600);
  out.push_back(':');
  append_two_digits(out, second_of_day / 60 % 60);
  out.push_back(':');
  append_two_digits(out, second_of_day % 60);
  out.push_back('.');
  out.push_back(static_cast<char>('0' + millisecond / 100));
  append_two_digits(out, millisecond % 100);
  out.push_back(offset_seconds < 0 ? '-' : '+');
  const unsigned offset_minutes =
      static_cast<unsigned>(offset_seconds < 0 ? -offset_seconds : offset_seconds) / 60;
  append_two_digits(out, offset_minutes / 60);
  out.push_back(':');
  append_two_digits(out, offset_minutes % 60);
}

void append_json_escaped(TextBuffer& out, std::string_view text) {
  std::size_t done = 0;  // text before this is written
  std::size_t at = 0;
  const auto flush = [&] { out.append(text.data() + done, text.data() + at); };
  while (at < text.size()) {
    const auto c = static_cast<unsigned char>(text[at]);
    if (c >= 0x20 && c < 0x80 && c != '"' && c != '\\') {
      ++at;
      continue;
    }
    if (c >= 0x80) {
      const int length = utf8_sequence(text.substr(at));
      if (length > 0) {
        at += static_cast<std::size_t>(length);
        continue;
      }
      flush();
      append(out, "\xEF\xBF\xBD");
      at += static_cast<std::size_t>(-length);
    } else {
      flush();
      append_escape(out, c);
      ++at;
    }
    done = at;
  }
  flush();
}

}  // namespace core::logger::channels_detail
