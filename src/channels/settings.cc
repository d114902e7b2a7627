// Settings from text and from the environment: the runtime verbosity and the
// state of categories, applied before or after the code first uses them.
#include "core/channels.h"

#include <cstdlib>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <string>

namespace core::logger {
namespace {

// Category names declared by settings: the registry keeps a view of a
// declared name, so each is copied once into a node that never moves and is
// never freed (a log call may reach the registry from a static destructor
// that runs after this library's own).
std::mutex g_names_mutex;
std::set<std::string, std::less<>>* g_names = nullptr;  // guarded by g_names_mutex

std::string_view kept_name(std::string_view name) {
  std::lock_guard<std::mutex> lock(g_names_mutex);
  if (g_names == nullptr) g_names = new std::set<std::string, std::less<>>();
  return *g_names->emplace(name).first;
}

std::string_view trimmed(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return std::string_view();
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::optional<MessageVerbosity> verbosity_named(std::string_view value) {
  if (value == "brief") return MessageVerbosity::Brief;
  if (value == "normal") return MessageVerbosity::Normal;
  if (value == "detailed") return MessageVerbosity::Detailed;
  return std::nullopt;
}

// Applies one entry; an error's description otherwise.
std::string apply_entry(std::string_view entry) {
  const std::size_t equals = entry.find('=');
  if (equals == std::string_view::npos) return "no '=' in \"" + std::string(entry) + "\"";
  const std::string_view key = trimmed(entry.substr(0, equals));
  const std::string_view value = trimmed(entry.substr(equals + 1));
  if (key.empty()) return "no name before '=' in \"" + std::string(entry) + "\"";
  const std::optional<MessageVerbosity> verbosity = verbosity_named(value);
  if (key == "verbosity") {
    if (verbosity) change_verbosity(*verbosity);
    return verbosity ? std::string() : "unknown verbosity \"" + std::string(value) + "\"";
  }
  if (!verbosity && value != "on" && value != "off" && value != "follow") {
    return "unknown value \"" + std::string(value) + "\" for \"" + std::string(key) + "\"";
  }
  // Declaring does nothing to a known category; the controls then set the
  // state either way.
  const std::string_view name = kept_name(key);
  const bool enabled = value != "off";
  declare_category(name, enabled);
  if (enabled) {
    enable_category(name);
  } else {
    disable_category(name);
  }
  if (verbosity) {
    change_category_verbosity(name, *verbosity);
  } else if (value == "follow") {
    reset_category_verbosity(name);
  }
  return std::string();
}

}  // namespace

SettingsResult apply_settings(std::string_view text) {
  SettingsResult result;
  try {
    while (!text.empty()) {
      const std::size_t comma = text.find(',');
      const std::string_view entry = trimmed(text.substr(0, comma));
      text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
      if (entry.empty()) continue;  // "a=on,,b=off" and a trailing comma
      std::string error = apply_entry(entry);
      if (!error.empty()) result.errors.push_back(std::move(error));
    }
  } catch (const std::bad_alloc&) {
    try {
      result.errors.emplace_back("out of memory: the rest was not applied");
    } catch (const std::bad_alloc&) {
    }
  }
  return result;
}

SettingsResult apply_settings_from_environment(const char* variable) {
  const char* value = variable != nullptr ? std::getenv(variable) : nullptr;
  return apply_settings(value != nullptr ? std::string_view(value) : std::string_view());
}

}  // namespace core::logger
