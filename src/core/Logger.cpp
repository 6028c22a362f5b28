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

// Never destroyed: detached session threads may still write while the process exits.
LineLog& serverLog() {
  static auto* log = new LineLog(/*recreate=*/false);
  return *log;
}

// Keeps the last `count` pieces between line feeds; a final line feed ends an empty piece, so
// a file ending in one keeps count - 1 lines.
void trim(const std::filesystem::path& file, size_t count) {
  std::optional<std::string> text = FileStore::read(file);
  if (!text) return;
  size_t start = text->size();
  size_t pieces = 1;
  while (start > 0) {
    const size_t feed = text->rfind('\n', start - 1);
    if (feed == std::string::npos) return;
    if (++pieces > count) {
      // The log cannot report its own failure; a failed trim keeps every line for the next try.
      static_cast<void>(FileStore::writeAtomic(file, text->substr(feed + 1), 0600));
      return;
    }
    start = feed;
  }
}

void emit(std::string_view category, std::string_view level, std::string_view message) {
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
}

}  // namespace

void configure(const std::filesystem::path& url) {
  serverLog().configure(url, [](const std::filesystem::path& file) { trim(file, kKeptLines); });
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

void log(std::string_view category, std::string_view text) { emit(category, "", text); }

}  // namespace tvrn::Logger
