// What each popover section shows, worked out from the status monitor's values: texts, colour
// roles, symbol names, actions and which sections stand in the column. The widgets only draw
// these models, so everything the user reads is decided here, without a screen.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tray/ServerStatus.h"

namespace tvrn {

enum class ColorRole { primary, secondary, accent, green, orange, red, blue, gray, white, approve };

// What a control does when clicked, with the texts it needs.
struct PopoverAction {
  enum class Kind {
    none,
    requestPermissions,  // arguments: the permission keys, in order
    openURL,             // arguments: the address
    dismissUpdate,
    restartClaude,
    approve,  // arguments: the request id
    deny,     // arguments: the request id
    restartServer,
    openSettingsPage,  // the local settings page's connection tab
  };
  Kind kind = Kind::none;
  std::vector<std::string> arguments;

  bool operator==(const PopoverAction&) const = default;
};

struct ButtonModel {
  std::string title;
  ColorRole color = ColorRole::accent;
  bool emphasised = false;  // semibold
  std::string symbol;       // empty for none
  PopoverAction action;

  bool operator==(const ButtonModel&) const = default;
};

// The monitor's values and the view's own state at one moment.
struct PopoverInput {
  std::optional<ServerStatus> status;
  bool connected = false;
  std::vector<PendingApproval> approvals;
  bool tccRegressed = false;
  std::optional<std::string> justUpdatedTo;
  bool claudeRunning = false;
  bool relayConfigured = false;
  bool restarting = false;
  std::chrono::system_clock::time_point now;
  std::vector<std::string> outlookAccounts;
  std::vector<std::string> outlookMissing;
  bool autoUpdateEnabled = false;
  // The tray's own status server waits for its port (StatusMonitor::statusServerWaits).
  bool statusServerWaits = false;
};

// The popover's sections, in the column's order.
enum class PopoverSection {
  header,
  regressionBanner,
  updatedBanner,
  approvals,
  permissions,
  cloudRelay,
  disconnected,
  services,
  aiClients,
  pushMessage,
  appSection,
  footer,
};

struct FrameRow {
  PopoverSection section;
  bool dividerAfter = true;

  bool operator==(const FrameRow&) const = default;
};

struct HeaderModel {
  std::string title;
  std::optional<std::string> badge;  // the server's version, when a status is at hand
  std::string pill;
  ColorRole pillColor = ColorRole::orange;

  bool operator==(const HeaderModel&) const = default;
};

struct RegressionBannerModel {
  std::string title;
  std::string subtitle;
  std::optional<ButtonModel> grant;
  std::optional<ButtonModel> settings;

  bool operator==(const RegressionBannerModel&) const = default;
};

struct UpdatedBannerModel {
  std::string title;
  std::string subtitle;
  ButtonModel dismiss;
  std::optional<ButtonModel> restartClaude;

  bool operator==(const UpdatedBannerModel&) const = default;
};

struct ApprovalRowModel {
  std::string requestId;
  std::string name;
  std::string subtitle;
  ButtonModel deny;
  ButtonModel approve;

  bool operator==(const ApprovalRowModel&) const = default;
};

struct ApprovalsModel {
  std::string title;
  std::string count;
  std::vector<ApprovalRowModel> rows;

  bool operator==(const ApprovalsModel&) const = default;
};

struct PermissionRowModel {
  std::string key;
  std::string label;
  std::string symbol;
  ColorRole symbolColor = ColorRole::orange;
  ButtonModel button;

  bool operator==(const PermissionRowModel&) const = default;
};

struct PermissionsModel {
  std::string title;
  std::vector<PermissionRowModel> rows;

  bool operator==(const PermissionsModel&) const = default;
};

struct RelayModel {
  std::string title;
  std::string state;
  ColorRole dotColor = ColorRole::gray;
  bool dotFaint = false;  // drawn at 40 % opacity
  ColorRole stateColor = ColorRole::secondary;
  bool stateEmphasised = false;

  bool operator==(const RelayModel&) const = default;
};

struct DisconnectedModel {
  std::string symbol;
  ColorRole symbolColor = ColorRole::orange;
  bool spinning = false;
  std::string title;
  ColorRole titleColor = ColorRole::primary;
  std::optional<std::string> hint;
  std::optional<ButtonModel> restart;

  bool operator==(const DisconnectedModel&) const = default;
};

struct PushMessageModel {
  bool nudge = false;
  std::string text;
  std::string symbol;
  ColorRole tint = ColorRole::orange;  // the symbol and, at 8 %, the background
  PopoverAction action;

  bool operator==(const PushMessageModel&) const = default;
};

namespace PopoverModels {

// True when a value is one of "denied", "not_determined", "notDetermined", "writeOnly".
bool permissionsNeedAttention(const std::map<std::string, std::string>& permissions);

std::vector<FrameRow> frame(const PopoverInput& input);

HeaderModel header(const PopoverInput& input);
RegressionBannerModel regressionBanner(const PopoverInput& input);
UpdatedBannerModel updatedBanner(const std::string& version, bool claudeRunning);
ApprovalsModel approvals(const std::vector<PendingApproval>& requests);
PermissionsModel permissions(const std::map<std::string, std::string>& permissions);

// Seconds since the server's start; 999 without a status or a readable start time.
double serverAgeSeconds(const std::optional<ServerStatus>& status,
                        std::chrono::system_clock::time_point now);
RelayModel relay(const PopoverInput& input);
DisconnectedModel disconnected(bool restarting);

// For a message that is present and not empty.
PushMessageModel pushMessage(const std::string& message);
// The settings page's connection tab on the status's port, 8765 without a status, at `host`
// (StatusMonitor::statusPageHost).
std::string settingsPageURL(const std::optional<ServerStatus>& status,
                            std::string_view host = "localhost");

}  // namespace PopoverModels
}  // namespace tvrn
