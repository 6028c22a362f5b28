// The monitor's requests: settings changes, tray events, cloud data forwarding, problem reports,
// the clipboard copies and the Outlook check.
#include <QClipboard>
#include <QCoreApplication>
#include <QDBusMessage>
#include <QGuiApplication>
#include <QPointer>
#include <filesystem>

#include "base/Utf8.h"
#include "platform/Endpoints.h"
#include "platform/InstalledApps.h"
#include "platform/Keychain.h"
#include "platform/Paths.h"
#include "server/BundledServer.h"
#include "tray/AppSectionTexts.h"
#include "tray/ClientConfigTexts.h"
#include "tray/StatusMonitor.h"
#include "tray/TrayHttp.h"
#include "tray/TrayRoutes.h"

namespace tvrn {
namespace {

constexpr const char* kBadServerResponse = "The server's answer could not be understood.";

std::string trimmed(std::string_view text) {
  return std::string(Utf8::trim(text, Utf8::isWhiteSpace));
}

void putOnClipboard(const std::string& text) {
  QClipboard* clipboard = QGuiApplication::clipboard();
  clipboard->clear();
  clipboard->setText(QString::fromStdString(text));
}

// A reply the tray does not wait for.
void ignoreReply(const TrayHttp::Reply&) {}

}  // namespace

bool StatusMonitor::postConfig(const nlohmann::json& members, const QVariantMap& userInfo) {
  // Another copy's server would store the change in that copy's settings.
  if (!postToStatusServer(TrayRoutes::config, members, QCoreApplication::instance(), ignoreReply)) {
    return false;
  }
  if (!configBus_) configBus_ = QDBusConnection::sessionBus();
  QDBusMessage signal =
      QDBusMessage::createSignal(kConfigSignalPath, kConfigSignalInterface, kConfigSignalName);
  signal << userInfo;
  configBus_->send(signal);
  return true;
}

void StatusMonitor::setAutoUpdate(bool enabled) {
  if (!postConfig({{"auto_update", enabled}}, {{"auto_update", enabled}})) return;
  autoUpdateEnabled_ = enabled;
  emit autoUpdateEnabledChanged();
}

void StatusMonitor::checkForUpdates() {
  postConfig({{"auto_update", true}}, {{"auto_update", true}});
}

void StatusMonitor::requestUpdate() {
  postConfig({{"action", "update"}}, {{"action", QStringLiteral("update")}});
}

void StatusMonitor::postTrayEvent(const std::string& event, std::int64_t versionsBehind) {
  nlohmann::json body = {{"event", event}};
  if (status_) {
    if (status_->machineId) body["machine_id"] = *status_->machineId;
    body["from_version"] = status_->version;
    if (status_->update && status_->update->version) body["to_version"] = *status_->update->version;
  }
  if (versionsBehind >= 1) body["versions_behind"] = versionsBehind;
  static_cast<void>(
      postToStatusServer(TrayRoutes::trayEvent, body, QCoreApplication::instance(), ignoreReply));
}

void StatusMonitor::setCloudDataEnabled(bool enabled, CloudDataDone done) {
  QPointer<StatusMonitor> self(this);
  const bool sent = postToStatusServer(
      TrayRoutes::cloudDataEnable, {{"enabled", enabled}}, QCoreApplication::instance(),
      [self, done](const TrayHttp::Reply& reply) {
        bool ok = false;
        std::optional<std::string> message;
        const auto answer = reply.body ? nlohmann::json::parse(*reply.body, nullptr, false)
                                       : nlohmann::json(nlohmann::json::value_t::discarded);
        if (answer.is_object()) {
          const auto okMember = answer.find("ok");
          ok = okMember != answer.end() && okMember->is_boolean() && okMember->get<bool>();
          const auto error = answer.find("error");
          if (!ok && error != answer.end() && error->is_string())
            message = error->get<std::string>();
        } else if (!reply.error.empty()) {
          message = reply.error;
        }
        // So the popover shows the new setting at once.
        if (self) self->fetchStatus();
        if (done) done(ok, message);
      });
  if (!sent && done) {
    done(false, std::string(AppSectionTexts::kStatusServerWaits) +
                    std::to_string(Endpoints::statusPort()) +
                    std::string(AppSectionTexts::kNothingSent));
  }
}

void StatusMonitor::submitBugReport(const std::string& message, BugReportDone done) {
  const nlohmann::json body = {{"message", message},
                               {"source", "tray"},
                               {"version", status_ ? status_->version : std::string()},
                               {"machine_id", machineIdForReport()}};
  TrayHttp::shared().postJSON(TrayRoutes::feedback, body, QCoreApplication::instance(),
                              [done = std::move(done)](const TrayHttp::Reply& reply) {
                                if (!done) return;
                                if (reply.status == 0) return done(fail(reply.error));
                                if (reply.status == 201 && reply.body) {
                                  const auto answer =
                                      nlohmann::json::parse(*reply.body, nullptr, false);
                                  if (answer.is_object()) {
                                    const auto caseId = answer.find("case_id");
                                    if (caseId != answer.end() && caseId->is_string()) {
                                      return done(caseId->get<std::string>());
                                    }
                                  }
                                }
                                done(fail(std::string(kBadServerResponse)));
                              });
}

std::string StatusMonitor::machineIdForReport() const {
  if (status_ && status_->machineId) return trimmed(*status_->machineId);
  const auto stored = Keychain::readGenericPassword("com.tavrin.machine-id", "machine-id");
  if (!stored || !Utf8::isValid(*stored)) return {};
  return trimmed(*stored);
}

void StatusMonitor::copyConfig() {
  const auto token = relayToken();
  const bool relay = status_ && token && status_->tunnelConnected.value_or(false);
  putOnClipboard(relay
                     ? ClientConfigTexts::relayConfig(TrayRoutes::url(TrayRoutes::cloudMCP), *token)
                     : ClientConfigTexts::localConfig(
                           "http://localhost:" + std::to_string(Endpoints::statusPort()) + "/mcp"));
}

void StatusMonitor::copyCloudToken() {
  if (const auto token = relayToken()) putOnClipboard(*token);
}

void StatusMonitor::copyCloudURL() { putOnClipboard(TrayRoutes::url(TrayRoutes::cloudMCP)); }

void StatusMonitor::copyDesktopConfig() {
  const std::filesystem::path shared = "/usr/local/bin/tvrn";
  std::error_code error;
  // Without a program at the shared place, the stdio server this tray installs is the one there
  // is on this system (nothing installs a ~/.local/bin/tvrn).
  const std::string command =
      std::filesystem::exists(shared, error) ? shared.string() : BundledServer::path().string();
  putOnClipboard(ClientConfigTexts::desktopConfig(command));
}

void StatusMonitor::copyDiagnostics() {
  if (status_) putOnClipboard(ClientConfigTexts::diagnostics(*status_));
}

void StatusMonitor::detectOutlookAccounts() {
  outlookAccounts_.clear();
  if (InstalledApps::isInstalled("Microsoft Outlook")) outlookAccounts_ = {"Microsoft Outlook"};
  outlookMissing_.clear();
  emit outlookAccountsChanged();
  emit outlookMissingChanged();
}

}  // namespace tvrn
