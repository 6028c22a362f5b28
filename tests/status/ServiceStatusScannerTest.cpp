#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "bridges/HelperProxy.h"
#include "bridges/JXARunnerProxy.h"
#include "bridges/LocalData.h"
#include "bridges/PimFixtures.h"
#include "bridges/PlatformStores.h"
#include "core/ConfigManager.h"
#include "core/Timeouts.h"
#include "pim/PimStore.h"
#include "pim/PrivacyGate.h"
#include "platform/Paths.h"
#include "platform/Subprocess.h"
#include "status/ServiceStatusScanner.h"
#include "support/ChildTestRun.h"
#include "support/Eventually.h"
#include "support/OwnProcesses.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

// A process of this user under one of the names that stand for an application on Linux.
std::unique_ptr<Subprocess> runAs(const std::string& name) {
  const auto program = test::home() / "bin" / name;
  std::filesystem::create_directories(program.parent_path());
  std::filesystem::copy_file("/bin/sleep", program);
  auto started = test::startChild({program.string(), "30"});
  EXPECT_TRUE(started && test::waitForCommandLine(started->pid(), program.string()));
  return started;
}

TEST(ServiceStatusScannerTest, ReportsWhatTheSeededHomeHoldsWithoutDecidingAnyPermission) {
  if (!test::runsInOwnPidNamespace()) return;  // the user's own applications stay out of sight
  test::PimWorld world;
  HelperProxy helper(world.dispatcher());
  JXARunnerProxy scripts(Timeouts::jxaServiceScan);
  ::setenv("TVRN_OSASCRIPT", (test::fakesDir() / "fake-osascript").c_str(), 1);
  ::setenv("FAKE_OSASCRIPT_DIRECTIVE", R"({"stdout": "[\"Work\", \"Home\"]"})", 1);
  for (const char* app : {"Slack", "MSTeams", "NordVPN"}) {
    std::filesystem::create_directories(Paths::underHome("Applications") /
                                        (app + std::string(".app")));
  }
  for (const char* folder : {"OneDrive-Personal", "OneDrive-Contoso", "Dropbox"}) {
    std::filesystem::create_directories(Paths::underHome("Library/CloudStorage") / folder);
  }
  const auto wacli = Paths::localShare() / "bin/wacli";
  test::writeFile(wacli, "");
  std::filesystem::permissions(wacli, std::filesystem::perms::owner_all);
  test::writeFile(Paths::underHome(".wacli/wacli.db"), "");
  Calendar work;
  work.title = "Work";
  ASSERT_TRUE(world.data().saveCalendar(work).ok());
  const auto decisions = Paths::appSupport() / "pim/authorization.json";
  test::writeFile(decisions, R"({"calendar": "granted", "contacts": "denied"})");
  // A grant remembered from earlier: the store itself has not decided reminders now.
  test::writeFile(Paths::appSupport() / "tcc-cache.json", R"({"reminders": "granted"})");
  EXPECT_TRUE(ConfigManager::shared().save({{"m365_access_token", "token"},
                                            {"m365_account_email", "me@contoso.example"},
                                            {"evernote_access_token", "token"},
                                            {"evernote_account_email", "me@evernote.example"},
                                            {"disabled_services", {"notes", "slack"}}}));
  auto mail = runAs("thunderbird"), finder = runAs("nautilus");
  ASSERT_TRUE(mail && finder);

  json entries =
      ServiceStatusScanner::scan({helper, scripts}, world.stores, ConfigManager::shared());
  mail->terminate();
  finder->terminate();

  const json calendars = entries["calendar"]["calendars"];
  EXPECT_EQ(entries["calendar"]["running"], true);
  EXPECT_NE(std::find(calendars.begin(), calendars.end(), "Work"), calendars.end()) << calendars;
  entries.erase("calendar");
  const json none = json::array();
  const json expected = {
      {"email", {{"running", true}, {"accounts", {"Work", "Home"}}}},
      {"contacts", {{"running", false}, {"sources", none}}},
      {"reminders", {{"running", false}, {"lists", none}}},
      {"notes", {{"running", false}, {"disabled_by_user", true}}},
      {"messages", {{"running", false}}},
      {"finder", {{"running", true}}},
      {"safari", {{"running", false}}},
      {"omnifocus", {{"running", false}, {"projects", 0}, {"inbox", 0}}},
      {"teams", {{"available", true}, {"running", false}, {"conversations", 0}, {"tenants", 1}}},
      {"onedrive", {"OneDrive-Contoso", "OneDrive-Personal"}},
      {"slack", {{"available", false}, {"has_local_data", false}, {"disabled_by_user", true}}},
      {"nordvpn", {{"installed", true}}},
      {"whatsapp", {{"available", true}, {"authenticated", true}}},
      {"m365", {{"connected", true}, {"email", "me@contoso.example"}}},
      {"evernote", {{"connected", true}, {"email", "me@evernote.example"}}},
  };
  EXPECT_EQ(entries, expected) << entries.dump(2);
  EXPECT_EQ(test::readFile(decisions), R"({"calendar": "granted", "contacts": "denied"})");
  // A wacli others may write is one a call would refuse to run: not available.
  std::filesystem::permissions(wacli, std::filesystem::perms::others_write,
                               std::filesystem::perm_options::add);
  EXPECT_EQ(ServiceStatusScanner::scan({helper, scripts}, world.stores,
                                       ConfigManager::shared())["whatsapp"]["available"],
            false);
}

