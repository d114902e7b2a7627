// tests/fuzz/context_probe.h: a user type whose formatter writes what it reads
// from the contexts that it is handed, so that a text shows whether it saw
// the contexts that {fmt} itself would give it: a formatter that takes a
// dynamic width by index, or forwards its context to another formatter, reads
// the same things.
#ifndef CORE_LOGGER_TESTS_FUZZ_CONTEXT_PROBE_H_
#define CORE_LOGGER_TESTS_FUZZ_CONTEXT_PROBE_H_

#include <cstddef>
#include <type_traits>

#include <fmt/format.h>

namespace core::logger::fuzz {

// Written as "<", the characters of the format string left from its format
// spec on, the automatic indices that it took (one for each 'n' in its spec,
// as a nested "{}" would, and one for a bare "{}", whose parse context is
// empty), the size of its argument list, every argument that it reaches by
// index (integers and floating point by value, a string by its length,
// anything else as "o"), then ">".
struct ContextProbe {};

}  // namespace core::logger::fuzz

template <>
struct fmt::formatter<core::logger::fuzz::ContextProbe> {
  std::ptrdiff_t spec_size = 0;
  int indices[4] = {};
  int index_count = 0;

  auto parse(fmt::format_parse_context& ctx) -> fmt::format_parse_context::iterator {
    spec_size = ctx.end() - ctx.begin();
    if (spec_size == 0) indices[index_count++] = ctx.next_arg_id();
    auto it = ctx.begin();
    for (; it != ctx.end() && *it != '}'; ++it) {
      if (*it == 'n' && index_count < 4) indices[index_count++] = ctx.next_arg_id();
    }
    return it;
  }

  auto format(core::logger::fuzz::ContextProbe, fmt::format_context& ctx) const
      -> fmt::format_context::iterator {
    auto out = fmt::format_to(ctx.out(), "<{} [", spec_size);
    for (int i = 0; i < index_count; ++i) out = fmt::format_to(out, " {}", indices[i]);
    out = fmt::format_to(out, "] {}:", ctx.args().max_size());
    for (int i = 0; const auto arg = ctx.arg(i); ++i) {
      out = fmt::visit_format_arg(
          [out](auto value) {
            using T = decltype(value);
            if constexpr (std::is_same_v<T, char> || std::is_same_v<T, bool>) {
              return fmt::format_to(out, " {}", static_cast<int>(value));
            } else if constexpr (std::is_arithmetic_v<T>) {
              return fmt::format_to(out, " {}", value);
            } else if constexpr (std::is_same_v<T, fmt::string_view>) {
              return fmt::format_to(out, " s{}", value.size());
            } else {
              return fmt::format_to(out, " o");
            }
          },
          arg);
    }
    return fmt::format_to(out, ">");
  }
};

#endif  // CORE_LOGGER_TESTS_FUZZ_CONTEXT_PROBE_H_
