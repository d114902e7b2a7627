// tests/channels/temp_dir.h: a fresh directory per test that removes itself,
// for the channels that write files. Portable (runs under Wine).
#ifndef CORE_LOGGER_TESTS_CHANNELS_TEMP_DIR_H_
#define CORE_LOGGER_TESTS_CHANNELS_TEMP_DIR_H_

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

namespace core::logger::testing {

// Named after the running test: one at a time per test.
class TempDir {
 public:
  TempDir() {
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~TempDir() { std::filesystem::remove_all(path_, ignored_); }

  std::string file(const std::string& name) const { return (path_ / name).string(); }
  std::string read(const std::string& name) const {
    std::ifstream in(file(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  void write(const std::string& name, const std::string& text) const {
    std::ofstream(file(name), std::ios::binary) << text;
  }

 private:
  const std::filesystem::path path_ =
      std::filesystem::temp_directory_path() /
      ("core_logger_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
  std::error_code ignored_;
};

}  // namespace core::logger::testing

#endif  // CORE_LOGGER_TESTS_CHANNELS_TEMP_DIR_H_
