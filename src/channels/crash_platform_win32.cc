// The crash handler's platform layer on Windows: DbgHelp (StackWalk64,
// SymFromAddr, SymGetLineFromAddr64, initialised at install time) for stacks,
// the runtime's own demangler for the names of GCC-built code, the unhandled
// exception filter and SIGABRT for crashes, and a timer-queue timer as
// watchdog. DbgHelp serves one thread at a time: a spin lock, given up on at
// a crash after the handler's lock wait, keeps it so.
#include "channels/crash_platform.h"

#include <windows.h>

#include <dbghelp.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <thread>

#include "channels/crash_handler.h"

// libstdc++'s demangler into a callback, without the heap (what
// abi::__cxa_demangle uses inside); part of the runtime that is linked in.
extern "C" int __gcclibcxx_demangle_callback(
    const char* mangled, void (*callback)(const char* piece, std::size_t length, void* user), void* user);

namespace core::logger::crash_platform {
namespace {

using crash_detail::FixedText;

constexpr std::size_t kMaxName = 1024;

std::atomic<bool> g_symbols_ready{false};
std::atomic_flag g_dbghelp_busy = ATOMIC_FLAG_INIT;

// Holds DbgHelp while it lives, when it could be had within the handler's
// lock wait.
class DbgHelpLock {
 public:
  DbgHelpLock() noexcept {
    const auto deadline = std::chrono::steady_clock::now() + crash_detail::kLockWait;
    while (g_dbghelp_busy.test_and_set(std::memory_order_acquire)) {
      if (std::chrono::steady_clock::now() >= deadline) return;
      std::this_thread::yield();
    }
    held_ = true;
  }
  ~DbgHelpLock() {
    if (held_) g_dbghelp_busy.clear(std::memory_order_release);
  }
  DbgHelpLock(const DbgHelpLock&) = delete;
  DbgHelpLock& operator=(const DbgHelpLock&) = delete;
  bool held() const noexcept { return held_ && g_symbols_ready.load(std::memory_order_acquire); }

