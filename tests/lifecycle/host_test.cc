// Load, first use and unload of the shared library, from a host that loads it
// at run time (dlopen or LoadLibrary) and reaches it only through its symbol
// table. The installed copy shows what users get; the test-only traced copy,
// built from the same sources, also reports every build and teardown step.
// Run as "host exit-caller <library> <when>", the host calls the library from
// its exit list once the library's teardown has begun, and reports what it
// sees on standard output.
#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/logger.h"
#include "lifecycle/library_lifecycle.h"
#include "lifecycle/loader.h"
#include "support/recording_channel.h"

namespace core::logger::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::UnorderedElementsAreArray;

// Every exported function, one pointer each.
struct LoggerApi {
  void (*log_format)(LogOptions, const LogCategory&, const LogLevel&, std::string_view, fmt::format_args);
  void (*log_format_source)(LogOptions, LogLocation, const LogCategory&, const LogLevel&, std::string_view,
                            fmt::format_args);
  void (*log_format_assert)(LogLocation, std::string_view, std::string_view, std::string_view,
                            fmt::format_args);
  void (*log_format_data_error)(LogLocation, std::string_view, fmt::format_args);
  LogOptions (*default_options)();
  void (*set_default_options)(LogOptions);
  void (*reset_default_options)();
  void (*add_channel)(LogChannel);
  void (*add_raw_channel)(LogRawChannel);
  bool (*can_dispatch_log)(const LogCategory&, MessageVerbosity);
  MessageVerbosity (*runtime_verbosity)();
  bool (*change_verbosity)(MessageVerbosity);
  void (*declare_category)(const LogCategory&);
  void (*declare_category_by_name)(std::string_view, bool);
  void (*disable_all_known_categories)();
  bool (*enable_category)(const LogCategory&);
  bool (*enable_category_by_name)(std::string_view);
  bool (*disable_category)(const LogCategory&);
  bool (*disable_category_by_name)(std::string_view);
  bool (*change_category_verbosity)(const LogCategory&, MessageVerbosity);
  bool (*change_category_verbosity_by_name)(std::string_view, MessageVerbosity);
  void (*reset_category_verbosity)(const LogCategory&);
  void (*reset_category_verbosity_by_name)(std::string_view);
  void (*foreach_category)(void (*)(void*, CategoryInfo), void*);
};

// The (Itanium ABI) symbol of every slot, in order: a signature that changes
// in the header without its symbol here makes binding fail.
#define CORE_LOGGER_VIEW "St17basic_string_viewIcSt11char_traitsIcEE"
#define CORE_LOGGER_ARGS(n) \
  "N3fmt2v917basic_format_argsINS" #n "_20basic_format_contextINS" #n "_8appenderEcEEEE"
const char* const kSymbols[] = {
    "_ZN4core6logger10log_formatENS0_10LogOptionsERKNS0_11LogCategoryERKNS0_8LogLevelE" CORE_LOGGER_VIEW
        CORE_LOGGER_ARGS(D),
    "_ZN4core6logger17log_format_sourceENS0_10LogOptionsENS0_11LogLocationERKNS0_11LogCategoryERKNS0_"
    "8LogLevelE" CORE_LOGGER_VIEW CORE_LOGGER_ARGS(E),
    "_ZN4core6logger17log_format_assertENS0_11LogLocationE" CORE_LOGGER_VIEW "S5_S5_" CORE_LOGGER_ARGS(7),
    "_ZN4core6logger21log_format_data_errorENS0_11LogLocationE" CORE_LOGGER_VIEW CORE_LOGGER_ARGS(7),
    "_ZN4core6logger15default_optionsEv",
    "_ZN4core6logger19set_default_optionsENS0_10LogOptionsE",
    "_ZN4core6logger21reset_default_optionsEv",
    "_ZN4core6logger19add_default_channelENS0_10LogChannelE",
    "_ZN4core6logger19add_default_channelENS0_13LogRawChannelE",
    "_ZN4core6logger16can_dispatch_logERKNS0_11LogCategoryENS0_16MessageVerbosityE",
    "_ZN4core6logger17runtime_verbosityEv",
    "_ZN4core6logger16change_verbosityENS0_16MessageVerbosityE",
    "_ZN4core6logger16declare_categoryERKNS0_11LogCategoryE",
    "_ZN4core6logger16declare_categoryE" CORE_LOGGER_VIEW "b",
    "_ZN4core6logger28disable_all_known_categoriesEv",
    "_ZN4core6logger15enable_categoryERKNS0_11LogCategoryE",
    "_ZN4core6logger15enable_categoryE" CORE_LOGGER_VIEW,
    "_ZN4core6logger16disable_categoryERKNS0_11LogCategoryE",
    "_ZN4core6logger16disable_categoryE" CORE_LOGGER_VIEW,
    "_ZN4core6logger25change_category_verbosityERKNS0_11LogCategoryENS0_16MessageVerbosityE",
    "_ZN4core6logger25change_category_verbosityE" CORE_LOGGER_VIEW "NS0_16MessageVerbosityE",
    "_ZN4core6logger24reset_category_verbosityERKNS0_11LogCategoryE",
    "_ZN4core6logger24reset_category_verbosityE" CORE_LOGGER_VIEW,
    "_ZN4core6logger16foreach_categoryEPFvPvNS0_12CategoryInfoEES1_",
};
static_assert(sizeof kSymbols / sizeof kSymbols[0] * sizeof(void*) == sizeof(LoggerApi));

