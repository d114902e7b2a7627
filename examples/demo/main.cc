// A first look at core_logger: several categories, a multi-line message, a
// runtime filter, an assertion report and a raw channel, on the console.
//
// The console channel writes every composed text to standard output, in
// colour on a terminal (NO_COLOR turns that off); with it registered, the
// built-in channel leaves standard error alone. The raw channel below prints
// each message line with a layout of its own.
#include <cstdio>
#include <string_view>

#include <fmt/core.h>

#include "core/channels.h"
#include "core/log.h"

namespace {

using core::logger::make_category;
using core::logger::MessageVerbosity;

constexpr core::logger::LogCategory kNet = make_category("net");
// Fixed at Normal: drops Detailed messages whatever the runtime verbosity.
constexpr core::logger::LogCategory kRenderer = make_category("renderer", true, MessageVerbosity::Normal);
constexpr core::logger::LogCategory kAudio = make_category("audio");

void print_raw_line(void*, const core::logger::DispatchContext&, const core::logger::LogCategory& category,
                    const core::logger::LogLevel& level, core::logger::LogTimestamp timestamp,
                    std::string_view line) {
  // A raw line keeps its line feed, except the last line of a message.
  const bool ends_line = !line.empty() && line.back() == '\n';
  std::fputs(fmt::format("  raw {:F} {}/{}: {}{}", timestamp, category.key.name, level.name, line,
                         ends_line ? "" : "\n")
                 .c_str(),
             stdout);
  std::fflush(stdout);
}

int connect_to(std::string_view host) { return host.empty() ? -1 : 7; }

}  // namespace

int main() {
  core::logger::add_default_channel(core::logger::console_channel());
  core::logger::add_default_channel(core::logger::LogRawChannel{"stdout", &print_raw_line, nullptr});

  CORE_LOG_INFO(kNet, "listening on port {}", 8080);
  CORE_LOG_INFO(kRenderer, "frame {} took {:.2f} ms", 42, 16.61);
  CORE_LOG_WARN(kAudio, "device lost:\n  name: {}\n  retry in {} s", "hdmi-0", 5);
  CORE_LOG_DEBUG(kRenderer, "this line is filtered out: the renderer stops at Normal");

  // Filtering at run time: only warnings and errors from here on.
  core::logger::change_verbosity(MessageVerbosity::Brief);
  CORE_LOG_INFO(kNet, "filtered: information is above the runtime verbosity Brief");
  CORE_LOG_ERROR(kNet, "connection reset by {}", "10.0.0.7");

  // An assertion report never aborts: what follows a failure is the caller's.
  const int socket = connect_to("");
  if (!CORE_LOG_ASSERT_MSG(socket >= 0, "no socket for host \"{}\"", "")) {
    CORE_LOG_WARN(kNet, "running offline");
  }
  return 0;
}
