#include "tray/ClientConfigEditor.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <vector>

#include "core/Logger.h"
#include "platform/FileStore.h"
#include "platform/UserDefaults.h"

namespace tvrn::ClientConfigEditor {
namespace {

using ojson = nlohmann::ordered_json;

bool isOurs(std::string key) {
  std::transform(key.begin(), key.end(), key.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return key.find("tavrin") != std::string::npos || key.find("tvrn") != std::string::npos;
}

// Nothing but servers objects, all of them empty.
bool onlyEmptyServers(const ojson& config) {
  for (const auto& [key, value] : config.items()) {
    const bool servers = key == "mcpServers" || key == "servers" || key == "context_servers";
    if (!servers || !value.is_object() || !value.empty()) return false;
  }
  return true;
}

// A file of its own, not a link into somewhere the user keeps it.
bool isPlainFile(const std::filesystem::path& file) {
  std::error_code error;
  return std::filesystem::symlink_status(file, error).type() == std::filesystem::file_type::regular;
}

// Anything at the path, a dangling link too; what cannot be looked at counts as there.
bool isThere(const std::filesystem::path& file) {
  std::error_code error;
  return std::filesystem::symlink_status(file, error).type() !=
         std::filesystem::file_type::not_found;
}

std::string recorded(const std::filesystem::path& file) { return file.lexically_normal().string(); }

std::vector<std::string> createdFiles() {
  return UserDefaults::stringArrayForKey(kCreatedFilesKey).value_or(std::vector<std::string>{});
}

bool wasCreated(const std::filesystem::path& file) {
  const auto files = createdFiles();
  return std::find(files.begin(), files.end(), recorded(file)) != files.end();
}

// Unrecorded, the file counts as the user's and is never removed: a failed write errs that way.
void recordCreated(const std::filesystem::path& file) {
  if (wasCreated(file)) return;
  auto files = createdFiles();
  files.push_back(recorded(file));
  static_cast<void>(UserDefaults::setStringArray(kCreatedFilesKey, files));
}

void forgetCreated(const std::filesystem::path& file) {
  auto files = createdFiles();
  std::erase(files, recorded(file));
  static_cast<void>(UserDefaults::setStringArray(kCreatedFilesKey, files));
}

}  // namespace

std::string serversKey(const AIClientDef& client) {
  if (client.cfgSchema == "zed") return "context_servers";
  if (client.cfgSchema == "vscode") return "servers";
  return "mcpServers";
}

ojson entry(const AIClientDef& client, const std::string& command) {
  if (client.cfgSchema == "zed") return {{"command", {{"path", command}}}};
  if (client.cfgSchema == "vscode") return {{"type", "stdio"}, {"command", command}};
  return {{"command", command}};
}

std::optional<ojson> load(const std::filesystem::path& file) {
  FileStore::ReadError why;
  const auto text = FileStore::read(file, &why);
  if (!text) {
    if (why.missing) return ojson::object();
    return std::nullopt;
  }
  ojson config = ojson::parse(*text, nullptr, false);
  if (config.is_discarded() || !config.is_object()) return std::nullopt;
  return config;
}

bool save(const std::filesystem::path& file, const ojson& config) {
  // A link (a dotfiles repository) stays a link: the file it leads to is replaced.
  const auto followed = FileStore::throughLinks(file);
  if (!followed) {
    Logger::warn("tray", "Did not write " + file.string() + ": " + followed.error());
    return false;
  }
  const std::filesystem::path& target = followed.value();
  mode_t mode = 0600;
  if (struct stat info{}; ::stat(target.c_str(), &info) == 0) mode = info.st_mode & 07777;
  std::string bytes;
  try {
    bytes = config.dump(2) + "\n";
  } catch (const nlohmann::json::exception&) {
    return false;  // text that is not UTF-8 cannot be written as JSON
  }
  if (!FileStore::writeAtomic(target, bytes, mode)) return false;
  // Checked: what is on disk now must be what was meant.
  return FileStore::read(target) == bytes;
}

bool addEntry(const AIClientDef& client, const std::string& command) {
  const bool existed = isThere(client.cfgPath);
  auto config = load(client.cfgPath);
  if (!config) return false;
  const std::string key = serversKey(client);
  ojson servers = ojson::object();
  if (const auto found = config->find(key); found != config->end() && found->is_object()) {
    servers = *found;
  }
  servers[kServerKey] = entry(client, command);
  (*config)[key] = std::move(servers);
  if (!save(client.cfgPath, *config)) return false;
  if (!existed) recordCreated(client.cfgPath);
  return true;
}

bool removeOurs(const std::filesystem::path& file) {
  auto config = load(file);  // a missing file loads empty: nothing to remove, nothing written
  if (!config) return false;
  bool removed = false;
  for (const char* key : {"mcpServers", "servers", "context_servers"}) {
    const auto servers = config->find(key);
    if (servers == config->end() || !servers->is_object()) continue;
    std::vector<std::string> ours;
    for (const auto& [name, value] : servers->items()) {
      if (isOurs(name)) ours.push_back(name);
    }
    for (const auto& name : ours) servers->erase(name);
    removed = removed || !ours.empty();
  }
  if (!removed) return false;
  if (onlyEmptyServers(*config) && isPlainFile(file) && wasCreated(file)) {
    // All it held was our entry, in the file the set-up made: nothing of the user's is lost.
    std::error_code error;
    if (std::filesystem::remove(file, error)) {
      forgetCreated(file);
      return true;
    }
  }
  return save(file, *config);
}

}  // namespace tvrn::ClientConfigEditor
