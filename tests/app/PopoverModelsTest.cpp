#include <gtest/gtest.h>

#include "app/TrayFixtures.h"
#include "app/TrayStrings.h"
#include "app/popover/PopoverModels.h"

namespace tvrn {
namespace {

using nlohmann::json;
using Kind = PopoverAction::Kind;
using Map = std::map<std::string, std::string>;
using S = PopoverSection;
using namespace std::chrono_literals;

constexpr const char* kCalendarsPane =
    "x-apple.systempreferences:com.apple.preference.security?Privacy_Calendars";

// The busy fixture, changed as the case says; members set to null are removed.
ServerStatus status(const json& changes = json::object()) {
  json document = test::statusFixture("status-busy.json");
  for (const auto& [key, value] : changes.items()) {
    if (value.is_null()) {
      document.erase(key);
    } else {
      document[key] = value;
    }
  }
  auto decoded = decodeServerStatus(document);
  EXPECT_TRUE(decoded.ok());
  return decoded.value();
}

PendingApproval approval(const std::string& id, const std::string& name) {
  return {id, name, "client-" + id, "https://client.example/cb", 1.0};
}

std::vector<S> sectionsOf(const PopoverInput& input) {
  std::vector<S> sections;
  for (const auto& row : PopoverModels::frame(input)) {
    EXPECT_TRUE(row.dividerAfter);
    sections.push_back(row.section);
  }
  return sections;
}

TEST(PopoverModelsTest, TheColumnHoldsTheSectionsTheMonitorCallsForInTheirOrder) {
  PopoverInput all;
  all.status = status({{"permissions", {{"calendar", "denied"}}}});
  all.tccRegressed = true;
  all.justUpdatedTo = "3.0.101";
  all.approvals = {approval("r1", "Claude")};
  PopoverInput nothing;  // before the first status
  struct Case {
    const char* name;
    PopoverInput input;
    std::vector<S> sections;
  };
  const auto with = [](PopoverInput input, auto change) {
    change(input);
    return input;
  };
  const std::vector<Case> cases = {
      {"before the first status",
       nothing,
       {S::header, S::cloudRelay, S::disconnected, S::aiClients}},
      {"all four groups",
       all,
       {S::header, S::regressionBanner, S::updatedBanner, S::approvals, S::permissions,
        S::cloudRelay, S::aiClients, S::pushMessage}},
      {"only granted permissions",
       with(all,
            [](auto& in) {
              in = {};
              in.status = status();
            }),
       {S::header, S::cloudRelay, S::aiClients, S::pushMessage}},
      {"no permissions map",
       with(all,
            [](auto& in) {
              in = {};
              in.status = status({{"permissions", nullptr}});
            }),
       {S::header, S::cloudRelay, S::aiClients, S::pushMessage}},
      {"one writeOnly value",
       with(all,
            [](auto& in) {
              in = {};
              in.status =
                  status({{"permissions", {{"contacts", "granted"}, {"calendar", "writeOnly"}}},
                          {"push_message", nullptr}});
            }),
       {S::header, S::permissions, S::cloudRelay, S::aiClients}},
      {"an empty push message",
       with(all,
            [](auto& in) {
              in = {};
              in.status = status({{"push_message", ""}});
            }),
       {S::header, S::cloudRelay, S::aiClients}},
      {"approvals gone",
       with(all, [](auto& in) { in.approvals.clear(); }),
       {S::header, S::regressionBanner, S::updatedBanner, S::permissions, S::cloudRelay,
        S::aiClients, S::pushMessage}},
      {"banners before any status",
       with(nothing,
            [](auto& in) {
              in.tccRegressed = true;
              in.justUpdatedTo = "1";
            }),
       {S::header, S::regressionBanner, S::updatedBanner, S::cloudRelay, S::disconnected,
        S::aiClients}},
  };
  for (const auto& [name, input, sections] : cases) {
    SCOPED_TRACE(name);
    EXPECT_EQ(sectionsOf(input), sections);
  }
  EXPECT_FALSE(PopoverModels::permissionsNeedAttention({}));
  EXPECT_FALSE(PopoverModels::permissionsNeedAttention({{"calendar", "Denied"}}));
  EXPECT_TRUE(PopoverModels::permissionsNeedAttention({{"x", "not_determined"}}));
}

TEST(PopoverModelsTest, HeaderShowsTheVersionOfTheLastStatusAndWhetherTheServerAnswersNow) {
  struct Case {
    std::optional<ServerStatus> status;
    bool connected;
    const char* language;
    std::optional<std::string> badge;
    std::string pill;
    ColorRole color;
  };
  const std::vector<Case> cases = {
      {std::nullopt, false, "en", std::nullopt, "Offline", ColorRole::orange},
      {status(), true, "en", "v3.0.100", "Running", ColorRole::green},
      {status(), false, "en", "v3.0.100", "Offline", ColorRole::orange},
      {status({{"version", ""}}), true, "en", "v", "Running", ColorRole::green},
      {status({{"version", " 3.1 beta"}}), true, "de", "v 3.1 beta", "Aktiv", ColorRole::green},
  };
  for (const auto& [given, connected, language, badge, pill, color] : cases) {
    TrayStrings::setLanguage(language);
    PopoverInput input;
    input.status = given;
    input.connected = connected;
    const auto model = PopoverModels::header(input);
    EXPECT_EQ(model, (HeaderModel{"TVRN", badge, pill, color}));
  }
  TrayStrings::setLanguage("ja");
  EXPECT_EQ(PopoverModels::header({}).pill, TrayStrings::L("offline"));
  EXPECT_NE(PopoverModels::header({}).pill, "Offline");
  EXPECT_EQ(PopoverModels::header({}).title, "TVRN");
  TrayStrings::setLanguage("en");
}

TEST(PopoverModelsTest, RegressionBannerOffersGrantForUndecidedKeysAndSettingsForDeniedOnes) {
  struct Case {
    std::optional<Map> permissions;
    std::string subtitle;
    std::optional<std::vector<std::string>> grant;
    std::optional<std::string> settings;
  };
  const std::vector<Case> cases = {
      {Map{{"calendar", "notDetermined"}, {"contacts", "denied"}},
       "Tap Grant Access to restore Calendar", std::vector<std::string>{"calendar"},
       "System Settings"},
      {Map{{"reminders", "not_determined"}, {"calendar", "not_determined"}},
       "Tap Grant Access to restore Calendar, Reminders",
       std::vector<std::string>{"calendar", "reminders"}, std::nullopt},
      {Map{{"calendar", "denied"}}, "Open System Settings to re-grant access", std::nullopt,
       "System Settings →"},
      {Map{{"calendar", "writeOnly"}, {"contacts", "notDetermined"}},
       "Tap Grant Access to restore Contacts", std::vector<std::string>{"contacts"},
       "System Settings"},
      {Map{{"automation", "denied"}, {"automation2", "notDetermined"}},
       "Open System Settings to re-grant access", std::nullopt, "System Settings →"},
      {std::nullopt, "Open System Settings to re-grant access", std::nullopt, "System Settings →"},
  };
  for (const auto& [permissions, subtitle, grant, settings] : cases) {
    SCOPED_TRACE(subtitle);
    PopoverInput input;
    input.status = status({{"permissions", permissions ? json(*permissions) : json()}});
    const auto model = PopoverModels::regressionBanner(input);
    EXPECT_EQ(model.title, "Permissions lost after update");
    EXPECT_EQ(model.subtitle, subtitle);
    ASSERT_EQ(model.grant.has_value(), grant.has_value());
    if (grant) {
      EXPECT_EQ(model.grant->action, (PopoverAction{Kind::requestPermissions, *grant}));
      EXPECT_EQ(model.grant->title, "Grant Access");
    }
    ASSERT_EQ(model.settings.has_value(), settings.has_value());
    if (settings) {
      EXPECT_EQ(model.settings->title, *settings);
      EXPECT_EQ(model.settings->emphasised, *settings == "System Settings →");
      EXPECT_EQ(model.settings->action, (PopoverAction{Kind::openURL, {kCalendarsPane}}));
    }
  }
  EXPECT_EQ(PopoverModels::regressionBanner({}).subtitle,
            "Open System Settings to re-grant access");
}

TEST(PopoverModelsTest, UpdatedBannerOffersTheClaudeRestartOnlyWhileClaudeRuns) {
  const auto running = PopoverModels::updatedBanner("3.0.101", true);
  EXPECT_EQ(running.title, "Updated to v3.0.101");
  EXPECT_EQ(running.subtitle, "Restart Claude Desktop to reconnect.");
  ASSERT_TRUE(running.restartClaude);
  EXPECT_EQ(running.restartClaude->title, "Restart Claude Desktop");
  EXPECT_EQ(running.restartClaude->action.kind, Kind::restartClaude);
  EXPECT_EQ(running.dismiss.action.kind, Kind::dismissUpdate);

  const auto idle = PopoverModels::updatedBanner("3.0.101", false);
  EXPECT_EQ(idle.subtitle, "Start a new conversation in your AI client to reconnect.");
  EXPECT_FALSE(idle.restartClaude);
}

TEST(PopoverModelsTest, ApprovalRowsKeepTheListOrderWithOneRowPerRequest) {
  const auto model = PopoverModels::approvals(
      {approval("r1", "Claude"), approval("r2", "Claude"), approval("r3", "")});
  EXPECT_EQ(model.title, "Pending approvals");
  EXPECT_EQ(model.count, "3");
  ASSERT_EQ(model.rows.size(), 3u);
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"r1", "Claude"}, {"r2", "Claude"}, {"r3", "Unknown client"}};
  for (std::size_t index = 0; index < expected.size(); ++index) {
    const auto& row = model.rows[index];
    EXPECT_EQ(row.requestId, expected[index].first);
    EXPECT_EQ(row.name, expected[index].second);
    EXPECT_EQ(row.subtitle, "wants to access your Mac apps");
    EXPECT_EQ(row.approve.action, (PopoverAction{Kind::approve, {row.requestId}}));
    EXPECT_EQ(row.deny.action, (PopoverAction{Kind::deny, {row.requestId}}));
  }
}

