// The once-per-process repair: when it decides (the cool-down on the hand-moved clock, the version
// files, one question to the back end) and what it rewrites in the clients' files.
#include <gtest/gtest.h>

#include <cstdlib>

#include "base/Timestamp.h"
#include "fakes/support/RecordingHttpServer.h"
#include "platform/Paths.h"
#include "server/BundledServer.h"
#include "tray/AutoRepair.h"
#include "tray/ManualScheduler.h"
#include "tray/StatusMonitor.h"
#include "tray/TrayFixtures.h"

namespace tvrn {
namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;

TEST(AutoRepairTest, VersionNumbers) {
  const std::vector<std::pair<std::string, std::optional<std::int64_t>>> cases{
      {"1.2.3", 1'002'003},      {"2.0", 2'000'000},    {"1.2.3.4", 1'002'003},
      {"1.2.3-beta", 1'002'000}, {"v1.2.3", 2'003'000}, {"1..2", 1'002'000},
      {"7", std::nullopt},       {"", std::nullopt},    {"a.b.c", std::nullopt}};
  for (const auto& [text, number] : cases) {
    EXPECT_EQ(AutoRepair::versionNumber(text), number) << text;
  }
}

class AutoRepairDecisionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TVRN_BACKEND_URL", backend_.baseURL().c_str(), 1);
    // An entry the repair would re-point, so a repair shows in the file.
    test::writeFile(cursor_, R"({"mcpServers":{"tavrin":{"command":"npx"}}})");
  }

  static test::CannedResponse reply(const std::string& body) {
    test::CannedResponse response;
    response.body = body;
    return response;
  }

  bool repaired() const { return test::readFile(cursor_).find("npx") == std::string::npos; }

  QObject context_;
  test::ManualScheduler clock_;
  test::RecordingHttpServer backend_;
  const std::filesystem::path cursor_ = Paths::underHome(".cursor/mcp.json");
};

TEST_F(AutoRepairDecisionTest, DecidesFromTheCooldownAndTheVersionFiles) {
  struct Case {
    std::string what;
    std::optional<std::string> startedAt;
    std::string server, tray, cachedLatest;
    std::string line;  // the line written, empty for none
    bool repairs;
  };
  // Start times to the second, as the status has them: the age is the span plus the clock's
  // part of a second, which the whole-second count drops.
  const auto ago = [&](std::chrono::seconds span) {
    return Timestamp::iso8601UTC(std::chrono::floor<std::chrono::seconds>(clock_.now()) - span);
  };
  const std::vector<Case> cases{
      {"299 s after the start", ago(299s), "1.0.0", "2.0.0", "",
       "[TVRN tray] auto-repair skipped: server started 299s ago (cooldown 300s)\n", false},
      {"a start in the future", ago(-11s), "1.0.0", "2.0.0", "",
       "[TVRN tray] auto-repair skipped: server started -10s ago (cooldown 300s)\n", false},
      {"300 s after the start", ago(300s), "1.0.0", "2.0.0", "",
       "[TVRN tray] auto-repair triggered: server=1.0.0 tray=2.0.0 cachedLatest= "
       "tccRegressed=false\n",
       true},
      {"no start time, newer announced", std::nullopt, "1.2.3", "", "1.2.4",
       "[TVRN tray] auto-repair triggered: server=1.2.3 tray= cachedLatest=1.2.4 "
       "tccRegressed=false\n",
       true},
      {"an unreadable start time", "yesterday", "1.2.3", "x", "1.3",
       "[TVRN tray] auto-repair triggered: server=1.2.3 tray=x cachedLatest=1.3 "
       "tccRegressed=false\n",
       true},
      {"no server version number", std::nullopt, "beta", "9.0.0", "", "", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    test::writeFile(Paths::localShare() / "tray/.tray-version", c.tray + "\n");
    test::writeFile(Paths::localShare() / "bin/.latest-version", c.cachedLatest);
    backend_.respond("/runtime/latest", reply(R"({"version":"0.1"})"));
    AutoRepair repair(clock_, &context_);
    testing::internal::CaptureStdout();
    repair.check(c.server, c.startedAt, false);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.line);
    EXPECT_EQ(repair.done(), c.repairs);
    EXPECT_EQ(repaired(), c.repairs);
  }
  EXPECT_EQ(backend_.requestsTo("/runtime/latest").size(), 0u);
}

