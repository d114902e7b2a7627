// The oracle against texts and layouts written out by hand, and then the
// library's timestamps against the oracle: every layout, the calendar of
// whichever platform this build uses and the time-of-day fast path.
#include "support/oracle.h"

#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "pipeline/timestamp.h"
#include "platform/platform.h"

namespace core::logger::oracle {
namespace {

using namespace std::string_literals;

constexpr LogTimestamp k20220630{637'921'789'271'239'000};  // 2022-06-30 09:42:07.1239

std::string format(char spec, std::uint64_t ticks) {
  return fmt::format(fmt::runtime(spec == '}' ? "{}"s : "{:"s + spec + "}"), LogTimestamp{ticks});
}

TEST(OracleTest, WritesEachTextFormAsLaidOut) {
  std::uint64_t width = 0;
  EXPECT_EQ(compose({Form::kOrdinary, false, "INFO", "net", {}, {}, {}}, k20220630, "a\n", &width).text,
            "{09:42:07.123} INFO: [net] > a\n{09:42:07.123} INFO: [net] | \n\0"s);
  EXPECT_EQ(width, 26u);
  EXPECT_EQ(compose({Form::kOrdinary, true, "W", "io", {}, {}, {}}, k20220630, "b", &width).text,
            "{09:42:07.123} W: [io]     | b\n\0"s);
  const LogLocation where{"main", "app.cc", 12};
  width = 50;
  const std::string h = "app.cc(12) : {09:42:07.123} ASRT: [Assert]" + std::string(8, ' ');
  EXPECT_EQ(compose({Form::kAssert, false, {}, {}, where, "x > 0", "f0\nf1"}, k20220630,
                    "Assertion failed!\nm", &width)
                .text,
            h + " > Assertion failed!\n" + h + " | m\n" + h + " - Condition: x > 0\n" + h +
                " - Function: main\n" + std::string(54, '>') + " callstack beg " + std::string(54, '>') +
                "\nf0\nf1\n" + std::string(54, '<') + " callstack end " + std::string(54, '<') + "\n\0"s);
  width = 0;
  EXPECT_EQ(compose({Form::kDataError, false, {}, {}, where, {}, {}}, k20220630, "a\nb", &width).text,
            "app.cc(12) : {09:42:07.123} ERRR: [DataError] > [main] a\n"
            "app.cc(12) : {09:42:07.123} ERRR: [DataError] | [main] b\n\0"s);
  EXPECT_EQ(width, 0u);
}

// Each row: a layout letter, then what it writes.
TEST(OracleTest, TheLayoutsOfTheSpecLetter) {
  for (std::string_view row :
       {"d2022-06-30", "t09:42:07", "T09:42:07.123", "f2022-06-30 09:42:07", "}2022-06-30 09:42:07",
        "F2022-06-30 09:42:07.123", "z2022-06-30 09:42:07 (local)", "Z2022-06-30 09:42:07.123 (local)",
        "x<invalid_datetime_format_specifier>", "D<invalid_datetime_format_specifier>"}) {
    EXPECT_EQ(layout(row[0], k20220630), row.substr(1));
    EXPECT_EQ(format(row[0], k20220630.ticks), row.substr(1));
  }
  EXPECT_EQ(layout('Z', LogTimestamp{0}), "0000-00-00 00:00:00.000 (local)");
}

TEST(OracleTest, TheLibrarysTimestampsAgree) {
  constexpr std::uint64_t k1601 = platform::k1601Ticks, kFirstRejected = k1601 + (std::uint64_t{1} << 63);
  std::vector<std::uint64_t> samples = {0,
                                        k1601 - 1,
                                        k1601,
                                        599'317'383'030'070'000,    // 1900-03-01 09:05:03.007
                                        630'873'792'000'000'000,    // 2000-02-29
                                        638'396'639'999'999'999,    // 2023-12-31 23:59:59.9999999
                                        638'448'048'000'000'000,    // 2024-02-29 12:00
                                        3'155'378'975'999'999'999,  // 9999-12-31 23:59:59.9999999
                                        kFirstRejected - 1,         // 30828-09-14
                                        kFirstRejected,
                                        ~std::uint64_t{0}};
  // Eight years from 1999, in steps of a day and 1 h 1 min 1.0371 s.
  for (std::uint64_t t = 630'507'456'000'000'000; t < 633'000'000'000'000'000; t += 900'610'371'000) {
    samples.push_back(t);
  }
  for (std::uint64_t ticks : samples) {
    for (char letter : std::string_view("dtTfFzZ}")) {
      ASSERT_EQ(format(letter, ticks), layout(letter, LogTimestamp{ticks})) << letter << " " << ticks;
    }
    char fast[detail::kTimeOfDayLength];
    detail::write_time_of_day(LogTimestamp{ticks}, fast);
    ASSERT_EQ(std::string(fast, sizeof fast), time_of_day(LogTimestamp{ticks})) << ticks;
  }
}

}  // namespace
}  // namespace core::logger::oracle
