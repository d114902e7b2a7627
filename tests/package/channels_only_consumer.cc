// Calls functions of the channels library only: linked with --as-needed, as
// Debian's g++ links, this program does not name libcore_logger, which the
// channels library then has to find by itself.
#include <cstdio>
#include <string>
#include <vector>

#include <core/channels.h>

int main() {
  core::logger::CaptureChannel capture;
  capture.write(core::logger::kInfoLevel, "written by hand\n");
  const bool ok = capture.text_strings() == std::vector<std::string>{"written by hand\n"} &&
                  core::logger::apply_settings("verbosity=brief").ok();
  std::puts(ok ? "channels-only consumer ok" : "channels-only consumer failed");
  return ok ? 0 : 1;
}
