// Load, first use and unload of the shared library, from a host that loads it
// with dlopen and reaches it only through dlsym. The installed copy shows what
// users get; the test-only traced copy, built from the same sources, also
// reports every build and teardown step to the host.
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/logger.h"
#include "lifecycle/loaded_logger.h"
#include "support/recording_channel.h"

namespace core::logger::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

const std::string kInstalledLibrary = CORE_LOGGER_INSTALLED_LIBRARY;
const std::string kTracedLibrary = CORE_LOGGER_TRACED_LIBRARY;

constexpr std::string_view kShortName = "b";
constexpr std::string_view kLongName = "lifecycle.a_rather_long_category";
constexpr LogCategory kShort{{kShortName, category_id(kShortName)}, true, MessageVerbosity::Detailed};
constexpr LogCategory kLong{{kLongName, category_id(kLongName)}, true, MessageVerbosity::Detailed};
constexpr LogLevel kInfo{"INFO", 2};
constexpr LogLocation kHere{"test", "lifecycle_test.cc", 1};

void log_line(const LoggerApi& api, const LogCategory& category, std::string_view text) {
  api.log_format(LogOptions{}, category, kInfo, text, {});
}

void collect_name(void* names, CategoryInfo info) {
  static_cast<std::vector<std::string>*>(names)->emplace_back(info.key.name);
}

std::vector<std::string> category_names(const LoggerApi& api) {
  std::vector<std::string> names;
  api.foreach_category(&collect_name, &names);
  return names;
}

// The steps a traced library reports, in order. Thread-safe.
class StepLog {
 public:
  static void record(void* self, int event) {
    auto* log = static_cast<StepLog*>(self);
    std::lock_guard<std::mutex> lock(log->mutex_);
    log->steps_.push_back(lifecycle_step_name(event));
  }

  std::vector<std::string> steps() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return steps_;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    steps_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> steps_;
};

// -----------------------------------------------------------------------------
// Unloading and loading again, for the installed and the traced copy
// -----------------------------------------------------------------------------

// A copy that an earlier test failed to unload would hand its stale state to
// the next one.
void expect_unloaded(const std::string& path) {
  ASSERT_FALSE(loader_holds(path)) << path << " is still loaded by an earlier test";
}

class UnloadTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override { expect_unloaded(path()); }
  const std::string& path() const { return GetParam(); }

  // Unloads `library` and expects it gone from the loader and from memory.
  void unload_completely(LoadedLogger& library) {
    ASSERT_EQ(library.unload(), 0);
    EXPECT_FALSE(loader_holds(path()));
    EXPECT_FALSE(is_mapped(path()));
  }
};

TEST_P(UnloadTest, UnloadsWhenNothingWasCalled) {
  LoadedLogger library(path());
  ASSERT_TRUE(library.ok()) << library.error();
  ASSERT_TRUE(loader_holds(path()));
  ASSERT_TRUE(is_mapped(path()));

  unload_completely(library);
}

TEST_P(UnloadTest, UnloadsAfterEveryObjectWasBuilt) {
  RecordingChannel recorder;
  LoadedLogger library(path());
  ASSERT_TRUE(library.ok()) << library.error();
  const LoggerApi& api = library.api();
  api.add_channel(recorder.channel());
  api.add_raw_channel(recorder.raw_channel());
  EXPECT_TRUE(api.can_dispatch_log(kShort, MessageVerbosity::Normal));
  log_line(api, kShort, "unloads after every object was built");
  api.log_format_assert(kHere, "condition", "", "message", {});
  api.log_format_data_error(kHere, "message", {});
  EXPECT_THAT(category_names(api), ElementsAre(std::string(kShortName)));
  EXPECT_EQ(recorder.texts().size(), 3u);

  unload_completely(library);
}

