#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "bridges/HelperProxy.h"
#include "bridges/LocalData.h"
#include "core/AuditLog.h"
#include "core/Config.h"
#include "core/ConfigManager.h"
#include "platform/PrivacyGate.h"
#include "support/TestEnv.h"
#include "support/ToolCall.h"
#include "tools/DiagnosticTexts.h"
#include "tools/DiagnosticTools.h"

namespace tvrn {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// The helper answers inside the process, as start-up arranges, and the script runner is the fake,
// steered per script by a rules file.
class DiagnosticToolsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    HelperProxy::setInProcessDispatch(
        [](std::string_view request) { return LocalData::dispatch(request); });
    const fs::path runner = test::home() / ".local/share/tavrin/bin/tavrin-jxa-runner";
    fs::create_directories(runner.parent_path());
    fs::remove(runner);
    fs::create_symlink(test::fakesDir() / "fake-jxa-runner", runner);
    ::setenv("FAKE_JXA_RUNNER_RULES", rulesFile().c_str(), 1);
    DiagnosticTools::registerTools(registry_, "9.8.7");
  }

  static fs::path rulesFile() { return test::home() / "runner-rules.json"; }
  static void steerRunner(const json& rules) { test::writeFile(rulesFile(), rules.dump()); }
  static void authorize(const json& words) {
    test::writeFile(PrivacyGate::shared().file(), words.dump());
  }

  ToolRegistry registry_;
};

DiagCheck only(std::string_view focus) {
  const std::vector<DiagCheck> checks = DiagnosticTools::runAllChecks(focus);
  EXPECT_EQ(checks.size(), 1u) << focus;
  return checks.empty() ? DiagCheck{} : checks.front();
}

TEST_F(DiagnosticToolsTest, AHungCheckIsReportedAsSkippedAtTheDeadline) {
  // The Mail check waits far past the deadline; every other script answers at once.
  steerRunner(json::array({{{"contains", "Application('Mail')"}, {"delay_ms", 4000}}}));
  const std::vector<DiagCheck> checks =
      DiagnosticTools::runAllChecks("", std::chrono::milliseconds(1000));
  ASSERT_EQ(checks.size(), 9u);
  EXPECT_EQ(checks[3].tool, "mail");
  EXPECT_EQ(checks[3].label, "mail");
  EXPECT_EQ(checks[3].status, CheckStatus::skip);
  EXPECT_EQ(checks[8].tool, "onedrive");
  EXPECT_EQ(checks[8].status, CheckStatus::warning);

  const std::string report = DiagnosticTools::report(checks, "9.8.7");
  EXPECT_NE(report.find("\n–  mail                 Timeout (check timed out)\n   → Integration did "
                        "not respond in time"),
            std::string::npos)
      << report;
}

TEST_F(DiagnosticToolsTest, TheFocusSelectsRowsByNameOrLabel) {
  const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
      {"cal", {"calendar"}},
      {"o", {"contacts", "notes", "omnifocus", "outlook", "onedrive"}},
      {"Calendar", {"calendar"}},
      {"nothing-like-it",
       {"calendar", "reminders", "contacts", "mail", "notes", "omnifocus", "outlook", "finder",
        "onedrive"}},
  };
  for (const auto& [focus, names] : cases) {
    std::vector<std::string> seen;
    for (const DiagCheck& check : DiagnosticTools::runAllChecks(focus)) seen.push_back(check.tool);
    EXPECT_EQ(seen, names) << focus;
  }
}

TEST_F(DiagnosticToolsTest, PermissionWordsBecomeStatusesAndHints) {
  struct Case {
    json words;
    std::string focus;
    CheckStatus status;
    std::string detail;
    std::string_view hint;
  };
  const Case cases[] = {
      {{{"calendar", "denied"}},
       "calendar",
       CheckStatus::permission,
       "No access permission",
       DiagnosticTexts::kCalendarDeniedHint},
      {{{"calendar", "writeOnly"}},
       "calendar",
       CheckStatus::permission,
       std::string(DiagnosticTexts::kCalendarWriteOnly),
       DiagnosticTexts::kCalendarWriteOnlyHint},
      {json::object(), "calendar", CheckStatus::warning, "Permission not yet granted",
       DiagnosticTexts::kCalendarPromptHint},
      {{{"calendar", "bogus"}},
       "calendar",
       CheckStatus::warning,
       "Helper not available (unknown)",
       DiagnosticTexts::kHelperMissingHint},
      {{{"reminders", "writeOnly"}},
       "reminders",
       CheckStatus::warning,
       "Helper not available (writeOnly)",
       DiagnosticTexts::kHelperMissingHint},
      {{{"contacts", "restricted"}},
       "contacts",
       CheckStatus::permission,
       "No access permission",
       DiagnosticTexts::kContactsDeniedHint},
      {{{"contacts", "granted"}}, "contacts", CheckStatus::ok, "Access granted", ""},
  };
  for (const Case& c : cases) {
    authorize(c.words);
    const DiagCheck check = only(c.focus);
    EXPECT_EQ(check.status, c.status) << c.words;
    EXPECT_EQ(check.detail, c.detail) << c.words;
    EXPECT_EQ(check.fixHint, c.hint) << c.words;
  }

  HelperProxy::setInProcessDispatch({});
  EXPECT_EQ(only("contacts").detail, "Helper not available (helper_unavailable)");
}

