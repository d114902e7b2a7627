// bench/bench_messages.h: the messages that the log benchmarks hand to
// core_logger and to spdlog alike, so that both format the same arguments.
#ifndef CORE_LOGGER_BENCH_BENCH_MESSAGES_H_
#define CORE_LOGGER_BENCH_BENCH_MESSAGES_H_

#include <cstdint>
#include <string_view>

#include <benchmark/benchmark.h>

#include "core/logger.h"

namespace core::logger::bench {

// Both libraries format these three arguments into one line, or into three
// lines in which the arguments sit at the same places, or into one line whose
// later fields carry format specs.
inline constexpr char kOneLine[] = "request {} from {} served in {} us";
inline constexpr char kThreeLines[] = "request {} from {}\nserved in {} us\nstatus: ok";
inline constexpr char kSpecdFields[] = "request {} from {:>14} served in {:6} us";
enum class Message { kOneLine, kThreeLines, kSpecdFields };

struct MessageArguments {
  std::uint32_t request = 4711;
  std::string_view peer = "db-replica-2";
  int micros = 1375;
};

// The spdlog logger carries the same name, and spdlog's level tag "info" is
// as long as "INFO", so both headers have the same width.
inline constexpr std::string_view kCategoryName = "net.http";
inline constexpr LogCategory kCategory{
    {kCategoryName, category_id(kCategoryName)}, true, MessageVerbosity::Detailed};
inline constexpr LogLevel kLevel{"INFO", 2};

// core_logger's ordinary layout in spdlog's pattern language.
inline constexpr char kSpdlogPattern[] = "{%H:%M:%S.%e} %l: [%n] > %v";

// Logs `message` through the spdlog `logger` for the whole benchmark; the
// format strings are checked at compile time there, as an spdlog user's would
// be.
template <typename Logger>
void log_with_spdlog(benchmark::State& state, Logger& logger, Message message) {
  MessageArguments a;
  if (message == Message::kThreeLines) {
    for (auto _ : state) logger.info(kThreeLines, a.request, a.peer, a.micros);
  } else if (message == Message::kSpecdFields) {
    for (auto _ : state) logger.info(kSpecdFields, a.request, a.peer, a.micros);
  } else {
    for (auto _ : state) logger.info(kOneLine, a.request, a.peer, a.micros);
  }
  state.SetItemsProcessed(state.iterations());
}

}  // namespace core::logger::bench

#endif  // CORE_LOGGER_BENCH_BENCH_MESSAGES_H_
