// tests/lifecycle/loader.h: what the lifecycle host needs of the platform:
// loading a shared library at run time and unloading it (dlopen and dlclose
// in loader_posix.cc, LoadLibrary and FreeLibrary in loader_win32.cc), and
// running itself as a child.
#ifndef CORE_LOGGER_TESTS_LIFECYCLE_LOADER_H_
#define CORE_LOGGER_TESTS_LIFECYCLE_LOADER_H_

#include <string>
#include <string_view>

namespace core::logger::testing::loader {

// A new handle of the library at `path`, or null (then `last_error` says why).
void* load(const std::string& path);
std::string last_error();
void* symbol(void* library, const char* name);
// Releases the handle; false when the platform reports a failure.
bool unload(void* library);
// Whether any part of the library at `path` is still loaded in this process.
bool is_loaded(const std::string& path);

// Whether `call_at_exit` may come after the library is loaded: true where the
// process's exit list runs a library's end-of-life steps (POSIX); false where
// each library runs its own when it is detached (Windows).
extern const bool kCanCallAtExitAfterLoad;
// Makes `call` run at process exit after the end-of-life steps that the
// libraries loaded from now on register.
void call_at_exit(void (*call)());

// The handlers that a crash reaches (POSIX: those of the fatal signals and
// the calling thread's alternate signal stack; Windows: the unhandled
// exception filter and SIGABRT's handler), as a text that changes when any
// of them does.
std::string crash_dispositions();

// Writes `line` and a line feed to standard output, unbuffered, in a way that
// still works while the process exits.
void say(std::string_view line);

// Runs this program with `arguments`; returns its standard output and sets
// `*exit_code` (-1 when it did not end normally).
std::string run_self(const std::string& arguments, int* exit_code);

}  // namespace core::logger::testing::loader

#endif  // CORE_LOGGER_TESTS_LIFECYCLE_LOADER_H_
