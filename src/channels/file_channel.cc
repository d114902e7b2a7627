// The file channels: whole texts appended under one short lock, buffered by
// policy, rotated by size or by day, written as text or as JSON lines.
#include "core/channels.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "channels/channel_state.h"
#include "channels/channels_platform.h"
#include "channels/message_text.h"

namespace core::logger {
namespace channels_detail {
namespace {

using channels_platform::FileHandle;
using channels_platform::kNoFile;

std::int64_t unix_seconds_now() noexcept {
  const std::int64_t ms = channels_platform::unix_time_ms();
  return ms >= 0 ? ms / 1000 : (ms - 999) / 1000;
}

// Where a file name's extension starts: its last dot, unless that leads the
// name; the end when there is none.
std::size_t extension_start(const std::string& path) noexcept {
  const std::size_t name = path.find_last_of("/\\") == std::string::npos ? 0 : path.find_last_of("/\\") + 1;
  const std::size_t dot = path.rfind('.');
  return dot != std::string::npos && dot > name ? dot : path.size();
}

}  // namespace

// What both file channels can be asked for.
struct SinkOptions {
  FlushPolicy flush;
  std::uint32_t flush_level;
  std::size_t buffer_size;
  FileFormat format;
  std::uint64_t max_bytes;
  std::uint32_t max_files;
  bool daily;
};

// The state of a file channel. Thread-safety: the members below `mutex_` are
// guarded by it, the others are fixed at construction or thread-safe.
class FileSink : public KeptState {
 public:
  FileSink(std::string_view path, const SinkOptions& options, std::string_view name,
           std::string_view raw_name)
      : options_(options),
        path_(path),
        name_(name),
        raw_name_(raw_name),
        needs_clock_(options.format == FileFormat::Text || options.daily) {
    const std::int64_t now = unix_seconds_now();
    day_ = file_day_ = day_of(now + offsets_.at(now));
    next_check_ = now;  // finds the time to the next midnight at the first text
    current_ = name_of(0, file_day_);
    file_ = channels_platform::open_for_append(current_, &error_);
    if (file_ == kNoFile) return;
    bytes_ = channels_platform::file_size(file_);
    if (options.flush != FlushPolicy::EveryText && options.buffer_size > 0) {
      buffer_.reset(new char[options.buffer_size]);
    }
  }

  LogChannel channel() noexcept { return LogChannel{name_, &on_text, share()}; }
  LogRawChannel raw_channel() noexcept { return LogRawChannel{raw_name_, &on_raw_line, share()}; }

  void write(const LogLevel& level, std::string_view text) { take_text(nullptr, nullptr, level, text); }

  void flush() {
    std::lock_guard<std::mutex> lock(mutex_);
    flush_buffer();
  }

  void close() {
    std::lock_guard<std::mutex> lock(mutex_);
    flush_buffer();
    if (file_ != kNoFile) channels_platform::close_file(file_);
    file_ = kNoFile;
    closed_ = true;
    buffer_.reset();
  }

  void reopen() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return;
    flush_buffer();
    int failure = 0;
    const FileHandle fresh = channels_platform::open_for_append(current_, &failure);
    if (fresh == kNoFile) return record(failure);
    if (file_ != kNoFile) channels_platform::close_file(file_);
    file_ = fresh;
    bytes_ = channels_platform::file_size(file_);
  }

  bool is_open() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return file_ != kNoFile;
  }

