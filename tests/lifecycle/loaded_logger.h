// tests/lifecycle/loaded_logger.h: the library as a host that loads it with
// dlopen sees it. The host never links the library: it includes the public
// header for the types only and reaches every function through dlsym.
#ifndef CORE_LOGGER_TESTS_LIFECYCLE_LOADED_LOGGER_H_
#define CORE_LOGGER_TESTS_LIFECYCLE_LOADED_LOGGER_H_

#include <dlfcn.h>
#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <tuple>

#include "core/logger.h"
#include "lifecycle/library_lifecycle.h"

namespace core::logger::testing {

// Every exported function of the library, one pointer each.
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

namespace loaded_logger_internal {

template <typename Fn>
struct Binding {
  Fn LoggerApi::*slot;
  const char* symbol;
};
template <typename Fn>
Binding(Fn LoggerApi::*, const char*) -> Binding<Fn>;

// The mangled name of every slot: a change of a signature in the header that
// these names do not follow makes binding fail.
inline constexpr auto kBindings = std::make_tuple(
    Binding{&LoggerApi::log_format,
            "_ZN4core6logger10log_formatENS0_10LogOptionsERKNS0_11LogCategoryERKNS0_8LogLevelESt17basic_"
            "string_viewIcSt11char_traitsIcEEN3fmt2v917basic_format_argsINSD_20basic_format_contextINSD_"
            "8appenderEcEEEE"},
    Binding{&LoggerApi::log_format_source,
            "_ZN4core6logger17log_format_sourceENS0_10LogOptionsENS0_11LogLocationERKNS0_11LogCategoryERKNS0_"
            "8LogLevelESt17basic_string_viewIcSt11char_traitsIcEEN3fmt2v917basic_format_argsINSE_20basic_"
            "format_contextINSE_8appenderEcEEEE"},
    Binding{
        &LoggerApi::log_format_assert,
        "_ZN4core6logger17log_format_assertENS0_11LogLocationESt17basic_string_viewIcSt11char_traitsIcEES5_"
        "S5_N3fmt2v917basic_format_argsINS7_20basic_format_contextINS7_8appenderEcEEEE"},
    Binding{&LoggerApi::log_format_data_error,
            "_ZN4core6logger21log_format_data_errorENS0_11LogLocationESt17basic_string_viewIcSt11char_"
            "traitsIcEEN3fmt"
            "2v917basic_format_argsINS7_20basic_format_contextINS7_8appenderEcEEEE"},
    Binding{&LoggerApi::default_options, "_ZN4core6logger15default_optionsEv"},
    Binding{&LoggerApi::set_default_options, "_ZN4core6logger19set_default_optionsENS0_10LogOptionsE"},
    Binding{&LoggerApi::reset_default_options, "_ZN4core6logger21reset_default_optionsEv"},
    Binding{&LoggerApi::add_channel, "_ZN4core6logger19add_default_channelENS0_10LogChannelE"},
    Binding{&LoggerApi::add_raw_channel, "_ZN4core6logger19add_default_channelENS0_13LogRawChannelE"},
    Binding{&LoggerApi::can_dispatch_log,
            "_ZN4core6logger16can_dispatch_logERKNS0_11LogCategoryENS0_16MessageVerbosityE"},
    Binding{&LoggerApi::runtime_verbosity, "_ZN4core6logger17runtime_verbosityEv"},
    Binding{&LoggerApi::change_verbosity, "_ZN4core6logger16change_verbosityENS0_16MessageVerbosityE"},
    Binding{&LoggerApi::declare_category, "_ZN4core6logger16declare_categoryERKNS0_11LogCategoryE"},
    Binding{&LoggerApi::declare_category_by_name,
            "_ZN4core6logger16declare_categoryESt17basic_string_viewIcSt11char_traitsIcEEb"},
    Binding{&LoggerApi::disable_all_known_categories, "_ZN4core6logger28disable_all_known_categoriesEv"},
    Binding{&LoggerApi::enable_category, "_ZN4core6logger15enable_categoryERKNS0_11LogCategoryE"},
    Binding{&LoggerApi::enable_category_by_name,
            "_ZN4core6logger15enable_categoryESt17basic_string_viewIcSt11char_traitsIcEE"},
    Binding{&LoggerApi::disable_category, "_ZN4core6logger16disable_categoryERKNS0_11LogCategoryE"},
    Binding{&LoggerApi::disable_category_by_name,
            "_ZN4core6logger16disable_categoryESt17basic_string_viewIcSt11char_traitsIcEE"},
    Binding{&LoggerApi::change_category_verbosity,
            "_ZN4core6logger25change_category_verbosityERKNS0_11LogCategoryENS0_16MessageVerbosityE"},
    Binding{&LoggerApi::change_category_verbosity_by_name,
            "_ZN4core6logger25change_category_verbosityESt17basic_string_viewIcSt11char_traitsIcEENS0_"
            "16MessageVerbosityE"},
    Binding{&LoggerApi::reset_category_verbosity,
            "_ZN4core6logger24reset_category_verbosityERKNS0_11LogCategoryE"},
    Binding{&LoggerApi::reset_category_verbosity_by_name,
            "_ZN4core6logger24reset_category_verbosityESt17basic_string_viewIcSt11char_traitsIcEE"},
    Binding{&LoggerApi::foreach_category, "_ZN4core6logger16foreach_categoryEPFvPvNS0_12CategoryInfoEES1_"});

}  // namespace loaded_logger_internal

static_assert(std::tuple_size_v<std::decay_t<decltype(loaded_logger_internal::kBindings)>> * sizeof(void*) ==
                  sizeof(LoggerApi),
              "every function of LoggerApi has its symbol");

// Fills `*api` from the library `handle`. On failure returns false and names
// the first symbol that is missing in `*missing`.
inline bool bind_logger_api(void* handle, LoggerApi* api, std::string* missing) {
  bool complete = true;
  std::apply(
      [&](const auto&... binding) {
        auto bind = [&](const auto& b) {
          using Fn = std::remove_reference_t<decltype(api->*b.slot)>;
          void* address = complete ? ::dlsym(handle, b.symbol) : nullptr;
          if (address == nullptr) {
            if (complete) *missing = b.symbol;
            complete = false;
            return;
          }
          api->*b.slot = reinterpret_cast<Fn>(address);
        };
        (bind(binding), ...);
      },
      loaded_logger_internal::kBindings);
  return complete;
}

// The hook that only the test-only traced build exports: it hands the host
// every build and teardown step (the numbers of LifecycleEvent), those taken
// before the hook was installed first.
using TraceHook = void (*)(void* user_data, int event);
using InstallTraceHook = void (*)(TraceHook hook, void* user_data);
inline constexpr const char kInstallTraceHookSymbol[] = "core_logger_trace_lifecycle";

// A short name for a step that the traced build reports: "+" for a build,
// "-" for a teardown.
inline std::string lifecycle_step_name(int event) {
  using detail::LifecycleEvent;
  switch (static_cast<LifecycleEvent>(event)) {
    case LifecycleEvent::kRegistryLockBuilt:
      return "+lock";
    case LifecycleEvent::kMemoryResourceBuilt:
      return "+resource";
    case LifecycleEvent::kCategoryRegistryBuilt:
      return "+registry";
    case LifecycleEvent::kChannelListBuilt:
      return "+channels";
    case LifecycleEvent::kRawChannelListBuilt:
      return "+raw channels";
    case LifecycleEvent::kRegistryLockDestroyed:
      return "-lock";
    case LifecycleEvent::kMemoryResourceDestroyed:
      return "-resource";
    case LifecycleEvent::kCategoryRegistryDestroyed:
      return "-registry";
    case LifecycleEvent::kChannelListDestroyed:
      return "-channels";
    case LifecycleEvent::kRawChannelListDestroyed:
      return "-raw channels";
  }
  return "?" + std::to_string(event);
}

// One dlopen handle of the library at `path`, closed by `unload` or at the
// latest by the destructor.
class LoadedLogger {
 public:
  explicit LoadedLogger(std::string path) : path_(std::move(path)) {
    handle_ = ::dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
      const char* error = ::dlerror();
      error_ = error != nullptr ? error : "dlopen failed";
      return;
    }
    std::string missing;
    if (!bind_logger_api(handle_, &api_, &missing)) error_ = "missing symbol " + missing;
  }
  ~LoadedLogger() { unload(); }
  LoadedLogger(const LoadedLogger&) = delete;
  LoadedLogger& operator=(const LoadedLogger&) = delete;

