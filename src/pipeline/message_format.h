// pipeline/message_format.h: formatting a message whose replacement fields
// are all "{}", without {fmt}'s format-string parser.
//
// Nearly every log message uses nothing but automatic "{}" fields, and for
// such a short string {fmt}'s runtime parser costs more than the arguments
// themselves. Those strings are formatted here, byte for byte as
// fmt::vformat_to would, stopping at the same place on the same error; any
// other replacement field hands the whole string back to {fmt}, through a
// handler of its own when an argument is a null C string.
#ifndef CORE_LOGGER_PIPELINE_MESSAGE_FORMAT_H_
#define CORE_LOGGER_PIPELINE_MESSAGE_FORMAT_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>

#if defined(__SSE2__)
#  include <emmintrin.h>
#endif

#include <fmt/format.h>

#include "pipeline/char_copy.h"

namespace core::logger::detail {

using FormatArg = fmt::basic_format_arg<fmt::format_context>;

// The offset of the first '{' or '}' in `text`, or text.size() if it has
// none. Sixteen characters at a time where SSE2 is there (every x86-64
// target): one at a time, the composition benchmark runs 13% more
// instructions (1,180 against 1,040 per 1-line composition).
inline std::size_t find_brace(std::string_view text) noexcept {
  std::size_t at = 0;
#if defined(__SSE2__)
  if (text.size() >= 16) {
    const __m128i open = _mm_set1_epi8('{');
    const __m128i close = _mm_set1_epi8('}');
    const auto brace_bits = [&](const char* first) {
      const __m128i chars = _mm_loadu_si128(reinterpret_cast<const __m128i*>(first));
      return static_cast<unsigned>(
          _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(chars, open), _mm_cmpeq_epi8(chars, close))));
    };
    for (; text.size() - at >= 16; at += 16) {
      if (const unsigned bits = brace_bits(text.data() + at))
        return at + static_cast<std::size_t>(__builtin_ctz(bits));
    }
    if (at == text.size()) return at;
    // The last sixteen characters, with those already looked at shifted out.
    const unsigned bits = brace_bits(text.data() + text.size() - 16) >> (16 - (text.size() - at));
    return bits != 0 ? at + static_cast<std::size_t>(__builtin_ctz(bits)) : text.size();
  }
#endif
  for (; at != text.size(); ++at) {
    if (text[at] == '{' || text[at] == '}') return at;
  }
  return at;
}

// Whether `format` holds nothing but literal text, "{{", "}}" and "{}".
inline bool has_only_automatic_fields(std::string_view format) noexcept {
  for (;;) {
    const std::size_t at = find_brace(format);
    if (at == format.size()) return true;
    if (at + 1 == format.size()) return false;
    if (format[at + 1] != '}' && !(format[at] == '{' && format[at + 1] == '{')) return false;
    format.remove_prefix(at + 2);
  }
}

// A write position in a {fmt} memory buffer that skips the buffer's own
// bookkeeping while what is written fits its capacity, and grows the buffer
// through {fmt} when it does not. The buffer's size lags behind until `sync`,
// which must run before anything else reads or writes the buffer.
template <typename Buffer>
class BufferCursor {
 public:
  explicit BufferCursor(Buffer& buffer) : buffer_(buffer) { reload(); }

  Buffer& buffer() noexcept { return buffer_; }

  [[gnu::always_inline]] void write(const char* data, std::size_t count) {
    if (count <= static_cast<std::size_t>(end_ - out_)) {
      copy_chars(out_, data, count);
      out_ += count;
      return;
    }
    grow_and_write(data, count);
  }

  // Writes a decimal integer, as {fmt} writes it for "{}". The digits go
  // straight to their place: built elsewhere and copied, they would be read
  // back before their stores complete.
  template <typename Integer>
  void write_integer(Integer value) {
    using Unsigned = std::make_unsigned_t<Integer>;
    Unsigned magnitude = static_cast<Unsigned>(value);
    bool negative = false;
    if constexpr (std::is_signed_v<Integer>) {
      if (value < 0) {
        magnitude = Unsigned{0} - magnitude;
        negative = true;
      }
    }
    const std::size_t size = negative + decimal_digit_count(magnitude);
    if (size > static_cast<std::size_t>(end_ - out_)) {
      char digits[24];
      write_decimal(digits, magnitude, size, negative);
      grow_and_write(digits, size);
      return;
    }
    write_decimal(out_, magnitude, size, negative);
    out_ += size;
  }