TEST(ServiceStatusScannerTest, ScansAtOnceOnItsOwnThreadAndStopsWithoutWaitingForTheNext) {
  ServiceStatusScanner scanner(ConfigManager::shared());
  EXPECT_EQ(scanner.current(), ServiceStatusScanner::defaultEntries());
  std::filesystem::create_directories(Paths::underHome("Applications/Slack.app"));
  HelperProxy helper;
  JXARunnerProxy scripts(Timeouts::jxaServiceScan);
  test::PimWorld world;
  scanner.start({helper, scripts}, world.stores);
  test::eventually([&] { return scanner.current()["slack"]["available"] == true; },
                   "Slack found available");
  scanner.stop();
  EXPECT_EQ(scanner.current()["slack"]["available"], true);
}

// A permission decided while the scanner waits for its next scan (the file replaced, as the
// gate writes it, or written over, as an editor may) shows in its entries at once, and whoever
// listens hears of it.
TEST(ServiceStatusScannerTest, APermissionDecidedBetweenScansShowsAtOnce) {
  const struct {
    const char* file;  // the permission file's new text
    bool inPlace;
    bool calendar;  // running afterwards
    bool contacts;
  } cases[] = {
      {R"({"calendar": "granted"})", false, true, false},
      {R"({"calendar": "granted", "contacts": "granted"})", true, true, true},
      {R"({"contacts": "granted"})", true, false, true},
      {R"({"contacts": "denied"})", false, false, false},
      {R"({"contacts": "restricted"})", false, false, false},  // heard: the status's word changed
  };
  test::PimWorld world;
  HelperProxy helper(world.dispatcher());
  JXARunnerProxy scripts(Timeouts::jxaServiceScan);
  std::atomic<int> heard = 0;
  ServiceStatusScanner scanner(ConfigManager::shared());
  scanner.start({helper, scripts}, world.stores, [&heard] { ++heard; });
  ASSERT_TRUE(test::eventually([&] { return heard > 0; }, "the first scan"));
  const auto running = [&scanner](const char* service) {
    return scanner.current()[service]["running"].get<bool>();
  };
  EXPECT_FALSE(running("calendar") || running("contacts"));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const int before = heard;
    (c.inPlace ? test::writeFile : test::replaceFile)(PrivacyGate::file(), c.file);
    EXPECT_TRUE(test::eventually(
        [&] { return running("calendar") == c.calendar && running("contacts") == c.contacts; },
        std::string("the entries after ") + c.file));
    EXPECT_TRUE(test::eventually([&] { return heard > before; }, "the change heard"));
  }
  scanner.stop();
}

}  // namespace
}  // namespace tvrn
