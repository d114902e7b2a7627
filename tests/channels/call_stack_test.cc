// capture_call_stack() and the assertion forms that use it. Portable: what
// every platform's stack walk must give.
#include <string>
#include <string_view>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/channels.h"
#include "support/capture_test.h"

namespace core::logger {
namespace {

using ::testing::HasSubstr;

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));  // a last line without line feed
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

[[gnu::noinline]] std::string capture_at_depth(int depth, std::uint32_t skip, std::uint32_t max) {
  if (depth > 0) {
    std::string stack = capture_at_depth(depth - 1, skip, max);
    stack.push_back(' ');  // keeps the recursion from becoming a loop
    stack.pop_back();
    return stack;
  }
  return capture_call_stack(skip, max);
}

TEST(CallStackTest, OneNumberedLineFeedEndedLinePerFrame) {
  const std::string stack = capture_call_stack();
  ASSERT_FALSE(stack.empty());
  EXPECT_EQ(stack.back(), '\n');
  const std::vector<std::string> lines = lines_of(stack);
  ASSERT_FALSE(lines.empty());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].rfind("#" + std::to_string(i) + " ", 0), 0u) << lines[i];
    EXPECT_GT(lines[i].size(), 3u + std::to_string(i).size()) << "frame without description";
  }
}

TEST(CallStackTest, MaxFramesBoundsTheLines) {
  EXPECT_EQ(lines_of(capture_at_depth(20, 0, 5)).size(), 5u);
  EXPECT_EQ(lines_of(capture_at_depth(20, 0, 1)).size(), 1u);
  EXPECT_EQ(capture_call_stack(0, 0), "");
}

TEST(CallStackTest, SkippingDropsTheInnermostFrames) {
  const std::vector<std::string> all = lines_of(capture_at_depth(10, 0, 6));
  const std::vector<std::string> skipped = lines_of(capture_at_depth(10, 2, 4));
  ASSERT_EQ(all.size(), 6u);
  ASSERT_EQ(skipped.size(), 4u);
  // The same frames, renumbered: compare what follows each number.
  for (std::size_t i = 0; i < skipped.size(); ++i) {
    EXPECT_EQ(skipped[i].substr(skipped[i].find(' ')), all[i + 2].substr(all[i + 2].find(' ')));
  }
}

TEST(CallStackTest, SkippingPastTheOutermostFrameGivesNothing) {
  EXPECT_EQ(capture_call_stack(100000, 10), "");
  EXPECT_EQ(capture_call_stack(0xFFFFFFFFu, 0xFFFFFFFFu), "");
}

TEST(CallStackTest, DeepStacksAreCutNotOverrun) {
  const std::vector<std::string> lines = lines_of(capture_at_depth(300, 0, 0xFFFFFFFFu));
  EXPECT_GE(lines.size(), 32u);
  EXPECT_LE(lines.size(), 256u);
}

using CallStackAssertionTest = testing::CaptureTest;

TEST_F(CallStackAssertionTest, FailingAssertionCarriesTheStack) {
  const bool held = CORE_LOG_ASSERT_WITH_STACK_MSG(2 < 1, "with {}", "stack");
  EXPECT_FALSE(held);
  ASSERT_EQ(texts().size(), 1u);
  const std::string text = texts()[0].text;
  const std::string begin = std::string(54, '>') + " callstack beg " + std::string(54, '>') + "\n#0 ";
  const std::string end = "\n" + std::string(54, '<') + " callstack end " + std::string(54, '<') + "\n";
  EXPECT_THAT(text, HasSubstr(" - Condition: 2 < 1\n"));
  EXPECT_THAT(text, HasSubstr(begin));
  EXPECT_THAT(text, HasSubstr(end));
  EXPECT_LT(text.find(begin), text.find(end));
}

TEST_F(CallStackAssertionTest, PassingAssertionCapturesNothing) {
  EXPECT_TRUE(CORE_LOG_ASSERT_WITH_STACK(1 < 2));
  EXPECT_TRUE(texts().empty());
}

}  // namespace
}  // namespace core::logger
