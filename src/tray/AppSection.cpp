#include "tray/AppSection.h"

#include <QUrl>
#include <QUrlQuery>

#include "core/Versions.h"
#include "platform/Endpoints.h"
#include "tray/AppSectionTexts.h"
#include "tray/StatusMonitor.h"

namespace tvrn {
namespace {

namespace T = AppSectionTexts;

constexpr std::int64_t kRequiredAfter = 10;
constexpr std::int64_t kDefaultStatusPort = 8765;

std::string localPage(const std::optional<ServerStatus>& status, std::string_view host,
                      std::string_view path) {
  const std::int64_t port = status ? status->port : kDefaultStatusPort;
  return "http://" + std::string(host) + ":" + std::to_string(port) + std::string(path);
}

}  // namespace

AppNotice appNotice(const std::optional<ServerStatus>& status) {
  if (!status) return {};
  if (status->pendingRestartVersion) {
    return RestartNotice{"v" + *status->pendingRestartVersion + std::string(T::kRestartTail)};
  }
  if (!status->update || !status->update->version) return {};
  const UpdateInfo& update = *status->update;
  if (!Versions::isNewer(*update.version, status->version)) return {};
  UpdateOffer offer;
  offer.candidate = *update.version;
  offer.behind = update.versionsBehind.value_or(0);
  offer.required = offer.behind > kRequiredAfter;
  if (offer.required) {
    offer.title = "v" + offer.candidate + std::string(T::kRequiredMiddle) +
                  std::to_string(offer.behind) + std::string(T::kRequiredTail);
    offer.button = T::kUpdateNow;
    offer.warning = std::string(T::kStuckWarning) + installCommand();
  } else {
    offer.title = "v" + offer.candidate + std::string(T::kAvailableTail);
    offer.button = T::kInstall;
  }
  if (update.notes && !update.notes->empty()) offer.notes = update.notes;
  return offer;
}

std::string installCommand() { return "curl -fsSL " + Endpoints::web() + "/install | sh"; }

void UpdateNudge::offerShown(const UpdateOffer& offer, StatusMonitor& monitor) {
  if (nudgeShownForVersion_ != offer.candidate) {
    nudgeShownForVersion_ = offer.candidate;
    monitor.postTrayEvent(std::string(T::kNudgeShown), offer.behind);
  }
  if (offer.required && forcedUpdateTriggeredForVersion_ != offer.candidate) {
    forcedUpdateTriggeredForVersion_ = offer.candidate;
    monitor.requestUpdate();
  }
}

void UpdateNudge::pressed(const UpdateOffer& offer, StatusMonitor& monitor) {
  monitor.postTrayEvent(std::string(T::kUpdateStarted), offer.behind);
  monitor.requestUpdate();
}

void autoUpdateSwitched(bool enabled, StatusMonitor& monitor) {
  monitor.setAutoUpdate(enabled);
  if (enabled) monitor.checkForUpdates();
}

std::string settingsPageURL(const std::optional<ServerStatus>& status, std::string_view host) {
  return localPage(status, host, "/app");
}

std::string helpPageURL(const std::optional<ServerStatus>& status, std::string_view host) {
  return localPage(status, host, "/app#tab-help");
}

std::string statusServerWaitsNotice() {
  return std::string(T::kStatusServerWaits) + std::to_string(Endpoints::statusPort()) +
         std::string(T::kWaitsNoticeTail);
}

std::string bugReportMailURL(const std::optional<ServerStatus>& status, const std::string& text) {
  const std::string version = status ? status->version : "unknown";
  QUrlQuery query;
  query.addQueryItem("subject",
                     QString::fromStdString(std::string(T::kMailSubjectPrefix) + version));
  query.addQueryItem(
      "body", QString::fromStdString(text.empty() ? std::string(T::kMailBodyPlaceholder) : text));
  QUrl url;
  url.setScheme("mailto");
  url.setPath(QString::fromUtf8(T::kSupportAddress.data(),
                                static_cast<qsizetype>(T::kSupportAddress.size())));
  url.setQuery(query);
  return url.toString(QUrl::FullyEncoded).toStdString();
}

}  // namespace tvrn
