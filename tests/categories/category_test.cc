// The category and verbosity calls, and the registry beneath them.
#include <memory_resource>
#include <new>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "categories/category_registry.h"
#include "core/log.h"
#include "support/library_reset.h"

namespace core::logger::testing {
namespace {

constexpr auto kBrief = MessageVerbosity::Brief;
constexpr auto kNormal = MessageVerbosity::Normal;
constexpr MessageVerbosity verbosity(std::uint32_t value) { return static_cast<MessageVerbosity>(value); }

std::vector<CategoryInfo> all_categories() {
  std::vector<CategoryInfo> out;
  foreach_category(
      [](void* out, CategoryInfo info) { static_cast<decltype(all_categories())*>(out)->push_back(info); },
      &out);
  return out;
}

const LogCategory kNet = make_category("net");
const LogCategory kFixed = make_category("net", true, kNormal);
const LogCategory kForeign{{"net", 42}, true, MessageVerbosity::Detailed};  // its id is not its name's
const LogCategory kForeignId{{"x", 42}, true, kBrief};                      // the same id under another name
const std::string_view kNul("a\0b", 3);

// Each row starts from a fresh library: after `before`, `query` passes
// messages of verbosity 0 to `passes_up_to` (-1: none) of 0 to 9.
struct Case {
  const char* name;
  void (*before)();
  LogCategory query;
  int passes_up_to;
};
const Case kCases[] = {
    {"new: follows the runtime", [] {}, kNet, 2},
    {"runtime Brief", [] { change_verbosity(kBrief); }, kNet, 0},
    {"runtime Normal", [] { change_verbosity(kNormal); }, kNet, 1},
    {"runtime back to Detailed", [] { change_verbosity(kBrief), change_verbosity(verbosity(2)); }, kNet, 2},
    {"record below Detailed: fixed", [] { change_verbosity(kBrief); }, kFixed, 1},
    {"disabled record", [] {}, make_category("net", false), -1},
    {"disabled by name", [] { declare_category(kNet), disable_category("net"); }, kNet, -1},
    {"enabled by name", [] { declare_category("net", false), enable_category("net"); }, kNet, 2},
    {"declared again", [] { can_dispatch_log(kNet, kBrief), declare_category("net", false); }, kNet, 2},
    {"later ones spared", [] { declare_category(kFixed), disable_all_known_categories(); }, kForeign, 2},
    {"disable all", [] { declare_category(kFixed), disable_all_known_categories(); }, kFixed, -1},
    {"enabled after disable all",
     [] { declare_category(kFixed), disable_all_known_categories(), enable_category(kNet); }, kFixed, 1},
    {"fixed at 2 ignores the runtime",
     [] { declare_category(kNet), change_category_verbosity("net", verbosity(2)), change_verbosity(kBrief); },
     kNet, 2},
    {"7 kept", [] { declare_category(kNet), change_category_verbosity(kNet, verbosity(7)); }, kNet, 7},
    {"reset: the runtime's", [] { declare_category(kFixed), reset_category_verbosity(kNet); }, kFixed, 2},
    {"reset by name after a change",
     [] { declare_category(kNet), change_category_verbosity(kNet, kBrief), reset_category_verbosity("net"); },
     kNet, 2},
    {"foreign id missed by name", [] { declare_category(kForeign), disable_category("net"); }, kForeign, 2},
    {"foreign id by id", [] { declare_category(kForeign), disable_category(kForeignId); }, kForeign, -1},
    {"two names of one id", [] { declare_category("declinate", true), disable_category("macallums"); },
     make_category("declinate"), -1},
    {"NUL in a name", [] { declare_category(kNul, true), disable_category(kNul); }, make_category(kNul), -1},
};

TEST(CategoryTest, WhatACategoryLetsThrough) {
  for (const Case& c : kCases) {
    detail::reset_for_testing();
    c.before();
    int highest = -1;
    for (std::uint32_t v = 0; v <= 9; ++v)
      highest = can_dispatch_log(c.query, verbosity(v)) ? static_cast<int>(v) : highest;
    EXPECT_EQ(highest, c.passes_up_to) << c.name;
  }
}

TEST(CategoryTest, ControlsAnswerWhetherTheyActed) {
  detail::reset_for_testing();
  EXPECT_FALSE(change_verbosity(verbosity(3)) || change_verbosity(verbosity(0xFFFFFFFF)));
  EXPECT_EQ(runtime_verbosity(), MessageVerbosity::Detailed);
  EXPECT_TRUE(change_verbosity(kBrief) && change_verbosity(MessageVerbosity::Detailed));
  // Unknown categories: nothing changes and nothing is declared.
  EXPECT_FALSE(enable_category(kNet) || enable_category("net") || disable_category(kNet) ||
               disable_category("net") || change_category_verbosity(kNet, kBrief) ||
               change_category_verbosity("net", kBrief));
  reset_category_verbosity(kNet), reset_category_verbosity("net"), disable_all_known_categories();
  EXPECT_TRUE(all_categories().empty());
  declare_category(kNet), foreach_category(nullptr, nullptr);  // ignored, even with a category to report
  EXPECT_TRUE(enable_category(kNet) && enable_category("net") && disable_category(kNet) &&
              disable_category("net") && change_category_verbosity(kNet, kBrief) &&
              change_category_verbosity("net", verbosity(99)));
}

TEST(CategoryTest, ForeachReportsEachCategoryOnceWithWhatItStores) {
  detail::reset_for_testing();
  static std::vector<std::string> names;  // the registry keeps views into these
  names.clear(), names.reserve(1200);
  // Past every growth of the registry, each declared twice.
  for (int i = 0; i < 600; ++i) names.push_back(std::to_string(i));
  for (const std::string& name : names) declare_category(name, name.size() == 2);
  for (const std::string& name : names) declare_category(make_category(name, true, kBrief));
  change_category_verbosity("7", kNormal);
  const std::vector<CategoryInfo> infos = all_categories();
  EXPECT_EQ(infos.size(), 600u);
  for (const CategoryInfo& info : infos) {
    const std::string& name = names[std::stoul(std::string(info.key.name))];
    EXPECT_EQ(info.key.name.data(), name.data());  // the very view, never a copy
    EXPECT_EQ(info.key.id, category_id(name));
    EXPECT_EQ(info.enabled, name.size() == 2);
    EXPECT_EQ(info.verbosity, name == "7" ? kNormal : verbosity(2));
  }
  // A callback may call any category function: no lock is held meanwhile.
  foreach_category(
      [](void*, CategoryInfo info) {
        EXPECT_TRUE(disable_category(info.key.name) && change_category_verbosity(info.key.name, kNormal));
        disable_all_known_categories(), foreach_category([](void*, CategoryInfo) {}, nullptr);
        declare_category(names.emplace_back(std::string(info.key.name) + ".in.callback"), true);
      },
      nullptr);
  EXPECT_EQ(all_categories().size(), 1200u);
}

TEST(CategoryIdTest, IsThirtyTwoBitFnv1aOfUnsignedBytes) {
  EXPECT_EQ(category_id("DataError"), 0x4A9830F1u);
  EXPECT_EQ(category_id("\xff"), (0x811C9DC5u ^ 0xFFu) * 16777619u);
}

// Counts what the registry takes and gives back, and refuses one request.
struct CountingResource : std::pmr::memory_resource {
  std::size_t outstanding = 0, requests = 0, refuse_at = 0;
  detail::memdump_memory_resource upstream;

