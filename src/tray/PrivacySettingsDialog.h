// "Privacy & Security": the tray's own page for the calendar, reminders and contacts permissions
// (Linux has no system page for them), where the user allows or denies each.
#pragma once

#include <QDialog>
#include <string>

#include "pim/PrivacyGate.h"

class QListWidget;

namespace tvrn {

class PrivacySettingsDialog : public QDialog {
  Q_OBJECT

 public:
  // Shows and records the answers of `gate`. `selected` is the service shown first ("calendar",
  // "reminders" or "contacts"; another word, such as the empty text, selects none).
  PrivacySettingsDialog(PrivacyGate& gate, const std::string& selected, QWidget* parent = nullptr);

  // Empty while no service is selected.
  std::string selectedService() const;
  // Records the answer for the selected service, if any, and shows its new word.
  void answer(bool allow);

 private:
  void refresh();

  PrivacyGate& gate_;
  QListWidget* services_;
};

// Asks the user whether the system may read one kind of data: Allow or Don't Allow. Closing it
// any other way (Escape, the window's close button) answers nothing, and the access stays
// undecided.
class PermissionPrompt : public QDialog {
  Q_OBJECT

 public:
  static constexpr int kAllowed = 2;
  static constexpr int kDenied = 3;

  explicit PermissionPrompt(PrivacyEntity entity, QWidget* parent = nullptr);
  PrivacyEntity entity() const { return entity_; }

 private:
  PrivacyEntity entity_;
};

// Registers the prompt with `gate`: a window of its own, shown by the main thread, that stays up
// until the user closes it while the tray goes on working.
void installPermissionPrompt(PrivacyGate& gate);

}  // namespace tvrn
