// The committed corpora of the companion library's fuzz targets, replayed in
// every POSIX configuration through the same checks as the targets.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "fuzz/channel_checks.h"

namespace core::logger::fuzz {
namespace {

TEST(ChannelFuzzCorpusTest, EveryCommittedInputOfEverySurfacePassesItsCheck) {
  const std::pair<const char*, std::string (*)(const std::uint8_t*, std::size_t)> surfaces[] = {
      {"settings", &check_settings},   {"syslog_address", &check_syslog_address},
      {"json_line", &check_json_line}, {"rfc5424", &check_rfc5424},
      {"rotation", &check_rotation},
  };
  for (const auto& [surface, check] : surfaces) {
    int replayed = 0;
    for (const auto& entry :
         std::filesystem::directory_iterator(std::string(CORE_LOGGER_FUZZ_DIR "/corpus_") + surface)) {
      std::ifstream in(entry.path(), std::ios::binary);
      const std::string input((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      EXPECT_EQ(check(reinterpret_cast<const std::uint8_t*>(input.data()), input.size()), "")
          << surface << "/" << entry.path().filename().string();
      ++replayed;
    }
    EXPECT_GE(replayed, 3) << "the seed corpus of " << surface << " is missing";
  }
}

}  // namespace
}  // namespace core::logger::fuzz
