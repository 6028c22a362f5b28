#include "tools/localapps/MessagesTools.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "bridges/CoProcessSupport.h"
#include "bridges/ScriptText.h"
#include "core/Params.h"
#include "core/ToolResponse.h"
#include "core/ToolSchema.h"
#include "pim/PimCodec.h"
#include "platform/Paths.h"
#include "platform/Subprocess.h"

namespace tvrn::MessagesTools {
namespace {

using nlohmann::json;
using ToolSchema::property;
using ToolSchema::schema;

// The database counts time from 2001-01-01 00:00:00 UTC, this many seconds after the Unix epoch.
constexpr double kReferenceDateOffset = 978307200;
constexpr std::int64_t kDefaultLimit = 30;

constexpr const char* kStatementHead =
    "SELECT\n"
    "  m.text AS content,\n"
    "  COALESCE(h.id, 'me') AS sender,\n"
    "  COALESCE(c.display_name, c.chat_identifier, '') AS chat_name,\n"
    "  c.chat_identifier AS chat_id,\n"
    "  datetime(m.date/1000000000 + 978307200, 'unixepoch') AS date_sent\n"
    "FROM message m\n"
    "JOIN chat_message_join cmj ON m.ROWID = cmj.message_id\n"
    "JOIN chat c ON cmj.chat_id = c.ROWID\n"
    "LEFT JOIN handle h ON m.handle_id = h.ROWID\n"
    "WHERE ";
constexpr const char* kEscapeClause = " ESCAPE '\\'";

// The database's LOWER folds only A to Z, so the search text is folded the same way: a capital
// beyond ASCII must stay as it is to match the stored text it came from.
std::string asciiLowercased(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// The text as the inside of a LIKE pattern between single quotes, matching itself literally.
std::string likeEscaped(const std::string& text) {
  std::string out;
  for (const char c : asciiLowercased(text)) {
    if (c == '\\' || c == '%' || c == '_') out += '\\';
    if (c == '\'') out += '\'';
    out += c;
  }
  return out;
}

// The date clause for `since`; empty when it is not a readable date or its count of
// nanoseconds since 2001 does not fit the column's 64 bits.
std::string dateClause(const std::string& since) {
  if (since.empty()) return {};
  const auto when = PimCodec::parseTime(since);
  if (!when) return {};
  const double seconds =
      std::chrono::duration<double>(when->time_since_epoch()).count() - kReferenceDateOffset;
  const double nanoseconds = seconds * 1e9;
  constexpr double kLimit = 9223372036854775808.0;  // 2^63
  if (!(nanoseconds >= -kLimit && nanoseconds < kLimit)) return {};
  return " AND m.date >= " + std::to_string(static_cast<std::int64_t>(nanoseconds));
}

std::string statement(const std::string& query, const std::string& fromSender,
                      const std::string& since, std::int64_t limit) {
  std::vector<std::string> conditions{"m.text IS NOT NULL", "m.text != ''"};
  if (!query.empty()) {
    conditions.push_back("LOWER(m.text) LIKE '%" + likeEscaped(query) + "%'" + kEscapeClause);
  }
  if (!fromSender.empty()) {
    const std::string sender = likeEscaped(fromSender);
    conditions.push_back("(LOWER(COALESCE(h.id,'')) LIKE '%" + sender + "%'" + kEscapeClause +
                         " OR LOWER(COALESCE(c.display_name,'')) LIKE '%" + sender + "%'" +
                         kEscapeClause + ")");
  }
  std::string text = kStatementHead;
  for (std::size_t i = 0; i < conditions.size(); ++i) {
    if (i > 0) text += " AND ";
    text += conditions[i];
  }
  text += dateClause(since);
  text += "\nORDER BY m.date DESC\nLIMIT " + std::to_string(limit) + ";";
  return text;
}

std::string secondsText(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", seconds);
  return text;
}

// The rows of the program's JSON output; nothing when it is not a list of string-valued objects.
std::optional<json> parsedRows(const std::string& output) {
  const std::string text = ScriptText::decodeTrimmed(output);
  if (text.empty() || text == "[]") return json::array();
  json rows = json::parse(text, nullptr, false);
  if (!rows.is_array()) return std::nullopt;
  json results = json::array();
  for (const auto& row : rows) {
    if (!row.is_object()) return std::nullopt;
    for (const auto& [key, value] : row.items()) {
      if (!value.is_string()) return std::nullopt;
    }
    const auto column = [&row](const char* name) { return row.value(name, std::string()); };
    results.push_back({{"chat_id", column("chat_id")},
                       {"chat_name", column("chat_name")},
                       {"content", column("content")},
                       {"sender", column("sender")},
                       {"date", column("date_sent")}});
  }
  return results;
}

ToolResult searchMessagesViaDB(const DatabaseProgram& settings, const std::string& query,
                               const std::string& fromSender, const std::string& since,
                               std::int64_t limit) {
  const std::string path = Paths::home().string() + "/Library/Messages/chat.db";
  std::error_code error;
  if (!std::filesystem::exists(path, error)) {
    return fail(
        ToolError::resourceNotFound("Messages database not found at " + path +
                                    ". This tool requires iMessages to be set up on this Mac."));
  }
  const std::string sql = statement(query, fromSender, since, limit);
  RunOptions options;
  options.timeout = CoProcessSupport::waitOf(settings.timeoutSeconds);
  const auto timedOut = [&settings] {
    return fail(ToolError::executionFailed("sqlite3 timed out after " +
                                           secondsText(settings.timeoutSeconds) + "s"));
  };

  const auto started = std::chrono::steady_clock::now();
  // The program reads URI file names without being asked (it has no option for it), which opens
  // the database read-only and as immutable.
  CompletedProcess run = Subprocess::run(
      {{settings.path, "-json", "file://" + path + "?mode=ro&immutable=1", sql}}, options);
  if (!run.launched) {
    return fail(ToolError::executionFailed("Cannot launch sqlite3: " + run.launchError));
  }
  if (run.timedOut) return timedOut();
  if (run.exit.signalled || run.exit.status != 0) {
    run = Subprocess::run({{settings.path, "-json", path, sql}}, options);
    if (!run.launched) return fail(ToolError::executionFailed("Cannot launch sqlite3"));
    if (run.timedOut) return timedOut();
    if (run.exit.signalled || run.exit.status != 0) {
      return fail(ToolError::executionFailed(
          "Cannot read Messages database. Make sure Full Disk Access is granted to TVRN in "
          "System Settings → Privacy & Security."));
    }
  }
  auto rows = parsedRows(run.standardOutput);
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - started);
  if (!rows) return fail(ToolError::executionFailed("Failed to parse Messages database output"));
  const auto count = rows->size();
  json reply = {{"results", *std::move(rows)}, {"count", count}, {"query", query},
                {"from_sender", fromSender},   {"since", since}, {"elapsed_ms", elapsed.count()}};
  return ToolResponse::json(anyToJSONValue(reply));
}

ToolHandler searchMessages(DatabaseProgram settings) {
  return [settings](const Params::Arguments& arguments) -> ToolResult {
    const std::string query = Params::optional("query", arguments, "");
    const std::string fromSender = Params::optional("from_sender", arguments, "");
    const std::string since = Params::optional("since", arguments, "");
    std::int64_t limit = Params::optionalInt("limit", arguments, kDefaultLimit);
    if (query.empty() && fromSender.empty()) {
      return fail(ToolError::invalidParam("query", "non-empty query OR from_sender"));
    }
    // A negative LIMIT means no bound at all to the database.
    if (limit < 0) limit = kDefaultLimit;
    return searchMessagesViaDB(settings, query, fromSender, since, limit);
  };
}

}  // namespace

void registerTools(ToolRegistry& registry, JXARunning& /*jxa*/, const DatabaseProgram& sqlite3) {
  ToolRegistry::ServiceScope scope(registry, "messages");
  registry.registerTool(
      {"search_messages", "Searches iMessage conversations by content, sender name, or date range.",
       schema({{"query", property("string",
                                  "Text to search for in message content (optional if "
                                  "from_sender is set)")},
               {"from_sender",
                property("string", "Substring of sender name/handle to filter by (optional)")},
               {"since", property("string",
                                  "ISO8601 date — only return messages on or after this date "
                                  "(optional, e.g. '2026-04-10' or '2026-04-10T00:00:00Z')")},
               {"limit", property("integer", "Max results (default 30)")}},
              json::array()),
       ToolKind::readOnly, searchMessages(sqlite3)});
}

}  // namespace tvrn::MessagesTools
