// The popover's sections that act through the status monitor: the services list, the AI clients
// (their fix reports with the monitor's settings), the app section (settings link, auto-update,
// restart notice or update offer) and the footer (help, the problem-report form, language, hiding
// the icon).
#pragma once

#include <functional>
#include <memory>

#include "pim/PrivacyGate.h"
#include "tray/StatusMonitor.h"
#include "tray/popover/PopoverSections.h"

namespace tvrn {

struct TraySectionContext {
  StatusMonitor& monitor;
  PrivacyGate& gate;                    // what the privacy page and the permission fixes ask
  std::function<void()> onHide;         // hides the icon; the server keeps running
  std::function<void()> redraw;         // draws every section again, after a change of language
  std::function<void()> showUninstall;  // the uninstall confirmation below the column
  std::function<void(QWidget*)> reveal;  // scrolls the widget, newly shown, into view
};

// The services list, the AI clients, the app section or the footer; nothing for any other
// section.
std::unique_ptr<PopoverSectionWidget> makeTraySection(PopoverSection section, QWidget* parent,
                                                      const TraySectionContext& context);

}  // namespace tvrn
