// The popover's content: one column of sections drawn from the status monitor, kept and updated
// in place whenever the monitor publishes a change, and the actions behind their controls.
#pragma once

#include <QWidget>
#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "pim/PrivacyGate.h"
#include "tray/StatusMonitor.h"
#include "tray/TrayScheduler.h"
#include "tray/popover/PopoverModels.h"
#include "tray/popover/ServerRestart.h"

class QVBoxLayout;

namespace tvrn {

class PopoverSectionWidget;
class UninstallPanel;

class MenuBarView : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kWidth = 300;
  static constexpr std::chrono::milliseconds kRestartingHeldFor{8000};
  static constexpr std::chrono::milliseconds kClaudeReopenDelay{1500};
  static constexpr const char* kClaudeBundleId = "com.anthropic.claudefordesktop";

  // Asks `gate` for the permissions the popover's buttons and fixes ask for.
  MenuBarView(StatusMonitor& monitor, PrivacyGate& gate, std::function<void()> onHide,
              TrayScheduler& scheduler = TrayScheduler::system(), QWidget* parent = nullptr);
  ~MenuBarView() override;

  // The values the sections are drawn from, read now.
  PopoverInput input() const;
  // The sections standing in the column, top to bottom.
  std::vector<PopoverSection> shownSections() const;
  QWidget* sectionWidget(PopoverSection section) const;
  // How often the section has been drawn: only when what it shows changed.
  int drawings(PopoverSection section) const;

  void perform(const PopoverAction& action);
  // Asks the user, through `gate`, for the calendar, reminders or contacts permission, at every
  // click, also after an earlier prompt was closed without an answer; any other key does nothing.
  static void requestTCCPermission(PrivacyGate& gate, const std::string& key);
  // Ends the server and reloads its launch agent off the main thread; the restarting look holds
  // until 8 s after that work has ended.
  void restartServer();
  // The footer's "Uninstall": shows the confirmation panel below it and asks for it to be
  // scrolled into view.
  void showUninstallConfirm();
  // Draws what the monitor published while the column was hidden; nothing when it is current.
  void applyLatest();

  UninstallPanel* uninstallPanel() const { return uninstallPanel_; }

  // The programs the restart runs (tests point them elsewhere).
  ServerRestart::Settings restartSettings;

 signals:
  // The restart's background work has ended (main thread).
  void serverRestartEnded();
  // The column's height changed; the popover follows it.
  void columnHeightChanged(int height);
  // The widget, newly shown at the foot of the column, should be scrolled into view. Asked
  // before the column grows, so the popover keeps its place from before it until the widget
  // closes; asked again when what the widget shows changes.
  void revealRequested(QWidget* widget);

 protected:
  bool event(QEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  // Draws the column now when it shows, else marks it for drawing when it opens: a hidden
  // popover costs nothing at each poll.
  void refresh();
  void draw();
  // Makes the column as tall as its sections take at its width.
  void fitColumn();
  void restartClaudeDesktop();

  StatusMonitor& monitor_;
  PrivacyGate& gate_;
  std::function<void()> onHide_;
  TrayScheduler& scheduler_;
  QVBoxLayout* column_;
  // Main thread only, as every member.
  std::map<PopoverSection, PopoverSectionWidget*> sections_;  // owned through Qt's parent
  std::map<PopoverSection, QWidget*> dividers_;
  std::map<PopoverSection, int> drawings_;
  UninstallPanel* uninstallPanel_;  // owned through Qt's parent; hidden until asked for
  bool isRestarting_ = false;
  bool stale_ = false;
  bool drawn_ = false;
  int lastHeight_ = -1;
};

}  // namespace tvrn
