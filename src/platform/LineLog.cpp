#include "platform/LineLog.h"

#include <algorithm>

#include "platform/FileStore.h"

namespace tvrn {

namespace {

constexpr mode_t kFileMode = 0600;

std::uintmax_t sizeOf(const std::filesystem::path& file) {
  std::error_code error;
  const auto size = std::filesystem::file_size(file, error);
  return error ? 0 : size;
}

}  // namespace

void LineLog::configure(const std::filesystem::path& file, Cut cut) {
  std::lock_guard hold(lock_);
  file_ = file;
  // A log cannot report its own failure; the appends find out again.
  static_cast<void>(FileStore::ensureFile(file, kFileMode));
  startCutting(std::move(cut));
}

void LineLog::cutWith(Cut cut) {
  std::lock_guard hold(lock_);
  if (file_) startCutting(std::move(cut));
}

void LineLog::startCutting(Cut cut) {
  cut_ = std::move(cut);
  if (cut_) cut_(*file_);
  size_ = sizeOf(*file_);
  lookAt_ = capBytes_.value_or(0);
}

void LineLog::append(std::string_view line) {
  std::lock_guard hold(lock_);
  if (!file_) return;
  // A log cannot report its own failure: a line that cannot be written is lost.
  if (!FileStore::append(*file_, line,
                         recreate_ ? std::optional<mode_t>(kFileMode) : std::nullopt)) {
    return;
  }
  size_ += line.size();
  keepUnderCap();
}

void LineLog::keepUnderCap() {
  if (!cut_ || !capBytes_ || size_ <= lookAt_) return;
  size_ = sizeOf(*file_);
  if (size_ > *capBytes_) {
    cut_(*file_);
    size_ = sizeOf(*file_);
  }
  // A cut that could not be made is tried again only after a good many more lines, not at each.
  lookAt_ = std::max(*capBytes_, size_ + *capBytes_ / 4);
}

std::optional<std::filesystem::path> LineLog::file() const {
  std::lock_guard hold(lock_);
  return file_;
}

}  // namespace tvrn
