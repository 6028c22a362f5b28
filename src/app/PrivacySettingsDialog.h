// "Privacy & Security": the tray's own page for the calendar, reminders and contacts permissions
// (Linux has no system page for them), where the user allows or denies each.
#pragma once

#include <QDialog>
#include <string>

class QListWidget;

namespace tvrn {

class PrivacySettingsDialog : public QDialog {
  Q_OBJECT

 public:
  // `selected` is the service shown first ("calendar", "reminders" or "contacts"; another word,
  // such as the empty text, selects none).
  explicit PrivacySettingsDialog(const std::string& selected, QWidget* parent = nullptr);

  // Empty while no service is selected.
  std::string selectedService() const;
  // Records the answer for the selected service, if any, and shows its new word.
  void answer(bool allow);

 private:
  void refresh();

  QListWidget* services_;
};

// Asks the user whether the system may read one kind of data: a modal Allow / Don't Allow
// dialog on the main thread, while the asking thread waits. Registered with the privacy gate.
void installPermissionPrompt();

}  // namespace tvrn
