#include "app/Desktop.h"

#include <QProcess>
#include <QStandardPaths>
#include <array>
#include <optional>

#include "app/PrivacySettingsDialog.h"
#include "platform/Opener.h"
#include "platform/RunningApps.h"

namespace tvrn::Desktop {
namespace {

constexpr std::string_view kPrivacyPrefix = "x-apple.systempreferences:";

struct Pane {
  std::string_view anchor;
  std::string_view service;
};
constexpr std::array<Pane, 3> kPanes{{{"Privacy_Calendars", "calendar"},
                                      {"Privacy_Reminders", "reminders"},
                                      {"Privacy_Contacts", "contacts"}}};

}  // namespace

std::optional<std::string> privacyServiceOf(const std::string& url) {
  if (!url.starts_with(kPrivacyPrefix)) return std::nullopt;
  const auto query = url.find('?');
  if (query == std::string::npos) return std::string();
  const std::string_view anchor = std::string_view(url).substr(query + 1);
  for (const auto& pane : kPanes) {
    if (pane.anchor == anchor) return std::string(pane.service);
  }
  return std::string();
}

void open(const std::string& url) {
  const auto service = privacyServiceOf(url);
  if (!service) {
    Opener::open(url);
    return;
  }
  auto* dialog = new PrivacySettingsDialog(*service);
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
