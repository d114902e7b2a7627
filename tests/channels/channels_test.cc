// The channels, the call stack and settings: what every platform must give,
// the file channels' rotation and the lifetimes of channel objects included.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/channels.h"
#include "core/log.h"
#include "support/capture_test.h"
#include "support/recording_channel.h"

namespace core::logger {
namespace {

using testing::deliver_as_call;
using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using testing::TempDir;
using testing::with_nul;

TEST(ConsoleChannelTest, WritesTheTextWithoutItsNulColouredByLevelValueUntilClosed) {
  // Auto colours only a terminal without NO_COLOR, whose every value but the
  // empty one counts; the explicit modes decide alone.
  for (const char* no_color : {static_cast<const char*>(nullptr), "", "0", "1"}) {
    EXPECT_EQ(console_color_wanted(ColorMode::Auto, true, no_color), !no_color || !*no_color);
    EXPECT_FALSE(console_color_wanted(ColorMode::Auto, false, no_color));
    EXPECT_TRUE(console_color_wanted(ColorMode::Always, false, no_color));
    EXPECT_FALSE(console_color_wanted(ColorMode::Never, true, no_color));
  }
  const std::tuple<bool, LogLevel, std::string, std::string> cases[] = {
      {false, kInfoLevel, with_nul(std::string("a\0b\r\n", 5)), std::string("a\0b\r\n", 5)},
      {false, kInfoLevel, std::string(1, '\0'), ""},
      {true, kWarningLevel, with_nul("one\ntwo\n"), "\x1b[33mone\ntwo\x1b[0m\n"},  // reset before the last LF
      {true, kTraceLevel, with_nul("x\n"), "\x1b[2mx\x1b[0m\n"},
      {true, kDebugLevel, with_nul("x\n"), "\x1b[36mx\x1b[0m\n"},
      {true, kErrorLevel, with_nul("x\n"), "\x1b[31mx\x1b[0m\n"},
      {true, LogLevel{"CRIT", 9}, with_nul("x\n"), "\x1b[1;31mx\x1b[0m\n"},
      {true, kInfoLevel, "", "\x1b[32m\x1b[0m"},
  };
  TempDir dir;
  for (const auto& [color, level, text, written] : cases) {
    std::FILE* stream = std::fopen(dir.file("console.log").c_str(), "wb");
    ConsoleChannel console(stream, color);
    const LogChannel record = console.channel();
    record.callback(record.user_data, DispatchContext{}, kAssertCategory, level, text);
    EXPECT_EQ(dir.read("console.log"), written);
    console.close();
    console.write(level, text);
    std::fclose(stream);
    EXPECT_EQ(dir.read("console.log"), written);
    EXPECT_FALSE(console.is_open() || console.error() != 0 || console.dropped() != 0);
  }
  // A stream that refuses the text: counted, with the stream's error.
  std::FILE* read_only = std::fopen(dir.file("console.log").c_str(), "rb");
  ConsoleChannel refused(read_only, false);
  refused.write(kInfoLevel, "x\n");
  EXPECT_TRUE(refused.error() != 0 && refused.dropped() == 1) << refused.error();
  refused.close();
  std::fclose(read_only);
}

constexpr int kThreads = 4;

// Runs `body(thread)` on kThreads threads at once.
template <typename Body>
void on_threads(const Body& body) {
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(body, t);
  for (std::thread& thread : threads) thread.join();
}

using CaptureChannelTest = testing::CaptureTest;

void expect_header_time(const CapturedText& text) {
  EXPECT_EQ(text.text.substr(0, 14), fmt::format("{{{:T}}}", text.timestamp)) << text.text;
}

// The copies of the records' fields are checked by the macros' tests.
TEST_F(CaptureChannelTest, TextsAndLinesOfEveryThreadCarryTheTimestampOfTheirCallGivenTheRawChannel) {
  CaptureChannel texts_only;
  add_default_channel(texts_only.channel());
  CORE_LOG_WARN(make_category("capture.lines"), "a {}\nb\n", 1);
  ASSERT_EQ(texts().size(), 1u);
  const CapturedText text = texts()[0];
  expect_header_time(text);
  const std::string pieces[] = {"a 1\n", "b\n", ""};
  ASSERT_EQ(lines().size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    const CapturedLine line = lines()[i];
    EXPECT_EQ(std::tie(line.line, line.category, line.level, line.timestamp.ticks),
              std::make_tuple(pieces[i], "capture.lines", "WARN", text.timestamp.ticks));
  }
  ASSERT_EQ(texts_only.texts().size(), 1u);
  EXPECT_TRUE(texts_only.texts()[0].timestamp.ticks == 0 && texts_only.lines().empty()) << "untimed";
  testing::shared_capture().clear();
  EXPECT_TRUE(texts().empty() && lines().empty() && testing::shared_capture().text_strings().empty());
  on_threads([](int t) {
    for (int i = 0; i < 200; ++i) CORE_LOG_INFO(make_category("capture.mt"), "{} {}\nend", t, i);
  });
  ASSERT_EQ(texts().size(), kThreads * 200u);
  EXPECT_EQ(lines().size(), 2u * kThreads * 200);
  for (const CapturedText& each : texts()) expect_header_time(each);
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

[[gnu::noinline]] std::string capture_at_depth(int depth, std::uint32_t skip, std::uint32_t max) {
  if (depth == 0) return capture_call_stack(skip, max);
  std::string stack = capture_at_depth(depth - 1, skip, max);
  stack.push_back(' ');  // keeps the recursion from becoming a loop
  stack.pop_back();
  return stack;
}

using CallStackTest = testing::CaptureTest;

TEST_F(CallStackTest, NumberedLinesBoundedAndSkippedFromTheInnermostFrameOnlyForAFailingAssertion) {
  const std::string stack = capture_at_depth(10, 0, 6);
  EXPECT_THAT(stack, EndsWith("\n"));
  const std::vector<std::string> all = lines_of(stack);
  const std::vector<std::string> skipped = lines_of(capture_at_depth(10, 2, 4));
  ASSERT_EQ(all.size(), 6u);
  ASSERT_EQ(skipped.size(), 4u);
  for (std::size_t i = 0; i < all.size(); ++i) {
    EXPECT_EQ(all[i].rfind("#" + std::to_string(i) + " ", 0), 0u) << all[i];
    EXPECT_GT(all[i].size(), 3u) << "frame without description";
    EXPECT_TRUE(i >= 4 || skipped[i].substr(3) == all[i + 2].substr(3)) << "the same frames, renumbered";
  }
  EXPECT_EQ(lines_of(capture_at_depth(20, 0, 1)).size(), 1u);
  EXPECT_EQ(capture_call_stack(0, 0) + capture_call_stack(100000, 10) + capture_call_stack(~0u, ~0u), "");
  const std::size_t deep = lines_of(capture_at_depth(300, 0, ~0u)).size();
  EXPECT_TRUE(deep >= 32 && deep <= 256) << deep;
  EXPECT_TRUE(CORE_LOG_ASSERT_WITH_STACK(1 < 2) && texts().empty());
  EXPECT_FALSE(CORE_LOG_ASSERT_WITH_STACK_MSG(2 < 1, "with {}", "stack"));
  ASSERT_EQ(texts().size(), 1u);
  EXPECT_THAT(texts()[0].text,
              HasSubstr(std::string(54, '>') + " callstack beg " + std::string(54, '>') + "\n#0 "));
}

using SettingsTest = testing::CaptureTest;

TEST_F(SettingsTest, CategoriesHoldTheirSettingsFromTheirFirstUse) {
  constexpr LogCategory kKnown = make_category("settings.known");
  ASSERT_TRUE(can_dispatch_log(kKnown, MessageVerbosity::Detailed));
  declare_category("settings.was_off", false);
  can_dispatch_log(make_category("settings.follow", true, MessageVerbosity::Brief), MessageVerbosity::Brief);
  // A text that dies with this statement: the settings keep copies of names.
  const SettingsResult result = apply_settings(std::string(
      " verbosity = normal ,settings.off=off, settings.brief=brief,settings.follow = follow,"
      "settings.on=on,settings.known=off,settings.was_off=normal,,bad, =on,settings.x=loud,verbosity=on,"));
  EXPECT_THAT(result.errors, ElementsAre(HasSubstr("bad"), HasSubstr("no name"), HasSubstr("loud"),
                                         HasSubstr("verbosity \"on\"")));
  EXPECT_EQ(runtime_verbosity(), MessageVerbosity::Normal);
  CORE_LOG_ERROR(make_category("settings.off"), "the first use, switched off");
  EXPECT_TRUE(texts().empty());
  // Categories as (Brief, Normal, Detailed) pass; the records alone would
  // declare them enabled, at Detailed or Brief.
  const std::pair<LogCategory, std::tuple<bool, bool, bool>> expected[] = {
      {make_category("settings.off"), {false, false, false}},
      {make_category("settings.brief"), {true, false, false}},
      {make_category("settings.follow", true, MessageVerbosity::Brief), {true, true, false}},
      {make_category("settings.on"), {true, true, false}},
      {kKnown, {false, false, false}},
      {make_category("settings.was_off"), {true, true, false}},
  };
  for (const auto& [category, passes] : expected) {
    EXPECT_EQ(std::make_tuple(can_dispatch_log(category, MessageVerbosity::Brief),
                              can_dispatch_log(category, MessageVerbosity::Normal),
                              can_dispatch_log(category, MessageVerbosity::Detailed)),
              passes)
        << category.key.name;
  }
  std::string names;
  foreach_category(
      [](void* out, CategoryInfo info) { static_cast<std::string*>(out)->append(info.key.name); }, &names);
  EXPECT_THAT(names, HasSubstr("settings.brief"));
  EXPECT_TRUE(apply_settings("").ok() && apply_settings_from_environment("CORE_LOGGER_TEST_UNSET").ok() &&
              apply_settings_from_environment(nullptr).ok());
  static char kVariable[] = "CORE_LOG=settings.env=off";  // nothing else reads it
  putenv(kVariable);
  EXPECT_TRUE(apply_settings_from_environment().ok());
  EXPECT_FALSE(can_dispatch_log(make_category("settings.env"), MessageVerbosity::Brief));
}

// Files, several threads and lifetimes.

TEST(FileChannelTest, AppendsEveryByteButTheClosingNulWhenItsPolicySays) {
  TempDir dir;
  std::ofstream(dir.file("app.log"), std::ios::binary) << "earlier run\n";
  FileChannel every(dir.file("app.log"));  // each text before the call returns
  every.write(kInfoLevel, with_nul("first\n"));
  every.write(kInfoLevel, with_nul(std::string("a\0b\r\n", 5)));
  every.write(kInfoLevel, "no terminator");
  EXPECT_EQ(dir.read("app.log"), std::string("earlier run\nfirst\na\0b\r\nno terminator", 36));

  FileChannel full(dir.file("full.log"), FileChannelOptions{FlushPolicy::WhenFull, 3, 16});
  FileChannel level(dir.file("level.log"), FileChannelOptions{FlushPolicy::AtLevel, /*warning*/ 3, 1024});
  full.write(kErrorLevel, with_nul("0123456\n"));
  full.write(kErrorLevel, with_nul("abcdefg\n"));  // 16 bytes: still held
  const auto both = [&] { return dir.read("full.log") + "|" + dir.read("level.log"); };
  level.write(kInfoLevel, with_nul("info\n"));
  EXPECT_EQ(both(), "|");
  full.write(kErrorLevel, with_nul("full\n"));  // the buffer goes out first
  level.write(kWarningLevel, with_nul("warn\n"));
  level.write(kDebugLevel, with_nul("debug\n"));
  EXPECT_EQ(both(), "0123456\nabcdefg\n|info\nwarn\n");
  const std::string large(100, 'x');  // larger than the buffer: written at once, in its place
  full.write(kInfoLevel, with_nul(large));
  EXPECT_EQ(dir.read("full.log"), "0123456\nabcdefg\nfull\n" + large);
  full.close();
  level.close();
  full.write(kErrorLevel, with_nul("dropped\n"));
  EXPECT_EQ(both(), "0123456\nabcdefg\nfull\n" + large + "|info\nwarn\ndebug\n");
}

TEST(RotatingFileChannelTest,
     OlderFilesTakeAnIndexBeforeTheExtensionAsFarAsTheyExistAndFailedRotationsAreTriedAgain) {
  for (const std::uint32_t max_files : {2u, 1u}) {
    const std::string stem = max_files == 2 ? ".log" : "";
    TempDir dir;
    const auto name = [&](std::uint32_t index) {
      return index == 0 ? "app" + stem : fmt::format("app.{}{}", index, stem);
    };
    const auto files = [&] {  // the oldest first
      std::string all;
      for (std::uint32_t index = max_files + 1; index-- > 0;) all += dir.read(name(index)) + "|";
      return all;
    };
    RotatingFileChannel channel(dir.file(name(0)),
                                RotatingFileOptions{{}, 3, 0, /*max_bytes=*/10, max_files});
    const auto write = [&](const char* text) { channel.write(kInfoLevel, with_nul(text)); };
    // A text too long for any file stays in the empty one; each later text
    // would take a non-empty file past 10 bytes, and the oldest beyond
    // max_files older files is dropped.
    write("a text of 20 bytes.\n");
    write("");  // nothing to write: no reason to rotate
    EXPECT_FALSE(std::filesystem::exists(dir.file(name(1))));
    for (const char* text : {"text2\n", "text3\n", "text4\n"}) write(text);
    EXPECT_FALSE(std::filesystem::exists(dir.file(name(max_files + 1))));
    EXPECT_EQ(files(), max_files == 2 ? "text2\n|text3\n|text4\n|" : "text3\n|text4\n|");
    // A directory where the oldest file goes: the rotation cannot replace it,
    // whether it moves an older file (two kept) or the current one (one kept).
    std::filesystem::remove(dir.file(name(max_files)));
    std::filesystem::create_directories(dir.file(name(max_files) + "/blocker"));
    write("text5\n");
    EXPECT_NE(channel.error(), 0);
    std::filesystem::remove_all(dir.file(name(max_files)));
    write("text6\n");
    EXPECT_EQ(files(), (max_files == 2 ? "text3\n|" : "") + std::string("text4\ntext5\n|text6\n|"));
    // logrotate's way: move the file, then ask the channel to reopen.
    std::filesystem::rename(dir.file(name(0)), dir.file("moved"));
    channel.reopen();
    write("7\n");
    EXPECT_EQ(dir.read("moved") + "|" + dir.read(name(0)), "text6\n|7\n");
    // Texts that take the file exactly to its limit stay together, written
    // at once (the second without the lock) or from a buffer.
    for (const FlushPolicy flush : {FlushPolicy::EveryText, FlushPolicy::WhenFull}) {
      RotatingFileChannel exact(dir.file("exact.log"),
                                RotatingFileOptions{flush, 3, 64, /*max_bytes=*/10, 1});
      for (const char* text : {"1234\n", "5678\n"}) exact.write(kInfoLevel, text);
      exact.close();
      EXPECT_EQ(dir.read("exact.log"), "1234\n5678\n") << static_cast<int>(flush);
      std::filesystem::remove(dir.file("exact.log"));
    }
  }
  // A gap in the numbering ends the renaming: the files beyond it stay until
  // rotations reach them.
  TempDir dir;
  std::ofstream(dir.file("gap.2.log"), std::ios::binary) << "old\n";
  RotatingFileChannel gap(dir.file("gap.log"), RotatingFileOptions{{}, 3, 0, /*max_bytes=*/4, 3});
  gap.write(kInfoLevel, "a1\n");
  gap.write(kInfoLevel, "a2\n");
  EXPECT_EQ(dir.read("gap.2.log") + "|" + dir.read("gap.1.log"), "old\n|a1\n");
  EXPECT_FALSE(std::filesystem::exists(dir.file("gap.3.log")));
  gap.write(kInfoLevel, "a3\n");
  EXPECT_EQ(dir.read("gap.3.log") + dir.read("gap.2.log") + dir.read("gap.1.log") + dir.read("gap.log"),
            "old\na1\na2\na3\n");
}

constexpr std::uint64_t kMidnight = 634'294'368'000'000'000;  // 2011-01-01 00:00 local

// Text `i` of `thread`, of the day before kMidnight or after, with a body
// long enough that torn writes would show.
std::string text_of(int thread, int i, bool after) {
  return fmt::format("t{} i{} {} {}\n", thread, i, after ? "2011-01-01" : "2010-12-31",
                     std::string(20 + (i * 7 + thread) % 60, 'a' + thread));
}

// Checks the lines of `contents`, the files of a channel from the oldest:
// each text whole, in its thread's order, of the date of the date line
// before it (`dated`), else of `date`; counts each in `seen`.
void expect_on_their_side(const std::string& contents, bool dated, std::string date,
                          std::map<std::pair<int, int>, int>& seen) {
  std::istringstream in(contents);
  std::map<int, int> last;
  for (std::string line; std::getline(in, line);) {
    if (dated && line.size() == 20 && line.rfind("---- ", 0) == 0) {
      date = line.substr(5, 10);
      continue;
    }
    int t = -1;
    int i = -1;
    std::sscanf(line.c_str(), "t%d i%d", &t, &i);
    ASSERT_EQ(line + "\n", text_of(t, i, line.find(" 2011-01-01 ") != std::string::npos)) << "torn";
    EXPECT_EQ(line.substr(line.find(' ', line.find(' ') + 1) + 1, 10), date) << line;
    EXPECT_GT(i, last.count(t) != 0 ? last[t] : -1) << line;
    last[t] = i;
    ++seen[{t, i}];
  }
}

TEST(FileChannelThreadsTest, EightThreadsAcrossRotationsAndMidnightPutEveryTextOnceOnItsSideOfTheDateLine) {
  TempDir dir;
  constexpr int kTexts = 300;
  constexpr std::uint32_t kMaxFiles = 1000;
  // Written outside the lock: each text at once, each buffer when full, each
  // text of the day's file at once by way of a buffer.
  RotatingFileChannel every(dir.file("every.log"),
                            RotatingFileOptions{FlushPolicy::EveryText, 3, 0, /*max_bytes=*/3000, kMaxFiles});
  RotatingFileChannel full(dir.file("full.log"),
                           RotatingFileOptions{FlushPolicy::WhenFull, 3, 700, /*max_bytes=*/3000, kMaxFiles});
  RotatingFileChannel daily(dir.file("daily.log"),
                            RotatingFileOptions{FlushPolicy::AtLevel, 2, 700, 0, 5, /*daily=*/true});
  std::atomic<int> running{8};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      // The days alternate in runs in every thread: the calls cross midnight
      // both ways, and a run's texts go without the lock; 10 ms apart, so
      // that the files are checked (once a second) while others write.
      for (int i = 0; i < kTexts; ++i) {
        const bool after = (i / 20 + t) % 2 == 1;
        const LogTimestamp time{kMidnight + (after ? 1 : -1) * (1 + i) * 100000};
        for (const ChannelObject* channel :
             {static_cast<const ChannelObject*>(&every), static_cast<const ChannelObject*>(&full),
              static_cast<const ChannelObject*>(&daily)})
          deliver_as_call(*channel, time, text_of(t, i, after));
      }
      --running;
    });
  }
  while (running != 0) every.reopen(), full.flush();  // neither loses nor moves a text
  for (std::thread& thread : threads) thread.join();
  for (ChannelObject* channel : {static_cast<ChannelObject*>(&every), static_cast<ChannelObject*>(&full),
                                 static_cast<ChannelObject*>(&daily)})
    channel->close();
  std::map<std::pair<int, int>, int> seen;
  for (const char* name : {"every", "full"}) {
    std::string rotated;
    for (std::uint32_t index = kMaxFiles; index > 0; --index) {
      const std::string file = dir.read(fmt::format("{}.{}.log", name, index));
      EXPECT_LE(file.size(), 3000u) << name << " " << index;
      rotated += file;
    }
    EXPECT_FALSE(rotated.empty()) << name;
    expect_on_their_side(rotated + dir.read(fmt::format("{}.log", name)), true, "", seen);
  }
  for (const char* date : {"2010-12-31", "2011-01-01"})
    expect_on_their_side(dir.read(fmt::format("daily_{}.log", date)), false, date, seen);
  EXPECT_EQ(seen.size(), 8u * kTexts);
  for (const auto& [text, count] : seen) EXPECT_EQ(count, 3) << text.first << " " << text.second;
}