// The hook that only the traced copy exports: it hands the host every build
// and teardown step (the numbers of LifecycleEvent), those taken before the
// hook was installed first.
using TraceHook = void (*)(void* user_data, int event);

// "+lock" for the lock's making, "-lock" for its teardown, and so on.
std::string step_name(int event) {
  static const char* const kObjects[] = {"lock", "resource", "registry", "channels", "raw channels"};
  const int object = event % 100 - static_cast<int>(detail::LifecycleEvent::kRegistryLockBuilt);
  if (object < 0 || object > 4) return "?" + std::to_string(event);
  return (event > 100 ? "-" : "+") + std::string(kObjects[object]);
}

// One handle of the library at `path`, its functions bound; closed by
// `unload` or at the latest by the destructor.
class LoadedLogger {
 public:
  explicit LoadedLogger(const std::string& path) : path_(path), handle_(loader::load(path)) {
    if (handle_ == nullptr) error_ = "cannot load " + path + ": " + loader::last_error();
    for (std::size_t i = 0; handle_ != nullptr && i < std::size(kSymbols) && error_.empty(); ++i) {
      void* address = loader::symbol(handle_, kSymbols[i]);
      if (address == nullptr) error_ = std::string("missing symbol ") + kSymbols[i];
      std::memcpy(reinterpret_cast<char*>(&api_) + i * sizeof address, &address, sizeof address);
    }
  }
  ~LoadedLogger() { unload(); }

  const std::string& error() const { return error_; }
  const LoggerApi& api() const { return api_; }

  // Installs the trace hook of a traced copy; false when there is none.
  bool trace(TraceHook hook, void* user_data) const {
    void* install = loader::symbol(handle_, "core_logger_trace_lifecycle");
    if (install != nullptr) reinterpret_cast<void (*)(TraceHook, void*)>(install)(hook, user_data);
    return install != nullptr;
  }

  // Closes the handle; true when the library is gone from the process.
  bool unload() {
    if (handle_ == nullptr) return false;
    const bool closed = loader::unload(handle_);
    handle_ = nullptr;
    return closed && !loader::is_loaded(path_);
  }

 private:
  std::string path_;
  void* handle_;
  LoggerApi api_{};
  std::string error_;
};

constexpr LogCategory kShort{{"b", category_id("b")}, true, MessageVerbosity::Detailed};
constexpr LogCategory kLong{
    {"lifecycle.long_name", category_id("lifecycle.long_name")}, true, MessageVerbosity::Detailed};
constexpr LogLevel kInfo{"INFO", 2};
constexpr LogLocation kHere{"test", "host_test.cc", 1};

void log_line(const LoggerApi& api, std::string_view text) {
  api.log_format(LogOptions{}, kShort, kInfo, text, {});
}

int count_categories(const LoggerApi& api) {
  int count = 0;
  api.foreach_category([](void* count, CategoryInfo) { ++*static_cast<int*>(count); }, &count);
  return count;
}

// -----------------------------------------------------------------------------
// Unloading and loading again, for the installed and the traced copy
// -----------------------------------------------------------------------------

class UnloadTest : public ::testing::TestWithParam<std::string> {
 protected:
  // A copy that an earlier test failed to unload would hand its state on.
  void SetUp() override { ASSERT_FALSE(loader::is_loaded(GetParam())) << "still loaded by an earlier test"; }
};

