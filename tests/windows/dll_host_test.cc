// A host that loads core_logger.dll with LoadLibrary, as a module that does
// not link it would, drives it through GetProcAddress and unloads it with
// FreeLibrary. It checks that the DLL really goes away, that a reload starts
// from the load-time state, through the test-only traced build the order in
// which the library's objects are made and torn down, and that calls after
// the teardown at process exit do nothing.
#include <cstdio>
#include <string>
#include <vector>

#include <fmt/core.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/logger.h"
#include "support/recording_channel.h"
#include "windows/logger_exports.h"

namespace core::logger {
namespace {

using ::testing::ElementsAre;

constexpr char kLibrary[] = "core_logger.dll";
constexpr char kTracedLibrary[] = "core_logger_traced.dll";

// One load of a DLL, released when it goes out of scope.
class LoadedLibrary {
 public:
  explicit LoadedLibrary(const char* file) : file_(file), module_(::LoadLibraryA(file)) {
    if (module_ != nullptr) {
      EXPECT_TRUE(testing::bind_logger_exports(module_, &api_));
    }
  }
  ~LoadedLibrary() {
    if (module_ != nullptr) ::FreeLibrary(module_);
  }
  LoadedLibrary(const LoadedLibrary&) = delete;
  LoadedLibrary& operator=(const LoadedLibrary&) = delete;

  bool loaded() const { return module_ != nullptr; }
  HMODULE module() const { return module_; }
  const testing::LoggerExports& api() const { return api_; }

  // Releases the DLL; true when the process no longer has it mapped.
  bool unload() {
    ::FreeLibrary(module_);
    module_ = nullptr;
    return ::GetModuleHandleA(file_) == nullptr;
  }

 private:
  const char* file_;
  HMODULE module_;
  testing::LoggerExports api_{};
};

constexpr LogCategory kShort{{"s", category_id("s")}, true, MessageVerbosity::Detailed};
constexpr LogCategory kLong{
    {"a-long-category-name", category_id("a-long-category-name")}, true, MessageVerbosity::Detailed};
constexpr LogLevel kInfo{"INFO", 2};

void log(const testing::LoggerExports& api, const LogCategory& category, std::string_view message) {
  api.log_format(LogOptions{}, category, kInfo, message, fmt::format_args());
}

void count_category(void* count, CategoryInfo) { ++*static_cast<int*>(count); }

TEST(DllHostTest, FreeLibraryUnloadsTheDll) {
  LoadedLibrary library(kLibrary);
  ASSERT_TRUE(library.loaded()) << ::GetLastError();
  EXPECT_NE(::GetModuleHandleA(kLibrary), nullptr);
  EXPECT_TRUE(library.unload());
}

TEST(DllHostTest, ReloadStartsFromTheLoadTimeState) {
  testing::RecordingChannel before_unload;
  {
    LoadedLibrary library(kLibrary);
    ASSERT_TRUE(library.loaded()) << ::GetLastError();
    const testing::LoggerExports& api = library.api();
    api.add_channel(before_unload.channel());
    api.add_raw_channel(before_unload.raw_channel());
    ASSERT_TRUE(api.change_verbosity(MessageVerbosity::Brief));
    api.set_default_options(Continuation);
    api.declare_category(kShort);
    log(api, kLong, "long");
    log(api, kShort, "short");
    // Within one load, the long header widened the short one's.
    ASSERT_EQ(before_unload.texts().size(), 2u);
    EXPECT_EQ(testing::mask_time(before_unload.texts()[1]),
              testing::with_nul("{hh:mm:ss.mmm} INFO: [s]                    | short\n"));
    ASSERT_TRUE(library.unload());
  }
  const std::size_t deliveries_before_unload = before_unload.deliveries().size();

  LoadedLibrary library(kLibrary);
  ASSERT_TRUE(library.loaded()) << ::GetLastError();
  const testing::LoggerExports& api = library.api();
  EXPECT_EQ(api.runtime_verbosity(), MessageVerbosity::Detailed);
  EXPECT_EQ(api.default_options(), LogOptions{});
  int categories = 0;
  api.foreach_category(&count_category, &categories);
  EXPECT_EQ(categories, 0);

  testing::RecordingChannel after_reload;
  api.add_channel(after_reload.channel());
  log(api, kShort, "short");
  const std::vector<testing::RecordingChannel::Delivery> deliveries = after_reload.deliveries();
  ASSERT_EQ(deliveries.size(), 1u);
  // PrefixWidth is back to 0: the short header stands unpadded.
  EXPECT_EQ(testing::mask_time(deliveries[0].text), testing::with_nul("{hh:mm:ss.mmm} INFO: [s] > short\n"));
  // Only the built-in channel was there before this host's.
  const DispatchContext& context = deliveries[0].context;
  ASSERT_EQ(context.channel_count, 2u);
  EXPECT_EQ(context.channels[0].name, "visual_studio");
  EXPECT_EQ(context.raw_channel_count, 0u);
  // The channels of the first load heard nothing more: not at unload, and
  // not from the second load.
  EXPECT_EQ(before_unload.deliveries().size(), deliveries_before_unload);
}

// The test-only traced build reports each build and teardown step.
enum Event : int {
  kLockBuilt = 1,
  kMemoryResourceBuilt,
  kRegistryBuilt,
  kChannelListBuilt,
  kRawChannelListBuilt,
  kLockDestroyed = 101,
  kMemoryResourceDestroyed,
  kRegistryDestroyed,
  kChannelListDestroyed,
  kRawChannelListDestroyed,
};

class TracedLibrary : public LoadedLibrary {
 public:
  TracedLibrary() : LoadedLibrary(kTracedLibrary) {
    if (!loaded()) return;
    using Install = void (*)(void (*)(void*, int), void*);
    auto install = reinterpret_cast<Install>(
        reinterpret_cast<void*>(::GetProcAddress(module(), "core_logger_trace_lifecycle")));
    EXPECT_NE(install, nullptr);
    if (install != nullptr) install(&record, &events_);
  }

