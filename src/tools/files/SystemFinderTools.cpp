// finder_list and finder_search: one folder's entries, and files found by name with find(1).
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/Utf8.h"
#include "core/ToolResponse.h"
#include "platform/PathResolver.h"
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

// find's arguments: from the folder it starts in, past the system's own folders below it, the
// entries whose name holds the query, each printed as its type (d: a folder) and its path.
std::vector<std::string> searchArguments(const std::string& query, const OpenFolder& folder) {
  std::vector<std::string> arguments{"find", "."};
  const std::string real = folder.realPath();
  for (const std::string& own : PathResolver::ownFolders()) {
    if (own == real || !PathResolver::isWithin(own, real)) continue;
    const std::string below = real == "/" ? own : own.substr(real.size());
    arguments.insert(arguments.end(), {"-path", "." + globEscaped(below), "-prune", "-o"});
  }
  arguments.insert(arguments.end(),
                   {"-iname", "*" + globEscaped(query) + "*", "-printf", "%Y%p\n"});
  return arguments;
}

// Paths whose name holds the query, in find's order, until the limit or the deadline; the
// search is ended then. find starts in the folder held open, so nothing on the way to it is looked
// up again, and it walks below it without following a link; its "./" is put back as `root`.
std::vector<std::pair<std::string, bool>> foundPaths(const std::string& query,
                                                     const std::string& root,
                                                     const OpenFolder& folder, std::size_t limit) {
  SpawnOptions options(searchArguments(query, folder));
  options.searchPath = true;
  options.workingFolder = folder.fd();
  auto started = Subprocess::start(options);
  if (!started.ok()) return {};
  std::unique_ptr<Subprocess> search = std::move(started).value();
  search->closeInput();
  const auto deadline = SubprocessClock::now() + kSearchDeadline;
  std::vector<std::pair<std::string, bool>> paths;
  if (LocalFiles::nameContains(root, Utf8::lowercased(query))) {
    paths.emplace_back(searchRoot(root), true);
  }
  while (paths.size() < limit) {
    LineRead line = search->readLine(deadline);
    if (line.status != LineStatus::line) break;
    // The type (d: a folder, links followed), then the path below the folder.
    if (line.text.size() < 3 || line.text.compare(1, 2, "./") != 0) continue;
    std::string path = LocalFiles::childPath(searchRoot(root), line.text.substr(3));
    if (!Utf8::isValid(path)) continue;
    paths.emplace_back(std::move(path), line.text.front() == 'd');
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
  const auto listed = LocalFiles::listNamed(path, false, limit);
  if (!listed) {
    if (listed.error().refusal) return fail(*listed.error().refusal);
    return fail(ToolError::executionFailed("Cannot list path: " + path));
  }
  JSONValue::Array items;
  for (const LocalFiles::Listed& entry : listed.value()) {
    const LocalFiles::EntryInfo info = entry.info.value_or(LocalFiles::EntryInfo{});
    items.emplace_back(
        JSONValue::Object{{"name", LocalFiles::shownText(entry.name)},
                          {"path", LocalFiles::shownText(LocalFiles::childPath(path, entry.name))},
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
    const auto opened = LocalFiles::openFolderNamed(root);
    if (!opened && opened.error().refusal) return fail(*opened.error().refusal);
    // A folder that is not there would pass for one holding no match.
    if (!opened) return fail(ToolError::executionFailed("Cannot search path: " + root));
    JSONValue::Array results;
    if (limit > 0) {
      for (const auto& [path, isFolder] :
           foundPaths(query, root, opened.value(), static_cast<std::size_t>(limit))) {
        results.emplace_back(JSONValue::Object{{"path", path},
                                               {"name", LocalFiles::lastComponent(path)},
                                               {"type", isFolder ? "directory" : "file"}});
      }
    }
    const std::size_t count = results.size();
    return ToolResponse::json(
        JSONValue::Object{{"results", std::move(results)}, {"count", count}, {"query", query}});
  });
}

}  // namespace tvrn::SystemTools
