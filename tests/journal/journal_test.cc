// The journal channel against a real systemd-journald that this program
// starts, stops and restarts in the private mount namespace of
// run_in_namespace.sh; entries are read back with journalctl.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/channels.h"
#include "core/log.h"
#include "support/capture_test.h"

namespace core::logger {
namespace {

using Clock = std::chrono::steady_clock;
using Entry = std::map<std::string, std::string>;  // journalctl's fields, trusted ones ("_PID") included
using std::string_literals::operator""s;
using std::to_string;

constexpr char kSocket[] = "/run/systemd/journal/socket";
constexpr char kJournald[] = "/lib/systemd/systemd-journald";
constexpr LogCategory kNet = make_category("journal.net");

// The process's journald.
class Journald {
 public:
  void start() {
    pid_ = ::fork();
    if (pid_ == 0) {  // dies with this process, and leaves its output alone
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      const int null = ::open("/dev/null", O_RDWR);
      ::dup2(null, STDOUT_FILENO);
      ::dup2(null, STDERR_FILENO);
      ::execl(kJournald, kJournald, static_cast<char*>(nullptr));
      ::_exit(127);
    }
    // Ready once its socket takes a connection: the path may still be the
    // socket of an instance stopped before.
    for (const auto until = Clock::now() + std::chrono::seconds(20); Clock::now() < until;) {
      const int probe = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      std::strcpy(address.sun_path, kSocket);
      const bool listens = ::connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
      ::close(probe);
      if (listens) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ADD_FAILURE() << "journald did not start";
  }
  void signal(int number) const { ::kill(pid_, number); }
  void stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
};
Journald g_journald;

// A value as journalctl's JSON has it: a string, or the bytes of a value that
// is not UTF-8 text, as an array of numbers.
std::string bytes_of(const nlohmann::json& value) {
  if (value.is_string()) return value.get<std::string>();
  std::string bytes;
  for (const nlohmann::json& byte : value) bytes.push_back(static_cast<char>(byte.get<int>()));
  return bytes;
}

// Waits until journald has stored everything sent to it so far: it takes the
// datagrams of all senders from one queue, so once an entry sent now through
// a channel of its own is stored, every earlier one is.
void sync_journal() {
  static int syncs = 0;
  const std::string mark = fmt::format("sync {}", ++syncs);
  JournalChannel(JournalOptions{"corelog-sync", kSocket, 5000}).write(kInfoLevel, mark);
  for (const auto until = Clock::now() + std::chrono::seconds(30); Clock::now() < until;) {
    const std::string command = "journalctl -D /run/log/journal -o cat SYSLOG_IDENTIFIER=corelog-sync";
    std::FILE* out = ::popen(command.c_str(), "r");
    char line[64];
    bool synced = false;
    while (std::fgets(line, sizeof line, out) != nullptr) synced = synced || line == mark + "\n";
    ::pclose(out);
    if (synced) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ADD_FAILURE() << "journald did not store " << mark;
}

// Every entry of `identifier`, in the order of arrival, once journald has
// stored what was sent.
std::vector<Entry> entries_of(const std::string& identifier) {
  sync_journal();
  const std::string command = "journalctl -D /run/log/journal -o json --all SYSLOG_IDENTIFIER=" + identifier;
  std::FILE* out = ::popen(command.c_str(), "r");
  std::vector<Entry> entries;
  char* line = nullptr;
  std::size_t size = 0;
  while (::getline(&line, &size, out) > 0) {
    const nlohmann::json object = nlohmann::json::parse(line);
    Entry& entry = entries.emplace_back();
    for (const auto& [key, value] : object.items()) entry[key] = bytes_of(value);
  }
  std::free(line);
  ::pclose(out);
  return entries;
}

// "2026-12-07T09:42:07.123+01:00" for a call's timestamp, with the zone's
// present offset.
std::string iso_time(LogTimestamp timestamp) {
  std::string text = fmt::format("{:F}", timestamp);
  text[10] = 'T';
  const time_t now = ::time(nullptr);
  tm local{};
  ::localtime_r(&now, &local);
  const long minutes = std::labs(local.tm_gmtoff) / 60;
  return text + fmt::format("{}{:02}:{:02}", local.tm_gmtoff < 0 ? '-' : '+', minutes / 60, minutes % 60);
}

// The entry that `call` of this thread makes.
Entry expected_entry(const CapturedText& call, const std::string& identifier, const std::string& message,
                     int priority) {
  Entry entry{{"MESSAGE", message},
              {"PRIORITY", to_string(priority)},
              {"SYSLOG_IDENTIFIER", identifier},
              {"TID", to_string(::gettid())},
              {"CORE_CATEGORY", call.category},
              {"CORE_LEVEL", call.level},
              {"CORE_LEVEL_VALUE", to_string(call.level_value)},
              {"CORE_TIMESTAMP", iso_time(call.timestamp)}};
  if (!call.file.empty()) entry.insert({{"CODE_FILE", call.file}, {"CODE_LINE", to_string(call.line)}});
  if (!call.function.empty()) entry.insert({"CODE_FUNC", call.function});
  return entry;
}

// The fields of the sender (not journald's own, "_PID", "__CURSOR") that
// differ, each value shown as JSON and cut short.
std::string differences(const Entry& entry, const Entry& expected) {
  const auto shown = [](const Entry& fields, const std::string& key) {
    const auto found = fields.find(key);
    if (found == fields.end()) return "(none)"s;
    return nlohmann::json(found->second.substr(0, 60))
        .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  };
  std::set<std::string> keys;
  for (const Entry* fields : {&entry, &expected}) {
    for (const auto& field : *fields) keys.insert(field.first);
  }
  std::string out;
  for (const std::string& key : keys) {
    if (key[0] == '_' || (entry.count(key) == expected.count(key) && entry.at(key) == expected.at(key)))
      continue;
    out += fmt::format("{} is {}, not {}; ", key, shown(entry, key), shown(expected, key));
  }
  return out;
}

using JournalChannelTest = testing::CaptureTest;

TEST_F(JournalChannelTest, EveryCallIsOneEntryWithEveryFieldWhateverItsBytesAndSize) {
  JournalChannel journal(JournalOptions{"corelog-fields", kSocket, 1000});
  add_default_channel(journal);
  CORE_LOG_WARN(kNet, "port {} refused", 8080);
  const std::uint32_t line = __LINE__ - 1;
  log_format(LogOptions{}, kNet, kInfoLevel, "without a location", {});
  static const std::string kLongName(200, 'n');
  std::string large;  // 1 MiB, lines included: the binary form in a memory file
  while (large.size() < (1u << 20)) large += fmt::format("line {} of a large message\n", large.size());
  large.resize(1u << 20);
  const struct {
    LogCategory category;
    LogLevel level;
    std::string message;
    int priority;
  } calls[] = {
      {kNet, kTraceLevel, "three\nlines\n  of text", 7},
      {kNet, kDebugLevel, "not UTF-8: \xC3\x28 \xFF\xFE, a NUL: \0 and a CR\r"s, 7},
      {make_category(kLongName), kInfoLevel, "a long category", 6},
      {kNet, kErrorLevel, large, 3},
      {kNet, LogLevel{"CRIT", 5}, "critical", 2},
      {kNet, LogLevel{"FATL", 0xFFFFFFFF}, "fatal", 2},
  };
  for (const auto& call : calls)
    CORE_LOG(call.category, call.level, MessageVerbosity::Brief, "{}", call.message);

  const std::vector<Entry> entries = entries_of("corelog-fields");
  const std::vector<CapturedText> captured = texts();
  ASSERT_EQ(entries.size(), std::size(calls) + 2);
  ASSERT_EQ(captured.size(), entries.size());
  EXPECT_EQ(differences(entries[0], expected_entry(captured[0], "corelog-fields", "port 8080 refused", 4)),
            "");
  EXPECT_EQ(
      std::make_tuple(entries[0].at("CODE_FILE"), entries[0].at("CODE_LINE"), entries[0].at("CODE_FUNC")),
      std::make_tuple(std::string(__FILE__), to_string(line), "TestBody"s));
  EXPECT_EQ(differences(entries[1], expected_entry(captured[1], "corelog-fields", "without a location", 6)),
            "");
  EXPECT_EQ(entries[1].count("CODE_FILE") + entries[1].count("CODE_LINE") + entries[1].count("CODE_FUNC"),
            0u);
  for (std::size_t i = 0; i < std::size(calls); ++i) {
    const auto& call = calls[i];
    EXPECT_EQ(differences(entries[i + 2],
                          expected_entry(captured[i + 2], "corelog-fields", call.message, call.priority)),
              "")
        << "call " << i;
  }
  EXPECT_EQ(std::make_tuple(journal.dropped(), journal.error()), std::make_tuple(0u, 0));
}

TEST_F(JournalChannelTest, EntriesOfFourThreadsArriveEachExactlyOnceWithTheirThreadIds) {
  constexpr int kThreads = 4;
  constexpr int kCalls = 1000;
  JournalChannel journal(JournalOptions{"corelog-threads", kSocket, 5000});
  add_default_channel(journal);
  std::vector<pid_t> thread_ids(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&thread_ids, t] {
      thread_ids[static_cast<std::size_t>(t)] = ::gettid();
      for (int i = 0; i < kCalls; ++i) CORE_LOG_INFO(kNet, "thread {} call {}", t, i);
    });
  }
  for (std::thread& thread : threads) thread.join();

