// The POSIX local clock under the process's TZ, whose offset each thread
// keeps for a second (standard error as the debugger output: the built-in
// channel's tests).
#include "platform/platform.h"

#include <stdlib.h>
#include <time.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace core::logger::platform {
namespace {

// Sets TZ for one test and applies it the way a host would.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) : saved_(::getenv("TZ") ? ::getenv("TZ") : "") { set(zone); }
  ~ScopedTimeZone() { saved_.empty() ? ::unsetenv("TZ") : ::setenv("TZ", saved_.c_str(), 1), ::tzset(); }
  void set(const char* zone) { ::setenv("TZ", zone, 1), ::tzset(); }

 private:
  const std::string saved_;
};

constexpr std::int64_t kTicksPerSecond = 10'000'000;

std::int64_t utc_ticks_now() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return 621'355'968'000'000'000 + now.tv_sec * kTicksPerSecond + now.tv_nsec / 100;  // since 0001-01-01
}

// Whether local_time_ticks() is the clock reading shifted by `offset`
// seconds, on the call that converts the second and on those that reuse it.
bool shifted_by(std::int64_t offset) {
  bool shifted = true;
  for (int i = 0; i < 3; ++i) {
    const std::int64_t before = utc_ticks_now() + offset * kTicksPerSecond;
    const auto ticks = static_cast<std::int64_t>(local_time_ticks());
    shifted &= ticks >= before && ticks <= utc_ticks_now() + offset * kTicksPerSecond;
  }
  return shifted;
}

// Each zone on a thread of its own, which has converted no second yet.
TEST(LocalClockTest, TicksAreTheClockReadingShiftedByTheZonesOffset) {
  const std::pair<const char*, std::int64_t> zones[] = {
      {"UTC0", 0},
      {"CCC7", -7 * 3600},                  // behind UTC, no daylight saving
      {"AAA-3BBB,J1/0,J365/25", 4 * 3600},  // ahead, daylight saving all year
      {"ODD-1:02:03", 3723},                // seconds in the offset
  };
  for (const auto& [name, offset] : zones) {
    ScopedTimeZone zone(name);
    bool shifted = false;
    std::thread([&, offset = offset] { shifted = shifted_by(offset); }).join();
    EXPECT_TRUE(shifted) << name;
  }
}

// The offset a thread found is kept for the rest of its second, not longer.
TEST(LocalClockTest, AThreadSeesANewZoneFromItsNextSecondOn) {
  ScopedTimeZone zone("UTC0");
  ASSERT_TRUE(shifted_by(0));
  zone.set("CCC7");
  // The second of the clock that the library reads: time() reads a coarser
  // one, which may still show the second before.
  const auto second_now = [] { return static_cast<std::int64_t>(utc_ticks_now() / kTicksPerSecond); };
  const std::int64_t changed = second_now();
  while (second_now() == changed) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(shifted_by(-7 * 3600));
}

}  // namespace
}  // namespace core::logger::platform
