// tests/fuzz/channel_checks.h: the companion library's inputs from outside
// the program, each decoded from arbitrary bytes and checked against what the
// library must make of it. Shared by the libFuzzer targets (one per surface)
// and the replay of their corpora in every POSIX configuration.
#ifndef CORE_LOGGER_TESTS_FUZZ_CHANNEL_CHECKS_H_
#define CORE_LOGGER_TESTS_FUZZ_CHANNEL_CHECKS_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace core::logger::fuzz {

// Each returns an empty string when all is well, else what went wrong.

// The bytes as a settings text: apply_settings throws nothing, counts one
// error per malformed entry, and leaves every category it names in the state
// its last valid entry says (a model of every earlier input is kept, since
// categories live as long as the process).
std::string check_settings(const std::uint8_t* data, std::size_t size);

// A message of any level, category, location and time as a JSON line: one
// line, which a strict JSON parser reads back to the same fields, ill-formed
// UTF-8 replaced.
std::string check_json_line(const std::uint8_t* data, std::size_t size);

// A message as an RFC 5424 record through a unix datagram socket, read back
// and parsed strictly: PRI, version, the time's ranges and text, field
// lengths, MSGID cut to 32 printable characters, MSG the message or its cut.
std::string check_rfc5424(const std::uint8_t* data, std::size_t size);

// The bytes as a syslog address: taken as one exactly when it has one of
// the documented forms, and a channel on it (moved to a fresh folder or the
// loopback address) opens, or fails with EINVAL when malformed.
std::string check_syslog_address(const std::uint8_t* data, std::size_t size);

// Texts written to a rotating file of any name in a fresh folder, with tiny
// limits: no file past max_bytes unless it holds one text, at most
// max_files + 1 files, and with every rotation kept, the files from oldest to
// newest hold exactly the texts written.
std::string check_rotation(const std::uint8_t* data, std::size_t size);

}  // namespace core::logger::fuzz

#endif  // CORE_LOGGER_TESTS_FUZZ_CHANNEL_CHECKS_H_
