// Logging to a running systemd-journald: the whole call through
// JournalChannel, through SyslogChannel on journald's syslog socket, and
// through spdlog's systemd_sink (sd_journal_send), time per call.
//
// One benchmark per process, since a channel stays registered once added;
// scripts/bench-journal.sh starts a journald of its own in private
// namespaces and runs the modes alternately in fresh processes. The argument
// is a burst: that many calls, then a pause outside the timing in which
// journald stores them, so that what is timed is the caller's cost while
// journald keeps up. With 0, calls follow each other without a pause and
// journald sets the pace: the caller waits for room in its queue.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include <benchmark/benchmark.h>
#include <spdlog/logger.h>
#include <spdlog/sinks/systemd_sink.h>
#include <spdlog/spdlog.h>

#include "bench_messages.h"
#include "core/channels.h"
#include "core/log.h"

namespace {

using namespace core::logger::bench;

constexpr char kIdentifier[] = "corelog-bench";
// Long enough for journald to store a burst even on a busy machine.
constexpr auto kPause = std::chrono::milliseconds(2);

template <typename Log>
void run_bursts(benchmark::State& state, Log log) {
  const auto burst = state.range(0);
  MessageArguments a;
  std::int64_t in_burst = 0;
  for (auto _ : state) {
    log(a);
    if (++in_burst == burst) {
      in_burst = 0;
      state.PauseTiming();
      std::this_thread::sleep_for(kPause);
      state.ResumeTiming();
    }
  }
  state.SetItemsProcessed(state.iterations());
}

template <typename Channel, typename Options>
void run_core_logger(benchmark::State& state, const Options& options) {
  static Channel channel(options);
  static const bool registered = (core::logger::add_default_channel(channel), true);
  (void)registered;
  if (channel.error() != 0) state.SkipWithError("no journald listens");
  run_bursts(state, [](const MessageArguments& a) {
    CORE_LOG_INFO(kCategory, kOneLine, a.request, a.peer, a.micros);
  });
  if (channel.dropped() != 0) state.SkipWithError("entries were dropped");
}

// Every side waits as long as journald needs: spdlog's socket blocks.
constexpr std::uint32_t kSendTimeoutMs = 5000;

void BM_CoreLogger_Journal(benchmark::State& state) {
  core::logger::JournalOptions options;
  options.identifier = kIdentifier;
  options.send_timeout_ms = kSendTimeoutMs;
  run_core_logger<core::logger::JournalChannel>(state, options);
}

// journald's syslog socket: the same receiver, RFC 5424 instead of fields.
void BM_CoreLogger_SyslogUnix(benchmark::State& state) {
  core::logger::SyslogOptions options;
  options.address = "unix:/run/systemd/journal/dev-log";
  options.app_name = kIdentifier;
  options.send_timeout_ms = kSendTimeoutMs;
  run_core_logger<core::logger::SyslogChannel>(state, options);
}

// spdlog's systemd sink with the call's location, which it sends as
// CODE_FILE, CODE_LINE and CODE_FUNC as JournalChannel does.
void BM_Spdlog_Systemd(benchmark::State& state) {
  spdlog::logger logger(std::string(kCategoryName),
                        std::make_shared<spdlog::sinks::systemd_sink_st>(kIdentifier));
  logger.set_error_handler([&state](const std::string&) { state.SkipWithError("sd_journal_send failed"); });
  run_bursts(state, [&logger](const MessageArguments& a) {
    SPDLOG_LOGGER_INFO(&logger, kOneLine, a.request, a.peer, a.micros);
  });
}

BENCHMARK(BM_CoreLogger_Journal)->Arg(16)->Arg(0);
BENCHMARK(BM_CoreLogger_SyslogUnix)->Arg(16)->Arg(0);
BENCHMARK(BM_Spdlog_Systemd)->Arg(16)->Arg(0);

}  // namespace

// Never beside a journald of the host, whose journal would keep every entry.
int main(int argc, char** argv) {
  if (std::getenv("CORE_LOGGER_JOURNAL_NAMESPACE") == nullptr) {
    std::fprintf(stderr, "run through scripts/bench-journal.sh, which starts a journald of its own\n");
    return 0;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
