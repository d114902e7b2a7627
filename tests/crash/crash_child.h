// tests/crash/crash_child.h: what the crash child needs of the platform
// (crash_child_posix.cc, crash_child_win32.cc), all usable inside a signal
// handler.
#ifndef CORE_LOGGER_TESTS_CRASH_CRASH_CHILD_H_
#define CORE_LOGGER_TESTS_CRASH_CRASH_CHILD_H_

#include <cstdint>
#include <cstdio>
#include <string_view>

// On a function that dereferences a null pointer on purpose: UBSan would
// report it before the processor faults.
#define CORE_LOGGER_FAULTS_ON_PURPOSE __attribute__((no_sanitize("null")))

namespace core::logger::testing::crash_child {

// No core files, no error dialogs; on POSIX a handler of the child's own for
// every fatal signal, installed before the crash handler, which says what it
// was handed ("previous handler: signal 11 code 1") and lets the signal end
// the process.
void prepare_process();

// Writes `text` and a line feed to standard output at once.
void say(std::string_view text);

std::uint64_t thread_number();
// Steady time in milliseconds.
std::int64_t now_ms();

// How many line feeds the file at `path` holds.
std::size_t lines_on_disk(const char* path);

// A stream whose writes fault once `arm_stream_fault` was called; null where
// the platform cannot make one.
std::FILE* faulting_stream();
void arm_stream_fault();

}  // namespace core::logger::testing::crash_child

#endif  // CORE_LOGGER_TESTS_CRASH_CRASH_CHILD_H_
