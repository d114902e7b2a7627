// Logs through the statement macros of an installed core_logger and its
// companion channels, and checks what the channels receive.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include <core/channels.h>
#include <core/log.h>

namespace {

constexpr core::logger::LogCategory kApp = core::logger::make_category("consumer.app");

int g_evaluations = 0;

int counted(int value) {
  ++g_evaluations;
  return value;
}

bool check(bool ok, const char* what) {
  if (!ok) std::fprintf(stderr, "frontend consumer: %s\n", what);
  return ok;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

int main() {
  using namespace core::logger;
  static CaptureChannel capture;
  add_default_channel(capture.channel());
  add_default_channel(capture.raw_channel());
  const std::string path =
      (std::filesystem::temp_directory_path() / "core_logger_frontend_consumer.log").string();
  std::filesystem::remove(path);
  static FileChannel file(path);
  add_default_channel(file.channel());
  add_default_channel(console_channel(ConsoleStream::StandardOutput, ColorMode::Never));

  CORE_LOG_INFO(kApp, "answer {}", counted(42));
  disable_category(kApp);
  CORE_LOG_INFO(kApp, "skipped {}", counted(0));
  const bool held = CORE_LOG_ASSERT_WITH_STACK_MSG(g_evaluations == 2, "evaluated {} times", g_evaluations);

  bool ok = check(g_evaluations == 1, "a disabled statement evaluated its argument");
  ok &= check(!held, "the assertion held");
  const std::vector<CapturedText> texts = capture.texts();
  ok &= check(texts.size() == 2, "two texts");
  if (texts.size() == 2) {
    ok &= check(texts[0].text.find(" INFO: [consumer.app] > answer 42\n") != std::string::npos, "info text");
    ok &= check(texts[0].function == "main" && texts[0].line > 0, "location");
    ok &= check(texts[1].category == "Assert", "assertion category");
    ok &= check(texts[1].text.find(" - Condition: g_evaluations == 2\n") != std::string::npos, "condition");
    ok &= check(texts[1].text.find(" callstack beg ") != std::string::npos, "call stack");
  }
  ok &=
      check(fmt::format("{:F}", LogTimestamp{637921789271239000}) == "2022-06-30 09:42:07.123", "timestamp");
  file.close();
  std::string expected;
  for (const CapturedText& text : texts) expected += text.text;
  ok &= check(read_file(path) == expected, "file contents");
  std::filesystem::remove(path);
  if (ok) std::puts("frontend consumer ok");
  return ok ? 0 : 1;
}
