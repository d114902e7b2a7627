// A DLL that loads core_logger.dll itself, after its own start, and calls it
// from a static destructor. At process exit Windows detaches DLLs in the
// reverse order of their start, so core_logger.dll is torn down first and
// these calls come after its teardown: they must do nothing and not crash.
#include <cstdio>
#include <string>

#include "windows/logger_exports.h"

namespace {

using namespace core::logger;

constexpr LogCategory kEarly{{"early", category_id("early")}, true, MessageVerbosity::Detailed};
constexpr LogCategory kLate{{"late", category_id("late")}, true, MessageVerbosity::Detailed};
constexpr LogLevel kInfo{"INFO", 2};

testing::LoggerExports g_logger{};
bool g_armed = false;
std::string g_result_path;
int g_delivered = 0;

void count_text(void*, const DispatchContext&, const LogCategory&, const LogLevel&, std::string_view) {
  ++g_delivered;
}

void count_category(void* count, CategoryInfo) { ++*static_cast<int*>(count); }

class CallsAtExit {
 public:
  ~CallsAtExit() {
    if (!g_armed) return;
    g_logger.log_format(LogOptions{}, kEarly, kInfo, "after teardown", fmt::format_args());
    g_logger.add_channel(LogChannel{"late", &count_text, nullptr});
    g_logger.log_format(LogOptions{}, kLate, kInfo, "after teardown", fmt::format_args());
    g_logger.declare_category(kLate);
    const bool dispatch = g_logger.can_dispatch_log(kLate, MessageVerbosity::Brief);
    int categories = 0;
    g_logger.foreach_category(&count_category, &categories);
    const bool changed = g_logger.change_verbosity(MessageVerbosity::Normal);
    g_logger.set_default_options(WithFileLine);
    const std::string result = fmt::format(
        "delivered={} dispatch={} categories={} changed={} verbosity={} options={}\n", g_delivered, dispatch,
        categories, changed, static_cast<unsigned>(g_logger.runtime_verbosity()),
        static_cast<unsigned>(g_logger.default_options()));
    // The C runtime's streams may be gone by now; the file API is not.
    HANDLE file = ::CreateFileA(g_result_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    ::WriteFile(file, result.data(), static_cast<DWORD>(result.size()), &written, nullptr);
    ::CloseHandle(file);
  }
};

CallsAtExit g_calls_at_exit;

}  // namespace

// Loads core_logger.dll, registers a counting channel, declares a category
// and logs once. Returns 0 on success.
extern "C" __declspec(dllexport) int core_logger_exit_caller_arm(const char* result_path) {
  HMODULE library = ::LoadLibraryA("core_logger.dll");
  if (library == nullptr || !testing::bind_logger_exports(library, &g_logger)) return 1;
  g_result_path = result_path;
  g_logger.add_channel(LogChannel{"counting", &count_text, nullptr});
  g_logger.declare_category(kEarly);
  g_logger.log_format(LogOptions{}, kEarly, kInfo, "before teardown", fmt::format_args());
  g_armed = true;
  return g_delivered == 1 ? 0 : 1;
}
