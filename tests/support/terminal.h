// tests/support/terminal.h: a pseudo-terminal or a pipe to point a stream
// at, and what reached its other end, byte for byte. POSIX only.
#ifndef CORE_LOGGER_TESTS_SUPPORT_TERMINAL_H_
#define CORE_LOGGER_TESTS_SUPPORT_TERMINAL_H_

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <string_view>

namespace core::logger::testing {

// A pseudo-terminal in raw mode, which hands every byte over as it is (no
// "\r\n" for a line feed), or a pipe, written at `write_end()`.
class Endpoint {
 public:
  explicit Endpoint(bool terminal) {
    if (terminal) {
      read_ = ::posix_openpt(O_RDWR | O_NOCTTY);
      if (read_ < 0 || ::grantpt(read_) != 0 || ::unlockpt(read_) != 0) return;
      write_ = ::open(::ptsname(read_), O_RDWR | O_NOCTTY);
      termios mode{};
      if (write_ < 0 || ::tcgetattr(write_, &mode) != 0) return;
      ::cfmakeraw(&mode);
      ::tcsetattr(write_, TCSANOW, &mode);
    } else {
      int ends[2];
      if (::pipe(ends) != 0) return;
      read_ = ends[0], write_ = ends[1];
    }
  }
  ~Endpoint() { ::close(read_), ::close(write_); }
  Endpoint(const Endpoint&) = delete;
  Endpoint& operator=(const Endpoint&) = delete;
  bool ok() const { return read_ >= 0 && write_ >= 0; }
  int write_end() const { return write_; }

  // What arrived before `marker`, which the caller writes after the texts
  // (so that a test of nothing written needs no time-out).
  std::string take_until(std::string_view marker) {
    std::string got;
    pollfd ready{read_, POLLIN, 0};
    while (got.find(marker) == std::string::npos && ::poll(&ready, 1, 5000) == 1) {
      char buffer[4096];
      const ssize_t piece = ::read(read_, buffer, sizeof buffer);
      if (piece <= 0) break;
      got.append(buffer, static_cast<std::size_t>(piece));
    }
    return got.substr(0, got.find(marker));
  }

 private:
  int read_ = -1;
  int write_ = -1;
};

}  // namespace core::logger::testing

#endif  // CORE_LOGGER_TESTS_SUPPORT_TERMINAL_H_
