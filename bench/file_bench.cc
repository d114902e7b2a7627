// Logging into one file, 200,000 messages `thread {} message {} value {:.2f}`
// from 1, 4 or 8 threads, through core_logger's file channels, through
// spdlog's basic file sink, and through the floor: the least a synchronous
// logger with the same output does. Wall time from the first message to the
// last byte handed to the system; and the time each call takes, 4 threads x
// 100,000 calls.
//
// One benchmark per process: a channel stays registered once added, and a
// fresh process gives every mode the same start. scripts/bench-file.sh runs
// the modes alternately in fresh processes and prints the medians and the
// paired ratios; by hand:
//   core_logger_file_bench --benchmark_filter='^BM_CoreLogger_FileWhenFull/4/'
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <fmt/format.h>
#include <spdlog/logger.h>
#include <spdlog/sinks/basic_file_sink.h>

#include "core/channels.h"
#include "core/log.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMessages = 200000;       // in all, over the threads
constexpr int kTimedThreads = 4;        // for the time of each call
constexpr int kTimedCalls = 100000;     // per thread
constexpr std::size_t kBuffer = 65536;  // what every buffered mode holds back
constexpr char kPath[] = "core_logger_file_bench.log";
constexpr core::logger::LogCategory kCategory = core::logger::make_category("bench.file");

// Runs `log(thread, message)` for every message on `threads` threads and
// `finish()` after them; reports the wall time of both as the iteration's.
template <typename Log, typename Finish>
void run_threads(benchmark::State& state, Log log, Finish finish) {
  const int threads = static_cast<int>(state.range(0));
  for (auto _ : state) {
    const Clock::time_point start = Clock::now();
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
      workers.emplace_back([&log, t, threads] {
        for (int i = 0; i < kMessages / threads; ++i) log(t, i);
      });
    }
    for (std::thread& worker : workers) worker.join();
    finish();
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
  }
  state.SetItemsProcessed(kMessages);
}

// Times each of kTimedCalls calls `log(thread, message)` on kTimedThreads
// threads, and reports the percentiles of all of them, in nanoseconds.
template <typename Log, typename Finish>
void run_timed(benchmark::State& state, Log log, Finish finish) {
  std::vector<std::vector<std::int64_t>> times(kTimedThreads, std::vector<std::int64_t>(kTimedCalls));
  for (auto _ : state) {
    std::vector<std::thread> workers;
    for (int t = 0; t < kTimedThreads; ++t) {
      workers.emplace_back([&log, &times, t] {
        for (int i = 0; i < kTimedCalls; ++i) {
          const Clock::time_point start = Clock::now();
          log(t, i);
          times[t][i] = (Clock::now() - start).count();
        }
      });
    }
    for (std::thread& worker : workers) worker.join();
    finish();
  }
  std::vector<std::int64_t> all;
  for (const std::vector<std::int64_t>& each : times) all.insert(all.end(), each.begin(), each.end());
  std::sort(all.begin(), all.end());
  const auto at = [&all](double fraction) {
    return static_cast<double>(all[static_cast<std::size_t>(fraction * static_cast<double>(all.size() - 1))]);
  };
  state.counters["p50"] = at(0.5);
  state.counters["p99"] = at(0.99);
  state.counters["p999"] = at(0.999);
  state.counters["p9999"] = at(0.9999);
  state.counters["max"] = at(1.0);
}

void log_to_core_logger(int t, int i) {
  CORE_LOG_INFO(kCategory, "thread {} message {} value {:.2f}", t, i, i * 0.25);
}

