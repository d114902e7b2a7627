// categories/category_registry.h: the process-wide table of declared
// categories, keyed by their 32-bit id.
//
// A category enters the registry when it is declared and stays until unload.
// Entries never move, so a CategoryState reference stays valid for the life
// of the library. Insertions are serialised by the registry lock; lookups
// never block.
#ifndef CORE_LOGGER_CATEGORIES_CATEGORY_REGISTRY_H_
#define CORE_LOGGER_CATEGORIES_CATEGORY_REGISTRY_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <string_view>

#include "core/logger.h"

namespace core::logger::detail {

struct CategoryState;
using VerbosityGetter = MessageVerbosity (*)(const CategoryState& state) noexcept;

// The process-wide runtime verbosity, `Detailed` at load.
extern std::atomic<MessageVerbosity> g_runtime_verbosity;

// The two verbosity getters: a category either follows the runtime verbosity
// (and ignores its stored value) or has a fixed verbosity of its own.
MessageVerbosity runtime_verbosity(const CategoryState& state) noexcept;
MessageVerbosity stored_verbosity(const CategoryState& state) noexcept;

// The state of one category. Each field is written whole, and either its old
// or its new value gives a valid answer, so each is a relaxed atomic: readers
// never take the registry lock.
struct CategoryState {
  std::atomic<bool> enabled;
  std::atomic<MessageVerbosity> verbosity;
  std::atomic<VerbosityGetter> getter;

  MessageVerbosity current_verbosity() const noexcept {
    const VerbosityGetter get = getter.load(std::memory_order_relaxed);
    // Spares the indirect call for the common getter on the query's hot path.
    if (get == &runtime_verbosity) return g_runtime_verbosity.load(std::memory_order_relaxed);
    return get(*this);
  }
};

// One registry entry: a single allocation that holds the caller's name view,
// never the characters.
struct CategoryEntry {
  CategoryEntry* next;
  CategoryEntry* prev;
  CategoryKey key;
  CategoryState state;
};

// The memory of the registry: aligned blocks from the platform heap.
struct memdump_memory_resource : std::pmr::memory_resource {
 private:
  void* do_allocate(std::size_t bytes, std::size_t alignment) override;
  void do_deallocate(void* block, std::size_t bytes, std::size_t alignment) override;
  bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override;
};

// Holds every declared category.
//
// Entries sit in one circular doubly linked list, where the entries of a bucket
// stand next to each other; the bucket array holds each bucket's first and
// last entry. The bucket count starts at 8 and grows (x8 below 512, x2 from
// then on) when the count exceeds it; growth re-places every entry.
//
// The list and the buckets are relinked by insertions, so a reader that does
// not hold the lock cannot walk them. Lock-free lookups go through a separate
// index instead: an open-addressing table of entry pointers with twice as
// many slots as there are buckets. An insertion fills one empty slot with a
// release store; a growth builds a new index and publishes it, keeping the
// old one until the registry is destroyed, so a reader never touches freed
// storage. A reader that misses an entry inserted meanwhile falls back to the
// locked path.
//
// Thread-safety: `find` may run at any time, concurrently with anything but
// destruction. Everything else REQUIRES the registry lock.
class CategoryRegistry {
 public:
  explicit CategoryRegistry(std::pmr::memory_resource* resource);
  ~CategoryRegistry();
  CategoryRegistry(const CategoryRegistry&) = delete;
  CategoryRegistry& operator=(const CategoryRegistry&) = delete;

  // The state of the category with `id`, or null. Never blocks, never inserts.
  // Inline: it is the whole of the query that guards every log call.
  CategoryState* find(std::uint32_t id) const noexcept {
    const Index* index = index_.load(std::memory_order_acquire);
    // Most ids sit in their first slot: that path is laid out without a
    // taken branch.
    for (std::size_t i = index->start(id);; i = (i + 1) & index->mask) {
      CategoryEntry* entry = index->slots()[i].load(std::memory_order_acquire);
      if (__builtin_expect(entry == nullptr, 0)) return nullptr;
      if (__builtin_expect(entry->key.id == id, 1)) return &entry->state;
    }
  }