TEST(FileChannelTest, TheTimeOfTheCallDecidesTheDateLineAndTheDaysFile) {
  TempDir dir;
  FileChannel file(dir.file("file.log"));
  RotatingFileChannel daily(dir.file("daily.log"), RotatingFileOptions{{}, 3, 0, 0, 5, /*daily=*/true});
  // The last call took its time before the second, and reaches the files
  // after it.
  const std::pair<std::uint64_t, const char*> calls[] = {
      {kMidnight - 1, "a\n"}, {kMidnight, "b\n"}, {kMidnight - 2, "c\n"}};
  for (const auto& [ticks, text] : calls) {
    for (const ChannelObject* channel :
         {static_cast<ChannelObject*>(&file), static_cast<ChannelObject*>(&daily)})
      deliver_as_call(*channel, LogTimestamp{ticks}, text);
  }
  EXPECT_EQ(dir.read("file.log"),
            "---- 2010-12-31 ----\na\n---- 2011-01-01 ----\nb\n---- 2010-12-31 ----\nc\n");
  EXPECT_EQ(dir.read("daily_2010-12-31.log") + "|" + dir.read("daily_2011-01-01.log"), "a\nc\n|b\n");
}

using ChannelLifetimeTest = testing::CaptureTest;

TEST_F(ChannelLifetimeTest, ObjectsRegisterOnceAndMoveWithTheirRecords) {
  TempDir dir;
  constexpr LogCategory kMoves = make_category("moves");
  FileChannel first(dir.file("first.log"));
  FileChannel second(dir.file("second.log"));
  add_default_channel(first);
  add_default_channel(first);
  add_default_channel(second);
  FileChannel moved = std::move(first);
  add_default_channel(first);
  add_default_channel(moved);
  first.write(kInfoLevel, "nowhere\n");
  first.flush();
  first.close();
  EXPECT_TRUE(!first.is_open() && first.error() == 0 && first.dropped() == 0 &&
              first.channel().callback == nullptr && first.raw_channel().callback == nullptr);
  CORE_LOG_INFO(kMoves, "to both");
  second = std::move(moved);  // closes what `second` held
  CORE_LOG_INFO(kMoves, "to the first file only");
  ASSERT_EQ(texts().size(), 2u);
  EXPECT_EQ(dir.read("first.log"), texts()[0].text + texts()[1].text);
  EXPECT_EQ(dir.read("second.log"), texts()[0].text);
  EXPECT_TRUE(second.is_open());
}

TEST_F(ChannelLifetimeTest, RegisteredChannelsMayDieBeforeTheLastLogCall) {
  TempDir dir;
  std::FILE* stream = std::fopen(dir.file("console.log").c_str(), "wb");
  ASSERT_NE(stream, nullptr);
  constexpr LogCategory kLifetime = make_category("lifetime");
  {
    FileChannel file(dir.file("file.log"));
    RotatingFileChannel rotating_file(dir.file("rotating.log"));
    ConsoleChannel console(stream, false);
    CaptureChannel capture;
    for (const LogChannel& record :
         {file.channel(), rotating_file.channel(), console.channel(), capture.channel()}) {
      add_default_channel(record);
    }
    add_default_channel(file.raw_channel());  // ignored by the text format
    add_default_channel(capture.raw_channel());
    CORE_LOG_INFO(kLifetime, "while they live");
  }
  std::fclose(stream);  // the console's stream may go with its channel
  CORE_LOG_INFO(kLifetime, "after");
  ASSERT_EQ(texts().size(), 2u);
  for (const char* name : {"file.log", "rotating.log", "console.log"})
    EXPECT_EQ(dir.read(name), texts()[0].text);
}

}  // namespace
}  // namespace core::logger
