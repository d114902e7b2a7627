#include "fuzz/channel_checks.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <new>
#include <string_view>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "calendar/civil_time.h"
#include "channels/channel_state.h"
#include "channels/json_lines.h"
#include "channels/rfc5424.h"
#include "channels/syslog_address.h"
#include "core/channels.h"
#include "fuzz/byte_reader.h"
#include "support/oracle.h"

namespace core::logger::fuzz {
namespace {

using channels_detail::EncodeBuffer;
using channels_detail::Message;

// Times from 1601 to the end of 9999, the years a four-digit field holds, at
// offsets within a day of UTC.
constexpr std::uint64_t kLastTicks = 3'155'378'975'999'999'999;

LogTimestamp read_time(ByteReader& in) {
  return LogTimestamp{calendar::k1601Ticks + in.number(8) % (kLastTicks - calendar::k1601Ticks)};
}
int read_offset(ByteReader& in) { return static_cast<int>(in.number(4) % (2 * 86'399 + 1)) - 86'399; }

// "2026-12-07T09:42:07.123+01:00", from the oracle's calendar.
std::string iso_time(LogTimestamp local, int offset) {
  std::string text = oracle::layout('F', local);
  text[10] = 'T';
  const int minutes = (offset < 0 ? -offset : offset) / 60;
  return text + fmt::format("{}{:02}:{:02}", offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
}

// What a JSON parser reads back from `text` written as a JSON string, bytes
// that are not UTF-8 replaced, as nlohmann-json replaces them.
std::string as_json_reads_it(std::string_view text) {
  const std::string dumped =
      nlohmann::json(std::string(text)).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  return nlohmann::json::parse(dumped).get<std::string>();
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

int verbosity_named(std::string_view value) {
  return value == "brief" ? 0 : value == "normal" ? 1 : value == "detailed" ? 2 : -1;
}

// A category as the settings of all inputs so far have left it.
struct CategoryModel {
  bool enabled;
  bool follows;
  std::uint32_t verbosity;
};

// Never freed: categories live as long as the process.
std::map<std::uint32_t, CategoryModel>& category_models() {
  static auto* const models = new std::map<std::uint32_t, CategoryModel>();
  return *models;
}

}  // namespace

std::string check_settings(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::size_t errors = 0;
  std::uint32_t runtime = static_cast<std::uint32_t>(runtime_verbosity());
  std::map<std::uint32_t, std::string> named;     // the categories of this input, by id
  std::map<std::uint32_t, CategoryModel> models;  // as this input leaves them
  for (std::size_t start = 0; start <= text.size();) {
    const std::size_t comma = std::min(text.find(',', start), text.size());
    const std::string_view entry = trimmed(text.substr(start, comma - start));
    start = comma + 1;
    if (entry.empty()) continue;
    const std::size_t equals = entry.find('=');
    const std::string_view key = trimmed(entry.substr(0, equals));
    const std::string_view value = equals == std::string_view::npos ? "" : trimmed(entry.substr(equals + 1));
    const int verbosity = verbosity_named(value);
    if (equals == std::string_view::npos || key.empty()) {
      ++errors;
    } else if (key == "verbosity") {
      verbosity < 0 ? static_cast<void>(++errors)
                    : static_cast<void>(runtime = static_cast<std::uint32_t>(verbosity));
    } else if (verbosity < 0 && value != "on" && value != "off" && value != "follow") {
      ++errors;
    } else {
      const std::uint32_t id = category_id(key);
      const auto known = category_models().find(id);
      CategoryModel& model =
          models
              .try_emplace(id,
                           known != category_models().end() ? known->second : CategoryModel{true, true, 2})
              .first->second;
      model.enabled = value != "off";
      if (verbosity >= 0) model = CategoryModel{true, false, static_cast<std::uint32_t>(verbosity)};
      if (value == "follow") model.follows = true;
      named.try_emplace(id, key);
    }
  }
  SettingsResult result;
  try {
    result = apply_settings(text);
  } catch (const std::bad_alloc&) {
    return {};
  } catch (...) {
    return "apply_settings threw";
  }
  for (const auto& [id, model] : models) category_models()[id] = model;
  if (result.errors.size() != errors)
    return fmt::format("{} errors, expected {}", result.errors.size(), errors);
  if (static_cast<std::uint32_t>(runtime_verbosity()) != runtime) return "another runtime verbosity";
  for (const auto& [id, name] : named) {
    const CategoryModel& model = models.at(id);
    const LogCategory record{{name, id}, true, MessageVerbosity::Detailed};
    for (std::uint32_t verbosity = 0; verbosity <= 2; ++verbosity) {
      const bool passes = model.enabled && (model.follows ? runtime : model.verbosity) >= verbosity;
      if (can_dispatch_log(record, static_cast<MessageVerbosity>(verbosity)) != passes) {
        return fmt::format("category \"{}\" at verbosity {}: expected {}", name, verbosity, passes);
      }
    }
  }
  return {};
}

std::string check_json_line(const std::uint8_t* data, std::size_t size) {
  ByteReader in(data, size);
  const std::uint64_t flags = in.number(1);
  const LogTimestamp time = read_time(in);
  const int offset = read_offset(in);
  const auto value = static_cast<std::uint32_t>(in.number(4));
  const auto line = static_cast<std::uint32_t>(in.number(4));
  const std::string level_name = in.text(), category_name = in.text(), text = in.text(), file = in.text(),
                    function = in.text();
  DispatchContext context{};
  context.location = LogLocation{function, file, line};
  context.with_file_line = (flags & 1) != 0;
  context.with_function = (flags & 2) != 0;
  const bool by_hand = (flags & 4) != 0;  // a text given to write(): no call, no category
  const LogLevel level{level_name, value};
  const LogCategory category{{category_name, 0}, true, MessageVerbosity::Detailed};
  const Message message{
      by_hand ? nullptr : &context, by_hand ? nullptr : &category, &level, time, offset, true, text};
  EncodeBuffer out;
  const std::string_view encoded = channels_detail::encode_json_line(message, out);
  if (encoded.size() < 2 || encoded.substr(encoded.size() - 2) != "}\n" ||
      encoded.find('\n') != encoded.size() - 1)
    return "not one object on one line";
  nlohmann::json object;
  try {
    object = nlohmann::json::parse(encoded.substr(0, encoded.size() - 1));
  } catch (const std::exception& e) {
    return fmt::format("a strict parser refuses the line: {}", e.what());
  }
  nlohmann::json expected = {{"time", iso_time(time, offset)},
                             {"level", as_json_reads_it(level_name)},
                             {"level_value", value},
                             {"category", as_json_reads_it(by_hand ? "" : category_name)},
                             {"message", as_json_reads_it(text)}};
  if (!by_hand && context.with_file_line) {
    expected["file"] = as_json_reads_it(file);
    expected["line"] = line;
  }
  if (!by_hand && context.with_function) expected["function"] = as_json_reads_it(function);
  if (object != expected) return fmt::format("read back {}, expected {}", object.dump(), expected.dump());
  return {};
}

namespace {

// A header field as RFC 5424 wants it: printable US-ASCII, cut, "-" when empty.
std::string header_field(std::string_view text, std::size_t max_length) {
  std::string field(text.substr(0, max_length));
  for (char& c : field) c = c >= 33 && c <= 126 ? c : '_';
  return field.empty() ? "-" : field;
}

unsigned severity_of(std::uint32_t value) {
  return value <= 1 ? 7 : value == 2 ? 6 : value == 3 ? 4 : value == 4 ? 3 : 2;
}

bool continues_character(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// Takes the text up to the next blank off `rest`; false when there is none.
bool take_field(std::string_view* rest, std::string_view* field) {
  const std::size_t blank = rest->find(' ');
  if (blank == std::string_view::npos) return false;
  *field = rest->substr(0, blank);
  rest->remove_prefix(blank + 1);
  return true;
}

}  // namespace

std::string check_rfc5424(const std::uint8_t* data, std::size_t size) {
  ByteReader in(data, size);
  const std::uint64_t flags = in.number(1);
  const auto facility = static_cast<unsigned>(in.number(1) % 24);
  const LogTimestamp time = read_time(in);
  const int offset = read_offset(in);
  const auto value = static_cast<std::uint32_t>(in.number(4));
  const std::size_t max_size = in.number(2) + 16;
  const std::string category_name = in.text(), text = in.text(), host = in.text(), app = in.text(),
                    procid = in.text();
  const bool octet_counting = (flags & 1) != 0;
  const LogLevel level{"L", value};
  const LogCategory category{{category_name, 0}, true, MessageVerbosity::Detailed};
  const Message message{nullptr, (flags & 2) != 0 ? nullptr : &category, &level, time, offset, true, text};
  EncodeBuffer out;
  const std::string_view packet = channels_detail::encode_rfc5424(
      message, facility, channels_detail::sender_fields(host, app, procid), max_size, octet_counting, out);

  // Through the kind of socket a local daemon reads.
  static int sockets[2] = {-1, -1};
  if (sockets[0] < 0 && ::socketpair(AF_UNIX, SOCK_DGRAM, 0, sockets) != 0) return "no socket pair";
  static char received[1 << 17];
  if (::send(sockets[0], packet.data(), packet.size(), 0) != static_cast<ssize_t>(packet.size()))
    return "the record did not go out whole";
  const ssize_t got = ::recv(sockets[1], received, sizeof received, 0);
  std::string_view rest(received, got > 0 ? static_cast<std::size_t>(got) : 0);

  std::string_view field;
  if (octet_counting) {
    if (!take_field(&rest, &field) || field != std::to_string(rest.size())) return "a wrong octet count";
  }
  const unsigned priority = facility * 8 + severity_of(value);
  const std::string head = fmt::format("<{}>1 {} ", priority, iso_time(time, offset));
  if (rest.substr(0, head.size()) != head)
    return fmt::format("the record begins {:?}", std::string(rest.substr(0, 40)));
  rest.remove_prefix(head.size());
  const std::string fields[] = {header_field(host, 255), header_field(app, 48), header_field(procid, 128),
                                header_field((flags & 2) != 0 ? "" : category_name, 32)};
  for (const std::string& expected : fields) {
    if (!take_field(&rest, &field) || field != expected)
      return fmt::format("a header field is not {:?}", expected);
  }
  if (!take_field(&rest, &field) || field != "-") return "structured data where none is";
  const std::size_t header =
      head.size() + fields[0].size() + fields[1].size() + fields[2].size() + fields[3].size() + 6;
  const std::size_t room = max_size > header ? max_size - header : 0;
  if (text.size() <= room) {
    if (rest != text) return fmt::format("MSG {:?}, expected {:?}", std::string(rest), text);
    return {};
  }
  // Cut: a prefix and "...", the prefix as long as the room leaves, stepped
  // back over at most three bytes that continue a UTF-8 character.
  const std::size_t most = room > 3 ? room - 3 : 0;
  const std::size_t kept = rest.size() >= 3 ? rest.size() - 3 : 0;
  if (rest.size() < 3 || rest.substr(kept) != "..." ||
      rest.substr(0, kept) != std::string_view(text).substr(0, kept))
    return fmt::format("MSG {:?} is not a cut of the message", std::string(rest));
  if (kept > most || kept + 3 < most) return fmt::format("MSG cut to {} bytes where {} fit", kept, most);
  for (std::size_t at = kept + 1; at <= most; ++at) {
    if (!continues_character(text[at]))
      return fmt::format("MSG cut at {}, before a character at {}", kept, at);
  }
  if (kept > 0 && kept + 3 != most && continues_character(text[kept]))
    return fmt::format("MSG cut at {}, inside a character", kept);
  return {};
}

namespace {

// Whether `text` is an address as SyslogOptions describes it, read from the
// end (the port's digits first) rather than as the library takes it apart.
bool is_syslog_address(std::string_view text) {
  if (text.find('\0') != std::string_view::npos) return false;
  if (text.substr(0, 5) == "unix:") return text.size() > 5;
  if (text.substr(0, 4) != "udp:" && text.substr(0, 4) != "tcp:") return false;
  const std::size_t digits = text.find_last_not_of("0123456789") + 1;
  if (digits == text.size() || text[digits - 1] != ':' || digits < 6) return false;
  const std::string_view host = text.substr(4, digits - 5);
  std::string_view port = text.substr(digits);
  while (port.size() > 1 && port.front() == '0') port.remove_prefix(1);
  const bool bracketed = host.size() > 2 && host.front() == '[' && host.back() == ']';
  return (bracketed || host.find_first_of("[]:") == std::string_view::npos) && port.size() <= 5 &&
         std::stoul(std::string(port)) - 1 < 65535;
}

}  // namespace

std::string check_syslog_address(const std::uint8_t* data, std::size_t size) {
  ByteReader in(data, size);
  const std::string text = in.text().substr(0, 300);
  const bool valid = is_syslog_address(text);
  channels_detail::SyslogAddress parsed;
  if (channels_detail::parse_syslog_address(text, &parsed) != valid)
    return fmt::format("{:?} taken as {}", text, valid ? "malformed" : "an address");
  // A channel on the address, moved where nothing leaves the machine: a unix
  // socket's path into a fresh folder (where nothing listens), a host to the
  // loopback address; a malformed one as it is, which is never looked up.
  std::string address = text;
  char folder[] = "/tmp/core_logger_address_XXXXXX";
  bool made_folder = false;
  if (valid && parsed.transport == channels_detail::SyslogTransport::Unix) {
    if (::mkdtemp(folder) == nullptr) return "no temporary folder";
    made_folder = true;
    std::string name(parsed.path);
    std::replace(name.begin(), name.end(), '/', '_');
    address = fmt::format("unix:{}/{}", folder, name);
  } else if (valid) {
    address =
        fmt::format("{}:{}:{}", text.substr(0, 3),
                    parsed.host.find(':') != std::string_view::npos ? "[::1]" : "127.0.0.1", parsed.port);
  }
  // The unix socket's path must fit sockaddr_un's 108 bytes with its NUL.
  const bool opens =
      valid && (parsed.transport != channels_detail::SyslogTransport::Unix || address.size() - 5 < 108);
  std::string failure;
  {
    SyslogChannel channel(SyslogOptions{address, "fuzz", "1", SyslogFacility::User, 0});
    if (!opens && (channel.is_open() || channel.error() != EINVAL)) {
      failure = fmt::format("{:?}: open {} with error {}, expected EINVAL", address, channel.is_open(),
                            channel.error());
    } else if (opens && (channel.error() == EINVAL || channel.error() == EHOSTUNREACH)) {
      failure = fmt::format("{:?} does not open: error {}", address, channel.error());
    }
  }
  if (made_folder) std::filesystem::remove_all(folder);
  return failure;
}

namespace {

// The name of the file of `index` in a rotating set of `name` (one name
// without a directory): the index before the extension, which starts at the
// last dot unless that dot leads the name.
std::string indexed_name(const std::string& name, std::size_t index) {
  if (index == 0) return name;
  const std::size_t dot = name.rfind('.');
  const std::size_t at = dot == std::string::npos || dot == 0 ? name.size() : dot;
  return name.substr(0, at) + "." + std::to_string(index) + name.substr(at);
}

std::string contents_of(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::string check_files(const std::filesystem::path& dir, const std::string& name, std::uint64_t max_bytes,
                        std::size_t max_files, bool kept_all, const std::string& written) {
  std::size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    ++files;
    const std::string contents = contents_of(entry.path());
    if (contents.size() > max_bytes && std::count(contents.begin(), contents.end(), '\n') != 1)
      return fmt::format("{} holds {} bytes in more than one text", entry.path().filename().string(),
                         contents.size());
  }
  if (files > max_files + 1) return fmt::format("{} files for {} older ones", files, max_files);
  if (!kept_all) return {};
  std::string all;
  for (std::size_t index = files; index-- > 0;) {
    const std::filesystem::path path = dir / indexed_name(name, index);
    if (!std::filesystem::exists(path)) return fmt::format("no file {:?}", path.filename().string());
    all += contents_of(path);
  }
  return all == written ? std::string() : "the files do not hold the texts written, in order";
}

}  // namespace

std::string check_rotation(const std::uint8_t* data, std::size_t size) {
  ByteReader in(data, size);
  const std::uint64_t flags = in.number(1);
  const std::uint64_t max_bytes = 1 + in.number(1) % 64;
  const bool keep_all = (flags & 1) != 0;
  const std::size_t max_files = keep_all ? 1000 : in.number(1) % 5;
  const auto policy = static_cast<FlushPolicy>((flags >> 1) % 3);
  std::string name = in.text().substr(0, 80);
  std::replace(name.begin(), name.end(), '/', '_');
  std::replace(name.begin(), name.end(), '\0', '_');
  if (name.empty() || name == "." || name == "..") name = "app.log";

  char folder[] = "/tmp/core_logger_rotation_XXXXXX";
  if (::mkdtemp(folder) == nullptr) return "no temporary folder";
  const std::filesystem::path dir(folder);
  std::string written;
  {
    RotatingFileChannel channel(
        (dir / name).string(),
        RotatingFileOptions{policy, 3, 24, max_bytes, static_cast<std::uint32_t>(max_files)});
    if (!channel.is_open()) {
      std::filesystem::remove_all(dir);
      return fmt::format("{:?} does not open: {}", name, channel.error());
    }
    for (std::size_t count = in.number(1) % 40, i = 0; i < count; ++i) {
      const std::size_t length = in.number(1) % 80;
      std::string text = length == 0 ? std::string() : std::to_string(i);
      if (length != 0) text += std::string(length > text.size() ? length - text.size() : 0, 'x') + "\n";
      channel.write(kInfoLevel, text);
      written += text;
    }
  }
  const std::string failure = check_files(dir, name, max_bytes, max_files, keep_all, written);
  std::filesystem::remove_all(dir);
  return failure;
}

}  // namespace core::logger::fuzz