// The channel registered in one call, as applications do: its raw record
// (the call's time, and for JSON the message) and its ordinary one.
template <typename Channel, typename Options>
void run_core_logger(benchmark::State& state, Options options, bool timed = false) {
  std::remove(kPath);
  Channel channel(kPath, options);
  core::logger::add_default_channel(channel);
  const auto finish = [&channel] { channel.flush(); };
  timed ? run_timed(state, log_to_core_logger, finish) : run_threads(state, log_to_core_logger, finish);
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

void BM_CoreLogger_FileWhenFullTimed(benchmark::State& state) {
  run_core_logger<core::logger::FileChannel>(
      state, core::logger::FileChannelOptions{core::logger::FlushPolicy::WhenFull}, true);
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
// spdlog's flush_on(trace), else it keeps its buffered stdio file, of its
// default size or of `buffer` bytes.
void run_spdlog(benchmark::State& state, bool flush_every_message, bool timed = false,
                std::size_t buffer = 0) {
  std::remove(kPath);
  spdlog::file_event_handlers handlers;
  if (buffer != 0) {
    handlers.after_open = [buffer](const spdlog::filename_t&, std::FILE* file) {
      std::setvbuf(file, nullptr, _IOFBF, buffer);
    };
  }
  auto logger = std::make_shared<spdlog::logger>(
      std::string(kCategory.key.name),
      std::make_shared<spdlog::sinks::basic_file_sink_mt>(kPath, true, handlers));
  logger->set_pattern("{%H:%M:%S.%e} %l: [%n] > %v");
  if (flush_every_message) logger->flush_on(spdlog::level::trace);
  const auto log = [&logger](int t, int i) {
    logger->info("thread {} message {} value {:.2f}", t, i, i * 0.25);
  };
  const auto finish = [&logger] { logger->flush(); };
  timed ? run_timed(state, log, finish) : run_threads(state, log, finish);
  logger.reset();
  std::remove(kPath);
}

void BM_Spdlog_FileDefault(benchmark::State& state) { run_spdlog(state, false); }
void BM_Spdlog_FileFlushEveryMessage(benchmark::State& state) { run_spdlog(state, true); }
void BM_Spdlog_FileTimed(benchmark::State& state) { run_spdlog(state, false, true, kBuffer); }

// The floor: a minimal synchronous logger with core_logger's output. Each
// thread keeps the zone's offset of the current second, writes the header's
// digits by hand and the message with {fmt} into a buffer of its own; then
// one copy into a 64 KiB buffer under a mutex and one write per full buffer,
// or, for every text, one write per text on a descriptor opened with
// O_APPEND, without a lock.
class FloorLogger {
 public:
  FloorLogger(const char* path, bool every_text)
      : file_(::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644)),
        every_text_(every_text) {}
  ~FloorLogger() {
    flush();
    ::close(file_);
  }

  template <typename... Args>
  void info(std::string_view category, fmt::format_string<Args...> format, Args&&... args) {
    thread_local fmt::memory_buffer text;
    thread_local time_t second = LONG_MIN;
    thread_local long offset = 0;
    struct timespec now;
    ::clock_gettime(CLOCK_REALTIME, &now);
    if (now.tv_sec != second) {
      struct tm local;
      ::localtime_r(&now.tv_sec, &local);
      offset = local.tm_gmtoff;
      second = now.tv_sec;
    }
    const long in_day = ((now.tv_sec + offset) % 86400 + 86400) % 86400;
    const long ms = now.tv_nsec / 1000000;
    const char time[] = {'{',
                         digit(in_day / 36000),
                         digit(in_day / 3600 % 10),
                         ':',
                         digit(in_day / 600 % 6),
                         digit(in_day / 60 % 10),
                         ':',
                         digit(in_day % 60 / 10),
                         digit(in_day % 10),
                         '.',
                         digit(ms / 100),
                         digit(ms / 10 % 10),
                         digit(ms % 10),
                         '}',
                         ' '};
    text.clear();
    text.append(time, time + sizeof time);
    text.append(std::string_view("INFO: ["));
    text.append(category);
    text.append(std::string_view("] > "));
    fmt::format_to(std::back_inserter(text), format, std::forward<Args>(args)...);
    text.push_back('\n');
    if (every_text_) {
      (void)!::write(file_, text.data(), text.size());
      return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (used_ + text.size() > kBuffer) {
      (void)!::write(file_, buffer_, used_);
      used_ = 0;
    }
    std::memcpy(buffer_ + used_, text.data(), text.size());
    used_ += text.size();
  }

  void flush() {
    std::lock_guard<std::mutex> lock(mutex_);
    (void)!::write(file_, buffer_, used_);
    used_ = 0;
  }

 private:
  static char digit(long value) { return static_cast<char>('0' + value); }

  const int file_;
  const bool every_text_;
  std::mutex mutex_;
  char buffer_[kBuffer];
  std::size_t used_ = 0;
};

void run_floor(benchmark::State& state, bool every_text, bool timed = false) {
  std::remove(kPath);
  auto floor = std::make_unique<FloorLogger>(kPath, every_text);
  const auto log = [&floor](int t, int i) {
    floor->info(kCategory.key.name, "thread {} message {} value {:.2f}", t, i, i * 0.25);
  };
  const auto finish = [&floor] { floor->flush(); };
  timed ? run_timed(state, log, finish) : run_threads(state, log, finish);
  floor.reset();
  std::remove(kPath);
}

void BM_Floor_FileWhenFull(benchmark::State& state) { run_floor(state, false); }
void BM_Floor_FileEveryText(benchmark::State& state) { run_floor(state, true); }
void BM_Floor_FileTimed(benchmark::State& state) { run_floor(state, false, true); }

#define CORE_LOGGER_FILE_BENCH(name) \
  BENCHMARK(name)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond)->Arg(1)->Arg(4)->Arg(8)
#define CORE_LOGGER_TIMED_BENCH(name) BENCHMARK(name)->Iterations(1)->Unit(benchmark::kMillisecond)

CORE_LOGGER_FILE_BENCH(BM_CoreLogger_FileWhenFull);
CORE_LOGGER_FILE_BENCH(BM_Floor_FileWhenFull);
CORE_LOGGER_FILE_BENCH(BM_Spdlog_FileDefault);
CORE_LOGGER_FILE_BENCH(BM_CoreLogger_FileEveryText);
CORE_LOGGER_FILE_BENCH(BM_Floor_FileEveryText);
CORE_LOGGER_FILE_BENCH(BM_Spdlog_FileFlushEveryMessage);
CORE_LOGGER_FILE_BENCH(BM_CoreLogger_RotatingWhenFull);
CORE_LOGGER_FILE_BENCH(BM_CoreLogger_FileWhenFull_CrashHandler);
CORE_LOGGER_FILE_BENCH(BM_CoreLogger_JsonLinesWhenFull);
CORE_LOGGER_TIMED_BENCH(BM_CoreLogger_FileWhenFullTimed);
CORE_LOGGER_TIMED_BENCH(BM_Floor_FileTimed);
CORE_LOGGER_TIMED_BENCH(BM_Spdlog_FileTimed);

}  // namespace

BENCHMARK_MAIN();
