// The call stack of an assertion report, captured where the assertion fails.
#include "core/channels.h"

#include <algorithm>
#include <string>

#include "channels/channels_platform.h"

namespace core::logger {
namespace {

// Deeper stacks are cut: a report needs the frames near the failure.
constexpr std::size_t kMaxCapturedFrames = 256;

}  // namespace

// Kept out of line so that its return address is the caller's frame.
[[gnu::noinline]] std::string capture_call_stack(std::uint32_t skip_frames,
                                                 std::uint32_t max_frames) noexcept {
  void* const caller = __builtin_return_address(0);
  void* frames[kMaxCapturedFrames];
  const std::size_t captured = channels_platform::capture_return_addresses(frames, kMaxCapturedFrames);
  // The walk's own frames come first, and how many there are depends on the
  // platform and on sanitizers; the caller's frame is the one that returns
  // to where this function was called from.
  const std::size_t caller_index =
      static_cast<std::size_t>(std::find(frames, frames + captured, caller) - frames);
  if (caller_index == captured) return std::string();
  const std::size_t first = caller_index + std::min<std::size_t>(skip_frames, captured - caller_index);
  const std::size_t count = std::min<std::size_t>(captured - first, max_frames);
  std::string text;
  try {
    channels_platform::describe_frames(frames + first, count, 0, &text);
  } catch (...) {
    // Out of memory while describing: a partial call stack is still useful.
  }
  return text;
}

}  // namespace core::logger
