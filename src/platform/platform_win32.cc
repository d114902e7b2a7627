// The platform layer on Windows: the debugger output, the FILETIME clock and
// the CRT's aligned heap.
#include "platform/platform.h"

#include <windows.h>

#include <malloc.h>

#include <algorithm>
#include <cstring>

namespace core::logger::platform {
namespace {

// Pieces of a text without a NUL. Only channels that call the built-in
// callback with their own views take that road, so the pieces stay small
// rather than add to the stack of every log call.
constexpr std::size_t kPieceSize = 512;

std::uint64_t to_count(const FILETIME& time) noexcept {
  return std::uint64_t{time.dwHighDateTime} << 32 | time.dwLowDateTime;
}

}  // namespace

DebugOutputKind debug_output_kind() noexcept { return DebugOutputKind{false, false}; }

// There is no SIGPIPE on Windows.
void write_debug_output(std::string_view text, bool) noexcept {
  // OutputDebugStringA reads up to a NUL. The composers' texts end in one, so
  // they go out as they are; a view without a NUL (a channel may call the
  // built-in callback with any view) is copied out in terminated pieces, so
  // that nothing beyond its end is read.
  if (const std::size_t nul = text.find('\0'); nul != std::string_view::npos) {
    ::OutputDebugStringA(text.data());
    // A NUL inside the message cuts the text there; the line it cut still
    // ends, so that the next text does not run on from it.
    if (nul + 1 < text.size() && (nul == 0 || text[nul - 1] != '\n')) ::OutputDebugStringA("\n");
    return;
  }
  char piece[kPieceSize];
  while (!text.empty()) {
    const std::size_t length = std::min(text.size(), kPieceSize - 1);
    std::memcpy(piece, text.data(), length);
    piece[length] = '\0';
    ::OutputDebugStringA(piece);
    text.remove_prefix(length);
  }
}

DebugOutputMode debug_output_mode() noexcept {
  // The debugger output is a side channel that costs nothing unless a
  // debugger listens, so it takes every text, whatever the environment says.
  return DebugOutputMode::kEveryText;
}

std::uint64_t local_time_ticks() noexcept {
  // No per-thread cache of the offset as on POSIX: FileTimeToLocalFileTime
  // subtracts the bias that the kernel keeps in the page it shares with every
  // process, without a lock or a system call, while a thread_local (emulated
  // by MinGW through a TLS key and a heap block per thread) would cost more
  // than it saves.
  FILETIME utc;
  ::GetSystemTimeAsFileTime(&utc);
  // A failed shift leaves the count at 0: the time then reads as 1601.
  FILETIME local{};
  (void)::FileTimeToLocalFileTime(&utc, &local);
  return to_count(local) + k1601Ticks;
}

void file_time_to_system_time(std::uint64_t since_1601, SystemTimeFields* fields) noexcept {
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(since_1601);
  time.dwHighDateTime = static_cast<DWORD>(since_1601 >> 32);
  // The conversion leaves the record untouched where it fails, so the fields
  // stay zero then.
  SYSTEMTIME system{};
  (void)::FileTimeToSystemTime(&time, &system);
  fields->year = system.wYear;
  fields->month = system.wMonth;
  fields->day_of_week = system.wDayOfWeek;
  fields->day = system.wDay;
  fields->hour = system.wHour;
  fields->minute = system.wMinute;
  fields->second = system.wSecond;
  fields->millisecond = system.wMilliseconds;
}

void at_fork(void (*)(), void (*)()) noexcept {}

void* aligned_allocate(std::size_t size, std::size_t alignment) noexcept {
  return ::_aligned_malloc(size, alignment);
}

void aligned_free(void* block) noexcept { ::_aligned_free(block); }

}  // namespace core::logger::platform
