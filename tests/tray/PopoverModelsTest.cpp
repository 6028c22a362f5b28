#include <gtest/gtest.h>

#include "tray/TrayStrings.h"
#include "tray/popover/PopoverModels.h"

namespace tvrn {
namespace {

using Kind = PopoverAction::Kind;
using Map = std::map<std::string, std::string>;
using S = PopoverSection;
using Keys = std::vector<std::string>;
using namespace std::chrono_literals;

ServerStatus withPermissions(std::optional<Map> permissions) {
  ServerStatus status;
  status.version = "3.0.100";
  status.permissions = std::move(permissions);
  return status;
}

// The cases the popover's screenshots do not show.
TEST(PopoverModelsTest, TheColumnAndTheHeaderFollowTheMonitor) {
  PopoverInput banners;
  banners.tccRegressed = true;
  banners.justUpdatedTo = "3.0.101";
  EXPECT_EQ(PopoverModels::frame(banners), (std::vector<FrameRow>{{S::header},
                                                                  {S::regressionBanner},
                                                                  {S::updatedBanner},
                                                                  {S::cloudRelay},
                                                                  {S::disconnected},
                                                                  {S::aiClients},
                                                                  {S::appSection},
                                                                  {S::footer, false}}));
  const std::vector<std::pair<std::optional<Map>, std::optional<std::string>>> quiet = {
      {Map{{"calendar", "granted"}, {"b", "restricted"}, {"c", "Denied"}}, ""},
      {std::nullopt, std::nullopt},
  };
  for (const auto& [permissions, push] : quiet) {
    PopoverInput input;
    input.status = withPermissions(permissions);
    input.status->pushMessage = push;
    EXPECT_EQ(PopoverModels::frame(input), (std::vector<FrameRow>{{S::header},
                                                                  {S::cloudRelay},
                                                                  {S::services},
                                                                  {S::aiClients},
                                                                  {S::appSection},
                                                                  {S::footer, false}}));
  }
  EXPECT_TRUE(PopoverModels::permissionsNeedAttention({{"any key", "not_determined"}}));

  PopoverInput input;
  input.status = withPermissions({});
  input.status->version = "";
  input.connected = true;
  EXPECT_EQ(PopoverModels::header(input), (HeaderModel{"TVRN", "v", "Running", ColorRole::green}));
  TrayStrings::setLanguage("ja");
  input.connected = false;
  EXPECT_EQ(PopoverModels::header(input).pill, "オフライン");
  TrayStrings::setLanguage("en");
}

TEST(PopoverModelsTest, RegressionBannerOffersGrantForUndecidedKeysAndSettingsForDeniedOnes) {
  // The subtitle, the keys Grant Access asks for, and the settings button's label.
  struct Case {
    std::optional<Map> permissions;
    std::string subtitle;
    std::optional<Keys> grant;
    std::optional<std::string> settings;
  };
  const std::string reopen = "Open System Settings to re-grant access";
  const std::vector<Case> cases = {
      {Map{{"calendar", "notDetermined"}, {"contacts", "denied"}},
       "Tap Grant Access to restore Calendar", Keys{"calendar"}, "System Settings"},
      {Map{{"reminders", "not_determined"}, {"calendar", "not_determined"}},
       "Tap Grant Access to restore Calendar, Reminders",
       Keys{"calendar", "reminders"},
       {}},
      {Map{{"calendar", "denied"}}, reopen, {}, "System Settings →"},
      {Map{{"calendar", "writeOnly"}, {"contacts", "notDetermined"}},
       "Tap Grant Access to restore Contacts", Keys{"contacts"}, "System Settings"},
      {Map{{"automation", "notDetermined"}}, reopen, {}, "System Settings →"},
      {std::nullopt, reopen, {}, "System Settings →"},
  };
  for (const auto& [permissions, subtitle, grant, settings] : cases) {
    SCOPED_TRACE(subtitle);
    PopoverInput input;
    input.status = withPermissions(permissions);
    const auto model = PopoverModels::regressionBanner(input);
    EXPECT_EQ(model.title, "Permissions lost after update");
    EXPECT_EQ(model.subtitle, subtitle);
    EXPECT_EQ(model.grant ? std::optional(model.grant->action.arguments) : std::nullopt, grant);
    EXPECT_EQ(model.settings ? std::optional(model.settings->title) : std::nullopt, settings);
    if (model.settings) {
      EXPECT_EQ(model.settings->action.arguments.at(0),
                "x-apple.systempreferences:com.apple.preference.security?Privacy_Calendars");
    }
  }
}

// Each shown row as "label symbol colour button target".
TEST(PopoverModelsTest, PermissionRowsFollowTheTableOrderWithIconAndButtonByWord) {
  const auto describe = [](const PermissionRowModel& row) {
    const auto& target = row.button.action.arguments.at(0);
    return row.label + " " + row.symbol +
           (row.symbolColor == ColorRole::red ? " red " : " orange ") + row.button.title + " " +
           target.substr(target.find('?') + 1);
  };
  const std::vector<std::pair<Map, Keys>> cases = {
      {{{"calendar", "granted"}, {"automation", "denied"}},
       {"Automation xmark.circle.fill red Fix → Privacy_Automation"}},
      {{{"contacts", "notDetermined"}},
       {"Contacts questionmark.circle.fill orange Grant Access contacts"}},
      {{{"automation", "not_determined"}},
       {"Automation questionmark.circle.fill orange Fix → Privacy_Automation"}},
      {{{"calendar", "writeOnly"}},
       {"Calendar exclamationmark.circle.fill orange Fix → Privacy_Calendars"}},
      {{{"photos", "denied"}}, {}},
      {{{"contacts", "denied"},
        {"automation", "writeOnly"},
        {"reminders", "not_determined"},
        {"calendar", "denied"}},
       {"Calendar xmark.circle.fill red Fix → Privacy_Calendars",
        "Reminders questionmark.circle.fill orange Grant Access reminders",
        "Contacts xmark.circle.fill red Fix → Privacy_Contacts",
        "Automation exclamationmark.circle.fill orange Fix → Privacy_Automation"}},
  };
  for (const auto& [permissions, rows] : cases) {
    const auto model = PopoverModels::permissions(permissions);
    EXPECT_EQ(model.title, "Permissions needed");
    Keys shown;
    for (const auto& row : model.rows) shown.push_back(describe(row));
    EXPECT_EQ(shown, rows);
  }
}

TEST(PopoverModelsTest, RelayStateFollowsTokenTunnelAndServerAgeOnTheInjectedClock) {
  const auto now = std::chrono::sys_days{std::chrono::December / 7 / 2026} + 12h;
  struct Case {
    std::optional<std::string> startedAt;
    bool token;
    std::optional<bool> tunnel;
    double age;
    std::string state;
    ColorRole dot;
  };
  const std::vector<Case> cases = {
      {"2026-12-07T11:59:30Z", true, false, 30, "Connecting…", ColorRole::orange},
      {"2026-12-07T11:59:30.250Z", true, std::nullopt, 29.75, "Connecting…", ColorRole::orange},
      {"2026-12-07T11:58:30Z", true, false, 90, "Not connected", ColorRole::gray},
      {"2026-12-07T11:59:00Z", true, false, 60, "Not connected", ColorRole::gray},
      {std::nullopt, true, false, 999, "Not connected", ColorRole::gray},
      {"yesterday", true, false, 999, "Not connected", ColorRole::gray},
      {"2026-12-07T11:59:30Z", false, false, 30, "Off", ColorRole::gray},
      {"2026-12-07T11:59:30Z", false, true, 30, "On · forwarding", ColorRole::green},
      {std::nullopt, true, true, 999, "On · forwarding", ColorRole::green},
  };
  for (const auto& [startedAt, token, tunnel, age, state, dot] : cases) {
    SCOPED_TRACE(startedAt.value_or("-") + " " + state);
    PopoverInput input;
    input.status = withPermissions({});
    input.status->startedAt = startedAt;
    input.status->tunnelConnected = tunnel;
    input.relayConfigured = token;
    input.now = now;
    EXPECT_DOUBLE_EQ(PopoverModels::serverAgeSeconds(input.status, now), age);
    const auto model = PopoverModels::relay(input);
    EXPECT_EQ(model.state, state);
    EXPECT_EQ(model.dotColor, dot);
    EXPECT_EQ(model.dotFaint, dot == ColorRole::gray);
  }
  PopoverInput none;
  none.relayConfigured = true;
  EXPECT_EQ(PopoverModels::relay(none).state, "Not connected");
}

TEST(PopoverModelsTest, OnlyALeadingNudgeMarkerMakesANudgeThatOpensTheConnectTab) {
  const std::vector<std::tuple<std::string, bool, std::string>> cases = {
      {"[NUDGE] Connect your first AI client", true, " Connect your first AI client"},
      {"[NUDGE]", true, ""},
      {"[nudge] lower case", false, "[nudge] lower case"},
      {" [NUDGE] after a blank", false, " [NUDGE] after a blank"},
  };
  for (const auto& [message, nudge, text] : cases) {
    const auto model = PopoverModels::pushMessage(message);
    EXPECT_EQ(model.text, text);
    EXPECT_EQ(model.tint, nudge ? ColorRole::blue : ColorRole::orange);
    EXPECT_EQ(model.action.kind, nudge ? Kind::openSettingsPage : Kind::none);
  }
  ServerStatus status;
  status.port = 9000;
  EXPECT_EQ(PopoverModels::settingsPageURL(status), "http://localhost:9000/app#tab-connect");
  EXPECT_EQ(PopoverModels::settingsPageURL(std::nullopt), "http://localhost:8765/app#tab-connect");
}

}  // namespace
}  // namespace tvrn
