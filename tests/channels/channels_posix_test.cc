// What needs POSIX to test: a pseudo-terminal for the console's colour
// decision, symbol names in call stacks, local midnight brought near with TZ,
// JSON lines read back by a real parser, and syslog through rsyslogd.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <fmt/chrono.h>
#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/channels.h"
#include "core/log.h"
#include "support/capture_test.h"
#include "support/child_process.h"
#include "support/recording_channel.h"
#include "support/terminal.h"

// A frame with a name and a line of its own, found in the debug information.
namespace stack_probe {
template <typename T>
struct Probe {
  [[gnu::noinline]] static std::string named_frame(T) {
    std::string stack = core::logger::capture_call_stack(0, 3);  // kCaptureLine
    stack.push_back(' ');  // no tail call: this frame stays on the stack
    stack.pop_back();
    return stack;
  }
};
constexpr int kCaptureLine = __LINE__ - 6;
}  // namespace stack_probe

namespace core::logger {
namespace {

using nlohmann::json;
using std::string_literals::operator""s;
using ::testing::AllOf;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using testing::with_nul;

TEST(CallStackPosixTest, FirstFrameIsTheCallerWithItsSourceLine) {
  const std::string full = stack_probe::Probe<int>::named_frame(1);
  EXPECT_THAT(full,
              AllOf(StartsWith("#0 stack_probe::Probe<int>::named_frame[abi:cxx11](int) at "),
                    HasSubstr(fmt::format("channels_posix_test.cc:{}\n#1 ", stack_probe::kCaptureLine))));
}

// What a console_channel() made (with `control`, or by default) and written
// to while standard output is `end` and NO_COLOR is `no_color` puts there.
std::string written_through_standard_output(testing::Endpoint& end, const char* no_color, ColorMode color,
                                            const ControlCharacters* control, std::string_view text) {
  no_color != nullptr ? ::setenv("NO_COLOR", no_color, 1) : ::unsetenv("NO_COLOR");
  std::fflush(stdout);
  const int saved_stdout = ::dup(STDOUT_FILENO);
  ::dup2(end.write_end(), STDOUT_FILENO);
  const LogChannel channel = control == nullptr
                                 ? console_channel(ConsoleStream::StandardOutput, color)
                                 : console_channel(ConsoleStream::StandardOutput, color, *control);
  channel.callback(channel.user_data, DispatchContext{}, kAssertCategory, kWarningLevel, with_nul(text));
  std::fflush(stdout);
  ::dup2(saved_stdout, STDOUT_FILENO), ::close(saved_stdout);
  ::unsetenv("NO_COLOR");
  return ::write(end.write_end(), "#", 1) == 1 ? end.take_until("#") : "";
}

TEST(ConsoleTerminalTest, OnlyATerminalGetsColourUnlessNoColorIsSet) {
  testing::Endpoint terminal(true), pipe(false);
  ASSERT_TRUE(terminal.ok() && pipe.ok());
  const auto written = [](testing::Endpoint& end, const char* no_color) {
    return written_through_standard_output(end, no_color, ColorMode::Auto, nullptr, "hi\n");
  };
  EXPECT_EQ(written(terminal, nullptr), "\x1b[33mhi\x1b[0m\n");
  EXPECT_EQ(written(terminal, "1"), "hi\n");
  EXPECT_EQ(written(pipe, nullptr), "hi\n");
}

// Texts with control characters, each as a terminal should get it: every
// control character as "\xHH", line feeds, tabs and UTF-8 as they are.
struct ControlRow {
  const char* name;
  std::string text;
  std::string escaped;
};
const ControlRow kControlRows[] = {
    {"ESC sequences, BEL", "evil\x1b]0;pwned\x07\x1b[2J\n", "evil\\x1B]0;pwned\\x07\\x1B[2J\n"},
    {"NUL, DEL, CR, tab (short)",
     "a\0b\x7f"
     "c\r\td\n"s,
     "a\\x00b\\x7Fc\\x0D\td\n"},
    {"C1 controls in UTF-8",
     "\xc2\x9b"
     "2J \xc2\x80\xc2\x9f|\n",
     "\\xC2\\x9B2J \\xC2\\x80\\xC2\\x9F|\n"},
    {"UTF-8, line feed, tab", "caf\xc3\xa9\t\xc2\xa0\xc2\xa2 \xe2\x82\xac\n\xf0\x9f\x98\x80\n",
     "caf\xc3\xa9\t\xc2\xa0\xc2\xa2 \xe2\x82\xac\n\xf0\x9f\x98\x80\n"},
    // Past the first sixteen bytes, at the edges of the ranges, across the
    // end of a sixteen-byte block (offset 31), and a lead byte that the text
    // ends on.
    {"long",
     "0123456789abcdef \x1f \x20\x7e\x80\xc2\x7f\xc2\x85"
     "abcde\xc2\x9f"
     "0123456789abcdef\x01\xc2",
     "0123456789abcdef \\x1F \x20\x7e\x80\xc2\\x7F\\xC2\\x85"
     "abcde\\xC2\\x9F0123456789abcdef\\x01\xc2"},
};

TEST(ConsoleControlCharactersTest, EscapedOnATerminalOrAlwaysAsTheModeSays) {
  using Mode = ControlCharacters;
  for (const bool terminal : {true, false}) {
    for (const Mode mode : {Mode::EscapeOnTerminal, Mode::Escape, Mode::Keep}) {
      const bool escaped = mode == Mode::Escape || (mode == Mode::EscapeOnTerminal && terminal);
      SCOPED_TRACE(fmt::format("terminal {} mode {}", terminal, static_cast<int>(mode)));
      testing::Endpoint end(terminal);
      ASSERT_TRUE(end.ok());
      std::FILE* stream = ::fdopen(::dup(end.write_end()), "w");
      ConsoleChannel console(stream, /*color=*/false, mode);
      EXPECT_EQ(console.escapes_control_characters(), escaped);
      EXPECT_EQ(ConsoleChannel(stream, false).escapes_control_characters(), terminal);
      for (const ControlRow& row : kControlRows) {
        console.write(kInfoLevel, with_nul(row.text));
        ASSERT_EQ(::write(end.write_end(), "#", 1), 1);
        EXPECT_EQ(end.take_until("#"), escaped ? row.escaped : row.text) << row.name;
      }
      // console_channel() decides the same way (by default as
      // EscapeOnTerminal says); the colour goes around the escaped text, its
      // reset before the line feed.
      const std::string& text = escaped ? kControlRows[0].escaped : kControlRows[0].text;
      EXPECT_EQ(written_through_standard_output(end, nullptr, ColorMode::Always,
                                                mode == Mode::EscapeOnTerminal ? nullptr : &mode,
                                                kControlRows[0].text),
                "\x1b[33m" + text.substr(0, text.size() - 1) + "\x1b[0m\n");
      console.close();
      std::fclose(stream);
    }
  }
}

// "./app | true": the reader of standard output is gone, however the process
// holds SIGPIPE.
TEST(ConsoleClosedPipeTest, TextsAreDroppedWithEpipeAndTheProcessGoesOn) {
  for (const testing::Sigpipe how : testing::kEverySigpipe) {
    EXPECT_EQ(testing::closed_pipe_outcome(1, how,
                                           [] {
                                             const LogChannel record = console_channel();
                                             record.callback(record.user_data, DispatchContext{},
                                                             kAssertCategory, kInfoLevel, with_nul("lost\n"));
                                             ConsoleChannel console(stdout, false);
                                             console.write(kInfoLevel, "lost too\n");
                                             return console.error() == EPIPE && console.dropped() == 1 ? 0
                                                                                                       : 1;
                                           }),
              "exit 0")
        << static_cast<int>(how);
  }
}

TEST(FileChannelDateTest, LocalMidnightWritesADateLineOrStartsTheDaysFile) {
  // A zone whose local midnight is two seconds away.
  const time_t start = time(nullptr);
  const long east = (86400 - 2 - start % 86400 + 86400) % 86400;
  const char* saved_tz = getenv("TZ");
  const std::string saved = saved_tz != nullptr ? saved_tz : "";
  setenv("TZ", fmt::format("XXX-{:02}:{:02}:{:02}", east / 3600, east / 60 % 60, east % 60).c_str(), 1);
  tzset();
  const auto local_date = [](time_t when) { return fmt::format("{:%F}", fmt::localtime(when)); };
  const std::string before = local_date(start);
  testing::TempDir dir;
  {
    FileChannel file(dir.file("file.log"));
    FileChannel json(dir.file("json.log"),
                     FileChannelOptions{FlushPolicy::EveryText, 3, 0, FileFormat::JsonLines});
    RotatingFileChannel daily(dir.file("daily.log"),
                              RotatingFileOptions{{}, 3, 0, /*max_bytes=*/10, 5, /*daily=*/true});
    daily.write(kInfoLevel, with_nul("early\n"));
    const auto write = [&](const char* text) {
      file.write(kInfoLevel, with_nul(text));
      daily.write(kInfoLevel, with_nul(text));
    };
    write("before\n");
    while (time(nullptr) < start + 3) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    write("after\n");
    json.write(kInfoLevel, "x");  // a second later: each thread looks the offset up once a second
  }
  const std::string after = local_date(time(nullptr));
  saved_tz != nullptr ? setenv("TZ", saved.c_str(), 1) : unsetenv("TZ");
  tzset();
  // Each thread looks the zone up again from its next second on: until then,
  // a test that follows at once would find this one's date.
  for (const time_t restored = time(nullptr); time(nullptr) == restored;)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_NE(before, after);
  EXPECT_EQ(dir.read("file.log"), "before\n---- " + after + " ----\nafter\n");
  // The local date and the offset of a zone ahead of UTC, in whole minutes.
  EXPECT_THAT(dir.read("json.log"),
              AllOf(HasSubstr("\"time\":\"" + after + "T"),
                    HasSubstr(fmt::format("+{:02}:{:02}\"", east / 3600, east / 60 % 60))));
  EXPECT_EQ(dir.read("daily_" + before + ".1.log") + dir.read("daily_" + before + ".log"), "early\nbefore\n");
  EXPECT_EQ(dir.read("daily_" + after + ".log"), "after\n");
}

using JsonLinesTest = testing::CaptureTest;

TEST_F(JsonLinesTest, EveryLineParsesBackToItsCall) {
  testing::TempDir dir;
  FileChannel channel(dir.file("app.jsonl"),
                      FileChannelOptions{FlushPolicy::WhenFull, 3, 1 << 16, FileFormat::JsonLines});
  add_default_channel(channel);
  // Random pieces, many of them special to JSON or not UTF-8 on their own.
  std::istringstream list(
      "a|Zz 09|\"|\\|\n|\r|\t|\0|\x01|\x1f|\x7f|\xc3\xa9|\xc3|\xe2\x82|\xe2\x82\xac|"
      "\xf0\x9f\x98\x80|\xed\xa0\x80|\xc0\xaf|\xf4\x90\x80\x80|\x80|\xff"s);
  std::vector<std::string> pieces;
  for (std::string piece; std::getline(list, piece, '|');) pieces.push_back(piece);
  std::mt19937 random(16);
  std::vector<std::string> messages(300);
  for (std::string& message : messages) {
    for (std::size_t n = random() % 12; n > 0; --n) message += pieces[random() % pieces.size()];
    CORE_LOG_WARN(make_category("json\"lines"), "{}", message);
  }
  static const std::string kLongName(200, 'n');
  messages.push_back(std::string(1 << 20, 'm') + "\xff");
  CORE_LOG_WARN(make_category(kLongName), "{}", messages.back());
  CORE_LOG_DATA_ERROR("bad row {}", 7);
  channel.close();

  const std::vector<CapturedText> captured = texts();
  std::istringstream in(dir.read("app.jsonl"));
  std::size_t count = 0;
  for (std::string line; std::getline(in, line) && count < captured.size(); ++count) {
    const json object = json::parse(line);
    const CapturedText& text = captured[count];
    const std::string time = object["time"];
    EXPECT_EQ(time.substr(0, 10) + " " + time.substr(11, 12), fmt::format("{:F}", text.timestamp));
    EXPECT_EQ(time.size(), 29u) << time;  // and an offset, +hh:mm
    EXPECT_EQ(std::make_tuple(object["level"], object["level_value"], object["category"]),
              std::make_tuple(json(text.level), json(text.level_value), json(text.category)));
    if (count == messages.size()) {
      EXPECT_EQ(std::make_tuple(object["message"], object["file"], object["line"], object["function"]),
                std::make_tuple(json("bad row 7"), json(text.file), json(text.line), json(text.function)));
      continue;
    }
    // What a JSON library makes of the same bytes, ill-formed UTF-8 replaced.
    const std::string replaced = json(messages[count]).dump(-1, ' ', false, json::error_handler_t::replace);
    EXPECT_EQ(object["message"], json::parse(replaced));
    EXPECT_FALSE(object.contains("file"));
  }
  EXPECT_EQ(count, messages.size() + 1);
}

// Syslog, against a real rsyslogd started unprivileged on a private socket and port.

using Clock = std::chrono::steady_clock;

constexpr const char* kRsyslogd = "/usr/sbin/rsyslogd";

// Binds (port 0: any free port) or connects a TCP socket on 127.0.0.1;
// returns the port, or -1 when that failed.
int loopback(int port, bool bind) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{AF_INET, htons(static_cast<std::uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t length = sizeof address;
  const auto* any = reinterpret_cast<sockaddr*>(&address);
  const bool done = bind ? ::bind(fd, any, length) == 0 &&
                               ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0
                         : ::connect(fd, any, length) == 0;
  ::close(fd);
  return done ? ntohs(address.sin_port) : -1;
}

// Starts rsyslogd (tests/channels/rsyslog.conf), which writes each message
// into out.log as "severity app-name msgid msg", the message JSON-escaped;
// returns once it listens.
pid_t start_rsyslogd(const testing::TempDir& dir, int port) {
  std::ifstream in(CORE_LOGGER_RSYSLOG_CONF);
  const std::string conf_template((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::ofstream(dir.file("rsyslog.conf")) << fmt::format(fmt::runtime(conf_template), dir.file(""), port);
  const std::string conf = dir.file("rsyslog.conf"), pid_file = dir.file("pid");  // no allocation after fork
  const pid_t pid = ::fork();
  if (pid == 0) {  // dies with this process, and leaves its output alone
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, STDOUT_FILENO);
    ::dup2(null, STDERR_FILENO);
    ::execl(kRsyslogd, kRsyslogd, "-n", "-f", conf.c_str(), "-i", pid_file.c_str(),
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  for (const auto until = Clock::now() + std::chrono::seconds(20); Clock::now() < until;) {
    if (std::filesystem::exists(dir.file("log.sock")) && loopback(port, false) == port) return pid;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ADD_FAILURE() << "rsyslogd did not start";
  return pid;
}

// The messages of `app` in out.log, as "severity msgid message", once there
// are `count` of them or ten seconds have passed.
std::vector<std::string> written(const testing::TempDir& dir, const std::string& app, std::size_t count = 0) {
  for (const auto until = Clock::now() + std::chrono::seconds(10);;
       std::this_thread::sleep_for(std::chrono::milliseconds(50))) {
    std::vector<std::string> messages;
    std::istringstream in(dir.read("out.log"));
    for (std::string severity, name, msgid, message;
         in >> severity >> name >> msgid && std::getline(in, message);) {
      const std::string text = nlohmann::json::parse("\"" + message.substr(1) + "\"");
      if (name == app) messages.push_back(severity + " " + msgid + " " + text);
    }
    if (messages.size() >= count || Clock::now() > until) return messages;
  }
}

// Stops rsyslogd however the test ends.
struct Reaper {
  pid_t pid;
  ~Reaper() {
    if (pid > 0 && ::kill(pid, SIGKILL) == 0) ::waitpid(pid, nullptr, 0);
  }
};

using SyslogChannelTest = testing::CaptureTest;

TEST_F(SyslogChannelTest, RsyslogdReceivesEveryMessageOnceAndNoCallWaitsLonger) {
  if (::access(kRsyslogd, X_OK) != 0) {
    // CI installs everything the tests need: there, a missing rsyslogd fails.
    const char* ci = std::getenv("CI");
    if (ci != nullptr && std::string_view(ci) == "true") FAIL() << kRsyslogd << " is not installed";
    GTEST_SKIP() << kRsyslogd << " is not installed (Debian package rsyslog)";
  }
  testing::TempDir dir;
  const int port = loopback(0, true);
  Reaper rsyslogd{start_rsyslogd(dir, port)};
  ASSERT_GT(rsyslogd.pid, 0);
  SyslogChannel unix_channel(
      SyslogOptions{"unix:" + dir.file("log.sock"), "corelog-unix", "", SyslogFacility::Local3, 50});
  SyslogChannel tcp_channel(
      SyslogOptions{fmt::format("tcp:127.0.0.1:{}", port), "corelog-tcp", "", SyslogFacility::User, 50});
  const std::pair<SyslogChannel*, std::string> channels[] = {{&unix_channel, "corelog-unix"},
                                                             {&tcp_channel, "corelog-tcp"}};
  for (const auto& [channel, app] : channels) add_default_channel(*channel);
  constexpr LogCategory kSyslog = make_category("syslog.test");
  const std::pair<LogLevel, int> levels[] = {{kTraceLevel, 7},        {kDebugLevel, 7}, {kInfoLevel, 6},
                                             {kWarningLevel, 4},      {kErrorLevel, 3}, {kFatalLevel, 2},
                                             {LogLevel{"CRIT", 9}, 2}};
  std::vector<std::string> expected;
  for (int i = 0; i < 60; ++i) {
    const std::string message =
        i % 10 == 0 ? fmt::format("multi {}\n  \"line\" \\two\n", i) : fmt::format("message {}", i);
    const auto& [level, severity] = levels[i % std::size(levels)];
    CORE_LOG(kSyslog, level, MessageVerbosity::Brief, "{}", message);
    expected.push_back(fmt::format("{} syslog.test {}", severity, message));
  }
  // Far above rsyslogd's limit (8 KiB, as by default): one record cut to it,
  // and the next message whole.
  CORE_LOG_INFO(kSyslog, "{}", std::string(1 << 20, 'x'));
  CORE_LOG_INFO(kSyslog, "after the large one");
  expected.push_back("6 syslog.test after the large one");
  for (const auto& [channel, app] : channels) {
    std::vector<std::string> got = written(dir, app, 62);
    ASSERT_EQ(got.size(), 62u) << app;
    const std::string large = got[60];
    got.erase(got.begin() + 60);
    EXPECT_EQ(got, expected) << app;
    EXPECT_THAT(large, AllOf(StartsWith("6 syslog.test xxx"), EndsWith("xxx...")));
    EXPECT_GT(large.size(), 8192u - 128);
  }

  // The receiver stops reading, then goes away, while both channels send
  // messages large enough to fill a socket's buffer.
  std::uint64_t sent = 0;
  Clock::duration longest{};
  ::kill(rsyslogd.pid, SIGSTOP);
  for (; sent < 60; ++sent) {
    if (sent == 40) {  // gone for good before the last twenty, however busy the machine
      ::kill(rsyslogd.pid, SIGCONT);
      ::kill(rsyslogd.pid, SIGTERM);
      ::waitpid(std::exchange(rsyslogd.pid, -1), nullptr, 0);
    }
    for (const auto& [channel, app] : channels) {
      const LogRawChannel raw = channel->raw_channel();
      const auto start = Clock::now();
      raw.callback(raw.user_data, DispatchContext{}, kSyslog, kInfoLevel, LogTimestamp{0},
                   std::string(4000, 'x'));
      longest = std::max(longest, Clock::now() - start);
    }
  }
  EXPECT_LT(longest, std::chrono::milliseconds(50 + 100));  // 100 ms for a busy scheduler
  EXPECT_GT(unix_channel.dropped(), 0u);
  for (const auto& [channel, app] : channels) {
    EXPECT_LE(written(dir, app).size() - 62 + channel->dropped(), sent);
  }

  // Restarted, and once more stopped while idle and restarted: each message
  // is delivered or counted, the first one after the stop too, which the
  // kernel would take over a connection that the receiver has closed.
  std::uint64_t dropped_before[2];
  std::size_t written_before[2];
  for (int i = 0; i < 2; ++i) {
    dropped_before[i] = channels[i].first->dropped();
    written_before[i] = written(dir, channels[i].second).size();
  }
  const auto send_ten = [&](int pause_ms) {
    for (int i = 0; i < 10; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms))) {
      CORE_LOG_INFO(kSyslog, "restart {}", i);
    }
  };
  const auto delivered = [&](int i, std::size_t sent_since) {
    const std::uint64_t lost = channels[i].first->dropped() - dropped_before[i];
    return written(dir, channels[i].second, written_before[i] + sent_since - lost).size() - written_before[i];
  };
  rsyslogd.pid = start_rsyslogd(dir, port);
  send_ten(150);  // over the second in which a failed connection drops texts at once
  for (int i = 0; i < 2; ++i) ASSERT_GT(delivered(i, 10), 0u) << channels[i].second;
  ::kill(rsyslogd.pid, SIGTERM);
  ::waitpid(std::exchange(rsyslogd.pid, -1), nullptr, 0);
  send_ten(0);
  rsyslogd.pid = start_rsyslogd(dir, port);
  send_ten(150);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(delivered(i, 30) + (channels[i].first->dropped() - dropped_before[i]), 30u)
        << channels[i].second;
  }
}

// Accepts TCP connections on 127.0.0.1 and keeps the bytes of each.
class TcpCollector {
 public:
  TcpCollector() {
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length);
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    ::listen(listener_, 64);
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] {
      for (int fd; (fd = ::accept(listener_, nullptr, nullptr)) >= 0;) {
        std::lock_guard<std::mutex> lock(mutex_);
        streams_.emplace_back();
        readers_.emplace_back([this, fd, at = streams_.size() - 1] {
          char buffer[4096];
          for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;) {
            std::lock_guard<std::mutex> lock(mutex_);
            streams_[at].append(buffer, static_cast<std::size_t>(got));
          }
          ::close(fd);
        });
      }
    });
  }
  int port() const { return port_; }
  // Once every sender has closed its connection.
  std::vector<std::string> streams() {
    ::shutdown(listener_, SHUT_RDWR);
    acceptor_.join();
    for (std::thread& reader : readers_) reader.join();
    ::close(listener_);
    return streams_;
  }

