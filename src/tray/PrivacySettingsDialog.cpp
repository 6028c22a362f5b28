#include "tray/PrivacySettingsDialog.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>
#include <array>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "pim/PrivacyGate.h"

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

// How long past its deadline a waiting thread gives the dialog to close itself.
constexpr std::chrono::milliseconds kCloseGrace{500};

std::optional<bool> askOnThisThread(PrivacyEntity entity, PrivacyGate::Deadline deadline) {
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0) return std::nullopt;
  PermissionPrompt prompt(entity);
  QTimer::singleShot(left, &prompt, &QDialog::reject);
  switch (prompt.exec()) {
    case PermissionPrompt::kAllowed:
      return true;
    case PermissionPrompt::kDenied:
      return false;
    default:
      return std::nullopt;
  }
}

// What the main thread hands back to the thread that waits for the user.
struct PendingAnswer {
  std::mutex mutex;  // guards the rest
  std::condition_variable done;
  bool answered = false;
  std::optional<bool> answer;
};

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
  // The refreshed list shows the answer as it was stored, a failed store included.
  static_cast<void>(PrivacyGate::shared().setStatus(
      *entity, allow ? AuthorizationStatus::granted : AuthorizationStatus::denied));
  refresh();
}

void PrivacySettingsDialog::refresh() {
  for (std::size_t index = 0; index < kEntities.size(); ++index) {
    services_->item(static_cast<int>(index))->setText(rowText(kEntities[index]));
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

void installPermissionPrompt() {
  PrivacyGate::shared().setPrompt(
      [](PrivacyEntity entity, PrivacyGate::Deadline deadline) -> std::optional<bool> {
        auto* app = QCoreApplication::instance();
        if (!app) return std::nullopt;
        if (QThread::currentThread() == app->thread()) return askOnThisThread(entity, deadline);
        auto pending = std::make_shared<PendingAnswer>();
        QMetaObject::invokeMethod(
            app,
            [pending, entity, deadline] {
              const auto answer = askOnThisThread(entity, deadline);
              std::lock_guard lock(pending->mutex);
              pending->answered = true;
              pending->answer = answer;
              pending->done.notify_all();
            },
            Qt::QueuedConnection);
        // A main thread that never gets to the dialog (the tray quitting) is not waited for
        // beyond the deadline either.
        std::unique_lock lock(pending->mutex);
        pending->done.wait_until(lock, deadline + kCloseGrace, [&] { return pending->answered; });
        return pending->answer;
      });
}

}  // namespace tvrn