TEST(PopoverModelsTest, PermissionRowsFollowTheTableOrderWithIconAndButtonByWord) {
  struct Row {
    std::string label;
    std::string symbol;
    ColorRole color;
    std::string button;
    PopoverAction action;
  };
  const auto fix = [](const char* pane) {
    return PopoverAction{
        Kind::openURL,
        {std::string("x-apple.systempreferences:com.apple.preference.security?") + pane}};
  };
  const auto grant = [](const char* key) { return PopoverAction{Kind::requestPermissions, {key}}; };
  const std::vector<std::pair<Map, std::vector<Row>>> cases = {
      {{{"calendar", "granted"}, {"automation", "denied"}},
       {{"Automation", "xmark.circle.fill", ColorRole::red, "Fix →", fix("Privacy_Automation")}}},
      {{{"contacts", "notDetermined"}},
       {{"Contacts", "questionmark.circle.fill", ColorRole::orange, "Grant Access",
         grant("contacts")}}},
      {{{"automation", "not_determined"}},
       {{"Automation", "questionmark.circle.fill", ColorRole::orange, "Fix →",
         fix("Privacy_Automation")}}},
      {{{"calendar", "writeOnly"}},
       {{"Calendar", "exclamationmark.circle.fill", ColorRole::orange, "Fix →",
         fix("Privacy_Calendars")}}},
      {{{"photos", "denied"}}, {}},
      {{{"contacts", "denied"},
        {"automation", "writeOnly"},
        {"reminders", "not_determined"},
        {"calendar", "denied"}},
       {{"Calendar", "xmark.circle.fill", ColorRole::red, "Fix →", fix("Privacy_Calendars")},
        {"Reminders", "questionmark.circle.fill", ColorRole::orange, "Grant Access",
         grant("reminders")},
        {"Contacts", "xmark.circle.fill", ColorRole::red, "Fix →", fix("Privacy_Contacts")},
        {"Automation", "exclamationmark.circle.fill", ColorRole::orange, "Fix →",
         fix("Privacy_Automation")}}},
  };
  for (const auto& [permissions, rows] : cases) {
    SCOPED_TRACE(json(permissions).dump());
    const auto model = PopoverModels::permissions(permissions);
    EXPECT_EQ(model.title, "Permissions needed");
    ASSERT_EQ(model.rows.size(), rows.size());
    for (std::size_t index = 0; index < rows.size(); ++index) {
      const auto& shown = model.rows[index];
      EXPECT_EQ(shown.label, rows[index].label);
      EXPECT_EQ(shown.symbol, rows[index].symbol);
      EXPECT_EQ(shown.symbolColor, rows[index].color);
      EXPECT_EQ(shown.button.title, rows[index].button);
      EXPECT_EQ(shown.button.action, rows[index].action);
    }
  }
}

