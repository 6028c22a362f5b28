// The tray's desktop notifications, sent to the session's notification server
// (org.freedesktop.Notifications): a later notification with the same identifier replaces the
// earlier one, and the settings action of a permission notification opens its settings page.
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <functional>
#include <map>
#include <string>
#include <string_view>

namespace tvrn {

struct Notification {
  std::string identifier;
  std::string title;
  std::string body;
  bool sound = true;     // false: alert only
  std::string category;  // "tvrn-tcc-denied" carries the "Open System Settings" action
  std::string settingsURL;
};

class Notifier : public QObject {
  Q_OBJECT

 public:
  static constexpr const char* kDeniedCategory = "tvrn-tcc-denied";
  static constexpr const char* kOpenSettingsAction = "TVRN_OPEN_SETTINGS";

  explicit Notifier(QDBusConnection bus = QDBusConnection::sessionBus(), QObject* parent = nullptr);

  // Whether a notification server owns its name on the bus; without one nothing can be shown.
  bool isAuthorized() const;

  // Shows the notification; a failure (no server) is not reported.
  void post(const Notification& notification);

  // Closes the shown notifications whose identifier begins with the prefix.
  void removeDelivered(std::string_view prefix);

  // Opens a settings address; set by the tray shell.
  std::function<void(const std::string& url)> openURL;

 public slots:
  // The user clicked a notification ("default") or one of its actions.
  void handleAction(uint id, const QString& action);
  void handleClosed(uint id, uint reason);

 private:
  bool serverTakesMarkup() const;

  QDBusConnection bus_;
  // Main thread only.
  std::map<std::string, uint> lastIds_;       // identifier -> the server's id of its last showing
  std::map<uint, std::string> settingsURLs_;  // the server's id -> the page its action opens
};

}  // namespace tvrn