  // Whether the library loaded and every function was found.
  bool ok() const { return handle_ != nullptr && error_.empty(); }
  const std::string& error() const { return error_; }
  const LoggerApi& api() const { return api_; }
  void* symbol(const char* name) const { return ::dlsym(handle_, name); }

  // Installs the trace hook of a traced build; false when there is none.
  bool install_trace_hook(TraceHook hook, void* user_data) const {
    void* install = symbol(kInstallTraceHookSymbol);
    if (install == nullptr) return false;
    reinterpret_cast<InstallTraceHook>(install)(hook, user_data);
    return true;
  }

  // Closes the handle; returns dlclose's result (0 on success).
  int unload() {
    if (handle_ == nullptr) return 0;
    const int result = ::dlclose(handle_);
    handle_ = nullptr;
    api_ = LoggerApi{};
    return result;
  }

 private:
  std::string path_;
  void* handle_ = nullptr;
  LoggerApi api_{};
  std::string error_;
};

// Whether the dynamic loader still holds the library at `path`.
inline bool loader_holds(const std::string& path) {
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (handle == nullptr) return false;
  ::dlclose(handle);
  return true;
}

// Whether any part of the file at `path` is mapped into this process.
inline bool is_mapped(const std::string& path) {
  std::unique_ptr<char, decltype(&::free)> real(::realpath(path.c_str(), nullptr), &::free);
  if (real == nullptr) return false;
  const std::string wanted = std::string(" ") + real.get() + "\n";
  std::FILE* maps = std::fopen("/proc/self/maps", "r");
  if (maps == nullptr) return false;
  char line[4096];
  bool found = false;
  while (!found && std::fgets(line, sizeof line, maps) != nullptr) {
    const std::size_t length = std::strlen(line);
    found = length >= wanted.size() && std::strcmp(line + length - wanted.size(), wanted.c_str()) == 0;
  }
  std::fclose(maps);
  return found;
}

}  // namespace core::logger::testing

#endif  // CORE_LOGGER_TESTS_LIFECYCLE_LOADED_LOGGER_H_