 private:
  const int listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
  int port_ = 0;
  std::mutex mutex_;
  std::vector<std::string> streams_;  // guarded by mutex_
  std::vector<std::thread> readers_;  // guarded by mutex_
  std::thread acceptor_;
};

// "PROCID MSG" of each RFC 6587 frame of a stream, "torn" where the bytes are
// not whole frames.
std::vector<std::string> frames(std::string_view stream) {
  std::vector<std::string> messages;
  while (!stream.empty()) {
    const std::size_t blank = stream.find(' ');
    const std::size_t size = std::strtoul(std::string(stream.substr(0, blank)).c_str(), nullptr, 10);
    if (blank == std::string_view::npos || size == 0 || blank + 1 + size > stream.size()) return {"torn"};
    std::istringstream frame(std::string(stream.substr(blank + 1, size)));
    std::string pri, time, host, app, procid, msgid, data, message;
    frame >> pri >> time >> host >> app >> procid >> msgid >> data;
    std::getline(frame, message);
    messages.push_back(procid + message);
    stream.remove_prefix(blank + 1 + size);
  }
  return messages;
}

// A thread logs to a buffered file and over TCP while another takes the
// registry lock again and again, and the main thread forks: every child
// declares a category and logs at once, on connections of its own, and no
// text held back by the parent is written twice.
TEST(ForkTest, ChildrenOfAThreadedProcessLogAtOnceAndNothingIsWrittenTwice) {
  testing::TempDir dir;
  TcpCollector collector;
  FileChannel file(dir.file("fork.log"), FileChannelOptions{FlushPolicy::WhenFull, 3, 1 << 16});
  SyslogChannel syslog(SyslogOptions{fmt::format("tcp:127.0.0.1:{}", collector.port()), "fork", "",
                                     SyslogFacility::User, 2000});
  add_default_channel(file);
  add_default_channel(syslog);
  constexpr LogCategory kFork = make_category("fork.test");
  std::atomic<bool> stop{false};
  std::atomic<int> sent{0};
  std::thread logger([&] {
    for (int n = 0; !stop.load(); sent.store(++n)) CORE_LOG_INFO(kFork, "parent {}", n);
  });
  std::thread registry_user([&] {
    while (!stop.load()) foreach_category([](void*, CategoryInfo) {}, nullptr);
  });
  for (int child = 0; child < 20; ++child) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const std::string outcome = testing::outcome_in_child(
        [&] {
          declare_category("fork.child", true);  // new to the child: it takes the registry lock
          CORE_LOG_WARN(kFork, "child {}", child);
          file.flush();
          return syslog.dropped() == 0 && file.error() == 0 ? 0 : 1;
        },
        std::chrono::seconds(1));
    EXPECT_EQ(outcome, "exit 0") << "child " << child;
  }
  stop.store(true);
  logger.join();
  registry_user.join();
  file.close();
  syslog.close();

  std::map<std::string, int> written;
  std::istringstream in(dir.read("fork.log"));
  for (std::string line; std::getline(in, line);) ++written[line.substr(line.find("> ") + 2)];
  std::map<std::string, int> delivered;
  std::set<std::string> senders;
  const std::string parent = std::to_string(::getpid());
  for (const std::string& stream : collector.streams()) {
    std::set<std::string> procids;
    for (const std::string& frame : frames(stream)) {
      const std::size_t blank = frame.find(' ');
      procids.insert(frame.substr(0, blank));
      ++delivered[frame.substr(blank + 1)];
      EXPECT_EQ(frame.substr(0, blank) == parent, frame.find(" parent ") == blank) << frame;
    }
    EXPECT_EQ(procids.size(), 1u);  // one process per connection
    senders.insert(procids.begin(), procids.end());
  }
  EXPECT_EQ(senders.size(), 21u);
  for (int n = 0; n < sent.load(); ++n) EXPECT_EQ(written[fmt::format("parent {}", n)], 1) << n;
  for (int n = 0; n < 20; ++n) EXPECT_EQ(written[fmt::format("child {}", n)], 1) << n;
  EXPECT_EQ(written.size(), static_cast<std::size_t>(sent.load()) + 20);
  EXPECT_EQ(delivered.size() + syslog.dropped(), written.size());
  for (const auto& [message, count] : delivered) EXPECT_EQ(count, 1) << message;
}

