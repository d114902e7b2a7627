// The registry on its own: growth, stable entries, identity by id, memory.
#include "categories/category_registry.h"

#include <memory_resource>
#include <new>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace core::logger::detail {
namespace {

// Counts what the registry takes and returns, and can refuse one request.
class CountingResource : public std::pmr::memory_resource {
 public:
  std::size_t outstanding_blocks = 0;
  std::size_t requests = 0;
  std::size_t fail_at_request = 0;  // 1-based; 0 never fails

 private:
  void* do_allocate(std::size_t bytes, std::size_t alignment) override {
    if (++requests == fail_at_request) throw std::bad_alloc();
    ++outstanding_blocks;
    return upstream_.allocate(bytes, alignment);
  }
  void do_deallocate(void* block, std::size_t bytes, std::size_t alignment) override {
    --outstanding_blocks;
    upstream_.deallocate(block, bytes, alignment);
  }
  bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override { return this == &other; }

  memdump_memory_resource upstream_;
};

class CategoryRegistryTest : public ::testing::Test {
 protected:
  CategoryState& declare(std::uint32_t id, bool enabled = true,
                         MessageVerbosity verbosity = MessageVerbosity::Detailed) {
    names_.push_back(std::make_unique<std::string>("c" + std::to_string(id)));
    return registry_.find_or_insert(CategoryKey{*names_.back(), id}, enabled, verbosity);
  }