  int error() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return error_;
  }

 private:
  static void on_text(void* user_data, const DispatchContext& context, const LogCategory& category,
                      const LogLevel& level, std::string_view text) {
    auto* sink = static_cast<FileSink*>(user_data);
    // The JSON object of a call whose raw lines reach this channel is written
    // from them.
    if (sink->options_.format == FileFormat::JsonLines && has_raw_record(context, &on_raw_line, sink)) return;
    if (!delivered([&] { sink->take_text(&context, &category, level, text); })) sink->note(ENOMEM);
  }

  static void on_raw_line(void* user_data, const DispatchContext& context, const LogCategory& category,
                          const LogLevel& level, LogTimestamp timestamp, std::string_view piece) {
    auto* sink = static_cast<FileSink*>(user_data);
    if (sink->options_.format != FileFormat::JsonLines) return;
    const bool done = delivered([&] {
      std::string storage;
      std::string_view message;
      if (!sink->assembler_.add(context, timestamp, piece, &storage, &message)) return;
      sink->write_json(&context, &category, level, local_ms_of(timestamp),
                       sink->offsets_.at(unix_seconds_now()), message);
    });
    if (!done) sink->note(ENOMEM);
  }

  void note(int failure) {
    std::lock_guard<std::mutex> lock(mutex_);
    record(failure);
  }

  // An ordinary text; `context` and `category` are null for `write`.
  void take_text(const DispatchContext* context, const LogCategory* category, const LogLevel& level,
                 std::string_view text) {
    text = without_nul(text);
    if (options_.format == FileFormat::Text) return deliver(level.value, text);
    if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
    const std::int64_t now_ms = channels_platform::unix_time_ms();
    const int offset = offsets_.at(unix_seconds_now());
    write_json(context, category, level, now_ms + offset * std::int64_t{1000}, offset, text);
  }

  void write_json(const DispatchContext* context, const LogCategory* category, const LogLevel& level,
                  std::int64_t local_ms, int offset_seconds, std::string_view message) {
    const std::string_view category_name = category != nullptr ? category->key.name : std::string_view();
    const bool with_file_line = context != nullptr && context->with_file_line;
    const bool with_function = context != nullptr && context->with_function;
    const std::string_view file = with_file_line ? context->location.file : std::string_view();
    const std::string_view function = with_function ? context->location.function : std::string_view();
    // Written through a pointer into room for the worst case: appending
    // piece by piece cost as much as the escaping. The keys, the time and
    // two numbers take less than 192 bytes.
    TextBuffer line;
    line.resize(192 + kMaxJsonEscape * (level.name.size() + category_name.size() + message.size() +
                                        file.size() + function.size()));
    char* out = put_iso_time(put_text(line.data(), "{\"time\":\""), local_ms, offset_seconds);
    out = put_json_escaped(put_text(out, "\",\"level\":\""), level.name);
    out = put_decimal(put_text(out, "\",\"level_value\":"), level.value);
    out = put_json_escaped(put_text(out, ",\"category\":\""), category_name);
    out = put_json_escaped(put_text(out, "\",\"message\":\""), message);
    *out++ = '"';
    if (with_file_line) {
      out = put_json_escaped(put_text(out, ",\"file\":\""), file);
      out = put_decimal(put_text(out, "\",\"line\":"), context->location.line);
    }
    if (with_function) {
      out = put_json_escaped(put_text(out, ",\"function\":\""), function);
      *out++ = '"';
    }
    out = put_text(out, "}\n");
    line.resize(static_cast<std::size_t>(out - line.data()));
    deliver(level.value, std::string_view(line.data(), line.size()));
  }

  // Appends one whole text: after the date line or the move to the day's
  // file that the local date asks for, and after a rotation when the text
  // would take the file past its size.
  void deliver(std::uint32_t level_value, std::string_view text) {
    const std::int64_t now = needs_clock_ ? unix_seconds_now() : 0;
    const bool flush_now = options_.flush == FlushPolicy::EveryText ||
                           (options_.flush == FlushPolicy::AtLevel && level_value >= options_.flush_level);
    TextBuffer date_line;
    std::lock_guard<std::mutex> lock(mutex_);
    if (file_ == kNoFile) return;
    if (needs_clock_ && now >= next_check_) check_day(now, date_line);
    const std::size_t size = date_line.size() + text.size();
    if (options_.max_bytes != 0 && bytes_ != 0 && bytes_ + size > options_.max_bytes) rotate_for_size();
    put(std::string_view(date_line.data(), date_line.size()), flush_now);
    put(text, flush_now);
    if (flush_now) flush_buffer();
  }

  // REQUIRES: mutex_ is held and the file is open.
  void check_day(std::int64_t now, TextBuffer& date_line) {
    const std::int64_t local = now + offsets_.at(now);
    const std::int64_t day = day_of(local);
    // Again at local midnight, or within the hour should the offset change
    // before (daylight saving).
    next_check_ = now + std::min<std::int64_t>(86400 - (local - day * 86400), 3600);
    if (options_.daily && day != file_day_ && !open_day(day)) next_check_ = now;  // again at the next text
    if (day == day_) return;
    day_ = day;
    // A day's own file needs no date line; the file of an earlier day that
    // stays open because the new one could not be made does.
    if (options_.format != FileFormat::Text || (options_.daily && file_day_ == day)) return;
    append(date_line, "---- ");
    append_date(date_line, day);
    append(date_line, " ----\n");
  }

  // REQUIRES: mutex_ is held and the file is open.
  bool open_day(std::int64_t day) {
    flush_buffer();
    const std::string name = name_of(0, day);
    int failure = 0;
    const FileHandle fresh = channels_platform::open_for_append(name, &failure);
    if (fresh == kNoFile) {
      record(failure);
      return false;
    }
    channels_platform::close_file(file_);
    file_ = fresh;
    file_day_ = day;
    current_ = name;
    bytes_ = channels_platform::file_size(file_);
    return true;
  }

  // Moves every older file one index up, the oldest beyond max_files being
  // replaced, and the current file to index 1; then starts the current name
  // afresh. On failure the current file stays, and the next text past the
  // limit tries again. REQUIRES: mutex_ is held and the file is open.
  void rotate_for_size() {
    flush_buffer();
    for (std::uint32_t index = options_.max_files; index > 1; --index) {
      const int failure =
          channels_platform::rename_file(name_of(index - 1, file_day_), name_of(index, file_day_));
      if (failure != 0 && !channels_platform::is_missing_file(failure)) return record(failure);
    }
    const bool keep_older = options_.max_files > 0;
    const std::string first = keep_older ? name_of(1, file_day_) : std::string();
    const int moved = keep_older ? channels_platform::rename_file(current_, first)
                                 : channels_platform::remove_file(current_);
    if (moved != 0) return record(moved);
    int failure = 0;
    const FileHandle fresh = channels_platform::open_for_append(current_, &failure);
    if (fresh == kNoFile) {
      if (keep_older) channels_platform::rename_file(first, current_);
      return record(failure);
    }
    channels_platform::close_file(file_);
    file_ = fresh;
    bytes_ = 0;
  }

  // The file name for a day (daily) and an index (0: the file being
  // written).
  std::string name_of(std::uint32_t index, std::int64_t day) const {
    std::string name = path_;
    std::size_t at = extension_start(name);
    if (options_.daily) {
      TextBuffer date;
      date.push_back('_');
      append_date(date, day);
      name.insert(at, date.data(), date.size());
      at += date.size();
    }
    if (index > 0) name.insert(at, "." + std::to_string(index));
    return name;
  }

  // REQUIRES: mutex_ is held.
  void put(std::string_view piece, bool flush_now) {
    if (piece.empty()) return;
    bytes_ += piece.size();
    if (used_ + piece.size() > options_.buffer_size) flush_buffer();
    if (buffer_ == nullptr || piece.size() > options_.buffer_size || (flush_now && used_ == 0)) {
      return record(channels_platform::write_file(file_, piece.data(), piece.size()));
    }
    std::memcpy(buffer_.get() + used_, piece.data(), piece.size());
    used_ += piece.size();
  }

  // REQUIRES: mutex_ is held.
  void flush_buffer() {
    if (used_ > 0 && file_ != kNoFile) record(channels_platform::write_file(file_, buffer_.get(), used_));
    used_ = 0;
  }

  // REQUIRES: mutex_ is held.
  void record(int failure) {
    if (failure != 0) error_ = failure;
  }

  const SinkOptions options_;
  const std::string path_;
  const std::string_view name_;
  const std::string_view raw_name_;
  const bool needs_clock_;
  MessageAssembler assembler_;
  UtcOffsetCache offsets_;

  mutable std::mutex mutex_;
  FileHandle file_ = kNoFile;
  bool closed_ = false;
  int error_ = 0;
  std::unique_ptr<char[]> buffer_;  // whole texts only; null for EveryText
  std::size_t used_ = 0;
  std::uint64_t bytes_ = 0;    // the file's size with what is buffered
  std::string current_;        // the name being written
  std::int64_t day_ = 0;       // the local day (since 1970) of the last check
  std::int64_t file_day_ = 0;  // the day in the current file's name (daily)
  std::int64_t next_check_ = 0;
};

}  // namespace channels_detail

