// Many threads log through all four calls while others declare categories,
// flip their flags and verbosities, change the runtime verbosity and the
// default options, and register channels. Every text must arrive whole and as
// the oracle composes it, every raw piece with its own text, and every
// message exactly once. Meant to run under ThreadSanitizer too, so it stays
// small.
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "core/logger.h"
#include "support/library_reset.h"
#include "support/oracle.h"

namespace core::logger {
namespace {

constexpr int kLoggers = 8;
// Each logger sends at least the minimum, and goes on until every late
// channel is registered, so that registrations always meet running calls.
constexpr int kMinMessages = 400;
constexpr int kMaxMessages = 50'000;
constexpr int kCategoryCount = 4000;
constexpr int kLateChannels = 24;
constexpr std::string_view kLevels[] = {"I", "WARN", "DEBUG", "VERBOSE2"};

// Category names outlive every use of them: the registry keeps views.
const std::vector<std::string>& names() {
  static const auto* names = [] {
    auto* out = new std::vector<std::string>;
    for (int i = 0; i < kCategoryCount; ++i) out->push_back(fmt::format("stress.cat.{}", i));
    return out;
  }();
  return *names;
}

LogCategory category(int index) {
  const std::string& name = names()[index % kCategoryCount];
  return LogCategory{{name, category_id(name)}, true, MessageVerbosity::Detailed};
}

// What logger `t` sends as its message `seq`: one to four lines, each of the
// four forms in turn.
struct Plan {
  oracle::Form form;
  bool with_location;
  std::string tail, file, function, condition, callstack;
  std::uint32_t line;
  LogCategory category;
  std::string_view level;
};

Plan plan_of(int t, int seq) {
  Plan plan{seq % 4 == 2   ? oracle::Form::kAssert
            : seq % 4 == 3 ? oracle::Form::kDataError
                           : oracle::Form::kOrdinary,
            seq % 4 == 1,
            "part 0",
            fmt::format("src/stress/t{}.cc", t),
            fmt::format("worker_{}", t),
            fmt::format("seq == {}", seq),
            seq % 3 == 0   ? fmt::format("frame0 t{}\nframe1\n", t)
            : seq % 3 == 1 ? "frame0\nframe1"
                           : "",
            static_cast<std::uint32_t>(seq),
            category(t * 131 + seq * 7),
            kLevels[seq / 4 % 4]};
  for (int i = 1; i <= seq % 4; ++i) plan.tail += fmt::format("\npart {}", i);
  return plan;
}

// What each logger's deliveries show. Channels are called on the logging
// thread, so each logger's state is touched by its own thread only.
struct LoggerState {
  std::string message;  // the raw pieces of the call under way
  LogTimestamp timestamp{};
  std::vector<int> seen = std::vector<int>(kMaxMessages, 0);
  int sent = 0;
  std::string error;  // the first problem found
};

LoggerState g_loggers[kLoggers];
thread_local int t_logger = -1;
std::atomic<int> g_delivered{0};
std::atomic<bool> g_registrations_done{false};

// The number in the tag "t<t> s<seq>" that starts logger `t`'s messages, or -1.
int sequence_in(std::string_view text, int t) {
  const std::string key = fmt::format("t{} s", t);
  for (std::size_t at = text.find(key); at != std::string_view::npos; at = text.find(key, at + 1)) {
    if (at != 0 && text[at - 1] != ' ' && text[at - 1] != '\n') continue;
    int seq = 0;
    std::size_t end = at + key.size();
    for (; end < text.size() && text[end] >= '0' && text[end] <= '9'; ++end)
      seq = seq * 10 + (text[end] - '0');
    if (end > at + key.size()) return seq;
  }
  return -1;
}

// Checks one ordinary text against the raw pieces that came before it.
std::string check_text(int t, const DispatchContext& context, std::string_view text, int* seq) {
  LoggerState& state = g_loggers[t];
  *seq = sequence_in(state.message, t);
  if (*seq < 0 || *seq >= kMaxMessages) return "a text that is not this thread's: " + std::string(text);
  const Plan plan = plan_of(t, *seq);
  const std::string message = fmt::format("t{} s{} {}", t, *seq, plan.tail);
  const bool report = plan.form != oracle::Form::kOrdinary;
  if (state.message != (plan.form == oracle::Form::kAssert ? "Assertion failed!\n" + message : message)) {
    return "raw pieces that do not make up the message: " + state.message;
  }
  if (report && (context.continuation || !context.with_function || !context.with_file_line ||
                 context.channel_defined)) {
    return "a report with other than its fixed options";
  }
  // The padding is whatever PrefixWidth the call read: the header and its
  // blanks end where the first separator begins.
  std::uint64_t prefix_width = std::min(text.find(" > "), text.find(" | "));
  const oracle::Call call{plan.form,
                          context.continuation && !report,
                          plan.level,
                          plan.category.key.name,
                          LogLocation{plan.function, plan.file, plan.line},
                          plan.condition,
                          plan.callstack};
  return oracle::compare_text(oracle::compose(call, state.timestamp, state.message, &prefix_width), text,
                              false);
}

void on_text(void*, const DispatchContext& context, const LogCategory&, const LogLevel&,
             std::string_view text) {
  if (t_logger < 0) return;
  LoggerState& state = g_loggers[t_logger];
  int seq = -1;
  const std::string error = check_text(t_logger, context, text, &seq);
  state.message.clear();
  if (!error.empty()) {
    if (state.error.empty()) state.error = error;
    return;
  }
  ++state.seen[seq];
  g_delivered.fetch_add(1, std::memory_order_relaxed);
}

void on_piece(void*, const DispatchContext&, const LogCategory&, const LogLevel&, LogTimestamp timestamp,
              std::string_view piece) {
  if (t_logger < 0) return;
  LoggerState& state = g_loggers[t_logger];
  if (!state.message.empty() && timestamp.ticks != state.timestamp.ticks && state.error.empty()) {
    state.error = "a call of two timestamps";
  }
  state.timestamp = timestamp;
  state.message += piece;
}

// A channel registered while the loggers run, with an ordinary and a raw
// half: a call delivers to the channels registered when it began, so from
// some message of each logger on, each half sees every message of it.
struct LateChannel {
  struct Seen {
    int first = -1, last = -1, count = 0;
  };
  Seen seen[2][kLoggers];  // texts, pieces