// A write outside the lock held up by a full pipe: texts go on into the
// other buffer meanwhile; close() waits for it; a forked child closes at once
// and writes nothing of its parent's.
TEST(FileChannelInFlightTest, AWriteHeldUpIsAwaitedByCloseAndForgottenByAForkedChild) {
  for (const FlushPolicy flush : {FlushPolicy::EveryText, FlushPolicy::WhenFull}) {
    testing::TempDir dir;
    const std::string path = dir.file("pipe");
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    const int reader = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
    FileChannel channel(path, FileChannelOptions{flush, 3, 100000});
    // One text larger than the pipe; or ten that fill the buffer, and one
    // that sends it out.
    const bool every = flush == FlushPolicy::EveryText;
    const std::string text = std::string(every ? 99999 : 9999, 'a') + "\n";
    const int texts = every ? 1 : 11;
    std::thread writer([&] {
      for (int i = 0; i < texts; ++i) channel.write(kInfoLevel, text);
    });
    // The pipe is full: its size is less than 64 KiB once the user's pipes
    // take more than the system lets them.
    const int capacity = ::fcntl(reader, F_GETPIPE_SZ);
    for (int queued = 0; ::ioctl(reader, FIONREAD, &queued) == 0 && queued < capacity;) ::usleep(1000);
    std::atomic<bool> closed{false};
    std::thread next([&] {
      if (!every) channel.write(kInfoLevel, "next\n");  // not held up
      EXPECT_EQ(testing::outcome_in_child([&] { return channel.close(), 0; }, std::chrono::seconds(2)),
                "exit 0");
      channel.close();
      closed = true;
    });
    ::usleep(100000);
    EXPECT_FALSE(closed);
    std::string got;
    for (char chunk[65536];;) {
      const ssize_t size = ::read(reader, chunk, sizeof chunk);
      if (size == 0) break;
      if (size > 0) got.append(chunk, static_cast<std::size_t>(size));
      if (size < 0) ::usleep(1000);
    }
    writer.join();
    next.join();
    ::close(reader);
    std::string expected;
    for (int i = 0; i < texts; ++i) expected += text;
    EXPECT_TRUE(got == expected + (every ? "" : "next\n")) << got.size();
    EXPECT_EQ(channel.dropped(), 0u);
  }
}

