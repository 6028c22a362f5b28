// The confirmation panel below the footer: an optional reason, "Cancel", and "Uninstall", which
// removes the system and quits the tray a second later.
#pragma once

#include <QFrame>
#include <functional>

#include "tray/StatusMonitor.h"
#include "tray/TrayScheduler.h"
#include "tray/Uninstaller.h"

class QPlainTextEdit;
class QPushButton;

namespace tvrn {

class UninstallPanel final : public QFrame {
 public:
  UninstallPanel(StatusMonitor& monitor, TrayScheduler& scheduler, QWidget* parent);

  // Hides the panel and forgets the reason.
  void cancel();
  // Runs the uninstall with the reason as typed; the panel stays until the tray quits.
  void uninstall();

  QPlainTextEdit* reasonEditor() const { return reason_; }
  QPushButton* cancelButton() const { return cancel_; }
  QPushButton* uninstallButton() const { return uninstall_; }

  // What ends the tray (the application's quit); tests record it instead.
  std::function<void()> quit;
  Uninstaller::Settings settings;

 private:
  StatusMonitor& monitor_;
  TrayScheduler& scheduler_;
  QPlainTextEdit* reason_;
  QPushButton* cancel_;
  QPushButton* uninstall_;
};

}  // namespace tvrn
