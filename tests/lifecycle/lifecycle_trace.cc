// Compiled only into the test-only traced build of the library: records the
// build and teardown steps and hands them to a host-installed hook. Steps
// taken before the host could install its hook (the lock is made at load) are
// kept and replayed when it does. The host installs the hook before it lets
// other threads call the library; first uses racing on several threads may
// still record at the same time when no hook is installed.
#include "lifecycle/library_lifecycle.h"

#include <atomic>
#include <cstddef>

#include "core/logger.h"

namespace core::logger::detail {
namespace {

using TraceHook = void (*)(void* user_data, int event);

constexpr std::size_t kMaxRecorded = 64;
int g_recorded[kMaxRecorded];
std::atomic<std::size_t> g_recorded_count{0};
TraceHook g_hook = nullptr;
void* g_hook_user_data = nullptr;

}  // namespace

void note_lifecycle_event(LifecycleEvent event) noexcept {
  if (g_hook != nullptr) {
    g_hook(g_hook_user_data, static_cast<int>(event));
    return;
  }
  const std::size_t slot = g_recorded_count.fetch_add(1, std::memory_order_relaxed);
  if (slot < kMaxRecorded) g_recorded[slot] = static_cast<int>(event);
}

}  // namespace core::logger::detail

extern "C" CORE_LOGGER_API void core_logger_trace_lifecycle(void (*hook)(void*, int), void* user_data) {
  using namespace core::logger::detail;
  g_hook = hook;
  g_hook_user_data = user_data;
  if (hook == nullptr) return;
  const std::size_t count = g_recorded_count.exchange(0, std::memory_order_relaxed);
  for (std::size_t i = 0; i < count && i < kMaxRecorded; ++i) hook(user_data, g_recorded[i]);
}
