// The crash handler's platform-neutral part: installation, the order in
// which a crash is handled, the report's text and the terminate handler.
// Everything that runs at a crash may run in a signal handler, on an
// alternate stack of 256 KiB: it uses no heap and takes locks only for a
// bounded time (the log call of the report needs about 70 KB of stack).
#include "channels/crash_handler.h"

#include <cxxabi.h>

#include <exception>
#include <mutex>
#include <thread>
#include <typeinfo>

#include <fmt/core.h>

#include "channels/channel_state.h"
#include "core/channels.h"

namespace core::logger {
namespace crash_detail {

std::atomic<std::uint8_t> g_thread_setup{1};
std::atomic<std::uintptr_t> g_reporting_thread{0};

namespace {

using channels_detail::ChannelState;
using Clock = std::chrono::steady_clock;

// The report's limit, and the room kept for its last line
// ("\n... 4294967295 more frames").
constexpr std::size_t kReportLimit = 4096;
constexpr std::size_t kMoreRoom = 32;
// Room for one frame's line; longer ones are cut.
constexpr std::size_t kMaxLine = 2048;

// Read at a crash; written under g_install_mutex.
std::atomic<std::uint32_t> g_deadline_ms{2000};
std::atomic<std::uint32_t> g_max_frames{64};

std::mutex g_install_mutex;
bool g_hooks_installed = false;      // guarded by g_install_mutex
bool g_terminate_installed = false;  // guarded by g_install_mutex
std::atomic<std::terminate_handler> g_previous_terminate{nullptr};

// The one report of the process: none yet, being delivered, delivered.
enum Stage : int { kNoCrash, kReporting, kReported };
std::atomic<int> g_stage{kNoCrash};
std::atomic<int> g_end_code{0};
std::atomic<int> g_faults_inside{0};

// Written by the one thread that reports.
char g_report[kReportLimit];

// -----------------------------------------------------------------------------
// Stack lines
// -----------------------------------------------------------------------------

// The frames that the C++ runtime puts above a terminate handler: the
// terminate itself, the throw that found no handler, the unwinder.
bool is_runtime_frame(std::string_view function) noexcept {
  for (const std::string_view prefix : {"__cxa_", "__cxxabiv1::", "__gxx_personality", "_Unwind_",
                                        "std::terminate", "std::rethrow_exception"}) {
    if (function.substr(0, prefix.size()) == prefix) return true;
  }
  return false;
}

// What the frames at one address are: the runtime's, or named otherwise.
struct RuntimeScan {
  bool runtime = false;
  bool other = false;
};

bool scan_frame(void* user, const crash_platform::Frame& frame) {
  RuntimeScan& scan = *static_cast<RuntimeScan*>(user);
  if (!frame.function.empty()) (is_runtime_frame(frame.function) ? scan.runtime : scan.other) = true;
  return true;
}

// The first address below the runtime's frames at the top of a walk: past
// the last one named as the runtime's before any named otherwise (the
// runtime's own internals may have no name).
std::size_t below_runtime(const std::uintptr_t* addresses, std::size_t count) noexcept {
  constexpr std::size_t kMaxRuntimeFrames = 16;
  std::size_t first = 0;
  for (std::size_t i = 0; i < count && i < kMaxRuntimeFrames; ++i) {
    RuntimeScan scan;
    crash_platform::describe_address(addresses[i], &scan_frame, &scan);
    if (scan.other) break;
    if (scan.runtime) first = i + 1;
  }
  return first;
}

struct StackWalk {
  const StackRequest* request;
  std::uint32_t skipped = 0;
  std::uint32_t written = 0;
};

bool write_frame(void* user, const crash_platform::Frame& frame) {
  StackWalk& walk = *static_cast<StackWalk*>(user);
  if (walk.skipped < walk.request->skip) {
    ++walk.skipped;
    return true;
  }
  if (walk.written >= walk.request->max) return false;
  char buffer[kMaxLine];
  FixedText line(buffer, sizeof buffer);
  line.put("#").put_decimal(walk.written++).put(" ");
  if (!frame.function.empty()) {
    // The copies that the optimiser makes of a function are the function.
    line.put(frame.function.substr(0, frame.function.find(" [clone ")));
    if (!frame.file.empty()) {
      line.put(" at ").put(frame.file).put(":").put_decimal(frame.line);
      return walk.request->line(walk.request->user, line.view());
    }
    if (frame.module.empty()) return walk.request->line(walk.request->user, line.view());
    line.put(" in ");
  }
  if (!frame.module.empty()) line.put(frame.module).put("+");
  line.put_hex(frame.offset);
  return walk.request->line(walk.request->user, line.view());
}

// -----------------------------------------------------------------------------
// The report
// -----------------------------------------------------------------------------

struct ReportText {
  FixedText text;
  std::uint32_t more = 0;
};

// Lines go in while they fit with room for the count of those that do not.
bool add_report_line(void* user, std::string_view line) {
  ReportText& report = *static_cast<ReportText*>(user);
  if (report.more == 0 && 1 + line.size() + kMoreRoom <= report.text.room()) {
    report.text.put("\n").put(line);
  } else {
    ++report.more;
  }
  return true;
}

std::string_view compose_report(std::string_view first_line,
                                const crash_platform::WalkStart& start) noexcept {
  ReportText report{FixedText(g_report, sizeof g_report)};
  report.text.put(first_line.substr(0, kReportLimit - 2 * kMoreRoom))
      .put(" on thread ")
      .put_decimal(crash_platform::thread_number());
  // Without a crash context the walk starts in a terminate handler, under
  // the runtime's own frames.
  write_stack(StackRequest{start, 0, g_max_frames.load(std::memory_order_relaxed),
                           start.crash_context == nullptr, &add_report_line, &report});
  if (report.more != 0) {
    report.text.put("\n... ").put_decimal(report.more).put(report.more == 1 ? " more frame" : " more frames");
  }
  return report.text.view();
}

// Files first, so that what was logged before the crash is on disk whatever
// the report's delivery meets (a channel that hangs, throws or faults);
// files again after it, for the report itself.
void report(std::string_view first_line, const crash_platform::WalkStart& start,
            std::uintptr_t self) noexcept {
  crash_platform::arm_watchdog(g_deadline_ms.load(std::memory_order_relaxed));
  g_reporting_thread.store(self, std::memory_order_relaxed);
  ChannelState::write_out_all_for_crash(kLockWait);
  const std::string_view text = compose_report(first_line, start);
  try {
    log_format(LogOptions{}, kCrashCategory, kFatalLevel, "{}", fmt::make_format_args(text));
  } catch (...) {
    // A channel's exception ends the delivery, as in every log call.
  }
  ChannelState::write_out_all_for_crash(kLockWait);
  g_reporting_thread.store(0, std::memory_order_relaxed);
  crash_platform::disarm_watchdog();
}

// Kept out of line so that its return address lies in the runtime's
// terminate, above which the report's stack starts.
[[noreturn, gnu::noinline]] void on_terminate() {
  char buffer[1024];
  FixedText line(buffer, sizeof buffer);
  if (const std::type_info* type = abi::__cxa_current_exception_type()) {
    char name[512];
    line.put("Uncaught exception ").put(crash_platform::demangle_type(type->name(), name, sizeof name));
    try {
      throw;
    } catch (const std::exception& exception) {
      const char* what = exception.what();
      line.put(": ").put(what != nullptr ? what : "");
    } catch (...) {
      // Not an std::exception: its type says all there is.
    }
  } else {
    line.put("std::terminate called without an active exception");
  }
  on_crash(line.view(), crash_platform::WalkStart{nullptr, __builtin_return_address(0)},
           crash_platform::kAbortCode);
  if (const std::terminate_handler previous = g_previous_terminate.load()) previous();
  std::abort();
}

// At unload the terminate handler goes back to what it was, unless someone
// replaced ours since.
struct TerminateRestorer {
  ~TerminateRestorer() {
    std::lock_guard<std::mutex> lock(g_install_mutex);
    if (g_terminate_installed && std::get_terminate() == &on_terminate) {
      std::set_terminate(g_previous_terminate.load());
    }
  }
} g_terminate_restorer;

}  // namespace

void write_stack(const StackRequest& request) noexcept {
  std::uintptr_t addresses[crash_platform::kMaxAddresses];
  const std::size_t count =
      crash_platform::walk_stack(request.start, addresses, crash_platform::kMaxAddresses);
  StackWalk walk{&request};
  for (std::size_t i = request.skip_runtime ? below_runtime(addresses, count) : 0; i < count; ++i) {
    if (!crash_platform::describe_address(addresses[i], &write_frame, &walk)) return;
  }
}

void prepare_thread(std::uint8_t wanted) noexcept {
  if (wanted == 2) crash_platform::prepare_thread();
}

void on_crash(std::string_view first_line, const crash_platform::WalkStart& start, int end_code) noexcept {
  const std::uintptr_t self = crash_platform::thread_token();
  int stage = kNoCrash;
  if (g_stage.compare_exchange_strong(stage, kReporting, std::memory_order_acq_rel)) {
    g_end_code.store(end_code, std::memory_order_relaxed);
    report(first_line, start, self);
    g_stage.store(kReported, std::memory_order_release);
    return;
  }
  if (stage == kReporting && g_reporting_thread.load(std::memory_order_relaxed) == self) {
    // A fault inside the handling: what the files hold back may still be
    // written, once, without waiting for anyone.
    if (g_faults_inside.fetch_add(1) == 0) ChannelState::write_out_all_for_crash(Clock::duration::zero());
    crash_platform::end_process(g_end_code.load(std::memory_order_relaxed));
  }
  // Another thread reports: this one waits, as its crash would end the
  // process under the report. The watchdog bounds the wait too.
  const Clock::time_point until =
      Clock::now() + std::chrono::milliseconds(g_deadline_ms.load(std::memory_order_relaxed));
  while (g_stage.load(std::memory_order_acquire) == kReporting && Clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void on_watchdog() noexcept {
  ChannelState::write_out_all_for_crash(Clock::duration::zero());
  crash_platform::end_process(g_end_code.load(std::memory_order_relaxed));
}

}  // namespace crash_detail

bool install_crash_handler(const CrashHandlerOptions& options) {
  using namespace crash_detail;
  std::lock_guard<std::mutex> lock(g_install_mutex);
  g_deadline_ms.store(options.deadline_ms, std::memory_order_relaxed);
  g_max_frames.store(options.max_frames, std::memory_order_relaxed);
  if (!options.signals && !options.terminate) return false;
  crash_platform::prepare_symbolizer();
  bool installed = false;
  if (options.signals) {
    if (!g_hooks_installed) g_hooks_installed = crash_platform::install_crash_hooks();
    if (g_hooks_installed) {
      g_thread_setup.store(2, std::memory_order_relaxed);
      crash_platform::prepare_thread();
      installed = true;
    }
  }
  if (options.terminate) {
    if (!g_terminate_installed) g_previous_terminate.store(std::set_terminate(&on_terminate));
    g_terminate_installed = installed = true;
  }
  return installed;
}

}  // namespace core::logger
