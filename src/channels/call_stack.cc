// The call stack of an assertion report, captured where the assertion fails,
// with the crash report's symbolizer and layout.
#include "core/channels.h"

#include <string>

#include "channels/crash_handler.h"
#include "channels/crash_platform.h"

namespace core::logger {
namespace {

bool append_line(void* user, std::string_view line) {
  std::string& text = *static_cast<std::string*>(user);
  try {
    text.append(line).push_back('\n');
    return true;
  } catch (...) {
    return false;  // out of memory: a partial call stack is still useful
  }
}

}  // namespace

// Kept out of line so that its return address is the caller's frame.
[[gnu::noinline]] std::string capture_call_stack(std::uint32_t skip_frames,
                                                 std::uint32_t max_frames) noexcept {
  crash_platform::prepare_symbolizer();
  std::string text;
  crash_detail::write_stack(
      crash_detail::StackRequest{crash_platform::WalkStart{nullptr, __builtin_return_address(0)}, skip_frames,
                                 max_frames, false, &append_line, &text});
  return text;
}

}  // namespace core::logger
