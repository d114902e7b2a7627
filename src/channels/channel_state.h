// channels/channel_state.h: the state behind a channel's records, which
// outlives the channel object.
//
// The core library keeps every registered record until it unloads, and
// channels cannot be removed, so a record's user data must stay valid after
// the object that handed it out is gone. Each channel object therefore puts
// its working state in a KeptState: the object's destruction closes the
// state, which then drops what still reaches it, and the state itself stays
// on a process-wide list until the process ends (reachable, so that leak
// checkers see no leak). A state whose records were never handed out is
// freed with its object.
#ifndef CORE_LOGGER_CHANNELS_CHANNEL_STATE_H_
#define CORE_LOGGER_CHANNELS_CHANNEL_STATE_H_

#include <atomic>
#include <utility>

namespace core::logger::channels_detail {

// Thread-safety: `share` and `is_shared` may be called from any thread; the
// derived classes guard their own members.
class KeptState {
 public:
  KeptState() = default;
  KeptState(const KeptState&) = delete;
  KeptState& operator=(const KeptState&) = delete;
  virtual ~KeptState() = default;

  // Marks the state as reachable from a record that may outlive its object;
  // returns the state, for the record's user data.
  void* share() noexcept {
    shared_.store(true, std::memory_order_relaxed);
    return this;
  }

 private:
  friend void retire(KeptState* state) noexcept;
  std::atomic<bool> shared_{false};
};

// Adds `state`, made with new, to the process-wide list; deletes it and
// rethrows when the list cannot grow.
void add_to_kept(KeptState* state);

// A new State, on the process-wide list.
template <typename State, typename... Args>
State* make_kept(Args&&... args) {
  State* state = new State(std::forward<Args>(args)...);
  add_to_kept(state);
  return state;
}

// What a channel object's destructor does with its state once closed: frees
// it when no record was handed out, else leaves it on the list.
// REQUIRES: the state is closed; nothing else uses it through the object.
void retire(KeptState* state) noexcept;

// Runs `deliver` and tells whether it finished: a callback that runs out of
// memory drops its text rather than throw into the log call.
template <typename Deliver>
bool delivered(Deliver&& deliver) noexcept {
  try {
    deliver();
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace core::logger::channels_detail

#endif  // CORE_LOGGER_CHANNELS_CHANNEL_STATE_H_
