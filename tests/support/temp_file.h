// tests/support/temp_file.h: files under the system's temporary directory
// that remove themselves, and reading them back. Portable (runs under Wine).
#ifndef CORE_LOGGER_TESTS_SUPPORT_TEMP_FILE_H_
#define CORE_LOGGER_TESTS_SUPPORT_TEMP_FILE_H_

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <system_error>

#include <gtest/gtest.h>

namespace core::logger::testing {

class TempFile {
 public:
  explicit TempFile(std::string_view stem) {
    static std::atomic<int> counter{0};
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    path_ = (std::filesystem::temp_directory_path() /
             ("core_logger_" + std::string(stem) + "_" + (test != nullptr ? test->name() : "") + "_" +
              std::to_string(counter++) + ".log"))
                .string();
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
  }
  ~TempFile() {
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  const std::string& path() const { return path_; }

  std::string contents() const {
    std::ifstream in(path_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  void write(std::string_view text) const {
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
  }

 private:
  std::string path_;
};

}  // namespace core::logger::testing

#endif  // CORE_LOGGER_TESTS_SUPPORT_TEMP_FILE_H_
