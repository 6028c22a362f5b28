#include "tray/popover/UninstallPanel.h"

#include <QCoreApplication>
#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QVBoxLayout>

#include "tray/popover/PopoverSections.h"
#include "tray/popover/UninstallTexts.h"

namespace tvrn {

UninstallPanel::UninstallPanel(StatusMonitor& monitor, TrayScheduler& scheduler, QWidget* parent)
    : QFrame(parent),
      quit([] { QCoreApplication::quit(); }),
      monitor_(monitor),
      scheduler_(scheduler),
      reason_(new QPlainTextEdit(this)),
      cancel_(new QPushButton(QString::fromUtf8(UninstallTexts::kCancel), this)),
      uninstall_(new QPushButton(QString::fromUtf8(UninstallTexts::kUninstall), this)) {
  setObjectName(QStringLiteral("uninstallPanel"));
  setStyleSheet(QStringLiteral("QFrame#uninstallPanel { background-color: %1; }")
                    .arg(cssColor(ColorRole::secondary, 0.04)));
  auto* layout = new QVBoxLayout(this);
  layout->setSpacing(8);
  layout->setContentsMargins(16, 8, 16, 8);

  auto* title = new PlainLabel(this);
  title->show(UninstallTexts::kTitle, ColorRole::red, 12, true);
  auto* prompt = new PlainLabel(this);
  prompt->setWordWrap(true);
  prompt->show(UninstallTexts::kPrompt, ColorRole::secondary, 11);
  auto* kept = new PlainLabel(this);
  kept->setObjectName(QStringLiteral("keptData"));
  kept->setWordWrap(true);
  kept->show(UninstallTexts::keptData(Uninstaller::keptDataFolder()), ColorRole::secondary, 11);
  reason_->setFixedHeight(50);
  reason_->setStyleSheet(QStringLiteral("QPlainTextEdit { background-color: %1; border: 1px solid "
                                        "%2; border-radius: 6px; }")
                             .arg(cssColor(ColorRole::secondary, 0.08))
                             .arg(cssColor(ColorRole::secondary, 0.15)));
  cancel_->setObjectName(QStringLiteral("cancelUninstall"));
  cancel_->setFlat(true);
  cancel_->setStyleSheet(QStringLiteral("QPushButton { color: %1; border: none; }")
                             .arg(cssColor(ColorRole::secondary)));
  uninstall_->setStyleSheet(QStringLiteral("QPushButton { color: %1; background-color: %2; border: "
                                           "none; border-radius: 4px; padding: 3px 8px; "
                                           "font-weight: 500; }")
                                .arg(cssColor(ColorRole::red))
                                .arg(cssColor(ColorRole::red, 0.15)));
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(cancel_);
  buttons->addStretch();
  buttons->addWidget(uninstall_);

  layout->addWidget(title);
  layout->addWidget(prompt);
  layout->addWidget(reason_);
  layout->addWidget(kept);
  layout->addLayout(buttons);

  connect(cancel_, &QPushButton::clicked, this, [this] { cancel(); });
  connect(uninstall_, &QPushButton::clicked, this, [this] { uninstall(); });
}

void UninstallPanel::cancel() {
  hide();
  reason_->clear();
}

void UninstallPanel::uninstall() {
  Uninstaller::perform(reason_->toPlainText().toStdString(), monitor_.status(), scheduler_, this,
                       quit, settings);
}

}  // namespace tvrn
