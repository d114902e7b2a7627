// Many threads log through all four calls while others declare categories,
// flip their flags and verbosities, change the runtime verbosity and the
// default options, and register channels. Every text must arrive whole and in
// the layout of its form, every raw piece with its own text, and every message
// exactly once. Meant to run under ThreadSanitizer too, so it stays small.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "core/logger.h"
#include "lifecycle/library_lifecycle.h"
#include "support/standard_error.h"

namespace core::logger {
namespace {

constexpr int kLoggers = 8;
// Each logger sends at least the minimum, and goes on until every late
// channel is registered, so that registrations always meet running calls.
constexpr int kMinMessagesPerLogger = 400;
constexpr int kMaxMessagesPerLogger = 50'000;
constexpr int kCategoryCount = 4000;
constexpr int kExtraChannels = 24;
constexpr std::string_view kLevels[] = {"I", "WARN", "DEBUG", "VERBOSE2"};

// Category names outlive every use of them: the registry keeps views.
const std::vector<std::string>& category_names() {
  static const auto* names = [] {
    auto* out = new std::vector<std::string>;
    for (int i = 0; i < kCategoryCount; ++i) out->push_back(fmt::format("stress.cat.{}", i));
    return out;
  }();
  return *names;
}

LogCategory category_record(int index) {
  const std::string& name = category_names()[index % kCategoryCount];
  return LogCategory{{name, category_id(name)}, true, MessageVerbosity::Detailed};
}

// What logger `t` says in its message `seq`: one to four lines.
std::string message_tail(int seq) {
  std::string tail = "part 0";
  for (int i = 1; i <= seq % 4; ++i) tail += fmt::format("\npart {}", i);
  return tail;
}
std::string message_text(int t, int seq) { return fmt::format("t{} s{} {}", t, seq, message_tail(seq)); }

enum Form { kOrdinary, kOrdinarySource, kAssert, kDataError, kFormCount };

// The parts of a call that the checker derives again from (t, seq).
struct CallPlan {
  Form form;
  LogCategory category;
  std::string_view level;
  std::string file;
  std::string function;
  std::string condition;
  std::string callstack;
  std::uint32_t line;
};

CallPlan plan_of(int t, int seq) {
  CallPlan plan{static_cast<Form>(seq % kFormCount),
                category_record(t * 131 + seq * 7),
                kLevels[seq / kFormCount % 4],
                fmt::format("src/stress/t{}.cc", t),
                fmt::format("worker_{}", t),
                fmt::format("seq == {}", seq),
                {},
                static_cast<std::uint32_t>(seq)};
  switch (seq % 3) {
    case 0:
      plan.callstack = fmt::format("frame0 t{}\nframe1\n", t);
      break;
    case 1:
      plan.callstack = "frame0\nframe1";
      break;
    default:
      break;
  }
  return plan;
}

// ---------------------------------------------------------------------------
// What each logger thread's deliveries show. Channels are called on the
// logging thread, so each logger's state is touched by its own thread only.
// ---------------------------------------------------------------------------

struct RawPiece {
  std::string text;
  LogTimestamp timestamp;
  std::string category;
};

struct LoggerState {
  std::vector<RawPiece> pending;  // raw pieces of the call under way
  std::vector<int> seen = std::vector<int>(kMaxMessagesPerLogger, 0);
  int sent = 0;
  std::string error;  // the first problem found
};

LoggerState g_loggers[kLoggers];
thread_local int t_logger = -1;
std::atomic<int> g_delivered{0};
std::atomic<bool> g_registrations_done{false};

// Finds the tag "t<t> s<seq>" that starts a message of logger `t` in a text
// or piece; -1 when there is none.
int sequence_in(std::string_view text, int t) {
  const std::string key = fmt::format("t{} s", t);
  for (std::size_t at = text.find(key); at != std::string_view::npos; at = text.find(key, at + 1)) {
    if (at != 0 && text[at - 1] != ' ' && text[at - 1] != '\n') continue;
    std::size_t end = at + key.size();
    int seq = 0;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9') seq = seq * 10 + (text[end++] - '0');
    if (end > at + key.size()) return seq;
  }
  return -1;
}

std::string expected_text(const CallPlan& plan, const DispatchContext& context, std::string_view message,
                          LogTimestamp timestamp, std::size_t padding) {
  const std::string time = fmt::format("{{{:T}}}", timestamp);
  std::string header;
  if (plan.form == kAssert) {
    header = fmt::format("{}({}) : {} ASRT: [Assert]", plan.file, plan.line, time);
  } else if (plan.form == kDataError) {
    header = fmt::format("{}({}) : {} ERRR: [DataError]", plan.file, plan.line, time);
  } else {
    header = fmt::format("{} {}: [{}]", time, plan.level, plan.category.key.name);
  }
  header.append(padding, ' ');
  const std::string prefix = plan.form == kDataError ? "[" + plan.function + "] " : "";
  std::string text;
  std::string_view separator = plan.form <= kOrdinarySource && context.continuation ? " | " : " > ";
  for (std::string_view rest = message;;) {
    const std::size_t line_feed = rest.find('\n');
    text += header + std::string(separator) + prefix + std::string(rest.substr(0, line_feed));
    text += "\n";
    separator = " | ";
    if (line_feed == std::string_view::npos) break;
    rest.remove_prefix(line_feed + 1);
  }
  if (plan.form == kAssert) {
    text += header + " - Condition: " + plan.condition + "\n";
    text += header + " - Function: " + plan.function + "\n";
    if (plan.callstack.empty()) {
      text += "\n";
    } else {
      std::string_view callstack = plan.callstack;
      if (callstack.back() == '\n') callstack.remove_suffix(1);
      text += std::string(54, '>') + " callstack beg " + std::string(54, '>') + "\n";
      text += std::string(callstack) + "\n";
      text += std::string(54, '<') + " callstack end " + std::string(54, '<') + "\n";
    }
  }
  text.push_back('\0');
  return text;
}

// Checks one ordinary text against the raw pieces that preceded it.
std::string check_text(int t, const LogCategory& category, const DispatchContext& context,
                       std::string_view text, const std::vector<RawPiece>& pieces, int* seq_out) {
  if (pieces.empty()) return "a text without raw pieces";
  std::string message;
  for (const RawPiece& piece : pieces) {
    if (piece.timestamp.ticks != pieces[0].timestamp.ticks)
      return "raw pieces of one call with two timestamps";
    if (piece.category != category.key.name) return "a raw piece of another call's category";
    message += piece.text;
  }
  const int seq = sequence_in(message, t);
  if (seq < 0 || seq >= kMaxMessagesPerLogger)
    return "a text that is not this thread's: " + std::string(text);
  *seq_out = seq;
  const CallPlan plan = plan_of(t, seq);
  const std::string expected_message =
      plan.form == kAssert ? "Assertion failed!\n" + message_text(t, seq) : message_text(t, seq);
  if (message != expected_message) return "raw pieces that do not make up the message: " + message;
  const bool report = plan.form == kAssert || plan.form == kDataError;
  if (report && !(!context.continuation && context.with_function && context.with_file_line &&
                  !context.channel_defined)) {
    return "a report with other than its fixed options";
  }
  // The padding is whatever PrefixWidth was when the call read it; every
  // line that carries the header must carry the same.
  const std::size_t header_end = text.find(" > ");
  const std::size_t continuation_end = text.find(" | ");
  std::size_t separator = std::min(header_end, continuation_end);
  if (separator == std::string_view::npos) return "a text without a separator";
  std::size_t padding_start = separator;
  while (padding_start > 0 && text[padding_start - 1] == ' ') --padding_start;
  const std::string expected =
      expected_text(plan, context, message, pieces[0].timestamp, separator - padding_start);
  if (text != expected) return "text\n" + std::string(text) + "\nexpected\n" + expected;
  return {};
}

void on_text(void*, const DispatchContext& context, const LogCategory& category, const LogLevel&,
             std::string_view text) {
  if (t_logger < 0) return;
  LoggerState& state = g_loggers[t_logger];
  int seq = -1;
  const std::string error = check_text(t_logger, category, context, text, state.pending, &seq);
  state.pending.clear();
  if (!error.empty()) {
    if (state.error.empty()) state.error = error;
    return;
  }
  ++state.seen[seq];
  g_delivered.fetch_add(1, std::memory_order_relaxed);
}

void on_raw_piece(void*, const DispatchContext&, const LogCategory& category, const LogLevel&,
                  LogTimestamp timestamp, std::string_view piece) {
  if (t_logger < 0) return;
  g_loggers[t_logger].pending.push_back(
      RawPiece{std::string(piece), timestamp, std::string(category.key.name)});
}

// A channel registered while the loggers run, as an ordinary and a raw half:
// from some message of each logger on, each half must see every message of
// that logger (a call delivers to the channels registered when it began).
struct LateChannel {
  struct Seen {
    int first = -1;
    int last = -1;
    int count = 0;

