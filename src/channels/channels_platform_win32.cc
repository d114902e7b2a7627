// The companion library's platform layer on Windows: the console API for
// terminals and colour, narrow paths through the C runtime, and
// RtlCaptureStackBackTrace with module names for call stacks (no symbol
// server, so frames show as module+offset).
#include "channels/channels_platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#  define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#  define NOMINMAX
#endif
#include <windows.h>

#include <errno.h>
#include <io.h>

#include <cstdint>
#include <string_view>

#include <fmt/format.h>

namespace core::logger::channels_platform {
namespace {

HANDLE os_handle(std::FILE* stream) noexcept {
  const int fd = stream == nullptr ? -1 : ::_fileno(stream);
  if (fd < 0) return INVALID_HANDLE_VALUE;
  return reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
}

}  // namespace

bool is_terminal(std::FILE* stream) noexcept {
  const HANDLE handle = os_handle(stream);
  DWORD mode = 0;
  return handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode) != 0;
}

bool enable_color_sequences(std::FILE* stream) noexcept {
  const HANDLE handle = os_handle(stream);
  DWORD mode = 0;
  if (handle == INVALID_HANDLE_VALUE || ::GetConsoleMode(handle, &mode) == 0) return false;
  if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0) return true;
  return ::SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

std::FILE* open_for_append(const std::string& path, int* error) noexcept {
  std::FILE* file = std::fopen(path.c_str(), "ab");
  if (file == nullptr) {
    *error = errno != 0 ? errno : EIO;
    return nullptr;
  }
  // Not every C runtime knows fopen's "N" mode, so inheritance is switched
  // off on the handle itself.
  const HANDLE handle = os_handle(file);
  if (handle != INVALID_HANDLE_VALUE) ::SetHandleInformation(handle, HANDLE_FLAG_INHERIT, 0);
  return file;
}

std::size_t capture_return_addresses(void** frames, std::size_t capacity) noexcept {
  // Older systems take at most 62 frames in one walk.
  const DWORD wanted = static_cast<DWORD>(capacity < 62 ? capacity : 62);
  return ::RtlCaptureStackBackTrace(0, wanted, frames, nullptr);
}

void describe_frames(void* const* frames, std::size_t count, std::size_t first_number, std::string* out) {
  for (std::size_t i = 0; i < count; ++i) {
    HMODULE module = nullptr;
    char path[MAX_PATH] = {};
    const bool named = ::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                            static_cast<LPCSTR>(frames[i]), &module) != 0 &&
                       ::GetModuleFileNameA(module, path, MAX_PATH) != 0;
    if (named) {
      std::string_view name(path);
      const std::size_t slash = name.find_last_of("\\/");
      if (slash != std::string_view::npos) name.remove_prefix(slash + 1);
      const auto offset =
          reinterpret_cast<std::uintptr_t>(frames[i]) - reinterpret_cast<std::uintptr_t>(module);
      fmt::format_to(std::back_inserter(*out), "#{} {}+{:#x}\n", first_number + i, name, offset);
    } else {
      fmt::format_to(std::back_inserter(*out), "#{} {}\n", first_number + i, fmt::ptr(frames[i]));
    }
  }
}

}  // namespace core::logger::channels_platform
