#include "status/AIClientCatalog.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>

#include "base/Utf8.h"
#include "platform/FileStore.h"
#include "platform/InstalledApps.h"
#include "platform/Paths.h"

namespace tvrn::AIClientCatalog {
namespace {

// One row per client, in the order the popover lists them. A rank of 0 leaves the client out of
// that job; the others are the job's visiting order.
struct Row {
  const char* id;
  const char* name;
  const char* icon;
  const char* cfgPath;  // under the home folder; empty for a client reached only through the relay
  std::array<const char*, 2> detectPaths;  // under the home folder
  const char* cfgSchema;
  std::array<const char*, 1> apps;
  std::array<const char*, 1> programs;
  int autoConfigRank;
  int repairRank;
  int uninstallRank;
};

constexpr const char* kRooFolder = ".config/Code/User/globalStorage/rooveterinaryinc.roo-cline";

constexpr std::array<Row, 8> kRows{{
    {"claude",
     "Claude Desktop",
     "message",
     ".config/Claude/claude_desktop_config.json",
     {".config/Claude", nullptr},
     "mcpServers",
     {"Claude"},
     {nullptr},
     1,
     1,
     1},
    {"claude-code",
     "Claude Code",
     "terminal",
     ".claude/settings.json",
     {".claude", nullptr},
     "mcpServers",
     {nullptr},
     {"claude"},
     2,
     5,
     4},
    {"cursor",
     "Cursor",
     "cursorarrow.rays",
     ".cursor/mcp.json",
     {".cursor", nullptr},
     "mcpServers",
     {"Cursor"},
     {"cursor"},
     3,
     2,
     2},
    {"windsurf",
     "Windsurf",
     "wind",
     ".codeium/windsurf/mcp_config.json",
     {".codeium/windsurf", nullptr},
     "mcpServers",
     {"Windsurf"},
     {"windsurf"},
     4,
     3,
     3},
    {"vscode",
     "VS Code",
     "chevron.left.forwardslash.chevron.right",
     ".vscode/mcp.json",
     {".vscode", nullptr},
     "vscode",
     {"Visual Studio Code"},
     {"code"},
     5,
     4,
     5},
    {"roo-cline",
     "Roo-Cline",
     "chevron.left.forwardslash.chevron.right",
     ".config/Code/User/globalStorage/rooveterinaryinc.roo-cline/mcp_settings.json",
     {kRooFolder, nullptr},
     "mcpServers",
     {nullptr},
     {nullptr},
     0,
     0,
     6},
    {"zed",
     "Zed",
     "z.square",
     ".config/zed/settings.json",
     {".config/zed", nullptr},
     "zed",
     {"Zed"},
     {"zed"},
     6,
     6,
     7},
    {"chatgpt",
     "ChatGPT",
     "bubble.left.and.bubble.right",
     "",
     {".config/com.openai.chat", nullptr},
     "",
     {"ChatGPT"},
     {nullptr},
     0,
     0,
     0},
}};

int rank(const Row& row, Job job) {
  switch (job) {
    case Job::autoConfig:
      return row.autoConfigRank;
    case Job::repair:
      return row.repairRank;
    case Job::uninstall:
      return row.uninstallRank;
    case Job::section:
      break;
  }
  return 1;  // every row, in table order
}

Client client(const Row& row) {
  Client c;
  c.def.id = row.id;
  c.def.name = row.name;
  if (*row.cfgPath != '\0') c.def.cfgPath = Paths::underHome(row.cfgPath).string();
  for (const char* path : row.detectPaths) {
    if (path != nullptr) c.def.detectPaths.push_back(Paths::underHome(path).string());
  }
  c.def.cfgSchema = row.cfgSchema;
  c.icon = row.icon;
  for (const char* app : row.apps) {
    if (app != nullptr) c.apps.emplace_back(app);
  }
  for (const char* program : row.programs) {
    if (program != nullptr) c.programs.emplace_back(program);
  }
  return c;
}

bool exists(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

bool onPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  if (path == nullptr) return false;
  std::string_view rest(path);
  for (;;) {
    const auto colon = rest.find(':');
    const std::string folder(rest.substr(0, colon));
    if (!folder.empty() && ::access((folder + "/" + program).c_str(), X_OK) == 0) return true;
    if (colon == std::string_view::npos) break;
    rest.remove_prefix(colon + 1);
  }
  return false;
}

}  // namespace

std::vector<Client> clients(Job job) {
  std::vector<const Row*> rows;
  for (const Row& row : kRows) {
    if (rank(row, job) > 0) rows.push_back(&row);
  }
  std::stable_sort(rows.begin(), rows.end(),
                   [job](const Row* a, const Row* b) { return rank(*a, job) < rank(*b, job); });
  std::vector<Client> result;
  for (const Row* row : rows) result.push_back(client(*row));
  return result;
}

Client find(const std::string& id) {
  for (const Row& row : kRows) {
    if (id == row.id) return client(row);
  }
  return {};
}

bool isDetected(const Client& client) {
  return std::any_of(client.def.detectPaths.begin(), client.def.detectPaths.end(), exists) ||
         std::any_of(client.apps.begin(), client.apps.end(),
                     [](const std::string& app) { return InstalledApps::isInstalled(app); }) ||
         std::any_of(client.programs.begin(), client.programs.end(), onPath);
}

bool mentionsUs(const std::filesystem::path& cfgPath) {
  const auto text = FileStore::read(cfgPath);
  return text && Utf8::isValid(*text) && text->find("tavrin") != std::string::npos;
}

std::string health() {
  bool detected = false;
  for (const Client& c : clients(Job::section)) {
    if (c.isCloudOnly() || !isDetected(c)) continue;
    if (mentionsUs(c.def.cfgPath)) return "green";
    detected = true;
  }
  return detected ? "yellow" : "none";
}

}  // namespace tvrn::AIClientCatalog
