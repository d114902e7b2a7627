// Logs one message through core_logger.dll and prints the timestamp that the
// call's raw channel received, so that a script can hold it against the
// host's clock and find the composed text in the debugger output.
#include <cstdio>
#include <string>
#include <string_view>

#include <fmt/format.h>

#include <core/logger.h>

namespace {

core::logger::LogTimestamp g_timestamp{0};

void on_raw(void*, const core::logger::DispatchContext&, const core::logger::LogCategory&,
            const core::logger::LogLevel&, core::logger::LogTimestamp timestamp, std::string_view) {
  g_timestamp = timestamp;
}

}  // namespace

int main() {
  using namespace core::logger;
  constexpr LogCategory kCategory{{"probe", category_id("probe")}, true, MessageVerbosity::Detailed};
  add_default_channel(LogRawChannel{"probe", &on_raw, nullptr});
  log_format(LogOptions{}, kCategory, LogLevel{"INFO", 2}, "clock {}", fmt::make_format_args("probe"));
  if (g_timestamp.ticks == 0) return 1;
  std::puts(fmt::format("{:F}", g_timestamp).c_str());
  return 0;
}
