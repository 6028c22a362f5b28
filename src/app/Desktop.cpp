#include "app/Desktop.h"

#include "app/NotificationTexts.h"
#include "app/PrivacySettingsDialog.h"
#include "platform/Opener.h"

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

}  // namespace tvrn::Desktop
