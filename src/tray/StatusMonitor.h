// The tray's model of the running server: polls its status every 2 s (status.json while fresh,
// else the status route), publishes it, and turns the changes between statuses into the events
// the tray shell shows as icon changes, pulses and notifications.
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QVariantMap>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/Result.h"
#include "tray/AutoRepair.h"
#include "tray/ServerStatus.h"
#include "tray/StatusEvents.h"
#include "tray/TrayHttp.h"
#include "tray/TrayRoutes.h"
#include "tray/TrayScheduler.h"

namespace tvrn {

class ConfigManager;

class StatusMonitor : public QObject {
  Q_OBJECT

 public:
  static constexpr std::chrono::milliseconds kPollInterval{2000};
  static constexpr std::chrono::milliseconds kApprovalPollInterval{5000};
  // status.json is used while younger than this; the status server rewrites it every 5 s.
  static constexpr std::chrono::milliseconds kStatusFileMaxAge{15000};
  static constexpr std::chrono::milliseconds kJustUpdatedShownFor{30000};
  static constexpr std::chrono::milliseconds kNotDeterminedDelay{2000};

  // `settings`: those the relay token is read from, which the popover's sections read as well.
  explicit StatusMonitor(const ConfigManager& settings,
                         TrayScheduler& scheduler = TrayScheduler::system(),
                         QObject* parent = nullptr);
  ~StatusMonitor() override;

  // One poll at once, then one every 2 s for the life of the monitor; the cloud approvals the
  // same way every 5 s.
  void startPolling();
  void stopPolling();

  const std::optional<ServerStatus>& status() const { return status_; }
  bool isConnected() const { return isConnected_; }
  bool autoUpdateEnabled() const { return autoUpdateEnabled_; }
  const std::vector<std::string>& outlookAccounts() const { return outlookAccounts_; }
  const std::vector<std::string>& outlookMissing() const { return outlookMissing_; }
  const std::vector<PendingApproval>& pendingApprovals() const { return pendingApprovals_; }
  bool tccRegressed() const { return tccRegressed_; }
  const std::optional<std::string>& justUpdatedToVersion() const { return justUpdatedToVersion_; }
  // Set by the monitor itself and, after a self-update of the tray, by the tray shell.
  void setJustUpdatedToVersion(std::optional<std::string> version);

  // The loopback addresses ("127.0.0.1", "::1") the tray's own status server listens on, asked
  // at each request: the tray sends nothing to, and opens no page of, an address another
  // program holds, which may be another copy's status server (one of another HOME) with other
  // settings. Unset: both.
  void setStatusServerHosts(std::function<std::vector<std::string>()> hosts);
  // The own status server listens on neither address: it waits for the port.
  bool statusServerWaits() const { return statusServerHosts().empty(); }
  // The host the status server's pages open at: "localhost" while the own server holds both
  // addresses, else the one it holds; nothing while it waits.
  std::optional<std::string> statusPageHost() const;

  // What the tray asks of the server and the back end. Each returns at once; only the two with
  // a completion read the reply, and their completions run on the main thread. While the own
  // status server waits for the port nothing is sent to it: a switch stays as it was, and
  // the cloud data completion gets the refusal at once.
  // A settings change goes to the status server and, as a "changed" signal, to every process of
  // the user on the session bus.
  void setAutoUpdate(bool enabled);
  void checkForUpdates();
  void requestUpdate();
  void postTrayEvent(const std::string& event, std::int64_t versionsBehind);
  // Success, and the status server's reason when it refused; called even when the monitor has
  // gone by the time the answer comes.
  using CloudDataDone = std::function<void(bool ok, const std::optional<std::string>& message)>;
  void setCloudDataEnabled(bool enabled, CloudDataDone done = nullptr);
  // The back end's case id, else why the report did not arrive.
  using BugReportDone = std::function<void(const Result<std::string, std::string>& caseId)>;
  void submitBugReport(const std::string& message, BugReportDone done);

