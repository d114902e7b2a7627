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

#include "core/channels.h"
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
  static const char* const kObjects[] = {"lock", "resource", "registry", "channels", "raw"};
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

// Loads the traced copy, runs `calls` and unloads it; returns every step,
// each followed by a blank.
std::string steps_of(const std::function<void(const LoggerApi&)>& calls) {
  StepLog log;  // outlives the library, which calls into it at unload
  LoadedLogger library(CORE_LOGGER_TRACED_LIBRARY);
  EXPECT_EQ(library.error(), "");
  EXPECT_TRUE(library.trace(&StepLog::record, &log));
  calls(library.api());
  EXPECT_TRUE(library.unload());
  std::string steps;
  for (const std::string& step : log.steps()) steps += step + " ";
  return steps;
}

using Call = void (*)(const LoggerApi&);

TEST(BuildOrderTest, EachObjectIsBuiltOnFirstUseAndTornDownInReverse) {
  const std::pair<std::vector<Call>, const char*> groups[] = {
      {{[](auto&) {},
        [](auto& a) {
          a.change_verbosity(MessageVerbosity(3)), a.change_verbosity({}), a.runtime_verbosity();
        },
        [](auto& a) { a.set_default_options(WithFileLine), a.default_options(), a.reset_default_options(); }},
       "+lock -lock "},
      {{[](auto& a) { a.add_channel({}), a.add_channel({}); }}, "+lock +channels -channels -lock "},
      {{[](auto& a) { a.add_raw_channel({}), a.add_raw_channel({}); }}, "+lock +raw -raw -lock "},
      {{[](auto& a) { log_line(a, "first"); },
        [](auto& a) { a.log_format_source({}, kHere, kShort, kInfo, "", {}); },
        [](auto& a) { a.log_format_assert(kHere, "c", "", "", {}); },
        [](auto& a) { a.log_format_data_error(kHere, "", {}); }},
       "+lock +channels +raw -raw -channels -lock "},
      {{[](auto& a) { a.can_dispatch_log(kShort, MessageVerbosity::Brief); },
        [](auto& a) { a.declare_category(kShort); }, [](auto& a) { a.declare_category_by_name("b", true); },
        [](auto& a) { a.enable_category(kShort); }, [](auto& a) { a.enable_category_by_name("b"); },
        [](auto& a) { a.disable_category(kShort); }, [](auto& a) { a.disable_category_by_name("b"); },
        [](auto& a) { a.change_category_verbosity(kShort, {}); },
        [](auto& a) { a.change_category_verbosity_by_name("b", {}); },
        [](auto& a) { a.reset_category_verbosity(kShort); },
        [](auto& a) { a.reset_category_verbosity_by_name("b"); },
        [](auto& a) { a.disable_all_known_categories(); },
        [](auto& a) { a.foreach_category([](void*, CategoryInfo) {}, nullptr); }},
       "+lock +resource +registry -registry -resource -lock "},
      {{[](auto& a) { a.declare_category(kShort), log_line(a, "second"); }},
       "+lock +resource +registry +channels +raw -raw -channels -registry -resource -lock "},
      {{[](auto& a) { a.add_raw_channel({}), log_line(a, "second"), a.declare_category(kShort); }},
       "+lock +raw +channels +resource +registry -registry -resource -channels -raw -lock "},
  };
  for (const auto& [calls, steps] : groups) {
    for (std::size_t i = 0; i < calls.size(); ++i) EXPECT_EQ(steps_of(calls[i]), steps) << "call " << i;
  }
}

