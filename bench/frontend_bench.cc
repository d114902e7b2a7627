// The cost of a log statement that is switched off, through the macros of
// core/log.h and through spdlog with its level check written out, with
// arguments whose evaluation would allocate. Both sides must leave the
// argument function uncalled; each benchmark checks its counter, reports it as
// "evaluations" and fails when it is not 0.
//
// Run with repetitions on a shared machine and compare medians:
//   core_logger_frontend_bench --benchmark_repetitions=10 --benchmark_report_aggregates_only=true
#include <cstdint>
#include <memory>
#include <string>

#include <benchmark/benchmark.h>
#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include "core/log.h"

namespace {

using core::logger::MessageVerbosity;

std::int64_t g_evaluations = 0;

// An argument that costs what a typical dump costs: a heap allocation.
[[gnu::noinline]] std::string costly_argument(int seed) {
  ++g_evaluations;
  return std::string(64, static_cast<char>('a' + seed % 26));
}

void report_evaluations(benchmark::State& state, std::int64_t before) {
  const std::int64_t evaluations = g_evaluations - before;
  state.counters["evaluations"] = static_cast<double>(evaluations);
  if (evaluations != 0) state.SkipWithError("a disabled statement evaluated its arguments");
}

// A category switched off as a whole.
constexpr core::logger::LogCategory kDisabledCategory = core::logger::make_category("bench.disabled");
// A category that follows the runtime verbosity, lowered below its messages:
// the counterpart of an spdlog logger whose level is above the message's.
constexpr core::logger::LogCategory kQuietCategory = core::logger::make_category("bench.quiet");

void BM_CoreLogger_DisabledCategory(benchmark::State& state) {
  core::logger::declare_category(kDisabledCategory);
  core::logger::disable_category(kDisabledCategory);
  const std::int64_t before = g_evaluations;
  int i = 0;
  for (auto _ : state) {
    CORE_LOG_DEBUG(kDisabledCategory, "value {} and {}", costly_argument(i), costly_argument(i + 1));
    ++i;
    benchmark::ClobberMemory();
  }
  report_evaluations(state, before);
}
BENCHMARK(BM_CoreLogger_DisabledCategory);

void BM_CoreLogger_VerbosityBelowMessage(benchmark::State& state) {
  core::logger::declare_category(kQuietCategory);
  core::logger::change_verbosity(MessageVerbosity::Normal);
  const std::int64_t before = g_evaluations;
  int i = 0;
  for (auto _ : state) {
    CORE_LOG_DEBUG(kQuietCategory, "value {} and {}", costly_argument(i), costly_argument(i + 1));
    ++i;
    benchmark::ClobberMemory();
  }
  core::logger::change_verbosity(MessageVerbosity::Detailed);
  report_evaluations(state, before);
}
BENCHMARK(BM_CoreLogger_VerbosityBelowMessage);

void BM_Spdlog_LevelAboveMessage(benchmark::State& state) {
  auto logger = std::make_shared<spdlog::logger>("bench", std::make_shared<spdlog::sinks::null_sink_st>());
  logger->set_level(spdlog::level::info);
  const std::int64_t before = g_evaluations;
  int i = 0;
  for (auto _ : state) {
    if (logger->should_log(spdlog::level::debug)) {
      SPDLOG_LOGGER_DEBUG(logger, "value {} and {}", costly_argument(i), costly_argument(i + 1));
    }
    ++i;
    benchmark::ClobberMemory();
  }
  report_evaluations(state, before);
}
BENCHMARK(BM_Spdlog_LevelAboveMessage);

// The floor of any statement that asks the shared library: one exported call
// that loads one atomic and returns.
void BM_Reference_ExportedCallFloor(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(core::logger::runtime_verbosity());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_Reference_ExportedCallFloor);

}  // namespace
BENCHMARK_MAIN();
