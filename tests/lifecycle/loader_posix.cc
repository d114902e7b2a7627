#include "lifecycle/loader.h"

#include <dlfcn.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <memory>

namespace core::logger::testing::loader {

void* load(const std::string& path) { return ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL); }

std::string last_error() {
  const char* error = ::dlerror();
  return error != nullptr ? error : "";
}

void* symbol(void* library, const char* name) { return ::dlsym(library, name); }

bool unload(void* library) { return ::dlclose(library) == 0; }

bool is_loaded(const std::string& path) {
  if (void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD)) {
    ::dlclose(handle);
    return true;
  }
  // The loader may have let go of it and yet left its code mapped. (A
  // symbolizer's read-only views of its debug information do not count.)
  std::unique_ptr<char, decltype(&::free)> real(::realpath(path.c_str(), nullptr), &::free);
  const std::string suffix = " " + std::string(real != nullptr ? real.get() : path.c_str());
  std::ifstream maps("/proc/self/maps");
  for (std::string line; std::getline(maps, line);) {
    const std::size_t permissions = line.find(' ') + 1;
    if (line.size() >= suffix.size() && line.compare(permissions + 2, 1, "x") == 0 &&
        line.compare(line.size() - suffix.size(), suffix.size(), suffix) == 0) {
      return true;
    }
  }
  return false;
}

const bool kCanCallAtExitAfterLoad = true;

// One exit list holds the host's handlers and every library's end-of-life
// steps; it runs them in the reverse order of their registration.
void call_at_exit(void (*call)()) { std::atexit(call); }

std::string crash_dispositions() {
  std::string text;
  for (int number : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP}) {
    struct sigaction action;
    ::sigaction(number, nullptr, &action);
    text += std::to_string(number) + ":" +
            std::to_string(reinterpret_cast<std::uintptr_t>(action.sa_sigaction)) + "/" +
            std::to_string(action.sa_flags & (SA_SIGINFO | SA_ONSTACK | SA_NODEFER | SA_RESETHAND)) + " ";
  }
  stack_t stack;
  ::sigaltstack(nullptr, &stack);
  text += "stack:" + std::to_string(stack.ss_flags) + "/" + std::to_string(stack.ss_size) + " ";
  return text + "terminate:" + std::to_string(reinterpret_cast<std::uintptr_t>(std::get_terminate()));
}

void say(std::string_view line) {
  const std::string text = std::string(line) + "\n";
  for (std::size_t done = 0; done < text.size();) {
    const ssize_t written = ::write(STDOUT_FILENO, text.data() + done, text.size() - done);
    if (written <= 0) return;
    done += static_cast<std::size_t>(written);
  }
}

std::string run_self(const std::string& arguments, int* exit_code) {
  *exit_code = -1;
  char self[4096] = {};
  if (::readlink("/proc/self/exe", self, sizeof self - 1) <= 0) return {};
  std::FILE* child = ::popen(("'" + std::string(self) + "' " + arguments).c_str(), "r");
  if (child == nullptr) return {};
  std::string output;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, child)) > 0;) output.append(buffer, n);
  const int status = ::pclose(child);
  if (WIFEXITED(status)) *exit_code = WEXITSTATUS(status);
  return output;
}

}  // namespace core::logger::testing::loader
