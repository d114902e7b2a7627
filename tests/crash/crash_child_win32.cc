#include <windows.h>

#include <fmt/format.h>

#include "crash/crash_child.h"

namespace core::logger::testing::crash_child {

void prepare_process() { ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX); }

void say(std::string_view text) {
  char line[256];
  const auto end = fmt::format_to_n(line, sizeof line, "{}\n", text);
  DWORD written = 0;
  ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), line,
              static_cast<DWORD>(end.size < sizeof line ? end.size : sizeof line), &written, nullptr);
}

std::uint64_t thread_number() { return ::GetCurrentThreadId(); }

std::int64_t now_ms() { return static_cast<std::int64_t>(::GetTickCount64()); }

std::size_t lines_on_disk(const char* path) {
  const HANDLE file =
      ::CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  std::size_t lines = 0;
  char buffer[4096];
  for (DWORD got = 0; ::ReadFile(file, buffer, sizeof buffer, &got, nullptr) != 0 && got > 0;) {
    for (DWORD i = 0; i < got; ++i) lines += buffer[i] == '\n';
  }
  ::CloseHandle(file);
  return lines;
}

std::FILE* faulting_stream() { return nullptr; }

void arm_stream_fault() {}

}  // namespace core::logger::testing::crash_child
