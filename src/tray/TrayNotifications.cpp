#include "tray/TrayNotifications.h"

#include <algorithm>
#include <cctype>

#include "base/Strings.h"
#include "core/ConfigManager.h"
#include "platform/UserDefaults.h"
#include "tray/NotificationTexts.h"

namespace tvrn {
namespace {

namespace texts = NotificationTexts;

std::string capitalized(std::string word) {
  if (!word.empty()) word[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(word[0])));
  return word;
}

std::vector<std::string> capitalizedAll(const std::set<std::string>& services) {
  std::vector<std::string> names;
  for (const auto& service : services) names.push_back(capitalized(service));
  return names;
}

std::vector<std::string> seenClients(const ConfigManager& settings) {
  const auto seen = settings.load().value("clients_seen_ids", nlohmann::json());
  std::vector<std::string> ids;
  if (!seen.is_array()) return ids;
  for (const auto& id : seen) {
    if (!id.is_string()) return {};
    ids.push_back(id.get<std::string>());
  }
  return ids;
}

const texts::NudgeClient* chosenClient(const ConfigManager& settings) {
  const auto seen = seenClients(settings);
  for (const auto& client : texts::kNudgeClients) {
    if (std::find(seen.begin(), seen.end(), client.id) != seen.end()) return &client;
  }
  return nullptr;
}

Notification notice(std::string identifier, std::string title, std::string body) {
  Notification notification;
  notification.identifier = std::move(identifier);
  notification.title = std::move(title);
  notification.body = std::move(body);
  return notification;
}

}  // namespace

TrayNotifications::TrayNotifications(Notifier& notifier, TrayScheduler& scheduler, Pulse pulse,
                                     const ConfigManager& settings)
    : notifier_(notifier), scheduler_(scheduler), pulse_(std::move(pulse)), settings_(settings) {}

bool TrayNotifications::passThrottle(const char* key, std::chrono::seconds period) {
  const double now = std::chrono::duration<double>(scheduler_.now().time_since_epoch()).count();
  const double last = UserDefaults::doubleForKey(key);
  if (last > 0 && now - last < static_cast<double>(period.count())) return false;
  // Unstored, the throttle still holds for this run through the notices already shown.
  static_cast<void>(UserDefaults::setDouble(key, now));
  return true;
}

void TrayNotifications::postIfAuthorized(const Notification& notification) {
  if (notifier_.isAuthorized()) notifier_.post(notification);
}

void TrayNotifications::showSetupNudge(const std::optional<ServerStatus>& status) {
  if (!passThrottle(kNudgeKey, kDay)) return;
  const std::string level =
      status && status->aiClientHealth ? *status->aiClientHealth : std::string("yellow");
  const auto* client = chosenClient(settings_);
  auto nudge = notice("tvrn-first-tool-nudge", "", "");
  if (level == "green") {
    nudge.title = texts::kReadyTitle;
    nudge.body = std::string(client ? client->restartHint : texts::kReadyFallbackHint) +
                 std::string(texts::kReadyTail);
  } else if (level == "yellow") {
    const std::string name(client ? client->name : texts::kUnknownClient);
    nudge.title = std::string(texts::kConnectTitle) + name;
    nudge.body = name + std::string(texts::kConnectTail);
  } else {
    nudge.title = texts::kRunningTitle;
    nudge.body = std::string(texts::kInstallClaudeHead) + std::string(texts::kClaudeDownloadURL) +
                 std::string(texts::kInstallClaudeTail);
  }
  notifier_.post(nudge);
  pulse_("local");
}

void TrayNotifications::showApproval(const PendingApproval& approval) {
  const std::string client = approval.clientName.empty()
                                 ? std::string(texts::kUnknownApprovalClient)
                                 : approval.clientName;
  notifier_.post(notice("tvrn-approval-" + approval.requestId, std::string(texts::kApprovalTitle),
                        client + std::string(texts::kApprovalTail)));
  pulse_("cloud");
}

void TrayNotifications::showTCCRegression() {
  if (!passThrottle(kRegressionKey, kDay)) return;
  postIfAuthorized(notice("tvrn-tcc-regression", std::string(texts::kRegressionTitle),
                          std::string(texts::kRegressionBody)));
  pulse_("cloud");
}

std::string TrayNotifications::settingsURL(const std::set<std::string>& services) {
  for (const auto& service : services) {
    for (const auto& page : texts::kSettingsPages) {
      if (page.service == service) return std::string(page.url);
    }
  }
  return std::string(texts::kSecuritySettingsURL);
}

void TrayNotifications::showTCCDenied(const std::set<std::string>& services) {
  if (!passThrottle(kDeniedKey, kDay)) return;
  const std::vector<std::string> sorted(services.begin(), services.end());
  auto denied = notice("tvrn-tcc-denied-" + Strings::joined(sorted, "-"),
                       std::string(texts::kDeniedTitleHead) +
                           Strings::joined(capitalizedAll(services), " and ") +
                           std::string(texts::kDeniedTitleTail),
                       std::string(texts::kDeniedBody));
  denied.category = Notifier::kDeniedCategory;
  denied.settingsURL = settingsURL(services);
  postIfAuthorized(denied);
}

void TrayNotifications::showTCCPermission(const std::set<std::string>& services) {
  if (!passThrottle(kPermissionKey, kWeek)) return;
  // Capitalised word by word after joining, so the joining word reads "And" too.
  std::string names;
  for (const auto& word : services) {
    if (!names.empty()) names += " And ";
    names += capitalized(word);
  }
  auto needed =
      notice("tvrn-tcc-permission-needed", std::string(texts::kPermissionTitle),
             std::string(texts::kPermissionHead) + names + std::string(texts::kPermissionTail));
  needed.sound = false;
  postIfAuthorized(needed);
}

void TrayNotifications::showClientsConfigured(const std::vector<std::string>& names) {
  if (names.empty()) return;
  std::string body;
  for (const auto& name : names) {
    const auto hint = std::find_if(texts::kConfiguredHints.begin(), texts::kConfiguredHints.end(),
                                   [&](const auto& entry) { return entry.name == name; });
    if (hint != texts::kConfiguredHints.end()) {
      body = hint->hint;
      break;
    }
  }
  if (body.empty()) body = names.size() == 1 ? "Restart it." : "Restart them.";
  postIfAuthorized(notice("tvrn-auto-config",
                          std::string(texts::kConfiguredTitle) + Strings::joined(names, ", "),
                          body + std::string(texts::kConfiguredTail)));
}

void TrayNotifications::removeDenied() { notifier_.removeDelivered(Notifier::kDeniedCategory); }

}  // namespace tvrn
