#include "tray/Desktop.h"

#include <QProcess>
#include <QStandardPaths>
#include <optional>

#include "platform/Opener.h"
#include "platform/RunningApps.h"
#include "tray/NotificationTexts.h"
#include "tray/PrivacySettingsDialog.h"

namespace tvrn::Desktop {
namespace {

constexpr std::string_view kPrivacyPrefix = "x-apple.systempreferences:";

}  // namespace

std::optional<std::string> privacyServiceOf(const std::string& url) {
  if (!url.starts_with(kPrivacyPrefix)) return std::nullopt;
  for (const auto& page : NotificationTexts::kSettingsPages) {
    if (page.url == url) return std::string(page.service);
  }
  return std::string();
}

void open(const std::string& url, PrivacyGate& gate) {
  const auto service = privacyServiceOf(url);
  if (!service) {
    static_cast<void>(Opener::open(url));  // a click with no program to answer it does nothing
    return;
  }
  auto* dialog = new PrivacySettingsDialog(gate, *service);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->show();
  dialog->raise();
  dialog->activateWindow();
}

bool openApp(const std::string& bundleId) {
  for (const auto name : RunningApps::processNames(bundleId)) {
    const QString program = QStandardPaths::findExecutable(
        QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size())));
    if (!program.isEmpty()) return QProcess::startDetached(program, {});
  }
  return false;
}

}  // namespace tvrn::Desktop
