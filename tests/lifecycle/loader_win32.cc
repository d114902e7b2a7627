#include "lifecycle/loader.h"

#include <windows.h>

#include <csignal>
#include <cstdio>

namespace core::logger::testing::loader {

void* load(const std::string& path) { return ::LoadLibraryA(path.c_str()); }

std::string last_error() { return "error " + std::to_string(::GetLastError()); }

void* symbol(void* library, const char* name) {
  return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(library), name));
}

bool unload(void* library) { return ::FreeLibrary(static_cast<HMODULE>(library)) != 0; }

bool is_loaded(const std::string& path) { return ::GetModuleHandleA(path.c_str()) != nullptr; }

const bool kCanCallAtExitAfterLoad = false;

// At process exit Windows detaches DLLs in the reverse order of their start,
// and each runs its own exit list then: a DLL started before core_logger.dll
// calls in after core_logger.dll's teardown.
void call_at_exit(void (*call)()) {
  using Arm = void (*)(void (*)());
  HMODULE late_caller = ::LoadLibraryA("core_logger_late_caller.dll");
  if (late_caller == nullptr) std::abort();
  reinterpret_cast<Arm>(reinterpret_cast<void*>(::GetProcAddress(late_caller, "core_logger_call_at_exit")))(
      call);
}

std::string crash_dispositions() {
  // Each is read by setting it, and set back at once.
  const LPTOP_LEVEL_EXCEPTION_FILTER filter = ::SetUnhandledExceptionFilter(nullptr);
  ::SetUnhandledExceptionFilter(filter);
  void (*const abort_handler)(int) = std::signal(SIGABRT, SIG_DFL);
  std::signal(SIGABRT, abort_handler);
  return "filter:" + std::to_string(reinterpret_cast<std::uintptr_t>(filter)) +
         " abort:" + std::to_string(reinterpret_cast<std::uintptr_t>(abort_handler));
}

void say(std::string_view line) {
  const std::string text = std::string(line) + "\n";
  DWORD written = 0;
  ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written,
              nullptr);
}

std::string run_self(const std::string& arguments, int* exit_code) {
  char self[MAX_PATH];
  ::GetModuleFileNameA(nullptr, self, sizeof self);
  std::FILE* child = ::_popen(("\"" + std::string(self) + "\" " + arguments).c_str(), "rb");
  std::string output;
  char buffer[4096];
  for (std::size_t n; child != nullptr && (n = std::fread(buffer, 1, sizeof buffer, child)) > 0;) {
    output.append(buffer, n);
  }
  *exit_code = child != nullptr ? ::_pclose(child) : -1;
  return output;
}

}  // namespace core::logger::testing::loader
