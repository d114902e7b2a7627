// channels/file_naming.h: the names of the files of a rotating file channel,
// and which of them a rotation moves. Pure functions, so that the rules are
// tested without a disk.
#ifndef CORE_LOGGER_CHANNELS_FILE_NAMING_H_
#define CORE_LOGGER_CHANNELS_FILE_NAMING_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace core::logger::channels_detail {

// Where the extension of the file name in `path` starts: at its last dot,
// unless that dot leads the name; the end of `path` when there is none. The
// name starts after the last of `separators` (the platform's).
std::size_t extension_start(std::string_view path, std::string_view separators) noexcept;

// The file of `path` for a day (counted from 1970-01-01; only when `daily`)
// and an index (0: the file being written), both before the extension:
// "app.log" gives "app_2026-12-07.3.log".
std::string rotated_file_name(std::string_view path, std::string_view separators, bool daily,
                              std::int64_t day, std::uint32_t index);

// What a rotation does, planned from the files that exist: the older files
// 1 to `moved` each move one index up (the highest first), then the current
// file becomes file 1, or is removed when no older file is kept.
struct RotationPlan {
  std::uint32_t moved;
  bool keep_current;
  std::uint32_t renames() const noexcept { return moved + (keep_current ? 1 : 0); }
};

// The plan for `max_files` older files kept, `exists(index)` telling whether
// the older file of that index exists. Only the files up to the first
// missing one move (a gap, such as a file removed by hand, ends the
// renaming), and the file `max_files` is replaced, so that a rotation costs
// what exists; files beyond a gap keep their names until rotations reach
// them. Asks `exists` at most once per index, from 1 up.
template <typename Exists>
RotationPlan plan_rotation(std::uint32_t max_files, Exists&& exists) {
  std::uint32_t present = 0;
  while (present + 1 < max_files && exists(present + 1)) ++present;
  return RotationPlan{present, max_files > 0};
}

}  // namespace core::logger::channels_detail

#endif  // CORE_LOGGER_CHANNELS_FILE_NAMING_H_
