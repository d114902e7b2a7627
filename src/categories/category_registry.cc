#include "categories/category_registry.h"

#include <new>

#include "lifecycle/library_lifecycle.h"
#include "platform/platform.h"

namespace core::logger::detail {

std::atomic<MessageVerbosity> g_runtime_verbosity{MessageVerbosity::Detailed};

MessageVerbosity runtime_verbosity(const CategoryState&) noexcept {
  return g_runtime_verbosity.load(std::memory_order_relaxed);
}

MessageVerbosity stored_verbosity(const CategoryState& state) noexcept {
  return state.verbosity.load(std::memory_order_relaxed);
}

void* memdump_memory_resource::do_allocate(std::size_t bytes, std::size_t alignment) {
  void* block = platform::aligned_allocate(bytes, alignment);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}

void memdump_memory_resource::do_deallocate(void* block, std::size_t, std::size_t) {
  platform::aligned_free(block);
}

bool memdump_memory_resource::do_is_equal(const std::pmr::memory_resource&) const noexcept { return true; }

std::size_t CategoryRegistry::Index::bytes_for(std::size_t slot_count) noexcept {
  return sizeof(Index) + slot_count * sizeof(std::atomic<CategoryEntry*>);
}

CategoryRegistry::Index* CategoryRegistry::Index::make(std::pmr::memory_resource* resource,
                                                       std::size_t slot_count) {
  void* block = resource->allocate(bytes_for(slot_count), alignof(Index));
  unsigned bits = 0;
  while ((std::size_t{1} << bits) < slot_count) ++bits;
  auto* index = new (block) Index{nullptr, slot_count - 1, bits >= 32 ? 0u : 32u - bits};
  for (std::size_t i = 0; i < slot_count; ++i) new (&index->slots()[i]) std::atomic<CategoryEntry*>(nullptr);
  return index;
}

void CategoryRegistry::Index::release(std::pmr::memory_resource* resource, Index* index) noexcept {
  resource->deallocate(index, bytes_for(index->mask + 1), alignof(Index));
}

void CategoryRegistry::Index::insert(CategoryEntry* entry) noexcept {
  std::size_t i = start(entry->key.id);
  while (slots()[i].load(std::memory_order_relaxed) != nullptr) i = (i + 1) & mask;
  slots()[i].store(entry, std::memory_order_release);
}

namespace {

constexpr std::size_t kInitialBucketCount = 8;

std::size_t next_bucket_count(std::size_t count) noexcept { return count < 512 ? count * 8 : count * 2; }

void unlink(CategoryEntry* entry) noexcept {
  entry->prev->next = entry->next;
  entry->next->prev = entry->prev;
}

void link_before(CategoryEntry* position, CategoryEntry* entry) noexcept {
  entry->prev = position->prev;
  entry->next = position;
  position->prev->next = entry;
  position->prev = entry;
}

}  // namespace

CategoryRegistry::CategoryRegistry(std::pmr::memory_resource* resource) : resource_(resource) {
  make_empty();
}

CategoryRegistry::~CategoryRegistry() { release_all(); }

void CategoryRegistry::make_empty() {
  sentinel_ = static_cast<CategoryEntry*>(resource_->allocate(sizeof(CategoryEntry), alignof(CategoryEntry)));
  new (sentinel_) CategoryEntry{sentinel_, sentinel_, {}, {}};
  try {
    adopt_buckets(allocate_buckets(kInitialBucketCount), kInitialBucketCount);
    index_.store(Index::make(resource_, 2 * kInitialBucketCount), std::memory_order_release);
  } catch (...) {
    release_all();
    throw;
  }
}

void CategoryRegistry::release_all() noexcept {
  release_buckets();
  CategoryEntry* entry = sentinel_->next;
  sentinel_->next = sentinel_->prev = sentinel_;
  count_ = 0;
  while (entry != sentinel_) {
    CategoryEntry* next = entry->next;
    resource_->deallocate(entry, sizeof(CategoryEntry), alignof(CategoryEntry));
    entry = next;
  }
  resource_->deallocate(sentinel_, sizeof(CategoryEntry), alignof(CategoryEntry));
  sentinel_ = nullptr;
  for (Index* index : {index_.exchange(nullptr, std::memory_order_relaxed), retired_indexes_}) {
    while (index != nullptr) {
      Index* next = index->retired_next;
      Index::release(resource_, index);
      index = next;
    }
  }
  retired_indexes_ = nullptr;
}

void CategoryRegistry::clear_for_testing() {
  release_all();
  make_empty();
}

CategoryEntry* CategoryRegistry::lookup_locked(std::uint32_t id) const noexcept {
  const std::size_t b = id & mask_;
  CategoryEntry* first = buckets_[2 * b];
  if (first == sentinel_) return nullptr;
  for (CategoryEntry* entry = first;; entry = entry->next) {
    if (entry->key.id == id) return entry;
    if (entry == buckets_[2 * b + 1]) return nullptr;
  }
}

CategoryEntry** CategoryRegistry::allocate_buckets(std::size_t count) {
  return static_cast<CategoryEntry**>(
      resource_->allocate(2 * count * sizeof(CategoryEntry*), alignof(CategoryEntry*)));
}

void CategoryRegistry::free_buckets(CategoryEntry** storage, std::size_t count) noexcept {
  resource_->deallocate(storage, 2 * count * sizeof(CategoryEntry*), alignof(CategoryEntry*));
}

void CategoryRegistry::release_buckets() noexcept {
  if (buckets_ == nullptr) return;
  free_buckets(buckets_, bucket_count_);
  buckets_ = nullptr;
}

void CategoryRegistry::adopt_buckets(CategoryEntry** storage, std::size_t count) noexcept {
  release_buckets();
  buckets_ = storage;
  bucket_count_ = count;
  mask_ = count - 1;
  for (std::size_t i = 0; i < 2 * count; ++i) buckets_[i] = sentinel_;
}

void CategoryRegistry::place(CategoryEntry* entry) noexcept {
  const std::size_t b = entry->key.id & mask_;
  CategoryEntry*& first = buckets_[2 * b];
  unlink(entry);
  if (first == sentinel_) {
    link_before(sentinel_, entry);
    first = buckets_[2 * b + 1] = entry;
  } else {
    link_before(first, entry);
    first = entry;
  }
}

CategoryState& CategoryRegistry::find_or_insert(CategoryKey key, bool enabled, MessageVerbosity verbosity) {
  if (CategoryEntry* entry = lookup_locked(key.id)) return entry->state;

  // Everything that can fail is allocated before the first change, so that a
  // refused allocation leaves the registry exactly as it was.
  const bool grows = static_cast<float>(count_ + 1) / static_cast<float>(bucket_count_) > max_load_factor_;
  const std::size_t new_bucket_count = grows ? next_bucket_count(bucket_count_) : bucket_count_;
  Index* new_index = nullptr;
  CategoryEntry** new_buckets = nullptr;
  void* block;
  try {
    if (grows) {
      new_index = Index::make(resource_, 2 * new_bucket_count);
      new_buckets = allocate_buckets(new_bucket_count);
    }
    block = resource_->allocate(sizeof(CategoryEntry), alignof(CategoryEntry));
  } catch (...) {
    if (new_index != nullptr) Index::release(resource_, new_index);
    if (new_buckets != nullptr) free_buckets(new_buckets, new_bucket_count);
    throw;
  }

  const VerbosityGetter getter =
      verbosity == MessageVerbosity::Detailed ? &runtime_verbosity : &stored_verbosity;
  auto* entry = new (block) CategoryEntry{nullptr, nullptr, key, {}};
  entry->state.enabled.store(enabled, std::memory_order_relaxed);
  entry->state.verbosity.store(verbosity, std::memory_order_relaxed);
  entry->state.getter.store(getter, std::memory_order_relaxed);
  link_before(sentinel_->next, entry);
  ++count_;
  place(entry);

  Index* index = index_.load(std::memory_order_relaxed);
  if (grows) {
    CategoryEntry* const last = sentinel_->prev;
    adopt_buckets(new_buckets, new_bucket_count);
    for (bool done = false; !done;) {
      CategoryEntry* front = sentinel_->next;
      done = front == last;
      place(front);
    }
    for (CategoryEntry* e = sentinel_->next; e != sentinel_; e = e->next) new_index->insert(e);
    index_.store(new_index, std::memory_order_release);
    index->retired_next = retired_indexes_;
    retired_indexes_ = index;
  } else {
    index->insert(entry);
  }
  return entry->state;
}

std::atomic<CategoryRegistry*> g_built_registry{nullptr};

CategoryRegistry& build_category_registry() {
  // Under the build lock, so that a fork never copies either object half
  // built.
  std::lock_guard<std::mutex> lock(build_lock());
  static ProcessWide<memdump_memory_resource, LifecycleEvent::kMemoryResourceBuilt,
                     LifecycleEvent::kMemoryResourceDestroyed>
      resource;
  static ProcessWide<CategoryRegistry, LifecycleEvent::kCategoryRegistryBuilt,
                     LifecycleEvent::kCategoryRegistryDestroyed>
      registry(&resource.object);
  // Published after the one-time construction, which every later reader
  // then skips. Teardown leaves it set: calls check the end-of-life flag
  // before they reach the registry.
  g_built_registry.store(&registry.object, std::memory_order_release);
  return registry.object;
}

CategoryState& find_or_declare_category(CategoryKey key, bool enabled, MessageVerbosity verbosity) {
  std::lock_guard<std::mutex> lock(registry_lock());
  return category_registry().find_or_insert(key, enabled, verbosity);
}

bool is_valid_category_name(std::string_view name) noexcept {
  for (char c : name) {
    const bool valid =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_';
    if (!valid) return false;
  }
  return true;
}

}  // namespace core::logger::detail
