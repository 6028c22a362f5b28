#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "bridges/HelperProxy.h"
#include "bridges/JXARunnerProxy.h"
#include "bridges/PimFixtures.h"
#include "core/AuditLog.h"
#include "core/Config.h"
#include "core/ConfigManager.h"
#include "core/Timeouts.h"
#include "pim/PrivacyGate.h"
#include "support/TestEnv.h"
#include "support/ToolCall.h"
#include "tools/support/AutomationFakes.h"
#include "tools/support/DiagnosticTools.h"

namespace tvrn {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

class DiagnosticToolsTest : public ::testing::Test, protected test::PimWorld {
 protected:
  void SetUp() override {
    test::useFakeAutomation(rules());
    DiagnosticTools::registerTools(registry_, bridges(), "9.8.7");
  }
  // A check the deadline left behind still runs a script on the fixture's runner: ending the
  // runner waits for that exchange, so the check is done with it before it goes.
  void TearDown() override { scripts_.end(); }
  static fs::path rules() { return test::home() / "runner-rules.json"; }
  // The Mail script's answer.
  static void mailAnswers(json directive) {
    directive["contains"] = "Application('Mail')";
    test::writeFile(rules(), json::array({directive}).dump());
  }

  AutomationBridges bridges() { return {helper_, scripts_}; }

