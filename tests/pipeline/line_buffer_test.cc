// The text buffers: growth on the heap, and what they keep when the heap
// refuses to grow them.
#include "pipeline/line_buffer.h"

#include <string>

#include <fmt/format.h>
#include <gtest/gtest.h>

namespace core::logger::testing {
namespace {

void* refuse_heap(std::size_t) { return nullptr; }

// Makes every heap block refused while in scope.
class ScopedHeapRefusal {
 public:
  ScopedHeapRefusal() { detail::set_heap_allocate_for_testing(&refuse_heap); }
  ~ScopedHeapRefusal() { detail::set_heap_allocate_for_testing(nullptr); }
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
  ScopedHeapRefusal refusal;
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

}  // namespace
}  // namespace core::logger::testing