TEST_F(DiagnosticToolsTest, TheMailScriptsAnswerBecomesItsRow) {
  const std::string longError(300, 'x');
  const std::string longRunnerError(300, 'y');
  const std::string notJson = "plain words " + std::string(100, 'z');
  struct Case {
    json directive;
    CheckStatus status;
    std::string detail;
  };
  const Case cases[] = {
      {{{"stdout", R"({"ok": true, "mailboxes": 7})"}}, CheckStatus::ok, "7 mailboxes"},
      {{{"stdout", R"({"ok": true})"}}, CheckStatus::ok, "OK"},
      {{{"stdout", "[1,2]"}}, CheckStatus::ok, "[1,2]"},
      {{{"stdout", notJson}}, CheckStatus::ok, notJson.substr(0, 80)},
      {{{"stdout", R"({"__not_running__": true})"}}, CheckStatus::notRunning, "Mail is not open"},
      {{{"stdout", R"({"running": false})"}}, CheckStatus::notRunning, "Mail is not open"},
      {{{"stdout", R"({"__error__": "Error: NOT ALLOWED to send Apple events"})"}},
       CheckStatus::permission,
       "No Automation permission"},
      {{{"stdout", json{{"__error__", longError}}.dump()}},
       CheckStatus::error,
       longError.substr(0, 100)},
      {{{"error", longRunnerError}}, CheckStatus::error, longRunnerError.substr(0, 120)},
      {{{"error", "Access denied by the user"}},
       CheckStatus::permission,
       "No Automation permission"},
  };
  for (const Case& c : cases) {
    json rule = c.directive;
    rule["contains"] = "Application('Mail')";
    steerRunner(json::array({rule}));
    const DiagCheck check = only("mail");
    EXPECT_EQ(check.label, "Mail.app");
    EXPECT_EQ(check.status, c.status) << c.directive;
    EXPECT_EQ(check.detail, c.detail) << c.directive;
  }
}

std::vector<DiagCheck> sevenWorking() {
  std::vector<DiagCheck> checks;
  for (const char* label :
       {"Reminders", "Contacts", "Mail.app", "Notes", "OmniFocus", "Finder / Files", "OneDrive"}) {
    checks.push_back({"x", label, CheckStatus::ok, "fine", "ignored for a working row"});
  }
  return checks;
}

TEST_F(DiagnosticToolsTest, TheReportSummarisesProblemsAndWarnings) {
  std::vector<DiagCheck> checks = sevenWorking();
  checks.insert(checks.begin(),
                {"calendar", "Calendar", CheckStatus::permission, "No access permission",
                 std::string(DiagnosticTexts::kCalendarDeniedHint)});
  checks.push_back({"outlook", "Outlook", CheckStatus::notRunning, "Not open (optional)",
                    "Open Outlook to enable corporate email tools"});
  const std::string report = DiagnosticTools::report(checks, "9.8.7");

  EXPECT_EQ(report.rfind("🔍 TVRN Diagnostics v9.8.7 — Linux ", 0), 0u) << report;
  EXPECT_NE(report.find("\nSummary: 7 of 9 integrations working. Problems with: Calendar. " +
                        std::string(DiagnosticTexts::kCalendarDeniedHint) +
                        " Not running (optional): Outlook.\n"),
            std::string::npos)
      << report;
  EXPECT_NE(report.find("\n🔒 Calendar             No access permission\n   → Open System"),
            std::string::npos)
      << report;
  EXPECT_NE(report.find("\n✓  Reminders            fine\n✓  Contacts"), std::string::npos)
      << report;
  EXPECT_EQ(report.find("ignored for a working row"), std::string::npos);
  EXPECT_TRUE(report.ends_with("\n✓ 7 OK   ⚠ 1 warnings   ✗ 1 problems")) << report;

  std::vector<DiagCheck> fine = sevenWorking();
  fine.push_back({"y", "A label much longer than twenty", CheckStatus::ok, "cut", ""});
  fine.push_back({"z", "Skipped", CheckStatus::skip, "late", "hint"});
  const std::string allWorking = DiagnosticTools::report(fine, "1");
  EXPECT_NE(allWorking.find("\nSummary: All 9 integrations working.\n"), std::string::npos);
  EXPECT_NE(allWorking.find("\n✓  A label much longer  cut\n"), std::string::npos) << allWorking;
  EXPECT_TRUE(allWorking.ends_with("✓ 8 OK   ⚠ 0 warnings   ✗ 0 problems"));
}

