#include "manifest/ManifestFileRunners.h"

#include <sqlite3.h>

#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <limits>
#include <memory>
#include <optional>
#include <string>

#include "base/Base64.h"
#include "base/Utf8.h"
#include "bridges/JXARunner.h"
#include "core/JSONValue.h"
#include "core/ToolResponse.h"
#include "manifest/ManifestRunnerTexts.h"
#include "manifest/TemplateEngine.h"
#include "platform/OpenFolder.h"
#include "platform/PathResolver.h"
#include "platform/Paths.h"
#include "platform/PlistReader.h"

namespace tvrn {
namespace {

namespace Texts = ManifestRunnerTexts;

ToolResult wrongBehavior() {
  return fail(ToolError::executionFailed(std::string(Texts::kWrongBehavior)));
}

std::string expandTilde(std::string path) {
  if (path.starts_with('~')) path.replace(0, 1, Paths::home().string());
  return path;
}

// The file the path names, reached through the folder that holds it, held open: allowed when it
// lies inside one of the home's folders (not the folder itself) and outside the system's own
// folders, no other user's link leads there and none was swapped in while it was opened. It is
// judged by where the folder opened really is.
Result<OpenFolder::Reached, ToolError> allowedTarget(
    std::string_view runner, const std::string& path,
    std::initializer_list<std::string_view> folders) {
  const auto outside = [&] {
    return ToolError::permissionDenied(Texts::outsideAllowed(runner, path));
  };
  if (PathResolver::ownFolderHolding(path)) return fail(outside());
  auto reached = OpenFolder::reach(path);
  if (!reached)
    return fail(ToolError::permissionDenied(std::string(runner) + ": " + reached.error()));
  const OpenFolder::Reached& place = reached.value();
  if (place.folder && PathResolver::ownFolderHoldingOpenFile(place.folder->fd())) {
    return fail(outside());
  }
  const std::string home = PathResolver::resolve(Paths::home().string());
  const std::filesystem::path where =
      place.folder ? std::filesystem::path(place.folder->realPath()) : place.folderPath;
  const std::string target = (where / place.name).string();
  for (const std::string_view folder : folders) {
    const std::string root = home + "/" + std::string(folder);
    if (target != root && PathResolver::isWithin(target, root)) return std::move(reached).value();
  }
  return fail(outside());
}

// SQLite finds a database's real path by following every link in its name, which would look the
// path up again. This file system takes the name as given, so that a database named under
// /proc/self/fd/N is opened (with its journal and WAL) by name in the folder held open at N, a link
// in the last place not followed; the rest is the system's own.
int nameAsGiven(sqlite3_vfs*, const char* name, int size, char* out) {
  if (std::strlen(name) >= static_cast<std::size_t>(size)) return SQLITE_CANTOPEN;
  std::strcpy(out, name);
  return SQLITE_OK;
}

const char* heldFolderFileSystem() {
  static sqlite3_vfs vfs = [] {
    sqlite3_vfs own = *sqlite3_vfs_find(nullptr);
    own.zName = "tavrin-held-folder";
    own.xFullPathname = nameAsGiven;
    return own;
  }();
  static const int registered = sqlite3_vfs_register(&vfs, 0);
  static_cast<void>(registered);
  return vfs.zName;
}

// SQL

std::string sqlLiteralEscaped(const std::string& value) {
  std::string escaped;
  for (const char c : value) {
    escaped.push_back(c);
    if (c == '\'') escaped.push_back('\'');
  }
  return escaped;
}

bool beginsWithSelect(const std::string& query) {
  const auto first = query.find_first_not_of(" \t\r\n\v\f");
  if (first == std::string::npos || query.size() - first < 6) return false;
  std::string word = query.substr(first, 6);
  for (char& c : word) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return word == "SELECT";
}

ToolResult sqliteFailure(sqlite3* db, std::string_view fallback) {
  const std::string why = db != nullptr ? sqlite3_errmsg(db) : std::string(fallback);
  return fail(ToolError::executionFailed(std::string(Texts::kSqlitePrefix) + why));
}

void bindParameters(sqlite3_stmt* statement, const nlohmann::json& params) {
  const int count = sqlite3_bind_parameter_count(statement);
  for (int index = 1; index <= count; ++index) {
    const char* name = sqlite3_bind_parameter_name(statement, index);
    if (name == nullptr || !Utf8::isValid(name)) continue;
    const auto found = params.is_object() ? params.find(name + 1) : params.end();
    if (params.is_object() && found != params.end()) {
      const nlohmann::json& value = *found;
      if (value.is_number_unsigned() &&
          value.get<std::uint64_t>() >
              static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        sqlite3_bind_double(statement, index, value.get<double>());
        continue;
      }
      if (value.is_number_integer()) {
        sqlite3_bind_int64(statement, index, value.get<std::int64_t>());
        continue;
      }
      if (value.is_number_float()) {
        sqlite3_bind_double(statement, index, value.get<double>());
        continue;
      }
      if (value.is_string()) {
        const auto& text = value.get_ref<const std::string&>();
        sqlite3_bind_text(statement, index, text.c_str(), static_cast<int>(text.size()),
                          SQLITE_TRANSIENT);
        continue;
      }
    }
    sqlite3_bind_null(statement, index);
  }
}

nlohmann::json rowObject(sqlite3_stmt* statement) {
  nlohmann::json row = nlohmann::json::object();
  const int columns = sqlite3_column_count(statement);
  for (int column = 0; column < columns; ++column) {
    const char* name = sqlite3_column_name(statement, column);
    if (name == nullptr) continue;
    switch (sqlite3_column_type(statement, column)) {
      case SQLITE_INTEGER:
        row[name] = sqlite3_column_int64(statement, column);
        break;
      case SQLITE_FLOAT:
        row[name] = sqlite3_column_double(statement, column);
        break;
      case SQLITE_TEXT: {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
        row[name] =
            std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(statement, column)));
        break;
      }
      case SQLITE_BLOB: {
        const void* bytes = sqlite3_column_blob(statement, column);
        const int size = sqlite3_column_bytes(statement, column);
        if (bytes == nullptr || size == 0) break;  // an empty blob leaves the member out
        row[name] =
            Base64::encode({static_cast<const char*>(bytes), static_cast<std::size_t>(size)});
        break;
      }
      default:
        row[name] = nullptr;
    }
  }
  return row;
}

