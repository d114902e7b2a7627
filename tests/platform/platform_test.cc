// The contract that every platform_<os>.cc meets, checked on whichever one
// this build uses: the hand-written POSIX calendar and the Windows conversion
// must agree to the field.
#include "platform/platform.h"

#include <cstdint>

#include <gtest/gtest.h>

namespace core::logger::platform {
namespace {

constexpr std::uint64_t kFirstRejected = std::uint64_t{1} << 63;

SystemTimeFields filled_with(std::uint16_t value) {
  SystemTimeFields fields;
  fields.year = fields.month = fields.day_of_week = fields.day = value;
  fields.hour = fields.minute = fields.second = fields.millisecond = value;
  return fields;
}

void expect_fields(const SystemTimeFields& f, int year, int month, int day, int day_of_week, int hour,
                   int minute, int second, int millisecond) {
  EXPECT_EQ(f.year, year);
  EXPECT_EQ(f.month, month);
  EXPECT_EQ(f.day, day);
  EXPECT_EQ(f.day_of_week, day_of_week);
  EXPECT_EQ(f.hour, hour);
  EXPECT_EQ(f.minute, minute);
  EXPECT_EQ(f.second, second);
  EXPECT_EQ(f.millisecond, millisecond);
}

TEST(PlatformCalendarTest, BreaksDownBothEndsOfTheRange) {
  SystemTimeFields fields = filled_with(7);
  file_time_to_system_time(0, &fields);
  expect_fields(fields, 1601, 1, 1, 1, 0, 0, 0, 0);  // a Monday

  fields = filled_with(7);
  file_time_to_system_time(kFirstRejected - 1, &fields);
  expect_fields(fields, 30828, 9, 14, 4, 2, 48, 5, 477);  // a Thursday
}

TEST(PlatformCalendarTest, TruncatesToTheMillisecond) {
  SystemTimeFields fields{};
  // 1601-01-01 00:00:01.2349999
  file_time_to_system_time(12'349'999, &fields);
  expect_fields(fields, 1601, 1, 1, 1, 0, 0, 1, 234);
}

TEST(PlatformCalendarTest, RejectedCountsClearEveryField) {
  for (std::uint64_t since_1601 : {kFirstRejected, kFirstRejected + 1, ~std::uint64_t{0}}) {
    SystemTimeFields fields = filled_with(7);
    file_time_to_system_time(since_1601, &fields);
    expect_fields(fields, 0, 0, 0, 0, 0, 0, 0, 0);
  }
}

TEST(AlignedAllocationTest, HonoursEveryPowerOfTwo) {
  for (std::size_t alignment = 1; alignment <= 65536; alignment *= 2) {
    void* block = aligned_allocate(24, alignment);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % alignment, 0u) << alignment;
    aligned_free(block);
  }
  aligned_free(nullptr);
}

}  // namespace
}  // namespace core::logger::platform
