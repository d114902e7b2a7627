#include "lifecycle/library_lifecycle.h"

#include "categories/category_registry.h"
#include "core/logger.h"
#include "pipeline/channel_list.h"
#include "pipeline/text_composer.h"

namespace core::logger::detail {
namespace {

// A namespace-scope object with a destructor, so that its destruction is
// registered during static initialisation at load: before any lazily built
// object registers its own, hence run after all of them at unload.
ProcessWide<std::mutex, LifecycleEvent::kRegistryLockBuilt, LifecycleEvent::kRegistryLockDestroyed>
    g_registry_lock;

}  // namespace

std::atomic<bool> g_library_ended{false};

std::mutex& registry_lock() noexcept { return g_registry_lock.object; }

void reset_for_testing() {
  g_library_ended.store(false, std::memory_order_relaxed);
  g_runtime_verbosity.store(MessageVerbosity::Detailed, std::memory_order_relaxed);
  g_default_options.store(0, std::memory_order_relaxed);
  g_prefix_width.store(0, std::memory_order_relaxed);
  reset_channel_lists_for_testing();
  std::lock_guard<std::mutex> lock(registry_lock());
  category_registry().clear_for_testing();
}

}  // namespace core::logger::detail