TEST_P(UnloadTest, UnloadsCompletelyWhetherNothingOrEverythingWasBuilt) {
  LoadedLogger idle(GetParam());
  ASSERT_EQ(idle.error(), "");
  ASSERT_TRUE(loader::is_loaded(GetParam()));
  EXPECT_TRUE(idle.unload());

  RecordingChannel recorder;
  LoadedLogger library(GetParam());
  ASSERT_EQ(library.error(), "");
  const LoggerApi& api = library.api();
  api.add_channel(recorder.channel());
  api.add_raw_channel(recorder.raw_channel());
  EXPECT_TRUE(api.can_dispatch_log(kShort, MessageVerbosity::Normal));
  log_line(api, "every object is built");
  api.log_format_assert(kHere, "condition", "", "message", {});
  api.log_format_data_error(kHere, "message", {});
  EXPECT_EQ(recorder.texts().size(), 3u);
  const std::size_t deliveries = recorder.deliveries().size();
  EXPECT_TRUE(library.unload());
  EXPECT_EQ(recorder.deliveries().size(), deliveries);  // channels hear nothing of the unload
}

TEST_P(UnloadTest, LoadingAgainStartsFromTheLoadTimeState) {
  RecordingChannel first;
  {
    LoadedLogger library(GetParam());
    ASSERT_EQ(library.error(), "");
    const LoggerApi& api = library.api();
    api.add_channel(first.channel());
    ASSERT_TRUE(api.change_verbosity(MessageVerbosity::Brief));
    api.set_default_options(Continuation | ChannelDefined);
    api.declare_category(kLong);
    ASSERT_TRUE(api.disable_category(kLong));
    api.log_format(LogOptions{}, kLong, kInfo, "long", {});
    log_line(api, "short");
    // The long header raised the alignment width, so the short one is padded.
    ASSERT_EQ(mask_time(first.texts().at(1)),
              with_nul("{hh:mm:ss.mmm} INFO: [b]" + std::string(18, ' ') + " | short\n"));
    ASSERT_TRUE(library.unload());
  }
  LoadedLogger library(GetParam());
  ASSERT_EQ(library.error(), "");
  const LoggerApi& api = library.api();
  EXPECT_EQ(api.runtime_verbosity(), MessageVerbosity::Detailed);
  EXPECT_EQ(api.default_options(), LogOptions{});
  EXPECT_EQ(count_categories(api), 0);
  EXPECT_TRUE(api.can_dispatch_log(kLong, MessageVerbosity::Detailed));  // declared afresh, enabled

  // A first log call builds the ordinary list with only the built-in channel
  // and the raw list empty.
  log_line(api, "first after loading again");
  RecordingChannel second;
  api.add_channel(second.channel());
  log_line(api, "short");
  const std::vector<RecordingChannel::Delivery> deliveries = second.deliveries();
  ASSERT_EQ(deliveries.size(), 1u);
  EXPECT_EQ(mask_time(deliveries[0].text), with_nul("{hh:mm:ss.mmm} INFO: [b] > short\n"));
  const DispatchContext& context = deliveries[0].context;
  ASSERT_EQ(context.channel_count, 2u);
  EXPECT_EQ(context.channels[0].name, "visual_studio");
  EXPECT_EQ(context.raw_channel_count, 0u);
  EXPECT_EQ(first.texts().size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Copies, UnloadTest,
                         ::testing::Values(CORE_LOGGER_INSTALLED_LIBRARY, CORE_LOGGER_TRACED_LIBRARY),
                         [](const auto& info) { return info.index == 0 ? "Installed" : "Traced"; });

// -----------------------------------------------------------------------------
// Build and teardown order, seen through the traced copy
// -----------------------------------------------------------------------------

// The steps that a traced copy reports, in order. Thread-safe.
class StepLog {
 public:
  static void record(void* self, int event) {
    auto* log = static_cast<StepLog*>(self);
    std::lock_guard<std::mutex> lock(log->mutex_);
    log->steps_.push_back(step_name(event));
  }
  std::vector<std::string> steps() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return steps_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> steps_;
};

// Loads the traced copy, runs `calls` and unloads it; returns every step.
std::vector<std::string> steps_of(const std::function<void(const LoggerApi&)>& calls) {
  StepLog log;  // outlives the library, which calls into it at unload
  LoadedLogger library(CORE_LOGGER_TRACED_LIBRARY);
  EXPECT_EQ(library.error(), "");
  EXPECT_TRUE(library.trace(&StepLog::record, &log));
  calls(library.api());
  EXPECT_TRUE(library.unload());
  return log.steps();
}

struct OrderCase {
  const char* name;
  std::function<void(const LoggerApi&)> calls;
  std::vector<std::string> steps;
};

TEST(BuildOrderTest, EachObjectIsBuiltOnFirstUseAndTornDownInReverse) {
  const std::vector<std::string> none = {"+lock", "-lock"};
  const std::vector<std::string> lists = {"+lock",         "+channels", "+raw channels",
                                          "-raw channels", "-channels", "-lock"};
  const std::vector<std::string> registry = {"+lock",     "+resource", "+registry",
                                             "-registry", "-resource", "-lock"};
  const auto ignore = [](void*, CategoryInfo) {};
  const OrderCase cases[] = {
      {"no call", [](const LoggerApi&) {}, none},
      {"verbosity and default options",
       [](const LoggerApi& api) {
         api.change_verbosity(MessageVerbosity::Normal), api.runtime_verbosity(),
             api.change_verbosity(MessageVerbosity(3));
         api.set_default_options(WithFileLine), api.default_options(), api.reset_default_options();
       },
       none},
      {"ordinary channels",
       [](const LoggerApi& api) { api.add_channel({}), api.add_channel({}); },
       {"+lock", "+channels", "-channels", "-lock"}},
      {"raw channels",
       [](const LoggerApi& api) { api.add_raw_channel({}), api.add_raw_channel({}); },
       {"+lock", "+raw channels", "-raw channels", "-lock"}},
      {"log_format", [](const LoggerApi& api) { log_line(api, "first"); }, lists},
      {"log_format_source",
       [](const LoggerApi& api) { api.log_format_source({}, kHere, kShort, kInfo, "", {}); }, lists},
      {"log_format_assert", [](const LoggerApi& api) { api.log_format_assert(kHere, "c", "", "", {}); },
       lists},
      {"log_format_data_error", [](const LoggerApi& api) { api.log_format_data_error(kHere, "", {}); },
       lists},
      {"can_dispatch_log",
       [](const LoggerApi& api) { api.can_dispatch_log(kShort, MessageVerbosity::Brief); }, registry},
      {"declare_category", [](const LoggerApi& api) { api.declare_category(kShort); }, registry},
      {"declare_category by name", [](const LoggerApi& api) { api.declare_category_by_name("b", true); },
       registry},
      {"enable_category", [](const LoggerApi& api) { api.enable_category(kShort); }, registry},
      {"enable_category by name", [](const LoggerApi& api) { api.enable_category_by_name("b"); }, registry},
      {"disable_category", [](const LoggerApi& api) { api.disable_category(kShort); }, registry},
      {"disable_category by name", [](const LoggerApi& api) { api.disable_category_by_name("b"); }, registry},
      {"change_category_verbosity",
       [](const LoggerApi& api) { api.change_category_verbosity(kShort, MessageVerbosity::Brief); },
       registry},
      {"change_category_verbosity by name",
       [](const LoggerApi& api) { api.change_category_verbosity_by_name("b", MessageVerbosity::Brief); },
       registry},
      {"reset_category_verbosity", [](const LoggerApi& api) { api.reset_category_verbosity(kShort); },
       registry},
      {"reset_category_verbosity by name",
       [](const LoggerApi& api) { api.reset_category_verbosity_by_name("b"); }, registry},
      {"disable_all_known_categories", [](const LoggerApi& api) { api.disable_all_known_categories(); },
       registry},
      {"foreach_category", [&](const LoggerApi& api) { api.foreach_category(ignore, nullptr); }, registry},
      {"categories, then logging",
       [](const LoggerApi& api) { api.declare_category(kShort), log_line(api, "second"); },
       {"+lock", "+resource", "+registry", "+channels", "+raw channels", "-raw channels", "-channels",
        "-registry", "-resource", "-lock"}},
      {"a raw channel, logging, then categories",
       [](const LoggerApi& api) {
         api.add_raw_channel({}), log_line(api, "second"), api.declare_category(kShort);
       },
       {"+lock", "+raw channels", "+channels", "+resource", "+registry", "-registry", "-resource",
        "-channels", "-raw channels", "-lock"}},
  };
  for (const OrderCase& c : cases) EXPECT_THAT(steps_of(c.calls), ElementsAreArray(c.steps)) << c.name;
}

TEST(BuildOrderTest, RacingFirstCallsBuildEachObjectOnce) {
  std::vector<std::string> built;
  const std::vector<std::string> steps = steps_of([&](const LoggerApi& api) {
    std::atomic<int> waiting{8};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
      threads.emplace_back([&, i] {
        for (--waiting; waiting.load() != 0;) std::this_thread::yield();
        i % 2 ? log_line(api, "racing") : (void)api.can_dispatch_log(kShort, MessageVerbosity::Brief);
        i % 2 ? (void)api.can_dispatch_log(kShort, MessageVerbosity::Brief) : log_line(api, "racing");
      });
    }
    for (std::thread& thread : threads) thread.join();
  });
  // Torn down in the reverse order of the making, whichever thread won. An
  // object counts as made when its teardown is registered, just after the
  // trace saw it built, so of two objects built on two threads at once the
  // trace may list them in the other order; each call builds its own objects
  // one after the other, in their order.
  ASSERT_EQ(steps.size(), 10u);
  const std::vector<std::string> made(steps.begin(), steps.begin() + 5), gone(steps.begin() + 5, steps.end());
  EXPECT_THAT(made,
              UnorderedElementsAreArray({"+lock", "+resource", "+registry", "+channels", "+raw channels"}));
  EXPECT_EQ(gone.back(), "-lock");
  const auto at = [](const std::vector<std::string>& in, const char* step) {
    return std::find(in.begin(), in.end(), step) - in.begin();
  };
  EXPECT_TRUE(at(made, "+resource") < at(made, "+registry") &&
              at(made, "+channels") < at(made, "+raw channels"));
  EXPECT_TRUE(at(gone, "-registry") < at(gone, "-resource") &&
              at(gone, "-raw channels") < at(gone, "-channels"));
  EXPECT_THAT(gone,
              UnorderedElementsAreArray({"-lock", "-resource", "-registry", "-channels", "-raw channels"}));
}

