// The catalogue of the tray's notifications: what each says, under which identifier, how often
// it may come (throttles kept in the user defaults) and which pulse follows it.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tray/Notifier.h"
#include "tray/ServerStatus.h"
#include "tray/TrayScheduler.h"

namespace tvrn {

class ConfigManager;

class TrayNotifications {
 public:
  using Pulse = std::function<void(const std::string& source)>;

  static constexpr const char* kNudgeKey = "first_tool_call_nudge_last_shown";
  static constexpr const char* kRegressionKey = "tvrn_tcc_regression_notif_last_shown";
  static constexpr const char* kDeniedKey = "tvrn_tcc_denied_notif_last_shown";
  static constexpr const char* kPermissionKey = "tvrn_tcc_permission_nudge_last_shown";
  static constexpr std::chrono::seconds kDay{86400};
  static constexpr std::chrono::seconds kWeek{604800};

  // `settings` name the AI clients seen, which the setup nudge picks its client from.
  TrayNotifications(Notifier& notifier, TrayScheduler& scheduler, Pulse pulse,
                    const ConfigManager& settings);

  void showSetupNudge(const std::optional<ServerStatus>& status);
  void showApproval(const PendingApproval& approval);
  void showTCCRegression();
  void showTCCDenied(const std::set<std::string>& services);
  void showTCCPermission(const std::set<std::string>& services);
  void showClientsConfigured(const std::vector<std::string>& names);
  // Access came back: the permission-denied notifications go.
  void removeDenied();

  // The settings page of the first of the sorted services that has one.
  static std::string settingsURL(const std::set<std::string>& services);

 private:
  // False while the last showing under the key is younger than the period; otherwise records
  // now as the last showing.
  bool passThrottle(const char* key, std::chrono::seconds period);
  void postIfAuthorized(const Notification& notification);

  Notifier& notifier_;
  TrayScheduler& scheduler_;
  Pulse pulse_;
  const ConfigManager& settings_;
};

}  // namespace tvrn
