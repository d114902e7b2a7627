// Logs through an installed core_logger and checks what a channel receives.
#include <cstdio>
#include <string>
#include <string_view>

#include <fmt/core.h>

#include <core/logger.h>

namespace {

std::string g_text;
std::string g_raw;

void on_text(void*, const core::logger::DispatchContext&, const core::logger::LogCategory&,
             const core::logger::LogLevel&, std::string_view text) {
  g_text.assign(text);
}

void on_raw(void*, const core::logger::DispatchContext&, const core::logger::LogCategory&,
            const core::logger::LogLevel&, core::logger::LogTimestamp, std::string_view line) {
  g_raw.append(line);
}

bool check(bool ok, const char* what) {
  if (!ok) std::fprintf(stderr, "consumer: %s\n", what);
  return ok;
}

}  // namespace

int main() {
  using namespace core::logger;
  constexpr LogCategory kCategory{{"consumer", category_id("consumer")}, true, MessageVerbosity::Detailed};
  constexpr LogLevel kLevel{"INFO", 2};

  add_default_channel(LogChannel{"text", &on_text, nullptr});
  add_default_channel(LogRawChannel{"raw", &on_raw, nullptr});
  bool ok = check(can_dispatch_log(kCategory, MessageVerbosity::Normal), "category passes");
  log_format(LogOptions{}, kCategory, kLevel, "answer {}\nsecond line", fmt::make_format_args(42));

  // "{HH:MM:SS.mmm} INFO: [consumer] > answer 42\n" then "... | second line\n", NUL.
  const std::string_view text = g_text;
  ok &= check(text.size() > 15 && text[0] == '{' && text[13] == '}', "header time");
  ok &= check(text.substr(14, 31) == " INFO: [consumer] > answer 42\n{", "first line");
  ok &= check(text.substr(text.size() - 17) == std::string_view("] | second line\n\0", 17), "second line");
  ok &= check(g_raw == "answer 42\nsecond line", "raw lines");
  ok &= check(fmt::format("{:F}", LogTimestamp{637921789271239000}) == "2022-06-30 09:42:07.123",
              "timestamp formatter");
  if (ok) std::puts("consumer ok");
  return ok ? 0 : 1;
}
