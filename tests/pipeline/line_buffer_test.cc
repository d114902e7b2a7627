// The text buffers: growth on the heap, and what a call delivers when the
// heap refuses to grow them.
#include "pipeline/line_buffer.h"

#include <atomic>
#include <cstdlib>
#include <string>

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/library_test.h"

namespace core::logger::testing {
namespace {

using ::testing::StartsWith;

std::atomic<std::size_t> g_largest_allowed{0};

void* limited_malloc(std::size_t bytes) {
  return bytes > g_largest_allowed.load() ? nullptr : std::malloc(bytes);
}

// Refuses every heap block above `largest` bytes while in scope.
class ScopedHeapLimit {
 public:
  explicit ScopedHeapLimit(std::size_t largest) {
    g_largest_allowed.store(largest);
    detail::set_heap_allocate_for_testing(&limited_malloc);
  }
  ~ScopedHeapLimit() { detail::set_heap_allocate_for_testing(nullptr); }
};

TEST(TextBufferTest, GrowsPastTheInlineCapacityKeepingEveryCharacter) {
  detail::TextBuffer<16> buffer;
  std::string expected;
  for (int i = 0; i < 1000; ++i) {
    const std::string piece = std::to_string(i) + ",";
    buffer.append(piece);
    expected += piece;
  }
  buffer.terminate(std::string_view("\n", 2));
  EXPECT_FALSE(buffer.truncated());
  EXPECT_EQ(buffer.view(), expected + std::string("\n", 2));
}

TEST(TextBufferTest, RefusedGrowthKeepsTheContentAndStillTerminates) {
  ScopedHeapLimit limit(0);
  detail::TextBuffer<16> buffer;
  buffer.append("0123456789");
  buffer.append("abcdefghij");  // would need the heap
  buffer.append("more");        // dropped once truncated
  buffer.terminate(std::string_view("\n", 2));
  EXPECT_TRUE(buffer.truncated());
  EXPECT_EQ(buffer.view(), std::string("0123456789\n", 12));
}

TEST(TextBufferTest, FormatErrorsKeepWhatWasWrittenAndLaterAppendsWork) {
  detail::TextBuffer<64> buffer;
  buffer.format("a{}b{}", fmt::make_format_args(1));
  buffer.append("|next");
  EXPECT_FALSE(buffer.truncated());
  EXPECT_EQ(buffer.view(), "a1b|next");
}

class HeapExhaustionTest : public LibraryTest {};

TEST_F(HeapExhaustionTest, CutTextStillEndsInLineFeedAndNulAndRawLinesAreWhole) {
  std::string message, expected;
  for (int i = 0; i < 3000; ++i) {
    const std::string line = fmt::format("line {:05} of a long message", i);
    message += (i ? "\n" : "") + line;
    expected += "{hh:mm:ss.mmm} INFO: [net]" + std::string(i ? " | " : " > ") + line + "\n";
  }
  // The message may grow on the heap, the text not beyond 147456 characters.
  ScopedHeapLimit limit(200'000);
  EXPECT_NO_THROW(log_format(LogOptions{}, make_category("net"), kInfo, "{}", fmt::make_format_args(message)));
  const std::string text = only_text();
  EXPECT_GT(text.size(), 98'304u);  // grew once, then was refused
  EXPECT_LE(text.size(), 147'456u);
  EXPECT_EQ(text.substr(text.size() - 2), std::string("\n\0", 2));
  EXPECT_EQ(text.substr(0, text.size() - 2), expected.substr(0, text.size() - 2));
  EXPECT_EQ(recorder_.raw_lines().size(), 3000u);
}

TEST_F(HeapExhaustionTest, MessageThatCannotGrowIsCutAndTheCallReturns) {
  ScopedHeapLimit limit(0);
  const std::string big(10'000, 'b');
  EXPECT_NO_THROW(log_format(LogOptions{}, make_category("net"), kInfo, "start {}", fmt::make_format_args(big)));
  const std::string text = only_text();
  EXPECT_THAT(text, StartsWith("{hh:mm:ss.mmm} INFO: [net] > start "));
  EXPECT_LE(text.size(), 4096u + 64);
  EXPECT_EQ(text.substr(text.size() - 2), std::string("\n\0", 2));
}

}  // namespace
}  // namespace core::logger::testing
