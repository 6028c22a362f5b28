// A home folder in which six AI clients are installed, each file in a state that a careless
// writer would damage: other servers to keep, a link to follow, a mode to keep, no file yet, a
// file with comments, and a folder where the file should be.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "platform/Paths.h"
#include "support/TestEnv.h"

namespace tvrn::test {

struct ClientHome {
  std::filesystem::path claude = Paths::underHome(".config/Claude/claude_desktop_config.json");
  std::filesystem::path cursorLink = Paths::underHome(".cursor/mcp.json");
  std::filesystem::path cursorTarget = Paths::underHome("dotfiles/cursor-mcp.json");
  std::filesystem::path windsurf = Paths::underHome(".codeium/windsurf/mcp_config.json");
  std::filesystem::path vscode = Paths::underHome(".vscode/mcp.json");
  std::filesystem::path zed = Paths::underHome(".config/zed/settings.json");
  std::filesystem::path claudeCode = Paths::underHome(".claude/settings.json");
  std::string zedText = "// editor settings\n{\n  \"theme\": \"One Dark\",\n}\n";

  ClientHome() {
    writeFile(claude, R"({"globalShortcut":"Ctrl+Space","mcpServers":{"zeta":{"command":"z"},)"
                      R"("alpha":{"command":"a","args":["1"]}}})");
    writeFile(cursorTarget, R"({"mcpServers":{}})");
    ::chmod(cursorTarget.c_str(), 0640);
    std::filesystem::create_directories(cursorLink.parent_path());
    std::filesystem::create_symlink("../dotfiles/cursor-mcp.json", cursorLink);
    writeFile(windsurf, R"({"mcpServers":{"other":{"command":"o"}}})");
    ::chmod(windsurf.c_str(), 0644);
    std::filesystem::create_directories(vscode.parent_path());
    writeFile(zed, zedText);
    std::filesystem::create_directories(claudeCode);  // unreadable as a file, even for root
  }

  static mode_t modeOf(const std::filesystem::path& file) {
    struct stat info {};
    ::stat(file.c_str(), &info);
    return info.st_mode & 07777;
  }
};

}  // namespace tvrn::test
