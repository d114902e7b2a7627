// A libFuzzer target, built once per check (CORE_LOGGER_FUZZ_CHECK names it):
// the log calls (log_call_check.h) and each input surface of the channels
// library (channel_checks.h). Run the log calls with -close_fd_mask=2: the
// built-in channel writes each text to standard error.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace core::logger::fuzz {
std::string CORE_LOGGER_FUZZ_CHECK(const std::uint8_t* data, std::size_t size);
}  // namespace core::logger::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string failure = core::logger::fuzz::CORE_LOGGER_FUZZ_CHECK(data, size);
  if (!failure.empty()) {
    // Standard error may be closed; standard output stays with libFuzzer.
    std::fprintf(stdout, "check failed: %s\n", failure.c_str());
    std::fflush(stdout);
    std::abort();
  }
  return 0;
}
