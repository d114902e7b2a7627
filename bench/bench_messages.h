// bench/bench_messages.h: the messages that the log benchmarks hand to
// core_logger and to spdlog alike, so that both format the same arguments.
#ifndef CORE_LOGGER_BENCH_BENCH_MESSAGES_H_
#define CORE_LOGGER_BENCH_BENCH_MESSAGES_H_

#include <cstdint>
#include <string_view>

#include "core/logger.h"

namespace core::logger::bench {

// Both libraries format these three arguments into one line, or into three
// lines in which the arguments sit at the same places.
inline constexpr char kOneLine[] = "request {} from {} served in {} us";
inline constexpr char kThreeLines[] = "request {} from {}\nserved in {} us\nstatus: ok";

struct MessageArguments {
  std::uint32_t request = 4711;
  std::string_view peer = "db-replica-2";
  int micros = 1375;
};

// The spdlog logger carries the same name, and spdlog's level tag "info" is
// as long as "INFO", so both headers have the same width.
inline constexpr std::string_view kCategoryName = "net.http";
inline constexpr LogCategory kCategory{{kCategoryName, category_id(kCategoryName)}, true,
                                       MessageVerbosity::Detailed};
inline constexpr LogLevel kLevel{"INFO", 2};

// core_logger's ordinary layout in spdlog's pattern language.
inline constexpr char kSpdlogPattern[] = "{%H:%M:%S.%e} %l: [%n] > %v";

}  // namespace core::logger::bench

#endif  // CORE_LOGGER_BENCH_BENCH_MESSAGES_H_