  const std::vector<int>& events() const { return events_; }

 private:
  static void record(void* events, int event) { static_cast<std::vector<int>*>(events)->push_back(event); }

  std::vector<int> events_;
};

TEST(DllLifecycleTest, LoadAndUnloadWithNoCallMakeAndDestroyOnlyTheLock) {
  TracedLibrary library;
  ASSERT_TRUE(library.loaded()) << ::GetLastError();
  ASSERT_TRUE(library.unload());
  EXPECT_THAT(library.events(), ElementsAre(kLockBuilt, kLockDestroyed));
}

TEST(DllLifecycleTest, TeardownReversesTheOrderOfFirstUse) {
  testing::RecordingChannel recorder;
  TracedLibrary library;
  ASSERT_TRUE(library.loaded()) << ::GetLastError();
  const testing::LoggerExports& api = library.api();
  api.change_verbosity(MessageVerbosity::Normal);
  api.set_default_options(Continuation);
  api.add_raw_channel(recorder.raw_channel());
  log(api, kShort, "first");
  api.declare_category(kShort);
  ASSERT_TRUE(library.unload());
  EXPECT_THAT(library.events(),
              ElementsAre(kLockBuilt, kRawChannelListBuilt, kChannelListBuilt, kMemoryResourceBuilt,
                          kRegistryBuilt, kRegistryDestroyed, kMemoryResourceDestroyed, kChannelListDestroyed,
                          kRawChannelListDestroyed, kLockDestroyed));
  EXPECT_EQ(recorder.raw_lines().size(), 1u);  // not called at unload
}

TEST(DllLifecycleTest, CategoriesFirstThenLoggingTearDownInReverse) {
  TracedLibrary library;
  ASSERT_TRUE(library.loaded()) << ::GetLastError();
  const testing::LoggerExports& api = library.api();
  api.declare_category(kShort);
  log(api, kShort, "first");
  ASSERT_TRUE(library.unload());
  EXPECT_THAT(library.events(),
              ElementsAre(kLockBuilt, kMemoryResourceBuilt, kRegistryBuilt, kChannelListBuilt,
                          kRawChannelListBuilt, kRawChannelListDestroyed, kChannelListDestroyed,
                          kRegistryDestroyed, kMemoryResourceDestroyed, kLockDestroyed));
}

// Runs a program that ends while a DLL it loaded still calls core_logger.dll
// from a static destructor after the library's teardown, and returns its exit
// code and what it wrote to `result_file`.
struct ExitRun {
  DWORD exit_code;
  std::string result;
};

ExitRun run_exit_host(const std::string& result_file) {
  ::DeleteFileA(result_file.c_str());
  std::string command = "core_logger_exit_host.exe \"" + result_file + "\"";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  ExitRun run{~DWORD{0}, {}};
  if (!::CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
    ADD_FAILURE() << "CreateProcess failed: " << ::GetLastError();
    return run;
  }
  EXPECT_EQ(::WaitForSingleObject(process.hProcess, 60'000), WAIT_OBJECT_0);
  ::GetExitCodeProcess(process.hProcess, &run.exit_code);
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  if (std::FILE* file = std::fopen(result_file.c_str(), "rb")) {
    char buffer[256];
    run.result.assign(buffer, std::fread(buffer, 1, sizeof buffer, file));
    std::fclose(file);
  }
  return run;
}

TEST(DllLifecycleTest, CallsAfterTeardownAtProcessExitDoNothing) {
  char directory[MAX_PATH];
  ASSERT_NE(::GetTempPathA(sizeof directory, directory), 0u);
  const std::string result_file = std::string(directory) + "core_logger_exit_result.txt";
  const ExitRun run = run_exit_host(result_file);
  EXPECT_EQ(run.exit_code, 0u);
  // No channel heard the late calls, the category calls saw no category and
  // declared none, and the plain values still answered.
  EXPECT_EQ(run.result, "delivered=1 dispatch=false categories=0 changed=true verbosity=1 options=4\n");
  ::DeleteFileA(result_file.c_str());
}

}  // namespace
}  // namespace core::logger
