#include "channels/file_naming.h"

#include "channels/local_time.h"

namespace core::logger::channels_detail {

std::size_t extension_start(std::string_view path, std::string_view separators) noexcept {
  const std::size_t separator = path.find_last_of(separators);
  const std::size_t name = separator == std::string_view::npos ? 0 : separator + 1;
  const std::size_t dot = path.rfind('.');
  return dot != std::string_view::npos && dot > name ? dot : path.size();
}

std::string rotated_file_name(std::string_view path, std::string_view separators, bool daily,
                              std::int64_t day, std::uint32_t index) {
  const std::size_t at = extension_start(path, separators);
  std::string name(path.substr(0, at));
  if (daily) {
    char date[kDateLength + 1] = {'_'};
    name.append(date, put_date(date + 1, day));
  }
  if (index > 0) name.append(".").append(std::to_string(index));
  return name.append(path.substr(at));
}

}  // namespace core::logger::channels_detail
