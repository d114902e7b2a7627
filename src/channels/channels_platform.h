// channels/channels_platform.h: what each channels_platform_<os>.cc provides
// to the companion library.
//
// The channels touch the operating system only through these functions; the
// build picks exactly one implementation file per OS. Every function here is
// thread-safe and raises nothing.
#ifndef CORE_LOGGER_CHANNELS_CHANNELS_PLATFORM_H_
#define CORE_LOGGER_CHANNELS_CHANNELS_PLATFORM_H_

#include <cstddef>
#include <cstdio>
#include <string>

namespace core::logger::channels_platform {

// Whether `stream` writes to a terminal (a console on Windows).
bool is_terminal(std::FILE* stream) noexcept;

// Makes the terminal behind `stream` interpret ANSI colour sequences, which
// POSIX terminals always do and Windows consoles do once asked. False when
// the terminal cannot.
bool enable_color_sequences(std::FILE* stream) noexcept;

// Opens `path` for binary appending, creating the file when it is missing;
// the handle is not inherited by child processes. On failure returns null
// and stores the system's error number in `*error`.
std::FILE* open_for_append(const std::string& path, int* error) noexcept;

// Fills `frames` with up to `capacity` return addresses of the calling
// thread, innermost first, and returns how many it stored. The first few
// belong to the walk itself (this function, and whatever a sanitizer puts
// around the system's walk); callers find their own place by address.
// REQUIRES: `capacity` is at most 256.
std::size_t capture_return_addresses(void** frames, std::size_t capacity) noexcept;

// Appends one line per frame, each ending in a line feed, numbered from
// `first_number`: the function (demangled) where the platform can name it,
// else the module and the offset or address.
// REQUIRES: `frames` holds `count` addresses from capture_return_addresses.
void describe_frames(void* const* frames, std::size_t count, std::size_t first_number, std::string* out);

}  // namespace core::logger::channels_platform

#endif  // CORE_LOGGER_CHANNELS_CHANNELS_PLATFORM_H_
