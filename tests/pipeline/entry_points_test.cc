// The log calls' DispatchContext, the default options and the channel lists.
#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "pipeline/channel_list.h"
#include "support/library_test.h"

namespace core::logger::testing {
namespace {

const LogCategory kNet = make_category("net");

void log_plain(LogOptions options = LogOptions{}) {
  log_format(options, kNet, kInfo, "x", fmt::format_args());
}

class DispatchContextTest : public LibraryTest {};

TEST_F(DispatchContextTest, BuiltinChannelComesFirstThenRegistrationOrder) {
  log_plain();
  const DispatchContext context = recorder_.deliveries().back().context;
  ASSERT_EQ(context.channel_count, 2u);
  EXPECT_EQ(context.channels[0].name, "visual_studio");
  EXPECT_EQ(context.channels[0].user_data, nullptr);
  EXPECT_EQ(context.channels[1].name, "recording");
  ASSERT_EQ(context.raw_channel_count, 1u);
  EXPECT_EQ(context.raw_channels[0].name, "recording-raw");
}

TEST_F(DispatchContextTest, LogFormatHandsChannelsAnEmptyLocation) {
  log_plain();
  const LogLocation location = recorder_.deliveries().back().context.location;
  EXPECT_EQ(location.function.data(), nullptr);
  EXPECT_EQ(location.file.data(), nullptr);
  EXPECT_EQ(location.function.size() + location.file.size() + location.line, 0u);
}

TEST_F(DispatchContextTest, LogFormatSourceHandsOnTheLocationButDoesNotPrintIt) {
  const LogLocation location{"main", "app.cc", 12};
  log_format_source(LogOptions{}, location, kNet, kInfo, "x", fmt::format_args());
  const auto delivery = recorder_.deliveries().back();
  EXPECT_EQ(delivery.context.location.function.data(), location.function.data());
  EXPECT_EQ(delivery.context.location.file, "app.cc");
  EXPECT_EQ(delivery.context.location.line, 12u);
  EXPECT_EQ(only_text(), with_nul("{hh:mm:ss.mmm} INFO: [net] > x\n"));
}

TEST_F(DispatchContextTest, CallRecordsReachChannelsUnchanged) {
  log_format(LogOptions{}, kNet, LogLevel{"WARN", 77}, "x", fmt::format_args());
  for (const auto& delivery : recorder_.deliveries()) {
    EXPECT_EQ(delivery.category, "net");
    EXPECT_EQ(delivery.category_id, category_id("net"));
    EXPECT_EQ(delivery.level, "WARN");
    EXPECT_EQ(delivery.level_value, 77u);
  }
}

class DefaultOptionsTest : public LibraryTest {
 protected:
  DispatchContext context_of_last_call() const { return recorder_.deliveries().back().context; }
};

TEST_F(DefaultOptionsTest, StartAtZeroAndResetToZero) {
  EXPECT_EQ(default_options(), 0u);
  set_default_options(WithFunction | ChannelDefined);
  EXPECT_EQ(default_options(), WithFunction | ChannelDefined);
  reset_default_options();
  EXPECT_EQ(default_options(), 0u);
}

TEST_F(DefaultOptionsTest, CallOptionsAddToTheDefaultsButCannotClearThem) {
  set_default_options(Continuation);
  log_plain();
  EXPECT_EQ(only_text(), with_nul("{hh:mm:ss.mmm} INFO: [net] | x\n"));

  set_default_options(WithFileLine);
  log_plain(ChannelDefined);
  const DispatchContext context = context_of_last_call();
  EXPECT_FALSE(context.continuation);
  EXPECT_FALSE(context.with_function);
  EXPECT_TRUE(context.with_file_line);
  EXPECT_TRUE(context.channel_defined);
}

TEST_F(DefaultOptionsTest, OrdinaryLinesIgnoreFunctionAndFileLineFlags) {
  log_format_source(WithFunction | WithFileLine, LogLocation{"f", "file.cc", 3}, kNet, kInfo, "x",
                    fmt::format_args());
  EXPECT_EQ(only_text(), with_nul("{hh:mm:ss.mmm} INFO: [net] > x\n"));
}

class ChannelListTest : public LibraryTest {};

TEST_F(ChannelListTest, SameChannelTwiceReceivesEverythingTwice) {
  add_default_channel(recorder_.channel());
  log_plain();
  EXPECT_EQ(recorder_.texts().size(), 2u);
}

// A channel that registers another channel from inside its callback.
struct Registrar {
  RecordingChannel* late;
  int calls = 0;
  static void on_text(void* self, const DispatchContext&, const LogCategory&, const LogLevel&,
                      std::string_view) {
    auto* registrar = static_cast<Registrar*>(self);
    if (registrar->calls++ == 0) add_default_channel(registrar->late->channel());
  }
};

TEST_F(ChannelListTest, CallWalksTheListAsItStoodWhenItBegan) {
  RecordingChannel late;
  Registrar registrar{&late};
  // Enough registrations to make the list move to larger storage meanwhile.
  add_default_channel(LogChannel{"registrar", &Registrar::on_text, &registrar});
  for (int i = 0; i < 40; ++i) add_default_channel(LogChannel{"null", nullptr, nullptr});
  log_plain();
  EXPECT_TRUE(late.texts().empty());
  log_plain();
  EXPECT_EQ(late.texts().size(), 1u);
}

TEST_F(ChannelListTest, RegistrationWhileOtherThreadsLogIsSafe) {
  std::atomic<bool> stop{false};
  std::vector<std::thread> loggers;
  for (int t = 0; t < 3; ++t) {
    loggers.emplace_back([&] {
      while (!stop.load()) log_plain();
    });
  }
  std::vector<RecordingChannel> added(200);
  for (auto& channel : added) add_default_channel(channel.channel());
  stop.store(true);
  for (auto& thread : loggers) thread.join();
  log_plain();
  for (auto& channel : added) EXPECT_FALSE(channel.texts().empty());
}

TEST(ChannelListGrowthTest, GrowsByHalfOrByOneAndKeepsOrder) {
  detail::ChannelList<LogChannel> list;
  EXPECT_EQ(list.span().size, 0u);
  std::vector<int> tags(100);
  for (int i = 0; i < 100; ++i) {
    list.append(LogChannel{"c", nullptr, &tags[i]});
    const auto span = list.span();
    ASSERT_EQ(span.size, static_cast<std::uint32_t>(i + 1));
    for (int j = 0; j <= i; ++j) ASSERT_EQ(span.data[j].user_data, &tags[j]);
  }
}

}  // namespace
}  // namespace core::logger::testing