// -----------------------------------------------------------------------------
// Calls made while the library is torn down at process exit
// -----------------------------------------------------------------------------

LoggerApi g_api;  // of the exit caller

void say_step(void*, int event) { loader::say("step " + step_name(event)); }

// Every exported call, made from the exit list once the library's teardown
// has begun. None may crash, reach a channel or declare a category; the
// runtime verbosity and the default options keep working.
void call_in_late() {
  loader::say("late calls begin");
  const auto say_text = [](void*, const DispatchContext&, const LogCategory&, const LogLevel&,
                           std::string_view) { loader::say("late channel called"); };
  g_api.add_channel(LogChannel{"late", say_text, nullptr});
  g_api.log_format(LogOptions{}, kShort, kInfo, "log_format {}", fmt::make_format_args("late"));
  g_api.log_format_source(LogOptions{}, kHere, kShort, kInfo, "log_format_source", {});
  g_api.log_format_assert(kHere, "condition", "callstack", "log_format_assert", {});
  g_api.log_format_data_error(kHere, "log_format_data_error", {});
  g_api.declare_category(kLong);
  g_api.declare_category_by_name("exit.by_name", true);
  const bool answers[] = {g_api.can_dispatch_log(kShort, MessageVerbosity::Brief),
                          g_api.can_dispatch_log(kLong, MessageVerbosity::Brief),
                          g_api.enable_category(kShort),
                          g_api.enable_category_by_name("b"),
                          g_api.disable_category(kShort),
                          g_api.disable_category_by_name("b"),
                          g_api.change_category_verbosity(kShort, MessageVerbosity::Normal),
                          g_api.change_category_verbosity_by_name("b", MessageVerbosity::Normal)};
  g_api.reset_category_verbosity(kShort);
  g_api.reset_category_verbosity_by_name("b");
  g_api.disable_all_known_categories();
  std::string line = "late answers";
  for (bool answer : answers) line += answer ? " 1" : " 0";
  loader::say(line + ", categories " + std::to_string(count_categories(g_api)));
  const bool accepted = g_api.change_verbosity(MessageVerbosity::Normal);
  g_api.set_default_options(WithFunction | ChannelDefined);
  const auto options = static_cast<unsigned>(g_api.default_options());
  g_api.reset_default_options();
  loader::say(fmt::format("late change_verbosity {:d}, runtime_verbosity {}, default_options {} then {}",
                          accepted, static_cast<unsigned>(g_api.runtime_verbosity()), options,
                          static_cast<unsigned>(g_api.default_options())));
}

