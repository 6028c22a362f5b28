#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "core/ConfigManager.h"
#include "core/ServerContext.h"
#include "core/ToolRegistry.h"
#include "platform/Paths.h"
#include "support/TestEnv.h"
#include "support/ToolCall.h"
#include "tools/files/FilesystemTools.h"
#include "tools/servicenow/ServiceNowTools.h"

namespace tvrn {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// One server's registry over settings files of its own, with the families that read them.
struct Server {
  Server(const fs::path& folder, const json& system, const json& user)
      : settings({folder / "system.json", folder / "user.json", std::nullopt}) {
    test::writeFile(folder / "system.json", system.dump());
    test::writeFile(folder / "user.json", user.dump());
    FilesystemTools::registerTools(registry);
    ServiceNowTools::registerTools(registry);
  }

  ConfigManager settings;
  ToolRegistry registry{std::make_shared<ServerContext>(settings)};
};

// Two servers in one process, each over settings of its own: what a family answers and what the
// registry lets through follow the registry's settings, never the other's or the user's, and the
// user's settings files are neither read nor written.
TEST(SettingsHandlerTest, EachRegistryAnswersFromItsOwnSettings) {
  const fs::path outside = test::home().parent_path() / "outside";
  test::writeFile(outside / "shared.txt", "shared");
  test::writeFile(test::home() / "notes.txt", "hello");
  // The user's own settings say the opposite of both servers'; they must not count.
  const fs::path userFolder = Paths::appSupport();
  test::writeFile(
      userFolder / "config.json",
      json{{"disabled_tools", {"fs_list"}}, {"servicenow_instance", "user.example"}}.dump());
  test::writeFile(Paths::systemConfigDir() / "config.json",
                  json{{"disabled_services", {"servicenow"}}}.dump());
  test::writeFile(test::home() / "override.json", json{{"read_only", true}}.dump());
  ::setenv("TVRN_CONFIG", (test::home() / "override.json").c_str(), 1);
  const auto userFiles = test::contentsOf(userFolder);
  const auto systemFiles = test::contentsOf(Paths::systemConfigDir());

  const fs::path folderA = test::home().parent_path() / "server-a";
  const fs::path folderB = test::home().parent_path() / "server-b";
  Server a(folderA, json::object(),
           {{"fs_allowed_roots", {outside.string()}},
            {"disabled_tools", {"fs_read"}},
            {"servicenow_instance", "a.service-now.com"}});
  // In the system file, read-only mode wins over the user file's.
  Server b(folderB, {{"read_only", true}},
           {{"read_only", false}, {"disabled_services", {"servicenow"}}});

  // Each row starts where the one before left off: a disconnect clears the stored instance.
  const struct {
    std::string tool;
    json arguments;
    std::string fromA, fromB;  // a part of each server's answer
  } rows[] = {
      {"fs_list", {{"path", outside.string()}}, "shared.txt", (folderB / "user.json").string()},
      {"fs_read",
       {{"path", (test::home() / "notes.txt").string()}},
       "is disabled by your organisation",
       "hello"},
      {"disconnect_servicenow", json::object(), "Disconnected from a.service-now.com.",
       "ServiceNow disconnected."},
      {"disconnect_servicenow", json::object(), "ServiceNow disconnected.",
       "ServiceNow disconnected."},
      {"servicenow_search_incidents",
       {{"query", "vpn"}},
       "Not connected to ServiceNow",
       "service is disabled"},
      {"servicenow_create_incident",
       {{"short_description", "vpn"}},
       "Not connected to ServiceNow",
       "read-only mode"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.tool + " " + row.arguments.dump());
    for (const auto& [server, expected] : {std::pair{&a, row.fromA}, std::pair{&b, row.fromB}}) {
      const std::string answer =
          test::textOf(test::callTool(server->registry, row.tool, row.arguments));
      EXPECT_NE(answer.find(expected), std::string::npos)
          << (server == &a ? "A: " : "B: ") << answer;
    }
  }

  // Each disconnect wrote its own server's file; the user's settings are as they were.
  for (const fs::path& folder : {folderA, folderB}) {
    const json stored = json::parse(test::readFile(folder / "user.json"));
    EXPECT_EQ(stored.value("servicenow_instance", "?"), "") << folder;
  }
  EXPECT_EQ(test::contentsOf(userFolder), userFiles);
  EXPECT_EQ(test::contentsOf(Paths::systemConfigDir()), systemFiles);
}

}  // namespace
}  // namespace tvrn
