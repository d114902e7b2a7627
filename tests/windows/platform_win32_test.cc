// The Windows platform layer under a real (or Wine's) kernel32: what reaches
// the debugger output, byte for byte, and the FILETIME clock.
#include "platform/platform.h"

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

#include <fmt/core.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/logger.h"
#include "support/library_reset.h"
#include "support/recording_channel.h"

namespace core::logger::platform {
namespace {

using ::testing::ElementsAre;

// Records every string handed to OutputDebugStringA while it lives. The call
// tells a debugger by raising DBG_PRINTEXCEPTION_C with the string's length
// (its NUL included) and address; a vectored handler sees that first and
// lets it go on to the handler inside OutputDebugStringA.
// REQUIRES: one instance at a time, and no other thread writes debug output.
class DebugOutputCapture {
 public:
  DebugOutputCapture() : handler_(::AddVectoredExceptionHandler(1, &on_exception)) { current_ = this; }
  ~DebugOutputCapture() {
    ::RemoveVectoredExceptionHandler(handler_);
    current_ = nullptr;
  }
  DebugOutputCapture(const DebugOutputCapture&) = delete;
  DebugOutputCapture& operator=(const DebugOutputCapture&) = delete;

  // Each call's string without its NUL.
  const std::vector<std::string>& calls() const { return calls_; }
  // Whether every call's string ended in its NUL where the length said.
  bool terminated() const { return terminated_; }

 private:
  static LONG CALLBACK on_exception(EXCEPTION_POINTERS* pointers) {
    const EXCEPTION_RECORD& record = *pointers->ExceptionRecord;
    if (current_ != nullptr && record.ExceptionCode == DBG_PRINTEXCEPTION_C && record.NumberParameters >= 2) {
      const auto length = static_cast<std::size_t>(record.ExceptionInformation[0]);
      const auto* text = reinterpret_cast<const char*>(record.ExceptionInformation[1]);
      current_->terminated_ &= length > 0 && text[length - 1] == '\0';
      current_->calls_.emplace_back(text, length > 0 ? length - 1 : 0);
    }
    return EXCEPTION_CONTINUE_SEARCH;
  }

  static DebugOutputCapture* current_;
  PVOID handler_;
  std::vector<std::string> calls_;
  bool terminated_ = true;
};

DebugOutputCapture* DebugOutputCapture::current_ = nullptr;

// Up to the first NUL, and a line cut there still ends, so that the debugger
// output keeps one line per line.
TEST(DebugOutputTest, EveryTextGoesOutUpToItsFirstNulAndNoFurther) {
  detail::reset_for_testing();  // from scratch, so that no earlier header widens this test's
  testing::RecordingChannel recorder;
  add_default_channel(recorder.channel());
  std::string long_text;
  for (int i = 0; long_text.size() < 10'000; ++i) long_text += fmt::format("line {}\n", i);
  const char buffer[] = "shown|never shown";
  DebugOutputCapture capture;
  write_debug_output(std::string_view("one\ntwo\n\0hidden", 16));
  write_debug_output(std::string_view(buffer, 5));  // a view without a NUL is not read past its end
  write_debug_output(std::string_view(buffer, 0));
  write_debug_output(long_text);  // nor is a long one, which goes out whole in pieces
  log_format(LogOptions{}, LogCategory{{"win", category_id("win")}, true, MessageVerbosity::Detailed},
             LogLevel{"INFO", 2}, "first {}\nsecond", fmt::make_format_args(1));
  detail::reset_for_testing();
  ASSERT_GT(capture.calls().size(), 4u);
  EXPECT_THAT(std::vector<std::string>(capture.calls().begin(), capture.calls().begin() + 2),
              ElementsAre("one\ntwo\n", "shown"));
  std::string joined;
  for (std::size_t i = 2; i + 1 < capture.calls().size(); ++i) joined += capture.calls()[i];
  EXPECT_EQ(joined, long_text);
  EXPECT_EQ(capture.calls().back() + '\0', recorder.texts().at(0));
  EXPECT_EQ(testing::mask_time(capture.calls().back()),
            "{hh:mm:ss.mmm} INFO: [win] > first 1\n{hh:mm:ss.mmm} INFO: [win] | second\n");
  EXPECT_TRUE(capture.terminated());

  // A NUL in the message cuts the text, and the cut line still ends there.
  const std::size_t before = capture.calls().size();
  log_format(LogOptions{}, LogCategory{{"win", category_id("win")}, true, MessageVerbosity::Detailed},
             LogLevel{"INFO", 2}, "a{}b", fmt::make_format_args(std::string_view("\0", 1)));
  write_debug_output(std::string_view("cut\0off\n\0", 9));
  ASSERT_EQ(capture.calls().size(), before + 4);
  EXPECT_EQ(testing::mask_time(capture.calls()[before]), "{hh:mm:ss.mmm} INFO: [win] > a");
  EXPECT_THAT(std::vector<std::string>(capture.calls().begin() + before + 1, capture.calls().end()),
              ElementsAre("\n", "cut", "\n"));
  detail::reset_for_testing();
}

// The Win32 calendar time of `time` in ticks since 0001-01-01.
std::uint64_t ticks_of(const SYSTEMTIME& time) {
  FILETIME file_time{};
  EXPECT_TRUE(::SystemTimeToFileTime(&time, &file_time));
  return (std::uint64_t{file_time.dwHighDateTime} << 32 | file_time.dwLowDateTime) + k1601Ticks;
}

TEST(FileTimeClockTest, LocalTicksAreTheLocalCalendarTimeShiftedFromUtcByTheZoneInForce) {
  SYSTEMTIME before;
  ::GetLocalTime(&before);
  const std::uint64_t ticks = local_time_ticks();
  SYSTEMTIME after;
  ::GetLocalTime(&after);
  // GetLocalTime drops everything below the millisecond.
  EXPECT_GE(ticks, ticks_of(before));
  EXPECT_LT(ticks, ticks_of(after) + 10'000);

  TIME_ZONE_INFORMATION zone;
  const DWORD state = ::GetTimeZoneInformation(&zone);
  const LONG bias_minutes = zone.Bias + (state == TIME_ZONE_ID_DAYLIGHT   ? zone.DaylightBias
                                         : state == TIME_ZONE_ID_STANDARD ? zone.StandardBias
                                                                          : 0);
  FILETIME utc;
  ::GetSystemTimeAsFileTime(&utc);
  const std::uint64_t utc_ticks = (std::uint64_t{utc.dwHighDateTime} << 32 | utc.dwLowDateTime) + k1601Ticks;
  const auto shift = static_cast<std::int64_t>(local_time_ticks() - utc_ticks);
  EXPECT_NEAR(static_cast<double>(shift), -60e7 * bias_minutes, 1e7);  // to the second
}

}  // namespace
}  // namespace core::logger::platform