  // The state of the category with `key.id`, inserted first from `key`,
  // `enabled` and `verbosity` when the registry does not hold it.
  // REQUIRES: the registry lock is held.
  CategoryState& find_or_insert(CategoryKey key, bool enabled, MessageVerbosity verbosity);

  // Calls `visit(CategoryEntry&)` for every entry in list order.
  // REQUIRES: the registry lock is held; `visit` must not insert.
  template <typename Visit>
  void for_each_entry(Visit&& visit) const {
    for (CategoryEntry* e = sentinel_->next; e != sentinel_; e = e->next) visit(*e);
  }

  // REQUIRES: the registry lock is held.
  std::size_t size() const noexcept { return count_; }
  std::size_t bucket_count() const noexcept { return bucket_count_; }

  // Returns the registry to its freshly built state.
  // REQUIRES: the registry lock is held and no other thread uses the registry.
  void clear_for_testing();

 private:
  // The lock-free lookup index: `mask + 1` slots (a power of two) of entry
  // pointers, probed linearly from a multiplicative hash of the id. It is kept
  // at most half full, so every probe sequence meets an empty slot.
  struct Index {
    Index* retired_next;
    std::size_t mask;
    unsigned shift;

    std::atomic<CategoryEntry*>* slots() noexcept {
      return reinterpret_cast<std::atomic<CategoryEntry*>*>(this + 1);
    }
    const std::atomic<CategoryEntry*>* slots() const noexcept {
      return reinterpret_cast<const std::atomic<CategoryEntry*>*>(this + 1);
    }
    // Ids that differ only in their high bits must not share a probe start.
    std::size_t start(std::uint32_t id) const noexcept {
      return static_cast<std::uint32_t>(id * 2654435769u) >> shift & mask;
    }

    static std::size_t bytes_for(std::size_t slot_count) noexcept;
    static Index* make(std::pmr::memory_resource* resource, std::size_t slot_count);
    static void release(std::pmr::memory_resource* resource, Index* index) noexcept;
    void insert(CategoryEntry* entry) noexcept;
  };

  // Allocates the sentinel, the first buckets and the first index; on a
  // refused allocation releases what it took and throws.
  void make_empty();
  CategoryEntry* lookup_locked(std::uint32_t id) const noexcept;
  void place(CategoryEntry* entry) noexcept;
  CategoryEntry** allocate_buckets(std::size_t count);
  void free_buckets(CategoryEntry** storage, std::size_t count) noexcept;
  void release_buckets() noexcept;
  // Takes `storage` (2 * count pointers) as the bucket array, all buckets empty.
  void adopt_buckets(CategoryEntry** storage, std::size_t count) noexcept;
  void release_all() noexcept;

  std::pmr::memory_resource* const resource_;
  const float max_load_factor_ = 1.0f;
  CategoryEntry* sentinel_;
  std::size_t count_ = 0;
  CategoryEntry** buckets_ = nullptr;  // 2 * bucket_count_: first and last entry per bucket
  std::size_t mask_ = 0;
  std::size_t bucket_count_ = 0;
  std::atomic<Index*> index_{nullptr};  // replaced, never freed, under the lock
  Index* retired_indexes_ = nullptr;
};

// The process-wide registry once it is built; null before. Read without the
// one-time initialisation check of `category_registry`, which the query on
// every log call should not pay for.
extern std::atomic<CategoryRegistry*> g_built_registry;

CategoryRegistry& build_category_registry();

// The registry, built on first use together with its memory resource.
inline CategoryRegistry& category_registry() {
  if (CategoryRegistry* registry = g_built_registry.load(std::memory_order_acquire)) return *registry;
  return build_category_registry();
}

// The state of the category with `key.id`, declared from the arguments when
// it is unknown. Takes the registry lock.
CategoryState& find_or_declare_category(CategoryKey key, bool enabled, MessageVerbosity verbosity);

// Whether every byte of `name` is a letter, a digit, '.' or '_'. Malformed
// names are accepted everywhere; this only tells them apart.
bool is_valid_category_name(std::string_view name) noexcept;

}  // namespace core::logger::detail

#endif  // CORE_LOGGER_CATEGORIES_CATEGORY_REGISTRY_H_
