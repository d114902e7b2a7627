// The whole log call: core_logger's `log_format` with the built-in channel as
// the only channel, which then writes every text to standard error in one
// write, against an spdlog synchronous logger with its standard-error sink,
// which also writes every message to standard error. The same call on one and
// on two threads, beside the call of an exported function that only loads an
// atomic, shows how enabled calls scale. Run with standard error on /dev/null:
//   core_logger_log_call_bench 2>/dev/null
#include <memory>

#include <benchmark/benchmark.h>
#include <spdlog/logger.h>
#include <spdlog/sinks/stdout_sinks.h>

#include "bench_messages.h"
#include "core/channels.h"
#include "core/logger.h"

namespace core::logger::bench {
namespace {

void log_with_core_logger(benchmark::State& state, const char* format) {
  MessageArguments a;
  for (auto _ : state) {
    log_format(static_cast<LogOptions>(0), kCategory, kLevel, format,
               fmt::make_format_args(a.request, a.peer, a.micros));
  }
  state.SetItemsProcessed(state.iterations());
}

std::shared_ptr<spdlog::logger> make_stderr_logger() {
  auto logger = std::make_shared<spdlog::logger>(std::string(kCategoryName),
                                                 std::make_shared<spdlog::sinks::stderr_sink_st>());
  logger->set_pattern(kSpdlogPattern);
  return logger;
}

void BM_CoreLogger_WholeCall_1Line(benchmark::State& state) { log_with_core_logger(state, kOneLine); }
// The same with the crash handler of the channels library installed, which
// must cost a log call nothing (measured in instructions with callgrind). It
// stays installed for the rest of the process, which the other calls here
// never reach.
void BM_CoreLogger_WholeCall_1Line_CrashHandler(benchmark::State& state) {
  install_crash_handler();
  log_with_core_logger(state, kOneLine);
}
void BM_CoreLogger_WholeCall_3Lines(benchmark::State& state) { log_with_core_logger(state, kThreeLines); }

void BM_Spdlog_WholeCall_1Line(benchmark::State& state) {
  log_with_spdlog(state, *make_stderr_logger(), Message::kOneLine);
}
void BM_Spdlog_WholeCall_3Lines(benchmark::State& state) {
  log_with_spdlog(state, *make_stderr_logger(), Message::kThreeLines);
}

// The floor under the scaling of any call into the shared library.
void BM_ExportedCallFloorBesideLogCalls(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(runtime_verbosity());
  state.SetItemsProcessed(state.iterations());
}

// Each pair side by side, so that both halves of a ratio see the same load.
BENCHMARK(BM_CoreLogger_WholeCall_1Line);
BENCHMARK(BM_Spdlog_WholeCall_1Line);
BENCHMARK(BM_CoreLogger_WholeCall_3Lines);
BENCHMARK(BM_Spdlog_WholeCall_3Lines);
// Items per second over real time: on two threads, the throughput of both.
BENCHMARK(BM_CoreLogger_WholeCall_1Line)->Name("BM_EnabledLogCall")->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_ExportedCallFloorBesideLogCalls)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_CoreLogger_WholeCall_1Line_CrashHandler);

}  // namespace
}  // namespace core::logger::bench

BENCHMARK_MAIN();
