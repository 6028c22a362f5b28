#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <ctime>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "core/ConfigManager.h"
#include "core/MCPClientTracker.h"
#include "core/ServerContext.h"
#include "core/ToolCallCounter.h"
#include "core/ToolErrorCounter.h"
#include "fakes/support/RecordingHttpServer.h"
#include "platform/Endpoints.h"
#include "platform/HttpClient.h"
#include "support/ChildTestRun.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

using namespace std::chrono_literals;
using Counts = std::map<std::string, std::int64_t>;

TEST(ToolErrorCounterTest, SortsErrorsIntoClasses) {
  const std::pair<ToolError, std::string_view> rows[] = {
      {ToolError::missingParam("id"), "bad_request"},
      {ToolError::invalidParam("id", "text"), "bad_request"},
      {ToolError::notFound("tool 'x'"), "bad_request"},
      {ToolError::resourceNotFound("event"), "bad_request"},
      {ToolError::permissionDenied("Script timed out"), "permission_denied"},
      {ToolError::executionFailed("helper TIMEOUT"), "jxa_timeout"},
      {ToolError::executionFailed("timed out; Mail.app is not running"), "jxa_timeout"},
      {ToolError::executionFailed("Not allowed to send Apple events"), "jxa_permission_denied"},
      {ToolError::executionFailed("ACCESS DENIED by the user"), "jxa_permission_denied"},
      {ToolError::executionFailed("No approval received"), "jxa_permission_denied"},
      {ToolError::executionFailed("Mail.app is not running"), "mail_not_running"},
      {ToolError::executionFailed("Message not found: 42"), "message_not_found"},
      {ToolError::executionFailed("Co-process not available"), "proxy_unavailable"},
      {ToolError::executionFailed("slack co-process crashed"), "proxy_unavailable"},
      {ToolError::executionFailed("disk full"), "execution_failed"},
  };
  for (const auto& [error, expected] : rows) {
    EXPECT_EQ(ToolErrorCounter::errorType(error), expected) << error.description();
  }
}

TEST(CountersTest, CountUntilDrainedWithoutLosingAny) {
  ServerContext context;
  ToolCounts& counts = context.counts;
  ToolCallCounter::incrementLocalOnly(context, "list_emails");
  ToolCallCounter::incrementLocalOnly(context, "read_email");
  ToolCallCounter::incrementLocalOnly(context, "list_emails");
  ToolErrorCounter::record(context, "send_email", "jxa_timeout");
  ToolErrorCounter::record(context, "read_email", "jxa_timeout");
  ToolErrorCounter::recordLocalOnly(counts, "read_email:jxa_timeout");
  const CountSnapshot calls = counts.calls.drain();
  EXPECT_EQ(calls.total, 3);
  EXPECT_EQ(calls.breakdown, (Counts{{"list_emails", 2}, {"read_email", 1}}));
  const CountSnapshot errors = counts.errors.drain();
  EXPECT_EQ(errors.total, 3);
  EXPECT_EQ(errors.breakdown,
            (Counts{{"read_email:jxa_timeout", 2}, {"send_email:jxa_timeout", 1}}));
  EXPECT_EQ(counts.calls.drain().total, 0);
  EXPECT_TRUE(counts.errors.drain().breakdown.empty());

  // Sessions count while the heartbeat drains.
  std::vector<std::thread> sessions;
  for (int s = 0; s < 8; ++s) {
    sessions.emplace_back([&context] {
      for (int i = 0; i < 500; ++i) ToolCallCounter::incrementLocalOnly(context, "t");
    });
  }
  std::int64_t drained = 0;
  for (int i = 0; i < 20; ++i) drained += counts.calls.drain().total;
  for (auto& session : sessions) session.join();
  EXPECT_EQ(drained + counts.calls.drain().total, 4000);
}

nlohmann::json userSettings() {
  return nlohmann::json::parse(test::readFile(ConfigManager::shared().configPath()));
}

TEST(FirstToolCallTest, RecordedOnceInUTCAtTheFirstCall) {
  ServerContext context;
  test::writeFile(ConfigManager::shared().configPath(), R"({"cloud_token": "tvrn-abc"})");
  const std::time_t before = std::time(nullptr);
  ToolCallCounter::incrementLocalOnly(context, "list_emails");
  const std::time_t after = std::time(nullptr);

  const nlohmann::json settings = userSettings();
  EXPECT_EQ(settings["cloud_token"], "tvrn-abc");
  const std::string stamp = settings.value("first_tool_call_at", "");
  std::tm parts{};
  const char* end = ::strptime(stamp.c_str(), "%Y-%m-%dT%H:%M:%SZ", &parts);
  ASSERT_TRUE(end != nullptr && *end == '\0') << stamp;
  EXPECT_GE(::timegm(&parts), before);
  EXPECT_LE(::timegm(&parts), after);

  // The counts deal with the key once; later calls never write it again.
  test::writeFile(ConfigManager::shared().configPath(), "{}");
  ToolCallCounter::increment(context, "list_emails");
  EXPECT_FALSE(userSettings().contains("first_tool_call_at"));
}