// File channels that cannot write: a missing directory, a file removed or
// moved away, a full disk and a limit on the size of files.

constexpr std::uint64_t kSecond = 10'000'000;
constexpr std::uint64_t kCallTime = 634'294'371'600'000'000;  // 2011-01-01 01:00 local, far from now

// Points the standard error at `path` while it lives.
class StandardErrorTo {
 public:
  explicit StandardErrorTo(const std::string& path) : saved_(::dup(STDERR_FILENO)) {
    const int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(file, STDERR_FILENO);
    ::close(file);
  }
  ~StandardErrorTo() {
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
  }

 private:
  const int saved_;
};

TEST(FileChannelRecoveryTest, AFileThatCannotBeWrittenIsSaidOnceAndOpenedAgainAtMostOnceASecond) {
  testing::TempDir dir;
  const std::string path = dir.file("sub/app.lo\\g");  // a backslash is a character of the name
  const std::string said = "core_logger: cannot open " + path +
                           ": No such file or directory; its texts are dropped until it opens\n";
  std::uint64_t at = kCallTime;
  {
    StandardErrorTo standard_error(dir.file("stderr"));
    RotatingFileChannel channel(path, RotatingFileOptions{{}, 3, 0, /*max_bytes=*/100, 5});
    const auto write = [&](double seconds_later, const std::string& text) {
      at += static_cast<std::uint64_t>(seconds_later * kSecond);
      testing::deliver_as_call(channel, LogTimestamp{at}, text);
    };
    EXPECT_TRUE(!channel.is_open() && channel.error() == ENOENT);
    write(0, "1\n");   // the clock moved on: tried again, in vain
    channel.reopen();  // says nothing more
    std::filesystem::create_directory(dir.file("sub"));
    write(0.9, "2\n");  // not within the second
    EXPECT_TRUE(!channel.is_open() && channel.error() == ENOENT && channel.dropped() == 2);
    write(0.2, "3\n");
    EXPECT_TRUE(channel.is_open() && channel.error() == 0 && channel.dropped() == 2);
    EXPECT_EQ(dir.read("sub/app.lo\\g"), "---- 2011-01-01 ----\n3\n");
    // Removed: the texts of the second before the check go with it.
    std::filesystem::remove(path);
    write(0.5, "4\n");
    write(0.6, "5\n");
    EXPECT_EQ(dir.read("sub/app.lo\\g"), "5\n");
    // Moved away: what came before the check stays with it.
    std::filesystem::rename(path, dir.file("sub/moved"));
    write(0.5, "6\n");
    write(0.6, "7\n");
    EXPECT_EQ(dir.read("sub/moved") + "|" + dir.read("sub/app.lo\\g"), "5\n6\n|7\n");
    // The directory removed: said again, and dropped until it comes back.
    std::filesystem::remove_all(dir.file("sub"));
    write(1.1, "8\n");
    write(0.5, "9\n");
    EXPECT_TRUE(!channel.is_open() && channel.error() == ENOENT && channel.dropped() == 4);
    std::filesystem::create_directory(dir.file("sub"));
    write(0.6, "10\n");
    write(0, std::string(98, 'x') + "\n");  // rotates
    EXPECT_TRUE(channel.is_open() && channel.error() == 0 && channel.dropped() == 4);
  }
  EXPECT_EQ(dir.read("stderr"), said + said);
  EXPECT_EQ(dir.read("sub/app.1.lo\\g"), "10\n");
}

