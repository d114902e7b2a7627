// The file channels: whole texts appended under one short lock, with a date
// line or a day's own file when the local date of the texts changes, and a
// fresh file when a text would take the current one past its size.
#include "core/channels.h"

#include <string>

#include "calendar/civil_time.h"
#include "channels/appending_file.h"
#include "channels/channel_state.h"
#include "channels/file_naming.h"
#include "channels/json_lines.h"
#include "channels/local_time.h"

namespace core::logger {
namespace channels_detail {
namespace {

// What both file channels can be asked for.
struct FileOptions {
  FlushPolicy flush;
  std::uint32_t flush_level;
  std::size_t buffer_size;
  FileFormat format;
  std::uint64_t max_bytes;
  std::uint32_t max_files;
  bool daily;
};

// Thread-safety: the members below `mutex_` (in ChannelState) that are not
// const are guarded by it.
class FileState final : public ChannelState {
 public:
  FileState(std::string_view path, const FileOptions& options, std::string_view name,
            std::string_view raw_name)
      : ChannelState(name, raw_name, options.format == FileFormat::Text ? Input::TimedTexts : Input::Lines),
        options_(options),
        path_(path),
        file_(options.flush, options.flush_level, options.buffer_size) {
    int offset = 0;
    day_ = file_day_ = calendar::day_of_ticks(local_time_now(&offset).ticks);
    current_ = name_of(0, file_day_);
    open_error_ = file_.open(current_);
    account(WriteResult{open_error_, 0});
  }

  void reopen() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!open_) return;
    const WriteResult written = file_.write_out();
    account(worse(written, WriteResult{file_.open(current_), 0}));
  }

 private:
  std::string_view encode(const Message& message, EncodeBuffer& scratch) override {
    return options_.format == FileFormat::JsonLines ? encode_json_line(message, scratch) : message.text;
  }

  WriteResult write_locked(const Message& message, std::string_view encoded, Clock::time_point) override {
    if (!file_.is_open()) return WriteResult{open_error_, 1};
    WriteResult result{kHeldBack, 0};
    char date_line[kDateLength + 11];
    std::size_t date_size = 0;
    const std::int64_t day = calendar::day_of_ticks(message.timestamp.ticks);
    if (options_.daily && day != file_day_) result = open_day(day);  // until it succeeds
    if (day != day_) {
      day_ = day;
      // A day's own file needs no date line; the file of another day that
      // stays open because the right one could not be made does.
      if (options_.format == FileFormat::Text && !(options_.daily && file_day_ == day)) {
        char* end = put_text(put_date(put_text(date_line, "---- "), day), " ----\n");
        date_size = static_cast<std::size_t>(end - date_line);
      }
    }
    const std::uint64_t size = file_.size();
    if (options_.max_bytes != 0 && size != 0 && size + date_size + encoded.size() > options_.max_bytes) {
      result = worse(result, rotate_for_size());
    }
    if (date_size != 0) result = worse(result, file_.append({date_line, date_size}, 0, /*counted=*/false));
    return worse(result, file_.append(encoded, message.level->value));
  }

  WriteResult flush_locked() override { return file_.write_out(); }
  void close_locked() override { file_.close(); }
  bool is_open_locked() const override { return file_.is_open(); }
  void forget_in_child() override { file_.forget(); }

  WriteResult crash_write_out(bool locked, std::uintptr_t self,
                              Clock::time_point deadline) noexcept override {
    return file_.is_open() ? file_.write_out_for_crash(locked, self, deadline) : WriteResult{kHeldBack, 0};
  }
  // Into the current file, without a date line: a rotation or a day's new
  // file would need the heap.
  WriteResult crash_write(const Message& message, std::string_view encoded, bool locked, std::uintptr_t self,
                          Clock::time_point deadline) override {
    if (!file_.is_open()) return WriteResult{open_error_, 1};
    if (locked) return file_.append(encoded, message.level->value);
    return worse(file_.write_out_for_crash(false, self, deadline), file_.write_through(encoded));
  }

  // Moves to the file of `day`; on failure the current file stays.
  WriteResult open_day(std::int64_t day) {
    const WriteResult written = file_.write_out();
    std::string name = name_of(0, day);
    const int failure = file_.open(name);
    if (failure == 0) {
      file_day_ = day;
      current_ = std::move(name);
    }
    return worse(written, WriteResult{failure, 0});
  }

  // Moves every older file one index up, the oldest beyond max_files being
  // replaced, and the current file to index 1; then starts the current name
  // afresh. On failure the current file stays, and the next text past the
  // limit tries again.
  WriteResult rotate_for_size() {
    const WriteResult written = file_.write_out();
    for (std::uint32_t index = options_.max_files; index > 1; --index) {
      const int failure =
          channels_platform::rename_file(name_of(index - 1, file_day_), name_of(index, file_day_));
      if (failure != 0 && !channels_platform::is_missing_file(failure)) return worse(written, {failure, 0});
    }
    const bool keep_older = options_.max_files > 0;
    const std::string first = keep_older ? name_of(1, file_day_) : std::string();
    int failure = keep_older ? channels_platform::rename_file(current_, first)
                             : channels_platform::remove_file(current_);
    if (failure == 0 && (failure = file_.open(current_)) != 0 && keep_older) {
      channels_platform::rename_file(first, current_);
    }
    return worse(written, WriteResult{failure, 0});
  }

  std::string name_of(std::uint32_t index, std::int64_t day) const {
    return rotated_file_name(path_, options_.daily, day, index);
  }

  const FileOptions options_;
  const std::string path_;
  AppendingFile file_;
  int open_error_ = 0;
  std::string current_;        // the name being written
  std::int64_t day_ = 0;       // the local day (since 1970) of the last text
  std::int64_t file_day_ = 0;  // the day in the current file's name (daily)
};

}  // namespace
}  // namespace channels_detail

FileChannel::FileChannel(std::string_view path, FileChannelOptions options)
    : ChannelObject(channels_detail::make_kept<channels_detail::FileState>(
          path,
          channels_detail::FileOptions{options.flush, options.flush_level, options.buffer_size,
                                       options.format, 0, 0, false},
          "file", "file-raw")) {}

void FileChannel::reopen() {
  if (state() != nullptr) static_cast<channels_detail::FileState*>(state())->reopen();
}

RotatingFileChannel::RotatingFileChannel(std::string_view path, RotatingFileOptions options)
    : FileChannel(channels_detail::make_kept<channels_detail::FileState>(
          path,
          channels_detail::FileOptions{options.flush, options.flush_level, options.buffer_size,
                                       options.format, options.max_bytes, options.max_files, options.daily},
          "rotating-file", "rotating-file-raw")) {}

}  // namespace core::logger
