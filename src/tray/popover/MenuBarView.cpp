#include "tray/popover/MenuBarView.h"

#include <signal.h>

#include <QCoreApplication>
#include <QFrame>
#include <QPointer>
#include <QPushButton>
#include <QThreadPool>
#include <QVBoxLayout>
#include <set>

#include "pim/PrivacyGate.h"
#include "platform/RunningApps.h"
#include "tray/Desktop.h"
#include "tray/popover/PopoverSections.h"
#include "tray/popover/TraySections.h"
#include "tray/popover/UninstallPanel.h"

namespace tvrn {
namespace {

// In the column's order.
constexpr PopoverSection kColumn[] = {
    PopoverSection::header,       PopoverSection::regressionBanner, PopoverSection::updatedBanner,
    PopoverSection::approvals,    PopoverSection::permissions,      PopoverSection::cloudRelay,
    PopoverSection::disconnected, PopoverSection::services,         PopoverSection::aiClients,
    PopoverSection::pushMessage,  PopoverSection::appSection,       PopoverSection::footer,
};

QWidget* makeDivider(QWidget* parent) {
  auto* line = new QFrame(parent);
  line->setFixedHeight(1);
  line->setStyleSheet(QStringLiteral("background-color: %1;").arg(cssColor(ColorRole::gray, 0.3)));
  return line;
}

}  // namespace

MenuBarView::MenuBarView(StatusMonitor& monitor, PrivacyGate& gate, std::function<void()> onHide,
                         TrayScheduler& scheduler, QWidget* parent)
    : QWidget(parent),
      monitor_(monitor),
      gate_(gate),
      onHide_(std::move(onHide)),
      scheduler_(scheduler),
      column_(new QVBoxLayout(this)) {
  setFixedWidth(kWidth);
  setAutoFillBackground(true);
  setBackgroundRole(QPalette::Window);
  column_->setSpacing(0);
  column_->setContentsMargins(0, 0, 0, 0);
  const ActionSink sink = [this](const PopoverAction& action) { perform(action); };
  const TraySectionContext context{monitor_,
                                   gate_,
                                   onHide_,
                                   [this] { refresh(); },
                                   [this] { showUninstallConfirm(); },
                                   [this](QWidget* widget) {
                                     // Asked before the column grows, so that the popover
                                     // keeps the place it had until then.
                                     emit revealRequested(widget);
                                     fitColumn();
                                   }};
  for (const auto section : kColumn) {
    auto made = makeTraySection(section, this, context);
    if (!made) made = makeSection(section, this, sink);
    auto* widget = made.release();  // owned through Qt's parent
    sections_[section] = widget;
    dividers_[section] = makeDivider(this);
    column_->addWidget(widget);
    column_->addWidget(dividers_[section]);
  }
  uninstallPanel_ = new UninstallPanel(monitor_, scheduler_, this);
  uninstallPanel_->hide();
  column_->addWidget(uninstallPanel_);
  // The panel hides itself on "Cancel"; the column's height follows.
  connect(uninstallPanel_->cancelButton(), &QPushButton::clicked, this, &MenuBarView::refresh);
  column_->addStretch();

  for (const auto changed :
       {&StatusMonitor::statusChanged, &StatusMonitor::isConnectedChanged,
        &StatusMonitor::autoUpdateEnabledChanged, &StatusMonitor::outlookAccountsChanged,
        &StatusMonitor::outlookMissingChanged, &StatusMonitor::pendingApprovalsChanged,
        &StatusMonitor::tccRegressedChanged, &StatusMonitor::justUpdatedToVersionChanged}) {
    connect(&monitor_, changed, this, &MenuBarView::refresh);
  }
  refresh();
}

MenuBarView::~MenuBarView() = default;

PopoverInput MenuBarView::input() const {
  PopoverInput input;
  input.status = monitor_.status();
  input.connected = monitor_.isConnected();
  input.approvals = monitor_.pendingApprovals();
  input.tccRegressed = monitor_.tccRegressed();
  input.justUpdatedTo = monitor_.justUpdatedToVersion();
  // Looked at only while the update banner stands: it reads every process of the user.
  if (input.justUpdatedTo) input.claudeRunning = RunningApps::isRunning(kClaudeBundleId);
  input.relayConfigured = monitor_.relayToken().has_value();
  input.restarting = isRestarting_;
  input.now = scheduler_.now();
  input.outlookAccounts = monitor_.outlookAccounts();
  input.outlookMissing = monitor_.outlookMissing();
  input.autoUpdateEnabled = monitor_.autoUpdateEnabled();
  input.statusServerWaits = monitor_.statusServerWaits();
  return input;
}

void MenuBarView::refresh() {
  if (drawn_ && !isVisible()) {
    stale_ = true;
    return;
  }
  draw();
}

void MenuBarView::applyLatest() {
  if (stale_) draw();
}

void MenuBarView::draw() {
  stale_ = false;
  drawn_ = true;
  const PopoverInput now = input();
  std::set<PopoverSection> shown;
  for (const auto& row : PopoverModels::frame(now)) shown.insert(row.section);
  for (const auto section : kColumn) {
    const bool visible = shown.contains(section);
    if (visible && sections_[section]->update(now)) ++drawings_[section];
    if (sections_[section]->isHidden() == visible) {
      sections_[section]->setVisible(visible);
      dividers_[section]->setVisible(visible);
    }
  }
  fitColumn();
}

void MenuBarView::fitColumn() {
  // Laid out now, not on the next turn of the event loop, so the column never shows stale sizes.
  column_->activate();
  // Wrapped texts make the column taller the narrower it is.
  const int height =
      column_->hasHeightForWidth() ? column_->heightForWidth(kWidth) : column_->sizeHint().height();
  resize(kWidth, height);
  if (height != lastHeight_) {
    lastHeight_ = height;
    emit columnHeightChanged(height);
  }
}

// A section that changed on its own (the bug report form opening, say) asks for a new layout.
bool MenuBarView::event(QEvent* event) {
  const bool handled = QWidget::event(event);
  if (event->type() == QEvent::LayoutRequest) fitColumn();
  return handled;
}

void MenuBarView::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  applyLatest();
}

