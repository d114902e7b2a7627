#include "lifecycle/library_lifecycle.h"

#include "platform/platform.h"

namespace core::logger::detail {
namespace {

// A namespace-scope object with a destructor, so that its destruction is
// registered during static initialisation at load: before any lazily built
// object registers its own, hence run after all of them at unload.
ProcessWide<std::mutex, LifecycleEvent::kRegistryLockBuilt, LifecycleEvent::kRegistryLockDestroyed>
    g_registry_lock;

// Constant initialised, with nothing to destroy.
std::mutex g_build_lock;

// A child of fork() has only the thread that forked: a lock that another
// thread held at that moment would stay held in the child for ever, and what
// it guarded half changed. So the fork waits until both locks are free, in
// their order, and both processes release them afterwards.
void lock_for_fork() {
  g_registry_lock.object.lock();
  g_build_lock.lock();
}

void unlock_after_fork() {
  g_build_lock.unlock();
  g_registry_lock.object.unlock();
}

// After the lock, so that the handlers never meet it unmade.
struct ForkHandlers {
  ForkHandlers() noexcept { platform::at_fork(&lock_for_fork, &unlock_after_fork); }
} g_fork_handlers;

}  // namespace

std::atomic<bool> g_library_ended{false};

std::mutex& registry_lock() noexcept { return g_registry_lock.object; }
std::mutex& build_lock() noexcept { return g_build_lock; }

}  // namespace core::logger::detail
