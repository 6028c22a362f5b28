#include "tray/PrivacySettingsDialog.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>
#include <array>
#include <optional>

#include "pim/PrivacyGate.h"

namespace tvrn {
namespace {

constexpr std::array<PrivacyEntity, 3> kEntities{PrivacyEntity::calendar, PrivacyEntity::reminders,
                                                 PrivacyEntity::contacts};

QString rowText(const PrivacyGate& gate, PrivacyEntity entity) {
  const QString name = QString::fromUtf8(toRaw(entity).data(), toRaw(entity).size());
  const auto word = toRaw(gate.status(entity));
  return name.left(1).toUpper() + name.mid(1) + QStringLiteral(": ") +
         QString::fromUtf8(word.data(), word.size());
}

// A window of its own beside the tray: the icon and the popover keep working while it waits.
void showPrompt(PrivacyEntity entity, const PrivacyGate::Answer& answer) {
  auto* prompt = new PermissionPrompt(entity);
  prompt->setAttribute(Qt::WA_DeleteOnClose);
  QObject::connect(prompt, &QDialog::finished, prompt, [answer](int result) {
    answer(result == PermissionPrompt::kAllowed  ? std::optional<bool>(true)
           : result == PermissionPrompt::kDenied ? std::optional<bool>(false)
                                                 : std::nullopt);
  });
  prompt->show();
  prompt->raise();
  prompt->activateWindow();
}

}  // namespace

PrivacySettingsDialog::PrivacySettingsDialog(PrivacyGate& gate, const std::string& selected,
                                             QWidget* parent)
    : QDialog(parent), gate_(gate), services_(new QListWidget(this)) {
  setWindowTitle(QStringLiteral("Privacy & Security"));
  auto* allow = new QPushButton(QStringLiteral("Allow"), this);
  auto* deny = new QPushButton(QStringLiteral("Deny"), this);
  connect(allow, &QPushButton::clicked, this, [this] { answer(true); });
  connect(deny, &QPushButton::clicked, this, [this] { answer(false); });
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(deny);
  buttons->addWidget(allow);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(services_);
  layout->addLayout(buttons);

  int row = -1;
  for (std::size_t index = 0; index < kEntities.size(); ++index) {
    services_->addItem(rowText(gate_, kEntities[index]));
    if (toRaw(kEntities[index]) == selected) row = static_cast<int>(index);
  }
  services_->setCurrentRow(row);
}

std::string PrivacySettingsDialog::selectedService() const {
  const int row = services_->currentRow();
  if (row < 0) return {};
  return std::string(toRaw(kEntities[static_cast<std::size_t>(row)]));
}

void PrivacySettingsDialog::answer(bool allow) {
  const auto entity = privacyEntityFromRaw(selectedService());
  if (!entity) return;
  // The refreshed list shows the answer as it was stored, a failed store included.
  static_cast<void>(
      gate_.setStatus(*entity, allow ? AuthorizationStatus::granted : AuthorizationStatus::denied));
  refresh();
}

void PrivacySettingsDialog::refresh() {
  for (std::size_t index = 0; index < kEntities.size(); ++index) {
    services_->item(static_cast<int>(index))->setText(rowText(gate_, kEntities[index]));
  }
}

PermissionPrompt::PermissionPrompt(PrivacyEntity entity, QWidget* parent)
    : QDialog(parent), entity_(entity) {
  setWindowTitle(QStringLiteral("TVRN"));
  setObjectName(QStringLiteral("permissionPrompt"));
  const auto name = toRaw(entity);
  auto* question = new QLabel(QStringLiteral("TVRN would like to access your %1.")
                                  .arg(QString::fromUtf8(name.data(), name.size())),
                              this);
  auto* allow = new QPushButton(QStringLiteral("Allow"), this);
  allow->setObjectName(QStringLiteral("allow"));
  auto* deny = new QPushButton(QStringLiteral("Don't Allow"), this);
  deny->setObjectName(QStringLiteral("deny"));
  // Neither answer is the default: Return must not decide for the user.
  allow->setAutoDefault(false);
  deny->setAutoDefault(false);
  connect(allow, &QPushButton::clicked, this, [this] { done(kAllowed); });
  connect(deny, &QPushButton::clicked, this, [this] { done(kDenied); });
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(deny);
  buttons->addWidget(allow);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(question);
  layout->addLayout(buttons);
}

void installPermissionPrompt(PrivacyGate& gate) {
  gate.setPrompt([](PrivacyEntity entity, PrivacyGate::Answer answer) {
    auto* app = QCoreApplication::instance();
    if (!app) return answer(std::nullopt);
    // Shown by the main thread, at once when the gate is asked there.
    QMetaObject::invokeMethod(
        app, [entity, answer = std::move(answer)] { showPrompt(entity, answer); },
        Qt::AutoConnection);
  });
}

}  // namespace tvrn
