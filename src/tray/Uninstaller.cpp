#include "tray/Uninstaller.h"

#include <unistd.h>

#include <QSysInfo>
#include <cstdlib>

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

// Uninstalling removes what it can: a part that stays is no reason to keep the rest.
void removeFolders() {
  for (const auto& folder :
       {Paths::localShare() / "tray", Paths::localShare(), Paths::appSupport()}) {
    static_cast<void>(removeBelowHome(folder));
  }
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
