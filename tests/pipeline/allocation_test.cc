// Counts every heap allocation of the process (this program replaces malloc
// and friends) to prove that a log call whose text fits the inline buffers
// allocates nothing, and refuses malloc on demand. Built only without
// sanitizers, which bring their own allocator.
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>
#include <string>

#include <gtest/gtest.h>

#include "pipeline/channel_list.h"
#include "support/library_test.h"

extern "C" void* __libc_malloc(std::size_t size);
extern "C" void* __libc_calloc(std::size_t count, std::size_t size);
extern "C" void* __libc_realloc(void* block, std::size_t size);
extern "C" void* __libc_memalign(std::size_t alignment, std::size_t size);

namespace {

std::atomic<bool> g_counting{false};
std::atomic<long> g_allocations{0};
std::atomic<bool> g_refusing{false};

void count() {
  if (g_counting.load(std::memory_order_relaxed)) g_allocations.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

extern "C" void* malloc(std::size_t size) {
  count();
  return g_refusing.load(std::memory_order_relaxed) ? nullptr : __libc_malloc(size);
}
extern "C" void* calloc(std::size_t count_of, std::size_t size) {
  count();
  return __libc_calloc(count_of, size);
}
extern "C" void* realloc(void* block, std::size_t size) {
  count();
  return __libc_realloc(block, size);
}
extern "C" int posix_memalign(void** block, std::size_t alignment, std::size_t size) {
  count();
  *block = __libc_memalign(alignment, size);
  return *block != nullptr ? 0 : 12;  // ENOMEM
}

namespace core::logger::testing {
namespace {

// Allocations made by `call`.
template <typename Call>
long allocations_of(Call&& call) {
  g_allocations.store(0);
  g_counting.store(true);
  call();
  g_counting.store(false);
  return g_allocations.load();
}

void log_everything(const std::string& message) {
  const LogCategory category = make_category("net");
  const LogLocation where{"main", "app.cc", 3};
  log_format(LogOptions{}, category, kInfo, "{} {}\n{}", fmt::make_format_args(message, 42, 2.5));
  log_format_source(Continuation, where, category, kInfo, "{}", fmt::make_format_args(message));
  log_format_assert(where, "x > 0", "frame 0\nframe 1\n", "{}", fmt::make_format_args(message));
  log_format_data_error(where, "{}", fmt::make_format_args(message));
}

// No recording channel here: a channel that copies the text would allocate.
class AllocationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    detail::reset_for_testing();
    // The first calls build the channel lists and may load the zone data.
    log_everything("warm-up");
  }
  void TearDown() override { detail::reset_for_testing(); }
};

TEST_F(AllocationTest, CallsThatFitTheInlineBuffersMakeNoHeapAllocation) {
  const std::string message(1000, 'm');
  EXPECT_EQ(allocations_of([&] { log_everything(message); }), 0);
}

TEST_F(AllocationTest, CountingSeesTheGrowthOfALargeMessage) {
  const std::string big(5000, 'm');
  EXPECT_GT(allocations_of([&] { log_everything(big); }), 0);
}

// A registration that the heap refuses leaves no trace: the built-in channel
// stays the fallback output until a channel with a callback really joins.
TEST(RefusedRegistrationTest, LeavesTheBuiltinChannelTheFallback) {
  ::unsetenv("CORE_LOGGER_STDERR");
  detail::reset_for_testing();
  RecordingChannel recorder;
  bool refused = false;
  g_refusing.store(true);
  try {
    add_default_channel(recorder.channel());  // the list must grow for it
  } catch (const std::bad_alloc&) {
    refused = true;
  }
  g_refusing.store(false);
  EXPECT_TRUE(refused);
  add_default_channel(LogChannel{"null", nullptr, nullptr});  // where the refused one would be
  EXPECT_EQ(detail::g_fallback_end.load(), detail::kNoChannelPosition);
  add_default_channel(recorder.channel());
  EXPECT_EQ(detail::g_fallback_end.load(), 2u);
  detail::reset_for_testing();
}

}  // namespace
}  // namespace core::logger::testing