TEST_P(UnloadTest, LoadingAgainStartsFromTheLoadTimeState) {
  RecordingChannel first;
  {
    LoadedLogger library(path());
    ASSERT_TRUE(library.ok()) << library.error();
    const LoggerApi& api = library.api();
    api.add_channel(first.channel());
    api.add_raw_channel(first.raw_channel());
    ASSERT_TRUE(api.change_verbosity(MessageVerbosity::Brief));
    api.set_default_options(Continuation | ChannelDefined);
    api.declare_category(kLong);
    ASSERT_TRUE(api.disable_category(kLong));
    log_line(api, kLong, "long");
    log_line(api, kShort, "short");
    // The long header raised the alignment width, so the short one is padded.
    ASSERT_EQ(first.texts().size(), 2u);
    ASSERT_EQ(mask_time(first.texts()[1]),
              with_nul("{hh:mm:ss.mmm} INFO: [b]" + std::string(kLongName.size() - kShortName.size(), ' ') +
                       " | short\n"));
    ASSERT_EQ(library.unload(), 0);
  }
  ASSERT_FALSE(loader_holds(path()));

  LoadedLogger library(path());
  ASSERT_TRUE(library.ok()) << library.error();
  const LoggerApi& api = library.api();
  EXPECT_EQ(api.runtime_verbosity(), MessageVerbosity::Detailed);
  EXPECT_EQ(api.default_options(), LogOptions{});
  EXPECT_THAT(category_names(api), IsEmpty());
  // Declared afresh from the record, enabled, instead of the disabled one.
  EXPECT_TRUE(api.can_dispatch_log(kLong, MessageVerbosity::Detailed));

  // The first log call builds both lists: the ordinary one with only the
  // built-in channel, the raw one empty.
  log_line(api, kShort, "first after loading again");
  RecordingChannel second;
  api.add_channel(second.channel());
  log_line(api, kShort, "short");
  const std::vector<RecordingChannel::Delivery> deliveries = second.deliveries();
  ASSERT_EQ(deliveries.size(), 1u);
  EXPECT_EQ(mask_time(deliveries[0].text), with_nul("{hh:mm:ss.mmm} INFO: [b] > short\n"));
  const DispatchContext& context = deliveries[0].context;
  EXPECT_FALSE(context.continuation);
  EXPECT_FALSE(context.channel_defined);
  ASSERT_EQ(context.channel_count, 2u);
  EXPECT_EQ(context.channels[0].name, "visual_studio");
  EXPECT_EQ(context.channels[1].name, "recording");
  EXPECT_EQ(context.raw_channel_count, 0u);
  EXPECT_EQ(first.deliveries().size(), 4u);  // two texts and two raw lines
}

TEST_P(UnloadTest, ChannelsHearNothingOfTheUnload) {
  RecordingChannel recorder;
  LoadedLogger library(path());
  ASSERT_TRUE(library.ok()) << library.error();
  const LoggerApi& api = library.api();
  api.add_channel(recorder.channel());
  api.add_raw_channel(recorder.raw_channel());
  api.declare_category(kShort);
  log_line(api, kShort, "before unload");
  ASSERT_EQ(recorder.deliveries().size(), 2u);

  ASSERT_EQ(library.unload(), 0);
  EXPECT_EQ(recorder.deliveries().size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Copies, UnloadTest, ::testing::Values(kInstalledLibrary, kTracedLibrary),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           return info.param == kInstalledLibrary ? "Installed" : "Traced";
                         });

TEST(TraceHookTest, OnlyTheTestOnlyBuildHasIt) {
  LoadedLogger installed(kInstalledLibrary);
  ASSERT_TRUE(installed.ok()) << installed.error();
  EXPECT_EQ(installed.symbol(kInstallTraceHookSymbol), nullptr);
  LoadedLogger traced(kTracedLibrary);
  ASSERT_TRUE(traced.ok()) << traced.error();
  EXPECT_NE(traced.symbol(kInstallTraceHookSymbol), nullptr);
}

// -----------------------------------------------------------------------------
// Build and teardown order, seen through the traced copy
// -----------------------------------------------------------------------------

class BuildOrderTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NO_FATAL_FAILURE(load()); }

  void load() {
    ASSERT_NO_FATAL_FAILURE(expect_unloaded(kTracedLibrary));
    steps_.clear();
    library_ = std::make_unique<LoadedLogger>(kTracedLibrary);
    ASSERT_TRUE(library_->ok()) << library_->error();
    ASSERT_TRUE(library_->install_trace_hook(&StepLog::record, &steps_));
  }

  // Unloads the library and returns every step since it was loaded.
  std::vector<std::string> unload() {
    EXPECT_EQ(library_->unload(), 0);
    EXPECT_FALSE(loader_holds(kTracedLibrary));
    return steps_.steps();
  }

  const LoggerApi& api() const { return library_->api(); }
  std::vector<std::string> steps() const { return steps_.steps(); }

  using NamedCall = std::pair<const char*, std::function<void(const LoggerApi&)>>;

  // Makes each call the first one of a fresh load and checks every step from
  // that load to the unload that follows.
  template <typename StepsMatcher>
  void expect_each_first_call_gives(const std::vector<NamedCall>& calls, const StepsMatcher& expected) {
    for (const auto& [name, call] : calls) {
      SCOPED_TRACE(name);
      if (library_ == nullptr) {
        ASSERT_NO_FATAL_FAILURE(load());
      }
      call(api());
      EXPECT_THAT(unload(), expected);
      library_.reset();
    }
  }

  // Declared first, so that the library, which calls into it at unload, goes
  // first.
  StepLog steps_;
  std::unique_ptr<LoadedLogger> library_;
};

TEST_F(BuildOrderTest, LoadingMakesOnlyTheLockAndUnloadingDestroysOnlyIt) {
  EXPECT_THAT(steps(), ElementsAre("+lock"));
  EXPECT_THAT(unload(), ElementsAre("+lock", "-lock"));
}

TEST_F(BuildOrderTest, VerbosityAndDefaultOptionCallsBuildNothing) {
  EXPECT_EQ(api().runtime_verbosity(), MessageVerbosity::Detailed);
  EXPECT_TRUE(api().change_verbosity(MessageVerbosity::Normal));
  EXPECT_FALSE(api().change_verbosity(static_cast<MessageVerbosity>(3)));
  EXPECT_EQ(api().runtime_verbosity(), MessageVerbosity::Normal);
  api().set_default_options(WithFileLine);
  EXPECT_EQ(api().default_options(), WithFileLine);
  api().reset_default_options();
  EXPECT_EQ(api().default_options(), LogOptions{});
  EXPECT_THAT(unload(), ElementsAre("+lock", "-lock"));
}

TEST_F(BuildOrderTest, EachAddDefaultChannelBuildsOnlyItsOwnList) {
  api().add_channel(LogChannel{"ordinary", nullptr, nullptr});
  api().add_channel(LogChannel{"ordinary again", nullptr, nullptr});
  EXPECT_THAT(unload(), ElementsAre("+lock", "+channels", "-channels", "-lock"));

  ASSERT_NO_FATAL_FAILURE(load());
  api().add_raw_channel(LogRawChannel{"raw", nullptr, nullptr});
  api().add_raw_channel(LogRawChannel{"raw again", nullptr, nullptr});
  EXPECT_THAT(unload(), ElementsAre("+lock", "+raw channels", "-raw channels", "-lock"));
}

TEST_F(BuildOrderTest, EveryLoggingCallBuildsTheOrdinaryListThenTheRawList) {
  const std::vector<NamedCall> calls = {
      {"log_format", [](const LoggerApi& api) { log_line(api, kShort, "first call"); }},
      {"log_format_source",
       [](const LoggerApi& api) {
         api.log_format_source(LogOptions{}, kHere, kShort, kInfo, "first call", {});
       }},
      {"log_format_assert",
       [](const LoggerApi& api) { api.log_format_assert(kHere, "condition", "", "first call", {}); }},
      {"log_format_data_error",
       [](const LoggerApi& api) { api.log_format_data_error(kHere, "first call", {}); }},
  };
  expect_each_first_call_gives(
      calls, ElementsAre("+lock", "+channels", "+raw channels", "-raw channels", "-channels", "-lock"));
}

