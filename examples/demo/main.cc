// A first look at core_logger: several categories, a multi-line message and a
// raw channel, all written to the console.
//
// The built-in channel writes every composed text to standard error; the raw
// channel below prints each message line with its own layout to standard
// output.
#include <cstdio>
#include <string_view>

#include <fmt/core.h>

#include "core/logger.h"

namespace {

using core::logger::LogCategory;
using core::logger::LogLevel;
using core::logger::MessageVerbosity;

constexpr LogCategory kNet{{"net", core::logger::category_id("net")}, true, MessageVerbosity::Detailed};
constexpr LogCategory kRenderer{{"renderer", core::logger::category_id("renderer")}, true,
                                MessageVerbosity::Normal};
constexpr LogCategory kAudio{{"audio", core::logger::category_id("audio")}, true, MessageVerbosity::Detailed};

constexpr LogLevel kInfo{"INFO", 2};
constexpr LogLevel kWarning{"WARN", 3};

template <typename... Args>
void log(const LogCategory& category, const LogLevel& level, MessageVerbosity verbosity,
         std::string_view format, const Args&... args) {
  if (!core::logger::can_dispatch_log(category, verbosity)) return;
  core::logger::log_format(core::logger::LogOptions{}, category, level, format,
                           fmt::make_format_args(args...));
}

void print_raw_line(void*, const core::logger::DispatchContext&, const LogCategory& category,
                    const LogLevel& level, core::logger::LogTimestamp timestamp, std::string_view line) {
  // A raw line keeps its line feed, except the last line of a message.
  const bool ends_line = !line.empty() && line.back() == '\n';
  std::fputs(fmt::format("raw {:F} {}/{}: {}{}", timestamp, category.key.name, level.name, line,
                         ends_line ? "" : "\n")
                 .c_str(),
             stdout);
  std::fflush(stdout);
}

}  // namespace

int main() {
  core::logger::add_default_channel(core::logger::LogRawChannel{"stdout", &print_raw_line, nullptr});

  log(kNet, kInfo, MessageVerbosity::Normal, "listening on port {}", 8080);
  log(kRenderer, kInfo, MessageVerbosity::Brief, "frame {} took {:.2f} ms", 42, 16.61);
  log(kAudio, kWarning, MessageVerbosity::Brief, "device lost:\n  name: {}\n  retry in {} s", "hdmi-0", 5);
  // Fixed at Normal, the renderer category drops Detailed messages.
  log(kRenderer, kInfo, MessageVerbosity::Detailed, "this line is filtered out");

  core::logger::change_verbosity(MessageVerbosity::Brief);
  log(kNet, kInfo, MessageVerbosity::Normal, "filtered: net now follows the runtime verbosity Brief");
  log(kNet, kWarning, MessageVerbosity::Brief, "connection reset by {}", "10.0.0.7");
  return 0;
}
