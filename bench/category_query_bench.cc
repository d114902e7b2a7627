// The query that guards every log call, on a category that is already
// declared, on one and on two threads: core_logger's `can_dispatch_log`
// beside the same query over a std::mutex and a std::unordered_map, and
// beside spdlog's `should_log`. Items per second on two threads are the
// throughput of both together (real time).
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

#include <benchmark/benchmark.h>
#include <spdlog/logger.h>

#include "core/logger.h"

namespace core::logger::bench {
namespace {

constexpr std::string_view kKnownName = "bench.query";
constexpr LogCategory kKnown{{kKnownName, category_id(kKnownName)}, true, MessageVerbosity::Detailed};

// The registry as a plain locked map: the same find-or-declare and the same
// answer as `can_dispatch_log`, with every query under the lock.
class MutexCategoryTable {
 public:
  bool can_dispatch_log(const LogCategory& category, MessageVerbosity verbosity) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = states_.find(category.key.id);
    if (found == states_.end()) {
      found = states_.emplace(category.key.id, State{category.enabled, category.verbosity}).first;
    }
    if (!found->second.enabled) return false;
    const MessageVerbosity current = found->second.verbosity == MessageVerbosity::Detailed
                                         ? runtime_verbosity_.load(std::memory_order_relaxed)
                                         : found->second.verbosity;
    return static_cast<std::uint32_t>(current) >= static_cast<std::uint32_t>(verbosity);
  }

 private:
  struct State {
    bool enabled;
    MessageVerbosity verbosity;
  };

  std::mutex mutex_;
  std::unordered_map<std::uint32_t, State> states_;
  std::atomic<MessageVerbosity> runtime_verbosity_{MessageVerbosity::Detailed};
};

MutexCategoryTable& mutex_table() {
  static MutexCategoryTable table;
  return table;
}

spdlog::logger& spdlog_logger() {
  static spdlog::logger logger{std::string(kKnownName)};
  return logger;
}

void BM_CanDispatchLog(benchmark::State& state) {
  can_dispatch_log(kKnown, MessageVerbosity::Normal);  // declared before the loop
  for (auto _ : state) benchmark::DoNotOptimize(can_dispatch_log(kKnown, MessageVerbosity::Normal));
  state.SetItemsProcessed(state.iterations());
}

// The floor under any query through the shared library: the call of an
// exported function that does nothing but load one atomic.
void BM_ExportedCallFloor(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(runtime_verbosity());
  state.SetItemsProcessed(state.iterations());
}

void BM_MutexUnorderedMap(benchmark::State& state) {
  MutexCategoryTable& table = mutex_table();
  table.can_dispatch_log(kKnown, MessageVerbosity::Normal);
  for (auto _ : state) benchmark::DoNotOptimize(table.can_dispatch_log(kKnown, MessageVerbosity::Normal));
  state.SetItemsProcessed(state.iterations());
}

void BM_SpdlogShouldLog(benchmark::State& state) {
  spdlog::logger& logger = spdlog_logger();
  for (auto _ : state) benchmark::DoNotOptimize(logger.should_log(spdlog::level::info));
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_CanDispatchLog)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_ExportedCallFloor)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_MutexUnorderedMap)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_SpdlogShouldLog)->Threads(1)->Threads(2)->UseRealTime();

}  // namespace
}  // namespace core::logger::bench

BENCHMARK_MAIN();
