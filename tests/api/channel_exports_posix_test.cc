// The companion library exports exactly its interface: every dynamic symbol
// it defines is listed in expected_channel_exports.txt, and nothing more.
#include <cstdio>
#include <set>
#include <string>

#include <gtest/gtest.h>

namespace {

std::set<std::string> read_lines(std::FILE* file) {
  std::set<std::string> lines;
  char buffer[4096];
  while (std::fgets(buffer, sizeof buffer, file) != nullptr) {
    std::string line(buffer);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (!line.empty()) lines.insert(line);
  }
  return lines;
}

TEST(ChannelExportTableTest, SharedObjectExportsExactlyTheInterface) {
  std::FILE* expected_file = std::fopen(CORE_LOGGER_CHANNELS_EXPECTED_EXPORTS, "r");
  ASSERT_NE(expected_file, nullptr);
  const std::set<std::string> expected = read_lines(expected_file);
  std::fclose(expected_file);

  const std::string command = std::string("nm -D --defined-only -C '") + CORE_LOGGER_CHANNELS_LIBRARY_PATH +
                              "' | cut -d' ' -f3-";
  std::FILE* nm = popen(command.c_str(), "r");
  ASSERT_NE(nm, nullptr);
  const std::set<std::string> exported = read_lines(nm);
  ASSERT_EQ(pclose(nm), 0);
  EXPECT_EQ(exported, expected);
}

}  // namespace