std::vector<PopoverSection> MenuBarView::shownSections() const {
  std::vector<PopoverSection> shown;
  for (const auto section : kColumn) {
    if (!sections_.at(section)->isHidden()) shown.push_back(section);
  }
  return shown;
}

void MenuBarView::showUninstallConfirm() {
  uninstallPanel_->show();
  emit revealRequested(uninstallPanel_);  // before the column grows, as for the sections' parts
  refresh();
}

QWidget* MenuBarView::sectionWidget(PopoverSection section) const { return sections_.at(section); }

int MenuBarView::drawings(PopoverSection section) const {
  const auto found = drawings_.find(section);
  return found == drawings_.end() ? 0 : found->second;
}

void MenuBarView::perform(const PopoverAction& action) {
  using Kind = PopoverAction::Kind;
  const auto& arguments = action.arguments;
  switch (action.kind) {
    case Kind::none:
      return;
    case Kind::requestPermissions:
      for (const auto& key : arguments) requestTCCPermission(gate_, key);
      return;
    case Kind::openURL:
      if (!arguments.empty()) Desktop::open(arguments.front(), gate_);
      return;
    case Kind::dismissUpdate:
      monitor_.setJustUpdatedToVersion(std::nullopt);
      return;
    case Kind::restartClaude:
      restartClaudeDesktop();
      return;
    case Kind::approve:
    case Kind::deny:
      if (!arguments.empty()) {
        monitor_.respondToApproval(arguments.front(),
                                   action.kind == Kind::approve ? "approve" : "deny");
      }
      return;
    case Kind::restartServer:
      restartServer();
      return;
    case Kind::openSettingsPage:
      // The port is the one of the status at the moment of the click.
      if (const auto host = monitor_.statusPageHost()) {
        Desktop::open(PopoverModels::settingsPageURL(monitor_.status(), *host), gate_);
      }
      return;
  }
}

void MenuBarView::requestTCCPermission(PrivacyGate& gate, const std::string& key) {
  if (const auto entity = privacyEntityFromRaw(key)) {
    // The user's click: asked again even after an earlier prompt was closed without an answer.
    gate.requestAccessInBackground({*entity}, PrivacyGate::Asker::user);
  }
}

void MenuBarView::restartClaudeDesktop() {
  monitor_.setJustUpdatedToVersion(std::nullopt);
  const auto running = RunningApps::processIds(kClaudeBundleId);
  if (running.empty()) return;
  ::kill(running.front(), SIGTERM);
  scheduler_.after(kClaudeReopenDelay, this, [] {
    static_cast<void>(Desktop::openApp(kClaudeBundleId));  // the user sees whether it reopened
  });
}

void MenuBarView::restartServer() {
  isRestarting_ = true;
  refresh();
  QPointer<MenuBarView> view(this);
  QThreadPool::globalInstance()->start([view, settings = restartSettings] {
    ServerRestart::run(settings);
    // Back on the main thread, and only while the view exists.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [view] {
          if (!view) return;
          emit view->serverRestartEnded();
          view->scheduler_.after(kRestartingHeldFor, view, [view] {
            view->isRestarting_ = false;
            view->refresh();
          });
        },
        Qt::QueuedConnection);
  });
}

}  // namespace tvrn
