// Logging into one file from 4 threads, 50,000 messages each, through
// core_logger's file channels and through spdlog's basic file sink, wall
// time from the first message to the last byte handed to the system.
//
// One benchmark per process: a channel stays registered once added, and a
// fresh process gives every mode the same start. scripts/bench-file.sh runs
// the modes alternately in fresh processes and prints the medians and the
// paired ratios; by hand:
//   core_logger_file_bench --benchmark_filter='^BM_CoreLogger_FileWhenFull/'
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <spdlog/logger.h>
#include <spdlog/sinks/basic_file_sink.h>

#include "core/channels.h"
#include "core/log.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kThreads = 4;
constexpr int kMessages = 50000;
constexpr char kPath[] = "core_logger_file_bench.log";
constexpr core::logger::LogCategory kCategory = core::logger::make_category("bench.file");

// Runs `log(thread, message)` for every message of every thread and
// `finish()` after them; reports the wall time of both as the iteration's.
template <typename Log, typename Finish>
void run_threads(benchmark::State& state, Log log, Finish finish) {
  for (auto _ : state) {
    const Clock::time_point start = Clock::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&log, t] {
        for (int i = 0; i < kMessages; ++i) log(t, i);
      });
    }
    for (std::thread& thread : threads) thread.join();
    finish();
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(kThreads) * kMessages);
}

void log_to_core_logger(int t, int i) {
  CORE_LOG_INFO(kCategory, "thread {} message {} value {:.2f}", t, i, i * 0.25);
}

// The channel registered in one call, as applications do: its raw record
// (the call's time, and for JSON the message) and its ordinary one.
template <typename Channel, typename Options>
void run_core_logger(benchmark::State& state, Options options) {
  std::remove(kPath);
  Channel channel(kPath, options);
  core::logger::add_default_channel(channel);
  run_threads(state, log_to_core_logger, [&channel] { channel.flush(); });
  if (channel.error() != 0) state.SkipWithError("the channel could not write");
  channel.close();
  std::remove(kPath);
}

void BM_CoreLogger_FileWhenFull(benchmark::State& state) {
  run_core_logger<core::logger::FileChannel>(
      state, core::logger::FileChannelOptions{core::logger::FlushPolicy::WhenFull});
}

// Against FileWhenFull: the same with the crash handler installed, which
// must cost a log call nothing (measured in instructions with callgrind).
void BM_CoreLogger_FileWhenFull_CrashHandler(benchmark::State& state) {
  core::logger::install_crash_handler();
  BM_CoreLogger_FileWhenFull(state);
}

void BM_CoreLogger_FileEveryText(benchmark::State& state) {
  run_core_logger<core::logger::FileChannel>(
      state, core::logger::FileChannelOptions{core::logger::FlushPolicy::EveryText});
}

// Against FileWhenFull: the same channel, with a size limit that is never
// reached.
void BM_CoreLogger_RotatingWhenFull(benchmark::State& state) {
  core::logger::RotatingFileOptions options;
  options.flush = core::logger::FlushPolicy::WhenFull;
  options.max_bytes = std::uint64_t{1} << 40;
  run_core_logger<core::logger::RotatingFileChannel>(state, options);
}

// Against FileWhenFull: the same calls as JSON lines.
void BM_CoreLogger_JsonLinesWhenFull(benchmark::State& state) {
  core::logger::FileChannelOptions options{core::logger::FlushPolicy::WhenFull};
  options.format = core::logger::FileFormat::JsonLines;
  run_core_logger<core::logger::FileChannel>(state, options);
}

// spdlog's file sink with core_logger's layout; `flush_every_message` is
// spdlog's flush_on(trace), else it keeps its default buffered stdio file.
void run_spdlog(benchmark::State& state, bool flush_every_message) {
  std::remove(kPath);
  auto logger = std::make_shared<spdlog::logger>(
      std::string(kCategory.key.name), std::make_shared<spdlog::sinks::basic_file_sink_mt>(kPath, true));
  logger->set_pattern("{%H:%M:%S.%e} %l: [%n] > %v");
  if (flush_every_message) logger->flush_on(spdlog::level::trace);
  run_threads(
      state, [&logger](int t, int i) { logger->info("thread {} message {} value {:.2f}", t, i, i * 0.25); },
      [&logger] { logger->flush(); });
  logger.reset();
  std::remove(kPath);
}

void BM_Spdlog_FileDefault(benchmark::State& state) { run_spdlog(state, false); }
void BM_Spdlog_FileFlushEveryMessage(benchmark::State& state) { run_spdlog(state, true); }

BENCHMARK(BM_CoreLogger_FileWhenFull)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Spdlog_FileDefault)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CoreLogger_FileEveryText)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Spdlog_FileFlushEveryMessage)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CoreLogger_RotatingWhenFull)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CoreLogger_FileWhenFull_CrashHandler)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CoreLogger_JsonLinesWhenFull)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
