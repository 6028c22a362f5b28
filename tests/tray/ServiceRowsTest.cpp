// The services list as data: which rows exist, what each says, and where each fix leads.
#include <gtest/gtest.h>

#include "tray/ServiceRows.h"
#include "tray/TrayFixtures.h"
#include "tray/TrayStrings.h"

namespace tvrn {
namespace {

using nlohmann::json;

ServerStatus decoded(const json& document) {
  auto status = decodeServerStatus(document);
  EXPECT_TRUE(status.ok()) << status.error();
  return std::move(status).value();
}

// The fresh install with these services, errors and permissions.
ServerStatus statusWith(const json& services, const json& errors = nullptr,
                        const json& permissions = nullptr) {
  json document = test::statusFixture("status-fresh-install.json");
  document["services"] = services;
  if (!errors.is_null()) document["service_errors"] = errors;
  document.erase("permissions");
  if (!permissions.is_null()) document["permissions"] = permissions;
  return decoded(document);
}

const ServiceRow& rowNamed(const std::vector<ServiceItem>& items, const std::string& name) {
  for (const auto& item : items) {
    if (const auto* row = std::get_if<ServiceRow>(&item); row && row->name == name) return *row;
  }
  ADD_FAILURE() << "no row " << name;
  static const ServiceRow none;
  return none;
}

// Rows and headings as short texts: "#Title", a row's name, "[Outlook]", "[WhatsApp]".
std::vector<std::string> outline(const std::vector<ServiceItem>& items) {
  std::vector<std::string> names;
  for (const auto& item : items) {
    if (const auto* label = std::get_if<SectionLabel>(&item)) names.push_back("#" + label->title);
    if (const auto* row = std::get_if<ServiceRow>(&item)) names.push_back(row->name);
    if (std::holds_alternative<OutlookRow>(item)) names.push_back("[Outlook]");
    if (std::holds_alternative<WhatsAppRow>(item)) names.push_back("[WhatsApp]");
  }
  return names;
}

class ServiceRowsTest : public ::testing::Test {
 protected:
  void SetUp() override { TrayStrings::setLanguage("en"); }
  void TearDown() override { TrayStrings::setLanguage("en"); }
};

TEST_F(ServiceRowsTest, OptionalRowsAndHeadingsFollowTheirRecords) {
  const std::vector<std::string> base{"#Apple",     "Mail",     "Calendar", "Contacts", "Reminders",
                                      "Notes",      "Messages", "Safari",   "Finder",   "OmniFocus",
                                      "#Microsoft", "Teams",    "OneDrive"};
  struct Case {
    const char* label;
    json services;
    std::vector<std::string> outlook;
    std::vector<std::string> tail;
  };
  const Case cases[] = {
      {"nothing reported", json::object(), {}, {}},
      {"slack unavailable", {{"slack", {{"available", false}}}}, {}, {}},
      {"slack without local data", {{"slack", {{"available", true}}}}, {}, {"Slack"}},
      {"outlook installed", json::object(), {"Microsoft Outlook"}, {"[Outlook]"}},
      {"nordvpn not installed", {{"nordvpn", {{"installed", false}}}}, {}, {}},
      {"nordvpn installed", {{"nordvpn", {{"installed", true}}}}, {}, {"#VPN", "NordVPN"}},
      {"whatsapp unavailable",
       {{"whatsapp", {{"available", false}, {"authenticated", true}}}},
       {},
       {}},
      {"everything",
       {{"slack", {{"available", true}}},
        {"nordvpn", {{"installed", true}}},
        {"whatsapp", {{"available", true}, {"authenticated", false}}}},
       {"Microsoft Outlook"},
       {"Slack", "[Outlook]", "#VPN", "NordVPN", "#Messaging", "[WhatsApp]"}},
  };
  for (const auto& c : cases) {
    auto expected = base;
    expected.insert(expected.end(), c.tail.begin(), c.tail.end());
    EXPECT_EQ(outline(servicesSection(statusWith(c.services), c.outlook, {})), expected) << c.label;
  }
}

// Each case: the services, errors and permissions, the row looked at, and what it shows.
TEST_F(ServiceRowsTest, RowsShowTheirStateDetailErrorAndFix) {
  const std::string sixty(60, 'x');
  const std::string kMailOff = "Open Mail.app to enable";
  struct Case {
    const char* label;
    json services, errors, permissions;
    std::string row;
    ServiceRow::State state;
    std::optional<std::string> detail;
    std::string error;  // as shown
    std::optional<std::string> offReason;
    std::string fixLabel;
  };
  using S = ServiceRow::State;
  const Case cases[] = {
      {"mail without accounts",
       {{"email", {{"running", true}, {"accounts", json::array()}}}},
       nullptr,
       nullptr,
       "Mail",
       S::running,
       std::nullopt,
       "",
       kMailOff,
       "Open →"},
      {"mail with an account",
       {{"email", {{"running", true}, {"accounts", {"a"}}}}},
       nullptr,
       nullptr,
       "Mail",
       S::running,
       "1 accounts",
       "",
       kMailOff,
       "Open →"},
      {"mail error of 61 characters",
       {{"email", {{"running", true}, {"accounts", {"a"}}}}},
       {{"mail", {{"error", sixty + "y"}, {"suggestion", "Restart Mail"}}}},
       nullptr,
       "Mail",
       S::error,
       std::nullopt,
       sixty + "…",
       kMailOff,
       "Open →"},
      {"mail error of 60 characters",
       json::object(),
       {{"mail", {{"error", sixty}}}},
       nullptr,
       "Mail",
       S::error,
       std::nullopt,
       sixty,
       kMailOff,
       "Open →"},
      // 61 letters each with a combining accent: cut after the 60th letter, accent kept.
      {"accented error",
       json::object(),
       {{"calendar",
         {{"error",
           [] {
             std::string text;
             for (int i = 0; i < 61; ++i) text += "e\u0301";
             return text;
           }()}}}},
       nullptr,
       "Calendar",
       S::error,
       std::nullopt,
       [] {
         std::string text;
         for (int i = 0; i < 60; ++i) text += "e\u0301";
         return text + "…";
       }(),
       "Permission needed",
       "Settings →"},
      {"error under another key is not shown",
       json::object(),
       {{"contacts", {{"error", "x"}}}},
       nullptr,
       "Contacts",
       S::off,
       std::nullopt,
       "",
       "Permission needed",
       "Settings →"},
      {"calendar write-only",
       json::object(),
       nullptr,
       {{"calendar", "writeOnly"}},
       "Calendar",
       S::off,
       std::nullopt,
       "",
       "Write-only — full access needed",
       "Upgrade →"},
      {"calendar never asked",
       json::object(),
       nullptr,
       {{"calendar", "not_determined"}},
       "Calendar",
       S::off,
       std::nullopt,
       "",
       "Permission needed",
       "Enable →"},
      // The first status after a start, before the server has looked: nothing is needed yet.
      {"calendar not looked at yet",
       json::object(),
       nullptr,
       {{"calendar", "unknown"}},
       "Calendar",
       S::off,
       std::nullopt,
       "",
       std::nullopt,
       ""},
      {"contacts denied",
       json::object(),
       nullptr,
       {{"contacts", "denied"}},
       "Contacts",
       S::off,
       std::nullopt,
       "",
       "Permission needed",
       "Settings →"},
      {"reminders without lists",
       {{"reminders", {{"running", true}}}},
       nullptr,
       nullptr,
       "Reminders",
       S::running,
       std::nullopt,
       "",
       "Permission needed",
       "Settings →"},
      {"notes counted",
       {{"notes", {{"running", true}, {"count", 42}}}},
       nullptr,
       nullptr,
       "Notes",
       S::running,
       "42 notes",
       "",
       "Open Notes.app to enable",
       "Open →"},
      {"messages off", json::object(), nullptr, nullptr, "Messages", S::off, std::nullopt, "",
       std::nullopt, "Open →"},
      {"teams available, not running, no chats",
       {{"teams", {{"available", true}, {"running", false}, {"conversations", 0}}}},
       nullptr,
       nullptr,
       "Teams",
       S::running,
       std::nullopt,
       "",
       "Open Microsoft Teams to enable",
       "Open →"},
      {"onedrive empty",
       {{"onedrive", json::array()}},
       nullptr,
       nullptr,
       "OneDrive",
       S::off,
       std::nullopt,
       "",
       "Install OneDrive for Mac",
       "Get →"},
      {"slack without local data",
       {{"slack", {{"available", true}}}},
       nullptr,
       nullptr,
       "Slack",
       S::off,
       std::nullopt,
       "",
       std::nullopt,
       "Open →"},
      {"nordvpn connected",
       {{"nordvpn", {{"installed", true}, {"connected", true}}}},
       nullptr,
       nullptr,
       "NordVPN",
       S::running,
       "Connected",
       "",
       std::nullopt,
       "Open →"},
  };
  for (const auto& c : cases) {
    const auto items = servicesSection(statusWith(c.services, c.errors, c.permissions), {}, {});
    const ServiceRow& row = rowNamed(items, c.row);
    EXPECT_EQ(row.state(), c.state) << c.label;
    EXPECT_EQ(row.shownDetail(), c.detail) << c.label;
    EXPECT_EQ(row.shownError(), c.error) << c.label;
    EXPECT_EQ(row.offReason, c.offReason) << c.label;
    EXPECT_EQ(row.fixLabel, c.fixLabel) << c.label;
    EXPECT_EQ(row.fix.has_value(), !c.fixLabel.empty()) << c.label;
  }
}

TEST_F(ServiceRowsTest, CountWordsFollowTheLanguageExceptTheFixedEnglishOnes) {
  TrayStrings::setLanguage("es");
  const auto items =
      servicesSection(statusWith({{"email", {{"running", true}, {"accounts", {"a", "b"}}}},
                                  {"reminders", {{"running", true}, {"lists", {"x", "y", "z"}}}}}),
                      {}, {});
  EXPECT_EQ(rowNamed(items, "Mail").shownDetail(), "2 cuentas");
  EXPECT_EQ(rowNamed(items, "Reminders").shownDetail(), "3 lists");
}

// Each case: a row's fix, what the desktop has registered, and what the handlers were asked.
TEST_F(ServiceRowsTest, FixesOpenTheAppThePaneOrThePermissionRequest) {
  struct Case {
    const char* label;
    json permissions;
    std::string row;
    std::string registered;  // the program for any scheme; empty for none
    std::vector<std::string> calls;
  };
  const Case cases[] = {
      {"calendar write-only opens its pane",
       {{"calendar", "writeOnly"}},
       "Calendar",
       "",
       {"url:x-apple.systempreferences:com.apple.preference.security?Privacy_Calendars"}},
      {"calendar never asked asks in place",
       {{"calendar", "notDetermined"}},
       "Calendar",
       "",
       {"ask:calendar"}},
      {"contacts without a word opens its pane",
       nullptr,
       "Contacts",
       "",
       {"url:x-apple.systempreferences:com.apple.preference.security?Privacy_Contacts"}},
      {"mail starts Mail", nullptr, "Mail", "", {"app:com.apple.mail"}},
      {"finder opens Finder", nullptr, "Finder", "", {"app:com.apple.finder"}},
      {"teams with a handler", nullptr, "Teams", "teams.desktop", {"url:msteams://"}},
      {"teams without one",
       nullptr,
       "Teams",
       "",
       {"url:https://www.microsoft.com/microsoft-teams/download-app"}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> calls;
    std::string asked;
    const ServiceFixHandlers handlers{
        [&](const std::string& name) { calls.push_back("app:" + name); },
        [&](const std::string& url) { calls.push_back("url:" + url); },
        [&](const std::string& scheme) {
          asked = scheme;
          return c.registered;
        },
        [&](const std::string& key) { calls.push_back("ask:" + key); }};
    const auto items = servicesSection(statusWith(json::object(), nullptr, c.permissions), {}, {});
    const ServiceRow& row = rowNamed(items, c.row);
    ASSERT_TRUE(row.fix) << c.label;
    runFix(*row.fix, handlers);
    EXPECT_EQ(calls, c.calls) << c.label;
    if (c.row == "Teams") {
      EXPECT_EQ(asked, "msteams") << c.label;
    }
  }
}

TEST_F(ServiceRowsTest, OutlookRowTellsHowOutlookMailIsReached) {
  struct Case {
    const char* label;
    json m365;  // null for no record
    std::vector<std::string> missing;
    OutlookRow::Badge badge;
    std::string line;
    bool addToMail;
  };
  using B = OutlookRow::Badge;
  const Case cases[] = {
      {"connected with missing accounts",
       {{"connected", true}, {"email", "me@example.com"}},
       {"a@x"},
       B::m365,
       "Connected · me@example.com",
       false},
      {"connected without an e-mail",
       {{"connected", true}},
       {},
       B::m365,
       "Connected via Microsoft 365",
       false},
      {"connected with an empty e-mail",
       {{"connected", true}, {"email", ""}},
       {},
       B::m365,
       "Connected · ",
       false},
      {"no record, nothing missing",
       nullptr,
       {},
       B::ok,
       "Installed · connect via M365 for full access",
       false},
      {"two missing",
       {{"connected", false}},
       {"a@x", "b@y"},
       B::setup,
       "a@x, b@y not in Mail.app",
       true},
  };
  for (const auto& c : cases) {
    json services = json::object();
    if (!c.m365.is_null()) services["m365"] = c.m365;
    const auto row = outlookRow(statusWith(services), c.missing);
    EXPECT_EQ(row.badge, c.badge) << c.label;
    EXPECT_EQ(row.line, c.line) << c.label;
    EXPECT_EQ(row.addToMail, c.addToMail) << c.label;
  }
  EXPECT_EQ(outlookRow(std::nullopt, {"a@x"}).badge, B::setup);
}

}  // namespace
}  // namespace tvrn
