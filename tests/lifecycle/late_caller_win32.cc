// A DLL whose static destructor calls the function that its host armed it
// with: it runs when the DLL is detached at process exit.
namespace {

void (*g_call)() = nullptr;

struct CallAtExit {
  ~CallAtExit() {
    if (g_call != nullptr) g_call();
  }
} g_call_at_exit;

}  // namespace

extern "C" __declspec(dllexport) void core_logger_call_at_exit(void (*call)()) { g_call = call; }
