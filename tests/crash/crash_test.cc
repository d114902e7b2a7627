// Crashes reported where the logs go: each case crashes a child
// (crash_child.cc) that logged 1,000 lines into a buffered file channel, then
// reads the file and the way the child ended.
#include <algorithm>
#include <csignal>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "crash/child_process.h"
#include "support/capture_test.h"

namespace core::logger::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

struct Case {
  const char* name;
  int signal;
  // The report's first line and what its stack holds, as regular
  // expressions; {thread} and {site} stand for what the child said.
  const char* first_line;
  const char* stack;
  // Whether the signal went on to the handler that was there before, as
  // after a complete report (a watchdog or a second fault ends it sooner).
  bool handed_on;
  // The sanitizer under which the case cannot run, and why.
  const char* skip_under;
  const char* why;
};

#define CORE_LOGGER_SEGV "Fatal signal SIGSEGV \\(segmentation fault\\) at address "
#define CORE_LOGGER_CHILD "core::logger::testing::crash_child::\\(anonymous namespace\\)::"
const Case kCases[] = {
    {"null-on-thread", SIGSEGV, CORE_LOGGER_SEGV "0x0 on thread {thread}",
     "\n#0 " CORE_LOGGER_CHILD "Widget<int>::poke\\(int\\) at [^\n]*crash_child\\.cc:{site}\n", true, "", ""},
    {"abort", SIGABRT, "Fatal signal SIGABRT \\(aborted\\) on thread {thread}", "\n#[0-9]+ abort (at|in) ",
     true, "", ""},
    {"exception", SIGABRT, "Uncaught exception std::runtime_error: boom on thread {thread}",
     "^[^\n]*\n#0 " CORE_LOGGER_CHILD "throw_runtime_error\\(\\) at [^\n]*crash_child\\.cc:[0-9]+\n", true,
     "", ""},
    {"divide", SIGFPE,
     "Fatal signal SIGFPE \\(floating-point exception\\) at address 0x[0-9a-f]+ on thread {thread}",
     "\n#0 " CORE_LOGGER_CHILD "divide\\(\\) at ", true, "undefined",
     "UBSan checks the division itself and aborts before the processor faults"},
    {"recursion", SIGSEGV, CORE_LOGGER_SEGV "0x[0-9a-f]+ on thread {thread}",
     "\n#0 " CORE_LOGGER_CHILD "recurse\\(int\\) at [^\n]*\n#1 " CORE_LOGGER_CHILD "recurse\\(int\\) at ",
     true, "address",
     "ASan keeps a signal stack of its own on every thread and unmaps whichever is current when the thread "
     "ends: two owners of one stack"},
    {"sleeping-channel", SIGSEGV, CORE_LOGGER_SEGV "0x0 on thread {thread}",
     "\n#0 " CORE_LOGGER_CHILD "Widget<long>::poke\\(long\\) at [^\n]*crash_child\\.cc:{site}\n", false, "",
     ""},
    {"crash-in-callback", SIGSEGV, CORE_LOGGER_SEGV "0x0 on thread {thread}", "\n#0 [^\n]*fault_when_armed",
     false, "", ""},
    {"installed-twice", SIGSEGV, CORE_LOGGER_SEGV "0x0 on thread {thread}",
     "\n#0 " CORE_LOGGER_CHILD "Widget<short>::poke\\(short\\) at [^\n]*crash_child\\.cc:{site}\n", true, "",
     ""},
};

// The last value the child said for `key` ("thread 1234").
std::string said(const std::string& output, const std::string& key) {
  std::smatch match;
  std::string last;
  for (auto at = output.cbegin();
       std::regex_search(at, output.cend(), match, std::regex("(^|\n)" + key + " ([^\r\n]*)"));
       at = match[0].second) {
    last = match[2];
  }
  return last;
}

std::string with(std::string pattern, const std::string& output) {
  for (const char* key : {"thread", "site"}) {
    const std::string placeholder = std::string("{") + key + "}";
    for (std::size_t at; (at = pattern.find(placeholder)) != std::string::npos;) {
      pattern.replace(at, placeholder.size(), said(output, key));
    }
  }
  return pattern;
}

// The message of every line of `file` (what follows the header's " > " or
// " | "), and the number of lines that start a report.
std::vector<std::string> messages_of(const std::string& file, int* reports) {
  std::vector<std::string> messages;
  std::istringstream in(file);
  for (std::string line; std::getline(in, line);) {
    const std::size_t start = line.find("] > "), next = line.find("] | ");
    const std::size_t at = std::min(start, next);
    messages.push_back(at == std::string::npos ? line : line.substr(at + 4));
    *reports += line.find(" FATL: [Crash]") != std::string::npos && start != std::string::npos;
  }
  return messages;
}

class CrashTest : public ::testing::TestWithParam<Case> {};

