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

#include "core/log.h"
#include "pipeline/channel_list.h"
#include "support/library_reset.h"
#include "support/recording_channel.h"

extern "C" void* __libc_malloc(std::size_t size);
extern "C" void* __libc_calloc(std::size_t count, std::size_t size);
extern "C" void* __libc_realloc(void* block, std::size_t size);
extern "C" void* __libc_memalign(std::size_t alignment, std::size_t size);

namespace {

std::atomic<long> g_allocations{0};
std::atomic<bool> g_refuse_next{false};

void* counted(void* block) { return g_allocations.fetch_add(1, std::memory_order_relaxed), block; }

}  // namespace

extern "C" void* malloc(std::size_t size) {
  return counted(g_refuse_next.exchange(false, std::memory_order_relaxed) ? nullptr : __libc_malloc(size));
}
extern "C" void* calloc(std::size_t count, std::size_t size) { return counted(__libc_calloc(count, size)); }
extern "C" void* realloc(void* block, std::size_t size) { return counted(__libc_realloc(block, size)); }
extern "C" int posix_memalign(void** block, std::size_t alignment, std::size_t size) {
  *block = counted(__libc_memalign(alignment, size));
  return *block != nullptr ? 0 : 12;  // ENOMEM
}

namespace core::logger {
namespace {

// The allocations of one call of each form with `message`.
long allocations_of(const std::string& message) {
  const LogLocation where{"main", "app.cc", 3};
  const long before = g_allocations.load();
  log_format(LogOptions{}, make_category("net"), kInfoLevel, "{} {}\n{}",
             fmt::make_format_args(message, 42, 2.5));
  log_format_source(Continuation, where, make_category("net"), kInfoLevel, "{}",
                    fmt::make_format_args(message));
  log_format_assert(where, "x > 0", "frame 0\nframe 1\n", "{}", fmt::make_format_args(message));
  log_format_data_error(where, "{}", fmt::make_format_args(message));
  return g_allocations.load() - before;
}

// No recording channel here: a channel that copies the text would allocate.
TEST(AllocationTest, CallsThatFitTheInlineBuffersMakeNoHeapAllocation) {
  detail::reset_for_testing();
  allocations_of("warm-up");  // builds the channel lists, may load the zone data
  EXPECT_EQ(allocations_of(std::string(1000, 'm')), 0);
  EXPECT_GT(allocations_of(std::string(5000, 'm')), 0);  // the counting works
}

// A registration that the heap refuses leaves no trace: the built-in channel
// stays the fallback output until a channel with a callback really joins.
TEST(RefusedRegistrationTest, LeavesTheBuiltinChannelTheFallback) {
  ::unsetenv("CORE_LOGGER_STDERR");
  detail::reset_for_testing();
  testing::RecordingChannel recorder;
  g_refuse_next.store(true);
  EXPECT_THROW(add_default_channel(recorder.channel()), std::bad_alloc);  // the list must grow for it
  add_default_channel(LogChannel{"null", nullptr, nullptr});              // where the refused one would be
  EXPECT_EQ(detail::g_fallback_end.load(), detail::kNoChannelPosition);
  add_default_channel(recorder.channel());
  EXPECT_EQ(detail::g_fallback_end.load(), 2u);
  detail::reset_for_testing();
}

}  // namespace
}  // namespace core::logger