TEST_F(BuildOrderTest, EveryCategoryCallBuildsTheResourceThenTheRegistry) {
  auto ignore_category = [](void*, CategoryInfo) {};
  const std::vector<NamedCall> calls = {
      {"can_dispatch_log",
       [](const LoggerApi& api) { api.can_dispatch_log(kShort, MessageVerbosity::Brief); }},
      {"declare_category", [](const LoggerApi& api) { api.declare_category(kShort); }},
      {"declare_category by name", [](const LoggerApi& api) { api.declare_category_by_name("b", true); }},
      {"enable_category", [](const LoggerApi& api) { api.enable_category(kShort); }},
      {"enable_category by name", [](const LoggerApi& api) { api.enable_category_by_name("b"); }},
      {"disable_category", [](const LoggerApi& api) { api.disable_category(kShort); }},
      {"disable_category by name", [](const LoggerApi& api) { api.disable_category_by_name("b"); }},
      {"change_category_verbosity",
       [](const LoggerApi& api) { api.change_category_verbosity(kShort, MessageVerbosity::Brief); }},
      {"change_category_verbosity by name",
       [](const LoggerApi& api) { api.change_category_verbosity_by_name("b", MessageVerbosity::Brief); }},
      {"reset_category_verbosity", [](const LoggerApi& api) { api.reset_category_verbosity(kShort); }},
      {"reset_category_verbosity by name",
       [](const LoggerApi& api) { api.reset_category_verbosity_by_name("b"); }},
      {"disable_all_known_categories", [](const LoggerApi& api) { api.disable_all_known_categories(); }},
      {"foreach_category", [&](const LoggerApi& api) { api.foreach_category(ignore_category, nullptr); }},
  };
  expect_each_first_call_gives(
      calls, ElementsAre("+lock", "+resource", "+registry", "-registry", "-resource", "-lock"));
}

TEST_F(BuildOrderTest, CategoriesFirstThenLogging) {
  api().declare_category(kShort);
  log_line(api(), kShort, "categories first");
  EXPECT_THAT(unload(), ElementsAre("+lock", "+resource", "+registry", "+channels", "+raw channels",
                                    "-raw channels", "-channels", "-registry", "-resource", "-lock"));
}

TEST_F(BuildOrderTest, TeardownFollowsTheOrderOfFirstUse) {
  api().add_raw_channel(LogRawChannel{"raw", nullptr, nullptr});
  log_line(api(), kShort, "raw channel first");
  api().declare_category(kShort);
  EXPECT_THAT(unload(), ElementsAre("+lock", "+raw channels", "+channels", "+resource", "+registry",
                                    "-registry", "-resource", "-channels", "-raw channels", "-lock"));
}

TEST_F(BuildOrderTest, RacingFirstCallsBuildEachObjectOnce) {
  constexpr int kThreads = 8;
  std::atomic<int> waiting{kThreads};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      waiting.fetch_sub(1);
      while (waiting.load() != 0) std::this_thread::yield();
      if (i % 2 == 0) {
        log_line(api(), kShort, "racing first call");
        api().can_dispatch_log(kShort, MessageVerbosity::Brief);
      } else {
        api().can_dispatch_log(kShort, MessageVerbosity::Brief);
        log_line(api(), kShort, "racing first call");
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  const std::vector<std::string> built = steps();
  ASSERT_THAT(built, UnorderedElementsAre("+lock", "+resource", "+registry", "+channels", "+raw channels"));
  const auto at = [&](const char* step) {
    return std::find(built.begin(), built.end(), step) - built.begin();
  };
  EXPECT_LT(at("+resource"), at("+registry"));
  EXPECT_LT(at("+channels"), at("+raw channels"));

  // Torn down in the reverse order of the making, whichever thread won. An
  // object counts as made when its teardown is registered, just after the
  // trace saw it built: of two objects built on two threads at once, the
  // trace may list them in the other order. Objects built one after the
  // other, as each call builds them, keep their order.
  const std::vector<std::string> steps_at_unload = unload();
  ASSERT_EQ(steps_at_unload.size(), 2 * built.size());
  const std::vector<std::string> torn_down(steps_at_unload.begin() + built.size(), steps_at_unload.end());
  EXPECT_THAT(torn_down,
              UnorderedElementsAre("-lock", "-resource", "-registry", "-channels", "-raw channels"));
  EXPECT_EQ(torn_down.back(), "-lock");
  const auto gone = [&](const char* step) {
    return std::find(torn_down.begin(), torn_down.end(), step) - torn_down.begin();
  };
  EXPECT_LT(gone("-registry"), gone("-resource"));
  EXPECT_LT(gone("-raw channels"), gone("-channels"));
}

// -----------------------------------------------------------------------------
// Calls made while the library is torn down at process exit
// -----------------------------------------------------------------------------

struct ExitCase {
  const char* name;
  std::string library;
  const char* when;
  std::vector<std::string> output;
};

void PrintTo(const ExitCase& c, std::ostream* out) { *out << c.name; }

// Runs the exit caller and returns its standard output; `*status` is its wait
// status.
std::string run_exit_caller(const ExitCase& c, int* status) {
  const std::string command = std::string("'") + CORE_LOGGER_EXIT_CALLER + "' '" + c.library + "' " + c.when;
  std::FILE* child = popen(command.c_str(), "r");
  if (child == nullptr) {
    *status = -1;
    return {};
  }
  std::string output;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, child)) > 0;) output.append(buffer, n);
  *status = pclose(child);
  return output;
}