TEST_P(CrashTest, EveryLineThenOneReportThenTheSignalsOwnEnd) {
  const Case& crash = GetParam();
  if (kWindows && crash.name != std::string("null-on-thread")) GTEST_SKIP() << "POSIX signals only";
  if (*crash.skip_under != '\0' &&
      std::string(CORE_LOGGER_CRASH_SANITIZERS).find(crash.skip_under) != std::string::npos) {
    GTEST_SKIP() << crash.why;
  }
  TempDir dir;
  const ChildRun run = run_crash_child({crash.name, dir.file("app.log")});
  const std::string& output = run.output;
  EXPECT_EQ(run.end, crash_end(crash.signal)) << output;
  const std::int64_t deadline_ms = crash.name == std::string("sleeping-channel") ? 500 : 2000;
  EXPECT_LE(run.ended_ms - std::stoll("0" + said(output, "crash at")), deadline_ms + 1000);
  EXPECT_THAT(output, HasSubstr(crash.name == std::string("installed-twice") ? "installed 1\ninstalled 1\n"
                                                                             : "installed 1\n"));
  EXPECT_THAT(output, Not(HasSubstr("still running")));
  EXPECT_GE(std::stoul("0" + said(output, "on disk at the report:")), 1000u)
      << "written out before the report";

  int reports = 0;
  const std::vector<std::string> messages = messages_of(dir.read("app.log"), &reports);
  ASSERT_GE(messages.size(), 1000u);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(messages[i], fmt::format("line {}", i));
  ASSERT_EQ(reports, 1);
  std::size_t first = 1000;
  while (first < messages.size() && !std::regex_search(messages[first], std::regex("^(Fatal|Uncaught)")))
    ++first;
  ASSERT_LT(first, messages.size());
  std::string report = messages[first];
  for (std::size_t i = first + 1; i < messages.size() && messages[i].rfind("#", 0) == 0; ++i) {
    report += "\n" + messages[i];
  }
  if (first + 1 < messages.size() && messages.back().rfind("... ", 0) == 0) report += "\n" + messages.back();
  // Windows: a structured exception, and the function as DbgHelp names it.
  const std::string first_line =
      kWindows
          ? "Fatal exception EXCEPTION_ACCESS_VIOLATION \\(0xC0000005\\) at address 0x0 on thread {thread}"
          : crash.first_line;
  const std::string stack =
      kWindows ? "\n#0 [^\n]*Widget<int>::poke[^\n]* at [^\n]*crash_child\\.cc:{site}\n" : crash.stack;
  EXPECT_TRUE(std::regex_match(messages[first], std::regex(with(first_line, output)))) << report;
  EXPECT_TRUE(std::regex_search(report, std::regex(with(stack, output)))) << report;
  EXPECT_LE(report.size(), 4096u);

  if (crash.handed_on && !kWindows) {
    EXPECT_THAT(output, HasSubstr(fmt::format("previous handler: signal {} code", crash.signal)));
    // A fault that the kernel raised comes again with its own siginfo.
    if (crash.signal != SIGABRT) {
      EXPECT_GT(std::stoi(said(output, "previous handler: signal [0-9]+ code")), 0);
    }
  }
  if (crash.name == std::string("recursion")) {
    // A walk takes 256 frames: the report shows what fits and counts the rest.
    std::smatch more;
    ASSERT_TRUE(std::regex_search(report, more, std::regex("\n\\.\\.\\. ([0-9]+) more frames$"))) << report;
    EXPECT_EQ(std::count(report.begin(), report.end(), '#') + std::stoi(more[1]), 256);
  }
  if (crash.name == std::string("crash-in-callback")) {
    // The console's lock is the crashing thread's own: nothing waited for it
    // between the first channel and the last.
    ASSERT_THAT(output, HasSubstr("report through the channels in "));
    EXPECT_LT(std::stoi(said(output, "report through the channels in")), 100) << output;
  }
}

// A buffer that another thread writes when the crash comes reaches the file
// before the newer one, and no text twice: the file is a pipe that is read
// only once the report is under way, so that the other thread's write waits.
TEST(CrashOrderTest, TheBufferBeingWrittenGoesBeforeTheNewerOne) {
  TempDir dir;
  const std::string pipe = dir.file("app.log");
  ChildRun run;
  std::string piped;
  if (!run_crash_child_into_pipe({"two-buffers", pipe}, pipe, pipe + ".go", &run, &piped)) {
    GTEST_SKIP() << "no named pipes";
  }
  EXPECT_EQ(run.end, crash_end(SIGSEGV)) << run.output;
  const int last = std::stoi("0" + said(run.output, "last line"));
  ASSERT_GT(last, 1000) << run.output;
  int reports = 0;
  const std::vector<std::string> messages = messages_of(piped, &reports);
  ASSERT_GT(messages.size(), static_cast<std::size_t>(last));
  for (int i = 0; i <= last; ++i) ASSERT_EQ(messages[i], fmt::format("line {}", i));
  EXPECT_THAT(messages[last + 1], ::testing::StartsWith("Fatal signal SIGSEGV"));
  EXPECT_EQ(reports, 1);
}

INSTANTIATE_TEST_SUITE_P(Cases, CrashTest, ::testing::ValuesIn(kCases), [](const auto& info) {
  std::string name = info.param.name;
  std::replace(name.begin(), name.end(), '-', '_');
  return name;
});

}  // namespace
}  // namespace core::logger::testing
