#include "channels/journal_entry.h"

#include <cstring>

#include "channels/local_time.h"
#include "channels/rfc5424.h"

namespace core::logger::channels_detail {
namespace {

// Room for everything of an entry but its texts and the sender's fields:
// the ten field names (98 bytes), their overheads (100), and the numbers
// and the time (at most 70).
constexpr std::size_t kFixedRoom = 288;

// `name` and `value` as a field of decimal digits, which never need the
// binary form.
char* put_number_field(char* out, std::string_view name, std::uint64_t value) noexcept {
  std::memcpy(out, name.data(), name.size());
  out += name.size();
  *out++ = '=';
  out = put_decimal(out, value);
  *out++ = '\n';
  return out;
}

}  // namespace

char* put_journal_field(char* out, std::string_view name, std::string_view value) noexcept {
  std::memcpy(out, name.data(), name.size());
  out += name.size();
  if (value.find('\n') == std::string_view::npos && value.find('\0') == std::string_view::npos) {
    *out++ = '=';
  } else {
    *out++ = '\n';
    std::uint64_t size = value.size();
    for (int byte = 0; byte < 8; ++byte, size >>= 8) *out++ = static_cast<char>(size & 0xFF);
  }
  if (!value.empty()) std::memcpy(out, value.data(), value.size());  // an empty view may have no data
  out += value.size();
  *out++ = '\n';
  return out;
}

std::string journal_field(std::string_view name, std::string_view value) {
  std::string field(name.size() + value.size() + kJournalFieldOverhead, '\0');
  field.resize(static_cast<std::size_t>(put_journal_field(field.data(), name, value) - field.data()));
  return field;
}

std::string_view encode_journal_entry(const Message& message, std::string_view sender_fields,
                                      std::uint64_t thread_id, EncodeBuffer& out) {
  const DispatchContext* const context = message.context;
  const std::string_view category =
      message.category != nullptr ? message.category->key.name : std::string_view();
  const std::string_view file = context != nullptr ? context->location.file : std::string_view();
  const std::string_view function = context != nullptr ? context->location.function : std::string_view();
  const std::string_view level = message.level->name;
  out.resize(kFixedRoom + sender_fields.size() + message.text.size() + category.size() + level.size() +
             file.size() + function.size());
  char* at = put_journal_field(out.data(), "MESSAGE", message.text);
  at = put_number_field(at, "PRIORITY", syslog_severity(message.level->value));
  std::memcpy(at, sender_fields.data(), sender_fields.size());
  at += sender_fields.size();
  if (!file.empty()) {
    at = put_journal_field(at, "CODE_FILE", file);
    at = put_number_field(at, "CODE_LINE", context->location.line);
  }
  if (!function.empty()) at = put_journal_field(at, "CODE_FUNC", function);
  at = put_number_field(at, "TID", thread_id);
  at = put_journal_field(at, "CORE_CATEGORY", category);
  at = put_journal_field(at, "CORE_LEVEL", level);
  at = put_number_field(at, "CORE_LEVEL_VALUE", message.level->value);
  at = put_text(at, "CORE_TIMESTAMP=");
  at = put_iso_time(at, message.timestamp, message.utc_offset);
  *at++ = '\n';
  return std::string_view(out.data(), static_cast<std::size_t>(at - out.data()));
}

}  // namespace core::logger::channels_detail
