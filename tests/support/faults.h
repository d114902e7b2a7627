// tests/support/faults.h: a user's code going wrong inside a log call: an
// argument whose formatter throws, and channels that throw.
#ifndef CORE_LOGGER_TESTS_SUPPORT_FAULTS_H_
#define CORE_LOGGER_TESTS_SUPPORT_FAULTS_H_

#include <new>
#include <stdexcept>
#include <string_view>

#include <fmt/format.h>

#include "core/logger.h"

namespace core::logger::testing {

// Its formatter writes "<thr" and then throws: by `how` % 4, a
// std::runtime_error, a fmt::format_error, a std::bad_alloc or an int.
struct ThrowingValue {
  int how;
};

struct ChannelFailure : std::runtime_error {
  ChannelFailure() : std::runtime_error("channel failed") {}
};

// Channels that throw ChannelFailure while `*armed`.
inline LogChannel throwing_channel(const bool* armed) {
  return LogChannel{
      "throwing",
      [](void* on, const DispatchContext&, const LogCategory&, const LogLevel&, std::string_view) {
        if (*static_cast<const bool*>(on)) throw ChannelFailure();
      },
      const_cast<bool*>(armed)};
}
inline LogRawChannel throwing_raw_channel(const bool* armed) {
  return LogRawChannel{"throwing-raw",
                       [](void* on, const DispatchContext&, const LogCategory&, const LogLevel&, LogTimestamp,
                          std::string_view) {
                         if (*static_cast<const bool*>(on)) throw ChannelFailure();
                       },
                       const_cast<bool*>(armed)};
}

}  // namespace core::logger::testing

template <>
struct fmt::formatter<core::logger::testing::ThrowingValue> {
  constexpr auto parse(fmt::format_parse_context& ctx) -> fmt::format_parse_context::iterator {
    return ctx.begin();
  }
  auto format(const core::logger::testing::ThrowingValue& value, fmt::format_context& ctx) const
      -> fmt::format_context::iterator {
    auto out = ctx.out();
    for (char c : std::string_view("<thr")) *out++ = c;
    switch (value.how % 4) {
      case 0:
        throw std::runtime_error("formatter failed");
      case 1:
        throw fmt::format_error("formatter rejects its format");
      case 2:
        throw std::bad_alloc();
      default:
        throw value.how;
    }
  }
};

#endif  // CORE_LOGGER_TESTS_SUPPORT_FAULTS_H_
