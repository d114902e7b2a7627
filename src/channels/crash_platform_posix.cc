// The crash handler's platform layer on Linux with glibc, but for call
// stacks (stack_symbols_posix.cc): fatal signals on an alternate stack, a
// POSIX timer sending SIGALRM as watchdog, thread tokens.
#include "channels/crash_platform.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "channels/crash_handler.h"

namespace core::logger::crash_platform {
namespace {

using crash_detail::FixedText;

// -----------------------------------------------------------------------------
// Signals
// -----------------------------------------------------------------------------

struct FatalSignal {
  int number;
  const char* name;
  const char* what;
  bool has_address;  // si_addr is the address at fault
  bool repeats;      // a fault that its instruction raises again when resumed
};
constexpr FatalSignal kFatalSignals[] = {
    {SIGSEGV, "SIGSEGV", "segmentation fault", true, true},
    {SIGBUS, "SIGBUS", "bus error", true, true},
    {SIGFPE, "SIGFPE", "floating-point exception", true, true},
    {SIGILL, "SIGILL", "illegal instruction", true, true},
    {SIGABRT, "SIGABRT", "aborted", false, false},
    {SIGTRAP, "SIGTRAP", "trace trap", false, false},
};
constexpr std::size_t kFatalCount = sizeof kFatalSignals / sizeof kFatalSignals[0];

// Written by install_crash_hooks (serialised by its caller), read at a
// crash and at unload.
struct sigaction g_previous[kFatalCount];
std::atomic<bool> g_hooked{false};

// The alternate stacks: the key's value is a thread's mapping, a guard page,
// the stack, and a page above it that keeps the stack the thread had before;
// the key's destructor frees it when the thread ends.
constexpr std::size_t kAltStackSize = 256 * 1024;
std::size_t g_page_size = 4096;
pthread_key_t g_stack_key;
std::atomic<bool> g_stack_key_made{false};

timer_t g_watchdog;
bool g_watchdog_made = false;
struct sigaction g_previous_alarm;

std::size_t mapping_size() { return g_page_size + kAltStackSize + g_page_size; }
stack_t* stack_before(void* mapping) {
  return reinterpret_cast<stack_t*>(static_cast<char*>(mapping) + g_page_size + kAltStackSize);
}

void release_alternate_stack(void* mapping) {
  char* const stack = static_cast<char*>(mapping) + g_page_size;
  stack_t current;
  if (::sigaltstack(nullptr, &current) == 0 && current.ss_sp == stack)
    ::sigaltstack(stack_before(mapping), nullptr);
  ::munmap(mapping, mapping_size());
}

bool is_ours(const struct sigaction& action);

void restore_dispositions() noexcept {
  if (!g_hooked.exchange(false)) return;
  for (std::size_t i = 0; i < kFatalCount; ++i) {
    struct sigaction current;
    // Someone who took a signal over after us chains to us, or not: theirs
    // stays.
    if (::sigaction(kFatalSignals[i].number, nullptr, &current) == 0 && is_ours(current)) {
      ::sigaction(kFatalSignals[i].number, &g_previous[i], nullptr);
    }
  }
}

void on_fatal_signal(int number, siginfo_t* info, void* context) {
  const int saved_errno = errno;
  // A second fault inside the handling comes back here, to end the process
  // as this one would have; a sanitizer's wrapper may call this with every
  // signal blocked.
  sigset_t fatal_signals;
  ::sigemptyset(&fatal_signals);
  for (const FatalSignal& fatal : kFatalSignals) ::sigaddset(&fatal_signals, fatal.number);
  ::pthread_sigmask(SIG_UNBLOCK, &fatal_signals, nullptr);
  const FatalSignal* fatal = kFatalSignals;
  while (fatal->number != number && fatal + 1 != kFatalSignals + kFatalCount) ++fatal;
  char buffer[160];
  FixedText line(buffer, sizeof buffer);
  line.put("Fatal signal ").put(fatal->name).put(" (").put(fatal->what).put(")");
  if (fatal->has_address) line.put(" at address ").put_hex(reinterpret_cast<std::uintptr_t>(info->si_addr));
  crash_detail::on_crash(line.view(), WalkStart{context, nullptr}, number);
  restore_dispositions();
  // A fault that the kernel raised repeats when its instruction runs again,
  // now into the previous handler or the default action, with its own
  // siginfo. Anything else is raised again, to arrive once this returns.
  if (!fatal->repeats || info->si_code <= 0) {
    sigset_t only;
    ::sigemptyset(&only);
    ::sigaddset(&only, number);
    ::pthread_sigmask(SIG_BLOCK, &only, nullptr);
    ::raise(number);
  }
  errno = saved_errno;
}

bool is_ours(const struct sigaction& action) {
  return (action.sa_flags & SA_SIGINFO) != 0 && action.sa_sigaction == &on_fatal_signal;
}

void on_watchdog_signal(int, siginfo_t*, void*) { crash_detail::on_watchdog(); }

// At unload: the dispositions and the terminate handler of before, the
// watchdog and the key gone (a thread ending later would call into unloaded
// code), this thread's alternate stack freed. Other threads' stacks stay
// mapped, as a handler of theirs may still run on them.
struct Unload {
  ~Unload() {
    restore_dispositions();
    if (g_watchdog_made) ::timer_delete(g_watchdog);
    if (g_stack_key_made.exchange(false)) {
      if (void* mine = ::pthread_getspecific(g_stack_key)) {
        ::pthread_setspecific(g_stack_key, nullptr);
        release_alternate_stack(mine);
      }
      ::pthread_key_delete(g_stack_key);
    }
  }
} g_unload;

}  // namespace

const int kAbortCode = SIGABRT;

std::uintptr_t thread_token() noexcept { return static_cast<std::uintptr_t>(::pthread_self()); }

std::uint64_t thread_number() noexcept { return static_cast<std::uint64_t>(::gettid()); }

bool install_crash_hooks() noexcept {
  if (g_hooked.load()) return true;
  g_page_size = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  if (!g_stack_key_made.load() && ::pthread_key_create(&g_stack_key, &release_alternate_stack) == 0) {
    g_stack_key_made.store(true);
  }
  if (!g_watchdog_made) {
    sigevent event{};
    event.sigev_notify = SIGEV_SIGNAL;
    event.sigev_signo = SIGALRM;
    g_watchdog_made = ::timer_create(CLOCK_MONOTONIC, &event, &g_watchdog) == 0;
  }
  struct sigaction action {};
  action.sa_sigaction = &on_fatal_signal;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  ::sigemptyset(&action.sa_mask);
  for (std::size_t i = 0; i < kFatalCount; ++i) {
    if (::sigaction(kFatalSignals[i].number, &action, &g_previous[i]) != 0) {
      for (std::size_t j = 0; j < i; ++j) ::sigaction(kFatalSignals[j].number, &g_previous[j], nullptr);
      return false;
    }
  }
  g_hooked.store(true);
  return true;
}

void prepare_thread() noexcept {
  if (!g_stack_key_made.load(std::memory_order_relaxed) || ::pthread_getspecific(g_stack_key) != nullptr)
    return;
  stack_t current;
  if (::sigaltstack(nullptr, &current) != 0 || (current.ss_flags & SS_ONSTACK) != 0) return;
  if ((current.ss_flags & SS_DISABLE) == 0 && current.ss_size >= kAltStackSize) return;  // one of its own
  void* const mapping =
      ::mmap(nullptr, mapping_size(), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (mapping == MAP_FAILED) return;
  // The stack grows down into the guard page, which faults instead of
  // overwriting what lies below. A smaller stack of someone else's (a
  // sanitizer's) comes back when the thread ends or the library unloads.
  *stack_before(mapping) = current;
  stack_t ours{};
  ours.ss_sp = static_cast<char*>(mapping) + g_page_size;
  ours.ss_size = kAltStackSize;
  if (::mprotect(mapping, g_page_size, PROT_NONE) != 0 || ::sigaltstack(&ours, nullptr) != 0 ||
      ::pthread_setspecific(g_stack_key, mapping) != 0) {
    ::munmap(mapping, mapping_size());
  }
}

void arm_watchdog(std::uint32_t ms) noexcept {
  struct sigaction action {};
  action.sa_sigaction = &on_watchdog_signal;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  ::sigemptyset(&action.sa_mask);
  ::sigaction(SIGALRM, &action, &g_previous_alarm);
  sigset_t alarm_only;
  ::sigemptyset(&alarm_only);
  ::sigaddset(&alarm_only, SIGALRM);
  ::pthread_sigmask(SIG_UNBLOCK, &alarm_only, nullptr);
  if (ms == 0) ms = 1;
  if (g_watchdog_made) {
    itimerspec when{};
    when.it_value.tv_sec = static_cast<time_t>(ms / 1000);
    when.it_value.tv_nsec = static_cast<long>(ms % 1000) * 1000000;
    ::timer_settime(g_watchdog, 0, &when, nullptr);
  } else {
    ::alarm((ms + 999) / 1000);
  }
}

void disarm_watchdog() noexcept {
  if (g_watchdog_made) {
    const itimerspec never{};
    ::timer_settime(g_watchdog, 0, &never, nullptr);
  } else {
    ::alarm(0);
  }
  ::sigaction(SIGALRM, &g_previous_alarm, nullptr);
}

void end_process(int code) noexcept {
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  ::sigemptyset(&default_action.sa_mask);
  ::sigaction(code, &default_action, nullptr);
  sigset_t only;
  ::sigemptyset(&only);
  ::sigaddset(&only, code);
  ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  ::raise(code);
  ::_exit(128 + code);
}

}  // namespace core::logger::crash_platform