struct FileChannel::State : channels_detail::FileSink {
  using FileSink::FileSink;
};

FileChannel::FileChannel(std::string_view path, FileChannelOptions options)
    : state_(channels_detail::make_kept<State>(
          path,
          channels_detail::SinkOptions{options.flush, options.flush_level, options.buffer_size,
                                       options.format, 0, 0, false},
          "file", "file-raw")) {}

FileChannel::~FileChannel() {
  state_->close();
  channels_detail::retire(state_);
}

LogChannel FileChannel::channel() noexcept { return state_->channel(); }
LogRawChannel FileChannel::raw_channel() noexcept { return state_->raw_channel(); }
void FileChannel::write(const LogLevel& level, std::string_view text) { state_->write(level, text); }
void FileChannel::flush() { state_->flush(); }
void FileChannel::close() { state_->close(); }
bool FileChannel::is_open() const { return state_->is_open(); }
int FileChannel::error() const { return state_->error(); }

struct RotatingFileChannel::State : channels_detail::FileSink {
  using FileSink::FileSink;
};

RotatingFileChannel::RotatingFileChannel(std::string_view path, RotatingFileOptions options)
    : state_(channels_detail::make_kept<State>(
          path,
          channels_detail::SinkOptions{options.flush, options.flush_level, options.buffer_size,
                                       options.format, options.max_bytes, options.max_files, options.daily},
          "rotating-file", "rotating-file-raw")) {}

RotatingFileChannel::~RotatingFileChannel() {
  state_->close();
  channels_detail::retire(state_);
}

LogChannel RotatingFileChannel::channel() noexcept { return state_->channel(); }
LogRawChannel RotatingFileChannel::raw_channel() noexcept { return state_->raw_channel(); }
void RotatingFileChannel::write(const LogLevel& level, std::string_view text) { state_->write(level, text); }
void RotatingFileChannel::flush() { state_->flush(); }
void RotatingFileChannel::reopen() { state_->reopen(); }
void RotatingFileChannel::close() { state_->close(); }
bool RotatingFileChannel::is_open() const { return state_->is_open(); }
int RotatingFileChannel::error() const { return state_->error(); }

}  // namespace core::logger