using Database = std::unique_ptr<sqlite3, decltype(&sqlite3_close)>;
using Statement = std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)>;

// Property lists

bool isDecimal(std::string_view piece) { return parseManifestInt(piece).has_value(); }

const nlohmann::json* walk(const nlohmann::json& root, const std::string& keyPath) {
  const nlohmann::json* current = &root;
  std::size_t start = 0;
  while (start <= keyPath.size()) {
    const std::size_t dot = std::min(keyPath.find('.', start), keyPath.size());
    const std::string piece = keyPath.substr(start, dot - start);
    start = dot + 1;
    if (piece.empty()) continue;
    if (current->is_object() && current->contains(piece)) {
      current = &(*current)[piece];
      continue;
    }
    if (current->is_array() && isDecimal(piece)) {
      const std::int64_t index = *parseManifestInt(piece);
      if (index >= 0 && static_cast<std::uint64_t>(index) < current->size()) {
        current = &(*current)[static_cast<std::size_t>(index)];
        continue;
      }
    }
    return nullptr;
  }
  return current;
}

// Objects and arrays as JSON; a single value as its text, since a tool result of JSON holds only
// objects and arrays.
ToolResult valueResult(const nlohmann::json& value) {
  if (value.is_object() || value.is_array()) return ToolResponse::json(anyToJSONValue(value));
  return ToolResponse::text(value.is_string() ? value.get<std::string>() : value.dump());
}

}  // namespace