  void sync() { buffer_.resize(static_cast<std::size_t>(out_ - buffer_.data())); }
  void reload() noexcept {
    out_ = buffer_.data() + buffer_.size();
    end_ = buffer_.data() + buffer_.capacity();
  }

 private:
  [[gnu::noinline]] void grow_and_write(const char* data, std::size_t count) {
    sync();
    buffer_.append(data, data + count);  // a refused growth throws
    reload();
  }

  Buffer& buffer_;
  char* out_;
  char* end_;
};

// Writes one argument as "{}" writes it: integers and strings directly,
// everything else through {fmt}.
template <typename Buffer>
class AutomaticFieldWriter {
 public:
  // `rest` is the part of the format string after this field.
  AutomaticFieldWriter(BufferCursor<Buffer>& out, const FormatArg& arg, fmt::format_args args,
                       std::string_view rest)
      : out_(out), arg_(arg), args_(args), rest_(rest) {}

  // Whether the writer left the argument alone because the rest of the
  // format string is not plain.
  bool declined() const noexcept { return declined_; }

  void operator()(int value) { out_.write_integer(value); }
  void operator()(unsigned value) { out_.write_integer(value); }
  void operator()(long long value) { out_.write_integer(value); }
  void operator()(unsigned long long value) { out_.write_integer(value); }
  void operator()(fmt::string_view value) { out_.write(value.data(), value.size()); }

  // A user type is formatted as for a bare "{}" and sees every argument of
  // the call, as under {fmt}. Its formatter may do anything, so it runs only
  // once the whole string is known to be formatted here.
  void operator()(FormatArg::handle handle) {
    if (!has_only_automatic_fields(rest_)) {
      declined_ = true;
      return;
    }
    out_.sync();
    fmt::format_parse_context parse_context({});
    fmt::format_context format_context(fmt::appender(out_.buffer()), args_);
    handle.format(parse_context, format_context);
    out_.reload();
  }

  // Characters, bools, floating point, C strings (a null one throws),
  // pointers and 128-bit integers: {fmt}'s own "{}" of this one argument.
  template <typename T>
  void operator()(T) {
    out_.sync();
    fmt::vformat_to(fmt::appender(out_.buffer()), "{}", fmt::format_args(&arg_, 1));
    out_.reload();
  }

 private:
  BufferCursor<Buffer>& out_;
  const FormatArg& arg_;
  fmt::format_args args_;
  std::string_view rest_;
  bool declined_ = false;
};

// Appends `format` formatted with `args` to `buffer`, as
// fmt::vformat_to(fmt::appender(buffer), format, args) does, when every
// replacement field of `format` is "{}". Throws what {fmt} throws at the same
// point: fmt::format_error for a missing argument, whatever a formatter or
// the buffer's allocator throws; what was appended before stays.
//
// Returns false, with `buffer` as it was, when `format` holds any other
// replacement field or a stray brace: {fmt} must format it. A user type's
// formatter runs only once the whole string is known to be plain, so that
// nothing a caller can observe runs twice.
template <typename Buffer>
bool format_automatic_fields(Buffer& buffer, std::string_view format, fmt::format_args args) {
  const std::size_t start_size = buffer.size();
  BufferCursor<Buffer> out(buffer);
  int next_arg = 0;
  std::string_view rest = format;
  for (;;) {
    const std::size_t at = find_brace(rest);
    if (at == rest.size()) {
      out.write(rest.data(), rest.size());
      out.sync();
      return true;
    }
    if (at + 1 == rest.size()) break;
    const char brace = rest[at];
    const char next = rest[at + 1];
    if (brace == next) {  // "{{" or "}}": the text and one brace
      out.write(rest.data(), at + 1);
    } else if (brace == '{' && next == '}') {
      out.write(rest.data(), at);
      const FormatArg arg = args.get(next_arg++);
      if (!arg) {
        out.sync();
        throw fmt::format_error("argument not found");
      }
      AutomaticFieldWriter<Buffer> writer(out, arg, args, rest.substr(at + 2));
      fmt::visit_format_arg(writer, arg);
      if (writer.declined()) break;
    } else {
      break;
    }
    rest.remove_prefix(at + 2);
  }
  buffer.resize(start_size);
  return false;
}

