// channels/crash_handler.h: the platform-neutral part of the crash handler,
// between the platform's hooks (crash_platform_<os>.cc), the channel states
// and install_crash_handler: the order of a crash's handling, the report's
// text, and the stack lines that call stacks share with it.
#ifndef CORE_LOGGER_CHANNELS_CRASH_HANDLER_H_
#define CORE_LOGGER_CHANNELS_CRASH_HANDLER_H_

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "channels/crash_platform.h"

namespace core::logger::crash_detail {

// Text written into storage of the caller's (the stack, a static array),
// cut at its capacity: for code that may not use the heap.
class FixedText {
 public:
  FixedText(char* data, std::size_t capacity) noexcept : data_(data), capacity_(capacity) {}

  FixedText& put(std::string_view text) noexcept {
    const std::size_t length = text.size() < room() ? text.size() : room();
    if (length != 0) std::memcpy(data_ + size_, text.data(), length);
    size_ += length;
    return *this;
  }
  FixedText& put_decimal(std::uint64_t value) noexcept { return put_number(value, 10, ""); }
  FixedText& put_hex(std::uint64_t value) noexcept { return put_number(value, 16, "0x"); }

  std::size_t room() const noexcept { return capacity_ - size_; }
  std::string_view view() const noexcept { return std::string_view(data_, size_); }

 private:
  FixedText& put_number(std::uint64_t value, unsigned base, std::string_view prefix) noexcept {
    char digits[24];
    char* at = digits + sizeof digits;
    do {
      *--at = "0123456789abcdef"[value % base];
      value /= base;
    } while (value != 0);
    return put(prefix).put(std::string_view(at, static_cast<std::size_t>(digits + sizeof digits - at)));
  }

  char* data_;
  std::size_t capacity_;
  std::size_t size_ = 0;
};

// How long the handler waits for one channel's lock.
constexpr std::chrono::milliseconds kLockWait{100};

// -----------------------------------------------------------------------------
// What the channel states ask at each delivery
// -----------------------------------------------------------------------------

// What a thread needs before it delivers: 1 while no crash handler is
// installed (nothing), 2 once one is (crash_platform::prepare_thread).
extern std::atomic<std::uint8_t> g_thread_setup;
// The token of the thread that delivers a crash report, 0 when none.
extern std::atomic<std::uintptr_t> g_reporting_thread;

inline std::uint8_t thread_setup_wanted() noexcept { return g_thread_setup.load(std::memory_order_relaxed); }
inline std::uintptr_t reporting_thread() noexcept {
  return g_reporting_thread.load(std::memory_order_relaxed);
}

// Gives the calling thread what thread_setup_wanted() says.
void prepare_thread(std::uint8_t wanted) noexcept;

// -----------------------------------------------------------------------------
// What the platform's hooks call
// -----------------------------------------------------------------------------

// A crash on the calling thread, described by its first line (without the
// thread) and the start of its stack. The first crash of the process is
// reported: file channels written out, the report delivered, file channels
// written out again. A crash of another thread while it is reported waits
// for the report; a crash after it returns at once. A second fault inside
// the handling ends the process as `end_code` says. Returns when the caller
// hands the crash on (to the previous handler or the default action).
void on_crash(std::string_view first_line, const crash_platform::WalkStart& start, int end_code) noexcept;

// The watchdog's end: writes out what it can without waiting, then ends the
// process as the crash's code says.
[[noreturn]] void on_watchdog() noexcept;

// -----------------------------------------------------------------------------
// Stack lines
// -----------------------------------------------------------------------------

// A walk from `start` written line by line ("#0 ns::f(int) at app.cc:42"),
// numbered from 0 after `skip` frames, at most `max` lines; `line(user,
// text)` returns false to stop. `skip_runtime` skips the C++ runtime's
// frames (terminate and throw) at the top. Crash-safe.
struct StackRequest {
  crash_platform::WalkStart start;
  std::uint32_t skip;
  std::uint32_t max;
  bool skip_runtime;
  bool (*line)(void* user, std::string_view text);
  void* user;
};
void write_stack(const StackRequest& request) noexcept;

}  // namespace core::logger::crash_detail

#endif  // CORE_LOGGER_CHANNELS_CRASH_HANDLER_H_
