#include "app/PrivacySettingsDialog.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>
#include <QVBoxLayout>
#include <array>

#include "platform/PrivacyGate.h"

namespace tvrn {
namespace {

constexpr std::array<PrivacyEntity, 3> kEntities{PrivacyEntity::calendar, PrivacyEntity::reminders,
                                                 PrivacyEntity::contacts};

QString rowText(PrivacyEntity entity) {
  const QString name = QString::fromUtf8(toRaw(entity).data(), toRaw(entity).size());
  const auto word = toRaw(PrivacyGate::shared().status(entity));
  return name.left(1).toUpper() + name.mid(1) + QStringLiteral(": ") +
         QString::fromUtf8(word.data(), word.size());
}

std::optional<bool> askOnThisThread(PrivacyEntity entity) {
  const auto name = toRaw(entity);
  QMessageBox box(QMessageBox::Question, QStringLiteral("TVRN"),
                  QStringLiteral("TVRN would like to access your %1.")
                      .arg(QString::fromUtf8(name.data(), name.size())));
  auto* allow = box.addButton(QStringLiteral("Allow"), QMessageBox::AcceptRole);
  auto* deny = box.addButton(QStringLiteral("Don't Allow"), QMessageBox::RejectRole);
  box.exec();
  if (box.clickedButton() == allow) return true;
  if (box.clickedButton() == deny) return false;
  return std::nullopt;
}

}  // namespace

PrivacySettingsDialog::PrivacySettingsDialog(const std::string& selected, QWidget* parent)
    : QDialog(parent), services_(new QListWidget(this)) {
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
    services_->addItem(rowText(kEntities[index]));
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
  PrivacyGate::shared().setStatus(
      *entity, allow ? AuthorizationStatus::granted : AuthorizationStatus::denied);
  refresh();
}

void PrivacySettingsDialog::refresh() {
  for (std::size_t index = 0; index < kEntities.size(); ++index) {
    services_->item(static_cast<int>(index))->setText(rowText(kEntities[index]));
  }
}

void installPermissionPrompt() {
  PrivacyGate::shared().setPrompt([](PrivacyEntity entity) -> std::optional<bool> {
    auto* app = QCoreApplication::instance();
    if (!app) return std::nullopt;
    if (QThread::currentThread() == app->thread()) return askOnThisThread(entity);
    std::optional<bool> answer;
    QMetaObject::invokeMethod(
        app, [&] { answer = askOnThisThread(entity); }, Qt::BlockingQueuedConnection);
    return answer;
  });
}

}  // namespace tvrn
