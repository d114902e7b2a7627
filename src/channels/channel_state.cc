#include "channels/channel_state.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace core::logger::channels_detail {
namespace {

// Neither is ever destroyed: a record may reach its state from a static
// destructor that runs after this library's own.
std::mutex g_kept_mutex;
std::vector<KeptState*>* g_kept = nullptr;  // guarded by g_kept_mutex

}  // namespace

void add_to_kept(KeptState* state) {
  std::lock_guard<std::mutex> lock(g_kept_mutex);
  try {
    if (g_kept == nullptr) g_kept = new std::vector<KeptState*>();
    g_kept->push_back(state);
  } catch (...) {
    delete state;
    throw;
  }
}

void retire(KeptState* state) noexcept {
  if (state == nullptr || state->shared_.load(std::memory_order_relaxed)) return;
  {
    std::lock_guard<std::mutex> lock(g_kept_mutex);
    const auto found = std::find(g_kept->begin(), g_kept->end(), state);
    if (found != g_kept->end()) g_kept->erase(found);
  }
  delete state;
}

}  // namespace core::logger::channels_detail
