// exit_host RESULT_FILE: arms the exit caller DLL and ends the process the
// ordinary way, by returning from main.
#include <cstdio>

extern "C" __declspec(dllimport) int core_logger_exit_caller_arm(const char* result_path);

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s RESULT_FILE\n", argv[0]);
    return 2;
  }
  return core_logger_exit_caller_arm(argv[1]);
}
