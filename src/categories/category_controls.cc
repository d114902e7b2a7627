// The exported category and verbosity calls. Every call that names a category
// checks the end-of-life flag first: a call made while the library is being
// torn down answers as for an unknown category and declares nothing.
#include <vector>

#include "categories/category_registry.h"
#include "core/logger.h"
#include "lifecycle/library_lifecycle.h"

namespace core::logger {
namespace {

using detail::CategoryState;

CategoryKey key_of(std::string_view name) noexcept { return CategoryKey{name, category_id(name)}; }

// The state of a declared category, or null for an unknown one (and for every
// category once teardown has begun). Never declares, but the first category
// call builds the registry, whose std::bad_alloc reaches the caller.
CategoryState* known_state(std::uint32_t id) {
  if (detail::library_has_ended()) return nullptr;
  return detail::category_registry().find(id);
}

bool set_enabled(std::uint32_t id, bool enabled) {
  CategoryState* state = known_state(id);
  if (state == nullptr) return false;
  state->enabled.store(enabled, std::memory_order_relaxed);
  return true;
}

bool fix_verbosity(std::uint32_t id, MessageVerbosity verbosity) {
  CategoryState* state = known_state(id);
  if (state == nullptr) return false;
  state->verbosity.store(verbosity, std::memory_order_relaxed);
  state->getter.store(&detail::stored_verbosity, std::memory_order_relaxed);
  return true;
}

void follow_runtime_verbosity(std::uint32_t id) {
  if (CategoryState* state = known_state(id)) {
    state->getter.store(&detail::runtime_verbosity, std::memory_order_relaxed);
  }
}

bool passes(const CategoryState& state, MessageVerbosity verbosity) noexcept {
  if (!state.enabled.load(std::memory_order_relaxed)) return false;
  return static_cast<std::uint32_t>(state.current_verbosity()) >= static_cast<std::uint32_t>(verbosity);
}

// The rare paths of `can_dispatch_log`, kept out of line so that a known
// category that follows the runtime verbosity is answered in a leaf.
[[gnu::noinline]] bool declare_and_answer(const LogCategory& category, MessageVerbosity verbosity) {
  return passes(detail::find_or_declare_category(category.key, category.enabled, category.verbosity),
                verbosity);
}

[[gnu::noinline]] bool answer_fixed(const CategoryState& state, MessageVerbosity verbosity) noexcept {
  return passes(state, verbosity);
}

void declare(CategoryKey key, bool enabled, MessageVerbosity verbosity) {
  if (detail::library_has_ended()) return;
  detail::find_or_declare_category(key, enabled, verbosity);
}

}  // namespace

[[gnu::hot]] bool can_dispatch_log(const LogCategory& category, MessageVerbosity verbosity) {
  // A known category is answered without the registry lock and without a
  // call, on a path laid out without a taken branch; only the first query of
  // a category takes the lock, to declare it.
  if (__builtin_expect(detail::library_has_ended(), 0)) return false;
  detail::CategoryRegistry* registry = detail::g_built_registry.load(std::memory_order_acquire);
  if (__builtin_expect(registry == nullptr, 0)) return declare_and_answer(category, verbosity);
  const CategoryState* state = registry->find(category.key.id);
  if (__builtin_expect(state == nullptr, 0)) return declare_and_answer(category, verbosity);
  if (__builtin_expect(!state->enabled.load(std::memory_order_relaxed), 0)) return false;
  if (__builtin_expect(state->getter.load(std::memory_order_relaxed) != &detail::runtime_verbosity, 0)) {
    return answer_fixed(*state, verbosity);
  }
  return static_cast<std::uint32_t>(detail::g_runtime_verbosity.load(std::memory_order_relaxed)) >=
         static_cast<std::uint32_t>(verbosity);
}

MessageVerbosity runtime_verbosity() { return detail::g_runtime_verbosity.load(std::memory_order_relaxed); }

bool change_verbosity(MessageVerbosity verbosity) {
  if (static_cast<std::uint32_t>(verbosity) > static_cast<std::uint32_t>(MessageVerbosity::Detailed)) {
    return false;
  }
  detail::g_runtime_verbosity.store(verbosity, std::memory_order_relaxed);
  return true;
}

void declare_category(const LogCategory& category) {
  declare(category.key, category.enabled, category.verbosity);
}

void declare_category(std::string_view name, bool enabled) {
  declare(key_of(name), enabled, MessageVerbosity::Detailed);
}

void disable_all_known_categories() {
  if (detail::library_has_ended()) return;
  std::lock_guard<std::mutex> lock(detail::registry_lock());
  detail::category_registry().for_each_entry(
      [](detail::CategoryEntry& entry) { entry.state.enabled.store(false, std::memory_order_relaxed); });
}

bool enable_category(const LogCategory& category) { return set_enabled(category.key.id, true); }
bool enable_category(std::string_view name) { return set_enabled(category_id(name), true); }
bool disable_category(const LogCategory& category) { return set_enabled(category.key.id, false); }
bool disable_category(std::string_view name) { return set_enabled(category_id(name), false); }

bool change_category_verbosity(const LogCategory& category, MessageVerbosity verbosity) {
  return fix_verbosity(category.key.id, verbosity);
}
bool change_category_verbosity(std::string_view name, MessageVerbosity verbosity) {
  return fix_verbosity(category_id(name), verbosity);
}

void reset_category_verbosity(const LogCategory& category) { follow_runtime_verbosity(category.key.id); }
void reset_category_verbosity(std::string_view name) { follow_runtime_verbosity(category_id(name)); }

void foreach_category(void (*callback)(void* user_data, CategoryInfo info), void* user_data) {
  if (detail::library_has_ended() || callback == nullptr) return;
  // Callbacks run on a snapshot taken under the lock and never under the
  // lock itself, so a callback may declare categories or call any control.
  // Entries never move, so the snapshot's pointers stay valid.
  std::vector<const detail::CategoryEntry*> entries;
  {
    std::lock_guard<std::mutex> lock(detail::registry_lock());
    const detail::CategoryRegistry& registry = detail::category_registry();
    entries.reserve(registry.size());
    registry.for_each_entry([&](detail::CategoryEntry& entry) { entries.push_back(&entry); });
  }
  for (const detail::CategoryEntry* entry : entries) {
    callback(user_data, CategoryInfo{entry->key, entry->state.verbosity.load(std::memory_order_relaxed),
                                     entry->state.enabled.load(std::memory_order_relaxed)});
  }
}

}  // namespace core::logger
