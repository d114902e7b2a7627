// A host whose own static destructor calls the library at process exit, once
// the library has begun tearing itself down. The calls must not crash, must
// reach no channel and must declare nothing; the runtime verbosity and the
// default options keep working. Everything the host sees goes to standard
// output, one line per event; the test compares it whole.
//
// Usage: core_logger_exit_caller <library> <when>
//   <when> is the moment the host's destructor is registered, which fixes when
//   it runs at exit:
//   before-load  before the library is loaded: after its whole teardown;
//   before-use   after the load and before any call, as for a host linked
//                with the library: after the lazily built objects, before
//                the lock;
//   mid-use      after the channel lists were built and before the category
//                registry: between the first and the last end-of-life step.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/logger.h"
#include "lifecycle/loaded_logger.h"

namespace core::logger::testing {
namespace {

// Unbuffered, so that a crash loses nothing already seen.
void say(const char* format, ...) {
  char line[512];
  va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(line, sizeof line - 1, format, args);
  va_end(args);
  if (length < 0) return;
  std::size_t size = static_cast<std::size_t>(length) < sizeof line - 1 ? length : sizeof line - 2;
  line[size++] = '\n';
  for (std::size_t done = 0; done < size;) {
    const ssize_t written = ::write(STDOUT_FILENO, line + done, size - done);
    if (written <= 0) return;
    done += static_cast<std::size_t>(written);
  }
}

LoggerApi g_api;

void on_step(void*, int event) { say("step %s", lifecycle_step_name(event).c_str()); }

void on_text(void* user_data, const DispatchContext&, const LogCategory&, const LogLevel&, std::string_view) {
  say("%s channel called", static_cast<const char*>(user_data));
}

void on_line(void* user_data, const DispatchContext&, const LogCategory&, const LogLevel&, LogTimestamp,
             std::string_view line) {
  say("%s raw channel: %.*s", static_cast<const char*>(user_data), static_cast<int>(line.size()),
      line.data());
}

void count_category(void* count, CategoryInfo) { ++*static_cast<int*>(count); }

// Channel names handed to the callbacks as user data; static, since a call
// that wrongly reached a channel at exit must still find them.
char g_host[] = "host";
char g_late[] = "late";

constexpr LogCategory kDeclared{
    {"exit.declared", category_id("exit.declared")}, true, MessageVerbosity::Detailed};
constexpr LogCategory kLate{{"exit.late", category_id("exit.late")}, true, MessageVerbosity::Detailed};
constexpr LogLevel kInfo{"INFO", 2};
constexpr LogLocation kHere{"call_in_late", "exit_caller.cc", 1};

// Every exported call, made from a static destructor.
void call_in_late() {
  say("late calls begin");
  g_api.add_channel(LogChannel{"late", &on_text, g_late});
  g_api.add_raw_channel(LogRawChannel{"late", &on_line, g_late});
  const int one = 1;
  g_api.log_format(LogOptions{}, kDeclared, kInfo, "log_format {}", fmt::make_format_args(one));
  g_api.log_format_source(LogOptions{}, kHere, kDeclared, kInfo, "log_format_source", {});
  g_api.log_format_assert(kHere, "condition", "callstack", "log_format_assert", {});
  g_api.log_format_data_error(kHere, "log_format_data_error", {});

  g_api.declare_category(kLate);
  g_api.declare_category_by_name("exit.late_by_name", true);
  const bool dispatch_declared = g_api.can_dispatch_log(kDeclared, MessageVerbosity::Brief);
  const bool dispatch_late = g_api.can_dispatch_log(kLate, MessageVerbosity::Brief);
  const bool enabled = g_api.enable_category(kDeclared);
  const bool enabled_by_name = g_api.enable_category_by_name("exit.declared");
  const bool disabled = g_api.disable_category(kDeclared);
  const bool disabled_by_name = g_api.disable_category_by_name("exit.declared");
  const bool changed = g_api.change_category_verbosity(kDeclared, MessageVerbosity::Normal);
  const bool changed_by_name =
      g_api.change_category_verbosity_by_name("exit.declared", MessageVerbosity::Normal);
  g_api.reset_category_verbosity(kDeclared);
  g_api.reset_category_verbosity_by_name("exit.declared");
  g_api.disable_all_known_categories();
  int visited = 0;
  g_api.foreach_category(&count_category, &visited);

  const bool verbosity_accepted = g_api.change_verbosity(MessageVerbosity::Normal);
  const auto verbosity = static_cast<unsigned>(g_api.runtime_verbosity());
  g_api.set_default_options(WithFunction | ChannelDefined);
  const auto options = static_cast<unsigned>(g_api.default_options());
  g_api.reset_default_options();
  const auto reset_options = static_cast<unsigned>(g_api.default_options());

  say("late can_dispatch_log %d %d, enable %d %d, disable %d %d, change_category_verbosity %d %d, "
      "categories visited %d",
      dispatch_declared, dispatch_late, enabled, enabled_by_name, disabled, disabled_by_name, changed,
      changed_by_name, visited);
  say("late change_verbosity %d, runtime_verbosity %u, default_options %u then %u", verbosity_accepted,
      verbosity, options, reset_options);
}

struct LateCaller {
  ~LateCaller() { call_in_late(); }
};

// Registers the destructor now: a function-local static's destructor is
// registered when its constructor has run.
void arm_late_caller() { static LateCaller caller; }

int run(const char* library, const std::string& when) {
  if (when == "before-load") arm_late_caller();
  void* handle = ::dlopen(library, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    std::fprintf(stderr, "dlopen: %s\n", ::dlerror());
    return 3;
  }
  std::string missing;
  if (!bind_logger_api(handle, &g_api, &missing)) {
    std::fprintf(stderr, "missing symbol %s\n", missing.c_str());
    return 3;
  }
  if (void* install = ::dlsym(handle, kInstallTraceHookSymbol)) {
    reinterpret_cast<InstallTraceHook>(install)(&on_step, nullptr);
  }
  if (when == "before-use") arm_late_caller();

  g_api.add_channel(LogChannel{"host", &on_text, g_host});
  g_api.add_raw_channel(LogRawChannel{"host", &on_line, g_host});
  g_api.log_format(LogOptions{}, kDeclared, kInfo, "before exit", {});
  if (when == "mid-use") arm_late_caller();
  g_api.declare_category(kDeclared);
  int visited = 0;
  g_api.foreach_category(&count_category, &visited);
  say("before exit can_dispatch_log %d, categories visited %d",
      g_api.can_dispatch_log(kDeclared, MessageVerbosity::Brief), visited);
  // No dlclose: the library goes down with the process.
  return 0;
}

}  // namespace
}  // namespace core::logger::testing

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <library> before-load|before-use|mid-use\n", argv[0]);
    return 2;
  }
  return core::logger::testing::run(argv[1], argv[2]);
}
