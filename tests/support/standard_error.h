// tests/support/standard_error.h: file descriptor 2, where the built-in
// channel writes every text, pointed elsewhere for a scope.
#ifndef CORE_LOGGER_TESTS_SUPPORT_STANDARD_ERROR_H_
#define CORE_LOGGER_TESTS_SUPPORT_STANDARD_ERROR_H_

#include <unistd.h>

#include <cstdio>
#include <string>

namespace core::logger::testing {

// Sends standard error to a temporary file, or with `silent` to the null
// device where there is one, until destroyed; `written` reads the file.
class StandardErrorRedirect {
 public:
  explicit StandardErrorRedirect(bool silent = true)
      : saved_(dup(2)), file_(silent ? std::fopen("/dev/null", "w") : std::tmpfile()) {
    std::fflush(stderr);
    if (file_ != nullptr) dup2(fileno(file_), 2);
  }
  ~StandardErrorRedirect() {
    std::fflush(stderr);
    dup2(saved_, 2);
    close(saved_);
    if (file_ != nullptr) std::fclose(file_);
  }
  StandardErrorRedirect(const StandardErrorRedirect&) = delete;
  StandardErrorRedirect& operator=(const StandardErrorRedirect&) = delete;

  std::string written() const {
    std::string out;
    std::fflush(stderr);
    std::rewind(file_);
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file_)) > 0;) out.append(buffer, n);
    return out;
  }

 private:
  int saved_;
  std::FILE* file_;
};

}  // namespace core::logger::testing

#endif  // CORE_LOGGER_TESTS_SUPPORT_STANDARD_ERROR_H_
