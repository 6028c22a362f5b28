#include "tray/popover/PopoverModels.h"

#include <algorithm>
#include <array>
#include <cctype>

#include "base/Timestamp.h"
#include "tray/AppSection.h"
#include "tray/StatusEvents.h"
#include "tray/TrayStrings.h"
#include "tray/popover/PopoverTexts.h"

namespace tvrn::PopoverModels {
namespace {

using Kind = PopoverAction::Kind;
namespace T = PopoverTexts;

constexpr std::array<std::string_view, 3> kRegressionKeys{"calendar", "reminders", "contacts"};
constexpr double kUnknownAge = 999;
constexpr double kConnectingFor = 60;

std::string text(std::string_view view) { return std::string(view); }

bool notDetermined(std::string_view word) {
  return word == "notDetermined" || word == "not_determined";
}

bool isAttentionWord(std::string_view word) {
  return word == "denied" || word == "writeOnly" || notDetermined(word);
}

std::string capitalised(std::string_view key) {
  std::string word(key);
  if (!word.empty()) word[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(word[0])));
  return word;
}

const std::map<std::string, std::string>& permissionsOf(const std::optional<ServerStatus>& status) {
  static const std::map<std::string, std::string> kNone;
  return status && status->permissions ? *status->permissions : kNone;
}

}  // namespace

bool permissionsNeedAttention(const std::map<std::string, std::string>& permissions) {
  return std::any_of(permissions.begin(), permissions.end(),
                     [](const auto& entry) { return isAttentionWord(entry.second); });
}

std::vector<FrameRow> frame(const PopoverInput& input) {
  std::vector<FrameRow> rows{{PopoverSection::header}};
  if (input.tccRegressed) rows.push_back({PopoverSection::regressionBanner});
  if (input.justUpdatedTo) rows.push_back({PopoverSection::updatedBanner});
  if (!input.approvals.empty()) rows.push_back({PopoverSection::approvals});
  const auto& status = input.status;
  if (status && status->permissions && permissionsNeedAttention(*status->permissions)) {
    rows.push_back({PopoverSection::permissions});
  }
  rows.push_back({PopoverSection::cloudRelay});
  // With a status, the services list takes this place.
  rows.push_back({status ? PopoverSection::services : PopoverSection::disconnected});
  rows.push_back({PopoverSection::aiClients});
  if (status && status->pushMessage && !status->pushMessage->empty()) {
    rows.push_back({PopoverSection::pushMessage});
  }
  rows.push_back({PopoverSection::appSection});
  rows.push_back({PopoverSection::footer, false});
  return rows;
}

HeaderModel header(const PopoverInput& input) {
  HeaderModel model;
  model.title = text(T::kTitle);
  if (input.status) model.badge = text(T::kVersionPrefix) + input.status->version;
  model.pill = TrayStrings::L(input.connected ? "running" : "offline");
  model.pillColor = input.connected ? ColorRole::green : ColorRole::orange;
  return model;
}

RegressionBannerModel regressionBanner(const PopoverInput& input) {
  const auto& permissions = permissionsOf(input.status);
  std::vector<std::string> missing;
  bool denied = false;
  for (const auto key : kRegressionKeys) {
    const auto found = permissions.find(std::string(key));
    if (found == permissions.end()) continue;
    if (notDetermined(found->second)) missing.emplace_back(key);
    if (found->second == "denied" || found->second == "writeOnly") denied = true;
  }
  RegressionBannerModel model;
  model.title = text(T::kRegressedTitle);
  if (missing.empty()) {
    model.subtitle = text(T::kRegressedReopen);
  } else {
    model.subtitle = text(T::kRegressedRestore);
    for (std::size_t index = 0; index < missing.size(); ++index) {
      model.subtitle += (index ? ", " : "") + capitalised(missing[index]);
    }
    model.grant = ButtonModel{
        text(T::kGrantAccess), ColorRole::white, true, "", {Kind::requestPermissions, missing}};
  }
  if (missing.empty() || denied) {
    model.settings =
        ButtonModel{text(missing.empty() ? T::kSystemSettingsArrow : T::kSystemSettings),
                    ColorRole::red,
                    missing.empty(),
                    "",
                    {Kind::openURL, {text(T::kPermissionRows[0].url)}}};
  }
  return model;
}

UpdatedBannerModel updatedBanner(const std::string& version, bool claudeRunning) {
  UpdatedBannerModel model;
  model.title = text(T::kUpdatedTo) + version;
  model.subtitle = text(claudeRunning ? T::kRestartClaudeHint : T::kNewConversationHint);
  model.dismiss = ButtonModel{"", ColorRole::secondary, false, "xmark", {Kind::dismissUpdate, {}}};
  if (claudeRunning) {
    model.restartClaude = ButtonModel{text(T::kRestartClaude),
                                      ColorRole::green,
                                      false,
                                      "arrow.clockwise",
                                      {Kind::restartClaude, {}}};
  }
  return model;
}