TEST(PopoverModelsTest, RelayStateFollowsTokenTunnelAndServerAgeOnTheInjectedClock) {
  const auto now = std::chrono::sys_days{std::chrono::December / 7 / 2026} + 12h;
  struct Case {
    json startedAt;  // null: missing
    bool token;
    std::optional<bool> tunnel;
    double age;
    std::string state;
    ColorRole dot;
    bool faint;
  };
  const std::vector<Case> cases = {
      {"2026-12-07T11:59:30Z", true, false, 30, "Connecting…", ColorRole::orange, false},
      {"2026-12-07T11:59:30.250Z", true, std::nullopt, 29.75, "Connecting…", ColorRole::orange,
       false},
      {"2026-12-07T11:58:30Z", true, false, 90, "Not connected", ColorRole::gray, true},
      {"2026-12-07T11:59:00Z", true, false, 60, "Not connected", ColorRole::gray, true},
      {nullptr, true, false, 999, "Not connected", ColorRole::gray, true},
      {"yesterday", true, false, 999, "Not connected", ColorRole::gray, true},
      {"2026-12-07T11:59:30Z", false, false, 30, "Off", ColorRole::gray, true},
      {"2026-12-07T11:59:30Z", false, true, 30, "On · forwarding", ColorRole::green, false},
      {nullptr, true, true, 999, "On · forwarding", ColorRole::green, false},
  };
  for (const auto& [startedAt, token, tunnel, age, state, dot, faint] : cases) {
    SCOPED_TRACE(startedAt.dump() + " " + state);
    PopoverInput input;
    input.status =
        status({{"started_at", startedAt}, {"tunnel_connected", tunnel ? json(*tunnel) : json()}});
    input.relayConfigured = token;
    input.now = now;
    EXPECT_DOUBLE_EQ(PopoverModels::serverAgeSeconds(input.status, now), age);
    const auto model = PopoverModels::relay(input);
    EXPECT_EQ(model.title, "Cloud Relay");
    EXPECT_EQ(model.state, state);
    EXPECT_EQ(model.dotColor, dot);
    EXPECT_EQ(model.dotFaint, faint);
    EXPECT_EQ(model.stateEmphasised, state == "On · forwarding");
  }
  PopoverInput none;
  none.relayConfigured = true;
  EXPECT_EQ(PopoverModels::serverAgeSeconds(std::nullopt, now), 999);
  EXPECT_EQ(PopoverModels::relay(none).state, "Not connected");
}

