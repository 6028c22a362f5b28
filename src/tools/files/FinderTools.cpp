#include "tools/files/FinderTools.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>
#include <utility>

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
#include "tools/files/FilesystemTools.h"
#include "tools/files/FinderToolsTexts.h"

namespace tvrn {
namespace {

namespace Texts = FinderTexts;
using nlohmann::json;
using TextDecoding::Encoding;
using ToolSchema::property;
using ToolSchema::schema;

using Attempt = std::pair<std::string_view, Encoding>;

std::vector<Attempt> attemptsFor(const std::string& encoding) {
  if (encoding == "utf8" || encoding == "utf-8") return {{"utf8", Encoding::utf8}};
  if (encoding == "latin1" || encoding == "iso-8859-1" || encoding == "iso88591") {
    return {{"latin1", Encoding::latin1}};
  }
  if (encoding == "cp1252" || encoding == "windows-1252" || encoding == "win1252") {
    return {{"cp1252", Encoding::cp1252}};
  }
  if (encoding == "ascii") return {{"ascii", Encoding::ascii}};
  if (encoding == "utf16" || encoding == "utf-16") return {{"utf16", Encoding::utf16}};
  return {{"utf8", Encoding::utf8},
          {"cp1252", Encoding::cp1252},
          {"latin1", Encoding::latin1},
          {"ascii", Encoding::ascii}};
}

bool isObjectOfStrings(const json& value) {
  return value.is_object() &&
         std::all_of(value.begin(), value.end(), [](const json& v) { return v.is_string(); });
}

// onedrive_scopes as the settings in force hold it; an empty object when it is not an object of
// strings.
json scopesInForce(const ConfigManager& settings) {
  const json config = settings.load();
  const auto found = config.find("onedrive_scopes");
  if (found == config.end() || !isObjectOfStrings(*found)) return json::object();
  return *found;
}

std::string withLeadingSlash(const std::string& folder) {
  return folder.starts_with('/') ? folder : "/" + folder;
}

std::string listingHint(int error) {
  if (error == EACCES || error == EPERM) return std::string(Texts::kNoPermissionHint);
  if (error == ENOENT || error == ENOTDIR) return std::string(Texts::kGoneHint);
  return std::strerror(error);
}

JSONValue::Object hitObject(const std::string& path, const LocalFiles::EntryInfo& info) {
  return {{"name", LocalFiles::shownText(LocalFiles::lastComponent(path))},
          {"path", LocalFiles::shownText(path)},
          {"type", info.isDirectory ? "directory" : "file"},
          {"size", info.size}};
}

// The path checked, then `body` given the rule's bound, to judge again what it opens.
ToolResult checked(const ConfigManager& settings, const std::string& path,
                   const std::function<ToolResult(const LocalFiles::OpenedRefusal&)>& body) {
  if (auto refusal = LocalFiles::pathRefusal(path)) return fail(*refusal);
  const OnedriveScopeRule rule = OnedriveScopeRule::read(settings);
  const OnedrivePathCheck check = rule.check(path);
  if (!check.allowed) return fail(ToolError::executionFailed(check.reason));
  return body(rule.bound());
}

ToolResult fileInfo(const std::string& path, const LocalFiles::OpenedRefusal& bound) {
  const auto info = LocalFiles::infoNamed(path, bound);
  if (!info && info.error().refusal) return fail(*info.error().refusal);
  if (!info && info.error().missing) return fail(ToolError::resourceNotFound(path));
  if (!info) return fail(ToolError::executionFailed("Cannot read file attributes: " + path));
  return ToolResponse::json(
      JSONValue::Object{{"name", LocalFiles::shownText(LocalFiles::lastComponent(path))},
                        {"path", LocalFiles::shownText(path)},
                        {"type", info.value().isDirectory ? "directory" : "file"},
                        {"extension", LocalFiles::extensionOf(path)},
                        {"size", info.value().size},
                        {"size_human", fsHumanSize(info.value().size)},
                        {"modified", info.value().modified},
                        {"created", info.value().created}});
}

// One locked read-change-write of the user's file, starting from its own scopes (else those in
// force), so a change made meanwhile by another call is kept.
ToolResult applyScope(const ConfigManager& settings, const std::string& rootName,
                      const std::string& folder) {
  const json inForce = scopesInForce(settings);
  const bool written = ConfigManager::updateUserFile(settings.configPath(), [&](json& user) {
    const auto own = user.find("onedrive_scopes");
    json scopes = own != user.end() && isObjectOfStrings(*own) ? *own : inForce;
    if (folder.empty()) {
      scopes.erase(rootName);
    } else {
      scopes[rootName] = withLeadingSlash(folder);
    }
    user["onedrive_scopes"] = std::move(scopes);
  });
  if (!written) {
    return fail(ToolError::executionFailed(std::string(Texts::kCannotSave) +
                                           settings.configPath().string()));
  }
  if (folder.empty()) {
    return ToolResponse::json(
        JSONValue::Object{{"scope_removed", true}, {"root", rootName}, {"access", "unrestricted"}});
  }
  return ToolResponse::json(
      JSONValue::Object{{"scope_set", true},
                        {"root", rootName},
                        {"allowed_folder", folder},
                        {"effect", "All OneDrive tools now restricted to " + rootName + folder}});
}

ToolResult onedriveRoot(const Params::Arguments&) {
  JSONValue::Array roots;
  for (const OnedriveMount& mount : discoverOnedriveRoots()) {
    roots.emplace_back(JSONValue::Object{{"path", LocalFiles::shownText(mount.path)},
                                         {"name", LocalFiles::shownText(mount.name)}});
  }
  return ToolResponse::json(JSONValue::Object{{"roots", std::move(roots)}});
}

ToolResult onedriveList(const ConfigManager& settings, const Params::Arguments& arguments) {
  return Params::withRequired("path", arguments, [&](const std::string& path) {
    return checked(settings, path, [&](const LocalFiles::OpenedRefusal& bound) {
      return FinderTools::listDirectory(path, bound);
    });
  });
}

ToolResult onedriveRead(const ConfigManager& settings, const Params::Arguments& arguments) {
  return Params::withRequired("path", arguments, [&](const std::string& path) {
    return checked(settings, path, [&](const LocalFiles::OpenedRefusal& bound) {
      const std::string encoding =
          Utf8::lowercased(Params::optional("encoding", arguments, "auto"));
      const LocalFiles::PageRequest page = LocalFiles::pageRequest(arguments);
      return FinderTools::readTextFile(path, encoding, page.offset, page.maxBytes, bound);
    });
  });
}

ToolResult onedriveSearch(const ConfigManager& settings, const Params::Arguments& arguments) {
  return Params::withRequired("query", arguments, [&](const std::string& query) -> ToolResult {
    const std::string root = Params::optional("root", arguments, "");
    const std::int64_t maxResults = Params::optionalInt("max_results", arguments, 50);
    const OnedriveScopeRule rule = OnedriveScopeRule::read(settings);
    if (root.empty()) return FinderTools::searchFiles(query, std::nullopt, maxResults, rule);
    if (auto refusal = LocalFiles::pathRefusal(root)) return fail(*refusal);
    const OnedrivePathCheck check = rule.check(root);
    if (!check.allowed) return fail(ToolError::executionFailed(check.reason));
    return FinderTools::searchFiles(query, root, maxResults, rule);
  });
}

ToolResult onedriveFileInfo(const ConfigManager& settings, const Params::Arguments& arguments) {
  return Params::withRequired("path", arguments, [&](const std::string& path) {
    return checked(settings, path,
                   [&](const LocalFiles::OpenedRefusal& bound) { return fileInfo(path, bound); });
  });
}

ToolResult onedriveSetScope(const ConfigManager& settings, const Params::Arguments& arguments) {
  return Params::withRequired(
      "root_name", arguments, [&](const std::string& rootName) -> ToolResult {
        const std::string folder = Params::optional("folder", arguments, "");
        const std::vector<OnedriveMount> mounts = discoverOnedriveRoots();
        const bool known = std::any_of(mounts.begin(), mounts.end(),
                                       [&](const OnedriveMount& m) { return m.name == rootName; });
        if (!known) {
          std::string names;
          for (const OnedriveMount& mount : mounts)
            names += (names.empty() ? "" : ", ") + mount.name;
          return fail(ToolError::invalidParam("root_name", "one of: " + names));
        }
        if (!Params::optionalBool("confirm", arguments, false)) {
          if (folder.empty()) {
            return ToolResponse::text("Preview — remove scope restriction for '" + rootName +
                                      "' (full access). Call again with confirm: true");
          }
          return ToolResponse::text("Preview — restrict '" + rootName + "' access to '" + folder +
                                    "' only. All tools will be blocked outside this folder. Call "
                                    "again with confirm: true");
        }
        return applyScope(settings, rootName, folder);
      });
}

}  // namespace

std::vector<OnedriveMount> discoverOnedriveRoots() {
  const std::string cloudStorage = Paths::underHome("Library/CloudStorage").string();
  std::vector<std::string> candidates{Paths::underHome("OneDrive").string(),
                                      Paths::underHome("OneDrive - Personal").string(),
                                      cloudStorage};
  if (auto names = LocalFiles::entriesOf(cloudStorage); names.ok()) {
    for (const std::string& name : names.value()) {
      if (Utf8::lowercased(name).find("onedrive") != std::string::npos) {
        candidates.push_back(LocalFiles::childPath(cloudStorage, name));
      }
    }
  }
  std::vector<OnedriveMount> mounts;
  for (const std::string& candidate : candidates) {
    if (LocalFiles::isDirectory(candidate)) {
      mounts.push_back({candidate, LocalFiles::lastComponent(candidate)});
    }
  }
  return mounts;
}

OnedriveScopeRule OnedriveScopeRule::read(const ConfigManager& settings) {
  OnedriveScopeRule rule;
  const json scopes = scopesInForce(settings);
  rule.configShown_ = Paths::withTilde(settings.configPath());
  for (const auto& [name, folder] : scopes.items()) {
    rule.scopes_.emplace_back(name, folder.get<std::string>());
  }
  rule.mounts_ = discoverOnedriveRoots();
  for (const OnedriveMount& mount : rule.mounts_) {
    rule.realMounts_.push_back(PathResolver::resolve(mount.path));
  }
  return rule;
}

OnedrivePathCheck OnedriveScopeRule::check(const std::string& path) const {
  if (scopes_.empty() || mounts_.empty()) return {};
  return checkReal(PathResolver::resolve(path));
}

LocalFiles::OpenedRefusal OnedriveScopeRule::bound() const {
  return [this](int opened) -> std::optional<ToolError> {
    if (scopes_.empty() || mounts_.empty()) return std::nullopt;
    const auto held = PathResolver::openPath(opened);
    const OnedrivePathCheck check =
        held ? checkReal(*held)
             : OnedrivePathCheck{false, std::string(Texts::kPlaceUnknown) +
                                            std::string(Texts::kChangeScopes) + configShown_};
    if (check.allowed) return std::nullopt;
    return ToolError::executionFailed(check.reason);
  };
}

// The rule for a path already resolved: where it really is.
OnedrivePathCheck OnedriveScopeRule::checkReal(const std::string& target) const {
  // The innermost mount: a OneDrive folder inside CloudStorage is judged by its own scope.
  std::optional<std::size_t> best;
  for (std::size_t i = 0; i < mounts_.size(); ++i) {
    if (!PathResolver::isWithin(target, realMounts_[i])) continue;
    if (!best || realMounts_[i].size() > realMounts_[*best].size()) best = i;
  }
  if (!best) return {};
  const std::string& mountReal = realMounts_[*best];
  const std::string& name = mounts_[*best].name;
  const auto scope = std::find_if(scopes_.begin(), scopes_.end(),
                                  [&](const auto& entry) { return entry.first == name; });
  if (scope == scopes_.end() || target == mountReal) return {};

  const std::string folder = withLeadingSlash(scope->second);
  const std::string standardFolder = PathResolver::standardize(folder);
  const std::string allowedReal =
      PathResolver::resolve(standardFolder == "/" ? mountReal : mountReal + standardFolder);
  if (PathResolver::isWithin(target, allowedReal)) return {};
  const std::string relative = mountReal == "/" ? target : target.substr(mountReal.size());
  return {false, "Access restricted to '" + name + folder + "' by your TVRN config. Path '" +
                     relative + "' is outside the allowed scope. " +
                     std::string(Texts::kChangeScopes) + configShown_};
}

OnedrivePathCheck isOnedrivePathAllowed(const ConfigManager& settings, const std::string& path) {
  return OnedriveScopeRule::read(settings).check(path);
}

namespace FinderTools {

ToolResult listDirectory(const std::string& path, const LocalFiles::OpenedRefusal& bound) {
  auto listed = LocalFiles::listNamed(path, false, SIZE_MAX, bound);
  if (!listed) {
    const std::string hint = listingHint(listed.error().error);
    return fail(LocalFiles::listingFailure(path, listed.error(),
                                           "Cannot list directory: " + path + " — " + hint));
  }
  std::vector<LocalFiles::Listed>& entries = listed.value();
  std::sort(entries.begin(), entries.end(),
            [](const auto& a, const auto& b) { return a.name < b.name; });
  JSONValue::Array items;
  for (const LocalFiles::Listed& listedEntry : entries) {
    if (!listedEntry.info) continue;
    JSONValue::Object entry =
        hitObject(LocalFiles::childPath(path, listedEntry.name), *listedEntry.info);
    entry["modified"] = listedEntry.info->modified;
    items.emplace_back(std::move(entry));
  }
  const std::size_t count = items.size();
  return ToolResponse::json(JSONValue::Object{{"items", std::move(items)}, {"count", count}});
}

ToolResult readTextFile(const std::string& path, const std::string& encoding, std::int64_t offset,
                        std::int64_t maxBytes, const LocalFiles::OpenedRefusal& bound) {
  if (!Texts::kReadableExtensions.contains(LocalFiles::extensionOf(path))) {
    return fail(ToolError::invalidParam("path", std::string(Texts::kNotText)));
  }
  auto page = LocalFiles::readPage(path, offset, maxBytes, bound);
  if (!page.ok()) return fail(page.error());
  const LocalFiles::Page& read = page.value();
  std::string tried;
  for (const auto& [name, attempt] : attemptsFor(encoding)) {
    tried += (tried.empty() ? "" : ", ") + std::string(name);
    auto text = TextDecoding::decode(read.bytes, attempt);
    if (!text) continue;
    std::string out = "File: " + path + "\nEncoding: " + std::string(name) +
                      "  Bytes: " + std::to_string(read.bytes.size()) + "/" +
                      std::to_string(read.fileSize) + "  Offset: " + std::to_string(offset);
    if (read.truncated()) out += Texts::kTruncated;
    return ToolResponse::text(out + "\n---\n" + *text);
  }
  return fail(ToolError::executionFailed(std::string(Texts::kCannotDecodeStart) + tried +
                                         std::string(Texts::kCannotDecodeEnd)));
}

ToolResult searchFiles(const std::string& query, const std::optional<std::string>& root,
                       std::int64_t maxResults, const OnedriveScopeRule& rule) {
  std::vector<std::string> dirs;
  if (root) {
    dirs.push_back(*root);
  } else {
    const std::vector<OnedriveMount>& mounts = rule.mounts();
    if (mounts.empty()) return fail(ToolError::resourceNotFound(std::string(Texts::kNoMounts)));
    for (const OnedriveMount& mount : mounts) dirs.push_back(mount.path);
  }
  const std::string needle = Utf8::lowercased(query);
  JSONValue::Array results;
  std::optional<ToolError> refusal;  // of a root the caller named
  for (const std::string& dir : dirs) {
    const auto held = static_cast<std::int64_t>(results.size());
    if (held >= maxResults) break;
    for (JSONValue& hit :
         searchRecursive(dir, needle, maxResults - held, rule, root ? &refusal : nullptr)) {
      results.push_back(std::move(hit));
    }
  }
  if (refusal) return fail(*refusal);
  const std::size_t count = results.size();
  return ToolResponse::json(JSONValue::Object{
      {"results", std::move(results)}, {"count", count}, {"query", LocalFiles::shownText(query)}});
}

JSONValue::Array searchRecursive(const std::string& dir, const std::string& loweredQuery,
                                 std::int64_t remaining, const OnedriveScopeRule& rule,
                                 std::optional<ToolError>* refusal) {
  JSONValue::Array hits;
  if (remaining <= 0) return hits;
  const auto walked =
      LocalFiles::walk(dir, {.enterPackages = true}, [&](const LocalFiles::WalkEntry& entry) {
        if (static_cast<std::int64_t>(hits.size()) >= remaining) return false;
        if (!LocalFiles::nameContains(entry.name, loweredQuery)) return true;
        // Judged by where the entry is, which the walk's descriptors hold, not by its path again.
        if (!rule.check(LocalFiles::childPath(entry.folder.realPath(), entry.name)).allowed) {
          return true;
        }
        hits.emplace_back(hitObject(
            entry.path,
            LocalFiles::entryInfo(entry.folder, entry.name).value_or(LocalFiles::EntryInfo{})));
        return true;
      });
  if (!walked && refusal != nullptr) *refusal = walked.error().refusal;
  return hits;
}

void registerTools(ToolRegistry& registry) {
  ToolRegistry::ServiceScope scope(registry, "onedrive");
  const ConfigManager& settings = *registry.context().settings;
  registry.registerTool({"onedrive_root", std::string(Texts::kRootDescription),
                         schema(json::object(), json::array()), ToolKind::readOnly, onedriveRoot});
  registry.registerTool(
      {"onedrive_list_files", std::string(Texts::kListDescription),
       schema({{"path", ToolSchema::path(Texts::kListPath)}}, json::array({"path"})),
       ToolKind::readOnly, withSettings(settings, onedriveList)});
  registry.registerTool({"onedrive_read_file", std::string(Texts::kReadDescription),
                         schema({{"path", ToolSchema::path(Texts::kReadPath)},
                                 {"encoding", property("string", Texts::kReadEncoding)},
                                 {"offset", property("integer", Texts::kReadOffset)},
                                 {"max_bytes", property("integer", Texts::kReadMaxBytes)}},
                                json::array({"path"})),
                         ToolKind::readOnly, withSettings(settings, onedriveRead)});
  registry.registerTool({"onedrive_search_files", std::string(Texts::kSearchDescription),
                         schema({{"query", property("string", Texts::kSearchQuery)},
                                 {"root", ToolSchema::path(Texts::kSearchRoot)},
                                 {"max_results", property("integer", Texts::kSearchMaxResults)}},
                                json::array({"query"})),
                         ToolKind::readOnly, withSettings(settings, onedriveSearch)});
  registry.registerTool(
      {"onedrive_file_info", std::string(Texts::kInfoDescription),
       schema({{"path", ToolSchema::path(Texts::kInfoPath)}}, json::array({"path"})),
       ToolKind::readOnly, withSettings(settings, onedriveFileInfo)});
  registry.registerTool({"onedrive_set_scope", std::string(Texts::kScopeDescription),
                         schema({{"root_name", property("string", Texts::kScopeRootName)},
                                 {"folder", ToolSchema::path(Texts::kScopeFolder)},
                                 {"confirm", property("boolean", Texts::kScopeConfirm)}},
                                json::array({"root_name"})),
                         ToolKind::write, withSettings(settings, onedriveSetScope)});
}

}  // namespace FinderTools
}  // namespace tvrn
