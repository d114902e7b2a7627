#include <core/channels.h>
#include <core/log.h>

// A category: its name, and the state it starts in when first used.
constexpr core::logger::LogCategory kNet = core::logger::make_category("net");

int main() {
  // Every composed text goes to standard output, in colour on a terminal,
  // instead of standard error, where the library writes while no channel is
  // registered.
  core::logger::add_default_channel(core::logger::console_channel());

  CORE_LOG_INFO(kNet, "listening on port {}", 8080);
  CORE_LOG_DEBUG(kNet, "{} peers known", 3);

  // Filter at run time: by verbosity for every category...
  core::logger::change_verbosity(core::logger::MessageVerbosity::Normal);
  CORE_LOG_DEBUG(kNet, "not shown, and its arguments are not evaluated");
  // ...or by category.
  core::logger::disable_category(kNet);
  CORE_LOG_WARN(kNet, "not shown either");
  core::logger::enable_category("net");
  CORE_LOG_WARN(kNet, "connection reset by {}", "10.0.0.7");
}
