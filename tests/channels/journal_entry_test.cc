// The journal's entries without a socket: every field of a message, in the
// form that journald's native protocol reads, read back by a parser of its
// own. The journal tests (tests/journal) send them to a real journald.
#include "channels/journal_entry.h"

#include <cstdint>
#include <map>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "core/log.h"

namespace core::logger::channels_detail {
namespace {

using std::string_literals::operator""s;
using std::string_view_literals::operator""sv;
using Fields = std::map<std::string, std::pair<std::string, bool>>;  // name: value, binary form

// The fields of `entry` as the native protocol has them: "NAME=value\n", or
// "NAME\n", a 64-bit little-endian length, the value and "\n".
Fields fields_of(std::string_view entry) {
  Fields fields;
  while (!entry.empty()) {
    const std::size_t end = entry.find('\n');
    const std::string_view line = entry.substr(0, end);
    const std::size_t equals = line.find('=');
    std::string name(line.substr(0, equals));
    if (equals != std::string_view::npos) {
      EXPECT_TRUE(fields.emplace(name, std::pair(std::string(line.substr(equals + 1)), false)).second)
          << name;
      entry.remove_prefix(end + 1);
      continue;
    }
    std::uint64_t size = 0;
    for (std::size_t byte = 0; byte < 8; ++byte) {
      size |= std::uint64_t{static_cast<unsigned char>(entry.at(end + 1 + byte))} << (8 * byte);
    }
    const std::size_t value = end + 9;
    EXPECT_EQ(entry.at(value + size), '\n') << name;
    EXPECT_TRUE(fields.emplace(name, std::pair(std::string(entry.substr(value, size)), true)).second) << name;
    entry.remove_prefix(value + size + 1);
  }
  return fields;
}

constexpr LogTimestamp kTime{639322333271230000};  // 2026-12-07 09:42:07.123

TEST(JournalEntryTest, EveryFieldOfAMessageInTheFormItsBytesNeed) {
  const LogCategory net = make_category("net");
  const DispatchContext located{
      LogLocation{"run", "src/net.cc", 42}, nullptr, 0, nullptr, 0, false, false, false, false};
  const std::string sender = journal_field("SYSLOG_IDENTIFIER", "app");
  EncodeBuffer buffer;
  EXPECT_EQ(fields_of(encode_journal_entry(
                Message{&located, &net, &kWarningLevel, kTime, 3600, true, "refused"}, sender, 1234, buffer)),
            (Fields{{"MESSAGE", {"refused", false}},
                    {"PRIORITY", {"4", false}},
                    {"SYSLOG_IDENTIFIER", {"app", false}},
                    {"CODE_FILE", {"src/net.cc", false}},
                    {"CODE_LINE", {"42", false}},
                    {"CODE_FUNC", {"run", false}},
                    {"TID", {"1234", false}},
                    {"CORE_CATEGORY", {"net", false}},
                    {"CORE_LEVEL", {"WARN", false}},
                    {"CORE_LEVEL_VALUE", {"3", false}},
                    {"CORE_TIMESTAMP", {"2026-12-07T09:42:07.123+01:00", false}}}));
  EXPECT_EQ(buffer.capacity(), 4096u);  // a line's entry needs no heap

  // Every text with a line feed or a NUL in the binary form; a carriage
  // return needs none. No context (a text given by hand): no location.
  const LogCategory odd = make_category("a\0b"sv);
  const LogLevel level{"L\nV", 5};
  const DispatchContext odd_location{
      LogLocation{"f\r", "x\ny", 7}, nullptr, 0, nullptr, 0, false, false, false, false};
  const std::string long_text = "1\n" + std::string(70000, 'x');
  for (const DispatchContext* context : {&odd_location, static_cast<const DispatchContext*>(nullptr)}) {
    const Fields fields = fields_of(encode_journal_entry(
        Message{context, context ? &odd : nullptr, &level, kTime, -34200, false, long_text},
        journal_field("SYSLOG_IDENTIFIER", "i\0d"s), 1, buffer));
    EXPECT_EQ(fields.at("MESSAGE"), std::pair(long_text, true));
    EXPECT_EQ(fields.at("SYSLOG_IDENTIFIER"), std::pair("i\0d"s, true));
    EXPECT_EQ(fields.at("CORE_LEVEL"), std::pair("L\nV"s, true));
    EXPECT_EQ(fields.at("CORE_TIMESTAMP").first, "2026-12-07T09:42:07.123-09:30");
    EXPECT_EQ(fields.count("CODE_FILE") + fields.count("CODE_LINE") + fields.count("CODE_FUNC"),
              context ? 3u : 0u);
    if (context == nullptr) {
      EXPECT_EQ(fields.at("CORE_CATEGORY"), std::pair(""s, false));
      continue;
    }
    EXPECT_EQ(fields.at("CORE_CATEGORY"), std::pair("a\0b"s, true));
    EXPECT_EQ(fields.at("CODE_FILE"), std::pair("x\ny"s, true));
    EXPECT_EQ(fields.at("CODE_FUNC"), std::pair("f\r"s, false));
  }
  char field[32];
  EXPECT_EQ(std::string(field, put_journal_field(field, "M", "a\nb")), "M\n\3\0\0\0\0\0\0\0a\nb\n"s);
}

TEST(JournalEntryTest, PriorityIsTheSyslogSeverityOfTheLevelValue) {
  const std::pair<std::uint32_t, const char*> cases[] = {
      {0, "7"}, {1, "7"}, {2, "6"}, {3, "4"}, {4, "3"}, {5, "2"}, {6, "2"}, {100, "2"}, {UINT32_MAX, "2"}};
  for (const auto& [value, priority] : cases) {
    const LogLevel level{"L", value};
    EncodeBuffer buffer;
    const Fields fields =
        fields_of(encode_journal_entry(Message{nullptr, nullptr, &level, kTime, 0, false, "m"},
                                       journal_field("SYSLOG_IDENTIFIER", "app"), 1, buffer));
    EXPECT_EQ(fields.at("PRIORITY").first, priority) << value;
  }
}

}  // namespace
}  // namespace core::logger::channels_detail