  void note(int half, std::string_view text) {
    if (t_logger < 0) return;
    const int seq = sequence_in(text, t_logger);  // one piece of a message carries its tag
    if (seq < 0) return;
    Seen& s = seen[half][t_logger];
    s.first = s.first < 0 ? seq : s.first;
    s.last = seq;
    ++s.count;
  }
};

void run_logger(int t) {
  t_logger = t;
  int seq = 0;
  for (; seq < kMaxMessages && (seq < kMinMessages || !g_registrations_done.load(std::memory_order_relaxed));
       ++seq) {
    const Plan plan = plan_of(t, seq);
    const auto args = fmt::make_format_args(t, seq, plan.tail);
    const LogLevel level{plan.level, static_cast<std::uint32_t>(seq % 5)};
    const LogLocation location{plan.function, plan.file, plan.line};
    (void)can_dispatch_log(plan.category, MessageVerbosity::Normal);
    if (plan.form == oracle::Form::kAssert) {
      log_format_assert(location, plan.condition, plan.callstack, "t{} s{} {}", args);
    } else if (plan.form == oracle::Form::kDataError) {
      log_format_data_error(location, "t{} s{} {}", args);
    } else if (plan.with_location) {
      log_format_source(LogOptions{}, location, plan.category, level, "t{} s{} {}", args);
    } else {
      log_format(LogOptions{}, plan.category, level, "t{} s{} {}", args);
    }
  }
  g_loggers[t].sent = seq;
  t_logger = -1;
}

// Declares every category, half by record and half by name, disabling all
// now and then and walking them.
void run_declarer() {
  for (int i = 0; i < kCategoryCount; ++i) {
    i % 2 == 0 ? declare_category(category(i)) : declare_category(names()[i], i % 3 != 0);
    if (i % 500 == 0) disable_all_known_categories();
    if (i % 1000 == 0) foreach_category([](void*, CategoryInfo) {}, nullptr);
  }
}

// Flips categories, the runtime verbosity and the default options.
void run_changer(const std::atomic<bool>& done) {
  const LogOptions options[] = {LogOptions{}, Continuation, WithFunction | ChannelDefined,
                                Continuation | WithFileLine};
  for (unsigned i = 0; !done.load(std::memory_order_relaxed); ++i) {
    const std::string& name = names()[(i * 2654435761u) % kCategoryCount];
    enable_category(name);
    disable_category(name);
    change_category_verbosity(name, static_cast<MessageVerbosity>(i % 3));
    reset_category_verbosity(name);
    change_verbosity(static_cast<MessageVerbosity>(i % 3));
    i % 7 == 0 ? reset_default_options() : set_default_options(options[i % 4]);
    std::this_thread::yield();
  }
}

void run_registrar(std::vector<LateChannel>& late) {
  while (g_delivered.load(std::memory_order_relaxed) < 10 * kLoggers) std::this_thread::yield();
  for (LateChannel& channel : late) {
    add_default_channel(
        LogChannel{"late",
                   [](void* self, const DispatchContext&, const LogCategory&, const LogLevel&,
                      std::string_view text) { static_cast<LateChannel*>(self)->note(0, text); },
                   &channel});
    add_default_channel(LogRawChannel{
        "late-raw",
        [](void* self, const DispatchContext&, const LogCategory&, const LogLevel&, LogTimestamp,
           std::string_view piece) { static_cast<LateChannel*>(self)->note(1, piece); },
        &channel});
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  g_registrations_done.store(true, std::memory_order_relaxed);
}

TEST(StressTest, EveryMessageArrivesOnceAndWholeWhileEverythingChanges) {
  detail::reset_for_testing();
  add_default_channel(LogChannel{"checker", &on_text, nullptr});
  add_default_channel(LogRawChannel{"checker-raw", &on_piece, nullptr});
  add_default_channel(LogChannel{"null", nullptr, nullptr});
  std::vector<LateChannel> late(kLateChannels);
  {
    std::atomic<bool> done{false};
    std::vector<std::thread> others;
    others.emplace_back(run_declarer);
    others.emplace_back(run_changer, std::cref(done));
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
    ASSERT_GE(state.sent, kMinMessages);
    int wrong = 0;  // missing, repeated or never sent
    for (int seq = 0; seq < kMaxMessages; ++seq) wrong += state.seen[seq] != (seq < state.sent ? 1 : 0);
    EXPECT_EQ(wrong, 0);
    for (const LateChannel& channel : late) {
      for (const auto& seen : channel.seen) {
        if (seen[t].count == 0) continue;  // registered after this logger's last call
        EXPECT_EQ(seen[t].last, state.sent - 1);
        EXPECT_EQ(seen[t].count, state.sent - seen[t].first);
        registered_mid_run |= seen[t].first > 0;
      }
    }
  }
  EXPECT_TRUE(registered_mid_run) << "no registration met a running logger";
  int declared = 0;
  foreach_category([](void* n, CategoryInfo) { ++*static_cast<int*>(n); }, &declared);
  EXPECT_EQ(declared, kCategoryCount);
  for (const std::string& name : names()) ASSERT_TRUE(enable_category(name)) << name;
  detail::reset_for_testing();
}

}  // namespace
}  // namespace core::logger
