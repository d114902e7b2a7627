// A program that logs 1,000 lines into a file channel (WhenFull, 64 KiB),
// installs the crash handler and crashes as its first argument says; the
// crash tests run it and read the file (its second argument). It tells the
// parent on standard output what only it can know: its crashing thread,
// where it faults, what its own channels saw.
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

#include <fmt/format.h>

#include "core/channels.h"
#include "core/log.h"
#include "crash/crash_child.h"

namespace core::logger::testing::crash_child {
namespace {

constexpr LogCategory kChild = make_category("child");

const char* g_path = nullptr;
int* volatile g_nowhere = nullptr;
volatile int g_dividend = 7;
volatile int g_zero = 0;
volatile bool g_endless = true;

template <typename T>
struct Widget {
  [[gnu::noinline]] CORE_LOGGER_FAULTS_ON_PURPOSE static void poke(T value) {
    say(fmt::format("site {}", __LINE__ + 1));
    *g_nowhere = static_cast<int>(value);
  }
};

[[gnu::noinline]] int divide() { return g_dividend / g_zero; }

[[gnu::noinline]] int recurse(int depth) {
  volatile char frame[1024];
  frame[0] = static_cast<char>(depth);
  return g_endless ? recurse(depth + 1) + frame[0] : 0;
}

[[gnu::noinline]] void throw_runtime_error() { throw std::runtime_error("boom"); }

// Raw channels run first: what is on disk when the report starts out.
std::atomic<std::int64_t> g_report_ms{0};
void observe(void*, const DispatchContext&, const LogCategory& category, const LogLevel&, LogTimestamp,
             std::string_view) {
  if (category.key.name == "Crash" && g_report_ms.exchange(now_ms()) == 0) {
    char line[64];
    const auto end = fmt::format_to_n(line, sizeof line, "on disk at the report: {}", lines_on_disk(g_path));
    say(std::string_view(line, end.size));
  }
}

// Sleeps with its lock held once a text asks it to; else waits for the lock
// as a channel would that takes care not to block its signals.
std::timed_mutex g_sleeper_lock;
std::atomic<bool> g_sleeping{false};
void sleeper(void*, const DispatchContext&, const LogCategory&, const LogLevel&, std::string_view text) {
  while (!g_sleeper_lock.try_lock()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  if (text.find("sleep now") != std::string_view::npos) {
    g_sleeping = true;
    std::this_thread::sleep_for(std::chrono::hours(1));
  }
  g_sleeper_lock.unlock();
}

// The last channel: faults on the report, a second fault inside the handler.
CORE_LOGGER_FAULTS_ON_PURPOSE void fragile(void*, const DispatchContext&, const LogCategory& category,
                                           const LogLevel&, std::string_view) {
  if (category.key.name != "Crash") return;
  char line[64];
  const auto end =
      fmt::format_to_n(line, sizeof line, "report through the channels in {} ms", now_ms() - g_report_ms);
  say(std::string_view(line, end.size));
  *g_nowhere = 2;
}

void log_lines() {
  for (int i = 0; i < 1000; ++i) CORE_LOG_INFO(kChild, "line {}", i);
}

// Tells the crashing thread and the time of the crash.
void crashing_now() {
  say(fmt::format("thread {}", thread_number()));
  say(fmt::format("crash at {}", now_ms()));
}

// The file is a pipe that no one reads yet: a thread logs until its write of
// a full buffer waits there, the other buffer takes a few lines more, and the
// crash comes while that write waits. The test reads the pipe only once the
// file `<path>.go` exists, shortly after the crash.
void two_buffers() {
  static std::atomic<int> logged{1000};
  static std::atomic<bool> stop{false};
  std::thread([] {
    for (int i = 1000; !stop; ++i) {
      logged = i;
      CORE_LOG_INFO(kChild, "line {}", i);
    }
  }).detach();
  for (int seen = -1; seen != logged; std::this_thread::sleep_for(std::chrono::milliseconds(200))) {
    seen = logged;
  }
  stop = true;
  for (int i = 1; i <= 5; ++i) CORE_LOG_INFO(kChild, "line {}", logged + i);
  say(fmt::format("last line {}", logged + 5));
  std::thread([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::ofstream(std::string(g_path) + ".go");
  }).detach();
  crashing_now();
  Widget<char>::poke(4);
}

// On a thread of its own that has delivered through the file channel.
template <typename Crash>
void on_second_thread(Crash crash) {
  std::thread([crash] {
    CORE_LOG_INFO(kChild, "second thread");
    crashing_now();
    crash();
  }).join();
}

int run(std::string_view which) {
  prepare_process();
  FileChannel file(g_path, FileChannelOptions{FlushPolicy::WhenFull, 3, 64 * 1024});
  CrashHandlerOptions options;
  if (which == "crash-in-callback") {
    // Its lock is held when the stream faults; it comes before the file.
    static ConsoleChannel console(faulting_stream(), false);
    add_default_channel(console);
  }
  add_default_channel(file);
  // The observer reads the file, which must stay unread when it is a pipe.
  if (which != "two-buffers") add_default_channel(LogRawChannel{"observer", &observe, nullptr});
  if (which == "crash-in-callback") add_default_channel(LogChannel{"fragile", &fragile, nullptr});
  if (which == "sleeping-channel") {
    add_default_channel(LogChannel{"sleeper", &sleeper, nullptr});
    options.deadline_ms = 500;
  }
  if (which == "recursion") options.max_frames = 1000;  // more than a report holds
  say(fmt::format("installed {:d}", install_crash_handler(options)));
  if (which == "installed-twice") say(fmt::format("installed {:d}", install_crash_handler(options)));
  log_lines();
  if (which != "null-on-thread" && which != "recursion" && which != "two-buffers") crashing_now();
  if (which == "null-on-thread") {
    on_second_thread([] { Widget<int>::poke(1); });
  } else if (which == "abort") {
    std::abort();
  } else if (which == "exception") {
    throw_runtime_error();
  } else if (which == "divide") {
    say(fmt::format("quotient {}", divide()));
  } else if (which == "recursion") {
    on_second_thread([] { recurse(0); });
  } else if (which == "sleeping-channel") {
    std::thread([] { CORE_LOG_INFO(kChild, "sleep now"); }).detach();
    while (!g_sleeping) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    Widget<long>::poke(2);
  } else if (which == "crash-in-callback") {
    arm_stream_fault();
    CORE_LOG_WARN(kChild, "this text faults in the console");
  } else if (which == "installed-twice") {
    Widget<short>::poke(3);
  } else if (which == "two-buffers") {
    two_buffers();
  }
  say("still running");
  return 0;
}

}  // namespace
}  // namespace core::logger::testing::crash_child

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  core::logger::testing::crash_child::g_path = argv[2];
  return core::logger::testing::crash_child::run(argv[1]);
}
