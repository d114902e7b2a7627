// tests/support/export_table.h: compares the dynamic symbols that a shared
// object defines with the list of its interface (POSIX; the DLL's export
// table is read by tests/windows).
#ifndef CORE_LOGGER_TESTS_SUPPORT_EXPORT_TABLE_H_
#define CORE_LOGGER_TESTS_SUPPORT_EXPORT_TABLE_H_

#include <cstdio>
#include <set>
#include <string>

#include <gtest/gtest.h>

namespace core::logger::testing {

// The non-empty lines of `file`, without their line ends.
inline std::set<std::string> read_lines(std::FILE* file) {
  std::set<std::string> lines;
  char buffer[4096];
  while (std::fgets(buffer, sizeof buffer, file) != nullptr) {
    std::string line(buffer);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (!line.empty()) lines.insert(line);
  }
  return lines;
}

// Expects the demangled names that `nm -D --defined-only` lists for
// `library` to be exactly the lines of `expected_list`; returns their count.
inline std::size_t expect_exports_match(const std::string& library, const std::string& expected_list) {
  std::FILE* expected_file = std::fopen(expected_list.c_str(), "r");
  EXPECT_NE(expected_file, nullptr) << expected_list;
  if (expected_file == nullptr) return 0;
  const std::set<std::string> expected = read_lines(expected_file);
  std::fclose(expected_file);

  const std::string command = "nm -D --defined-only -C '" + library + "' | cut -d' ' -f3-";
  std::FILE* nm = popen(command.c_str(), "r");
  EXPECT_NE(nm, nullptr) << command;
  if (nm == nullptr) return 0;
  const std::set<std::string> exported = read_lines(nm);
  EXPECT_EQ(pclose(nm), 0) << command;
  EXPECT_EQ(exported, expected);
  return expected.size();
}

}  // namespace core::logger::testing

#endif  // CORE_LOGGER_TESTS_SUPPORT_EXPORT_TABLE_H_
