// What the table of composer cases cannot show: PrefixWidth under racing
// raises, and a channel list that moves while a call walks it.
#include <gtest/gtest.h>

#include "core/log.h"
#include "pipeline/channel_list.h"
#include "pipeline/text_composer.h"
#include "support/library_reset.h"
#include "support/recording_channel.h"

namespace core::logger::testing {
namespace {

TEST(PrefixWidthTest, IsNeverLoweredByACallThatReadItEarlier) {
  detail::g_prefix_width.store(300);
  detail::raise_prefix_width(/*seen=*/0, 200);  // another call raised it meanwhile
  EXPECT_EQ(detail::g_prefix_width.load(), 300u);
  detail::raise_prefix_width(/*seen=*/0, 400);
  EXPECT_EQ(detail::g_prefix_width.load(), 400u);
  detail::reset_for_testing();
}

RecordingChannel g_after, g_late;
int g_registered = 0;

// Registers `g_late` from inside a call until the list has moved to larger
// storage, in the first call only: the call must go on walking the list it
// began with.
void register_until_moved(void*, const DispatchContext&, const LogCategory&, const LogLevel&,
                          std::string_view) {
  if (g_registered > 0) return;
  for (const LogChannel* before = detail::ordinary_channels().span().data;
       detail::ordinary_channels().span().data == before; ++g_registered) {
    add_default_channel(g_late.channel());
  }
}

TEST(ChannelListTest, CallWalksTheListAsItStoodWhenItBegan) {
  detail::reset_for_testing();
  add_default_channel(LogChannel{"registrar", &register_until_moved, nullptr});
  add_default_channel(g_after.channel());
  log_format(LogOptions{}, make_category("net"), kInfoLevel, "first", {});
  ASSERT_GT(g_registered, 0);
  EXPECT_TRUE(g_after.texts().size() == 1 && g_late.texts().empty());

  log_format(LogOptions{}, make_category("net"), kInfoLevel, "second", {});
  const auto span = detail::ordinary_channels().span();
  EXPECT_EQ(g_late.texts().size(), span.size - 3u);
  EXPECT_EQ(span.data[0].name, "visual_studio");
  EXPECT_EQ(span.data[2].user_data, &g_after);
  for (std::uint32_t i = 3; i < span.size; ++i) EXPECT_EQ(span.data[i].user_data, &g_late);
  detail::reset_for_testing();
}

}  // namespace
}  // namespace core::logger::testing
