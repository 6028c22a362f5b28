// Setting AI clients up: the start-up's pass over a home with every awkward file, the popover's
// fix and the uninstall's removal, each against real files and a loopback back end.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>

#include "core/ConfigManager.h"
#include "fakes/support/RecordingHttpServer.h"
#include "server/BundledServer.h"
#include "status/AIClientCatalog.h"
#include "status/StatusDocument.h"
#include "support/OtherUserLink.h"
#include "tray/ClientConfigEditor.h"
#include "tray/ClientHome.h"
#include "tray/ClientSetup.h"
#include "tray/TrayFixtures.h"

namespace tvrn {
namespace {

using json = nlohmann::ordered_json;
using namespace std::chrono_literals;

class ClientSetupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TVRN_BACKEND_URL", backend_.baseURL().c_str(), 1);
    // Only the programs a test puts there count as installed clients.
    ::setenv("PATH", (test::home() / "bin").c_str(), 1);
  }

  // Requests go out side by side, so they may arrive in any order.
  // Waits for `expected` events, or for `patience` where fewer must come.
  std::vector<nlohmann::json> installEvents(std::size_t expected,
                                            std::chrono::milliseconds patience = 30s) {
    test::processEventsUntil(
        [&] { return backend_.requestsTo("/install-event").size() >= expected; }, patience);
    std::vector<nlohmann::json> events;
    for (const auto& request : backend_.requestsTo("/install-event")) {
      events.push_back(nlohmann::json::parse(request.body));
    }
    std::sort(events.begin(), events.end(),
              [](const auto& a, const auto& b) { return a["client_id"] < b["client_id"]; });
    return events;
  }

  static json fileJSON(const std::filesystem::path& file) {
    return json::parse(test::readFile(file));
  }

  QObject context_;
  test::RecordingHttpServer backend_;
  const std::string bundled_ = BundledServer::path().string();
};

TEST_F(ClientSetupTest, FirstStartWritesBesideTheUsersContentAndSecondStartNothing) {
  const test::ClientHome home;
  EXPECT_EQ(AIClientCatalog::health(), "yellow");

  const auto configured = ClientSetup::autoConfigure(ConfigManager::shared(), &context_);
  EXPECT_EQ(configured,
            (std::vector<std::string>{"Claude Desktop", "Cursor", "Windsurf", "VS Code"}));

  EXPECT_EQ(test::readFile(home.claude),
            json::parse(R"({"globalShortcut":"Ctrl+Space","mcpServers":{"zeta":{"command":"z"},)"
                        R"("alpha":{"command":"a","args":["1"]},"tavrin":{"command":")" +
                        bundled_ + R"("}}})")
                    .dump(2) +
                "\n");
  EXPECT_TRUE(std::filesystem::is_symlink(home.cursorLink));
  EXPECT_EQ(fileJSON(home.cursorTarget)["mcpServers"]["tavrin"]["command"], bundled_);
  EXPECT_EQ(test::ClientHome::modeOf(home.cursorTarget), 0640);
  EXPECT_EQ(fileJSON(home.windsurf)["mcpServers"].size(), 2u);
  EXPECT_EQ(test::ClientHome::modeOf(home.windsurf), 0644);
  EXPECT_EQ(
      fileJSON(home.vscode),
      json::parse(R"({"servers":{"tavrin":{"type":"stdio","command":")" + bundled_ + "\"}}}"));
  EXPECT_EQ(test::ClientHome::modeOf(home.vscode), 0600);
  EXPECT_EQ(test::readFile(home.zed), home.zedText);
  EXPECT_TRUE(std::filesystem::is_directory(home.claudeCode));
  EXPECT_TRUE(test::namesIn(home.claudeCode).empty());

  EXPECT_EQ(ConfigManager::shared().load()["clients_seen_ids"],
            nlohmann::json({"claude", "claude-code", "cursor", "windsurf", "vscode", "zed"}));
  const auto events = installEvents(4);
  ASSERT_EQ(events.size(), 4u);
  const std::vector<std::pair<std::string, std::string>> sent{{"claude", "Claude Desktop"},
                                                              {"cursor", "Cursor"},
                                                              {"vscode", "VS Code"},
                                                              {"windsurf", "Windsurf"}};
  for (std::size_t index = 0; index < sent.size(); ++index) {
    EXPECT_EQ(events[index], nlohmann::json({{"stage", "config_written"},
                                             {"client_id", sent[index].first},
                                             {"client_name", sent[index].second},
                                             {"machine_id", ConfigManager::shared().getMachineId()},
                                             {"method", "tray-auto"}}));
  }
  EXPECT_EQ(AIClientCatalog::health(), "green");
  EXPECT_EQ(StatusDocument::build("1.0.0", ServerContext())["ai_client_health"], "green");

  // Seen before, or already mentioning the system: nothing is written or reported again.
  const auto before = test::contentsOf(test::home());
  EXPECT_TRUE(ClientSetup::autoConfigure(ConfigManager::shared(), &context_).empty());
  EXPECT_EQ(test::contentsOf(test::home()), before);
  EXPECT_EQ(installEvents(5, 2s).size(), 4u);
}

