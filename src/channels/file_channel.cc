// The file channels: whole texts appended under one short lock, with a date
// line or a day's own file when the local date of the texts changes, and a
// fresh file when a text would take the current one past its size.
#include "core/channels.h"

#include <algorithm>
#include <string>

#include "calendar/civil_time.h"
#include "channels/appending_file.h"
#include "channels/channel_state.h"
#include "channels/channels_platform.h"
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
        dated_(options.daily || options.format == FileFormat::Text),
        path_(path),
        file_(options.flush, options.flush_level, options.buffer_size),
        max_bytes_(options.max_bytes != 0 ? options.max_bytes : ~std::uint64_t{0}) {
    plain_text_ = options.format == FileFormat::Text;
    free_writes_ = file_.writes_free();
    int offset = 0;
    const std::uint64_t now = local_time_now(&offset).ticks;
    day_ = file_day_ = calendar::day_of_ticks(now);
    file_.checked_at(now);
    account(WriteResult{file_.open(name_of(0, file_day_)), 0});
  }

  void reopen() {
    std::lock_guard<ChannelMutex> lock(mutex_);
    if (!open_) return;
    const WriteResult written = file_.write_out();
    account(worse(written, WriteResult{file_.open(file_.name()), 0}));
  }

 private:
  [[gnu::hot]] std::string_view encode(const Message& message, EncodeBuffer& scratch) override {
    return options_.format == FileFormat::JsonLines ? encode_json_line(message, scratch) : message.text;
  }

  // A text of the day of the last one, while no check of the file is due,
  // and which needs no rotation, only goes to the file; at EveryText,
  // without the lock.
  [[gnu::hot]] bool write_free(const Message& message, std::string_view encoded, Lock& lock,
                               WriteResult* result) override {
    return !encoded.empty() && file_.append_free(message.timestamp.ticks, encoded, max_bytes_, lock, result);
  }
  [[gnu::hot]] WriteResult write_locked(const Message& message, std::string_view encoded, Clock::time_point,
                                        Lock& lock) override {
    if (file_.calm(message.timestamp.ticks) && fits(encoded.size()) && !encoded.empty()) {
      return file_.append(encoded, message.level->value, lock);
    }
    return write_with_care(message, encoded, lock);
  }

  [[gnu::noinline]] WriteResult write_with_care(const Message& message, std::string_view encoded,
                                                Lock& lock) {
    if (encoded.empty()) return WriteResult{kHeldBack, 0};  // nothing to write: no date line, no rotation
    file_.hold_off();  // from here on, no text without the lock reaches the file
    WriteResult result = file_.look_after(message.timestamp.ticks);
    if (!file_.is_open()) return worse(result, WriteResult{file_.open_error(), 1});
    char date_line[kDateLength + 11];
    std::size_t date_size = 0;
    const std::int64_t day = dated_ ? calendar::day_of_ticks(message.timestamp.ticks) : day_;
    if (options_.daily && day != file_day_) result = worse(result, open_day(day));  // until it succeeds
    if (day != day_) {
      day_ = day;
      // A day's own file needs no date line; the file of another day that
      // stays open because the right one could not be made does.
      if (options_.format == FileFormat::Text && !(options_.daily && file_day_ == day)) {
        char* end = put_text(put_date(put_text(date_line, "---- "), day), " ----\n");
        date_size = static_cast<std::size_t>(end - date_line);
      }
    }
    if (file_.size() != 0 && !fits(date_size + encoded.size())) {
      result = worse(result, rotate_for_size());
    }
    if (date_size != 0) {
      result = worse(result, file_.append({date_line, date_size}, 0, lock, /*counted=*/false));
    }
    if (file_.is_open() && !(options_.daily && file_day_ != day_)) settle_calm();
    return worse(result, file_.append(encoded, message.level->value, lock));  // may release the lock
  }

  // Whether `bytes` more keep the file within max_bytes.
  bool fits(std::uint64_t bytes) const noexcept { return file_.size() + bytes <= max_bytes_; }

  // Opens the window of no check of the file and, when days matter, of day_.
  void settle_calm() {
    std::uint64_t from = file_.checked_from();
    std::uint64_t until = from + 2 * calendar::kTicksPerSecond;
    if (dated_) {
      const std::uint64_t day_start =
          calendar::k1970Ticks + static_cast<std::uint64_t>(day_) * calendar::kTicksPerDay;
      from = std::max(from, day_start);
      until = std::min(until, day_start + calendar::kTicksPerDay);
    }
    file_.set_calm(from, until > from ? until - from : 0);
  }

  WriteResult flush_locked() override { return file_.write_out(); }
  void close_locked() override { file_.close(); }
  bool is_open_locked() const override { return file_.is_open(); }
  void forget_in_child() override { file_.forget(); }

  WriteResult crash_write_out(bool locked, std::uintptr_t self,
                              Clock::time_point deadline) noexcept override {
    return file_.is_open() ? file_.write_out_for_crash(locked, self, deadline) : WriteResult{kHeldBack, 0};
  }
  // Into the current file, without a date line (a rotation or a day's new
  // file would need the heap), after what is held back, and never by way of
  // a buffer: nothing at a crash waits for a write outside the lock.
  WriteResult crash_write(const Message&, std::string_view encoded, Lock* lock, std::uintptr_t self,
                          Clock::time_point deadline) override {
    if (!file_.is_open()) return WriteResult{file_.open_error(), 1};
    return worse(file_.write_out_for_crash(lock != nullptr, self, deadline), file_.write_through(encoded));
  }

  // Moves to the file of `day`; on failure the current file stays.
  WriteResult open_day(std::int64_t day) {
    const WriteResult written = file_.write_out();
    const int failure = file_.open(name_of(0, day));
    if (failure == 0) file_day_ = day;
    return worse(written, WriteResult{failure, 0});
  }

  // Moves the older files one index up, as far as they exist without a gap
  // (the oldest kept being replaced), and the current file to index 1; then
  // starts the current name afresh. On failure the current file stays, and
  // the next text past the limit tries again.
  WriteResult rotate_for_size() {
    const WriteResult written = file_.write_out();
    const RotationPlan plan = plan_rotation(options_.max_files, [this](std::uint32_t index) {
      return channels_platform::file_exists(name_of(index, file_day_));
    });
    for (std::uint32_t index = plan.moved; index > 0; --index) {
      const int failure =
          channels_platform::rename_file(name_of(index, file_day_), name_of(index + 1, file_day_));
      if (failure != 0 && !channels_platform::is_missing_file(failure)) return worse(written, {failure, 0});
    }
    const std::string current = file_.name();
    const std::string first = plan.keep_current ? name_of(1, file_day_) : std::string();
    int failure = plan.keep_current ? channels_platform::rename_file(current, first)
                                    : channels_platform::remove_file(current);
    if (failure == 0 && (failure = file_.open(current)) != 0 && plan.keep_current) {
      channels_platform::rename_file(first, current);
    }
    return worse(written, WriteResult{failure, 0});
  }

  std::string name_of(std::uint32_t index, std::int64_t day) const {
    return rotated_file_name(path_, channels_platform::kPathSeparators, options_.daily, day, index);
  }

  const FileOptions options_;
  const bool dated_;  // whether the day of a text matters
  const std::string path_;
  AppendingFile file_;
  const std::uint64_t max_bytes_;  // no limit: the most there is
  std::int64_t day_ = 0;           // the local day (since 1970) of the last text
  std::int64_t file_day_ = 0;      // the day in the current file's name (daily)
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
