// tests/support/faults.h: a user's code going wrong inside a log call: an
// argument whose formatter throws, and channels that throw.
#ifndef CORE_LOGGER_TESTS_SUPPORT_FAULTS_H_
#define CORE_LOGGER_TESTS_SUPPORT_FAULTS_H_

#include <new>
#include <stdexcept>

#include <fmt/format.h>

#include "core/logger.h"

namespace core::logger::testing {

// Its formatter writes "<thr" and then throws, by `how` % 4: a
// std::runtime_error, a fmt::format_error, a std::bad_alloc or an int.
struct ThrowingValue {
  int how;
};

struct ChannelFailure : std::runtime_error {
  ChannelFailure() : std::runtime_error("channel failed") {}
};

// Channels that throw ChannelFailure while `*armed`.
inline LogChannel throwing_channel(bool* armed) {
  return {"throwing",
          [](void* on, const DispatchContext&, const LogCategory&, const LogLevel&, std::string_view) {
            if (*static_cast<bool*>(on)) throw ChannelFailure();
          },
          armed};
}
inline LogRawChannel throwing_raw_channel(bool* armed) {
  return {"throwing-raw",
          [](void* on, const DispatchContext&, const LogCategory&, const LogLevel&, LogTimestamp,
             std::string_view) {
            if (*static_cast<bool*>(on)) throw ChannelFailure();
          },
          armed};
}

}  // namespace core::logger::testing

template <>
struct fmt::formatter<core::logger::testing::ThrowingValue> : fmt::formatter<fmt::string_view> {
  auto format(const core::logger::testing::ThrowingValue& value, fmt::format_context& ctx) const {
    fmt::format_to(ctx.out(), "<thr");
    if (value.how % 4 == 0) throw std::runtime_error("formatter failed");
    if (value.how % 4 == 1) throw fmt::format_error("formatter rejects its format");
    if (value.how % 4 == 2) throw std::bad_alloc();
    throw value.how;
    return ctx.out();
  }
};

#endif  // CORE_LOGGER_TESTS_SUPPORT_FAULTS_H_