// Detected also by an app bundle or a program on PATH; health follows the files.
TEST_F(ClientSetupTest, HealthFollowsDetectionFromAppsAndPrograms) {
  const auto apps = test::home() / "apps";
  ::setenv("TVRN_APP_DIRS", apps.c_str(), 1);
  EXPECT_EQ(StatusDocument::build("1.0.0", ServerContext())["ai_client_health"], "none");
  test::writeFile(test::home() / "bin/zed", "");
  std::filesystem::permissions(test::home() / "bin/zed", std::filesystem::perms::owner_all);
  EXPECT_TRUE(AIClientCatalog::isDetected(AIClientCatalog::find("zed")));
  EXPECT_EQ(AIClientCatalog::health(), "yellow");
  std::filesystem::create_directories(apps / "Cursor.app");
  test::writeFile(Paths::underHome(".cursor/mcp.json"), R"({"x":{"args":["tavrin"]}})");
  EXPECT_EQ(AIClientCatalog::health(), "green");
}

TEST_F(ClientSetupTest, FixWritesTheClientsShapeOrLeavesAnUnusableFileAlone) {
  struct Case {
    std::string client;
    std::optional<std::string> file;      // absent: no file; "/": a folder in its place
    std::optional<std::string> expected;  // absent: nothing written or reported
  };
  const auto entry = [&](const std::string& key, const std::string& body) {
    return "\"" + key + "\":{\"tavrin\":" + body + "}";
  };
  const std::string flat = R"({"command":")" + bundled_ + "\"}";
  const std::vector<Case> cases{
      {"zed", std::nullopt,
       "{" + entry("context_servers", R"({"command":{"path":")" + bundled_ + "\"}}") + "}"},
      {"vscode", R"({"inputs":[],"servers":{"x":{"command":"x"}}})",
       R"({"inputs":[],"servers":{"x":{"command":"x"},"tavrin":{"type":"stdio","command":")" +
           bundled_ + "\"}}}"},
      {"cursor", R"({"mcpServers":["not","an","object"]})", "{" + entry("mcpServers", flat) + "}"},
      {"claude", R"({"mcpServers":{"tavrin":{"command":"npx","args":["-y","x"],"env":{}}}})",
       "{" + entry("mcpServers", flat) + "}"},
      {"roo-cline", R"({"mcpServers":{}})", "{" + entry("mcpServers", flat) + "}"},
      {"windsurf", "{\"mcpServers\": {},}", std::nullopt},
      {"claude-code", "/", std::nullopt},
      {"chatgpt", std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.client);
    const auto client = AIClientCatalog::find(c.client);
    const std::filesystem::path file = client.def.cfgPath;
    if (c.file == "/") {
      std::filesystem::create_directories(file);
    } else if (c.file) {
      test::writeFile(file, *c.file);
    }
    EXPECT_EQ(ClientSetup::fix(client, ConfigManager::shared(), &context_), c.expected.has_value());
    if (c.expected) {
      EXPECT_EQ(fileJSON(file), json::parse(*c.expected));
    } else if (c.file && c.file != "/") {
      EXPECT_EQ(test::readFile(file), *c.file);
    }
  }
  const auto events = installEvents(5);
  ASSERT_EQ(events.size(), 5u);
  for (const auto& event : events) EXPECT_EQ(event["method"], "tray-fix");
}

