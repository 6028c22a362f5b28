// The local file tools: a guard that keeps paths inside the allowed roots (the home folder and
// the fs_allowed_roots setting), and listing, name search and paged text reading on top of it.
// The chat studio calls the functions directly; start-up does not offer the tools to clients.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/ConfigManager.h"
#include "core/ToolDefinition.h"
#include "core/ToolRegistry.h"

namespace tvrn {

struct FSSecurityResult {
  bool allowed = false;
  std::string reason;  // empty when allowed; else the denial text
};

// Whether the path (absolute, or relative to the working directory) really lies within an
// allowed root once links, "." and ".." are resolved on both sides, and not inside the system's
// own folders. `settings` are read afresh.
FSSecurityResult fsSecurity(const ConfigManager& settings, const std::string& path);

// These do not check the allowed roots: callers run fsSecurity first.
ToolResult fsListDirectory(const std::string& path, bool showHidden);
ToolResult fsSearchFiles(const std::string& query, const std::string& root, std::int64_t maxResults,
                         const std::optional<std::string>& fileType);
ToolResult fsReadTextFile(const std::string& path, std::int64_t offset, std::int64_t maxBytes);

// 1024-based: "512 B", "1.5 KB", "2.0 MB", "1.0 GB".
std::string fsHumanSize(std::int64_t bytes);

namespace FilesystemTools {

// Adds fs_list, fs_search and fs_read (read-only), in that order.
void registerTools(ToolRegistry& registry);

}  // namespace FilesystemTools
}  // namespace tvrn