 private:
  bool held_ = false;
};

void put_piece(const char* piece, std::size_t length, void* user) {
  static_cast<FixedText*>(user)->put(std::string_view(piece, length));
}

std::string_view demangle(const char* name, char* out, std::size_t size) noexcept {
  FixedText text(out, size);
  if (name != nullptr && __gcclibcxx_demangle_callback(name, &put_piece, &text) == 0) return text.view();
  return name != nullptr ? std::string_view(name) : std::string_view();
}

struct ExceptionName {
  DWORD code;
  const char* name;
};
constexpr ExceptionName kExceptionNames[] = {
    {EXCEPTION_ACCESS_VIOLATION, "EXCEPTION_ACCESS_VIOLATION"},
    {EXCEPTION_ARRAY_BOUNDS_EXCEEDED, "EXCEPTION_ARRAY_BOUNDS_EXCEEDED"},
    {EXCEPTION_BREAKPOINT, "EXCEPTION_BREAKPOINT"},
    {EXCEPTION_DATATYPE_MISALIGNMENT, "EXCEPTION_DATATYPE_MISALIGNMENT"},
    {EXCEPTION_FLT_DIVIDE_BY_ZERO, "EXCEPTION_FLT_DIVIDE_BY_ZERO"},
    {EXCEPTION_FLT_INVALID_OPERATION, "EXCEPTION_FLT_INVALID_OPERATION"},
    {EXCEPTION_ILLEGAL_INSTRUCTION, "EXCEPTION_ILLEGAL_INSTRUCTION"},
    {EXCEPTION_IN_PAGE_ERROR, "EXCEPTION_IN_PAGE_ERROR"},
    {EXCEPTION_INT_DIVIDE_BY_ZERO, "EXCEPTION_INT_DIVIDE_BY_ZERO"},
    {EXCEPTION_INT_OVERFLOW, "EXCEPTION_INT_OVERFLOW"},
    {EXCEPTION_PRIV_INSTRUCTION, "EXCEPTION_PRIV_INSTRUCTION"},
    {EXCEPTION_STACK_OVERFLOW, "EXCEPTION_STACK_OVERFLOW"},
};

LPTOP_LEVEL_EXCEPTION_FILTER g_previous_filter = nullptr;
void (*g_previous_abort)(int) = SIG_DFL;
std::atomic<bool> g_hooked{false};
HANDLE g_watchdog = nullptr;

LONG WINAPI on_exception(EXCEPTION_POINTERS* pointers);
void on_abort(int);

void restore_hooks() noexcept {
  if (!g_hooked.exchange(false)) return;
  // Whoever took them over after us keeps them.
  const LPTOP_LEVEL_EXCEPTION_FILTER current = ::SetUnhandledExceptionFilter(g_previous_filter);
  if (current != &on_exception) ::SetUnhandledExceptionFilter(current);
  void (*const handler)(int) = std::signal(SIGABRT, g_previous_abort);
  if (handler != &on_abort && handler != SIG_DFL) std::signal(SIGABRT, handler);
}

LONG WINAPI on_exception(EXCEPTION_POINTERS* pointers) {
  const EXCEPTION_RECORD& record = *pointers->ExceptionRecord;
  char buffer[160];
  FixedText line(buffer, sizeof buffer);
  line.put("Fatal exception ");
  for (const ExceptionName& known : kExceptionNames) {
    if (known.code == record.ExceptionCode) line.put(known.name).put(" ");
  }
  char code[16];
  for (int digit = 0; digit < 8; ++digit)
    code[7 - digit] = "0123456789ABCDEF"[(record.ExceptionCode >> (4 * digit)) & 15];
  line.put("(0x").put(std::string_view(code, 8)).put(")");
  // An access violation names the address it could not reach; anything
  // else, the instruction.
  const bool data = (record.ExceptionCode == EXCEPTION_ACCESS_VIOLATION ||
                     record.ExceptionCode == EXCEPTION_IN_PAGE_ERROR) &&
                    record.NumberParameters >= 2;
  line.put(" at address ")
      .put_hex(data ? record.ExceptionInformation[1]
                    : reinterpret_cast<std::uintptr_t>(record.ExceptionAddress));
  crash_detail::on_crash(line.view(), WalkStart{pointers, nullptr}, static_cast<int>(record.ExceptionCode));
  const LPTOP_LEVEL_EXCEPTION_FILTER previous = g_previous_filter;
  restore_hooks();
  // The system's own handling then ends the process with the exception's
  // code, as without us.
  return previous != nullptr ? previous(pointers) : EXCEPTION_CONTINUE_SEARCH;
}

// Kept out of line so that its return address lies in the runtime's raise.
[[gnu::noinline]] void on_abort(int) {
  crash_detail::on_crash("Fatal signal SIGABRT (aborted)", WalkStart{nullptr, __builtin_return_address(0)},
                         kAbortCode);
  restore_hooks();
  std::raise(SIGABRT);
}

VOID CALLBACK on_watchdog_timer(PVOID, BOOLEAN) { crash_detail::on_watchdog(); }

struct Unload {
  ~Unload() { restore_hooks(); }
} g_unload;

}  // namespace

const int kAbortCode = 3;  // the exit code of abort()

std::uintptr_t thread_token() noexcept { return ::GetCurrentThreadId(); }

std::uint64_t thread_number() noexcept { return ::GetCurrentThreadId(); }

void prepare_symbolizer() noexcept {
  static const bool ready = [] {
    DbgHelpLock lock;
    ::SymSetOptions(::SymGetOptions() | SYMOPT_LOAD_LINES);
    return ::SymInitialize(::GetCurrentProcess(), nullptr, TRUE) != 0;
  }();
  g_symbols_ready.store(ready, std::memory_order_release);
}

std::size_t walk_stack(const WalkStart& start, std::uintptr_t* addresses, std::size_t capacity) noexcept {
  if (capacity > kMaxAddresses) capacity = kMaxAddresses;
  std::size_t count = 0;
  if (start.crash_context != nullptr) {
    DbgHelpLock lock;
    CONTEXT context = *static_cast<const EXCEPTION_POINTERS*>(start.crash_context)->ContextRecord;
    if (!lock.held()) {
      addresses[count++] = context.Rip;
      return count;
    }
    STACKFRAME64 frame{};
    frame.AddrPC.Offset = context.Rip;
    frame.AddrStack.Offset = context.Rsp;
    frame.AddrFrame.Offset = context.Rbp;
    frame.AddrPC.Mode = frame.AddrStack.Mode = frame.AddrFrame.Mode = AddrModeFlat;
    while (count < capacity &&
           ::StackWalk64(IMAGE_FILE_MACHINE_AMD64, ::GetCurrentProcess(), ::GetCurrentThread(), &frame,
                         &context, nullptr, ::SymFunctionTableAccess64, ::SymGetModuleBase64, nullptr) != 0) {
      if (frame.AddrPC.Offset == 0) break;
      // The crash site is the instruction itself; a caller, inside its call.
      addresses[count] = static_cast<std::uintptr_t>(frame.AddrPC.Offset) - (count == 0 ? 0 : 1);
      ++count;
    }
    return count;
  }
  void* frames[kMaxAddresses];
  std::size_t captured = 0;
  // Older systems take at most 62 frames in one walk.
  for (USHORT got; captured < kMaxAddresses; captured += got) {
    const DWORD wanted = static_cast<DWORD>(kMaxAddresses - captured < 62 ? kMaxAddresses - captured : 62);
    got = ::RtlCaptureStackBackTrace(static_cast<DWORD>(captured), wanted, frames + captured, nullptr);
    if (got == 0) break;
  }
  std::size_t first = 0;
  while (first < captured && frames[first] != start.return_address) ++first;
  for (std::size_t i = first; i < captured && count < capacity; ++i) {
    addresses[count++] = reinterpret_cast<std::uintptr_t>(frames[i]) - 1;
  }
  return count;
}

bool describe_address(std::uintptr_t address, bool (*each)(void*, const Frame&), void* user) noexcept {
  Frame frame{{}, {}, 0, {}, address};
  char name[kMaxName];
  alignas(SYMBOL_INFO) char storage[sizeof(SYMBOL_INFO) + kMaxName];
  IMAGEHLP_LINE64 line{};
  DbgHelpLock lock;
  if (lock.held()) {
    auto* symbol = reinterpret_cast<SYMBOL_INFO*>(storage);
    symbol->SizeOfStruct = sizeof(SYMBOL_INFO);
    symbol->MaxNameLen = kMaxName;
    DWORD64 displacement = 0;
    if (::SymFromAddr(::GetCurrentProcess(), address, &displacement, symbol) != 0) {
      frame.function = demangle(symbol->Name, name, sizeof name);
    }
    line.SizeOfStruct = sizeof line;
    DWORD column = 0;
    if (::SymGetLineFromAddr64(::GetCurrentProcess(), address, &column, &line) != 0 &&
        line.FileName != nullptr) {
      frame.file = line.FileName;
      frame.line = line.LineNumber;
    }
  }
  HMODULE module = nullptr;
  char path[MAX_PATH] = {};
  if (::GetModuleHandleExA(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCSTR>(address), &module) != 0 &&
      ::GetModuleFileNameA(module, path, MAX_PATH) != 0) {
    const char* base = path;
    for (const char* at = path; *at != '\0'; ++at) {
      if (*at == '\\' || *at == '/') base = at + 1;
    }
    frame.module = base;
    frame.offset = address - reinterpret_cast<std::uintptr_t>(module);
  }
  return each(user, frame);
}

std::string_view demangle_type(const char* mangled, char* out, std::size_t size) noexcept {
  if (mangled != nullptr && *mangled == '*') ++mangled;  // a type local to a unit
  return demangle(mangled, out, size);
}

bool install_crash_hooks() noexcept {
  if (g_hooked.load()) return true;
  g_previous_filter = ::SetUnhandledExceptionFilter(&on_exception);
  g_previous_abort = std::signal(SIGABRT, &on_abort);
  if (g_previous_abort == SIG_ERR) g_previous_abort = SIG_DFL;
  g_hooked.store(true);
  return true;
}

void prepare_thread() noexcept {}

void arm_watchdog(std::uint32_t ms) noexcept {
  ::CreateTimerQueueTimer(&g_watchdog, nullptr, &on_watchdog_timer, nullptr, ms == 0 ? 1 : ms, 0,
                          WT_EXECUTEONLYONCE);
}

void disarm_watchdog() noexcept {
  if (g_watchdog != nullptr) ::DeleteTimerQueueTimer(nullptr, g_watchdog, nullptr);
  g_watchdog = nullptr;
}

void end_process(int code) noexcept {
  ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(code));
  for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
}

}  // namespace core::logger::crash_platform
