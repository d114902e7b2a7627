// Compiled, never run: a format field that does not fit its argument must
// stop the build. The build defines CORE_LOGGER_FORMAT_CHECK_BAD for the
// variant that is expected to fail; the other variant is the same statement
// with a fitting argument, which must compile, so that the failure can only
// come from the check.
#include "core/log.h"

namespace {

constexpr core::logger::LogCategory kChecked = core::logger::make_category("format_check");

}  // namespace

void log_a_number() {
#if defined(CORE_LOGGER_FORMAT_CHECK_BAD)
  CORE_LOG_INFO(kChecked, "{:d}", "not a number");
#else
  CORE_LOG_INFO(kChecked, "{:d}", 42);
#endif
}