// The exit caller: loads `library`, arms the late calls at the moment `when`
// names (before-load: after the whole teardown; before-use: after the lazily
// built objects, before the lock; mid-use: between the channel lists and the
// registry), uses the library and ends without unloading it.
int run_exit_caller(const std::string& library, const std::string& when) {
  if (when == "before-load") loader::call_at_exit(&call_in_late);
  static const LoadedLogger* const loaded = new LoadedLogger(library);  // the process ends with it loaded
  if (!loaded->error().empty()) return loader::say(loaded->error()), 3;
  g_api = loaded->api();
  loaded->trace(&say_step, nullptr);
  if (when == "before-use") loader::call_at_exit(&call_in_late);
  g_api.add_channel(LogChannel{"host",
                               [](void*, const DispatchContext&, const LogCategory&, const LogLevel&,
                                  std::string_view) { loader::say("host channel called"); },
                               nullptr});
  log_line(g_api, "before exit");
  if (when == "mid-use") loader::call_at_exit(&call_in_late);
  g_api.declare_category(kShort);
  loader::say(fmt::format("before exit {:d}, categories {}",
                          g_api.can_dispatch_log(kShort, MessageVerbosity::Brief), count_categories(g_api)));
  return 0;
}

struct ExitCase {
  const char* name;
  const char* library;
  const char* when;
  std::vector<std::string> output;
};