  HelperProxy helper_{dispatcher()};
  JXARunnerProxy scripts_{Timeouts::jxaDiagnosticLong};
  ToolRegistry registry_;
};

TEST_F(DiagnosticToolsTest, AHungCheckIsReportedAsSkippedAtTheDeadline) {
  mailAnswers({{"delay_ms", 4000}});
  const std::vector<DiagCheck> checks =
      DiagnosticTools::runAllChecks(bridges(), "", std::chrono::seconds(1));
  ASSERT_EQ(checks.size(), 9u);
  EXPECT_EQ(checks[3].status, CheckStatus::skip);
  EXPECT_EQ(checks[8].tool, "onedrive");
  const std::string report = DiagnosticTools::report(checks, "9.8.7");
  EXPECT_NE(report.find("\n–  mail                 Timeout (check timed out)\n   → Integration "
                        "did not respond in time"),
            std::string::npos)
      << report;
}

// What the permission store and the Mail script answer becomes the check's row.
TEST_F(DiagnosticToolsTest, AnswersBecomeStatusesAndDetails) {
  const std::string longText(300, 'x');
  struct Case {
    std::string focus;
    json permissions;  // or the Mail script's answer
    CheckStatus status;
    std::string detail;
    std::string hint = "";  // checked when given
  };
  const std::string grant =
      "Open the TVRN tray's Permissions section → Calendars (without the tray: set \"calendar\" "
      "to \"granted\" in ~/.config/tavrin/pim/authorization.json)";
  const Case cases[] = {
      {"calendar",
       {{"calendar", "denied"}},
       CheckStatus::permission,
       "No access permission",
       grant + " and enable tavrin-helper"},
      {"calendar",
       {{"calendar", "writeOnly"}},
       CheckStatus::permission,
       "Write-only access (reading events requires Full Access)",
       grant + " → find tavrin-helper → switch to 'Full Access'"},
      {"calendar", json::object(), CheckStatus::warning, "Permission not yet granted"},
      {"reminders",
       {{"reminders", "writeOnly"}},
       CheckStatus::warning,
       "Helper not available (writeOnly)"},
      {"contacts", {{"contacts", "granted"}}, CheckStatus::ok, "Access granted"},
      {"mail", {{"stdout", R"({"ok": true, "mailboxes": 7})"}}, CheckStatus::ok, "7 mailboxes"},
      {"mail",
       {{"stdout", "not json " + longText}},
       CheckStatus::ok,
       ("not json " + longText).substr(0, 80)},
      {"mail", {{"stdout", R"({"running": false})"}}, CheckStatus::notRunning, "Mail is not open"},
      {"mail",
       {{"stdout", R"({"__error__": "Error: NOT ALLOWED to send Apple events"})"}},
       CheckStatus::permission,
       "No Automation permission"},
      {"mail",
       {{"stdout", json{{"__error__", longText}}.dump()}},
       CheckStatus::error,
       longText.substr(0, 100)},
      {"mail", {{"error", longText}}, CheckStatus::error, longText.substr(0, 120)},
  };
  for (const Case& c : cases) {
    if (c.focus == "mail") {
      mailAnswers(c.permissions);
    } else {
      test::writeFile(PrivacyGate::file(), c.permissions.dump());
    }
    const std::vector<DiagCheck> checks = DiagnosticTools::runAllChecks(bridges(), c.focus);
    ASSERT_EQ(checks.size(), 1u);
    EXPECT_EQ(checks[0].status, c.status) << c.permissions;
    EXPECT_EQ(checks[0].detail, c.detail) << c.permissions;
    if (!c.hint.empty()) {
      EXPECT_EQ(checks[0].fixHint, c.hint) << c.permissions;
    }
  }
  HelperProxy noHelper;
  EXPECT_EQ(DiagnosticTools::runAllChecks({noHelper, scripts_}, "contacts")[0].detail,
            "Helper not available (helper_unavailable)");
}

// No runner program and no script host: the script checks say so once each, count neither way
// and give no advice; the file check looks at the home folder, which has no Desktop.
TEST_F(DiagnosticToolsTest, ChecksThatNeedScriptsSayTheyCannotRunHere) {
  fs::remove(test::home() / ".local/share/tavrin/bin/tavrin-jxa-runner");
  test::writeFile(
      PrivacyGate::file(),
      json({{"calendar", "granted"}, {"reminders", "granted"}, {"contacts", "granted"}}).dump());
  const std::vector<DiagCheck> checks = DiagnosticTools::runAllChecks(bridges(), "");
  ASSERT_EQ(checks.size(), 9u);
  for (std::size_t row : {3, 4, 5, 6}) {
    EXPECT_EQ(checks[row].status, CheckStatus::unavailable) << checks[row].tool;
    EXPECT_EQ(checks[row].detail, "not available on this system");
    EXPECT_EQ(checks[row].fixHint, "");
  }
  EXPECT_EQ(checks[7].status, CheckStatus::ok);
  EXPECT_EQ(checks[7].detail,
            std::to_string(test::namesIn(test::home()).size()) + " items in the home folder");

  const std::string report = DiagnosticTools::report(checks, "9.8.7");
  EXPECT_NE(report.find("\nSummary: 4 of 5 integrations working. Not running (optional): "
                        "OneDrive.\n"),
            std::string::npos)
      << report;
  EXPECT_NE(report.find("\n–  Mail.app             not available on this system\n–  Notes"),
            std::string::npos)
      << report;
  EXPECT_EQ(report.find("Restarting"), std::string::npos);
  EXPECT_TRUE(report.ends_with("\n✓ 4 OK   ⚠ 1 warnings   ✗ 0 problems")) << report;
  const std::string answer = test::textOf(test::callTool(registry_, "run_diagnostics"));
  EXPECT_EQ(answer.find("submit: true"), std::string::npos) << answer;

  // A focus on which no check can run here says so, instead of counting nothing as working.
  for (const char* focus : {"mail", "notes", "omnifocus", "outlook"}) {
    const std::string focused =
        test::textOf(test::callTool(registry_, "run_diagnostics", {{"focus", focus}}));
    EXPECT_NE(focused.find("\nSummary: No check could run on this system.\n"), std::string::npos)
        << focused;
  }
}

TEST_F(DiagnosticToolsTest, TheReportSummarisesProblemsAndWarnings) {
  std::vector<DiagCheck> checks(7, {"x", "Files", CheckStatus::ok, "fine", "no hint when ok"});
  checks.insert(checks.begin(),
                {"calendar", "Calendar", CheckStatus::permission, "Denied", "Fix."});
  checks.push_back({"outlook", "Outlook", CheckStatus::notRunning, "Not open", "Open it."});
  const std::string report = DiagnosticTools::report(checks, "9.8.7");
  EXPECT_EQ(report.rfind("🔍 TVRN Diagnostics v9.8.7 — Linux ", 0), 0u) << report;
  EXPECT_NE(report.find("\nSummary: 7 of 9 integrations working. Problems with: Calendar. Fix. "
                        "Not running (optional): Outlook.\n"),
            std::string::npos)
      << report;
  EXPECT_NE(report.find("\n🔒 Calendar             Denied\n   → Fix.\n✓  Files"), std::string::npos);
  EXPECT_EQ(report.find("no hint when ok"), std::string::npos);
  EXPECT_TRUE(report.ends_with("\n✓ 7 OK   ⚠ 1 warnings   ✗ 1 problems")) << report;

  checks = {{"y", "A label much longer than twenty", CheckStatus::ok, "cut", ""},
            {"z", "Late", CheckStatus::skip, "late", ""}};
  const std::string working = DiagnosticTools::report(checks, "1");
  EXPECT_NE(working.find("\nSummary: All 2 integrations working.\n"), std::string::npos);
  EXPECT_NE(working.find("\n✓  A label much longer  cut\n"), std::string::npos) << working;
}

// Secrets of every kind are masked, at any depth; other values keep their JSON type or become
// their JSON text.
TEST_F(DiagnosticToolsTest, GetConfigMasksEveryStoredSecret) {
  const std::vector<std::tuple<std::string, json, json>> cases = {
      {"api_key", "abc", "***"},
      {"cloud_token", std::string(40, 't'), "********"},
      {"m365_refresh_token", "", ""},
      {"servicenow_auth", "Basic dXNlcjpwYXNz", "********"},
      {"SMTP_Password", "hunter2", "*******"},
      {"client_secret_id", "s3", "**"},
      {"m365_pending_device_code", "DEVICE", "******"},
      {"m365_pending_user_code", "ABCD-EFGH", "ABCD-EFGH"},
      {"m365_token_expiry", 1700000000, 1700000000},
      {"read_only", true, true},
      {"ratio", 0.5, "0.5"},
      {"accounts",
       {{"work", {{"evernote_access_token", "xyz"}}}},
       R"({"work":{"evernote_access_token":"***"}})"},
  };
  json stored, expected;
  for (const auto& [key, value, shown] : cases) {
    stored[key] = value;
    expected[key] = shown;
  }
  ASSERT_TRUE(Config(*registry_.context().settings).save(stored));
  json config = test::jsonOf(test::callTool(registry_, "get_config"));
  config.erase("machine_id");  // the system's own, no secret
  EXPECT_EQ(config, expected);
}

TEST_F(DiagnosticToolsTest, GetAuditLogFiltersTheNewestEntriesIntoATextBlock) {
  AuditLog::configure(ConfigManager::shared().auditLogPath());
  EXPECT_EQ(test::jsonOf(test::callTool(registry_, "get_audit_log")),
            json({{"count", 0}, {"entries", json::array()}}));
  // Ten calls of "old" fall out of the 500 newest; of the rest every tenth failed.
  for (int i = 0; i < 10; ++i) AuditLog::record("old", CallSource::local, true, 1);
  for (int i = 0; i < 500; ++i) {
    AuditLog::record(i % 2 == 0 ? "even" : "odd", CallSource::cloud, i % 10 != 9, i);
  }
  const std::vector<std::pair<json, int>> cases = {
      {json::object(), 50},
      {{{"limit", 500}}, 200},
      {{{"limit", -3}}, 0},
      {{{"limit", "20"}}, 50},
      {{{"tool", "old"}, {"limit", 200}}, 0},
      {{{"tool", ""}}, 50},
      {{{"tool", "odd"}, {"ok", false}, {"limit", 200}}, 50},
      {{{"tool", "even"}, {"ok", false}}, 0},
  };
  for (const auto& [arguments, count] : cases) {
    const json answer = test::jsonOf(test::callTool(registry_, "get_audit_log", arguments));
    EXPECT_EQ(answer["count"], count) << arguments;
    EXPECT_EQ(answer["entries"].size(), static_cast<std::size_t>(count)) << arguments;
  }
  const json newest = test::jsonOf(test::callTool(registry_, "get_audit_log", {{"limit", 1}}));
  EXPECT_EQ(newest["entries"][0].size(), 5u);
  EXPECT_EQ(newest["entries"][0]["ms"], 499);
  EXPECT_EQ(newest["entries"][0]["source"], "cloud");
}

}  // namespace
}  // namespace tvrn
