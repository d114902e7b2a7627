// Eight threads log into file channels that write outside their locks, at
// once, from a full buffer, or from a buffer at every text, while another
// thread flushes and reopens them, closes one and destroys the others. Every
// line that reached a file must be whole, each thread's texts there a run
// from its first, and nothing that a channel frees may be touched: meant for
// ASan and TSan. Through the shared libraries only.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "core/channels.h"
#include "support/capture_test.h"

namespace core::logger {
namespace {

constexpr int kThreads = 8;
constexpr int kMostTexts = 20000;  // per thread, should the closing thread be slow

// Every text holds its thread and number and a body long enough that torn
// writes would show.
std::string text_of(int thread, int i) {
  return fmt::format("thread {} text {} {}\nsecond line {}\n", thread, i,
                     std::string(100 + i % 50, 'a' + thread), i);
}

// Each thread's texts in `contents`, whole and in order from its first, none
// missing between; returns their count.
int expect_whole_texts_from_the_first(const std::string& contents) {
  std::istringstream in(contents);
  std::map<int, int> next_text;
  int texts = 0;
  for (std::string first, second; std::getline(in, first) && std::getline(in, second); ++texts) {
    int t = -1;
    int i = -1;
    EXPECT_EQ(std::sscanf(first.c_str(), "thread %d text %d", &t, &i), 2) << first;
    EXPECT_EQ(first + "\n" + second + "\n", text_of(t, i));
    EXPECT_EQ(i, next_text[t]++) << "thread " << t;
  }
  return texts;
}

TEST(ChannelsStressTest, FileChannelsClosedAndDestroyedWhileThreadsWriteOutsideTheirLocksKeepWholeTexts) {
  testing::TempDir dir;
  const char* const names[] = {"every.log", "full.log", "level.log"};
  std::unique_ptr<FileChannel> channels[] = {
      std::make_unique<FileChannel>(dir.file(names[0])),
      std::make_unique<FileChannel>(dir.file(names[1]), FileChannelOptions{FlushPolicy::WhenFull, 3, 1000}),
      std::make_unique<FileChannel>(dir.file(names[2]), FileChannelOptions{FlushPolicy::AtLevel, 2, 4096})};
  std::vector<LogChannel> records;
  for (const auto& channel : channels) records.push_back(channel->channel());
  std::atomic<bool> stop{false};
  std::string at_close[3];
  std::thread closer([&] {
    for (const char* name : names) {
      while (dir.read(name).empty()) std::this_thread::yield();  // the threads are logging
    }
    for (int round = 0; round < 20; ++round) {
      for (const auto& channel : channels) channel->flush(), channel->reopen();
    }
    channels[0]->close();
    channels[1].reset();
    channels[2].reset();
    for (int i = 0; i < 3; ++i) at_close[i] = dir.read(names[i]);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    stop = true;
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kMostTexts && !stop; ++i) {
        const std::string text = text_of(t, i) + '\0';
        for (const LogChannel& record : records)
          record.callback(record.user_data, DispatchContext{}, kAssertCategory, kInfoLevel, text);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  closer.join();
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(dir.read(names[i]), at_close[i]) << names[i];
    EXPECT_GT(expect_whole_texts_from_the_first(at_close[i]), 0) << names[i];
  }
  EXPECT_EQ(channels[0]->dropped(), 0u);
}

}  // namespace
}  // namespace core::logger
