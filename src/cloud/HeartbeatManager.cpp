#include "cloud/HeartbeatManager.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <string_view>
#include <utility>

#include "core/ToolCallCounter.h"
#include "platform/Timestamp.h"

namespace tvrn {
namespace {

// The Linux process names of the AI clients that start the server, compared case-insensitively
// with the kernel's command name and the program's file name.
constexpr std::array<std::pair<std::string_view, std::string_view>, 10> kClientByProcessName{{
    {"claude-desktop", "Claude Desktop"},
    {"claude", "Claude Code"},
    {"cursor", "Cursor"},
    {"windsurf", "Windsurf"},
    {"code", "VS Code"},
    {"code-oss", "VS Code"},
    {"codium", "VS Code"},
    {"zed", "Zed"},
    {"zed-editor", "Zed"},
    {"zeditor", "Zed"},
}};

bool sameName(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](unsigned char x, unsigned char y) {
    return std::tolower(x) == std::tolower(y);
  });
}

std::optional<std::string> clientOf(const ProcessInfo::Entry& process) {
  for (const auto& [processName, client] : kClientByProcessName) {
    if (sameName(process.command, processName) || sameName(process.executable, processName)) {
      return std::string(client);
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> HeartbeatManager::clientAmong(
    const std::vector<ProcessInfo::Entry>& processes) {
  for (const auto& process : processes) {
    if (auto client = clientOf(process)) return client;
  }
  return std::nullopt;
}

const std::string& HeartbeatManager::aiClient() {
  static const std::string client = [] {
    if (ToolCallCounter::isDaemon()) return std::string("TVRN Tray");
    return clientAmong(ProcessInfo::ancestors(ProcessInfo::selfPid())).value_or("CLI");
  }();
  return client;
}

const std::string& HeartbeatManager::startedAt() {
  static const std::string started = Timestamp::iso8601UTC();
  return started;
}

}  // namespace tvrn
