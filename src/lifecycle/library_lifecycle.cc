#include "lifecycle/library_lifecycle.h"

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

}  // namespace core::logger::detail
