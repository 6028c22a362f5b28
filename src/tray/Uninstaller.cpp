#include "tray/Uninstaller.h"

#include <unistd.h>

#include <QSysInfo>
#include <algorithm>
#include <cstdlib>
#include <vector>

#include "base/Utf8.h"
#include "platform/FileStore.h"
#include "platform/Paths.h"
#include "platform/Subprocess.h"
#include "status/AIClientCatalog.h"
#include "tray/ClientConfigEditor.h"
#include "tray/TrayHttp.h"

namespace tvrn::Uninstaller {
namespace {

std::string trimmed(std::string_view text) {
  return std::string(Utf8::trim(text, Utf8::isWhiteSpace));
}

std::optional<std::string> readTrimmed(const char* relative) {
  const auto text = FileStore::read(Paths::localShare() / relative);
  if (!text) return std::nullopt;
  return trimmed(*text);
}

std::string machineId(const std::optional<ServerStatus>& status) {
  std::string id = status && status->machineId ? trimmed(*status->machineId) : "unknown";
  if (id == "unknown" || id.empty()) {
    if (auto stored = readTrimmed("bin/.machine-id")) id = std::move(*stored);
  }
  return id;
}

// Only this user's processes named exactly so: a process that merely mentions the name in its
// arguments is left alone. Waited for, so that none of them is left to start a server again.
void endStdioServers(const Settings& settings) {
  SpawnOptions pkill({settings.pkill, "-U", std::to_string(::getuid()), "-x", "tavrin-server"});
  pkill.searchPath = true;
  RunOptions run;
  run.timeout = std::chrono::seconds(5);
  (void)Subprocess::run(pkill, run);
}

// Below `item`, not `item` itself.
bool liesBelow(const std::filesystem::path& path, const std::filesystem::path& item) {
  const auto relative = path.lexically_relative(item);
  return !relative.empty() && relative != "." && *relative.begin() != "..";
}

// Removes `item` and everything in it but the paths `kept` names, and the folders that lead to
// them; a folder left empty goes too. True when something was kept. A link is never followed.
bool removeAllBut(const std::filesystem::path& item,
                  const std::vector<std::filesystem::path>& kept) {
  std::error_code error;
  const auto type = std::filesystem::symlink_status(item, error).type();
  if (type == std::filesystem::file_type::not_found) return false;
  if (std::find(kept.begin(), kept.end(), item) != kept.end()) return true;
  const bool leadsToKept = type == std::filesystem::file_type::directory &&
                           std::any_of(kept.begin(), kept.end(),
                                       [&](const auto& path) { return liesBelow(path, item); });
  bool keptAny = false;
  if (leadsToKept) {
    std::vector<std::filesystem::path> entries;
    for (std::filesystem::directory_iterator it(item, error), end; !error && it != end;
         it.increment(error)) {
      entries.push_back(it->path());
    }
    // What could not be listed may be what is kept: the folder stays.
    keptAny = static_cast<bool>(error);
    for (const auto& entry : entries) keptAny = removeAllBut(entry, kept) || keptAny;
  }
  if (!keptAny) static_cast<void>(removeBelowHome(item));
  return keptAny;
}

// Uninstalling removes what it can: a part that stays is no reason to keep the rest. The user's
// own calendars, reminder lists and address books in the default folders stay, with the record of
// which of them new items go to; the access decisions go with the settings.
void removeFolders() {
  for (const auto& folder : {Paths::localShare() / "tray", Paths::localShare()}) {
    static_cast<void>(removeBelowHome(folder));
  }
  const auto support = Paths::appSupport().lexically_normal();
  static_cast<void>(
      removeAllBut(support, {support / "pim" / "calendars", support / "pim" / "contacts",
                             support / "pim" / "defaults.json"}));
}

}  // namespace

nlohmann::json feedback(const std::string& reason, const std::optional<ServerStatus>& status) {
  return {{"message", "Uninstall: " + trimmed(reason)},
          {"type", "uninstall"},
          {"source", "tray"},
          {"version", status ? status->version : "unknown"},
          {"machine_id", machineId(status)},
          {"email", readTrimmed("bin/.email").value_or("")},
          {"os_version", QSysInfo::prettyProductName().toStdString()}};
}

std::filesystem::path autostartEntry() {
  const char* configHome = std::getenv("XDG_CONFIG_HOME");
  const std::filesystem::path base = configHome != nullptr && *configHome == '/'
                                         ? std::filesystem::path(configHome)
                                         : Paths::underHome(".config");
  return base / "autostart" / "tavrin-tray.desktop";
}

std::string keptDataFolder() {
  const auto folder = (Paths::appSupport() / "pim").lexically_normal();
  const auto home = Paths::home().lexically_normal();
  if (liesBelow(folder, home)) return "~/" + folder.lexically_relative(home).string();
  return folder.string();
}

bool removeBelowHome(const std::filesystem::path& item) {
  const char* homeVariable = std::getenv("HOME");
  if (homeVariable == nullptr) return false;
  const auto home = std::filesystem::path(homeVariable).lexically_normal();
  if (!home.is_absolute() || home == home.root_path()) return false;
  const auto target = item.lexically_normal();
  const auto relative = target.lexically_relative(home);
  if (relative.empty() || relative == "." || *relative.begin() == "..") return false;
  std::error_code error;
  std::filesystem::remove_all(target, error);  // removes a link, never what it points to
  return !error;
}

void perform(const std::string& reason, const std::optional<ServerStatus>& status,
             TrayScheduler& scheduler, QObject* context, std::function<void()> quit,
             const Settings& settings) {
  TrayHttp::shared().postJSON(TrayRoutes::uninstallFeedback, feedback(reason, status), context,
                              [](const TrayHttp::Reply&) {});
  for (const auto& client : AIClientCatalog::clients(AIClientCatalog::Job::uninstall)) {
    static_cast<void>(ClientConfigEditor::removeOurs(client.def.cfgPath));  // as removeFolders
  }
  static_cast<void>(removeBelowHome(autostartEntry()));
  endStdioServers(settings);
  // Nothing may write the folders again once they are gone.
  if (settings.stopWriters) settings.stopWriters();
  removeFolders();
  scheduler.after(kQuitDelay, context, [quit = std::move(quit)] {
    // Whatever a background job still had under way when the writers stopped.
    removeFolders();
    quit();
  });
}

}  // namespace tvrn::Uninstaller