ApprovalsModel approvals(const std::vector<PendingApproval>& requests) {
  ApprovalsModel model;
  model.title = text(T::kPendingApprovals);
  model.count = std::to_string(requests.size());
  for (const auto& request : requests) {
    model.rows.push_back({
        request.requestId,
        request.clientName.empty() ? text(T::kUnknownClient) : request.clientName,
        text(T::kWantsAccess),
        {text(T::kDeny), ColorRole::secondary, false, "", {Kind::deny, {request.requestId}}},
        {text(T::kApprove), ColorRole::white, true, "", {Kind::approve, {request.requestId}}},
    });
  }
  return model;
}

PermissionsModel permissions(const std::map<std::string, std::string>& permissions) {
  PermissionsModel model;
  model.title = TrayStrings::L("permissions_needed");
  for (const auto& row : T::kPermissionRows) {
    const auto found = permissions.find(std::string(row.key));
    if (found == permissions.end() || !isAttentionWord(found->second)) continue;
    const std::string& word = found->second;
    PermissionRowModel shown{
        text(row.key), text(row.label), "questionmark.circle.fill", ColorRole::orange, {}};
    if (word == "denied") {
      shown.symbol = "xmark.circle.fill";
      shown.symbolColor = ColorRole::red;
    } else if (word == "writeOnly") {
      shown.symbol = "exclamationmark.circle.fill";
    }
    // Automation cannot be asked for; only its settings can help.
    if (notDetermined(word) && row.key != "automation") {
      shown.button = {text(T::kGrantAccess),
                      ColorRole::green,
                      false,
                      "",
                      {Kind::requestPermissions, {text(row.key)}}};
    } else {
      shown.button = {
          text(T::kFix), ColorRole::accent, false, "", {Kind::openURL, {text(row.url)}}};
    }
    model.rows.push_back(std::move(shown));
  }
  return model;
}

double serverAgeSeconds(const std::optional<ServerStatus>& status,
                        std::chrono::system_clock::time_point now) {
  if (!status || !status->startedAt) return kUnknownAge;
  const auto started = Timestamp::parseISO8601(*status->startedAt);
  if (!started) return kUnknownAge;
  return std::chrono::duration<double>(now - *started).count();
}

RelayModel relay(const PopoverInput& input) {
  RelayModel model;
  model.title = text(T::kCloudRelay);
  const bool connected = input.status && input.status->tunnelConnected.value_or(false);
  if (connected) {
    model.state = text(T::kRelayForwarding);
    model.dotColor = model.stateColor = ColorRole::green;
    model.stateEmphasised = true;
  } else if (!input.relayConfigured) {
    model.state = text(T::kRelayOff);
    model.dotFaint = true;
  } else if (serverAgeSeconds(input.status, input.now) < kConnectingFor) {
    model.state = text(T::kRelayConnecting);
    model.dotColor = model.stateColor = ColorRole::orange;
  } else {
    model.state = text(T::kRelayNotConnected);
    model.dotFaint = true;
  }
  return model;
}

DisconnectedModel disconnected(bool restarting) {
  DisconnectedModel model;
  if (restarting) {
    model.symbol = "arrow.clockwise";
    model.symbolColor = model.titleColor = ColorRole::accent;
    model.spinning = true;
    model.title = TrayStrings::L("server_restarting");
    return model;
  }
  model.symbol = "exclamationmark.triangle";
  model.title = TrayStrings::L("server_offline");
  model.hint = TrayStrings::L("server_check");
  model.restart = ButtonModel{
      text(T::kRestart), ColorRole::accent, false, "arrow.clockwise", {Kind::restartServer, {}}};
  return model;
}

PushMessageModel pushMessage(const std::string& message) {
  PushMessageModel model;
  if (message.starts_with(kNudgePrefix)) {
    model.nudge = true;
    model.text = message.substr(kNudgePrefix.size());
    model.symbol = "questionmark.circle";
    model.tint = ColorRole::blue;
    model.action = {Kind::openSettingsPage, {}};
    return model;
  }
  model.text = message;
  model.symbol = "megaphone";
  return model;
}

std::string settingsPageURL(const std::optional<ServerStatus>& status, std::string_view host) {
  return tvrn::settingsPageURL(status, host) + "#tab-connect";
}

}  // namespace tvrn::PopoverModels
