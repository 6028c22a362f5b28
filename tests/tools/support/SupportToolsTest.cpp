#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "bridges/HelperProxy.h"
#include "bridges/JXARunnerProxy.h"
#include "bridges/PimFixtures.h"
#include "bridges/PlatformStores.h"
#include "core/DateFormat.h"
#include "core/Timeouts.h"
#include "fakes/support/RecordingHttpServer.h"
#include "pim/PimStore.h"
#include "pim/PrivacyGate.h"
#include "platform/Subprocess.h"
#include "support/OwnProcesses.h"
#include "support/TestEnv.h"
#include "support/ToolCall.h"
#include "tools/support/AutomationFakes.h"
#include "tools/support/StateTools.h"
#include "tools/support/SystemTools.h"
#include "tools/support/WelcomeTools.h"

namespace tvrn {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

fs::path dataDir() { return test::home() / ".local/share/tavrin"; }

// Writes a version file, or removes it for an empty text.
void versionFile(const std::string& relative, const std::string& content) {
  if (content.empty()) return (void)fs::remove(dataDir() / relative);
  test::writeFile(dataDir() / relative, content);
}

test::CannedResponse reply(int status, std::string body) {
  test::CannedResponse response;
  response.status = status;
  response.body = std::move(body);
  return response;
}

class SupportToolsTest : public ::testing::Test, protected test::PimWorld {
 protected:
  void SetUp() override {
    ::setenv("TVRN_BACKEND_URL", backend_.baseURL().c_str(), 1);
    ::setenv("TVRN_WEB_URL", "https://web.test", 1);
    SystemTools::registerTools(registry_, {helper_, scripts_}, "3.0.100");
    StateTools::registerTools(registry_, {helper_, scripts_}, "3.0.100");
    WelcomeTools::registerTools(registry_, diag_, stores);
  }

  std::string text(const std::string& tool, const json& arguments = json::object()) const {
    return test::textOf(test::callTool(registry_, tool, arguments));
  }
  json object(const std::string& tool, const json& arguments = json::object()) const {
    return test::jsonOf(test::callTool(registry_, tool, arguments));
  }