  void* do_allocate(std::size_t bytes, std::size_t alignment) override {
    if (++requests == refuse_at) throw std::bad_alloc();
    return ++outstanding, upstream.allocate(bytes, alignment);
  }
  void do_deallocate(void* block, std::size_t bytes, std::size_t alignment) override {
    upstream.deallocate(block, bytes, alignment), --outstanding;
  }
  bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override { return this == &other; }
};

TEST(CategoryRegistryTest, EntriesStayPutAndRefusedMemoryChangesNothing) {
  CountingResource resource;
  {
    detail::CategoryRegistry registry(&resource);
    std::vector<detail::CategoryState*> states;
    // Ids that share their low bits (one bucket) or their high bits (one
    // index start), past every growth.
    const auto id_of = [](std::uint32_t i) { return i % 2 ? i << 20 : i; };
    for (std::uint32_t i = 0; i < 1100; ++i) {
      // Each allocation of the insertion refused in turn, then none.
      for (std::size_t refused = 1; states.size() == i; ++refused) {
        resource.refuse_at = resource.requests + refused;
        try {
          states.push_back(&registry.find_or_insert(CategoryKey{"c", id_of(i)}, true, kBrief));
        } catch (const std::bad_alloc&) {
          ASSERT_TRUE(registry.find(id_of(i)) == nullptr && registry.size() == i);
        }
      }
      ASSERT_EQ(registry.find(0xFFFFFFFF), nullptr) << i;
    }
    for (std::uint32_t i = 0; i < 1100; ++i) {
      ASSERT_EQ(registry.find(id_of(i)), states[i]);
      ASSERT_EQ(&registry.find_or_insert(CategoryKey{"other", id_of(i)}, false, kNormal), states[i]);
    }
    EXPECT_EQ(registry.size(), 1100u);
  }
  EXPECT_EQ(resource.outstanding, 0u);
}

}  // namespace
}  // namespace core::logger::testing