// Polled every 2 s through the cool-down, the skip is told once per server start (the second
// start is told at its first poll, three polls after it happened).
TEST_F(AutoRepairDecisionTest, TellsTheCooldownOncePerServerStart) {
  const auto ago = [&](std::chrono::seconds span) {
    return Timestamp::iso8601UTC(std::chrono::floor<std::chrono::seconds>(clock_.now()) - span);
  };
  AutoRepair repair(clock_, &context_);
  const std::string first = ago(10s);
  testing::internal::CaptureStdout();
  for (const auto& startedAt : {first, first, first, ago(1s), ago(1s)}) {
    repair.check("1.0.0", startedAt, false);
    clock_.advance(StatusMonitor::kPollInterval);
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "[TVRN tray] auto-repair skipped: server started 10s ago (cooldown 300s)\n"
            "[TVRN tray] auto-repair skipped: server started 7s ago (cooldown 300s)\n");
}

TEST_F(AutoRepairDecisionTest, AsksTheBackEndOnceWhenTheFilesShowNothingNewer) {
  struct Case {
    std::string reply;
    bool repairs;
  };
  const std::vector<Case> cases{
      {R"({"version":"1.3.0"})", true}, {R"({"version":"1.2.3"})", false}, {"not json", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply);
    SetUp();
    backend_.respond("/runtime/latest", reply(c.reply));
    const std::size_t asked = backend_.requestsTo("/runtime/latest").size();
    AutoRepair repair(clock_, &context_);
    testing::internal::CaptureStdout();
    repair.check("1.2.3", std::nullopt, true);
    ASSERT_TRUE(test::processEventsUntil(
        [&] { return backend_.requestsTo("/runtime/latest").size() == asked + 1; }));
    // A repair is awaited as long as it takes; that none follows, for a moment.
    test::processEventsUntil([&] { return repair.done(); }, c.repairs ? 30s : 300ms);
    repair.check("1.2.3", std::nullopt, true);  // asked at most once per process
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(repair.done(), c.repairs);
    EXPECT_EQ(repaired(), c.repairs);
    EXPECT_EQ(out, c.repairs ? "[TVRN tray] auto-repair triggered via /runtime/latest: "
                               "server=1.2.3 latest=1.3.0 tccRegressed=true\n"
                             : "");
    EXPECT_EQ(backend_.requestsTo("/runtime/latest").size(), asked + 1);
  }
}

TEST(AutoRepairRewriteTest, PointsOutdatedEntriesAtTheBundledServerAndStartsNoPackageTool) {
  // npm and npx that leave a mark when anyone starts them.
  const auto bin = test::home() / "bin";
  const auto marks = test::home() / "started";
  for (const char* tool : {"npm", "npx"}) {
    test::writeFile(bin / tool, "#!/bin/sh\necho $0 >> " + marks.string() + "\n");
    std::filesystem::permissions(bin / tool, std::filesystem::perms::owner_all);
  }
  ::setenv("PATH", (bin.string() + ":/usr/bin:/bin").c_str(), 1);

  const std::string bundled = BundledServer::path().string();
  struct Case {
    std::string file, before;
    std::optional<std::string> after;  // absent: the file stays byte for byte
  };
  const std::vector<Case> cases{
      {".config/Claude/claude_desktop_config.json",
       R"({"mcpServers":{"tavrin":{"command":"npx","args":["-y","tavrin@latest"],"env":{}},)"
       R"("other":{"command":"npx"}}})",
       R"({"mcpServers":{"tavrin":{"command":")" + bundled + R"("},"other":{"command":"npx"}}})"},
      {".cursor/mcp.json", R"({"mcpServers":{"tavrin":{"command":"/opt/old/tavrin-server"}}})",
       R"({"mcpServers":{"tavrin":{"command":")" + bundled + "\"}}}"},
      {".vscode/mcp.json", R"({"servers":{"tavrin":{"type":"stdio","command":"/x/tvrn/srv"}}})",
       R"({"servers":{"tavrin":{"type":"stdio","command":")" + bundled + "\"}}}"},
      {".codeium/windsurf/mcp_config.json",
       R"({"mcpServers":{"tavrin":{"command":")" + bundled + "\"}}}", std::nullopt},
      {".claude/settings.json",
       R"({"mcpServers":{"tavrin":{"command":"python3","args":["tavrin.py"]}}})", std::nullopt},
      {".config/zed/settings.json", R"({"context_servers":{"tavrin":{"command":{"path":"npx"}}}})",
       std::nullopt},
  };
  for (const auto& c : cases) test::writeFile(Paths::underHome(c.file), c.before);
  EXPECT_EQ(AutoRepair::performRepair(), 3);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string now = test::readFile(Paths::underHome(c.file));
    if (c.after) {
      EXPECT_EQ(json::parse(now), json::parse(*c.after));
    } else {
      EXPECT_EQ(now, c.before);
    }
  }
  EXPECT_FALSE(std::filesystem::exists(marks));
}

}  // namespace
}  // namespace tvrn
