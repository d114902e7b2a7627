// The companion library's parts that need neither a disk nor a socket: file
// names, times, RFC 5424 records, syslog addresses and the joining of a
// call's raw pieces.
#include <algorithm>
#include <string>
#include <string_view>
#include <tuple>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "channels/file_naming.h"
#include "channels/local_time.h"
#include "channels/message.h"
#include "channels/rfc5424.h"
#include "channels/syslog_address.h"

namespace core::logger::channels_detail {
namespace {

constexpr std::int64_t kDay = 20794;                     // 2026-12-07
constexpr LogTimestamp kTime{639322333271239000};        // 2026-12-07 09:42:07.1239, local
constexpr LogTimestamp kBefore1970{621355967999999999};  // 1969-12-31 23:59:59.9999999

TEST(FileNamingTest, DayAndIndexGoBeforeTheExtensionOfTheNameAfterThePlatformsSeparators) {
  constexpr const char* kPosix = "/";
  constexpr const char* kWindows = "\\/";
  const std::tuple<const char*, const char*, bool, std::int64_t, std::uint32_t, const char*> cases[] = {
      {"app.log", kPosix, false, kDay, 0, "app.log"},
      {"app.log", kPosix, false, kDay, 3, "app.3.log"},
      {"app", kPosix, false, kDay, 1, "app.1"},
      {"app.tar.gz", kPosix, false, kDay, 12, "app.tar.12.gz"},
      {"logs.d/app", kPosix, false, kDay, 2, "logs.d/app.2"},
      {"logs/.hidden", kPosix, false, kDay, 1, "logs/.hidden.1"},
      {"app.lo\\g", kPosix, false, kDay, 1, "app.1.lo\\g"},  // an ordinary character
      {"app.lo\\g", kWindows, false, kDay, 1, "app.lo\\g.1"},
      {"logs.d\\app", kWindows, false, kDay, 1, "logs.d\\app.1"},
      {"app.log", kPosix, true, kDay, 0, "app_2026-12-07.log"},
      {"app.log", kPosix, true, kDay, 2, "app_2026-12-07.2.log"},
      {"app", kPosix, true, -1, 0, "app_1969-12-31"},
  };
  for (const auto& [path, separators, daily, day, index, name] : cases) {
    EXPECT_EQ(rotated_file_name(path, separators, daily, day, index), name);
  }
}

TEST(FileNamingTest, ARotationRenamesTheFilesThatExistUpToTheFirstGap) {
  // max_files, which older files exist ('1' at index - 1), the renames.
  const std::tuple<std::uint32_t, const char*, std::uint32_t> cases[] = {
      {100000, "111", 4}, {100000, "", 1}, {5, "11111", 5},  // the oldest is replaced
      {5, "11011", 3},    {1, "1", 1},     {0, "1", 0},      // removed
  };
  for (const auto& [max_files, files, renames] : cases) {
    const std::string exists = files;
    std::uint32_t asked = 0;
    const RotationPlan plan = plan_rotation(max_files, [&](std::uint32_t index) {
      ++asked;
      return index <= exists.size() && exists[index - 1] == '1';
    });
    EXPECT_EQ(plan.renames(), renames) << max_files << " " << files;
    EXPECT_LE(asked, renames) << "a name asked after the first gap";
  }
}

TEST(LocalTimeTest, IsoTimesTruncateMillisecondsAndCarryOffsetsAheadOfAndBehindUtc) {
  const std::tuple<LogTimestamp, int, const char*> cases[] = {
      {kTime, 0, "2026-12-07T09:42:07.123+00:00"},
      {kTime, 3600, "2026-12-07T09:42:07.123+01:00"},
      {kTime, 20700, "2026-12-07T09:42:07.123+05:45"},
      {kTime, 50400, "2026-12-07T09:42:07.123+14:00"},
      {kTime, -34200, "2026-12-07T09:42:07.123-09:30"},
      {LogTimestamp{kTime.ticks + 53 * 10000000ull}, -43200, "2026-12-07T09:43:00.123-12:00"},
      {kBefore1970, -3600, "1969-12-31T23:59:59.999-01:00"},
  };
  for (const auto& [local, offset, text] : cases) {
    char out[kIsoTimeLength + 1] = {};
    EXPECT_EQ(put_iso_time(out, local, offset), out + kIsoTimeLength);
    EXPECT_STREQ(out, text);
  }
}

TEST(Rfc5424Test, PriorityTimeFieldsAndMessageWithTheirLimits) {
  constexpr LogLevel kLevels[] = {{"TRCE", 0}, {"DBUG", 1}, {"INFO", 2},
                                  {"WARN", 3}, {"ERRR", 4}, {"CRIT", 9}};
  constexpr unsigned kSeverities[] = {7, 7, 6, 4, 3, 2};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(syslog_severity(kLevels[i].value), kSeverities[i]);
  EXPECT_EQ(sender_fields("host", "my app", ""), " host my_app - ");
  const std::string long_name(40, 'c');
  const LogCategory named{{"net", 0}, true, MessageVerbosity::Detailed};
  const LogCategory odd{{"a b\xc3\xa9", 0}, true, MessageVerbosity::Detailed};
  const LogCategory long_category{{long_name, 0}, true, MessageVerbosity::Detailed};
  const std::tuple<const LogCategory*, int, std::size_t, bool, const char*> cases[] = {
      {&named, 3, 1000, false, "<132>1 2026-12-07T09:42:07.123+01:00 h a 7 net - two\nlines"},
      {&named, 0, 1000, true, "58 <135>1 2026-12-07T09:42:07.123+01:00 h a 7 net - two\nlines"},
      {&odd, 3, 1000, false, "<132>1 2026-12-07T09:42:07.123+01:00 h a 7 a_b__ - two\nlines"},
      {&long_category, 3, 1000, false,
       "<132>1 2026-12-07T09:42:07.123+01:00 h a 7 cccccccccccccccccccccccccccccccc - two\nlines"},
      // A header of 47 bytes. The octet count is not counted.
      {nullptr, 3, 56, true, "56 <132>1 2026-12-07T09:42:07.123+01:00 h a 7 - - two\nlines"},
      {nullptr, 3, 55, false, "<132>1 2026-12-07T09:42:07.123+01:00 h a 7 - - two\nl..."},
      {nullptr, 3, 54, false, "<132>1 2026-12-07T09:42:07.123+01:00 h a 7 - - two\n..."},
      {nullptr, 3, 10, true, "50 <132>1 2026-12-07T09:42:07.123+01:00 h a 7 - - ..."},
  };
  for (const auto& [category, level, max_size, octets, text] : cases) {
    const Message message{nullptr, category, &kLevels[level], kTime, 3600, true, "two\nlines"};
    EncodeBuffer out;
    EXPECT_EQ(encode_rfc5424(message, 16, " h a 7 ", max_size, octets, out), std::string_view(text));
  }
  // Cut between UTF-8 characters; bytes that are not UTF-8 count as characters of their own.
  const std::tuple<std::string_view, std::size_t, std::string_view> cuts[] = {
      {"ab€", 5, "ab€"},        {"ab€d", 5, "ab..."},
      {"ab€defg", 8, "ab€..."}, {"ab€defg", 7, "ab..."},
      {"a😀zzz", 7, "a..."},     {"a😀zzzz", 8, "a😀..."},
      {"abcdef", 2, "..."},     {"a\x80\x80\x80\x80\x80zzz", 8, "a\x80..."}};
  for (const auto& [text, room, cut] : cuts) {
    const Message message{nullptr, nullptr, &kLevels[3], kTime, 3600, true, text};
    EncodeBuffer out;
    const std::string_view packet = encode_rfc5424(message, 16, " h a 7 ", 47 + room, false, out);
    EXPECT_EQ(packet.substr(47), cut) << room;
    EXPECT_LE(packet.size(), 47 + std::max<std::size_t>(room, 3));
  }
}

TEST(SyslogAddressTest, SchemeHostAndPortOrPathAreCheckedWithoutALookup) {
  const std::pair<std::string_view, std::string_view> valid[] = {{"unix:/dev/log", "0 /dev/log 0"},
                                                                 {"udp:127.0.0.1:514", "1 127.0.0.1 514"},
                                                                 {"tcp:[::1]:65535", "2 ::1 65535"},
                                                                 {"tcp:h:00514", "2 h 514"}};
  SyslogAddress address;
  for (const auto& [text, parts] : valid) {
    ASSERT_TRUE(parse_syslog_address(text, &address)) << text;
    EXPECT_EQ(fmt::format("{} {}{} {}", static_cast<int>(address.transport), address.path, address.host,
                          address.port),
              parts);
  }
  for (const std::string_view text :
       {"udp:127.0.0.1:99999", "udp:h:65536", "tcp:h:514x", "tcp:h:0", "tcp:h:+514", "tcp:h: 514",
        "tcp:h:", "tcp:h:99999999999999999999", "tcp::514", "tcp:[]:514", "tcp:::1:514", "tcp:[::1:514",
        "tcp:nowhere", "tcp", "unix:", "http:h:80", ""}) {
    EXPECT_FALSE(parse_syslog_address(text, &address)) << text;
  }
  EXPECT_FALSE(parse_syslog_address(std::string_view("unix:/dev/log\0x", 15), &address));
}

TEST(MessageTest, PiecesOfOneCallJoinAcrossChannelsAndNestedCalls) {
  const std::string buffer = "one\ntwo\nthree";
  const std::string_view all(buffer), one = all.substr(0, 4), two = all.substr(4, 4), three = all.substr(8);
  const DispatchContext call{}, nested{};
  std::string_view message;
  LogTimestamp time{};
  // Two channels see each piece in turn; a nested call of one line comes
  // between two pieces.
  EXPECT_FALSE(gather_piece(call, kTime, one, &message) || gather_piece(call, kTime, one, &message));
  EXPECT_TRUE(gather_piece(nested, kBefore1970, "inner", &message) && message == "inner");
  EXPECT_TRUE(call_time(nested, &time) && time.ticks == kBefore1970.ticks && !call_time(call, &time));
  EXPECT_FALSE(gather_piece(call, kTime, two, &message) || gather_piece(call, kTime, two, &message));
  for (int channel = 0; channel < 2; ++channel) {
    EXPECT_TRUE(gather_piece(call, kTime, three, &message));
    EXPECT_EQ(message, all);
  }
  EXPECT_TRUE(call_time(call, &time) && time.ticks == kTime.ticks);
  // Pieces that are not neighbours in memory make no joined view.
  const std::string apart = "x\n---y";
  EXPECT_FALSE(gather_piece(call, kBefore1970, std::string_view(apart).substr(0, 2), &message));
  EXPECT_TRUE(gather_piece(call, kBefore1970, std::string_view(apart).substr(5), &message) && message == "y");
}

}  // namespace
}  // namespace core::logger::channels_detail
