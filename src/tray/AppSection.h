// The popover's app section as data: the notice under the settings row (a restart notice or an
// update offer), the nudge that reports an offer once per version and, for a required update,
// asks the server once to update by itself; and the addresses the section and the footer open.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "tray/ServerStatus.h"

namespace tvrn {

class StatusMonitor;

struct RestartNotice {
  std::string text;

  bool operator==(const RestartNotice&) const = default;
};

struct UpdateOffer {
  std::string candidate;
  std::int64_t behind = 0;
  bool required = false;  // more than ten releases behind
  std::string title;
  std::string button;
  std::optional<std::string> notes;    // present only when not empty
  std::optional<std::string> warning;  // with the install line, when required

  bool operator==(const UpdateOffer&) const = default;
};

using AppNotice = std::variant<std::monostate, RestartNotice, UpdateOffer>;

// A pending restart wins over any offer.
AppNotice appNotice(const std::optional<ServerStatus>& status);

// The line that installs the newest release by hand.
std::string installCommand();

// What the section remembers while the tray runs: the version last reported and the version last
// updated without a click.
class UpdateNudge {
 public:
  // Each time the offer is on screen.
  void offerShown(const UpdateOffer& offer, StatusMonitor& monitor);
  // "Install" or "Update Now": every press sends both requests.
  static void pressed(const UpdateOffer& offer, StatusMonitor& monitor);

 private:
  std::string nudgeShownForVersion_;
  std::string forcedUpdateTriggeredForVersion_;
};

// The auto-update switch: switching on also asks for a check at once.
void autoUpdateSwitched(bool enabled, StatusMonitor& monitor);

// The status server's settings page, and its help tab, on the status's port (8765 without one),
// at `host` (StatusMonitor::statusPageHost).
std::string settingsPageURL(const std::optional<ServerStatus>& status,
                            std::string_view host = "localhost");
std::string helpPageURL(const std::optional<ServerStatus>& status,
                        std::string_view host = "localhost");

// The notice while the tray's own status server waits for its port.
std::string statusServerWaitsNotice();

// A mail to the support address with the report typed so far, for when sending failed.
std::string bugReportMailURL(const std::optional<ServerStatus>& status, const std::string& text);

}  // namespace tvrn