// Secrets of every kind are masked, at any depth; other values keep their JSON type or become
// their JSON text.
TEST_F(DiagnosticToolsTest, GetConfigMasksEveryStoredSecret) {
  const json stored = {
      {"api_key", "abc"},
      {"cloud_token", std::string(40, 't')},
      {"m365_access_token", "eyJ0eXAi"},
      {"m365_refresh_token", ""},
      {"servicenow_auth", "Basic dXNlcjpwYXNz"},
      {"SMTP_Password", "hunter2"},
      {"client_secret_id", "s3"},
      {"m365_pending_device_code", "DEVICE"},
      {"m365_pending_user_code", "ABCD-EFGH"},
      {"m365_token_expiry", 1700000000},
      {"api_key_hint", "shown"},
      {"read_only", true},
      {"port", 8765},
      {"ratio", 0.5},
      {"accounts", {{"work", {{"evernote_access_token", "xyz"}, {"name", "Work"}}}}},
  };
  ASSERT_TRUE(Config::shared().save(stored));
  const json expected = {
      {"api_key", "***"},
      {"cloud_token", "********"},
      {"m365_access_token", "********"},
      {"m365_refresh_token", ""},
      {"servicenow_auth", "********"},
      {"SMTP_Password", "*******"},
      {"client_secret_id", "**"},
      {"m365_pending_device_code", "******"},
      {"m365_pending_user_code", "ABCD-EFGH"},
      {"m365_token_expiry", 1700000000},
      {"api_key_hint", "shown"},
      {"read_only", true},
      {"port", 8765},
      {"ratio", "0.5"},
      {"accounts", R"({"work":{"evernote_access_token":"***","name":"Work"}})"},
  };
  // The machine id the system stores for itself is no secret.
  const auto shown = [&] {
    json config = test::jsonOf(test::callTool(registry_, "get_config"));
    config.erase("machine_id");
    return config;
  };
  EXPECT_EQ(shown(), expected);

  ASSERT_TRUE(Config::shared().save({{"api_key", 12345}}));
  EXPECT_EQ(shown(), json({{"api_key", 12345}}));
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
      {{{"limit", 0}}, 0},
      {{{"limit", -3}}, 0},
      {{{"limit", "20"}}, 50},
      {{{"limit", 7}}, 7},
      {{{"tool", "old"}, {"limit", 200}}, 0},
      {{{"tool", ""}}, 50},
      {{{"tool", "odd"}, {"ok", false}, {"limit", 200}}, 50},
      {{{"tool", "even"}, {"ok", false}}, 0},
      {{{"ok", "false"}, {"limit", 200}}, 200},
  };
  for (const auto& [arguments, count] : cases) {
    const ToolResult result = test::callTool(registry_, "get_audit_log", arguments);
    const json answer = test::jsonOf(result);
    ASSERT_TRUE(answer.is_object()) << arguments << test::textOf(result);
    EXPECT_EQ(answer["count"], count) << arguments;
    EXPECT_EQ(answer["entries"].size(), static_cast<std::size_t>(count)) << arguments;
  }
  const json newest = test::jsonOf(test::callTool(registry_, "get_audit_log", {{"limit", 1}}));
  const json& entry = newest["entries"][0];
  EXPECT_EQ(entry["tool"], "odd");
  EXPECT_EQ(entry["source"], "cloud");
  EXPECT_EQ(entry["ok"], false);
  EXPECT_EQ(entry["ms"], 499);
  EXPECT_TRUE(entry["ts"].get<std::string>().ends_with("Z"));
}

}  // namespace
}  // namespace tvrn
