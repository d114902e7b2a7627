// Replays the committed fuzzing corpus through the fuzzer's check function,
// so that every input found so far is checked in every build configuration,
// sanitizers included, without clang or libFuzzer.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fuzz/log_call_check.h"
#include "pipeline/text_composer.h"
#include "support/standard_error.h"

namespace core::logger::fuzz {
namespace {

std::vector<std::filesystem::path> corpus_files() {
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(CORE_LOGGER_FUZZ_CORPUS)) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

using StandardErrorSilenced = testing::StandardErrorRedirect;

TEST(FuzzCorpusTest, EveryCommittedInputPassesTheCheck) {
  const std::vector<std::filesystem::path> files = corpus_files();
  ASSERT_GE(files.size(), 10u) << "the seed corpus is missing";
  for (const std::filesystem::path& file : files) {
    const std::string input = read_file(file);
    std::string failure;
    {
      StandardErrorSilenced silenced;
      failure = check_log_calls(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
    }
    EXPECT_EQ(failure, "") << file.filename().string();
  }
}

TEST(FuzzCorpusTest, EncodedCaseDecodesToTheSameCase) {
  LogCallCase call;
  call.calls = kCallLogFormat | kCallAssert;
  call.options = Continuation;
  call.default_options = WithFileLine;
  call.heap_limit = 64 * 200 * 200;
  call.timestamp_spec = 'Z';
  call.line = 4'000'000'000u;
  call.format = std::string("a\0{}\n", 5);
  call.category = "net";
  call.callstack = "f0\n";
  Argument text;
  text.kind = Argument::kString;
  text.text = std::string("x\0\ny", 4);
  Argument null_string;
  null_string.kind = Argument::kNullCString;
  Argument number;
  number.kind = Argument::kLongLong;
  number.integer = -5;
  call.arguments = {text, null_string, number};

  const std::string bytes = encode_case(call);
  const LogCallCase decoded = decode_case(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  EXPECT_EQ(decoded.calls, call.calls);
  EXPECT_EQ(decoded.options, call.options);
  EXPECT_EQ(decoded.default_options, call.default_options);
  EXPECT_EQ(decoded.heap_limit, call.heap_limit);
  EXPECT_EQ(decoded.timestamp_spec, 'Z');
  EXPECT_EQ(decoded.line, call.line);
  EXPECT_EQ(decoded.format, call.format);
  EXPECT_EQ(decoded.category, "net");
  EXPECT_EQ(decoded.callstack, "f0\n");
  ASSERT_EQ(decoded.arguments.size(), 3u);
  EXPECT_EQ(decoded.arguments[0].text, text.text);
  EXPECT_EQ(decoded.arguments[1].kind, Argument::kNullCString);
  EXPECT_EQ(decoded.arguments[2].integer, -5);
}

TEST(FuzzCorpusTest, WidthsInsideReplacementFieldsAreCapped) {
  bool nested = false;
  EXPECT_EQ(cap_format_widths("{:99999999999}|", &nested), "{:1048576}|");
  EXPECT_EQ(cap_format_widths("{:.5000000f}", &nested), "{:.1048576f}");
  EXPECT_FALSE(nested);
  // Text outside the fields and escaped braces are left alone.
  EXPECT_EQ(cap_format_widths("99999999 {{99999999}} {:>12}", &nested), "99999999 {{99999999}} {:>12}");
  EXPECT_EQ(cap_format_widths("{0:{1}.{2}}", &nested), "{0:{1}.{2}}");
  EXPECT_TRUE(nested);
  // All fields together share the cap.
  EXPECT_EQ(cap_format_widths("{:1000000}{:48576}{:.10}{:5}", &nested), "{:1000000}{:48576}{:.0}{:0}");
}

TEST(FuzzCorpusTest, EveryFormPassesWhateverTheWidestHeaderSoFar) {
  LogCallCase call;
  call.calls = kCallLogFormat | kCallLogFormatSource | kCallAssert | kCallDataError | kCallFormatTimestamp;
  call.format = "plain {}\nsecond";
  call.category = "check";
  call.level = "INFO";
  call.file = "file.cc";
  call.function = "run";
  call.condition = "x > 0";
  call.callstack = "frame 0\nframe 1";
  Argument number;
  number.kind = Argument::kInt;
  number.integer = 42;
  call.arguments = {number};
  const std::string bytes = encode_case(call);
  StandardErrorSilenced silenced;
  // Narrower and wider than this case's headers, and the widest possible.
  for (std::uint64_t width : {0u, 100u, 512u}) {
    detail::g_prefix_width.store(width, std::memory_order_relaxed);
    EXPECT_EQ(check_log_calls(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), "")
        << "PrefixWidth " << width;
  }
}

TEST(FuzzCorpusTest, CheckRejectsAPrefixWidthBeyondTheHeaderArea) {
  detail::g_prefix_width.store(513, std::memory_order_relaxed);
  const std::uint8_t nothing[1] = {0};
  EXPECT_NE(check_log_calls(nothing, sizeof nothing), "");
  detail::g_prefix_width.store(0, std::memory_order_relaxed);
}

}  // namespace
}  // namespace core::logger::fuzz
