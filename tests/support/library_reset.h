// Returns every process-wide value of the library to its load-time state, so
// that each test starts as a freshly loaded library would: runtime verbosity
// Detailed, no default options, PrefixWidth 0, only the built-in channel (its
// mode read again from CORE_LOGGER_STDERR), no categories. Built objects stay
// built. Only for programs that link the object library.
// REQUIRES: no other thread uses the library.
#ifndef CORE_LOGGER_TESTS_SUPPORT_LIBRARY_RESET_H_
#define CORE_LOGGER_TESTS_SUPPORT_LIBRARY_RESET_H_

#include <mutex>

#include "categories/category_registry.h"
#include "lifecycle/library_lifecycle.h"
#include "pipeline/channel_list.h"
#include "pipeline/text_composer.h"

namespace core::logger::detail {

inline void reset_for_testing() {
  g_library_ended.store(false, std::memory_order_relaxed);
  g_runtime_verbosity.store(MessageVerbosity::Detailed, std::memory_order_relaxed);
  g_default_options.store(0, std::memory_order_relaxed);
  g_prefix_width.store(0, std::memory_order_relaxed);
  reset_channel_lists_for_testing();
  std::lock_guard<std::mutex> lock(registry_lock());
  category_registry().clear_for_testing();
}

}  // namespace core::logger::detail

#endif  // CORE_LOGGER_TESTS_SUPPORT_LIBRARY_RESET_H_