TEST_F(ClientSetupTest, RemovalTakesOurKeysFromEveryServersObjectAndNothingElse) {
  struct Case {
    std::string what;
    std::optional<std::string> file;
    std::optional<std::string> expected;  // absent: the file stays as it was; kGone: removed
    bool madeBySetup = false;             // nothing was there until the set-up wrote our entry
  };
  const std::string kGone = "(gone)";
  const std::string onlyOurs = R"({"mcpServers":{"tavrin":{"command":"x"}}})";
  const std::vector<Case> cases{
      {"ours in all three shapes",
       R"({"mcpServers":{"keep":{},"tavrin":{},"TVRN-old":{}},"servers":{"tvrn":{},"b":{}},)"
       R"("context_servers":{"Tavrin-zed":{}},"theme":"x"})",
       R"({"mcpServers":{"keep":{}},"servers":{"b":{}},"context_servers":{},"theme":"x"})", true},
      {"only ours, in the file the set-up made", onlyOurs, kGone, true},
      {"only ours in two shapes, the set-up's file",
       R"({"servers":{"tavrin":{}},"context_servers":{}})", kGone, true},
      {"only ours, in a file the user had before", onlyOurs, R"({"mcpServers":{}})"},
      {"ours and a setting", R"({"servers":{"tavrin":{}},"inputs":[]})",
       R"({"servers":{},"inputs":[]})"},
      {"nothing of ours", "{ \"mcpServers\" : { \"keep\" : {} } }", std::nullopt},
      {"an empty skeleton of the user's", R"({"mcpServers":{}})", std::nullopt},
      {"comments", "// ours\n{\"mcpServers\":{\"tavrin\":{}},}", std::nullopt},
      {"not an object", R"([{"mcpServers":{"tavrin":{}}}])", std::nullopt},
      {"no file", std::nullopt, std::nullopt},
  };
  const auto file = test::home() / "client.json";
  const AIClientDef client{"client", "Client", file.string(), {}, "claude"};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(file);
    if (c.madeBySetup) {
      ASSERT_TRUE(ClientConfigEditor::addEntry(client, "x"));
    }
    if (c.file) test::writeFile(file, *c.file);
    EXPECT_EQ(ClientConfigEditor::removeOurs(file), c.expected.has_value());
    if (c.expected == kGone) {
      EXPECT_FALSE(std::filesystem::exists(file));
    } else if (c.expected) {
      EXPECT_EQ(fileJSON(file), json::parse(*c.expected));
    } else if (c.file) {
      EXPECT_EQ(test::readFile(file), *c.file);
    } else {
      EXPECT_FALSE(std::filesystem::exists(file));
    }
  }
  // Through a link the skeleton is emptied, not removed: the link and its target stay.
  const auto target = test::home() / "dotfiles/mcp.json";
  test::writeFile(target, R"({"mcpServers":{"tavrin":{}}})");
  std::filesystem::remove(file);
  std::filesystem::create_symlink(target, file);
  EXPECT_TRUE(ClientConfigEditor::removeOurs(file));
  EXPECT_TRUE(std::filesystem::is_symlink(file));
  EXPECT_EQ(fileJSON(target), json::parse(R"({"mcpServers":{}})"));
}

// A client's file linked through another user's link (planted in a shared folder) is not written
// through it, neither to add our entry nor to remove it.
TEST_F(ClientSetupTest, NoWriteFollowsAnotherUsersLink) {
  if (!test::canGiveLinksAway()) {
    GTEST_SKIP() << "only root can make a link that belongs to another user";
  }
  const auto file = test::home() / "client.json";
  const AIClientDef client{"client", "Client", file.string(), {}, "claude"};
  const std::function<bool()> writers[] = {
      [&] { return ClientConfigEditor::addEntry(client, "y"); },
      [&] { return ClientConfigEditor::removeOurs(file); },
  };
  for (const auto& write : writers) {
    const std::string log = test::expectNoWriteThroughAPlantedLink(file, write);
    EXPECT_NE(log.find("[tray] WARN  Did not write " + file.string() + ": "), std::string::npos)
        << log;
  }
}

TEST_F(ClientSetupTest, TheBundledServerIsInstalledWhenMissingOrOlder) {
  const auto shipped = test::home() / "shipped";
  test::writeFile(shipped / "tavrin-server", "new");
  EXPECT_FALSE(BundledServer::install("1.0.0", test::home() / "nothing-here"));
  struct Case {
    std::string installedVersion;
    std::string installedBytes;
    bool replaced;
  };
  const std::vector<Case> cases{
      {"", "", true}, {"0.9.9", "old", true}, {"1.0.0", "old", false}, {"1.2.0", "old", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.installedVersion);
    std::filesystem::remove_all(Paths::localShare() / "bin");
    if (!c.installedVersion.empty()) {
      test::writeFile(Paths::localShare() / "bin/.server-version", c.installedVersion + "\n");
      test::writeFile(BundledServer::path(), c.installedBytes);
    }
    EXPECT_TRUE(BundledServer::install("1.0.0", shipped));
    EXPECT_EQ(test::readFile(BundledServer::path()), c.replaced ? "new" : c.installedBytes);
    if (c.replaced) {
      EXPECT_EQ(test::ClientHome::modeOf(BundledServer::path()), 0755);
      EXPECT_FALSE(test::readFile(Paths::localShare() / "bin/.tray-path").empty());
    }
  }
  // Into another user's bin/ nothing is put, newer or not.
  if (test::canGiveLinksAway() && test::giveAway(Paths::localShare() / "bin")) {
    EXPECT_FALSE(BundledServer::install("2.0.0", shipped));
    EXPECT_EQ(test::readFile(BundledServer::path()), "old");
  }
}

}  // namespace
}  // namespace tvrn
