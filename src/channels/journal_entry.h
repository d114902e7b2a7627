// channels/journal_entry.h: a message as an entry of the systemd journal's
// native protocol. Portable; the transport is the platform's.
//
// An entry is a list of fields, each "NAME=value\n", or, for a value that
// holds a line feed or a NUL, "NAME\n" followed by the value's length as a
// 64-bit little-endian number, the value and "\n".
#ifndef CORE_LOGGER_CHANNELS_JOURNAL_ENTRY_H_
#define CORE_LOGGER_CHANNELS_JOURNAL_ENTRY_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "channels/channel_state.h"
#include "channels/message.h"

namespace core::logger::channels_detail {

// What a field takes beside its name and value, at most: "\n", the length
// and "\n".
constexpr std::size_t kJournalFieldOverhead = 10;

// The field `name` (REQUIRES: a valid journal field name) with `value` at
// `out`; returns the end.
char* put_journal_field(char* out, std::string_view name, std::string_view value) noexcept;

// The same as a string, for a field that every entry of a sender carries.
std::string journal_field(std::string_view name, std::string_view value);

// The entry of `message` in `out`: MESSAGE, PRIORITY (`syslog_severity` of
// the level's value), `sender_fields` as they are, CODE_FILE and CODE_LINE
// when the call carries a file, CODE_FUNC when it carries a function, TID
// (`thread_id`), CORE_CATEGORY, CORE_LEVEL, CORE_LEVEL_VALUE and
// CORE_TIMESTAMP (ISO 8601 local time of the call). Returns a view of it.
std::string_view encode_journal_entry(const Message& message, std::string_view sender_fields,
                                      std::uint64_t thread_id, EncodeBuffer& out);

}  // namespace core::logger::channels_detail

#endif  // CORE_LOGGER_CHANNELS_JOURNAL_ENTRY_H_