// Text `i`, of a length that varies, so that a full disk cuts texts at
// varied places.
std::string numbered(int i) { return fmt::format("L{:05} {}", i, std::string(20 + i * 7 % 61, 'p')); }

// For text and JSON lines, written at once and from a buffer: logs numbered
// texts into `path` until the channel reports `full`, a few more, then calls
// `free_space` and logs a few more; returns what is wrong: a line torn or
// out of order, a count of lost texts other than the texts missing, an error
// that does not stand while the disk is full or stays after.
std::string fill_and_free(const std::string& path, int full, const std::function<void()>& fill,
                          const std::function<void()>& free_space) {
  std::string wrong;
  for (const FileFormat format : {FileFormat::Text, FileFormat::JsonLines}) {
    for (const FlushPolicy flush : {FlushPolicy::EveryText, FlushPolicy::WhenFull}) {
      fill();
      int sent = 0;
      std::uint64_t lost = 0;
      {
        FileChannel channel(path, FileChannelOptions{flush, 3, 1000, format});
        const auto log = [&](int count) {
          for (int i = 0; i < count; ++i) {
            channel.write(kInfoLevel, numbered(sent++) + (format == FileFormat::Text ? "\n" : ""));
            if (channel.error() != 0 && channel.error() != full)
              wrong += fmt::format("error {}; ", channel.error());
          }
        };
        while (channel.error() != full && sent < 100000) log(1);
        log(50);
        if (channel.error() != full) wrong += fmt::format("error {} while full; ", channel.error());
        free_space();
        log(50);
        channel.flush();
        if (channel.error() != 0) wrong += fmt::format("error {} after space came back; ", channel.error());
        lost = channel.dropped();
      }
      const std::string contents = testing::read_file(path);
      std::filesystem::remove(path);
      if (contents.empty() || contents.back() != '\n') return wrong + "no text, or a torn last line";
      std::istringstream in(contents);
      int present = 0;
      for (std::string line, last = " "; std::getline(in, line); ++present) {
        if (format == FileFormat::JsonLines) {
          const json object = json::parse(line, nullptr, false);
          line = object.is_object() && object["message"].is_string() ? object["message"] : "";
        }
        int i = -1;
        std::sscanf(line.c_str(), "L%d", &i);
        if (i < 0 || line != numbered(i) || line <= last) return wrong + "a torn line or one out of order";
        last = line;
      }
      if (sent - present != static_cast<int>(lost) || lost == 0) {
        wrong += fmt::format("{} of {} texts missing, {} counted; ", sent - present, sent, lost);
      }
    }
  }
  return wrong;
}

