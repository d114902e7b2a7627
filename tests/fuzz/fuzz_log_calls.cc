// The libFuzzer target: every input becomes log calls through all four
// logging entry points and a timestamp formatted with fmt::format, and every
// delivered text is checked. Run with -close_fd_mask=2: the built-in channel
// writes each text to standard error.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/log_call_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string failure = core::logger::fuzz::check_log_calls(data, size);
  if (!failure.empty()) {
    // Standard error may be closed; standard output stays with libFuzzer.
    std::fprintf(stdout, "log call check failed: %s\n", failure.c_str());
    std::fflush(stdout);
    std::abort();
  }
  return 0;
}
