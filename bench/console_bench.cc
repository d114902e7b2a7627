// The console channel's time per text: a composed 1-line text through a
// ConsoleChannel's record, written to /dev/null and to a pipe that a thread
// drains, each beside its floor, one fwrite and fflush of the same bytes to
// the same stream. On a pipe the channel holds SIGPIPE off around the write.
//   core_logger_console_bench
#include <unistd.h>

#include <cstdio>
#include <string_view>
#include <thread>

#include <benchmark/benchmark.h>

#include "bench_messages.h"
#include "core/channels.h"

namespace core::logger::bench {
namespace {

// What the core hands an ordinary channel for the 1-line message: the text
// and its closing NUL.
constexpr std::string_view kText(
    "{09:42:07.123} INFO: [net.http] > request 4711 from db-replica-2 served in 1375 us\n", 85);

std::FILE* dev_null() {
  static std::FILE* const file = std::fopen("/dev/null", "w");
  return file;
}

// A pipe whose reader thread throws away what arrives; never closed.
std::FILE* drained_pipe() {
  static std::FILE* const file = [] {
    int ends[2];
    if (::pipe(ends) != 0) return static_cast<std::FILE*>(nullptr);
    std::thread([fd = ends[0]] {
      char buffer[1 << 16];
      while (::read(fd, buffer, sizeof buffer) > 0) {
      }
    }).detach();
    return ::fdopen(ends[1], "w");
  }();
  return file;
}

void deliver(benchmark::State& state, const ConsoleChannel& console) {
  const LogChannel record = console.channel();
  for (auto _ : state) record.callback(record.user_data, DispatchContext{}, kCategory, kLevel, kText);
  state.SetItemsProcessed(state.iterations());
}

void write_floor(benchmark::State& state, std::FILE* file) {
  for (auto _ : state) {
    std::fwrite(kText.data(), 1, kText.size() - 1, file);
    std::fflush(file);
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_Console_DevNull(benchmark::State& state) {
  static const ConsoleChannel console(dev_null(), false);
  deliver(state, console);
}
void BM_ConsoleFloor_DevNull(benchmark::State& state) { write_floor(state, dev_null()); }

void BM_Console_Pipe(benchmark::State& state) {
  static const ConsoleChannel console(drained_pipe(), false);
  deliver(state, console);
}
void BM_ConsoleFloor_Pipe(benchmark::State& state) { write_floor(state, drained_pipe()); }

BENCHMARK(BM_Console_DevNull);
BENCHMARK(BM_ConsoleFloor_DevNull);
BENCHMARK(BM_Console_Pipe);
BENCHMARK(BM_ConsoleFloor_Pipe);

}  // namespace
}  // namespace core::logger::bench

BENCHMARK_MAIN();
