// What the built-in channel writes to standard error on POSIX systems: whole
// texts but their closing NUL, while no channel of the host takes them, or as
// CORE_LOGGER_STDERR says. ctest runs these tests once per value of the
// variable (and once without it); each test reads the value it runs under.
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "core/logger.h"
#include "platform/platform.h"
#include "support/child_process.h"
#include "support/library_reset.h"
#include "support/recording_channel.h"

namespace core::logger {
namespace {

using namespace std::string_literals;

constexpr LogCategory kCategory{{"a", category_id("a")}, true, MessageVerbosity::Detailed};
constexpr LogLevel kInfo{"INFO", 2};

void log_line(std::string_view format, fmt::format_args args = {}) {
  log_format(LogOptions{}, kCategory, kInfo, format, args);
}

// What standard error holds under the value of CORE_LOGGER_STDERR that this
// run has: `fallback` under the fallback rule, `every` when every text is
// written, nothing when none is.
std::string expected(const std::string& fallback, const std::string& every) {
  const char* value = std::getenv("CORE_LOGGER_STDERR");
  const std::string_view mode = value != nullptr ? value : "";
  return mode == "always" ? every : mode == "never" ? "" : fallback;
}

// What `calls` leave on standard error (a temporary file meanwhile), the
// times masked.
template <typename Calls>
std::string standard_error_of(Calls calls) {
  std::FILE* const file = std::tmpfile();
  const int saved = ::dup(2);
  ::dup2(::fileno(file), 2);
  calls();
  ::dup2(saved, 2), ::close(saved);
  std::string out(static_cast<std::size_t>(::lseek(::fileno(file), 0, SEEK_END)), '\0');
  EXPECT_EQ(::pread(::fileno(file), out.data(), out.size(), 0), static_cast<ssize_t>(out.size()));
  std::fclose(file);
  return testing::mask_time(out);
}

class BuiltInChannelTest : public ::testing::Test {
 protected:
  // The reset reads CORE_LOGGER_STDERR again.
  void SetUp() override { detail::reset_for_testing(); }
  void TearDown() override { detail::reset_for_testing(); }
  testing::RecordingChannel recorder_;
};

// Each text but its closing NUL in one write, NUL bytes inside included. A
// closed standard error (EBADF) is neither retried nor remembered.
TEST_F(BuiltInChannelTest, WritesWholeTextsUntilAChannelWithACallbackIsRegistered) {
  const std::string big(100'000, 'b');
  const std::string written = standard_error_of([&] {
    platform::write_debug_output(std::string_view("one\0two\0", 8));  // whatever the mode
    const int saved = ::dup(2);
    ::close(2);
    log_line("nowhere to go");
    ::dup2(saved, 2), ::close(saved);
    log_line("a{}b\n{}", fmt::make_format_args(std::string_view("\0", 1), big));
    add_default_channel(LogChannel{"null", nullptr, nullptr});
    log_line("beside a channel without callback\n");
    add_default_channel(recorder_.channel());
    log_line("beside a channel with a callback");
  });
  const std::string fallback = "{hh:mm:ss.mmm} INFO: [a] > a\0b\n{hh:mm:ss.mmm} INFO: [a] | "s + big +
                               "\n{hh:mm:ss.mmm} INFO: [a] > beside a channel without callback\n"
                               "{hh:mm:ss.mmm} INFO: [a] | \n";
  EXPECT_EQ(written, "one\0two"s + expected(fallback, fallback + "{hh:mm:ss.mmm} INFO: [a] > beside a "
                                                                 "channel with a callback\n"));
  EXPECT_EQ(recorder_.texts().size(), 1u);
}

// "./app 2>&1 >/dev/null | true": the reader of standard error is gone,
// however the process holds SIGPIPE.
TEST_F(BuiltInChannelTest, AClosedPipeOnStandardErrorEndsNoProcess) {
  for (const testing::Sigpipe how : testing::kEverySigpipe) {
    EXPECT_EQ(testing::closed_pipe_outcome(2, how,
                                           [] {
                                             detail::reset_for_testing();  // looks at standard error anew
                                             log_line("into a closed pipe");
                                             return 0;
                                           }),
              "exit 0")
        << static_cast<int>(how);
  }
}

TEST_F(BuiltInChannelTest, ChannelRegisteredDuringACallTakesOverFromTheNextCall) {
  // Raw channels run before every ordinary one, the built-in channel too.
  const auto register_recorder = [](void* recorder, const DispatchContext&, const LogCategory&,
                                    const LogLevel&, LogTimestamp, std::string_view line) {
    if (line == "first") add_default_channel(static_cast<testing::RecordingChannel*>(recorder)->channel());
  };
  add_default_channel(LogRawChannel{"registrar", register_recorder, &recorder_});
  const std::string written = standard_error_of([] { log_line("first"), log_line("second"); });
  const std::string first = "{hh:mm:ss.mmm} INFO: [a] > first\n";
  const std::string second = "{hh:mm:ss.mmm} INFO: [a] > second\n";
  EXPECT_EQ(written, expected(first, first + second));
  ASSERT_EQ(recorder_.texts().size(), 1u);
  EXPECT_EQ(testing::mask_time(recorder_.texts()[0]), testing::with_nul(second));
}

// One thread logs while another registers a channel: each text reaches
// standard error or the channel, the earlier ones standard error, and none is
// lost or doubled.
TEST_F(BuiltInChannelTest, EveryTextReachesOneOutputWhileAChannelIsRegistered) {
  std::atomic<int> sent{0};
  std::atomic<bool> registered{false};
  const std::string written = standard_error_of([&] {
    std::thread logger([&] {
      for (int after = 0; after < 200; after += registered.load()) {
        const int seq = sent.load();
        log_line("{}", fmt::make_format_args(seq));
        sent.store(seq + 1);
      }
    });
    while (sent.load() < 200) std::this_thread::yield();
    add_default_channel(recorder_.channel());
    registered.store(true);
    logger.join();
  });
  const auto texts = [](int from, int to, const std::string& end) {
    std::string out;
    for (int i = from; i < to; ++i) out += fmt::format("{{hh:mm:ss.mmm}} INFO: [a] > {}\n{}", i, end);
    return out;
  };
  std::string delivered;
  for (const std::string& text : recorder_.texts()) delivered += testing::mask_time(text);
  ASSERT_FALSE(delivered.empty());
  const int first = std::atoi(delivered.c_str() + delivered.find("> ") + 2);
  EXPECT_EQ(delivered, texts(first, sent, "\0"s));
  EXPECT_EQ(written, expected(texts(0, first, ""), texts(0, sent, "")));
}

}  // namespace
}  // namespace core::logger
