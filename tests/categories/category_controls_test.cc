// The exported category and verbosity calls.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "categories/category_registry.h"
#include "support/library_test.h"

namespace core::logger::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

constexpr auto kBrief = MessageVerbosity::Brief;
constexpr auto kNormal = MessageVerbosity::Normal;
constexpr auto kDetailed = MessageVerbosity::Detailed;
constexpr MessageVerbosity verbosity(std::uint32_t value) { return static_cast<MessageVerbosity>(value); }

std::vector<CategoryInfo> all_categories() {
  std::vector<CategoryInfo> out;
  foreach_category(
      [](void* sink, CategoryInfo info) { static_cast<std::vector<CategoryInfo>*>(sink)->push_back(info); },
      &out);
  return out;
}

std::vector<std::string> all_names() {
  std::vector<std::string> names;
  for (const CategoryInfo& info : all_categories()) names.emplace_back(info.key.name);
  return names;
}

// The highest message verbosity (up to 9) that the category lets through, or -1.
int passes_up_to(const LogCategory& category) {
  int highest = -1;
  for (std::uint32_t v = 0; v <= 9; ++v) {
    if (can_dispatch_log(category, verbosity(v))) highest = static_cast<int>(v);
  }
  return highest;
}

class CategoryControlsTest : public ::testing::Test {
 protected:
  void SetUp() override { detail::reset_for_testing(); }
  void TearDown() override { detail::reset_for_testing(); }
};

TEST_F(CategoryControlsTest, FreshCategoryFollowsTheRuntimeVerbosity) {
  EXPECT_EQ(runtime_verbosity(), kDetailed);
  EXPECT_EQ(passes_up_to(make_category("net")), 2);
}

TEST_F(CategoryControlsTest, QueryDeclaresTheCategoryFromTheRecord) {
  const LogCategory net = make_category("net", false, kNormal);
  EXPECT_FALSE(can_dispatch_log(net, kBrief));
  ASSERT_EQ(all_categories().size(), 1u);
  EXPECT_EQ(all_categories()[0].key.name.data(), net.key.name.data());
  EXPECT_EQ(all_categories()[0].verbosity, kNormal);
  EXPECT_FALSE(all_categories()[0].enabled);
  EXPECT_TRUE(enable_category(net));
  EXPECT_EQ(passes_up_to(net), 1);
}

TEST_F(CategoryControlsTest, ControlsOnUnknownCategoriesAnswerFalseAndDeclareNothing) {
  const LogCategory net = make_category("net");
  EXPECT_FALSE(enable_category(net));
  EXPECT_FALSE(enable_category("net"));
  EXPECT_FALSE(disable_category(net));
  EXPECT_FALSE(disable_category("net"));
  EXPECT_FALSE(change_category_verbosity(net, kBrief));
  EXPECT_FALSE(change_category_verbosity("net", kBrief));
  reset_category_verbosity(net);
  reset_category_verbosity("net");
  disable_all_known_categories();
  EXPECT_THAT(all_categories(), IsEmpty());
}

TEST_F(CategoryControlsTest, DeclaringAKnownCategoryChangesNothing) {
  const LogCategory net = make_category("net");
  EXPECT_TRUE(can_dispatch_log(net, kBrief));
  declare_category("net", false);
  declare_category(make_category("net", false, kBrief));
  EXPECT_EQ(passes_up_to(net), 2);
  EXPECT_EQ(all_categories().size(), 1u);
}

TEST_F(CategoryControlsTest, DeclareByNameIsEnabledAsToldAndFollowsTheRuntime) {
  const std::string name = "by.name";
  declare_category(name, false);
  const auto infos = all_categories();
  ASSERT_EQ(infos.size(), 1u);
  EXPECT_EQ(infos[0].key.name.data(), name.data());  // the very view, never a copy
  EXPECT_EQ(infos[0].key.id, category_id(name));
  EXPECT_EQ(infos[0].verbosity, kDetailed);
  EXPECT_FALSE(infos[0].enabled);
  EXPECT_TRUE(enable_category(make_category("by.name", false, kBrief)));
  change_verbosity(kNormal);
  EXPECT_EQ(passes_up_to(make_category("by.name")), 1);
}

