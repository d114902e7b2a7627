// channels/crash_platform.h: what each crash_platform_<os>.cc provides: the
// stack walk and the symbolizer behind call stacks and crash reports, and the
// hooks that catch a crash (POSIX: signals on an alternate stack and a timer
// as watchdog; Windows: the unhandled exception filter, SIGABRT and a timer
// queue). The build picks one file per OS.
//
// What runs at a crash runs in a signal handler (or an exception filter):
// functions marked so below use no heap and take no lock that they cannot
// give up on, once `prepare_symbolizer` has run.
#ifndef CORE_LOGGER_CHANNELS_CRASH_PLATFORM_H_
#define CORE_LOGGER_CHANNELS_CRASH_PLATFORM_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace core::logger::crash_platform {

// A number of the calling thread that no other live thread has, never 0.
// Crash-safe.
std::uintptr_t thread_token() noexcept;

// The calling thread's number as the system shows it (gettid,
// GetCurrentThreadId). Crash-safe.
std::uint64_t thread_number() noexcept;

// -----------------------------------------------------------------------------
// Stacks and symbols
// -----------------------------------------------------------------------------

// The most addresses one walk takes.
constexpr std::size_t kMaxAddresses = 256;

// Where a walk of the calling thread's stack starts: at the code that a
// crash interrupted (`crash_context`: the ucontext_t of a signal handler, the
// EXCEPTION_POINTERS of an exception filter), or without one at the frame
// into which `return_address` returns, which the caller took from its own
// frame.
struct WalkStart {
  const void* crash_context;
  const void* return_address;
};

// Reads the debug information of the loaded modules, so that a crash finds
// it ready. Thread-safe; later calls do nothing. Not at a crash.
void prepare_symbolizer() noexcept;

// Stores up to `capacity` (at most kMaxAddresses) code addresses of the
// calling thread's stack from `start`, innermost first: the interrupted
// instruction, then for each caller an address inside its call. Returns how
// many; 0 when the start is not found. Crash-safe.
std::size_t walk_stack(const WalkStart& start, std::uintptr_t* addresses, std::size_t capacity) noexcept;

// One frame at an address. The views live until the callback returns.
struct Frame {
  std::string_view function;  // demangled; empty when unknown
  std::string_view file;      // empty without debug information
  std::uint32_t line;
  std::string_view module;  // the module's file name without folders; empty when unknown
  std::uintptr_t offset;    // of the address in its module (or the address itself)
};

// Calls `each(user, frame)` for every frame at `address`, a function
// inlined there first and the function that holds the code last, until it
// returns false. Returns false when `each` did. Crash-safe.
bool describe_address(std::uintptr_t address, bool (*each)(void* user, const Frame& frame),
                      void* user) noexcept;

// The readable form of a type's mangled name (std::type_info::name()),
// written into `out`, or `mangled` itself. Crash-safe.
std::string_view demangle_type(const char* mangled, char* out, std::size_t size) noexcept;

// -----------------------------------------------------------------------------
// Catching crashes
// -----------------------------------------------------------------------------

// Takes over fatal signals (Windows: unhandled exceptions and SIGABRT), which
// then go to crash_detail::on_crash and on to what was there before. True
// when in place; later calls do nothing. Not thread-safe: the caller
// serialises.
bool install_crash_hooks() noexcept;

// Gives the calling thread what it needs to report a crash: on POSIX an
// alternate signal stack of 256 KiB below a guard page, unless it has one as
// large, freed when the thread ends. Needs install_crash_hooks first.
void prepare_thread() noexcept;

// The watchdog: after `ms` milliseconds, from whatever state the crashing
// thread is in, crash_detail::on_watchdog runs. Crash-safe.
void arm_watchdog(std::uint32_t ms) noexcept;
void disarm_watchdog() noexcept;

// What the process ends with when a crash's own handling cannot go on: the
// signal number (POSIX) or the exception code (Windows), and the code of an
// abort.
extern const int kAbortCode;

// Ends the process as `code` (from on_crash) would without any handler: the
// signal's default action, or the exception code as exit code. Crash-safe.
[[noreturn]] void end_process(int code) noexcept;

}  // namespace core::logger::crash_platform

#endif  // CORE_LOGGER_CHANNELS_CRASH_PLATFORM_H_