ToolResult ManifestSQLiteRunner::execute(const BehaviorSpec& behavior, const nlohmann::json& params,
                                         std::int64_t, int) {
  const auto* sqlite = behavior.as<BehaviorSpec::Sqlite>();
  if (sqlite == nullptr) return wrongBehavior();
  const TemplateVars vars = TemplateEngine::vars(params);
  const std::string path = TemplateEngine::render(expandTilde(sqlite->dbPath), vars);
  TemplateVars quoted;
  for (const auto& [name, value] : vars) quoted.emplace(name, sqlLiteralEscaped(value));
  const std::string query = TemplateEngine::render(sqlite->query, quoted);
  if (!beginsWithSelect(query)) {
    return fail(ToolError::permissionDenied(std::string(Texts::kSelectOnly)));
  }
  const auto target = allowedTarget("sqlite", path, {"Library", "Documents"});
  if (!target) return fail(target.error());
  const OpenFolder::Reached& place = target.value();
  if (!place.folder) return sqliteFailure(nullptr, sqlite3_errstr(SQLITE_CANTOPEN));

  sqlite3* opened = nullptr;
  const std::string held = "/proc/self/fd/" + std::to_string(place.folder->fd()) + "/" + place.name;
  const int openCode = sqlite3_open_v2(
      held.c_str(), &opened, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, heldFolderFileSystem());
  Database db(opened, sqlite3_close);
  if (openCode != SQLITE_OK) return sqliteFailure(db.get(), Texts::kCannotOpen);

  sqlite3_stmt* prepared = nullptr;
  if (sqlite3_prepare_v2(db.get(), query.c_str(), -1, &prepared, nullptr) != SQLITE_OK) {
    return sqliteFailure(db.get(), Texts::kPrepareFailed);
  }
  Statement statement(prepared, sqlite3_finalize);
  nlohmann::json rows = nlohmann::json::array();
  if (!statement) return ToolResponse::json(anyToJSONValue(rows));
  if (sqlite3_stmt_readonly(statement.get()) == 0) {
    return fail(ToolError::permissionDenied(std::string(Texts::kSelectOnly)));
  }
  bindParameters(statement.get(), params);
  int step = SQLITE_ROW;
  while ((step = sqlite3_step(statement.get())) == SQLITE_ROW)
    rows.push_back(rowObject(statement.get()));
  if (step != SQLITE_DONE) return sqliteFailure(db.get(), Texts::kPrepareFailed);
  return ToolResponse::json(anyToJSONValue(rows));
}

ToolResult ManifestPlistRunner::execute(const BehaviorSpec& behavior, const nlohmann::json& params,
                                        std::int64_t, int) {
  const auto* plist = behavior.as<BehaviorSpec::Plist>();
  if (plist == nullptr) return wrongBehavior();
  const std::string path = expandTilde(TemplateEngine::render(plist->path, params));
  const auto target =
      allowedTarget("plist", path, {"Library/Preferences", "Library/Application Support"});
  if (!target) return fail(target.error());
  const OpenFolder::Reached& place = target.value();
  // Opened by name in the folder reached: a link put in the file's place is not followed.
  auto file = place.folder ? place.folder->openFile(place.name) : fail(std::string());
  const auto bytes = file ? file.value().readAll() : fail(file.error());
  if (!bytes) return fail(ToolError::resourceNotFound(Texts::plistNotFound(path)));
  const auto list = PlistReader::parse(bytes.value());
  if (!list) return fail(ToolError::executionFailed(Texts::plistCannotParse(path)));
  if (!plist->keyPath || plist->keyPath->empty()) return valueResult(*list);
  const nlohmann::json* value = walk(*list, *plist->keyPath);
  if (value == nullptr)
    return fail(ToolError::resourceNotFound(Texts::keyPathNotFound(*plist->keyPath)));
  return valueResult(*value);
}

}  // namespace tvrn
