// Removing the system from this user's account: the reason goes to the back end as feedback, the
// system's entries leave the AI clients' files, the autostart entry, running stdio servers and
// the system's folders go, and the tray quits a second later. Nothing outside HOME is touched,
// and the user's calendars, reminders and contacts in the default folders stay.
#pragma once

#include <QObject>
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "tray/ServerStatus.h"
#include "tray/TrayScheduler.h"

namespace tvrn::Uninstaller {

inline constexpr std::chrono::seconds kQuitDelay{1};

// Which programs are run (bare names are looked up on PATH), and what stops the server this
// process hosts and everything of the tray that writes into the system's folders.
struct Settings {
  std::string pkill = "pkill";
  std::function<void()> stopWriters;
};

// The feedback record for the typed reason and the status the tray last had.
nlohmann::json feedback(const std::string& reason, const std::optional<ServerStatus>& status);

// ${XDG_CONFIG_HOME:-~/.config}/autostart/tavrin-tray.desktop
std::filesystem::path autostartEntry();

// Where the default calendar, reminder and contact folders stay after the uninstall, written
// for the user ("~/.config/tavrin/pim").
std::string keptDataFolder();

// Removes the item (a link itself, never what it points to) and everything inside it, only when
// it lies strictly below an absolute HOME other than "/". False when refused or it failed.
[[nodiscard]] bool removeBelowHome(const std::filesystem::path& item);

// Every step in order, each best effort: the feedback, the clients' entries, the autostart
// entry, the stdio servers, then the writers stopped, then the folders removed; `quit` runs
// kQuitDelay later on the scheduler, after a last sweep of the folders.
void perform(const std::string& reason, const std::optional<ServerStatus>& status,
             TrayScheduler& scheduler, QObject* context, std::function<void()> quit,
             const Settings& settings = {});

}  // namespace tvrn::Uninstaller
