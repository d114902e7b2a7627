// The file channel: appending, flush policies, failures and several threads.
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/channels.h"
#include "core/log.h"
#include "support/capture_test.h"
#include "support/recording_channel.h"
#include "support/temp_file.h"

namespace core::logger {
namespace {

using testing::TempFile;
using testing::with_nul;

FileChannelOptions policy(FlushPolicy flush, std::size_t buffer_size = 64 * 1024) {
  FileChannelOptions options;
  options.flush = flush;
  options.buffer_size = buffer_size;
  return options;
}

// -----------------------------------------------------------------------------
// Opening and appending
// -----------------------------------------------------------------------------

TEST(FileChannelTest, AppendsToWhatTheFileHeld) {
  TempFile file("append");
  file.write("earlier run\n");
  {
    FileChannel channel(file.path());
    ASSERT_TRUE(channel.is_open());
    channel.write(kInfoLevel, with_nul("first\n"));
    channel.write(kInfoLevel, with_nul("second\nthird\n"));
    EXPECT_EQ(channel.error(), 0);
  }
  EXPECT_EQ(file.contents(), "earlier run\nfirst\nsecond\nthird\n");
}

TEST(FileChannelTest, CreatesAMissingFile) {
  TempFile file("create");
  FileChannel channel(file.path());
  EXPECT_TRUE(channel.is_open());
  channel.write(kInfoLevel, with_nul("new\n"));
  EXPECT_EQ(file.contents(), "new\n");
}

TEST(FileChannelTest, KeepsEveryByteButTheClosingNul) {
  TempFile file("bytes");
  FileChannel channel(file.path());
  channel.write(kInfoLevel, with_nul(std::string("a\0b\r\n", 5)));
  channel.write(kInfoLevel, "no terminator");
  EXPECT_EQ(file.contents(), std::string("a\0b\r\nno terminator", 18));
}

TEST(FileChannelTest, UnopenableFileReportsAndDropsTexts) {
  TempFile directory("missing_directory");
  FileChannel channel(directory.path() + "/no/such/file.log");
  EXPECT_FALSE(channel.is_open());
  EXPECT_NE(channel.error(), 0);
  channel.write(kErrorLevel, with_nul("lost\n"));  // must not crash
  channel.flush();
  channel.close();
  EXPECT_FALSE(channel.is_open());
}

TEST(FileChannelTest, CloseFlushesAndDropsLaterTexts) {
  TempFile file("close");
  FileChannel channel(file.path(), policy(FlushPolicy::WhenFull));
  channel.write(kInfoLevel, with_nul("kept\n"));
  channel.close();
  EXPECT_FALSE(channel.is_open());
  channel.write(kInfoLevel, with_nul("dropped\n"));
  EXPECT_EQ(file.contents(), "kept\n");
}

// -----------------------------------------------------------------------------
// Flush policies
// -----------------------------------------------------------------------------

TEST(FileChannelFlushTest, EveryTextIsInTheFileWhenWriteReturns) {
  TempFile file("every");
  FileChannel channel(file.path(), policy(FlushPolicy::EveryText));
  channel.write(kTraceLevel, with_nul("one\n"));
  EXPECT_EQ(file.contents(), "one\n");
}

TEST(FileChannelFlushTest, WhenFullHoldsTextsUntilTheBufferWouldOverflow) {
  TempFile file("full");
  FileChannel channel(file.path(), policy(FlushPolicy::WhenFull, 16));
  channel.write(kErrorLevel, with_nul("0123456\n"));  // 8 bytes
  channel.write(kErrorLevel, with_nul("abcdefg\n"));  // 16: still fits
  EXPECT_EQ(file.contents(), "");
  channel.write(kErrorLevel, with_nul("overflow\n"));  // the buffer goes out first
  EXPECT_EQ(file.contents(), "0123456\nabcdefg\n");
  channel.flush();
  EXPECT_EQ(file.contents(), "0123456\nabcdefg\noverflow\n");
}

TEST(FileChannelFlushTest, AtLevelFlushesFromTheFlushLevelUp) {
  TempFile file("level");
  FileChannelOptions options = policy(FlushPolicy::AtLevel);
  options.flush_level = kWarningLevel.value;
  FileChannel channel(file.path(), options);
  channel.write(kInfoLevel, with_nul("info\n"));
  EXPECT_EQ(file.contents(), "");
  channel.write(kWarningLevel, with_nul("warning\n"));
  EXPECT_EQ(file.contents(), "info\nwarning\n");
  channel.write(kDebugLevel, with_nul("debug\n"));
  channel.write(kErrorLevel, with_nul("error\n"));
  EXPECT_EQ(file.contents(), "info\nwarning\ndebug\nerror\n");
}

TEST(FileChannelFlushTest, TextLargerThanTheBufferKeepsItsPlace) {
  TempFile file("large");
  FileChannel channel(file.path(), policy(FlushPolicy::WhenFull, 8));
  channel.write(kInfoLevel, with_nul("a\n"));
  const std::string large(100, 'x');
  channel.write(kInfoLevel, with_nul(large + "\n"));
  EXPECT_EQ(file.contents(), "a\n" + large + "\n");
}

TEST(FileChannelFlushTest, DestructionWritesWhatIsBuffered) {
  TempFile file("destroy");
  {
    FileChannel channel(file.path(), policy(FlushPolicy::WhenFull));
    channel.write(kInfoLevel, with_nul("buffered\n"));
  }
  EXPECT_EQ(file.contents(), "buffered\n");
}

// -----------------------------------------------------------------------------
// Several threads
// -----------------------------------------------------------------------------

// Every line holds its thread and number and a body long enough that torn
// writes would show; buffered or not, every line must arrive whole.
void expect_whole_lines_from_threads(FlushPolicy flush, std::size_t buffer_size) {
  constexpr int kThreads = 4;
  constexpr int kTexts = 400;
  TempFile file("threads");
  {
    FileChannel channel(file.path(), policy(flush, buffer_size));
    const LogChannel record = channel.channel();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&record, t] {
        DispatchContext context{};
        for (int i = 0; i < kTexts; ++i) {
          const std::string text = fmt::format("thread {} text {} {}\nsecond line {}\n", t, i,
                                               std::string(100 + i % 50, 'a' + t), i);
          record.callback(record.user_data, context, kAssertCategory, kInfoLevel, with_nul(text));
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
  }
  std::istringstream in(file.contents());
  std::map<int, int> next_text;  // per thread, in order
  std::string first;
  std::string second;
  int texts = 0;
  while (std::getline(in, first)) {
    ASSERT_TRUE(std::getline(in, second)) << "text cut after: " << first;
    int t = -1;
    int i = -1;
    ASSERT_EQ(std::sscanf(first.c_str(), "thread %d text %d", &t, &i), 2) << first;
    EXPECT_EQ(first, fmt::format("thread {} text {} {}", t, i, std::string(100 + i % 50, 'a' + t)));
    EXPECT_EQ(second, fmt::format("second line {}", i));
    EXPECT_EQ(i, next_text[t]++) << "thread " << t;
    ++texts;
  }
  EXPECT_EQ(texts, kThreads * kTexts);
}

TEST(FileChannelThreadsTest, UnbufferedTextsArriveWholeAndInOrder) {
  expect_whole_lines_from_threads(FlushPolicy::EveryText, 0);
}

TEST(FileChannelThreadsTest, BufferedTextsArriveWholeAndInOrder) {
  expect_whole_lines_from_threads(FlushPolicy::WhenFull, 1000);
}

// -----------------------------------------------------------------------------
// Through the library
// -----------------------------------------------------------------------------

using FileThroughLibraryTest = testing::CaptureTest;

TEST_F(FileThroughLibraryTest, AppendsWhatTheLibraryComposed) {
  // Registered channels stay registered, so this one lives as long as the
  // process and later tests' texts land in its file too.
  static const TempFile file("library");
  static FileChannel* const channel = [] {
    auto* created = new FileChannel(file.path());
    add_default_channel(created->channel());
    return created;
  }();
  ASSERT_TRUE(channel->is_open());
  const std::size_t before = file.contents().size();
  constexpr LogCategory kFile = make_category("file.library");
  CORE_LOG_INFO(kFile, "to the file {}", 1);
  CORE_LOG_ERROR(kFile, "and\nagain");
  const auto captured = texts();
  ASSERT_EQ(captured.size(), 2u);
  EXPECT_EQ(file.contents().substr(before), captured[0].text + captured[1].text);
}

}  // namespace
}  // namespace core::logger
