// The Auto colour decision of console_channel() against a real terminal: a
// pseudo-terminal stands in for standard output while the channel is made
// and while it writes.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "core/channels.h"
#include "support/recording_channel.h"

namespace core::logger {
namespace {

// Points file descriptor 1 at `fd` for the life of the object.
class StandardOutputRedirect {
 public:
  explicit StandardOutputRedirect(int fd) : saved_(::dup(STDOUT_FILENO)) {
    std::fflush(stdout);
    ::dup2(fd, STDOUT_FILENO);
  }
  ~StandardOutputRedirect() {
    std::fflush(stdout);
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
  }

 private:
  int saved_;
};

// Sets or unsets NO_COLOR for the life of the object.
class NoColor {
 public:
  explicit NoColor(const char* value) {
    const char* old = ::getenv("NO_COLOR");
    had_ = old != nullptr;
    if (had_) old_ = old;
    if (value == nullptr) {
      ::unsetenv("NO_COLOR");
    } else {
      ::setenv("NO_COLOR", value, 1);
    }
  }
  ~NoColor() {
    if (had_) {
      ::setenv("NO_COLOR", old_.c_str(), 1);
    } else {
      ::unsetenv("NO_COLOR");
    }
  }

 private:
  bool had_;
  std::string old_;
};

class ConsoleTerminalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master_, 0);
    ASSERT_EQ(::grantpt(master_), 0);
    ASSERT_EQ(::unlockpt(master_), 0);
    slave_ = ::open(::ptsname(master_), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave_, 0);
  }
  void TearDown() override {
    if (slave_ >= 0) ::close(slave_);
    if (master_ >= 0) ::close(master_);
  }

  // What a console_channel() made and written to while standard output is
  // `fd` puts there, read from the terminal's master side when `fd` is the
  // terminal.
  std::string write_through_standard_output(int fd) {
    StandardOutputRedirect redirect(fd);
    const LogChannel channel = console_channel(ConsoleStream::StandardOutput, ColorMode::Auto);
    DispatchContext context{};
    channel.callback(channel.user_data, context, kAssertCategory, kWarningLevel, testing::with_nul("hi\n"));
    std::fflush(stdout);
    return fd == slave_ ? read_master() : std::string();
  }

  std::string read_master() {
    char buffer[256];
    const ssize_t got = ::read(master_, buffer, sizeof buffer);
    return got > 0 ? std::string(buffer, static_cast<std::size_t>(got)) : std::string();
  }

  int master_ = -1;
  int slave_ = -1;
};

TEST_F(ConsoleTerminalTest, TerminalGetsColour) {
  NoColor unset(nullptr);
  // The terminal turns "\n" into "\r\n" on its way out.
  EXPECT_EQ(write_through_standard_output(slave_), "\x1b[33mhi\x1b[0m\r\n");
}

TEST_F(ConsoleTerminalTest, NoColorTurnsColourOff) {
  NoColor set("1");
  EXPECT_EQ(write_through_standard_output(slave_), "hi\r\n");
}

TEST_F(ConsoleTerminalTest, FileGetsNoColour) {
  NoColor unset(nullptr);
  char path[] = "/tmp/core_logger_console_XXXXXX";
  const int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  write_through_standard_output(fd);
  std::string contents(64, '\0');
  const ssize_t got = ::pread(fd, contents.data(), contents.size(), 0);
  contents.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  ::close(fd);
  ::unlink(path);
  EXPECT_EQ(contents, "hi\n");
}

}  // namespace
}  // namespace core::logger