  CountingResource resource_;
  std::vector<std::unique_ptr<std::string>> names_;
  CategoryRegistry registry_{&resource_};
};

TEST_F(CategoryRegistryTest, GrowsAtTheNinthSixtyFifthAndFiveHundredThirteenthEntry) {
  EXPECT_EQ(registry_.bucket_count(), 8u);
  const std::pair<std::size_t, std::size_t> steps[] = {{8, 8},     {9, 64},     {64, 64},    {65, 512},
                                                       {512, 512}, {513, 1024}, {1025, 2048}};
  std::uint32_t id = 0;
  for (const auto& [count, buckets] : steps) {
    while (registry_.size() < count) declare(category_id(std::to_string(id++)));
    EXPECT_EQ(registry_.bucket_count(), buckets) << count << " entries";
  }
}

TEST_F(CategoryRegistryTest, EntriesNeverMoveAcrossGrowth) {
  std::vector<CategoryState*> states;
  for (std::uint32_t i = 0; i < 5000; ++i) states.push_back(&declare(category_id("cat" + std::to_string(i))));
  for (std::uint32_t i = 0; i < 5000; ++i) {
    const std::uint32_t id = category_id("cat" + std::to_string(i));
    ASSERT_EQ(registry_.find(id), states[i]);
    ASSERT_EQ(&registry_.find_or_insert(CategoryKey{"other", id}, false, MessageVerbosity::Brief), states[i]);
  }
  EXPECT_EQ(registry_.size(), 5000u);
}

TEST_F(CategoryRegistryTest, IdsSharingLowOrHighBitsAreAllFound) {
  std::vector<CategoryState*> states;
  for (std::uint32_t i = 0; i < 300; ++i) states.push_back(&declare(i << 20));  // one bucket until growth
  for (std::uint32_t i = 0; i < 300; ++i) states.push_back(&declare(i));        // one index start each
  for (std::uint32_t i = 0; i < 300; ++i) {
    ASSERT_EQ(registry_.find(i << 20), states[i]);
    ASSERT_EQ(registry_.find(i), i == 0 ? states[0] : states[300 + i]);
  }
  EXPECT_EQ(registry_.find(12345), nullptr);
}

TEST_F(CategoryRegistryTest, KnownIdReturnsTheFirstDeclarationUnchanged) {
  CategoryState& first = registry_.find_or_insert(CategoryKey{"first", 7}, false, MessageVerbosity::Brief);
  CategoryState& again = registry_.find_or_insert(CategoryKey{"second", 7}, true, MessageVerbosity::Detailed);
  EXPECT_EQ(&first, &again);
  EXPECT_FALSE(again.enabled.load());
  EXPECT_EQ(again.current_verbosity(), MessageVerbosity::Brief);
  std::vector<std::string_view> names;
  registry_.for_each_entry([&](CategoryEntry& entry) { names.push_back(entry.key.name); });
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(names[0], "first");
}

TEST_F(CategoryRegistryTest, DetailedFollowsTheRuntimeVerbosityAndOthersAreFixed) {
  EXPECT_EQ(declare(1, true, MessageVerbosity::Detailed).getter.load(), &runtime_verbosity);
  EXPECT_EQ(declare(2, true, MessageVerbosity::Normal).getter.load(), &stored_verbosity);
  EXPECT_EQ(declare(3, true, static_cast<MessageVerbosity>(9)).current_verbosity(),
            static_cast<MessageVerbosity>(9));
}

TEST_F(CategoryRegistryTest, WalkVisitsEveryEntryOnce) {
  for (std::uint32_t i = 0; i < 100; ++i) declare(i * 7919u);
  std::vector<int> seen(100);
  registry_.for_each_entry([&](CategoryEntry& entry) { ++seen[entry.key.id / 7919u]; });
  for (int count : seen) EXPECT_EQ(count, 1);
}

TEST_F(CategoryRegistryTest, RefusedAllocationLeavesTheRegistryAsItWas) {
  for (std::uint32_t i = 0; i < 8; ++i) declare(i);
  // The ninth insertion grows: each of its three allocations may be refused.
  for (std::size_t attempt = 1; attempt <= 3; ++attempt) {
    resource_.fail_at_request = resource_.requests + attempt;
    EXPECT_THROW(declare(100), std::bad_alloc);
    EXPECT_EQ(registry_.size(), 8u);
    EXPECT_EQ(registry_.bucket_count(), 8u);
    EXPECT_EQ(registry_.find(100), nullptr);
    for (std::uint32_t i = 0; i < 8; ++i) ASSERT_NE(registry_.find(i), nullptr);
  }
  resource_.fail_at_request = 0;
  declare(100);
  EXPECT_EQ(registry_.bucket_count(), 64u);
  EXPECT_NE(registry_.find(100), nullptr);
}

TEST(CategoryRegistryMemoryTest, EveryBlockGoesBackToTheResource) {
  CountingResource resource;
  {
    CategoryRegistry registry(&resource);
    for (std::uint32_t i = 0; i < 3000; ++i)
      registry.find_or_insert(CategoryKey{"n", i}, true, MessageVerbosity::Brief);
    registry.clear_for_testing();
    registry.find_or_insert(CategoryKey{"n", 1}, true, MessageVerbosity::Brief);
    EXPECT_NE(registry.find(1), nullptr);
    EXPECT_EQ(registry.find(2), nullptr);
  }
  EXPECT_EQ(resource.outstanding_blocks, 0u);
}

TEST(MemdumpMemoryResourceTest, HonoursAlignmentAndEqualsAnyResource) {
  memdump_memory_resource resource;
  for (std::size_t alignment : {8u, 64u, 4096u}) {
    void* block = resource.allocate(100, alignment);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % alignment, 0u);
    resource.deallocate(block, 100, alignment);
  }
  EXPECT_TRUE(resource.is_equal(*std::pmr::new_delete_resource()));
}

TEST(CategoryNameTest, ValidNamesUseLettersDigitsDotsAndUnderscores) {
  EXPECT_TRUE(is_valid_category_name(""));
  EXPECT_TRUE(is_valid_category_name("Net.io_2"));
  EXPECT_FALSE(is_valid_category_name("a b"));
  EXPECT_FALSE(is_valid_category_name("a-b"));
  EXPECT_FALSE(is_valid_category_name("caf\xc3\xa9"));
  EXPECT_FALSE(is_valid_category_name(std::string_view("a\0b", 3)));
}

TEST(CategoryIdTest, IsThirtyTwoBitFnv1a) {
  EXPECT_EQ(category_id(""), 0x811C9DC5u);
  EXPECT_EQ(category_id("Assert"), 0xEB78D69Bu);
  EXPECT_EQ(category_id("DataError"), 0x4A9830F1u);
  EXPECT_EQ(category_id("\xff"), (0x811C9DC5u ^ 0xFFu) * 16777619u);  // bytes are unsigned
  EXPECT_EQ(category_id("declinate"), category_id("macallums"));      // a known collision
}

}  // namespace
}  // namespace core::logger::detail
