#include "platform/LineLog.h"

#include "platform/FileStore.h"

namespace tvrn {

namespace {
constexpr mode_t kFileMode = 0600;
}  // namespace

void LineLog::configure(const std::filesystem::path& file, const Cut& cut) {
  std::lock_guard hold(lock_);
  file_ = file;
  // A log cannot report its own failure; the appends find out again.
  static_cast<void>(FileStore::ensureFile(file, kFileMode));
  cut(file);
}

void LineLog::append(std::string_view line) {
  std::lock_guard hold(lock_);
  if (!file_) return;
  // A log cannot report its own failure: a line that cannot be written is lost.
  static_cast<void>(
      FileStore::append(*file_, line, recreate_ ? std::optional<mode_t>(kFileMode) : std::nullopt));
}

std::optional<std::filesystem::path> LineLog::file() const {
  std::lock_guard hold(lock_);
  return file_;
}

}  // namespace tvrn
