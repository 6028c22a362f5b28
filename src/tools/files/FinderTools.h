// The OneDrive tools: the OneDrive folders mirrored on this computer (the mounts), the per-mount
// allowed folder of the onedrive_scopes setting that confines every OneDrive tool, and listing,
// reading, searching and describing files within it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/ConfigManager.h"
#include "core/ToolDefinition.h"
#include "core/ToolRegistry.h"
#include "tools/common/LocalFiles.h"

namespace tvrn {

struct OnedriveMount {
  std::string path;
  std::string name;  // the folder's last component: the key of its scope
};

// ~/OneDrive, "~/OneDrive - Personal", ~/Library/CloudStorage and its entries whose name holds
// "onedrive" (letter case ignored), in that order, where they are folders. Found afresh each call.
std::vector<OnedriveMount> discoverOnedriveRoots();

struct OnedrivePathCheck {
  bool allowed = true;
  std::string reason;  // empty when allowed; else the refusal text
};

// The scope rule with the setting and the mounts read once, for checking many paths alike. A
// path is judged where it really leads, by the innermost mount holding it; paths outside every
// mount are not restricted.
class OnedriveScopeRule {
 public:
  // onedrive_scopes as `settings` hold it now.
  static OnedriveScopeRule read(const ConfigManager& settings);
  OnedrivePathCheck check(const std::string& path) const;
  // The rule judged on what a reader holds open (LocalFiles' bound), so that a link put into the
  // path after check() looked at it leads no read outside the allowed folder. Refers to this rule.
  LocalFiles::OpenedRefusal bound() const;
  const std::vector<OnedriveMount>& mounts() const { return mounts_; }

 private:
  OnedrivePathCheck checkReal(const std::string& target) const;

  std::vector<OnedriveMount> mounts_;
  std::vector<std::string> realMounts_;  // each mount's real path, in the same order
  std::vector<std::pair<std::string, std::string>> scopes_;  // mount name, allowed folder
  std::string configShown_;                                  // the settings file a refusal names
};

// The rule as it stands now, for one path; the support tools' writes call this too.
OnedrivePathCheck isOnedrivePathAllowed(const ConfigManager& settings, const std::string& path);

namespace FinderTools {

// These do not check the scopes of the path they are given: callers check the path, and pass
// the rule's bound() to have what is opened judged again.
ToolResult listDirectory(const std::string& path, const LocalFiles::OpenedRefusal& bound = nullptr);
// encoding is lower-case: a known name forces that encoding, anything else tries utf8, cp1252,
// latin1 and ascii in turn.
ToolResult readTextFile(const std::string& path, const std::string& encoding, std::int64_t offset,
                        std::int64_t maxBytes, const LocalFiles::OpenedRefusal& bound = nullptr);
// Searches root, or every mount when there is none; hits the rule refuses are dropped.
ToolResult searchFiles(const std::string& query, const std::optional<std::string>& root,
                       std::int64_t maxResults, const OnedriveScopeRule& rule);
// Up to `remaining` hits below dir whose name holds the lower-cased query and which the rule
// allows; none when dir cannot be walked, with why in *refusal when dir was refused.
JSONValue::Array searchRecursive(const std::string& dir, const std::string& loweredQuery,
                                 std::int64_t remaining, const OnedriveScopeRule& rule,
                                 std::optional<ToolError>* refusal = nullptr);

// Adds onedrive_root, onedrive_list_files, onedrive_read_file, onedrive_search_files,
// onedrive_file_info (read-only) and onedrive_set_scope (write), in that order.
void registerTools(ToolRegistry& registry);

}  // namespace FinderTools
}  // namespace tvrn