TEST(FirstToolCallTest, AnExistingValueIsKept) {
  ServerContext context;
  test::writeFile(ConfigManager::shared().configPath(), R"({"first_tool_call_at": "2024-01-02"})");
  ToolCallCounter::increment(context, "list_emails");
  EXPECT_EQ(userSettings()["first_tool_call_at"], "2024-01-02");
}

TEST(MCPClientTrackerTest, KeepsTheLastNamedClient) {
  MCPClientTracker clients;
  EXPECT_EQ(clients.last(), "");
  const std::pair<const char*, const char*> rows[] = {
      {"CLI", ""},    {"", ""},       {"Cursor", "Cursor"}, {"CLI", "Cursor"},
      {"cli", "cli"}, {"Zed", "Zed"}, {"TVRN Tray", "Zed"},
  };
  for (const auto& [name, expected] : rows) {
    clients.record(name);
    EXPECT_EQ(clients.last(), expected) << name;
  }
}

class StatusServerReports : public ::testing::Test {
 protected:
  void SetUp() override { ::setenv("TVRN_STATUS_PORT", std::to_string(server_.port()).c_str(), 1); }

  // Counts a call and an error each way; only increment and record may report.
  void countEverything() {
    ToolCallCounter::increment(context_, "list_emails", "Claude Code");
    ToolCallCounter::incrementLocalOnly(context_, "read_email");
    ToolErrorCounter::record(context_, "send_email", "mail_not_running");
    ToolErrorCounter::recordLocalOnly(counts_, "send_email:jxa_timeout");
  }

  // Reports leave through one background worker in order, so once a marker posted after them
  // has arrived, every report sent before it has arrived too.
  std::vector<test::RecordedRequest> requestsUpToMarker() {
    context_.poster->post(
        HttpClient::jsonPostRequest(Endpoints::statusBaseURL() + "/marker", {}, 1s));
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (server_.requestsTo("/marker").empty() && std::chrono::steady_clock::now() < deadline) {
      server_.waitForRequests(server_.requestCount() + 1, 50ms);
    }
    return server_.requests();
  }

  std::vector<std::string> paths() {
    std::vector<std::string> paths;
    for (const auto& request : requestsUpToMarker()) paths.push_back(request.path);
    return paths;
  }

  test::RecordingHttpServer server_;
  ServerContext context_;
  ToolCounts& counts_ = context_.counts;
};

TEST_F(StatusServerReports, OneReportPerCountedCallAndError) {
  ToolCallCounter::increment(context_, "read_email");  // the client not known
  countEverything();

  const auto requests = requestsUpToMarker();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[0].json(), (nlohmann::json{{"tool", "read_email"}, {"ai_client", ""}}));
  EXPECT_EQ(requests[1].method, "POST");
  EXPECT_EQ(requests[1].path, "/tool-call");
  EXPECT_EQ(requests[1].header("Content-Type"), "application/json");
  EXPECT_EQ(requests[1].body, R"({"ai_client":"Claude Code","tool":"list_emails"})");
  EXPECT_EQ(requests[2].method, "POST");
  EXPECT_EQ(requests[2].path, "/tool-error");
  EXPECT_EQ(requests[2].body, R"({"error_type":"mail_not_running","tool":"send_email"})");
  // Reporting adds to the local counts, it does not replace them.
  EXPECT_EQ(counts_.calls.drain().total, 3);
  EXPECT_EQ(counts_.errors.drain().total, 2);
}

TEST_F(StatusServerReports, NoneWhereTheStatusServerRunsInProcess) {
  context_.statusServerInProcess = true;
  countEverything();
  EXPECT_EQ(paths(), std::vector<std::string>{"/marker"});
  EXPECT_EQ(counts_.calls.drain().total, 2);
  EXPECT_EQ(counts_.errors.drain().total, 2);
}

TEST_F(StatusServerReports, NoneFromTheDaemon) {
  if (test::childRole() != "daemon") {
    EXPECT_FALSE(ToolCallCounter::isDaemon());
    const auto child =
        test::runTestInChild("StatusServerReports.NoneFromTheDaemon", "daemon", {"--daemon"});
    EXPECT_TRUE(child.passed) << child.output;
    return;
  }
  EXPECT_TRUE(ToolCallCounter::isDaemon());
  countEverything();
  EXPECT_EQ(paths(), std::vector<std::string>{"/marker"});
  EXPECT_EQ(counts_.calls.drain().total, 2);
}

}  // namespace
}  // namespace tvrn
