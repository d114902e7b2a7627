// On Linux the call stack names the functions of an executable that exports
// its symbols (this test program is linked with ENABLE_EXPORTS).
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/channels.h"

// Outside any namespace and with C linkage, so that the name is easy to find.
extern "C" [[gnu::noinline]] __attribute__((visibility("default"))) std::string core_logger_test_named_frame(
    unsigned skip) {
  std::string stack = core::logger::capture_call_stack(skip, 3);
  stack.push_back(' ');  // no tail call: this frame stays on the stack
  stack.pop_back();
  return stack;
}

namespace core::logger {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

TEST(CallStackPosixTest, FirstFrameIsTheCaller) {
  const std::string stack = core_logger_test_named_frame(0);
  EXPECT_THAT(stack, StartsWith("#0 core_logger_test_named_frame+0x")) << stack;
}

TEST(CallStackPosixTest, SkippedCallerIsNotShown) {
  const std::string skipped = core_logger_test_named_frame(1);
  EXPECT_THAT(skipped, ::testing::Not(HasSubstr("core_logger_test_named_frame"))) << skipped;
  // What was the second frame is now the first.
  const std::string full = core_logger_test_named_frame(0);
  const std::size_t second = full.find("\n#1 ");
  ASSERT_NE(second, std::string::npos) << full;
  const std::string caller = full.substr(second + 4, full.find('\n', second + 1) - second - 4);
  EXPECT_THAT(skipped, StartsWith("#0 " + caller.substr(0, caller.find('+')))) << skipped;
}

TEST(CallStackPosixTest, ModuleFollowsTheFunction) {
  const std::string stack = core_logger_test_named_frame(0);
  EXPECT_THAT(stack, HasSubstr("core_logger_frontend_tests)\n")) << stack;
}

}  // namespace
}  // namespace core::logger
