#include <windows.h>

#include "crash/child_process.h"

namespace core::logger::testing {

const bool kWindows = true;

ChildEnd crash_end(int) { return ChildEnd{false, static_cast<std::uint32_t>(EXCEPTION_ACCESS_VIOLATION)}; }

ChildRun run_crash_child(const std::vector<std::string>& arguments) {
  ChildRun run{"", ChildEnd{false, ~0u}, -1};
  // The child lies beside this program, as the DLLs they share do.
  char self[MAX_PATH] = {};
  ::GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string command = std::string(self);
  command = "\"" + command.substr(0, command.find_last_of("\\/") + 1) + "core_logger_crash_child.exe\"";
  for (const std::string& argument : arguments) command += " \"" + argument + "\"";
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE read_end = nullptr, write_end = nullptr;
  if (::CreatePipe(&read_end, &write_end, &inherit, 0) == 0) return run;
  ::SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = write_end;
  startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
  startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
  PROCESS_INFORMATION process{};
  const bool created = ::CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                        &startup, &process) != 0;
  ::CloseHandle(write_end);
  char buffer[4096];
  for (DWORD got = 0;
       created && ::ReadFile(read_end, buffer, sizeof buffer, &got, nullptr) != 0 && got > 0;) {
    run.output.append(buffer, got);
  }
  ::CloseHandle(read_end);
  if (!created) return run;
  ::WaitForSingleObject(process.hProcess, INFINITE);
  run.ended_ms = static_cast<std::int64_t>(::GetTickCount64());
  DWORD code = 0;
  ::GetExitCodeProcess(process.hProcess, &code);
  run.end = ChildEnd{false, code};
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  return run;
}

bool run_crash_child_into_pipe(const std::vector<std::string>&, const std::string&, const std::string&,
                               ChildRun*, std::string*) {
  return false;
}

}  // namespace core::logger::testing
