#include "tray/StatusMonitor.h"

#include <QUrl>
#include <algorithm>
#include <fstream>
#include <iostream>
#include <system_error>

#include "core/ConfigManager.h"
#include "platform/Endpoints.h"
#include "platform/Paths.h"
#include "tray/TrayHttp.h"
#include "tray/TrayRoutes.h"

namespace tvrn {
namespace {

constexpr const char* kIPv4Host = "127.0.0.1";
constexpr const char* kIPv6Host = "::1";

std::string statusBaseURL(const std::string& host) {
  return host == kIPv6Host ? Endpoints::statusBaseURLv6() : Endpoints::statusBaseURL();
}

// The whole file, or nothing when it cannot be read or is larger than the tray reads.
std::optional<std::string> readCapped(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  std::string bytes(TrayHttp::kMaxReplyBytes + 1, '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (in.bad() || in.gcount() > TrayHttp::kMaxReplyBytes) return std::nullopt;
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  return bytes;
}

// The list's address with the token as its only query item, every reserved character of the
// token escaped ("+" would otherwise arrive as a blank).
std::optional<std::string> approvalsListURL(const std::string& token) {
  QUrl url(QString::fromStdString(TrayRoutes::url(TrayRoutes::listTrayApprovals)));
  if (!url.isValid()) return std::nullopt;
  url.setQuery(QStringLiteral("token=") +
                   QString::fromLatin1(QUrl::toPercentEncoding(QString::fromStdString(token))),
               QUrl::StrictMode);
  if (!url.isValid()) return std::nullopt;
  return url.toString(QUrl::FullyEncoded).toStdString();
}

}  // namespace

StatusMonitor::StatusMonitor(const ConfigManager& settings, TrayScheduler& scheduler,
                             QObject* parent)
    : QObject(parent),
      settings_(settings),
      scheduler_(scheduler),
      statusFile_(Paths::appSupport() / "status.json") {}

StatusMonitor::~StatusMonitor() = default;

void StatusMonitor::startPolling() {
  fetchStatus();
  detectOutlookAccounts();
  pollTimer_ = scheduler_.every(kPollInterval, this, [this] { fetchStatus(); });
  fetchPendingApprovals();
  approvalTimer_ =
      scheduler_.every(kApprovalPollInterval, this, [this] { fetchPendingApprovals(); });
}

void StatusMonitor::stopPolling() {
  pollTimer_.reset();
  approvalTimer_.reset();
}

void StatusMonitor::fetchStatus() {
  if (auto status = readStatusFromFile()) {
    applyStatus(*status);
  } else {
    fetchStatusViaHTTP();
  }
}

std::optional<ServerStatus> StatusMonitor::readStatusFromFile() const {
  std::error_code error;
  const auto modified = std::filesystem::last_write_time(statusFile_, error);
  if (error) return std::nullopt;
  // A time in the future gives a negative age: still fresh.
  const auto age = scheduler_.now() - std::chrono::file_clock::to_sys(modified);
  if (age >= kStatusFileMaxAge) return std::nullopt;
  const auto bytes = readCapped(statusFile_);
  if (!bytes) return std::nullopt;
  auto decoded = parseServerStatus(*bytes);
  // The last word of a server that has stopped: whether another one answers, only asking tells.
  if (!decoded || decoded.value().server == "stopped") return std::nullopt;
  return std::move(decoded).value();
}

void StatusMonitor::fetchStatusViaHTTP(std::size_t attempt) {
  const auto hosts = statusServerHosts();
  if (attempt >= hosts.size()) {
    setIsConnected(false);
    if (onStateChange) onStateChange("error");
    return;
  }
  const auto answered = std::find(hosts.begin(), hosts.end(), answeringHost_);
  const std::size_t first = answered == hosts.end() ? 0 : answered - hosts.begin();
  const std::string host = hosts[(first + attempt) % hosts.size()];
  TrayHttp::shared().get(statusBaseURL(host) + std::string(TrayRoutes::status.path),
                         TrayRoutes::status.timeout, this,
                         [this, host, attempt](const TrayHttp::Reply& reply) {
                           // Any body that decodes counts, whatever the HTTP status.
                           if (reply.body) {
                             auto decoded = parseServerStatus(*reply.body);
                             if (decoded) {
                               answeringHost_ = host;
                               return applyStatus(decoded.value());
                             }
                           }
                           // Another program may hold one of the two addresses.
                           fetchStatusViaHTTP(attempt + 1);
                         });
}

void StatusMonitor::setStatusServerHosts(std::function<std::vector<std::string>()> hosts) {
  statusServerHosts_ = std::move(hosts);
}

std::vector<std::string> StatusMonitor::statusServerHosts() const {
  if (!statusServerHosts_) return {kIPv4Host, kIPv6Host};
  return statusServerHosts_();
}

std::optional<std::string> StatusMonitor::statusPageHost() const {
  const auto hosts = statusServerHosts();
  if (hosts.empty()) return std::nullopt;
  if (hosts.size() > 1) return "localhost";
  return hosts.front() == kIPv6Host ? "[" + hosts.front() + "]" : hosts.front();
}

bool StatusMonitor::postToStatusServer(const TrayRoute& route, const nlohmann::json& body,
                                       QObject* context, TrayHttp::Completion done) {
  const auto hosts = statusServerHosts();
  if (hosts.empty()) return false;
  TrayHttp::shared().postJSON(statusBaseURL(hosts.front()) + std::string(route.path), body,
                              route.timeout, context, std::move(done));
  return true;
}

void StatusMonitor::applyStatus(const ServerStatus& status) {
  status_ = status;
  emit statusChanged();
  setIsConnected(true);
  if (autoUpdateEnabled_ != status.autoUpdate.value_or(false)) {
    autoUpdateEnabled_ = !autoUpdateEnabled_;
    emit autoUpdateEnabledChanged();
  }

  const StatusEvents events = tvrn::applyStatus(bookkeeping_, status);
  if (onStateChange) onStateChange(events.state);
  if (events.activitySource && onActivity) onActivity(*events.activitySource);
  if (events.nudge && onNudge) onNudge();
  if (const auto& version = events.newVersion) {
    setJustUpdatedToVersion(version);
    scheduler_.after(kJustUpdatedShownFor, this, [this, shown = *version] {
      if (justUpdatedToVersion_ == shown) setJustUpdatedToVersion(std::nullopt);
    });
  }
  if (status.permissions) deliverPermissionEvents(events);
  if (!autoRepair_.done()) autoRepair_.check(status.version, status.startedAt, tccRegressed_);
}

void StatusMonitor::deliverPermissionEvents(const StatusEvents& events) {
  for (const auto& line : events.regressionLines) std::cout << line << std::endl;
  if (tccRegressed_ != bookkeeping_.tccRegressed) {
    tccRegressed_ = bookkeeping_.tccRegressed;
    emit tccRegressedChanged();
  }
  if (events.tccRegressed && onTCCRegressed) onTCCRegressed();
  if (!events.newlyDenied.empty() && onTCCDenied) onTCCDenied(events.newlyDenied);
  if (events.tccRestored && onTCCRestored) onTCCRestored();
  if (!events.notDetermined.empty()) {
    scheduler_.after(kNotDeterminedDelay, this, [this, keys = events.notDetermined] {
      if (onNotDetermined) onNotDetermined(keys);
    });
  }
}

void StatusMonitor::setIsConnected(bool connected) {
  if (isConnected_ == connected) return;
  isConnected_ = connected;
  emit isConnectedChanged();
}

void StatusMonitor::setJustUpdatedToVersion(std::optional<std::string> version) {
  justUpdatedToVersion_ = std::move(version);
  emit justUpdatedToVersionChanged();
}

std::optional<std::string> StatusMonitor::relayToken() const {
  const nlohmann::json config = settings_.load();
  const auto token = config.find("cloud_token");
  if (token == config.end() || !token->is_string()) return std::nullopt;
  auto text = token->get<std::string>();
  if (text.empty()) return std::nullopt;
  return text;
}

void StatusMonitor::fetchPendingApprovals() {
  const auto token = relayToken();
  if (!token) {
    if (pendingApprovals_.empty()) return;
    pendingApprovals_.clear();
    emit pendingApprovalsChanged();
    return;
  }
  const auto url = approvalsListURL(*token);
  if (!url) return;
  TrayHttp::shared().get(*url, TrayRoutes::listTrayApprovals.timeout, this,
                         [this](const TrayHttp::Reply& reply) {
                           // An unreadable answer leaves the list as it was.
                           if (!reply.body) return;
                           auto decoded = parsePendingApprovals(*reply.body);
                           if (decoded) receiveApprovals(std::move(decoded.value().requests));
                         });
}

void StatusMonitor::receiveApprovals(std::vector<PendingApproval> requests) {
  std::set<std::string> ids;
  std::vector<PendingApproval> fresh;
  for (const auto& request : requests) {
    ids.insert(request.requestId);
    if (!lastApprovalIds_.contains(request.requestId)) fresh.push_back(request);
  }
  if (pendingApprovals_ != requests) {
    pendingApprovals_ = std::move(requests);
    emit pendingApprovalsChanged();
  }
  lastApprovalIds_ = std::move(ids);
  for (const auto& request : fresh) {
    if (onNewApproval) onNewApproval(request);
  }
}

void StatusMonitor::respondToApproval(const std::string& requestId, const std::string& decision) {
  const auto token = relayToken();
  if (!token) return;
  const nlohmann::json body = {
      {"request_id", requestId}, {"cloud_token", *token}, {"decision", decision}};
  // Whatever came of it, the row goes; a request the web site still lists comes back as new.
  TrayHttp::shared().postJSON(
      TrayRoutes::completeTrayApproval, body, this, [this, requestId](const TrayHttp::Reply&) {
        std::erase_if(pendingApprovals_,
                      [&](const PendingApproval& row) { return row.requestId == requestId; });
        emit pendingApprovalsChanged();
        lastApprovalIds_.erase(requestId);
        fetchPendingApprovals();
      });
}

}  // namespace tvrn
