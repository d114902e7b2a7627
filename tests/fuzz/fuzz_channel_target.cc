// A libFuzzer target of the companion library: built once per check of
// channel_checks.h, named by CORE_LOGGER_FUZZ_CHECK.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/channel_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string failure = core::logger::fuzz::CORE_LOGGER_FUZZ_CHECK(data, size);
  if (!failure.empty()) {
    std::fprintf(stdout, "channel check failed: %s\n", failure.c_str());
    std::fflush(stdout);
    std::abort();
  }
  return 0;
}
