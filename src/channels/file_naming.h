// channels/file_naming.h: the names of the files of a rotating file channel.
// Pure functions, so that the naming rules are tested without a disk.
#ifndef CORE_LOGGER_CHANNELS_FILE_NAMING_H_
#define CORE_LOGGER_CHANNELS_FILE_NAMING_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace core::logger::channels_detail {

// Where the extension of the file name in `path` starts: at its last dot,
// unless that dot leads the name; the end of `path` when there is none.
std::size_t extension_start(std::string_view path) noexcept;

// The file of `path` for a day (counted from 1970-01-01; only when `daily`)
// and an index (0: the file being written), both before the extension:
// "app.log" gives "app_2026-12-07.3.log".
std::string rotated_file_name(std::string_view path, bool daily, std::int64_t day, std::uint32_t index);

}  // namespace core::logger::channels_detail

#endif  // CORE_LOGGER_CHANNELS_FILE_NAMING_H_
