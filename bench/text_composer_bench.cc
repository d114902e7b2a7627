// Composition alone: core_logger's ordinary composer, driven directly with a
// DispatchContext that holds one no-op ordinary channel, against an spdlog
// synchronous logger whose sink formats the same layout into memory. Neither
// side does any I/O.
#include <memory>
#include <string>

#include <benchmark/benchmark.h>
#include <spdlog/details/null_mutex.h>
#include <spdlog/logger.h>
#include <spdlog/sinks/base_sink.h>

#include "bench_messages.h"
#include "core/logger.h"
#include "pipeline/text_composer.h"

namespace core::logger::bench {
namespace {

void discard_text(void*, const DispatchContext&, const LogCategory&, const LogLevel&, std::string_view text) {
  benchmark::DoNotOptimize(text.data());
  benchmark::ClobberMemory();
}

constexpr LogChannel kNoopChannel{"noop", &discard_text, nullptr};

DispatchContext one_noop_channel() {
  DispatchContext context{};
  context.channels = &kNoopChannel;
  context.channel_count = 1;
  return context;
}

void compose_with_core_logger(benchmark::State& state, const char* format) {
  const DispatchContext context = one_noop_channel();
  MessageArguments a;
  for (auto _ : state) {
    detail::compose_ordinary(context, kCategory, kLevel, format,
                             fmt::make_format_args(a.request, a.peer, a.micros));
  }
  state.SetItemsProcessed(state.iterations());
}

// spdlog's counterpart of the no-op channel: the sink formats the logger's
// pattern into a buffer that it keeps, and writes nowhere.
class MemorySink final : public spdlog::sinks::base_sink<spdlog::details::null_mutex> {
 protected:
  void sink_it_(const spdlog::details::log_msg& message) override {
    buffer_.clear();
    formatter_->format(message, buffer_);
    benchmark::DoNotOptimize(buffer_.data());
    benchmark::ClobberMemory();
  }
  void flush_() override {}

 private:
  spdlog::memory_buf_t buffer_;
};

std::shared_ptr<spdlog::logger> make_memory_logger() {
  auto logger = std::make_shared<spdlog::logger>(std::string(kCategoryName), std::make_shared<MemorySink>());
  logger->set_pattern(kSpdlogPattern);
  return logger;
}

void BM_CoreLogger_Compose_1Line(benchmark::State& state) { compose_with_core_logger(state, kOneLine); }
void BM_CoreLogger_Compose_3Lines(benchmark::State& state) { compose_with_core_logger(state, kThreeLines); }
void BM_CoreLogger_Compose_SpecdFields(benchmark::State& state) {
  compose_with_core_logger(state, kSpecdFields);
}

void BM_Spdlog_Compose_1Line(benchmark::State& state) {
  log_with_spdlog(state, *make_memory_logger(), Message::kOneLine);
}
void BM_Spdlog_Compose_3Lines(benchmark::State& state) {
  log_with_spdlog(state, *make_memory_logger(), Message::kThreeLines);
}
void BM_Spdlog_Compose_SpecdFields(benchmark::State& state) {
  log_with_spdlog(state, *make_memory_logger(), Message::kSpecdFields);
}

BENCHMARK(BM_CoreLogger_Compose_1Line);
BENCHMARK(BM_Spdlog_Compose_1Line);
BENCHMARK(BM_CoreLogger_Compose_3Lines);
BENCHMARK(BM_Spdlog_Compose_3Lines);
BENCHMARK(BM_CoreLogger_Compose_SpecdFields);
BENCHMARK(BM_Spdlog_Compose_SpecdFields);

}  // namespace
}  // namespace core::logger::bench

BENCHMARK_MAIN();