  std::map<std::string, std::string> thread_of_message;
  const std::vector<Entry> entries = entries_of("corelog-threads");
  for (const Entry& entry : entries) thread_of_message[entry.at("MESSAGE")] = entry.at("TID");
  EXPECT_EQ(entries.size(), std::size_t{kThreads * kCalls});
  EXPECT_EQ(thread_of_message.size(), std::size_t{kThreads * kCalls});
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kCalls; ++i) {
      const std::string message = fmt::format("thread {} call {}", t, i);
      ASSERT_EQ(thread_of_message[message], to_string(thread_ids[static_cast<std::size_t>(t)])) << message;
    }
  }
  EXPECT_EQ(journal.dropped(), 0u);
}

TEST_F(JournalChannelTest, NoCallWaitsLongerThanItsTimeoutForAJournalThatIsMissingStalledOrStopped) {
  JournalChannel missing(JournalOptions{"corelog-missing", "/run/systemd/journal/missing", 100});
  missing.write(kInfoLevel, "lost");
  EXPECT_EQ(std::make_tuple(missing.is_open(), missing.error(), missing.dropped()),
            std::make_tuple(true, ENOENT, 1u));
  const JournalChannel too_long(JournalOptions{"corelog-too-long", "/" + std::string(120, 'x'), 100});
  EXPECT_EQ(std::make_tuple(too_long.is_open(), too_long.error()), std::make_tuple(false, EINVAL));

  JournalChannel journal(JournalOptions{"corelog-outage", kSocket, 100});
  std::uint64_t sent = 0;
  Clock::duration longest{};
  const auto send = [&](const std::string& message) {
    const auto start = Clock::now();
    journal.write(kInfoLevel, message);
    longest = std::max(longest, Clock::now() - start);
    ++sent;
  };
  // Stalled: its queue fills (after 10 datagrams, or 512 where systemd sets
  // the queues' length) and stays full.
  g_journald.signal(SIGSTOP);
  const auto stalled_until = Clock::now() + std::chrono::seconds(3);
  for (int i = 0; journal.dropped() < 5 && Clock::now() < stalled_until; ++i)
    send(fmt::format("stalled {} {}", i, std::string(2000, 's')));
  g_journald.signal(SIGCONT);
  EXPECT_EQ(journal.error(), ETIMEDOUT);
  const std::uint64_t dropped_stalled = journal.dropped();
  EXPECT_GT(dropped_stalled, 0u);
  // Stopped, once it has stored what it took.
  sync_journal();
  g_journald.stop();
  for (int i = 0; i < 10; ++i) send(fmt::format("stopped {}", i));
  EXPECT_NE(journal.error(), 0);
  EXPECT_EQ(journal.dropped(), dropped_stalled + 10);
  // Back, to the same channel object.
  g_journald.start();
  std::set<std::string> after;
  for (int i = 0; i < 10; ++i) send(*after.insert(fmt::format("restarted {}", i)).first);
  EXPECT_EQ(journal.error(), 0);

  EXPECT_LT(longest, std::chrono::milliseconds(100 + 50));
  const std::vector<Entry> entries = entries_of("corelog-outage");
  EXPECT_EQ(entries.size() + journal.dropped(), sent);
  for (const Entry& entry : entries) after.erase(entry.at("MESSAGE"));
  EXPECT_TRUE(after.empty()) << "lost after the restart: " << *after.begin();
}

