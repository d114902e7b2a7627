// tests/support/capture_test.h: a fixture for tests that go through the
// shared libraries only, and so cannot reset the library between tests, and
// a directory for the channels that write files. Portable (runs under Wine).
//
// Channels cannot be removed, so one capture channel is registered once per
// process, ordinary and raw, and every test starts by clearing it. Tests
// declare categories of their own names and restore the runtime verbosity
// and default options they change.
#ifndef CORE_LOGGER_TESTS_SUPPORT_CAPTURE_TEST_H_
#define CORE_LOGGER_TESTS_SUPPORT_CAPTURE_TEST_H_

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "core/channels.h"
#include "core/logger.h"

namespace core::logger::testing {

// The process's capture channel, registered on first use.
CaptureChannel& shared_capture();

class CaptureTest : public ::testing::Test {
 protected:
  void SetUp() override { shared_capture().clear(), TearDown(); }
  void TearDown() override { change_verbosity(MessageVerbosity::Detailed), reset_default_options(); }

  static std::vector<CapturedText> texts() { return shared_capture().texts(); }
  static std::vector<CapturedLine> lines() { return shared_capture().lines(); }
};

// `text` with the time masked and the blanks that pad each header to the
// widest header seen so far removed. The padding depends on what earlier
// tests of the process logged; tests that check it use their own process.
std::string without_padding(std::string_view text);

// Writes `text` through the records of `channel` as a call of `timestamp`
// whose raw span holds the channel's raw record.
void deliver_as_call(const ChannelObject& channel, LogTimestamp timestamp, const std::string& text);

// The bytes of the file at `path`; empty when there is none.
inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A fresh directory that removes itself, named after the running test and
// a random number, since other processes may run the same tests at once.
class TempDir {
 public:
  TempDir() { std::filesystem::create_directories(path_); }
  ~TempDir() { std::filesystem::remove_all(path_, ignored_); }

  std::string file(const std::string& name) const { return (path_ / name).string(); }
  std::string read(const std::string& name) const { return read_file(file(name)); }

 private:
  const std::filesystem::path path_ =
      std::filesystem::temp_directory_path() /
      ("core_logger_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "_" +
       std::to_string(std::random_device()()));
  std::error_code ignored_;
};

}  // namespace core::logger::testing

#endif  // CORE_LOGGER_TESTS_SUPPORT_CAPTURE_TEST_H_
