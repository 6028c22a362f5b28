#include "tray/Notifier.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QStringList>
#include <QVariantMap>

namespace tvrn {
namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
constexpr int kCallTimeoutMs = 2000;

QString qs(const std::string& text) { return QString::fromStdString(text); }

}  // namespace

Notifier::Notifier(QDBusConnection bus, QObject* parent) : QObject(parent), bus_(std::move(bus)) {
  bus_.connect(QString(), kPath, kInterface, QStringLiteral("ActionInvoked"), this,
               SLOT(handleAction(uint, QString)));
  bus_.connect(QString(), kPath, kInterface, QStringLiteral("NotificationClosed"), this,
               SLOT(handleClosed(uint, uint)));
}

bool Notifier::isAuthorized() const {
  const auto* daemon = bus_.isConnected() ? bus_.interface() : nullptr;
  return daemon && daemon->isServiceRegistered(kService).value();
}

bool Notifier::serverTakesMarkup() const {
  auto call = QDBusMessage::createMethodCall(kService, kPath, kInterface,
                                             QStringLiteral("GetCapabilities"));
  const QDBusReply<QStringList> reply = bus_.call(call, QDBus::Block, kCallTimeoutMs);
  return reply.isValid() && reply.value().contains(QStringLiteral("body-markup"));
}

void Notifier::post(const Notification& notification) {
  if (!bus_.isConnected()) return;
  // A server that reads markup would take "<" and "&" in a body as tags and entities.
  const QString body =
      serverTakesMarkup() ? qs(notification.body).toHtmlEscaped() : qs(notification.body);
  QStringList actions;
  if (notification.category == kDeniedCategory) {
    actions << QStringLiteral("default") << QString() << QString::fromLatin1(kOpenSettingsAction)
            << QStringLiteral("Open System Settings");
  }
  QVariantMap hints;
  if (!notification.sound) hints.insert(QStringLiteral("suppress-sound"), true);

  const auto previous = lastIds_.find(notification.identifier);
  const uint replaces = previous == lastIds_.end() ? 0 : previous->second;
  auto call = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
  call << QStringLiteral("TVRN") << replaces << QString() << qs(notification.title) << body
       << actions << hints << -1;
  const QDBusReply<uint> reply = bus_.call(call, QDBus::Block, kCallTimeoutMs);
  if (!reply.isValid()) return;
  if (replaces != 0) settingsURLs_.erase(replaces);
  lastIds_[notification.identifier] = reply.value();
  if (!notification.settingsURL.empty()) settingsURLs_[reply.value()] = notification.settingsURL;
}

void Notifier::removeDelivered(std::string_view prefix) {
  for (auto entry = lastIds_.begin(); entry != lastIds_.end();) {
    if (!entry->first.starts_with(prefix)) {
      ++entry;
      continue;
    }
    auto call = QDBusMessage::createMethodCall(kService, kPath, kInterface,
                                               QStringLiteral("CloseNotification"));
    call << entry->second;
    bus_.call(call, QDBus::Block, kCallTimeoutMs);
    settingsURLs_.erase(entry->second);
    entry = lastIds_.erase(entry);
  }
}

void Notifier::handleAction(uint id, const QString& action) {
  if (action != QStringLiteral("default") && action != QLatin1String(kOpenSettingsAction)) return;
  const auto url = settingsURLs_.find(id);
  if (url != settingsURLs_.end() && openURL) openURL(url->second);
}

void Notifier::handleClosed(uint id, uint /*reason*/) {
  settingsURLs_.erase(id);
  for (auto entry = lastIds_.begin(); entry != lastIds_.end(); ++entry) {
    if (entry->second == id) {
      lastIds_.erase(entry);
      return;
    }
  }
}

}  // namespace tvrn