void PrintTo(const ExitCase& c, std::ostream* out) { *out << c.name; }

class CallsDuringTeardownTest : public ::testing::TestWithParam<ExitCase> {};

TEST_P(CallsDuringTeardownTest, DoNothingAndDoNotCrash) {
  const ExitCase& c = GetParam();
  if (c.when != std::string("before-load") && !loader::kCanCallAtExitAfterLoad) GTEST_SKIP() << "not here";
  int exit_code = 0;
  const std::string output =
      loader::run_self(std::string("exit-caller ") + c.library + " " + c.when, &exit_code);
  EXPECT_EQ(exit_code, 0) << output;
  std::string expected;
  for (const std::string& line : c.output) expected += line + "\n";
  EXPECT_EQ(output, expected);
}

// Before exit: the host's channel hears the one message and the category is
// known. At exit: no channel hears anything, nothing is known or declared,
// and the plain values still answer.
const char kBefore[] = "host channel called";
const char kKnown[] = "before exit 1, categories 1";
const char kLateBegin[] = "late calls begin";
const char kLateAnswers[] = "late answers 0 0 0 0 0 0 0 0, categories 0";
const char kLateValues[] = "late change_verbosity 1, runtime_verbosity 1, default_options 10 then 0";
#define CORE_LOGGER_BUILT                                                                                    \
  "step +lock", "step +channels", "step +raw channels", kBefore, "step +resource", "step +registry", kKnown, \
      "step -registry", "step -resource"

INSTANTIATE_TEST_SUITE_P(
    ExitCaller, CallsDuringTeardownTest,
    ::testing::Values(ExitCase{"InstalledBeforeLoad",
                               CORE_LOGGER_INSTALLED_LIBRARY,
                               "before-load",
                               {kBefore, kKnown, kLateBegin, kLateAnswers, kLateValues}},
                      ExitCase{"TracedBeforeLoad",
                               CORE_LOGGER_TRACED_LIBRARY,
                               "before-load",
                               {CORE_LOGGER_BUILT, "step -raw channels", "step -channels", "step -lock",
                                kLateBegin, kLateAnswers, kLateValues}},
                      ExitCase{"TracedBeforeUse",
                               CORE_LOGGER_TRACED_LIBRARY,
                               "before-use",
                               {CORE_LOGGER_BUILT, "step -raw channels", "step -channels", kLateBegin,
                                kLateAnswers, kLateValues, "step -lock"}},
                      ExitCase{"TracedMidUse",
                               CORE_LOGGER_TRACED_LIBRARY,
                               "mid-use",
                               {CORE_LOGGER_BUILT, kLateBegin, kLateAnswers, kLateValues,
                                "step -raw channels", "step -channels", "step -lock"}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace core::logger::testing

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "exit-caller") {
    return core::logger::testing::run_exit_caller(argv[2], argv[3]);
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