// The child also gives up root, as most programs run: journald takes a
// memory file from an unprivileged sender only when it is sealed.
TEST_F(JournalChannelTest, AForkedUnprivilegedChildSendsAsItselfLargeEntriesIncluded) {
  constexpr uid_t kNobody = 65534;
  JournalChannel journal(JournalOptions{"corelog-fork", kSocket, 1000});
  journal.write(kInfoLevel, "parent");
  const std::string large = std::string(300000, 'x') + "\nend";  // no datagram takes it
  const pid_t child = ::fork();
  if (child == 0) {
    const bool unprivileged = ::setgid(kNobody) == 0 && ::setuid(kNobody) == 0;
    journal.write(kInfoLevel, "child");
    journal.write(kInfoLevel, large);
    ::_exit(unprivileged && journal.dropped() == 0 ? 0 : 1);
  }
  int status = -1;
  ::waitpid(child, &status, 0);
  EXPECT_EQ(status, 0);
  journal.write(kInfoLevel, "parent again");

  const std::vector<Entry> entries = entries_of("corelog-fork");
  ASSERT_EQ(entries.size(), 4u);
  const std::string parent = to_string(::getpid()), parent_thread = to_string(::gettid());
  const std::string child_id = to_string(child), nobody = to_string(kNobody);
  using Fields = std::tuple<std::string, std::string, std::string, std::string>;
  const auto fields = [](const Entry& entry) {
    return Fields{entry.at("MESSAGE").substr(0, 20), entry.at("_PID"), entry.at("TID"), entry.at("_UID")};
  };
  EXPECT_EQ(fields(entries[0]), Fields("parent", parent, parent_thread, "0"));
  EXPECT_EQ(fields(entries[1]), Fields("child", child_id, child_id, nobody));
  EXPECT_EQ(fields(entries[2]), Fields(large.substr(0, 20), child_id, child_id, nobody));
  EXPECT_TRUE(entries[2].at("MESSAGE") == large);
  EXPECT_EQ(fields(entries[3]), Fields("parent again", parent, parent_thread, "0"));
}

}  // namespace
}  // namespace core::logger

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Never beside the host's journald: only in the namespace of the driver,
  // where a file system of its own covers the journal's folder.
  struct stat journal_folder {};
  struct stat parent {};
  if (std::getenv("CORE_LOGGER_JOURNAL_NAMESPACE") == nullptr ||
      ::stat("/run/systemd/journal", &journal_folder) != 0 || ::stat("/run/systemd", &parent) != 0 ||
      journal_folder.st_dev == parent.st_dev) {
    std::fprintf(stderr, "run this program through tests/journal/run_in_namespace.sh\n");
    return 1;
  }
  core::logger::g_journald.start();
  const int result = RUN_ALL_TESTS();
  core::logger::g_journald.stop();
  return result;
}