    void note(int seq) {
      if (first < 0) first = seq;
      last = seq;
      ++count;
    }
  };
  Seen texts[kLoggers];
  Seen pieces[kLoggers];

  static void on_text(void* self, const DispatchContext&, const LogCategory&, const LogLevel&,
                      std::string_view text) {
    if (t_logger < 0) return;
    const int seq = sequence_in(text, t_logger);
    if (seq >= 0) static_cast<LateChannel*>(self)->texts[t_logger].note(seq);
  }
  // Each message has one piece that carries its tag.
  static void on_raw_piece(void* self, const DispatchContext&, const LogCategory&, const LogLevel&,
                           LogTimestamp, std::string_view piece) {
    if (t_logger < 0) return;
    const int seq = sequence_in(piece, t_logger);
    if (seq >= 0) static_cast<LateChannel*>(self)->pieces[t_logger].note(seq);
  }
};

// ---------------------------------------------------------------------------
// The threads
// ---------------------------------------------------------------------------

void run_logger(int t) {
  t_logger = t;
  int seq = 0;
  for (; seq < kMaxMessagesPerLogger &&
         (seq < kMinMessagesPerLogger || !g_registrations_done.load(std::memory_order_relaxed));
       ++seq) {
    const CallPlan plan = plan_of(t, seq);
    const std::string tail = message_tail(seq);
    const auto args = fmt::make_format_args(t, seq, tail);
    const LogLevel level{plan.level, static_cast<std::uint32_t>(seq % 5)};
    const LogLocation location{plan.function, plan.file, plan.line};
    (void)can_dispatch_log(plan.category, MessageVerbosity::Normal);
    switch (plan.form) {
      case kOrdinary:
        log_format(LogOptions{}, plan.category, level, "t{} s{} {}", args);
        break;
      case kOrdinarySource:
        log_format_source(LogOptions{}, location, plan.category, level, "t{} s{} {}", args);
        break;
      case kAssert:
        log_format_assert(location, plan.condition, plan.callstack, "t{} s{} {}", args);
        break;
      default:
        log_format_data_error(location, "t{} s{} {}", args);
        break;
    }
  }
  g_loggers[t].sent = seq;
  t_logger = -1;
}

void run_declarer() {
  const std::vector<std::string>& names = category_names();
  for (int i = 0; i < kCategoryCount; ++i) {
    if (i % 2 == 0) {
      declare_category(category_record(i));
    } else {
      declare_category(names[i], i % 3 != 0);
    }
    if (i % 500 == 0) disable_all_known_categories();
    if (i % 1000 == 0) {
      int count = 0;
      foreach_category([](void* n, CategoryInfo) { ++*static_cast<int*>(n); }, &count);
    }
  }
}

void run_flipper(const std::atomic<bool>& done) {
  const std::vector<std::string>& names = category_names();
  for (unsigned i = 0; !done.load(std::memory_order_relaxed); ++i) {
    const std::string& name = names[(i * 2654435761u) % kCategoryCount];
    switch (i % 5) {
      case 0:
        enable_category(name);
        break;
      case 1:
        disable_category(name);
        break;
      case 2:
        change_category_verbosity(name, static_cast<MessageVerbosity>(i % 3));
        break;
      case 3:
        reset_category_verbosity(name);
        break;
      default:
        (void)can_dispatch_log(category_record(static_cast<int>(i)), MessageVerbosity::Brief);
        break;
    }
  }
}

void run_option_changer(const std::atomic<bool>& done) {
  const LogOptions options[] = {LogOptions{}, Continuation, WithFunction | ChannelDefined,
                                Continuation | WithFileLine};
  for (unsigned i = 0; !done.load(std::memory_order_relaxed); ++i) {
    change_verbosity(static_cast<MessageVerbosity>(i % 3));
    if (i % 7 == 0) {
      reset_default_options();
    } else {
      set_default_options(options[i % 4]);
    }
    std::this_thread::yield();
  }
}

void run_registrar(std::vector<LateChannel>& late) {
  while (g_delivered.load(std::memory_order_relaxed) < 10 * kLoggers) std::this_thread::yield();
  for (LateChannel& channel : late) {
    add_default_channel(LogChannel{"late", &LateChannel::on_text, &channel});
    add_default_channel(LogRawChannel{"late-raw", &LateChannel::on_raw_piece, &channel});
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  g_registrations_done.store(true, std::memory_order_relaxed);
}

class StressTest : public ::testing::Test {
 protected:
  ~StressTest() override { detail::reset_for_testing(); }
};

TEST_F(StressTest, EveryMessageArrivesOnceAndWholeWhileEverythingChanges) {
  add_default_channel(LogChannel{"checker", &on_text, nullptr});
  add_default_channel(LogRawChannel{"checker-raw", &on_raw_piece, nullptr});
  add_default_channel(LogChannel{"null", nullptr, nullptr});
  std::vector<LateChannel> late(kExtraChannels);
  {
    testing::StandardErrorRedirect silenced;  // the built-in channel's copies
    std::atomic<bool> done{false};
    std::vector<std::thread> others;
    others.emplace_back(run_declarer);
    others.emplace_back(run_flipper, std::cref(done));
    others.emplace_back(run_option_changer, std::cref(done));
    others.emplace_back(run_registrar, std::ref(late));
    std::vector<std::thread> loggers;
    for (int t = 0; t < kLoggers; ++t) loggers.emplace_back(run_logger, t);
    for (std::thread& thread : loggers) thread.join();
    done.store(true, std::memory_order_relaxed);
    for (std::thread& thread : others) thread.join();
  }

  bool registered_mid_run = false;
  for (int t = 0; t < kLoggers; ++t) {
    SCOPED_TRACE(t);
    const LoggerState& state = g_loggers[t];
    EXPECT_EQ(state.error, "");
    ASSERT_GE(state.sent, kMinMessagesPerLogger);
    int missing = 0;
    int repeated = 0;
    int unsent = 0;
    for (int seq = 0; seq < kMaxMessagesPerLogger; ++seq) {
      const int count = state.seen[seq];
      missing += seq < state.sent && count == 0;
      repeated += count > 1;
      unsent += seq >= state.sent && count != 0;
    }
    EXPECT_EQ(missing, 0);
    EXPECT_EQ(repeated, 0);
    EXPECT_EQ(unsent, 0);
    for (const LateChannel& channel : late) {
      for (const LateChannel::Seen& seen : {channel.texts[t], channel.pieces[t]}) {
        if (seen.count == 0) continue;  // registered after this logger's last call
        EXPECT_EQ(seen.last, state.sent - 1);
        EXPECT_EQ(seen.count, state.sent - seen.first);
        registered_mid_run |= seen.first > 0;
      }
    }
  }
  EXPECT_TRUE(registered_mid_run) << "no registration met a running logger";
  int declared = 0;
  foreach_category([](void* n, CategoryInfo) { ++*static_cast<int*>(n); }, &declared);
  EXPECT_GE(declared, kCategoryCount);
  for (const std::string& name : category_names()) ASSERT_TRUE(enable_category(name)) << name;
}

}  // namespace
}  // namespace core::logger
