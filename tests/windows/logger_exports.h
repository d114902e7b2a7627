// tests/windows/logger_exports.h: the exports of core_logger.dll that test
// hosts reach through GetProcAddress, for hosts that load the DLL themselves
// instead of linking it.
#ifndef CORE_LOGGER_TESTS_WINDOWS_LOGGER_EXPORTS_H_
#define CORE_LOGGER_TESTS_WINDOWS_LOGGER_EXPORTS_H_

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <string_view>

#include <fmt/core.h>

#include "core/logger.h"

namespace core::logger::testing {

struct LoggerExports {
  MessageVerbosity (*runtime_verbosity)();
  bool (*change_verbosity)(MessageVerbosity);
  LogOptions (*default_options)();
  void (*set_default_options)(LogOptions);
  void (*add_channel)(LogChannel);
  void (*add_raw_channel)(LogRawChannel);
  void (*log_format)(LogOptions, const LogCategory&, const LogLevel&, std::string_view, fmt::format_args);
  bool (*can_dispatch_log)(const LogCategory&, MessageVerbosity);
  void (*declare_category)(const LogCategory&);
  void (*foreach_category)(void (*)(void*, CategoryInfo), void*);
};

namespace exports_internal {

template <typename Function>
bool bind(HMODULE module, const char* name, Function*& function) {
  function = reinterpret_cast<Function*>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
  return function != nullptr;
}

}  // namespace exports_internal

// Looks every export up by its (Itanium ABI) symbol name; false if one is
// missing.
inline bool bind_logger_exports(HMODULE module, LoggerExports* exports) {
  using exports_internal::bind;
  bool ok = bind(module, "_ZN4core6logger17runtime_verbosityEv", exports->runtime_verbosity);
  ok &= bind(module, "_ZN4core6logger16change_verbosityENS0_16MessageVerbosityE", exports->change_verbosity);
  ok &= bind(module, "_ZN4core6logger15default_optionsEv", exports->default_options);
  ok &= bind(module, "_ZN4core6logger19set_default_optionsENS0_10LogOptionsE", exports->set_default_options);
  ok &= bind(module, "_ZN4core6logger19add_default_channelENS0_10LogChannelE", exports->add_channel);
  ok &= bind(module, "_ZN4core6logger19add_default_channelENS0_13LogRawChannelE", exports->add_raw_channel);
  ok &= bind(module,
             "_ZN4core6logger10log_formatENS0_10LogOptionsERKNS0_11LogCategoryERKNS0_8LogLevelESt17basic_"
             "string_viewIcSt11char_traitsIcEEN3fmt2v917basic_format_argsINSD_20basic_format_contextINSD_"
             "8appenderEcEEEE",
             exports->log_format);
  ok &= bind(module, "_ZN4core6logger16can_dispatch_logERKNS0_11LogCategoryENS0_16MessageVerbosityE",
             exports->can_dispatch_log);
  ok &= bind(module, "_ZN4core6logger16declare_categoryERKNS0_11LogCategoryE", exports->declare_category);
  ok &= bind(module, "_ZN4core6logger16foreach_categoryEPFvPvNS0_12CategoryInfoEES1_",
             exports->foreach_category);
  return ok;
}

}  // namespace core::logger::testing

#endif  // CORE_LOGGER_TESTS_WINDOWS_LOGGER_EXPORTS_H_