TEST(PopoverModelsTest, DisconnectedSectionHidesRestartWhileRestarting) {
  const auto offline = PopoverModels::disconnected(false);
  EXPECT_EQ(offline.symbol, "exclamationmark.triangle");
  EXPECT_FALSE(offline.spinning);
  EXPECT_EQ(offline.title, "Server not responding");
  EXPECT_EQ(offline.hint, "Check that TVRN is installed and running");
  ASSERT_TRUE(offline.restart);
  EXPECT_EQ(offline.restart->title, "Restart");
  EXPECT_EQ(offline.restart->action.kind, Kind::restartServer);

  const auto restarting = PopoverModels::disconnected(true);
  EXPECT_EQ(restarting.symbol, "arrow.clockwise");
  EXPECT_TRUE(restarting.spinning);
  EXPECT_EQ(restarting.title, "Restarting server…");
  EXPECT_EQ(restarting.titleColor, ColorRole::accent);
  EXPECT_FALSE(restarting.hint);
  EXPECT_FALSE(restarting.restart);
}

TEST(PopoverModelsTest, OnlyALeadingNudgeMarkerMakesANudgeThatOpensTheConnectTab) {
  struct Case {
    std::string message;
    bool nudge;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"[NUDGE] Connect your first AI client", true, " Connect your first AI client"},
      {"[NUDGE]", true, ""},
      {"[nudge] lower case", false, "[nudge] lower case"},
      {" [NUDGE] after a blank", false, " [NUDGE] after a blank"},
      {"<b>Sale</b> <a href='x'>now</a>", false, "<b>Sale</b> <a href='x'>now</a>"},
  };
  for (const auto& [message, nudge, text] : cases) {
    const auto model = PopoverModels::pushMessage(message);
    EXPECT_EQ(model.nudge, nudge) << message;
    EXPECT_EQ(model.text, text);
    EXPECT_EQ(model.symbol, nudge ? "questionmark.circle" : "megaphone");
    EXPECT_EQ(model.tint, nudge ? ColorRole::blue : ColorRole::orange);
    EXPECT_EQ(model.action.kind, nudge ? Kind::openSettingsPage : Kind::none);
  }
  EXPECT_EQ(PopoverModels::settingsPageURL(status({{"port", 9000}})),
            "http://localhost:9000/app#tab-connect");
  EXPECT_EQ(PopoverModels::settingsPageURL(std::nullopt), "http://localhost:8765/app#tab-connect");
}

}  // namespace
}  // namespace tvrn