TEST(BuildOrderTest, RacingFirstCallsBuildEachObjectOnce) {
  const std::string steps = steps_of([](const LoggerApi& api) {
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
  // Each object once, torn down in the reverse order of its making whichever
  // thread won. An object counts as made when its teardown is registered,
  // just after the trace saw it built: of two objects built on two threads at
  // once, the trace may list them in the other order, but each call builds
  // its own objects one after the other.
  ASSERT_EQ(std::count(steps.begin(), steps.end(), ' '), 10) << steps;
  const auto at = [&](const char* step) { return steps.find(step); };
  EXPECT_TRUE(at("+lock") == 0 && at("-lock ") == steps.size() - 6 && steps.rfind('+') < steps.find('-'))
      << steps;
  for (const char* step :
       {"+resource ", "+registry ", "+channels ", "+raw ", "-resource ", "-registry ", "-channels "}) {
    EXPECT_NE(at(step), std::string::npos) << step;
  }
  EXPECT_TRUE(at("+resource") < at("+registry") && at("+channels") < at("+raw")) << steps;
  EXPECT_TRUE(at("-registry") < at("-resource") && at("-raw") < at("-channels")) << steps;
}

// -----------------------------------------------------------------------------
// The channels library's crash handler, unloaded
// -----------------------------------------------------------------------------

TEST(CrashHandlerUnloadTest, UnloadingTheChannelsLibraryRestoresWhatCrashesReached) {
  const std::string before = loader::crash_dispositions();
  void* library = loader::load(CORE_LOGGER_CHANNELS_LIBRARY);
  ASSERT_NE(library, nullptr) << loader::last_error();
  const auto install = reinterpret_cast<bool (*)(const CrashHandlerOptions&)>(
      loader::symbol(library, "_ZN4core6logger21install_crash_handlerERKNS0_19CrashHandlerOptionsE"));
  ASSERT_NE(install, nullptr);
  ASSERT_TRUE(install(CrashHandlerOptions{}));
  EXPECT_NE(loader::crash_dispositions(), before);
  // A thread that got its alternate stack from the library ends after the
  // unload, which must not leave it a destructor in unloaded code.
  std::mutex mutex;
  std::unique_lock<std::mutex> unloaded(mutex);
  std::atomic<int> installed{-1};
  std::thread late([&] {
    installed = install(CrashHandlerOptions{});
    std::lock_guard<std::mutex> wait(mutex);
  });
  while (installed < 0) std::this_thread::yield();
  EXPECT_EQ(installed, 1);
  EXPECT_TRUE(loader::unload(library));
  EXPECT_FALSE(loader::is_loaded(CORE_LOGGER_CHANNELS_LIBRARY));
  unloaded.unlock();
  late.join();
  EXPECT_EQ(loader::crash_dispositions(), before);
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

TEST(CallsDuringTeardownTest, DoNothingAndDoNotCrash) {
  // Before exit, the host's channel hears its message and the category is
  // known; at exit, no channel hears anything, nothing is known or declared,
  // and the plain values still answer.
  const std::string before = "host channel called\n", known = "before exit 1, categories 1\n";
  const std::string late =
      "late calls begin\nlate answers 0 0 0 0 0 0 0 0, categories 0\n"
      "late change_verbosity 1, runtime_verbosity 1, default_options 10 then 0\n";
  const std::string built = "step +lock\nstep +channels\nstep +raw\n" + before +
                            "step +resource\nstep +registry\n" + known + "step -registry\nstep -resource\n";
  const std::tuple<const char*, const char*, std::string> cases[] = {
      {CORE_LOGGER_INSTALLED_LIBRARY, "before-load", before + known + late},
      {CORE_LOGGER_TRACED_LIBRARY, "before-load", built + "step -raw\nstep -channels\nstep -lock\n" + late},
      {CORE_LOGGER_TRACED_LIBRARY, "before-use",
       built + "step -raw\nstep -channels\n" + late + "step -lock\n"},
      {CORE_LOGGER_TRACED_LIBRARY, "mid-use", built + late + "step -raw\nstep -channels\nstep -lock\n"},
  };
  for (const auto& [library, when, expected] : cases) {
    if (when != std::string("before-load") && !loader::kCanCallAtExitAfterLoad) continue;
    int exit_code = -1;
    EXPECT_EQ(loader::run_self(std::string("exit-caller ") + library + " " + when, &exit_code), expected)
        << when;
    EXPECT_EQ(exit_code, 0) << library << " " << when;
  }
}

}  // namespace
}  // namespace core::logger::testing

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "exit-caller") {
    return core::logger::testing::run_exit_caller(argv[2], argv[3]);
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
