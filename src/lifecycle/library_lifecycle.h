// lifecycle/library_lifecycle.h: what exists from load to unload, and the
// end-of-life state that calls made during teardown see.
//
// At load the library makes only the registry lock, and has its locks taken
// around every fork(), so that a child finds none held by a thread it does
// not have, nor an object half built or half changed. Every other
// process-wide object is a function-local static built on first use and torn
// down at unload in the reverse order of its making, the lock last. The first
// end-of-life step marks the library as ended; from then on the exported
// calls touch no lazily built object, since a host's static destructors may
// still call in after those objects are gone.
#ifndef CORE_LOGGER_LIFECYCLE_LIBRARY_LIFECYCLE_H_
#define CORE_LOGGER_LIFECYCLE_LIBRARY_LIFECYCLE_H_

#include <atomic>
#include <mutex>
#include <utility>

namespace core::logger::detail {

// The registry lock: serialises every insertion into the category registry.
// Made at load, destroyed last at unload.
std::mutex& registry_lock() noexcept;

// The build lock: held while a lazily built object is built (its one-time
// initialisation included) and while a channel list grows. Constant
// initialised data rather than an object made at load. Taken after the
// registry lock where a thread needs both.
std::mutex& build_lock() noexcept;

// True from the first end-of-life step on. Only the thread that unloads the
// library runs teardown, so a relaxed flag suffices for calls on that thread.
extern std::atomic<bool> g_library_ended;

inline bool library_has_ended() noexcept { return g_library_ended.load(std::memory_order_relaxed); }

// Called first by every end-of-life step.
inline void mark_library_ended() noexcept { g_library_ended.store(true, std::memory_order_relaxed); }

// The objects whose making and unmaking the test-only traced build reports.
enum class LifecycleEvent : int {
  kRegistryLockBuilt = 1,
  kMemoryResourceBuilt,
  kCategoryRegistryBuilt,
  kChannelListBuilt,
  kRawChannelListBuilt,
  kRegistryLockDestroyed = 101,
  kMemoryResourceDestroyed,
  kCategoryRegistryDestroyed,
  kChannelListDestroyed,
  kRawChannelListDestroyed,
};

// Reports a build or teardown step to the host of the traced build; the
// installed library compiles this to nothing.
#if defined(CORE_LOGGER_LIFECYCLE_TRACE)
void note_lifecycle_event(LifecycleEvent event) noexcept;
#else
inline void note_lifecycle_event(LifecycleEvent) noexcept {}
#endif

// A process-wide object: reports its making and, at teardown, marks the
// library ended before the object goes. The lazily built ones are
// function-local statics in .cc files (never in an inline function, whose
// static would become a unique symbol that pins the shared object); the
// registry lock is the one made at load.
template <typename T, LifecycleEvent kBuilt, LifecycleEvent kDestroyed>
struct ProcessWide {
  template <typename... Args>
  explicit ProcessWide(Args&&... args) : object(std::forward<Args>(args)...) {
    note_lifecycle_event(kBuilt);
  }
  ~ProcessWide() {
    mark_library_ended();
    note_lifecycle_event(kDestroyed);
  }
  ProcessWide(const ProcessWide&) = delete;
  ProcessWide& operator=(const ProcessWide&) = delete;

  T object;
};

}  // namespace core::logger::detail

#endif  // CORE_LOGGER_LIFECYCLE_LIBRARY_LIFECYCLE_H_