  // Texts for the user to paste, on the clipboard; with nothing to copy it stays as it was.
  void copyConfig();
  void copyCloudToken();
  void copyCloudURL();
  void copyDesktopConfig();
  void copyDiagnostics();

  static constexpr const char* kConfigSignalPath = "/com/tavrin/config";
  static constexpr const char* kConfigSignalInterface = "com.tavrin.config";
  static constexpr const char* kConfigSignalName = "changed";
  // Where settings changes are announced: the session bus unless set.
  void setConfigBus(QDBusConnection bus) { configBus_ = std::move(bus); }
  // The cloud relay's token: the settings' "cloud_token" when it is a non-empty text, read at
  // each call. The status never carries it, so that /status and status.json cannot leak it.
  std::optional<std::string> relayToken() const;
  const ConfigManager& settings() const { return settings_; }
  // Sends the user's decision ("approve", "deny") on one cloud sign-in; once the web site has
  // answered, or failed to, the request leaves the list and the list is fetched again.
  void respondToApproval(const std::string& requestId, const std::string& decision);

  // Set by the tray shell; each runs on the main thread, and an unset one drops its event.
  std::function<void(const std::string& state)> onStateChange;  // "error" after a failed poll
  std::function<void(const std::string& source)> onActivity;
  std::function<void(const PendingApproval&)> onNewApproval;
  std::function<void()> onNudge;
  std::function<void(const std::set<std::string>& keys)> onNotDetermined;
  std::function<void()> onTCCRegressed;
  std::function<void(const std::set<std::string>& keys)> onTCCDenied;
  std::function<void()> onTCCRestored;

 signals:
  // At every status applied; each of the others only when its value changed.
  void statusChanged();
  void isConnectedChanged();
  void autoUpdateEnabledChanged();
  void outlookAccountsChanged();
  void outlookMissingChanged();
  void pendingApprovalsChanged();
  void tccRegressedChanged();
  void justUpdatedToVersionChanged();

 private:
  void fetchStatus();
  std::vector<std::string> statusServerHosts() const;
  // False, sending nothing, while the own status server waits for the port.
  bool postToStatusServer(const TrayRoute& route, const nlohmann::json& body, QObject* context,
                          TrayHttp::Completion done);
  std::optional<ServerStatus> readStatusFromFile() const;
  // Asks the address that answered last; the other loopback address when no status came.
  void fetchStatusViaHTTP(std::size_t attempt = 0);
  void applyStatus(const ServerStatus& status);
  void deliverPermissionEvents(const StatusEvents& events);
  void setIsConnected(bool connected);
  bool postConfig(const nlohmann::json& members, const QVariantMap& userInfo);
  void detectOutlookAccounts();
  std::string machineIdForReport() const;
  void fetchPendingApprovals();
  void receiveApprovals(std::vector<PendingApproval> requests);

  const ConfigManager& settings_;
  TrayScheduler& scheduler_;
  const std::filesystem::path statusFile_;
  std::unique_ptr<TrayScheduler::Repeating> pollTimer_;
  std::unique_ptr<TrayScheduler::Repeating> approvalTimer_;

  // Main thread only, as every member.
  std::optional<ServerStatus> status_;
  bool isConnected_ = false;
  std::string answeringHost_;  // of the status server, at the last status it gave
  std::function<std::vector<std::string>()> statusServerHosts_;
  bool autoUpdateEnabled_ = false;
  std::vector<std::string> outlookAccounts_;
  std::vector<std::string> outlookMissing_;
  std::vector<PendingApproval> pendingApprovals_;
  bool tccRegressed_ = false;
  std::optional<std::string> justUpdatedToVersion_;
  StatusBookkeeping bookkeeping_;
  std::optional<QDBusConnection> configBus_;
  std::set<std::string> lastApprovalIds_;  // of the last list received: tells new requests apart
  AutoRepair autoRepair_{scheduler_, this};
};

}  // namespace tvrn