// Answers, for one argument, whether it is a C string holding a null pointer.
struct NullCStringProbe {
  bool operator()(const char* value) const noexcept { return value == nullptr; }
  template <typename T>
  bool operator()(T) const noexcept {
    return false;
  }
};

inline bool is_null_c_string(const FormatArg& arg) noexcept {
  return fmt::visit_format_arg(NullCStringProbe{}, arg);
}

// Whether any argument of `args` is a null C string.
inline bool has_null_c_string(fmt::format_args args) noexcept {
  for (int i = 0;; ++i) {
    const FormatArg arg = args.get(i);
    if (!arg) return false;
    if (is_null_c_string(arg)) return true;
  }
}

// Appends `format` formatted with `args` to `buffer` as
// fmt::vformat_to(fmt::appender(buffer), format, args) does, but for one
// thing: a replacement field whose argument is a null C string, printed as a
// string, raises {fmt}'s format error "string pointer is null" whatever its
// format spec. {fmt} 9 raises it for "{}" alone; under any other spec ("{:}",
// "{:>5}", "{:s}") it reads the string through the null pointer. A field that
// prints the pointer ("{:p}") writes it as {fmt} does.
//
// This is {fmt} 9's own format-string handler (fmt::detail::vformat_to), with
// that one check added where it has read the field's specs.
template <typename Buffer>
void format_null_c_strings_safely(Buffer& buffer, std::string_view format, fmt::format_args args) {
  struct Handler : fmt::detail::error_handler {
    fmt::format_parse_context parse_context;
    fmt::format_context context;

    Handler(fmt::appender out, fmt::string_view text, fmt::format_args arguments)
        : parse_context(text), context(out, arguments, fmt::detail::locale_ref()) {}

    void on_text(const char* begin, const char* end) {
      context.advance_to(fmt::detail::write<char>(
          context.out(), fmt::string_view(begin, static_cast<std::size_t>(end - begin))));
    }
    int on_arg_id() { return parse_context.next_arg_id(); }
    int on_arg_id(int id) { return parse_context.check_arg_id(id), id; }
    int on_arg_id(fmt::string_view id) {
      const int arg_id = context.arg_id(id);
      if (arg_id < 0) on_error("argument not found");
      return arg_id;
    }
    void on_replacement_field(int id, const char*) {
      const FormatArg arg = fmt::detail::get_arg(context, id);
      context.advance_to(fmt::visit_format_arg(
          fmt::detail::default_arg_formatter<char>{context.out(), context.args(), context.locale()}, arg));
    }
    const char* on_format_specs(int id, const char* begin, const char* end) {
      const FormatArg arg = fmt::detail::get_arg(context, id);
      if (arg.type() == fmt::detail::type::custom_type) {
        parse_context.advance_to(parse_context.begin() + (begin - &*parse_context.begin()));
        fmt::visit_format_arg(fmt::detail::custom_formatter<char>{parse_context, context}, arg);
        return parse_context.begin();
      }
      auto specs = fmt::basic_format_specs<char>();
      fmt::detail::specs_checker<fmt::detail::specs_handler<char>> handler(
          fmt::detail::specs_handler<char>(specs, parse_context, context), arg.type());
      begin = fmt::detail::parse_format_specs(begin, end, handler);
      if (begin == end || *begin != '}') on_error("missing '}' in format string");
      if (specs.type != fmt::presentation_type::pointer && is_null_c_string(arg)) {
        on_error("string pointer is null");
      }
      context.advance_to(fmt::visit_format_arg(
          fmt::detail::arg_formatter<char>{context.out(), specs, context.locale()}, arg));
      return begin;
    }
  };
  fmt::detail::parse_format_string<false>(
      fmt::string_view(format.data(), format.size()),
      Handler(fmt::appender(buffer), fmt::string_view(format.data(), format.size()), args));
}

}  // namespace core::logger::detail

#endif  // CORE_LOGGER_PIPELINE_MESSAGE_FORMAT_H_
