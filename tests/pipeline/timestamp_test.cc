#include "pipeline/timestamp.h"

#include <string>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "core/logger.h"
#include "platform/platform.h"

namespace core::logger::detail {
namespace {

bool is_leap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

// Ticks since 0001-01-01 for a local date and time, counted year by year and
// month by month: an oracle independent of the library's day arithmetic.
std::uint64_t ticks_of(int year, int month, int day, int hour = 0, int minute = 0, int second = 0,
                       int millisecond = 0, int extra_ticks = 0) {
  static constexpr int kMonthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  std::uint64_t days = 0;
  for (int y = 1; y < year; ++y) days += is_leap(y) ? 366 : 365;
  for (int m = 1; m < month; ++m) days += kMonthDays[m - 1] + (m == 2 && is_leap(year) ? 1 : 0);
  days += day - 1;
  const std::uint64_t seconds = ((days * 24 + hour) * 60 + minute) * 60 + second;
  return seconds * 10'000'000 + millisecond * 10'000ull + extra_ticks;
}

std::string format_ticks(const char* format, std::uint64_t ticks) {
  return fmt::format(fmt::runtime(format), LogTimestamp{ticks});
}

TEST(TimestampLayoutTest, EveryLayoutOfTheSpecLetter) {
  const std::uint64_t ticks = ticks_of(2022, 6, 30, 9, 42, 7, 123);
  EXPECT_EQ(format_ticks("{:d}", ticks), "2022-06-30");
  EXPECT_EQ(format_ticks("{:t}", ticks), "09:42:07");
  EXPECT_EQ(format_ticks("{:T}", ticks), "09:42:07.123");
  EXPECT_EQ(format_ticks("{:f}", ticks), "2022-06-30 09:42:07");
  EXPECT_EQ(format_ticks("{:F}", ticks), "2022-06-30 09:42:07.123");
  EXPECT_EQ(format_ticks("{:z}", ticks), "2022-06-30 09:42:07 (local)");
  EXPECT_EQ(format_ticks("{:Z}", ticks), "2022-06-30 09:42:07.123 (local)");
}

TEST(TimestampLayoutTest, FieldWithoutSpecUsesDateAndTime) {
  const std::uint64_t ticks = ticks_of(2022, 6, 30, 9, 42, 7, 123);
  EXPECT_EQ(format_ticks("{}", ticks), "2022-06-30 09:42:07");
  EXPECT_EQ(format_ticks("{:}", ticks), "2022-06-30 09:42:07");
}

TEST(TimestampLayoutTest, UnknownLetterWritesTheMarkerAndFormattingGoesOn) {
  const std::uint64_t ticks = ticks_of(2022, 6, 30);
  EXPECT_EQ(format_ticks("A{:x}B", ticks), "A<invalid_datetime_format_specifier>B");
  EXPECT_EQ(format_ticks("{:D}", ticks), "<invalid_datetime_format_specifier>");  // case-sensitive
}

TEST(TimestampLayoutTest, LongerSpecStopsTheEnclosingFormatWithAnError) {
  fmt::memory_buffer out;
  const LogTimestamp timestamp{ticks_of(2022, 6, 30, 9, 5, 3, 7)};
  EXPECT_THROW(fmt::format_to(fmt::appender(out), fmt::runtime("A{:TT}B"), timestamp), fmt::format_error);
  EXPECT_EQ(fmt::to_string(out), "A09:05:03.007");
}

TEST(TimestampLayoutTest, PadsAndTruncatesLikeTheLayouts) {
  EXPECT_EQ(format_ticks("{:T}", ticks_of(2022, 1, 1, 9, 5, 3, 7)), "09:05:03.007");
  EXPECT_EQ(format_ticks("{:T}", ticks_of(2022, 1, 1)), "00:00:00.000");
  // 123.9 ms shows as .123: milliseconds are truncated, never rounded.
  EXPECT_EQ(format_ticks("{:T}", ticks_of(2022, 1, 1, 9, 42, 7, 123, 9'999)), "09:42:07.123");
  EXPECT_EQ(format_ticks("{:F}", ticks_of(999 + 1602, 1, 2)), "2601-01-02 00:00:00.000");
}

TEST(TimestampCalendarTest, LeapDaysAndCenturies) {
  EXPECT_EQ(format_ticks("{:d}", ticks_of(2024, 2, 29)), "2024-02-29");
  EXPECT_EQ(format_ticks("{:d}", ticks_of(2024, 2, 29) + ticks_of(1, 1, 2)), "2024-03-01");
  EXPECT_EQ(format_ticks("{:d}", ticks_of(2000, 2, 29)), "2000-02-29");
  EXPECT_EQ(format_ticks("{:d}", ticks_of(1900, 2, 28) + ticks_of(1, 1, 2)), "1900-03-01");
  EXPECT_EQ(format_ticks("{:f}", ticks_of(2023, 12, 31, 23, 59, 59)), "2023-12-31 23:59:59");
}

TEST(TimestampCalendarTest, RangeFrom1601To9999) {
  EXPECT_EQ(ticks_of(1601, 1, 1), platform::k1601Ticks);
  EXPECT_EQ(format_ticks("{:F}", platform::k1601Ticks), "1601-01-01 00:00:00.000");
  EXPECT_EQ(format_ticks("{:F}", ticks_of(9999, 12, 31, 23, 59, 59, 999)), "9999-12-31 23:59:59.999");
  EXPECT_EQ(format_ticks("{:d}", ticks_of(10000, 1, 1)), "10000-01-01");  // widths never cut
}

TEST(TimestampCalendarTest, EveryDayOfTwoLeapCyclesAgreesWithTheOracle) {
  int year = 1999, month = 1, day = 1;
  static constexpr int kMonthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  for (std::uint64_t ticks = ticks_of(1999, 1, 1); year < 2007; ticks += ticks_of(1, 1, 2)) {
    const DateTimeFields f = to_date_time_fields(LogTimestamp{ticks});
    ASSERT_EQ(f.year, year);
    ASSERT_EQ(f.month, month);
    ASSERT_EQ(f.day, day);
    if (++day > kMonthDays[month - 1] + (month == 2 && is_leap(year) ? 1 : 0)) {
      day = 1;
      if (++month > 12) month = 1, ++year;
    }
  }
}

TEST(TimestampCalendarTest, DayOfWeekIsCarriedButNeverWritten) {
  EXPECT_EQ(to_date_time_fields(LogTimestamp{ticks_of(1601, 1, 1)}).day_of_week, 1);   // Monday
  EXPECT_EQ(to_date_time_fields(LogTimestamp{ticks_of(2022, 6, 30)}).day_of_week, 4);  // Thursday
  EXPECT_EQ(to_date_time_fields(LogTimestamp{ticks_of(2023, 1, 1)}).day_of_week, 0);   // Sunday
}

TEST(TimestampCalendarTest, ValuesTheBreakdownRejectsGiveZeroFields) {
  EXPECT_EQ(format_ticks("{:f}", 0), "0000-00-00 00:00:00");
  EXPECT_EQ(format_ticks("{:Z}", platform::k1601Ticks - 1), "0000-00-00 00:00:00.000 (local)");
  // The first value whose distance from 1601, taken modulo 2^64, reaches 2^63.
  const std::uint64_t first_rejected = platform::k1601Ticks + (std::uint64_t{1} << 63);
  EXPECT_EQ(format_ticks("{:F}", first_rejected), "0000-00-00 00:00:00.000");
  EXPECT_EQ(format_ticks("{:d}", first_rejected - 1), "30828-09-14");
}

TEST(TimestampCalendarTest, TimeOfDayFastPathMatchesTheLayout) {
  const std::uint64_t samples[] = {0,
                                   platform::k1601Ticks - 1,
                                   platform::k1601Ticks,
                                   ticks_of(2022, 6, 30, 9, 42, 7, 123, 9'999),
                                   ticks_of(2022, 6, 30, 23, 59, 59, 999, 9'999),
                                   platform::k1601Ticks + (std::uint64_t{1} << 63) - 1,
                                   platform::k1601Ticks + (std::uint64_t{1} << 63),
                                   ~std::uint64_t{0}};
  for (std::uint64_t ticks : samples) {
    char fast[kTimeOfDayLength];
    write_time_of_day(LogTimestamp{ticks}, fast);
    EXPECT_EQ(std::string(fast, sizeof fast), format_ticks("{:T}", ticks)) << ticks;
  }
}

TEST(TimestampClockTest, CurrentTimestampIsPlausibleAndMonotonicEnough) {
  const LogTimestamp first = current_timestamp();
  const LogTimestamp second = current_timestamp();
  EXPECT_GE(first.ticks, ticks_of(2020, 1, 1));
  EXPECT_LT(first.ticks, ticks_of(2200, 1, 1));
  // Wall time may step back, but not between two calls a moment apart.
  EXPECT_GE(second.ticks + 10'000'000, first.ticks);
}

TEST(TimestampFormatterTest, CompileTimeCheckedStringsAcceptATimestamp) {
  EXPECT_EQ(fmt::format(FMT_STRING("{:d}|{}"), LogTimestamp{ticks_of(2022, 6, 30)}, 1), "2022-06-30|1");
}

}  // namespace
}  // namespace core::logger::detail
