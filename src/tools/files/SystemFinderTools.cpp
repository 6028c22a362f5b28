// finder_list and finder_search: one folder's entries, and files found by name with find(1).
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/Utf8.h"
#include "core/ToolResponse.h"
#include "platform/Paths.h"
#include "platform/Subprocess.h"
#include "tools/common/LocalFiles.h"
#include "tools/common/SystemToolHandlers.h"

namespace tvrn::SystemTools {
namespace {

constexpr std::int64_t kDefaultListLimit = 100;
constexpr std::int64_t kDefaultSearchLimit = 50;
constexpr std::chrono::seconds kSearchDeadline{8};

std::string homeExpanded(const std::string& path, const std::string& home) {
  if (path == "~") return home;
  if (path.starts_with("~/")) return home + path.substr(1);
  return path;
}

// The query as part of a find(1) name pattern that matches it literally.
std::string globEscaped(std::string_view query) {
  std::string out;
  for (const char c : query) {
    if (c == '*' || c == '?' || c == '[' || c == ']' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

// find(1) reads a first argument starting with "-", "(" or "!" as part of its expression (a
// folder named "-delete" would delete); "./" keeps a relative folder a folder.
std::string searchRoot(const std::string& path) {
  return path.starts_with('/') ? path : "./" + path;
}

// Paths whose name holds the query, in find's order, until the limit or the deadline; the
// search is ended then.
std::vector<std::string> foundPaths(const std::string& query, const std::string& root,
                                    std::size_t limit) {
  SpawnOptions options({"find", searchRoot(root), "-iname", "*" + globEscaped(query) + "*"});
  options.searchPath = true;
  auto started = Subprocess::start(options);
  if (!started.ok()) return {};
  std::unique_ptr<Subprocess> search = std::move(started).value();
  search->closeInput();
  const auto deadline = SubprocessClock::now() + kSearchDeadline;
  std::vector<std::string> paths;
  while (paths.size() < limit) {
    LineRead line = search->readLine(deadline);
    if (line.status != LineStatus::line) break;
    if (line.text.empty() || !Utf8::isValid(line.text)) continue;
    if (LocalFiles::ownFolderRefusal(line.text)) continue;
    paths.push_back(std::move(line.text));
  }
  search->terminate();
  return paths;
}

}  // namespace

ToolResult finderList(const Params::Arguments& arguments) {
  const std::string home = Paths::home().string();
  const std::string path = homeExpanded(Params::optional("path", arguments, home), home);
  const auto limit = static_cast<std::size_t>(
      std::max<std::int64_t>(0, Params::optionalInt("limit", arguments, kDefaultListLimit)));
  if (auto refusal = LocalFiles::pathRefusal(path)) return fail(*refusal);
  auto names = LocalFiles::entriesOf(path);
  if (!names.ok()) return fail(ToolError::executionFailed("Cannot list path: " + path));

  JSONValue::Array items;
  for (const std::string& name : names.value()) {
    if (items.size() >= limit) break;
    if (LocalFiles::isHidden(name)) continue;
    const std::string entry = LocalFiles::childPath(path, name);
    const LocalFiles::EntryInfo info =
        LocalFiles::entryInfo(entry).value_or(LocalFiles::EntryInfo{});
    items.emplace_back(JSONValue::Object{{"name", LocalFiles::shownText(name)},
                                         {"path", LocalFiles::shownText(entry)},
                                         {"type", info.isDirectory ? "directory" : "file"},
                                         {"size", info.size},
                                         {"modified", info.modified}});
  }
  const std::size_t count = items.size();
  return ToolResponse::json(JSONValue::Object{
      {"items", std::move(items)}, {"count", count}, {"path", LocalFiles::shownText(path)}});
}

ToolResult finderSearch(const Params::Arguments& arguments) {
  return Params::withRequired("query", arguments, [&](const std::string& query) -> ToolResult {
    const std::string folder = Params::optional("path", arguments, "");
    const std::int64_t limit = Params::optionalInt("limit", arguments, kDefaultSearchLimit);
    const std::string root = folder.empty() ? Paths::home().string() : folder;
    if (auto refusal = LocalFiles::pathRefusal(root)) return fail(*refusal);
    // A folder that is not there would pass for one holding no match.
    if (!LocalFiles::isDirectory(root)) {
      return fail(ToolError::executionFailed("Cannot search path: " + root));
    }
    JSONValue::Array results;
    if (limit > 0) {
      for (const std::string& path : foundPaths(query, root, static_cast<std::size_t>(limit))) {
        results.emplace_back(
            JSONValue::Object{{"path", path},
                              {"name", LocalFiles::lastComponent(path)},
                              {"type", LocalFiles::isDirectory(path) ? "directory" : "file"}});
      }
    }
    const std::size_t count = results.size();
    return ToolResponse::json(
        JSONValue::Object{{"results", std::move(results)}, {"count", count}, {"query", query}});
  });
}

}  // namespace tvrn::SystemTools
