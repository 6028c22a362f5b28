#include "core/AuditLog.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>

#include "base/Timestamp.h"
#include "platform/FileStore.h"
#include "platform/QueuedLineLog.h"

namespace tvrn::AuditLog {
namespace {

// An append brings back a file removed while the process runs, so no record is lost to it.
// Never destroyed: detached session threads may still write while the process exits.
QueuedLineLog& auditLog() {
  static auto* log = new QueuedLineLog(/*recreate=*/true);
  return *log;
}

bool isBlank(std::string_view line) {
  return line.find_first_not_of(" \t") == std::string_view::npos;
}

// The lines that are not blank (untrimmed), in file order. Lines are taken one by one, so a
// damaged byte spoils only its own line, not the whole file.
std::vector<std::string_view> recordLines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t feed = text.find('\n', start);
    if (feed == std::string_view::npos) feed = text.size();
    const std::string_view line = text.substr(start, feed - start);
    if (!isBlank(line)) lines.push_back(line);
    start = feed + 1;
  }
  return lines;
}

// Keeps the last `count` records, rewriting the file only when there are more.
void trim(const std::filesystem::path& file, std::size_t count) {
  const std::optional<std::string> text = FileStore::read(file);
  if (!text) return;
  const std::vector<std::string_view> lines = recordLines(*text);
  if (lines.size() <= count) return;
  std::string kept;
  kept.reserve(text->size());
  for (auto line = lines.end() - static_cast<std::ptrdiff_t>(count); line != lines.end(); ++line) {
    kept.append(*line);
    kept += '\n';
  }
  // A failed trim leaves every record in place; the next trim tries again.
  static_cast<void>(FileStore::writeAtomic(file, kept, 0600));
}

}  // namespace

void configure(const std::filesystem::path& url) {
  auditLog().configure(url, [](const std::filesystem::path& file) { trim(file, kKeptLines); });
}

void record(std::string_view tool, CallSource source, bool ok, std::int64_t ms) {
  // Stamped now, written out on the log's own thread.
  auditLog().append(
      [at = std::chrono::system_clock::now(), tool = std::string(tool), source, ok, ms] {
        const nlohmann::json entry = {{"ts", Timestamp::iso8601UTC(at)},
                                      {"tool", tool},
                                      {"source", std::string(toRaw(source))},
                                      {"ok", ok},
                                      {"ms", ms}};
        // Stray bytes in a tool name become U+FFFD rather than costing the record.
        std::string line = entry.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        line += '\n';
        return line;
      });
}

void flush() { auditLog().flush(); }

void shutdown() { auditLog().writeThrough(); }

// Takes no lock while reading: a line still being written does not parse and is skipped.
std::vector<nlohmann::json> recent(int limit) {
  std::vector<nlohmann::json> records;
  if (limit <= 0) return records;
  flush();
  const std::optional<std::filesystem::path> url = auditLog().file();
  if (!url) return records;
  const std::optional<std::string> text = FileStore::read(*url);
  if (!text) return records;

  const std::vector<std::string_view> lines = recordLines(*text);
  const std::size_t taken = std::min(lines.size(), static_cast<std::size_t>(limit));
  for (std::size_t i = 0; i < taken; ++i) {
    nlohmann::json parsed = nlohmann::json::parse(lines[lines.size() - 1 - i], nullptr, false);
    if (parsed.is_object()) records.push_back(std::move(parsed));
  }
  return records;
}

}  // namespace tvrn::AuditLog
