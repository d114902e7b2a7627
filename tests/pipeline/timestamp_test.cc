// Timestamps: every layout of the spec letter, the calendar breakdown of
// whichever platform this build uses and the time-of-day fast path, against
// the oracle; the oracle against the layouts written out by hand.
#include "pipeline/timestamp.h"

#include <cstdint>
#include <string>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "platform/platform.h"
#include "support/oracle.h"

namespace core::logger::detail {
namespace {

constexpr std::uint64_t k1601 = platform::k1601Ticks;
constexpr std::uint64_t kFirstRejected = k1601 + (std::uint64_t{1} << 63);

std::string format(char spec, std::uint64_t ticks) {
  return fmt::format(fmt::runtime(spec == '}' ? std::string("{}") : std::string("{:") + spec + "}"),
                     LogTimestamp{ticks});
}

TEST(TimestampTest, TheLayoutsOfTheSpecLetter) {
  const std::uint64_t ticks = 637'921'789'271'239'000;  // 2022-06-30 09:42:07.1239
  const std::pair<char, const char*> layouts[] = {{'d', "2022-06-30"},
                                                  {'t', "09:42:07"},
                                                  {'T', "09:42:07.123"},
                                                  {'f', "2022-06-30 09:42:07"},
                                                  {'}', "2022-06-30 09:42:07"},
                                                  {'F', "2022-06-30 09:42:07.123"},
                                                  {'z', "2022-06-30 09:42:07 (local)"},
                                                  {'Z', "2022-06-30 09:42:07.123 (local)"},
                                                  {'x', "<invalid_datetime_format_specifier>"},
                                                  {'D', "<invalid_datetime_format_specifier>"}};
  for (const auto& [spec, text] : layouts) {
    EXPECT_EQ(oracle::layout(spec, LogTimestamp{ticks}), text) << spec;
    EXPECT_EQ(format(spec, ticks), text) << spec;
  }
  EXPECT_EQ(fmt::format("{:Z}", LogTimestamp{0}), "0000-00-00 00:00:00.000 (local)");
}

TEST(TimestampTest, EveryLayoutAndTheFastPathAgreeWithTheOracle) {
  const std::uint64_t edges[] = {0,
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
  std::vector<std::uint64_t> samples(std::begin(edges), std::end(edges));
  // Eight years from 1999, in steps of a day and 1 h 1 min 1.0371 s.
  for (std::uint64_t t = 630'507'456'000'000'000; t < 633'000'000'000'000'000; t += 900'610'371'000) {
    samples.push_back(t);
  }
  for (std::uint64_t ticks : samples) {
    for (char spec : std::string_view("dtTfFzZ}")) {
      ASSERT_EQ(format(spec, ticks), oracle::layout(spec, LogTimestamp{ticks})) << spec << " " << ticks;
    }
    char fast[kTimeOfDayLength];
    write_time_of_day(LogTimestamp{ticks}, fast);
    ASSERT_EQ(std::string(fast, sizeof fast), oracle::time_of_day(LogTimestamp{ticks})) << ticks;
  }
}

TEST(PlatformTest, AlignedBlocksHonourEveryPowerOfTwo) {
  for (std::size_t alignment = 1; alignment <= 65536; alignment *= 2) {
    void* block = platform::aligned_allocate(24, alignment);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % alignment, 0u) << alignment;
    platform::aligned_free(block);
  }
  platform::aligned_free(nullptr);
}

}  // namespace
}  // namespace core::logger::detail
