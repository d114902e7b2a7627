// What the built-in channel writes to standard error on POSIX systems: whole
// texts but their closing NUL, while no channel of the host takes them, or as
// CORE_LOGGER_STDERR says. ctest runs these tests once per value of the
// variable (and once without it); each test reads the value it runs under.
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "core/logger.h"
#include "lifecycle/library_lifecycle.h"
#include "support/recording_channel.h"
#include "support/standard_error.h"

namespace core::logger {
namespace {

using namespace std::string_literals;

constexpr LogCategory kCategory{{"a", category_id("a")}, true, MessageVerbosity::Detailed};
constexpr LogLevel kInfo{"INFO", 2};

void log_line(std::string_view format, fmt::format_args args = {}) {
  log_format(LogOptions{}, kCategory, kInfo, format, args);
}

enum class Mode { kFallback, kEveryText, kNoText };

Mode mode_of_this_run() {
  const char* value = ::getenv("CORE_LOGGER_STDERR");
  const std::string_view mode = value != nullptr ? value : "";
  return mode == "always" ? Mode::kEveryText : mode == "never" ? Mode::kNoText : Mode::kFallback;
}

// What standard error holds under this run's mode: `fallback` under the
// fallback rule, `every` when every text is written, nothing when none is.
template <typename Output>
Output expected(const Output& fallback, const Output& every) {
  switch (mode_of_this_run()) {
    case Mode::kEveryText:
      return every;
    case Mode::kNoText:
      return Output();
    default:
      return fallback;
  }
}

class BuiltInChannelTest : public ::testing::Test {
 protected:
  // The reset reads CORE_LOGGER_STDERR again.
  void SetUp() override { detail::reset_for_testing(); }
  void TearDown() override { detail::reset_for_testing(); }
};

TEST_F(BuiltInChannelTest, WritesWholeTextsUntilAChannelWithACallbackIsRegistered) {
  testing::RecordingChannel recorder;
  std::string written;
  {
    testing::StandardErrorCapture captured;
    // A NUL inside the message is written like any byte.
    log_line("a{}b", fmt::make_format_args(std::string_view("\0", 1)));
    log_line("next");
    add_default_channel(LogChannel{"null", nullptr, nullptr});
    log_line("beside a channel without callback");
    add_default_channel(recorder.channel());
    log_line("beside a channel with a callback");
    written = captured.written();
  }
  const std::string fallback =
      "{hh:mm:ss.mmm} INFO: [a] > a\0b\n{hh:mm:ss.mmm} INFO: [a] > next\n"
      "{hh:mm:ss.mmm} INFO: [a] > beside a channel without callback\n"s;
  EXPECT_EQ(testing::mask_time(written),
            expected(fallback, fallback + "{hh:mm:ss.mmm} INFO: [a] > beside a channel with a callback\n"));
  EXPECT_EQ(recorder.texts().size(), 1u);
}

// The write fails with EBADF; nothing retries it or remembers it.
TEST_F(BuiltInChannelTest, ClosedStandardErrorIsIgnored) {
  std::string written;
  {
    testing::StandardErrorCapture captured;
    const int saved = ::dup(2);
    ::close(2);
    log_line("nowhere to go");
    ::dup2(saved, 2);
    ::close(saved);
    log_line("back");
    written = captured.written();
  }
  EXPECT_EQ(testing::mask_time(written),
            expected<std::string>("{hh:mm:ss.mmm} INFO: [a] > back\n", "{hh:mm:ss.mmm} INFO: [a] > back\n"));
}

TEST_F(BuiltInChannelTest, ChannelRegisteredDuringACallTakesOverFromTheNextCall) {
  testing::RecordingChannel recorder;
  // Raw channels run before every ordinary one, the built-in channel too.
  const auto register_recorder = [](void* recorder, const DispatchContext&, const LogCategory&,
                                    const LogLevel&, LogTimestamp, std::string_view line) {
    if (line == "first") add_default_channel(static_cast<testing::RecordingChannel*>(recorder)->channel());
  };
  add_default_channel(LogRawChannel{"registrar", register_recorder, &recorder});
  std::string written;
  {
    testing::StandardErrorCapture captured;
    log_line("first");
    log_line("second");
    written = captured.written();
  }
  const std::string first = "{hh:mm:ss.mmm} INFO: [a] > first\n";
  const std::string second = "{hh:mm:ss.mmm} INFO: [a] > second\n";
  EXPECT_EQ(testing::mask_time(written), expected(first, first + second));
  ASSERT_EQ(recorder.texts().size(), 1u);
  EXPECT_EQ(testing::mask_time(recorder.texts()[0]), testing::with_nul(second));
}

// Two threads log while a channel is registered: each text reaches standard
// error or the channel, per thread the earlier ones standard error, and none
// is lost or doubled.
TEST_F(BuiltInChannelTest, EveryTextReachesOneOutputWhileAChannelIsRegistered) {
  constexpr int kThreads = 2;
  testing::RecordingChannel recorder;
  std::string written;
  int sent[kThreads] = {};
  {
    testing::StandardErrorCapture captured;
    std::atomic<int> logged{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (int seq = 0; !stop.load(std::memory_order_relaxed); ++seq) {
          log_line("{} {}", fmt::make_format_args(t, seq));
          sent[t] = seq + 1;
          logged.fetch_add(1, std::memory_order_relaxed);
        }
      });
    }
    while (logged.load() < 200) std::this_thread::yield();
    add_default_channel(recorder.channel());
    while (recorder.texts().size() < 200) std::this_thread::yield();
    stop.store(true);
    for (std::thread& thread : threads) thread.join();
    written = captured.written();
  }
  // Per thread, the sequence numbers that each output received, in order.
  std::vector<int> to_stderr[kThreads];
  std::vector<int> to_channel[kThreads];
  const auto collect = [](std::string_view text, std::vector<int>* seen) {
    for (std::size_t at = 0; (at = text.find("> ", at)) != std::string_view::npos; at += 2) {
      int t = -1;
      int seq = 0;
      if (std::sscanf(text.data() + at, "> %d %d", &t, &seq) == 2 && t >= 0 && t < kThreads) {
        seen[t].push_back(seq);
      }
    }
  };
  collect(written, to_stderr);
  for (const std::string& text : recorder.texts()) collect(text, to_channel);
  for (int t = 0; t < kThreads; ++t) {
    SCOPED_TRACE(t);
    const int taken_over = sent[t] - static_cast<int>(to_channel[t].size());
    std::vector<int> earlier;
    std::vector<int> later;
    for (int seq = 0; seq < sent[t]; ++seq) (seq < taken_over ? earlier : later).push_back(seq);
    std::vector<int> all = earlier;
    all.insert(all.end(), later.begin(), later.end());
    EXPECT_EQ(to_channel[t], later);
    EXPECT_EQ(to_stderr[t], expected(earlier, all));
  }
}

}  // namespace
}  // namespace core::logger
