// The AI client applications the system knows: where each keeps its MCP configuration on Linux,
// how its installation is recognised, and which of the tray's jobs visit it and in what order.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "status/AIClientDef.h"

namespace tvrn::AIClientCatalog {

// The jobs that walk the table, each in its own order.
enum class Job { autoConfig, section, repair, uninstall };

struct Client {
  AIClientDef def;  // paths already under the current home folder
  std::string icon;
  std::vector<std::string> apps;      // "<name>.app" bundles asked of the installed-apps probe
  std::vector<std::string> programs;  // a program of this name on PATH also means installed
  bool isCloudOnly() const { return def.cfgPath.empty(); }
};

// The clients a job visits, in that job's order, with paths under Paths::home() as it is now.
std::vector<Client> clients(Job job);

// The one client with this id (any job); an empty id when none has it.
Client find(const std::string& id);

// Any detect path exists (a dangling link counts: something is there), an app bundle is
// installed, or a program is on PATH.
bool isDetected(const Client& client);

// The file can be read and holds "tavrin" anywhere: the client already starts the system.
bool mentionsUs(const std::filesystem::path& cfgPath);

// "none" when no client with a local file is detected, "green" when a detected one's file
// mentions the system, else "yellow".
std::string health();

}  // namespace tvrn::AIClientCatalog