  test::RecordingHttpServer backend_;
  HelperProxy helper_;  // no helper program: the permission words read "helper_unavailable"
  JXARunnerProxy scripts_{Timeouts::jxaDefault};
  JXARunnerProxy diag_{Timeouts::jxaDiagnostic};
  ToolRegistry registry_;
};

TEST_F(SupportToolsTest, UpdateAdviceFollowsTheReleasesBehind) {
  struct Case {
    std::string latest, server;
    int behind;
    bool available, needsRestart;
  };
  for (const Case& c : std::vector<Case>{{"", "", 0, false, false},
                                         {"3.0.104\n", "", 4, true, false},
                                         {"3.0.103", "3.0.101", 3, false, true},
                                         {"3.0.98", "3.0.100", 0, false, false}}) {
    versionFile("bin/.latest-version", c.latest);
    versionFile("bin/.server-version", c.server);
    const json update = object("tvrn_state")["update"];
    SCOPED_TRACE(update.dump());
    EXPECT_EQ(update["versions_behind"], c.behind);
    EXPECT_EQ(update["available"], c.available);
    EXPECT_EQ(update["needs_restart"], c.needsRestart);
    EXPECT_EQ(update["disk_version"], c.server.empty() ? "3.0.100" : c.server);
    EXPECT_EQ(update["message"], c.available ? "You're on v3.0.100 — v3.0.104 is available (4 "
                                               "releases). Say 'update Tavrin' to install."
                                             : "");
  }
}

TEST_F(SupportToolsTest, SnapshotReadsVersionFilesScanAndActivity) {
  versionFile("tray/.tray-version", "\n");
  versionFile("tray/.version", " 2.1.0 \n");
  registry_.context().serviceStatus = [] {
    return json{{"email", {{"running", true}, {"accounts", {"a", "b", 3}}}},
                {"onedrive", {"Personal"}},
                {"notes", {{"running", "yes"}, {"count", 7}}},
                {"calendar", "not an object"}};
  };
  registry_.context().aiClient = [] { return std::string("Claude"); };
  json state = object("tvrn_state");
  EXPECT_EQ(state["tray_version"], "2.1.0");
  EXPECT_EQ(state["ai_client"], "Claude");
  EXPECT_EQ(state["services"], (json{{"mail", {{"running", true}, {"accounts", 2}}},
                                     {"onedrive", {{"accounts", 1}}},
                                     {"notes", {{"running", false}, {"count", 7}}}}));
  EXPECT_EQ(state["tcc"], (json{{"calendar", "helper_unavailable"},
                                {"reminders", "helper_unavailable"},
                                {"contacts", "helper_unavailable"},
                                {"mail_automation", "notRunning"}}));
  EXPECT_EQ(state["recent_activity_count"], 0);
  EXPECT_FALSE(state.contains("last_activity"));

  registry_.context().activity.record(CallSource::cloud, "list_emails");
  state = object("tvrn_state");
  EXPECT_EQ(state["recent_activity_count"], 1);
  EXPECT_EQ(state["last_activity"]["tool"], "list_emails");
  EXPECT_EQ(state["last_activity"]["source"], "cloud");
}

TEST_F(SupportToolsTest, SelfDiagnosisClampsTheLimitAndListsNewestFirst) {
  registry_.context().environment.updateHistory = [] {
    EnvironmentSources::UpdateHistory history;
    for (int i = 0; i < 55; ++i) history.attempts.push_back({{"note", "n" + std::to_string(i)}});
    history.consecutiveFailures = 2;
    return history;
  };
  struct Case {
    json limit;
    std::size_t count;
  };
  for (const Case& c : std::vector<Case>{{0, 1}, {-3, 1}, {500, 50}, {"5", 10}, {7, 7}}) {
    const json report = object("update_self_diagnosis", {{"limit", c.limit}});
    EXPECT_EQ(report["recent_attempts"].size(), c.count) << c.limit;
    EXPECT_EQ(report["recent_attempts_count"], c.count);
    EXPECT_EQ(report["recent_attempts"][0]["note"], "n54");
    EXPECT_EQ(report["consecutive_failures"], 2);
  }
}

TEST_F(SupportToolsTest, WriteProbeNeverCreatesFollowsOrLeavesAFile) {
  const fs::path cache = dataDir() / "bin";
  EXPECT_EQ(object("update_self_diagnosis")["cache_writable"], false);
  EXPECT_FALSE(fs::exists(cache));

  fs::create_directories(test::home() / "elsewhere");
  fs::create_directories(dataDir());
  fs::create_directory_symlink(test::home() / "elsewhere", cache);
  EXPECT_EQ(object("update_self_diagnosis")["cache_writable"], false);
  EXPECT_TRUE(fs::is_empty(test::home() / "elsewhere"));

  fs::remove(cache);
  fs::create_directories(cache);
  test::writeFile(test::home() / ".local/bin/tavrin-server", "12345");
  fs::create_directories(test::home() / "bin/tavrin-server");
  const json report = object("update_self_diagnosis");
  EXPECT_EQ(report["cache_writable"], true);
  EXPECT_TRUE(fs::is_empty(cache));
  ASSERT_EQ(report["binaries_found"].size(), 2u) << report;
  EXPECT_EQ(report["binaries_found"][0]["path"], ".local/bin/tavrin-server");
  EXPECT_EQ(report["binaries_found"][0]["size"], 5);
  EXPECT_EQ(report["binaries_found"][1]["path"], "bin/tavrin-server");
}

TEST_F(SupportToolsTest, ReportPreviewsSendNothingAndCheckTheirText) {
  struct Case {
    json arguments;
    std::string expected;  // the whole text, or its start for a long preview
  };
  for (const Case& c : std::vector<Case>{
           {json::object(), "failed: Invalid 'symptom': expected description of what is broken"},
           {{{"report_type", "Feature"}, {"description", "d"}},
            "failed: Invalid 'symptom': expected description of what is broken"},
           {{{"report_type", "feature"}},
            "failed: Invalid 'description': expected description of the feature or integration"},
           {{{"report_type", "integration"}, {"symptom", "Jira"}, {"confirm", "no"}},
            "Preview — will submit integration request:\n  Jira\n\nCall again with confirm: true "
            "to submit."},
           {{{"symptom", "x"}, {"confirm", 0}},
            "Preview — problem report to be sent to TVRN team:\n  Symptom: x\n  Tool: \n  Error: "
            "\n\nAnonymous diagnostic data included:\n  Version, OS, architecture, TCC status\n"
            "  TCC: calendar: helper_unavailable, contacts: helper_unavailable, "
            "mail_automation: notRunning, reminders: helper_unavailable\n"}}) {
    EXPECT_TRUE(text("report_problem", c.arguments).starts_with(c.expected))
        << text("report_problem", c.arguments);
  }
  EXPECT_EQ(backend_.requestCount(), 0u);
}

TEST_F(SupportToolsTest, ConfirmedReportsPostAndReadTheAnswer) {
  struct Case {
    std::string path;
    test::CannedResponse answer;
    json arguments;
    std::string expected;
  };
  const json problem = {{"symptom", "mail hangs"}, {"tool_attempted", ""}, {"confirm", true}};
  const json feature = {{"report_type", "feature"}, {"description", "Jira"}, {"confirm", "TRUE"}};
  const std::string tail =
      ". Full context (versions, permissions) was captured automatically. The team typically "
      "responds within 24 hours.";
  for (const Case& c : std::vector<Case>{
           {"/problem-reports", reply(201, R"({"case_id":"C7","deduplicated":true})"), problem,
            "Problem reported to the TVRN team — case C7 (deduplicated — same problem reported "
            "recently)" +
                tail},
           {"/problem-reports", reply(200, R"({"case_id":""})"), problem,
            "Problem reported to the TVRN team" + tail},
           {"/problem-reports", reply(500, "oops"), problem,
            "failed: Problem report rejected: HTTP 500"},
           {"/feedback", reply(200, "{}"), feature, "failed: Feedback rejected: HTTP 200"},
           {"/feedback", reply(400, R"({"detail":"too long"})"), feature,
            "failed: Feedback rejected: too long"},
           {"/feedback", reply(201, R"({"case_id":""})"), feature,
            "Thank you! Your feature has been submitted to the TVRN team (case )."}}) {
    backend_.respond(c.path, c.answer);
    EXPECT_EQ(text("report_problem", c.arguments), c.expected);
  }
  const auto reports = backend_.requestsTo("/problem-reports");
  ASSERT_EQ(reports.size(), 3u);
  const json body = reports[0].json();
  EXPECT_EQ(body.size(), 2u) << body;  // no empty tool or error
  std::vector<std::string> members;
  for (const auto& [name, value] : body["snapshot"].items()) members.push_back(name);
  EXPECT_EQ(members, (std::vector<std::string>{"ai_client", "arch", "cloud_data_enabled",
                                               "machine_id", "os_version", "services", "tcc",
                                               "tray_version", "tunnel_connected", "version"}));
  const json sent = backend_.requestsTo("/feedback")[0].json();
  EXPECT_EQ(sent["source"], "tavrin-swift");
  EXPECT_EQ(sent["version"], "3.0.210");
  EXPECT_EQ(sent["message"], "Jira");
}

TEST_F(SupportToolsTest, RunQAFallsBackToTheBuiltInList) {
  const auto protocol = [this] { return json::parse(text("run_qa")); };
  json run = protocol();  // nothing answers the suite path: a 404 without tests
  ASSERT_EQ(run["test_count"], 13);
  const std::string today = iso8601Date(std::chrono::system_clock::now());
  EXPECT_EQ(run["tests"][3]["params"], (json{{"start_date", today}, {"end_date", today}}));
  EXPECT_EQ(run["tests"][12]["params"], (json{{"check_only", true}}));
  EXPECT_NE(run["instructions"].get<std::string>().find("run_id='" +
                                                        run["run_id"].get<std::string>() + "'"),
            std::string::npos);

  backend_.respond("/runtime/qa-suite", reply(200, R"({"tests":[]})"));
  EXPECT_EQ(protocol()["test_count"], 13);
  backend_.respond("/runtime/qa-suite", reply(200, R"({"tests":[{"tool":"a"},{"x":1}]})"));
  run = protocol();
  EXPECT_EQ(run["test_count"], 2);
  EXPECT_EQ(run["tests"][1], (json{{"x", 1}}));

  ::setenv("TVRN_BACKEND_URL", "http://127.0.0.1:1", 1);
  EXPECT_EQ(protocol()["test_count"], 13);
}

TEST_F(SupportToolsTest, SubmitQAReportChecksTheStatusAndTheReply) {
  struct Case {
    json arguments;
    test::CannedResponse answer;
    std::string expected;
  };
  const json report = {{"run_id", "r1"}, {"results", "[]"}, {"bugs_found", 2}};
  const std::string view = "\nView at: https://web.test/admin/qa";
  for (const Case& c : std::vector<Case>{
           {report, reply(500, R"({"detail":"boom"})"), "failed: QA report rejected: boom"},
           {report, reply(502, "gateway"), "failed: QA report rejected: HTTP 502"},
           {report, reply(200, "not json"), "failed: Network error: unknown"},
           {report, reply(201, "{}"),
            "QA report submitted ✓\nRun: r1\nTools tested: 0 | Passed: 0 | Failed: 0\n"
            "Coverage: 0.0% | Bugs found: 2" +
                view},
           {{{"run_id", "r2"}, {"results", R"([{"tool":"a"},{"tool":"b"}])"}},
            reply(200, R"({"passed":1,"failed":1,"coverage_pct":62.5,"bugs_found":9})"),
            "QA report submitted ✓\nRun: r2\nTools tested: 2 | Passed: 1 | Failed: 1\n"
            "Coverage: 62.5% | Bugs found: 0" +
                view},
           {{{"run_id", "r3"}, {"results", "{}"}},
            reply(201, "{}"),
            "failed: Invalid 'results': expected JSON array of {tool, status, detail}"},
           {{{"run_id", "r4"}, {"results", json::array()}},
            reply(201, "{}"),
            "failed: Missing required parameter: results"}}) {
    backend_.respond("/qa-reports", c.answer);
    EXPECT_EQ(text("submit_qa_report", c.arguments), c.expected);
  }
  EXPECT_EQ(backend_.requestsTo("/qa-reports").size(), 5u);
}

TEST_F(SupportToolsTest, WelcomeCountsWhatIsGrantedAndAsksNothingMore) {
  PimStore& store = data();
  const auto calendarOf = [&store](EntityType type) {
    Calendar calendar;
    calendar.title = "Home";
    calendar.entityType = type;
    return store.saveCalendar(calendar).value().id;
  };
  Event meeting;
  meeting.calendarId = calendarOf(EntityType::event);
  meeting.title = "Stand-up";
  meeting.start = std::chrono::system_clock::now();
  meeting.end = meeting.start + std::chrono::minutes(5);
  ASSERT_TRUE(store.saveEvent(meeting).ok());
  Reminder overdue;
  overdue.listId = calendarOf(EntityType::reminder);
  overdue.title = "Pay";
  overdue.dueDateComponents = DateComponents{2020, 1, 1, {}, {}};
  ASSERT_TRUE(store.saveReminder(overdue).ok());
  Contact ada;
  ada.givenName = "Ada";
  ASSERT_TRUE(store.saveContact(ada).ok());

  const std::string fallback = "\"What can you do?\" — see the full list of TVRN capabilities";
  EXPECT_EQ(text("tvrn_welcome"),
            "No services are connected yet — grant permissions in the TVRN tray's Permissions "
            "section (without the tray: set each service's entry to \"granted\" in "
            "~/.config/tavrin/pim/authorization.json) to see your data here.\n\nThings to "
            "try:\n  1. " +
                fallback);
  EXPECT_FALSE(fs::exists(PrivacyGate::file()));  // nobody was asked

  test::writeFile(PrivacyGate::file(),
                  R"({"calendar":"granted","reminders":"granted","contacts":"granted"})");
  EXPECT_EQ(text("tvrn_welcome"),
            "Here's what TVRN can see on your Mac: 📅 1 meeting today, ✅ 1 reminder due, 👤 1 "
            "contacts\n\nThings to try:\n"
            "  1. \"What's on my calendar today?\" — list today's events with times and locations\n"
            "  2. \"Show my due reminders\" — list tasks that need attention\n"
            "  3. \"Find contact [name]\" — search your address book");

  test::writeFile(PrivacyGate::file(), R"({"calendar":"writeOnly","contacts":"granted"})");
  EXPECT_EQ(text("tvrn_welcome"),
            "Here's what TVRN can see on your Mac: 👤 1 contacts\n\nThings to try:\n"
            "  1. \"Find contact [name]\" — search your address book\n  2. " +
                fallback);
}

// Mail counts only while it runs, and only an integer "unread" from its script counts at all.
TEST_F(SupportToolsTest, WelcomeAsksMailOnlyWhileItRuns) {
  test::useFakeAutomation(test::home() / "rules.json");
  const fs::path program = test::home() / "bin/thunderbird";
  fs::create_directories(program.parent_path());
  fs::copy_file("/bin/sleep", program);
  auto mail = Subprocess::start(SpawnOptions({program.string(), "60"}));
  ASSERT_TRUE(mail.ok());
  ASSERT_TRUE(test::waitForCommandLine(mail.value()->pid(), program.string()));
  struct Case {
    std::string output, expected;
  };
  for (const Case& c : std::vector<Case>{
           {R"({"unread":0})", "📧 0 unread emails\n\nThings to try:\n  1. \"What can"},
           {R"({"unread":1})", "📧 1 unread email\n\nThings to try:\n  1. \"Read my latest"},
           {R"({"unread":"3"})", "No services are connected yet"}}) {
    test::writeFile(test::home() / "rules.json",
                    json::array({{{"contains", "unread"}, {"stdout", c.output}}}).dump());
    EXPECT_NE(text("tvrn_welcome").find(c.expected), std::string::npos) << text("tvrn_welcome");
  }
  mail.value()->terminate();
}

}  // namespace
}  // namespace tvrn
