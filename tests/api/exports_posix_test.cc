// The shared library exports exactly the interface: every dynamic symbol it
// defines is listed in expected_exports.txt, and nothing more.
#include <gtest/gtest.h>

#include "support/export_table.h"

namespace {

TEST(ExportTableTest, SharedObjectExportsExactlyTheInterface) {
  // 24 functions and the timestamp formatter's format.
  EXPECT_EQ(
      core::logger::testing::expect_exports_match(CORE_LOGGER_LIBRARY_PATH, CORE_LOGGER_EXPECTED_EXPORTS),
      25u);
}

}  // namespace