// A tmpfs of 256 KiB mounted in a directory of its own while it lives, and a
// file that fills three quarters of it.
class SmallDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(mount_point_);
    if (::geteuid() != 0 || ::mount("tmpfs", mount_point_.c_str(), "tmpfs", 0, "size=256k") != 0) {
      const char* ci = std::getenv("CI");
      if (ci != nullptr && ci == "true"s) FAIL() << "CI runs as root, which can mount a tmpfs";
      GTEST_SKIP() << "mounting a tmpfs needs root";
    }
    mounted_ = true;
  }
  void TearDown() override {
    if (mounted_) ::umount2(mount_point_.c_str(), MNT_DETACH);
  }
  std::string file(const std::string& name) const { return mount_point_ + "/" + name; }
  void fill() const { std::ofstream(file("filler")) << std::string(192 * 1024, 'f'); }
  void free_space() const { std::filesystem::remove(file("filler")); }

 private:
  testing::TempDir dir_;
  const std::string mount_point_ = dir_.file("tmpfs");
  bool mounted_ = false;
};

using FileChannelFullDiskTest = SmallDisk;

TEST_F(FileChannelFullDiskTest, AFullDiskLeavesWholeTextsAndCountsTheOthers) {
  EXPECT_EQ(fill_and_free(
                file("app.log"), ENOSPC, [&] { fill(); }, [&] { free_space(); }),
            "");
}

