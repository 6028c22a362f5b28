#include "tray/AppDelegate.h"

#include <QPixmap>
#include <QSystemTrayIcon>
#include <QWidget>
#include <array>
#include <vector>

#include "base/Strings.h"
#include "core/Logger.h"
#include "pim/PrivacyGate.h"
#include "tray/Desktop.h"
#include "tray/popover/MenuBarView.h"
#include "tray/popover/PopoverWindow.h"
#include "tray/popover/UninstallPanel.h"

namespace tvrn {
namespace {

// In the order they are asked for.
constexpr std::array<PrivacyEntity, 3> kEntities{PrivacyEntity::calendar, PrivacyEntity::reminders,
                                                 PrivacyEntity::contacts};

bool undetermined(const PrivacyGate& gate, PrivacyEntity entity) {
  const auto status = gate.status(entity);
  // Calendar access that may add events but not read them is asked for again.
  return status == AuthorizationStatus::notDetermined ||
         (entity == PrivacyEntity::calendar && status == AuthorizationStatus::writeOnly);
}

}  // namespace

AppDelegate::AppDelegate(StartupHooks hooks, PrivacyGate& gate, const ConfigManager& settings,
                         TrayScheduler& scheduler, QDBusConnection bus)
    : hooks_(std::move(hooks)),
      gate_(gate),
      scheduler_(scheduler),
      statusMonitor_(settings, scheduler),
      notifier_(std::move(bus)),
      notifications_(
          notifier_, scheduler, [this](const std::string& source) { startPulse(source); },
          settings) {}

AppDelegate::~AppDelegate() = default;

bool AppDelegate::applicationDidFinishLaunching() {
  if (hooks_.terminateExistingInstances) hooks_.terminateExistingInstances();
  if (hooks_.statusServerHosts) statusMonitor_.setStatusServerHosts(hooks_.statusServerHosts);

  if (QSystemTrayIcon::isSystemTrayAvailable()) statusItem_ = new QSystemTrayIcon(this);
  if (statusItem_) {
    baseLogo_ = StatusIcon::loadBaseLogo();
    updateIcon("starting");
    connect(statusItem_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
              if (reason == QSystemTrayIcon::Trigger) togglePopover();
            });
    statusItem_->show();
  }

  menuBarView_ = new MenuBarView(
      statusMonitor_, gate_, [this] { hideIcon(); }, scheduler_);
  popover_ = std::make_unique<PopoverWindow>(menuBarView_);
  menuBarView_->uninstallPanel()->settings.stopWriters = [this] {
    statusMonitor_.stopPolling();
    if (hooks_.stopServer) hooks_.stopServer();
  };

  statusMonitor_.startPolling();
  installCallbacks();

  notifier_.openURL = [this](const std::string& url) { Desktop::open(url, gate_); };
  if (hooks_.registerPermissionPrompt) hooks_.registerPermissionPrompt();

  if (hooks_.startServer && !hooks_.startServer()) return false;
  serverStartedAt_ = scheduler_.now();

  scheduler_.after(kAutoConfigureDelay, this, [this] {
    if (hooks_.autoConfigureClients) hooks_.autoConfigureClients();
  });
  scheduleJustUpdatedBanner();
  scheduler_.after(kProbeDelay, this, [this] { requestTCCIfResetByOS(); });
  return true;
}

void AppDelegate::installCallbacks() {
  auto& monitor = statusMonitor_;
  monitor.onStateChange = [this](const std::string& state) { stateChanged(state); };
  monitor.onActivity = [this](const std::string& source) { startPulse(source); };
  monitor.onNewApproval = [this](const PendingApproval& approval) {
    notifications_.showApproval(approval);
  };
  monitor.onNudge = [this] { notifications_.showSetupNudge(statusMonitor_.status()); };
  monitor.onNotDetermined = [this](const std::set<std::string>& services) {
    requestTCCPermissions(gate_, services);
    notifications_.showTCCPermission(services);
  };
  monitor.onTCCRegressed = [this] { notifications_.showTCCRegression(); };
  monitor.onTCCDenied = [this](const std::set<std::string>& services) {
    notifications_.showTCCDenied(services);
  };
  monitor.onTCCRestored = [this] { notifications_.removeDenied(); };
}

void AppDelegate::scheduleJustUpdatedBanner() {
  if (!hooks_.takeJustUpdatedVersion) return;
  auto version = hooks_.takeJustUpdatedVersion();
  if (!version || version->empty()) return;
  scheduler_.after(kJustUpdatedDelay, this, [this, shown = std::move(*version)] {
    statusMonitor_.setJustUpdatedToVersion(shown);
  });
}

void AppDelegate::applicationWillTerminate() {
  if (hooks_.stopServer) hooks_.stopServer();
}

void AppDelegate::requestTCCIfResetByOS() {
  if (didStartupTCCProbe_) return;
  didStartupTCCProbe_ = true;
  std::set<std::string> services;
  for (const auto entity : kEntities) {
    if (undetermined(gate_, entity)) services.insert(std::string(toRaw(entity)));
  }
  if (services.empty()) return;
  Logger::info("tcc", "Startup TCC reset detected — requesting: " +
                          Strings::joined({services.begin(), services.end()}, ", "));
  requestTCCPermissions(gate_, services);
}

// One prompt after the other, always in the same order.
void AppDelegate::requestTCCPermissions(PrivacyGate& gate, const std::set<std::string>& services) {
  std::vector<PrivacyEntity> asked;
  for (const auto entity : kEntities) {
    if (services.contains(std::string(toRaw(entity)))) asked.push_back(entity);
  }
  if (!asked.empty()) gate.requestAccessInBackground(std::move(asked));
}

void AppDelegate::drawIcon(const std::optional<StatusIcon::Dot>& override) {
  shownDot_ = override.value_or(StatusIcon::steady(currentState_));
  if (!statusItem_) return;
  statusItem_->setIcon(QPixmap::fromImage(StatusIcon::render(baseLogo_, shownDot_)));
}

void AppDelegate::updateIcon(const std::string& state) {
  currentState_ = state;
  // A running pulse shows the new state on its next frames and its last.
  if (!pulseTimer_) drawIcon();
}

void AppDelegate::stateChanged(const std::string& state) {
  const bool starting =
      !statusMonitor_.status() &&
      (!serverStartedAt_ || scheduler_.now() - *serverStartedAt_ < kStartingGrace);
  if (state == "error" && starting) return;
  updateIcon(state);
}

void AppDelegate::startPulse(const std::string& source) {
  pulseTimer_.reset();
  pulseFrame_ = 0;
  pulseSource_ = source;
  pulseTimer_ = scheduler_.every(kPulseInterval, this, [this] { tickPulse(); });
}

void AppDelegate::tickPulse() {
  const auto dot = StatusIcon::pulseFrame(pulseFrame_, currentState_, pulseSource_);
  ++pulseFrame_;
  if (!dot) {
    pulseTimer_.reset();
    drawIcon();
    return;
  }
  drawIcon(dot);
}

void AppDelegate::togglePopover() {
  if (!statusItem_ || !popover_) return;
  if (popover_->isVisible()) {
    popover_->hide();
    return;
  }
  popover_->openAt(statusItem_->geometry());
}

void AppDelegate::hideIcon() {
  if (popover_) popover_->hide();
  if (statusItem_) statusItem_->hide();
}

}  // namespace tvrn
