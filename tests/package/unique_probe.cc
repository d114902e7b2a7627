// Built into a shared object whose dynamic symbols are checked for
// STB_GNU_UNIQUE bindings, which would keep it loaded after dlclose: every
// macro of core/log.h, used from inline functions and templates, where a
// static in the header's code would become such a symbol, and the records of
// core/channels.h, whose inline variables would.
#include "core/channels.h"
#include "core/log.h"

namespace probe {

constexpr core::logger::LogCategory kProbe = core::logger::make_category("unique_probe");

inline void log_inline(int value) {
  CORE_LOG_TRACE(kProbe, "{}", value);
  CORE_LOG_DEBUG(kProbe, "{}", value);
  CORE_LOG_INFO(kProbe, "{}", value);
  CORE_LOG_WARN(kProbe, "{}", value);
  CORE_LOG_ERROR(kProbe, "{}", value);
  CORE_LOG_DATA_ERROR("{}", value);
  CORE_LOG_ASSERT(value > 0);
  CORE_LOG_ASSERT_MSG(value > 0, "{}", value);
  CORE_LOG_ASSERT_EX("stack", value > 0);
}

template <typename T>
void log_template(T value) {
  CORE_LOG(core::logger::kCrashCategory, core::logger::kFatalLevel, core::logger::MessageVerbosity::Brief,
           "{}", value);
  CORE_LOG_INFO(kProbe, "{}", value);
  CORE_LOG_ASSERT_EX_MSG("stack", value > T{}, "{}", value);
}

#if defined(CORE_LOGGER_UNIQUE_PROBE_CONTROL)
// The control build: what the check must catch.
inline int& counter() {
  static int count = 0;
  return count;
}
#endif

}  // namespace probe

__attribute__((visibility("default"))) void unique_probe_entry(int value) {
  probe::log_inline(value);
  probe::log_template(value);
  probe::log_template(static_cast<double>(value));
#if defined(CORE_LOGGER_UNIQUE_PROBE_CONTROL)
  ++probe::counter();
#endif
}
