// The file channel: whole texts appended under one lock, buffered by policy.
#include "core/channels.h"

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "channels/channels_platform.h"

namespace core::logger {

// Thread-safety: every member below `mutex` is guarded by it.
struct FileChannel::State {
  FileChannelOptions options;
  std::mutex mutex;
  std::FILE* file = nullptr;
  int error = 0;
  std::vector<char> buffer;  // whole texts only, never more than options.buffer_size

  // Hands `size` bytes to the system in one write, as the stream is
  // unbuffered; a short write is finished so that nothing is lost silently.
  // REQUIRES: mutex is held and the file is open.
  void write_out(const char* data, std::size_t size) {
    while (size > 0) {
      const std::size_t written = std::fwrite(data, 1, size, file);
      if (written == 0) {
        error = errno != 0 ? errno : EIO;
        std::clearerr(file);
        return;
      }
      data += written;
      size -= written;
    }
  }

  // REQUIRES: mutex is held.
  void flush_buffer() {
    if (file != nullptr && !buffer.empty()) write_out(buffer.data(), buffer.size());
    buffer.clear();
  }
};

namespace {

void on_text(void* user_data, const DispatchContext&, const LogCategory&, const LogLevel& level,
             std::string_view text) {
  static_cast<FileChannel*>(user_data)->write(level, text);
}

}  // namespace

FileChannel::FileChannel(std::string_view path, FileChannelOptions options) : state_(new State) {
  state_->options = options;
  state_->file = channels_platform::open_for_append(std::string(path), &state_->error);
  if (state_->file == nullptr) return;
  // The channel buffers whole texts itself; a stdio buffer underneath could
  // cut a text in two writes, which another process's append would tear.
  std::setvbuf(state_->file, nullptr, _IONBF, 0);
  if (options.flush != FlushPolicy::EveryText) state_->buffer.reserve(options.buffer_size);
}

FileChannel::~FileChannel() { close(); }

LogChannel FileChannel::channel() noexcept { return LogChannel{"file", &on_text, this}; }

void FileChannel::write(const LogLevel& level, std::string_view text) {
  if (!text.empty() && text.back() == '\0') text.remove_suffix(1);
  State& s = *state_;
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.file == nullptr) return;
  const FileChannelOptions& options = s.options;
  const bool flush_now = options.flush == FlushPolicy::EveryText ||
                         (options.flush == FlushPolicy::AtLevel && level.value >= options.flush_level);
  if (s.buffer.size() + text.size() > options.buffer_size) s.flush_buffer();
  if (text.size() > options.buffer_size || (flush_now && s.buffer.empty())) {
    s.write_out(text.data(), text.size());
    return;
  }
  s.buffer.insert(s.buffer.end(), text.begin(), text.end());
  if (flush_now) s.flush_buffer();
}

void FileChannel::flush() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->flush_buffer();
}

void FileChannel::close() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->flush_buffer();
  if (state_->file != nullptr) {
    std::fclose(state_->file);
    state_->file = nullptr;
  }
}

bool FileChannel::is_open() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->file != nullptr;
}

int FileChannel::error() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->error;
}

}  // namespace core::logger
