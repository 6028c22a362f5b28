#include "core/Logger.h"

#include <cstdio>
#include <optional>
#include <string>

#include "base/Timestamp.h"
#include "base/Utf8.h"
#include "platform/FileStore.h"
#include "platform/LineLog.h"

namespace tvrn::Logger {
namespace {

constexpr size_t kKeptLines = 2000;
// A flood of lines (a client reconnecting thousands of times a second) must not fill the disk:
// past the cap the file is cut again to what a cut keeps.
constexpr size_t kCapBytes = 1024 * 1024;
constexpr size_t kKeptBytes = kCapBytes / 2;

// Never destroyed: detached session threads may still write while the process exits.
LineLog& serverLog() {
  static auto* log = new LineLog(/*recreate=*/false, kCapBytes);
  return *log;
}

// Where the last `count` pieces between line feeds begin; a final line feed ends an empty
// piece, so a text ending in one keeps count - 1 lines.
size_t startOfLastPieces(const std::string& text, size_t count) {
  size_t start = text.size();
  size_t pieces = 1;
  while (start > 0) {
    const size_t feed = text.rfind('\n', start - 1);
    if (feed == std::string::npos) return 0;
    if (++pieces > count) return feed + 1;
    start = feed;
  }
  return 0;
}

// Keeps the last `count` pieces, and of them no more than the whole lines of the last `bytes`.
void trim(const std::filesystem::path& file, size_t count, size_t bytes) {
  std::optional<std::string> text = FileStore::read(file);
  if (!text) return;
  size_t start = startOfLastPieces(*text, count);
  if (text->size() - start > bytes) {
    // A line may begin exactly where the last `bytes` do.
    const size_t feed = text->find('\n', text->size() - bytes - 1);
    start = feed == std::string::npos ? text->size() : feed + 1;
  }
  if (start == 0) return;
  // The log cannot report its own failure; a failed trim keeps every line for the next try.
  static_cast<void>(FileStore::writeAtomic(file, text->substr(start), 0600));
}

std::string emit(std::string_view category, std::string_view level, std::string_view message) {
  std::string line = Timestamp::iso8601UTC();
  line += " [";
  line += category;
  line += "] ";
  line += level;
  line += message;
  line += '\n';
  // The log is read back as UTF-8 text (the status server's log route), so a message carrying
  // stray bytes from a child process has them replaced by U+FFFD rather than spoiling the file.
  line = Utf8::replaceInvalid(line);
  std::fwrite(line.data(), 1, line.size(), stderr);

  serverLog().append(line);
  return line;
}

}  // namespace

void configure(const std::filesystem::path& url) { serverLog().configure(url); }

void startTrimming() {
  serverLog().cutWith(
      [](const std::filesystem::path& file) { trim(file, kKeptLines, kKeptBytes); });
}

void info(std::string_view category, std::string_view message) {
  emit(category, "INFO  ", message);
}

void warn(std::string_view category, std::string_view message) {
  emit(category, "WARN  ", message);
}

void error(std::string_view category, std::string_view message) {
  emit(category, "ERROR ", message);
}

std::string errorLine(std::string_view category, std::string_view message) {
  return emit(category, "ERROR ", message);
}

void log(std::string_view category, std::string_view text) { emit(category, "", text); }

}  // namespace tvrn::Logger
