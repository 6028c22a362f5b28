#include "tools/files/FilesystemTools.h"

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <vector>

#include "base/TextDecoding.h"
#include "base/Utf8.h"
#include "core/ConfigManager.h"
#include "core/Params.h"
#include "core/ToolResponse.h"
#include "core/ToolSchema.h"
#include "platform/PathResolver.h"
#include "platform/Paths.h"
#include "tools/common/LocalFiles.h"
#include "tools/common/SettingsHandler.h"
#include "tools/files/FilesystemToolsTexts.h"

namespace tvrn {
namespace {

namespace Texts = FilesystemTexts;
using nlohmann::json;
using ToolSchema::property;
using ToolSchema::schema;

constexpr std::int64_t kMaxSearchResults = 200;

// The home folder, then fs_allowed_roots when it is an array of strings.
std::vector<std::string> allowedRoots(const ConfigManager& settings) {
  std::vector<std::string> roots{Paths::home().string()};
  const json config = settings.load();
  const auto found = config.find("fs_allowed_roots");
  if (found == config.end() || !found->is_array()) return roots;
  if (!std::all_of(found->begin(), found->end(), [](const json& v) { return v.is_string(); })) {
    return roots;
  }
  for (const json& root : *found) roots.push_back(root.get<std::string>());
  return roots;
}

std::string denial(const ConfigManager& settings, const std::string& path,
                   const std::vector<std::string>& roots) {
  std::string listed;
  for (const std::string& root : roots) listed += (listed.empty() ? "" : ", ") + root;
  return "Access denied: '" + path + "' is outside allowed roots (" + listed + "). " +
         std::string(Texts::kExpandAccess) + Paths::withTilde(settings.configPath());
}

JSONValue::Object entryObject(const std::string& path, const LocalFiles::EntryInfo& info) {
  return {{"name", LocalFiles::shownText(LocalFiles::lastComponent(path))},
          {"path", LocalFiles::shownText(path)},
          {"type", info.isDirectory ? "directory" : "file"},
          {"size", info.size},
          {"size_human", fsHumanSize(info.size)},
          {"modified", info.modified},
          {"extension", info.isDirectory ? "" : LocalFiles::extensionOf(path)}};
}

std::string relativeTo(const std::string& root, const std::string& path) {
  std::string prefix = root;
  while (prefix.size() > 1 && prefix.back() == '/') prefix.pop_back();
  if (prefix != "/") prefix += '/';
  return path.starts_with(prefix) ? path.substr(prefix.size()) : path;
}

ToolResult refusedOr(const ConfigManager& settings, const std::string& path,
                     const std::function<ToolResult()>& body) {
  const FSSecurityResult check = fsSecurity(settings, path);
  if (!check.allowed) return fail(ToolError::executionFailed(check.reason));
  return body();
}

ToolResult fsList(const ConfigManager& settings, const Params::Arguments& arguments) {
  std::string path = Params::optional("path", arguments, "");
  if (path.empty()) path = Paths::home().string();
  const bool showHidden = Params::optionalBool("show_hidden", arguments, false);
  return refusedOr(settings, path, [&] { return fsListDirectory(path, showHidden); });
}

ToolResult fsSearch(const ConfigManager& settings, const Params::Arguments& arguments) {
  return Params::withRequired("query", arguments, [&](const std::string& query) {
    std::string root = Params::optional("root", arguments, "");
    if (root.empty()) root = Paths::home().string();
    const std::int64_t maxResults =
        std::min(Params::optionalInt("max_results", arguments, 50), kMaxSearchResults);
    const std::string fileType = Utf8::lowercased(Params::optional("file_type", arguments, ""));
    return refusedOr(settings, root, [&] {
      return fsSearchFiles(query, root, maxResults,
                           fileType.empty() ? std::nullopt : std::optional(fileType));
    });
  });
}

ToolResult fsRead(const ConfigManager& settings, const Params::Arguments& arguments) {
  return Params::withRequired("path", arguments, [&](const std::string& path) {
    return refusedOr(settings, path, [&] {
      const LocalFiles::PageRequest page = LocalFiles::pageRequest(arguments);
      return fsReadTextFile(path, page.offset, page.maxBytes);
    });
  });
}

}  // namespace

FSSecurityResult fsSecurity(const ConfigManager& settings, const std::string& path) {
  if (auto refusal = LocalFiles::pathRefusal(path)) return {false, refusal->description()};
  const std::vector<std::string> roots = allowedRoots(settings);
  const std::string target = PathResolver::resolve(path);
  for (const std::string& root : roots) {
    if (PathResolver::isWithin(target, PathResolver::resolve(root))) return {true, ""};
  }
  return {false, denial(settings, path, roots)};
}

ToolResult fsListDirectory(const std::string& path, bool showHidden) {
  const auto listed = LocalFiles::listNamed(path, showHidden);
  if (!listed) {
    return fail(LocalFiles::listingFailure(path, listed.error(), "Cannot list directory: " + path));
  }
  std::vector<JSONValue::Object> dirs;
  std::vector<JSONValue::Object> files;
  for (const LocalFiles::Listed& entry : listed.value()) {
    if (!entry.info) continue;
    (entry.info->isDirectory ? dirs : files)
        .push_back(entryObject(LocalFiles::childPath(path, entry.name), *entry.info));
  }
  const auto byName = [](const JSONValue::Object& a, const JSONValue::Object& b) {
    return *a.at("name").asString() < *b.at("name").asString();
  };
  std::stable_sort(dirs.begin(), dirs.end(), byName);
  std::stable_sort(files.begin(), files.end(), byName);

  JSONValue::Array items;
  for (auto& entry : dirs) items.emplace_back(std::move(entry));
  for (auto& entry : files) items.emplace_back(std::move(entry));
  return ToolResponse::json(JSONValue::Object{{"path", LocalFiles::shownText(path)},
                                              {"count", items.size()},
                                              {"dirs", dirs.size()},
                                              {"files", files.size()},
                                              {"items", std::move(items)}});
}

ToolResult fsSearchFiles(const std::string& query, const std::string& root, std::int64_t maxResults,
                         const std::optional<std::string>& fileType) {
  const std::string needle = Utf8::lowercased(query);
  JSONValue::Array results;
  const auto visit = [&](const LocalFiles::WalkEntry& entry) {
    if (static_cast<std::int64_t>(results.size()) >= maxResults) return false;
    if (!LocalFiles::nameContains(entry.name, needle)) return true;
    if (fileType && LocalFiles::extensionOf(entry.name) != *fileType) return true;
    JSONValue::Object hit = entryObject(
        entry.path,
        LocalFiles::entryInfo(entry.folder, entry.name).value_or(LocalFiles::EntryInfo{}));
    hit["relative_path"] = LocalFiles::shownText(relativeTo(root, entry.path));
    results.emplace_back(std::move(hit));
    return true;
  };
  const auto walked = LocalFiles::walk(root, {.enterPackages = false}, visit);
  if (!walked && walked.error().refusal) return fail(*walked.error().refusal);
  if (!walked) return fail(ToolError::executionFailed("Cannot enumerate directory: " + root));
  return ToolResponse::json(JSONValue::Object{{"query", LocalFiles::shownText(query)},
                                              {"root", LocalFiles::shownText(root)},
                                              {"count", results.size()},
                                              {"results", std::move(results)}});
}

ToolResult fsReadTextFile(const std::string& path, std::int64_t offset, std::int64_t maxBytes) {
  const std::string ext = LocalFiles::extensionOf(path);
  if (!ext.empty() && !Texts::kReadableExtensions.contains(ext)) {
    return fail(ToolError::invalidParam("path", std::string(Texts::kNotText)));
  }
  auto page = LocalFiles::readPage(path, offset, maxBytes);
  if (!page.ok()) return fail(page.error());

  static constexpr std::pair<TextDecoding::Encoding, std::string_view> kOrder[] = {
      {TextDecoding::Encoding::utf8, "utf8"},
      {TextDecoding::Encoding::cp1252, "cp1252"},
      {TextDecoding::Encoding::latin1, "latin1"}};
  for (const auto& [encoding, name] : kOrder) {
    auto text = TextDecoding::decode(page.value().bytes, encoding);
    if (!text) continue;
    std::string out = "File: " + path + "\nSize: " + fsHumanSize(page.value().fileSize) +
                      "  Encoding: " + std::string(name) + "  Offset: " + std::to_string(offset);
    if (page.value().truncated()) out += Texts::kTruncated;
    return ToolResponse::text(out + "\n---\n" + *text);
  }
  return fail(ToolError::executionFailed(std::string(Texts::kCannotDecode)));
}

std::string fsHumanSize(std::int64_t bytes) {
  constexpr std::int64_t kKB = 1024;
  constexpr std::int64_t kMB = kKB * 1024;
  constexpr std::int64_t kGB = kMB * 1024;
  if (bytes < kKB) return std::to_string(bytes) + " B";
  const auto format = [](double value, const char* unit) {
    char text[64];
    std::snprintf(text, sizeof text, "%.1f %s", value, unit);
    return std::string(text);
  };
  if (bytes < kMB) return format(static_cast<double>(bytes) / kKB, "KB");
  if (bytes < kGB) return format(static_cast<double>(bytes) / kMB, "MB");
  return format(static_cast<double>(bytes) / kGB, "GB");
}

namespace FilesystemTools {

void registerTools(ToolRegistry& registry) {
  const ConfigManager& settings = *registry.context().settings;
  registry.registerTool({"fs_list", std::string(Texts::kListDescription),
                         schema({{"path", ToolSchema::path(Texts::kListPath)},
                                 {"show_hidden", property("boolean", Texts::kListShowHidden)}},
                                json::array()),
                         ToolKind::readOnly, withSettings(settings, fsList)});
  registry.registerTool({"fs_search", std::string(Texts::kSearchDescription),
                         schema({{"query", property("string", Texts::kSearchQuery)},
                                 {"root", ToolSchema::path(Texts::kSearchRoot)},
                                 {"max_results", property("integer", Texts::kSearchMaxResults)},
                                 {"file_type", property("string", Texts::kSearchFileType)}},
                                json::array({"query"})),
                         ToolKind::readOnly, withSettings(settings, fsSearch)});
  registry.registerTool({"fs_read", std::string(Texts::kReadDescription),
                         schema({{"path", ToolSchema::path(Texts::kReadPath)},
                                 {"offset", property("integer", Texts::kReadOffset)},
                                 {"max_bytes", property("integer", Texts::kReadMaxBytes)}},
                                json::array({"path"})),
                         ToolKind::readOnly, withSettings(settings, fsRead)});
}

}  // namespace FilesystemTools
}  // namespace tvrn
