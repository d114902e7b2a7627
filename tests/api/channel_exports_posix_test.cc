// The companion library exports exactly its interface: every dynamic symbol
// it defines is listed in expected_channel_exports.txt, and nothing more.
#include <gtest/gtest.h>

#include "support/export_table.h"

namespace {

TEST(ChannelExportTableTest, SharedObjectExportsExactlyTheInterface) {
  core::logger::testing::expect_exports_match(CORE_LOGGER_CHANNELS_LIBRARY_PATH,
                                              CORE_LOGGER_CHANNELS_EXPECTED_EXPORTS);
}

}  // namespace