class CallsDuringTeardownTest : public ::testing::TestWithParam<ExitCase> {};

TEST_P(CallsDuringTeardownTest, DoNothingAndDoNotCrash) {
  int status = 0;
  const std::string output = run_exit_caller(GetParam(), &status);
  ASSERT_TRUE(WIFEXITED(status)) << "wait status " << status << ", output:\n" << output;
  EXPECT_EQ(WEXITSTATUS(status), 0) << output;
  std::string expected;
  for (const std::string& line : GetParam().output) expected += line + "\n";
  EXPECT_EQ(output, expected);
}

// Before exit: the host's channels hear the one message and the declared
// category is known. At exit: no channel hears anything, nothing is known or
// declared, and the plain values still answer.
const std::vector<std::string> kBeforeExit = {"host raw channel: before exit", "host channel called"};
const std::string kKnownBeforeExit = "before exit can_dispatch_log 1, categories visited 1";
const std::string kLateBegin = "late calls begin";
const std::string kLateCategories =
    "late can_dispatch_log 0 0, enable 0 0, disable 0 0, change_category_verbosity 0 0, categories visited 0";
const std::string kLateValues = "late change_verbosity 1, runtime_verbosity 1, default_options 10 then 0";

std::vector<ExitCase> exit_cases() {
  const std::vector<std::string> built = {"step +lock", "step +channels", "step +raw channels"};
  return {
      {"InstalledBeforeUse",
       kInstalledLibrary,
       "before-use",
       {kBeforeExit[0], kBeforeExit[1], kKnownBeforeExit, kLateBegin, kLateCategories, kLateValues}},
      {"TracedBeforeLoad",
       kTracedLibrary,
       "before-load",
       {built[0], built[1], built[2], kBeforeExit[0], kBeforeExit[1], "step +resource", "step +registry",
        kKnownBeforeExit, "step -registry", "step -resource", "step -raw channels", "step -channels",
        "step -lock", kLateBegin, kLateCategories, kLateValues}},
      {"TracedBeforeUse",
       kTracedLibrary,
       "before-use",
       {built[0], built[1], built[2], kBeforeExit[0], kBeforeExit[1], "step +resource", "step +registry",
        kKnownBeforeExit, "step -registry", "step -resource", "step -raw channels", "step -channels",
        kLateBegin, kLateCategories, kLateValues, "step -lock"}},
      {"TracedMidUse",
       kTracedLibrary,
       "mid-use",
       {built[0], built[1], built[2], kBeforeExit[0], kBeforeExit[1], "step +resource", "step +registry",
        kKnownBeforeExit, "step -registry", "step -resource", kLateBegin, kLateCategories, kLateValues,
        "step -raw channels", "step -channels", "step -lock"}},
  };
}

INSTANTIATE_TEST_SUITE_P(ExitCaller, CallsDuringTeardownTest, ::testing::ValuesIn(exit_cases()),
                         [](const ::testing::TestParamInfo<ExitCase>& info) { return info.param.name; });

}  // namespace
}  // namespace core::logger::testing
