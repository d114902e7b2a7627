// tests/support/standard_error.h: points file descriptor 2, where the
// built-in channel writes every text, somewhere else for a scope.
#ifndef CORE_LOGGER_TESTS_SUPPORT_STANDARD_ERROR_H_
#define CORE_LOGGER_TESTS_SUPPORT_STANDARD_ERROR_H_

#include <unistd.h>

#include <cstdio>
#include <string>

namespace core::logger::testing {

// Sends standard error to `file`, or to the null device where there is one,
// until destroyed: tests that log megabytes keep their report readable.
class StandardErrorRedirect {
 public:
  explicit StandardErrorRedirect(std::FILE* file = nullptr) : saved_(dup(2)) {
    std::fflush(stderr);
    if (file != nullptr) {
      dup2(fileno(file), 2);
    } else if (std::FILE* null = std::fopen("/dev/null", "w")) {
      dup2(fileno(null), 2);
      std::fclose(null);
    }
  }
  ~StandardErrorRedirect() {
    std::fflush(stderr);
    dup2(saved_, 2);
    close(saved_);
  }
  StandardErrorRedirect(const StandardErrorRedirect&) = delete;
  StandardErrorRedirect& operator=(const StandardErrorRedirect&) = delete;

 private:
  int saved_;
};

// Collects what is written to standard error while it lives.
class StandardErrorCapture {
 public:
  StandardErrorCapture() : file_(std::tmpfile()), redirect_(file_) {}
  ~StandardErrorCapture() { std::fclose(file_); }

  std::string written() const {
    std::string out;
    std::fflush(file_);
    std::rewind(file_);
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file_)) > 0;) out.append(buffer, n);
    return out;
  }

 private:
  std::FILE* file_;
  StandardErrorRedirect redirect_;
};

}  // namespace core::logger::testing

#endif  // CORE_LOGGER_TESTS_SUPPORT_STANDARD_ERROR_H_