TEST_F(CategoryControlsTest, DisabledCategoryPassesNothing) {
  const LogCategory net = make_category("net");
  declare_category(net);
  EXPECT_TRUE(disable_category(net));
  EXPECT_EQ(passes_up_to(net), -1);
  EXPECT_TRUE(enable_category("net"));
  EXPECT_EQ(passes_up_to(net), 2);
}

TEST_F(CategoryControlsTest, DisableAllAffectsOnlyCategoriesKnownSoFar) {
  const LogCategory before = make_category("before");
  declare_category(before);
  change_category_verbosity(before, kBrief);
  disable_all_known_categories();
  EXPECT_EQ(passes_up_to(before), -1);
  EXPECT_EQ(passes_up_to(make_category("after")), 2);
  EXPECT_TRUE(enable_category(before));
  EXPECT_EQ(passes_up_to(before), 0);  // the verbosity was left alone
}

TEST_F(CategoryControlsTest, RuntimeVerbosityRefusesValuesAboveDetailed) {
  EXPECT_FALSE(change_verbosity(verbosity(3)));
  EXPECT_EQ(runtime_verbosity(), kDetailed);
  EXPECT_TRUE(change_verbosity(kBrief));
  EXPECT_FALSE(change_verbosity(verbosity(0xFFFFFFFF)));
  EXPECT_EQ(runtime_verbosity(), kBrief);
}

TEST_F(CategoryControlsTest, FixedCategoriesIgnoreTheRuntimeVerbosity) {
  const LogCategory following = make_category("following");
  const LogCategory fixed_detailed = make_category("fixed.detailed");
  const LogCategory fixed_normal = make_category("fixed.normal", true, kNormal);
  declare_category(following);
  declare_category(fixed_detailed);
  declare_category(fixed_normal);
  EXPECT_TRUE(change_category_verbosity(fixed_detailed, kDetailed));
  EXPECT_TRUE(change_verbosity(kBrief));
  EXPECT_EQ(passes_up_to(following), 0);
  EXPECT_EQ(passes_up_to(fixed_detailed), 2);
  EXPECT_EQ(passes_up_to(fixed_normal), 1);
}

TEST_F(CategoryControlsTest, ResetMakesACategoryFollowTheRuntimeAndKeepsItsStoredValue) {
  const LogCategory net = make_category("net", true, kNormal);
  declare_category(net);
  reset_category_verbosity(net);
  EXPECT_EQ(passes_up_to(net), 2);  // follows the runtime; does not return to 1
  EXPECT_TRUE(change_category_verbosity("net", kBrief));
  EXPECT_EQ(passes_up_to(net), 0);
  reset_category_verbosity("net");
  change_verbosity(kNormal);
  EXPECT_EQ(passes_up_to(net), 1);
  EXPECT_EQ(all_categories()[0].verbosity, kBrief);
}

TEST_F(CategoryControlsTest, CategoryVerbosityTakesAnyValue) {
  const LogCategory net = make_category("net");
  declare_category(net);
  EXPECT_TRUE(change_category_verbosity(net, verbosity(7)));
  EXPECT_EQ(passes_up_to(net), 7);
  EXPECT_EQ(all_categories()[0].verbosity, verbosity(7));
}

TEST_F(CategoryControlsTest, NamesAndRecordsReachTheSameCategory) {
  declare_category(make_category("net"));
  EXPECT_TRUE(disable_category("net"));
  EXPECT_FALSE(can_dispatch_log(make_category("net"), kBrief));
  declare_category("io", true);
  EXPECT_TRUE(change_category_verbosity(make_category("io"), kBrief));
  EXPECT_EQ(passes_up_to(make_category("io")), 0);
}

