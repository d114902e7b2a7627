// Replays the committed fuzzing corpus through the fuzzer's check, so that
// every input found so far is checked in every build configuration,
// sanitizers included, without clang or libFuzzer.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "fuzz/log_call_check.h"
#include "support/standard_error.h"

namespace core::logger::fuzz {
namespace {

TEST(FuzzCorpusTest, EveryCommittedInputPassesTheCheck) {
  int replayed = 0;
  for (const auto& entry : std::filesystem::directory_iterator(CORE_LOGGER_FUZZ_CORPUS)) {
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string input((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    testing::StandardErrorRedirect silenced;  // the built-in channel's copies
    EXPECT_EQ(check_log_calls(reinterpret_cast<const std::uint8_t*>(input.data()), input.size()), "")
        << entry.path().filename().string();
    ++replayed;
  }
  EXPECT_GE(replayed, 10) << "the seed corpus is missing";
}

}  // namespace
}  // namespace core::logger::fuzz
