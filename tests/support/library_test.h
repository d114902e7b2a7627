// tests/support/library_test.h: a fixture that starts and ends every test
// with the library in its load-time state.
#ifndef CORE_LOGGER_TESTS_SUPPORT_LIBRARY_TEST_H_
#define CORE_LOGGER_TESTS_SUPPORT_LIBRARY_TEST_H_

#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "core/logger.h"
#include "lifecycle/library_lifecycle.h"
#include "support/recording_channel.h"

namespace core::logger::testing {

constexpr LogLevel kInfo{"INFO", 2};

constexpr LogCategory make_category(std::string_view name, bool enabled = true,
                                    MessageVerbosity verbosity = MessageVerbosity::Detailed) {
  return LogCategory{{name, category_id(name)}, enabled, verbosity};
}

// Resets the library around each test and registers `recorder_` as an
// ordinary and a raw channel.
class LibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    detail::reset_for_testing();
    add_default_channel(recorder_.channel());
    add_default_channel(recorder_.raw_channel());
  }
  void TearDown() override { detail::reset_for_testing(); }

  // The single text that the last call delivered, time masked.
  std::string only_text() const {
    const auto texts = recorder_.texts();
    EXPECT_EQ(texts.size(), 1u);
    return texts.empty() ? std::string() : mask_time(texts.back());
  }

  RecordingChannel recorder_;
};

}  // namespace core::logger::testing

#endif  // CORE_LOGGER_TESTS_SUPPORT_LIBRARY_TEST_H_