// Eight threads write at once, without the lock or from buffers, until the
// disk is full and a while after; then, with space back, eight more: every
// text is in the file once and whole, or counted lost (its start may be a
// line of its own); none is merged with another. Space comes back while no
// write is in flight: one that it met part-way could leave its start before
// another's text.
TEST_F(FileChannelFullDiskTest, EightThreadsOnAFullDiskLoseOnlyWhatTheyCount) {
  for (const FlushPolicy flush : {FlushPolicy::EveryText, FlushPolicy::WhenFull}) {
    fill();
    const auto text_of = [](int n) { return fmt::format("T {} {}", n, std::string(10 + n * 7 % 60, 'p')); };
    // Texts are claimed by number until the last of a round is set.
    std::atomic<int> claimed{0};
    std::atomic<int> last{std::numeric_limits<int>::max()};
    std::uint64_t lost = 0;
    {
      FileChannel channel(file("app.log"), FileChannelOptions{flush, 3, 1000});
      const auto write_in_eight_threads = [&] {
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t) {
          threads.emplace_back([&] {
            for (int n; (n = claimed++) < last;) channel.write(kInfoLevel, text_of(n) + "\n");
          });
        }
        return threads;
      };
      std::vector<std::thread> threads = write_in_eight_threads();
      while (channel.error() != ENOSPC) std::this_thread::yield();
      last = claimed + 400;
      for (std::thread& thread : threads) thread.join();
      free_space();
      claimed = last.load();
      last = last + 1600;  // at most 128 KB
      threads = write_in_eight_threads();
      for (std::thread& thread : threads) thread.join();
      channel.write(kInfoLevel, text_of(last) + "\n");  // the last to say how writes go
      channel.flush();
      EXPECT_EQ(channel.error(), 0);
      lost = channel.dropped();
    }
    std::istringstream in(testing::read_file(file("app.log")));
    std::set<std::string> whole;
    std::uint64_t starts = 0;
    for (std::string line; std::getline(in, line);) {
      int n = -1;
      if (std::sscanf(line.c_str(), "T %d", &n) == 1 && line == text_of(n)) {
        EXPECT_TRUE(whole.insert(line).second) << line;
      } else {
        ++starts;
      }
    }
    std::filesystem::remove(file("app.log"));
    EXPECT_EQ(whole.size() + lost, static_cast<std::uint64_t>(last) + 1) << static_cast<int>(flush);
    EXPECT_LE(starts, lost);
    EXPECT_GT(lost, 0u);
  }
}

