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

// Kept out of line so that its own frame is the one skipped below.
[[gnu::noinline]] std::string capture_call_stack(std::uint32_t skip_frames, std::uint32_t max_frames) noexcept {
  void* frames[kMaxCapturedFrames];
  // The first captured address lies in this function.
  const std::size_t skip = std::min<std::size_t>(std::size_t{skip_frames} + 1, kMaxCapturedFrames);
  const std::size_t wanted = std::min<std::size_t>(skip + max_frames, kMaxCapturedFrames);
  const std::size_t captured = channels_platform::capture_return_addresses(frames, wanted);
  if (captured <= skip) return std::string();
  std::string text;
  try {
    channels_platform::describe_frames(frames + skip, captured - skip, 0, &text);
  } catch (...) {
    // Out of memory while describing: a partial call stack is still useful.
  }
  return text;
}

}  // namespace core::logger
