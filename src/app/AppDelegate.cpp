#include "app/AppDelegate.h"

#include <QCursor>
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QVBoxLayout>
#include <QWidget>
#include <algorithm>
#include <array>
#include <vector>

#include "app/Desktop.h"
#include "app/popover/MenuBarView.h"
#include "core/Logger.h"
#include "platform/PrivacyGate.h"
#include "platform/Strings.h"

namespace tvrn {
namespace {

// In the order they are asked for.
constexpr std::array<PrivacyEntity, 3> kEntities{PrivacyEntity::calendar, PrivacyEntity::reminders,
                                                 PrivacyEntity::contacts};

bool undetermined(PrivacyEntity entity) {
  const auto status = PrivacyGate::shared().status(entity);
  // Calendar access that may add events but not read them is asked for again.
  return status == AuthorizationStatus::notDetermined ||
         (entity == PrivacyEntity::calendar && status == AuthorizationStatus::writeOnly);
}

// Below the icon, or at the cursor when the tray does not tell where the icon is, and inside
// the screen.
QPoint popoverPosition(const QRect& icon, const QSize& size) {
  const QPoint anchor = icon.isEmpty() ? QCursor::pos() : icon.bottomLeft();
  const QScreen* screen = QGuiApplication::screenAt(anchor);
  if (!screen) screen = QGuiApplication::primaryScreen();
  if (!screen) return anchor;
  const QRect area = screen->availableGeometry();
  QPoint place = anchor;
  if (place.y() + size.height() > area.bottom()) {
    place.setY((icon.isEmpty() ? anchor.y() : icon.top()) - size.height());
  }
  place.setX(
      std::clamp(place.x(), area.left(), std::max(area.left(), area.right() - size.width())));
  place.setY(
      std::clamp(place.y(), area.top(), std::max(area.top(), area.bottom() - size.height())));
  return place;
}

}  // namespace

AppDelegate::AppDelegate(StartupHooks hooks, TrayScheduler& scheduler, QDBusConnection bus)
    : hooks_(std::move(hooks)),
      scheduler_(scheduler),
      statusMonitor_(scheduler),
      notifier_(std::move(bus)),
      notifications_(notifier_, scheduler,
                     [this](const std::string& source) { startPulse(source); }) {}

AppDelegate::~AppDelegate() = default;

bool AppDelegate::applicationDidFinishLaunching() {
  if (hooks_.terminateExistingInstances) hooks_.terminateExistingInstances();

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

  // A popup closes on a click elsewhere.
  popover_ = std::make_unique<QWidget>(nullptr, Qt::Popup | Qt::FramelessWindowHint);
  popover_->setFixedSize(kPopoverWidth, kPopoverHeight);
  menuBarView_ = new MenuBarView(
      statusMonitor_, [this] { hideIcon(); }, scheduler_);
  auto* frame = new QVBoxLayout(popover_.get());
  frame->setContentsMargins(0, 0, 0, 0);
  frame->addWidget(menuBarView_, 0, Qt::AlignHCenter | Qt::AlignTop);
  connect(menuBarView_, &MenuBarView::columnHeightChanged, this, &AppDelegate::fitPopover);
  fitPopover(menuBarView_->height());

  statusMonitor_.startPolling();
  installCallbacks();

  notifier_.openURL = [](const std::string& url) { Desktop::open(url); };
  if (hooks_.registerPermissionPrompt) hooks_.registerPermissionPrompt();

  if (hooks_.startServer && !hooks_.startServer()) return false;

  scheduler_.after(kAutoConfigureDelay, this, [this] {
    if (hooks_.autoConfigureClients) hooks_.autoConfigureClients();
  });
  scheduleJustUpdatedBanner();
  scheduler_.after(kProbeDelay, this, [this] { requestTCCIfResetByOS(); });
  return true;
}

void AppDelegate::installCallbacks() {
  auto& monitor = statusMonitor_;
  monitor.onStateChange = [this](const std::string& state) { updateIcon(state); };
  monitor.onActivity = [this](const std::string& source) { startPulse(source); };
  monitor.onNewApproval = [this](const PendingApproval& approval) {
    notifications_.showApproval(approval);
  };
  monitor.onNudge = [this] { notifications_.showSetupNudge(statusMonitor_.status()); };
  monitor.onNotDetermined = [this](const std::set<std::string>& services) {
    requestTCCPermissions(services);
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

// The popover is as tall as the column, but never taller than the screen.
void AppDelegate::fitPopover(int columnHeight) {
  const QScreen* screen = QGuiApplication::primaryScreen();
  const int available = screen ? screen->availableGeometry().height() : columnHeight;
  popover_->setFixedSize(kPopoverWidth, std::min(columnHeight, available));
}

void AppDelegate::applicationWillTerminate() {
  if (hooks_.stopServer) hooks_.stopServer();
}

void AppDelegate::requestTCCIfResetByOS() {
  if (didStartupTCCProbe_) return;
  didStartupTCCProbe_ = true;
  std::set<std::string> services;
  for (const auto entity : kEntities) {
    if (undetermined(entity)) services.insert(std::string(toRaw(entity)));
  }
  if (services.empty()) return;
  Logger::info("tcc", "Startup TCC reset detected — requesting: " +
                          Strings::joined({services.begin(), services.end()}, ", "));
  requestTCCPermissions(services);
}

void AppDelegate::requestTCCPermissions(const std::set<std::string>& services) {
  for (const auto entity : kEntities) {
    if (services.contains(std::string(toRaw(entity)))) {
      PrivacyGate::shared().requestAccessInBackground(entity);
    }
  }
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
  popover_->move(popoverPosition(statusItem_->geometry(), popover_->size()));
  popover_->show();
  popover_->raise();
  popover_->activateWindow();
}

void AppDelegate::hideIcon() {
  if (popover_) popover_->hide();
  if (statusItem_) statusItem_->hide();
}

}  // namespace tvrn
