// The tray shell: brings up the status icon, the popover, the status monitor's callbacks and
// notifications and the in-process server, in a fixed order, and runs the icon's pulse.
#pragma once

#include <QDBusConnection>
#include <QImage>
#include <QObject>
#include <QPointer>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "pim/PrivacyGate.h"
#include "tray/Notifier.h"
#include "tray/StatusIcon.h"
#include "tray/StatusMonitor.h"
#include "tray/TrayNotifications.h"
#include "tray/TrayScheduler.h"
#include "tray/popover/PopoverWindow.h"

class QSystemTrayIcon;
class QWidget;

namespace tvrn {

class MenuBarView;

// What the start-up calls outside the tray itself; the program passes the real ones.
struct StartupHooks {
  std::function<void()> terminateExistingInstances;
  // False when the server could not start (another one answers on the socket).
  std::function<bool()> startServer;
  std::function<void()> stopServer;
  // The version a self-update of the tray left to announce, taken (the marker goes).
  std::function<std::optional<std::string>()> takeJustUpdatedVersion;
  std::function<void()> autoConfigureClients;
  // Lets the privacy gate ask the user before the server's tools read their data.
  std::function<void()> registerPermissionPrompt;
  // The addresses the in-process status server listens on (StatusMonitor::setStatusServerHosts).
  std::function<std::vector<std::string>()> statusServerHosts;
};

class AppDelegate : public QObject {
  Q_OBJECT

 public:
  static constexpr std::chrono::milliseconds kPulseInterval{80};
  static constexpr std::chrono::milliseconds kProbeDelay{2000};
  static constexpr std::chrono::milliseconds kAutoConfigureDelay{3500};
  static constexpr std::chrono::milliseconds kJustUpdatedDelay{5000};
  // How long after the server started a failed poll may still be one sent before it answered.
  static constexpr std::chrono::milliseconds kStartingGrace = 2 * StatusMonitor::kPollInterval;

  // `gate` is the privacy gate of the server the tray runs, which the popover and the permission
  // requests ask; `settings` those the monitor and the notifications read.
  AppDelegate(StartupHooks hooks, PrivacyGate& gate, const ConfigManager& settings,
              TrayScheduler& scheduler = TrayScheduler::system(),
              QDBusConnection bus = QDBusConnection::sessionBus());
  ~AppDelegate() override;

  // The start-up; false when the server could not start.
  bool applicationDidFinishLaunching();
  void applicationWillTerminate();

  // Once per process, 2 s after start-up: asks again for the permissions nobody has decided.
  void requestTCCIfResetByOS();
  static void requestTCCPermissions(PrivacyGate& gate, const std::set<std::string>& services);

  void updateIcon(const std::string& state);
  // The monitor's state word: a failed poll before the first status, while the server may still
  // be coming up, leaves the icon "starting".
  void stateChanged(const std::string& state);
  void startPulse(const std::string& source);
  void togglePopover();
  // Hides the icon and the popover; the server keeps running. A new launch ends this copy.
  void hideIcon();

  StatusMonitor& statusMonitor() { return statusMonitor_; }
  Notifier& notifier() { return notifier_; }
  TrayNotifications& notifications() { return notifications_; }
  QSystemTrayIcon* statusItem() const { return statusItem_; }
  PopoverWindow* popover() const { return popover_.get(); }
  MenuBarView* menuBarView() const { return menuBarView_; }
  const std::string& currentState() const { return currentState_; }
  bool isPulsing() const { return pulseTimer_ != nullptr; }
  // The dot the icon shows now (kept also when there is no icon to draw it on).
  const StatusIcon::Dot& shownDot() const { return shownDot_; }

 private:
  void tickPulse();
  void drawIcon(const std::optional<StatusIcon::Dot>& override = std::nullopt);
  void installCallbacks();
  void scheduleJustUpdatedBanner();

  StartupHooks hooks_;
  PrivacyGate& gate_;
  TrayScheduler& scheduler_;
  // Main thread only, as every member.
  QSystemTrayIcon* statusItem_ = nullptr;  // owned through Qt's parent
  std::unique_ptr<PopoverWindow> popover_;
  MenuBarView* menuBarView_ = nullptr;  // owned by the popover
  StatusMonitor statusMonitor_;
  Notifier notifier_;
  TrayNotifications notifications_;
  QImage baseLogo_;
  std::string currentState_ = "starting";
  std::unique_ptr<TrayScheduler::Repeating> pulseTimer_;
  int pulseFrame_ = 0;
  std::string pulseSource_;
  bool didStartupTCCProbe_ = false;
  std::optional<std::chrono::system_clock::time_point> serverStartedAt_;
  StatusIcon::Dot shownDot_ = StatusIcon::steady("starting");
};

}  // namespace tvrn
