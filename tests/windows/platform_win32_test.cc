// The Windows platform layer under a real (or Wine's) kernel32: what reaches
// the debugger output, byte for byte, and the FILETIME clock.
#include "platform/platform.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

#include <fmt/core.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/logger.h"
#include "lifecycle/library_lifecycle.h"
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

TEST(DebugOutputTest, TextGoesOutUpToItsFirstNulAndACutLineEnds) {
  DebugOutputCapture capture;
  write_debug_output(std::string_view("one\ntwo\n\0hidden", 16));
  write_debug_output(std::string_view("\0", 1));
  write_debug_output(std::string_view("cut\0off\n\0", 9));
  EXPECT_THAT(capture.calls(), ElementsAre("one\ntwo\n", "", "cut", "\n"));
  EXPECT_TRUE(capture.terminated());
}

TEST(DebugOutputTest, ViewWithoutNulIsNotReadPastItsEnd) {
  DebugOutputCapture capture;
  const char buffer[] = "shown|never shown";
  write_debug_output(std::string_view(buffer, 5));
  write_debug_output(std::string_view(buffer, 0));
  EXPECT_THAT(capture.calls(), ElementsAre("shown"));
  EXPECT_TRUE(capture.terminated());
}

TEST(DebugOutputTest, LongViewWithoutNulGoesOutWholeInPieces) {
  std::string text;
  for (int i = 0; text.size() < 10'000; ++i) text += fmt::format("line {}\n", i);
  DebugOutputCapture capture;
  write_debug_output(text);
  std::string joined;
  for (const std::string& call : capture.calls()) joined += call;
  EXPECT_EQ(joined, text);
  EXPECT_GT(capture.calls().size(), 1u);
  EXPECT_TRUE(capture.terminated());
}

class BuiltInChannelTest : public ::testing::Test {
 protected:
  // From scratch, so that no earlier header widens this test's.
  void SetUp() override { detail::reset_for_testing(); }
  void TearDown() override { detail::reset_for_testing(); }
};

TEST_F(BuiltInChannelTest, WritesEveryComposedTextToTheDebuggerOutput) {
  testing::RecordingChannel recorder;
  add_default_channel(recorder.channel());
  constexpr LogCategory kCategory{{"win", category_id("win")}, true, MessageVerbosity::Detailed};
  DebugOutputCapture capture;
  log_format(LogOptions{}, kCategory, LogLevel{"INFO", 2}, "first {}\nsecond", fmt::make_format_args(1));
  ASSERT_EQ(recorder.texts().size(), 1u);
  const std::string text = recorder.texts()[0];
  ASSERT_THAT(capture.calls(), ElementsAre(text.substr(0, text.size() - 1)));
  EXPECT_EQ(testing::mask_time(capture.calls()[0]),
            "{hh:mm:ss.mmm} INFO: [win] > first 1\n{hh:mm:ss.mmm} INFO: [win] | second\n");

  // A NUL in the message cuts the text, and the cut line still ends there.
  log_format(LogOptions{}, kCategory, LogLevel{"INFO", 2}, "a{}b",
             fmt::make_format_args(std::string_view("\0", 1)));
  log_format(LogOptions{}, kCategory, LogLevel{"INFO", 2}, "next", {});
  ASSERT_EQ(capture.calls().size(), 4u);
  EXPECT_EQ(testing::mask_time(capture.calls()[1] + capture.calls()[2] + capture.calls()[3]),
            "{hh:mm:ss.mmm} INFO: [win] > a\n{hh:mm:ss.mmm} INFO: [win] > next\n");
}

// The Win32 calendar time of `time` in ticks since 0001-01-01.
std::uint64_t ticks_of(const SYSTEMTIME& time) {
  FILETIME file_time{};
  EXPECT_TRUE(::SystemTimeToFileTime(&time, &file_time));
  return (std::uint64_t{file_time.dwHighDateTime} << 32 | file_time.dwLowDateTime) + k1601Ticks;
}

TEST(FileTimeClockTest, LocalTicksAgreeWithTheLocalCalendarTime) {
  SYSTEMTIME before;
  ::GetLocalTime(&before);
  const std::uint64_t ticks = local_time_ticks();
  SYSTEMTIME after;
  ::GetLocalTime(&after);
  // GetLocalTime drops everything below the millisecond.
  EXPECT_GE(ticks, ticks_of(before));
  EXPECT_LT(ticks, ticks_of(after) + 10'000);
}

TEST(FileTimeClockTest, LocalTicksAreShiftedFromUtcByTheZoneInForce) {
  TIME_ZONE_INFORMATION zone;
  const DWORD state = ::GetTimeZoneInformation(&zone);
  LONG bias_minutes = zone.Bias;
  if (state == TIME_ZONE_ID_DAYLIGHT) bias_minutes += zone.DaylightBias;
  if (state == TIME_ZONE_ID_STANDARD) bias_minutes += zone.StandardBias;
  FILETIME utc;
  ::GetSystemTimeAsFileTime(&utc);
  const std::uint64_t utc_ticks = (std::uint64_t{utc.dwHighDateTime} << 32 | utc.dwLowDateTime) + k1601Ticks;
  const std::int64_t shift = static_cast<std::int64_t>(local_time_ticks() - utc_ticks);
  const std::int64_t expected = -std::int64_t{bias_minutes} * 60 * 10'000'000;
  EXPECT_NEAR(static_cast<double>(shift), static_cast<double>(expected), 1e7);  // a second
}

}  // namespace
}  // namespace core::logger::platform