TEST_F(CategoryControlsTest, IdsDecideIdentity) {
  // A record whose id is not its name's hash is reached only through that id.
  const LogCategory foreign{{"net", 42}, true, kDetailed};
  declare_category(foreign);
  EXPECT_FALSE(disable_category("net"));
  EXPECT_TRUE(disable_category(LogCategory{{"anything", 42}, true, kDetailed}));
  EXPECT_FALSE(can_dispatch_log(foreign, kBrief));
  // Two names with one id are one category, named by its first declaration.
  declare_category("declinate", true);
  EXPECT_TRUE(disable_category("macallums"));
  EXPECT_THAT(all_names(), UnorderedElementsAre("net", "declinate"));
}

TEST_F(CategoryControlsTest, OddNamesAreAcceptedLikeAnyOther) {
  const std::string names[] = {"", "with space", "dash-ed", "caf\xc3\xa9", std::string("nul\0byte", 8)};
  for (const std::string& name : names) {
    declare_category(name, true);
    EXPECT_TRUE(disable_category(name)) << name;
  }
  EXPECT_EQ(all_categories().size(), 5u);
  EXPECT_TRUE(enable_category(LogCategory{{"x", 0x811C9DC5u}, true, kDetailed}));  // the empty name's id
}

// Re-enters the library from inside a foreach_category callback.
struct Reentrant {
  std::vector<std::string> names;  // owned storage for the names declared from callbacks
  int visits = 0;

  static void visit(void* self, CategoryInfo info) {
    auto* r = static_cast<Reentrant*>(self);
    ++r->visits;
    EXPECT_TRUE(disable_category(info.key.name));
    EXPECT_TRUE(change_category_verbosity(info.key.name, kNormal));
    disable_all_known_categories();
    int nested = 0;
    foreach_category([](void* count, CategoryInfo) { ++*static_cast<int*>(count); }, &nested);
    EXPECT_GE(nested, 1);
    if (r->names.size() < r->names.capacity()) {
      r->names.push_back("declared.in.callback." + std::to_string(r->names.size()));
      declare_category(r->names.back(), true);
    }
  }
};

TEST_F(CategoryControlsTest, CallbacksMayCallAnyCategoryFunction) {
  for (int i = 0; i < 20; ++i) declare_category(make_category(i % 2 ? "odd" : "even"));
  Reentrant reentrant;
  reentrant.names.reserve(100);  // the registry keeps views into these strings
  foreach_category(&Reentrant::visit, &reentrant);
  EXPECT_EQ(reentrant.visits, 2);
  EXPECT_EQ(all_categories().size(), 2u + reentrant.names.size());
}

TEST_F(CategoryControlsTest, QueriesAndLogsRunWhileThousandsOfCategoriesAreDeclared) {
  constexpr int kDeclared = 4000;
  std::vector<std::string> names;
  for (int i = 0; i < kDeclared; ++i) names.push_back("stress." + std::to_string(i));
  const LogCategory hot = make_category("hot");
  declare_category(hot);
  RecordingChannel recorder;
  add_default_channel(recorder.raw_channel());

  std::atomic<bool> done{false};
  std::atomic<int> failures{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&, t] {
      int i = 0;
      while (!done.load()) {
        if (!can_dispatch_log(hot, kDetailed)) ++failures;
        const int probe = i++ % kDeclared;
        can_dispatch_log(make_category(names[probe]), kBrief);  // may declare it first
        if (t == 0 && i % 64 == 0) {
          log_format(LogOptions{}, hot, kInfo, "{}", fmt::make_format_args(i));
        }
      }
    });
  }
  for (const std::string& name : names) declare_category(name, true);
  done.store(true);
  for (auto& thread : readers) thread.join();

  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(all_categories().size(), kDeclared + 1u);
  for (const std::string& name : names) ASSERT_TRUE(enable_category(name)) << name;
}

}  // namespace
}  // namespace core::logger::testing