TEST(FileChannelSizeLimitTest, AFileSizeLimitCutsNoTextAndEndsNoProcess) {
  testing::TempDir dir;
  EXPECT_EXIT(
      {
        struct rlimit limit;
        ::getrlimit(RLIMIT_FSIZE, &limit);
        const rlim_t most = limit.rlim_max;
        const auto limit_to = [&](rlim_t size) {
          limit.rlim_cur = size;
          ::setrlimit(RLIMIT_FSIZE, &limit);
        };
        const std::string wrong = fill_and_free(
            dir.file("app.log"), EFBIG, [&] { limit_to(64 * 1024); }, [&] { limit_to(most); });
        std::fputs(wrong.c_str(), stderr);
        std::_Exit(wrong.empty() ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(SyslogChannelErrorTest, LossesAreCountedAndTheErrorClearsOnceMessagesGoOutAgain) {
  testing::TempDir dir;
  const std::string path = dir.file("late.sock");
  SyslogChannel channel(SyslogOptions{"unix:" + path, "late", "", SyslogFacility::User, 50});
  channel.write(kErrorLevel, "lost");
  EXPECT_TRUE(channel.dropped() == 1 && channel.error() != 0) << channel.error();
  const auto bind_datagrams = [](const std::string& at) {
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    at.copy(address.sun_path, sizeof address.sun_path - 1);
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << at;
    return fd;
  };
  const int receiver = bind_datagrams(path);
  channel.write(kErrorLevel, "sent\n");
  char buffer[512];
  const ssize_t got = ::recv(receiver, buffer, sizeof buffer, MSG_DONTWAIT);
  ::close(receiver);
  EXPECT_THAT(std::string(buffer, got > 0 ? static_cast<std::size_t>(got) : 0),
              AllOf(HasSubstr(" late "), EndsWith(" - - sent")));
  EXPECT_TRUE(channel.dropped() == 1 && channel.error() == 0) << channel.error();
  for (const char* address : {"tcp:nowhere", "udp:127.0.0.1:99999", "tcp:127.0.0.1:514x"}) {
    const SyslogChannel malformed(SyslogOptions{address, "", "", SyslogFacility::User, 50});
    EXPECT_TRUE(!malformed.is_open() && malformed.error() == EINVAL && malformed.dropped() == 0) << address;
  }

  // A send timeout of 0 waits not at all: once a receiver that reads nothing
  // has a full queue, each further text is dropped at once. Only the drain,
  // two seconds on, would end a wait.
  const int stalled = bind_datagrams(dir.file("stalled.sock"));
  SyslogChannel hasty(
      SyslogOptions{"unix:" + dir.file("stalled.sock"), "hasty", "", SyslogFacility::User, 0});
  std::atomic<bool> done{false};
  std::thread drain([&] {
    for (int waited = 0; !done && waited < 2000; waited += 10)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    while (!done) (void)::recv(stalled, buffer, sizeof buffer, MSG_DONTWAIT);
  });
  Clock::duration longest{};
  for (int i = 0; i < 100; ++i) {
    const auto start = Clock::now();
    hasty.write(kInfoLevel, std::string(1000, 'x'));
    longest = std::max(longest, Clock::now() - start);
  }
  done = true;
  drain.join();
  ::close(stalled);
  EXPECT_LT(longest, std::chrono::seconds(1));
  EXPECT_GT(hasty.dropped(), 0u);
  EXPECT_EQ(hasty.error(), ETIMEDOUT);
}

}  // namespace
}  // namespace core::logger
