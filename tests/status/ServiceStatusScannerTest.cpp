#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "bridges/HelperProxy.h"
#include "bridges/LocalData.h"
#include "core/ConfigManager.h"
#include "platform/Paths.h"
#include "platform/PimStore.h"
#include "platform/Subprocess.h"
#include "status/ServiceStatusScanner.h"
#include "status/StatusDecoder.h"
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
  auto started = Subprocess::start(SpawnOptions({program.string(), "30"}));
  return started.ok() ? std::move(started).value() : nullptr;
}

void installApps(std::initializer_list<const char*> names) {
  for (const char* name : names) {
    std::filesystem::create_directories(Paths::underHome("Applications") /
                                        (std::string(name) + ".app"));
  }
}

class ServiceStatusScannerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    HelperProxy::setInProcessDispatch(
        [](std::string_view request) { return LocalData::dispatch(request); });
    ::setenv("TVRN_OSASCRIPT", (test::fakesDir() / "fake-osascript").c_str(), 1);
    ::setenv("FAKE_OSASCRIPT_DIRECTIVE", R"({"stdout": "[\"Work\", \"Home\"]"})", 1);
    ::setenv("FAKE_OSASCRIPT_ARGV", (test::home() / "osascript-runs.log").c_str(), 1);
    installApps({"Slack", "MSTeams", "NordVPN"});
    for (const char* folder : {"OneDrive-Personal", "OneDrive-Contoso", "Dropbox"}) {
      std::filesystem::create_directories(Paths::underHome("Library/CloudStorage") / folder);
    }
    test::writeFile(Paths::underHome("Library/CloudStorage/OneDrive-stray-file"), "");
    test::writeFile(Paths::localShare() / "bin/wacli", "");
    test::writeFile(Paths::underHome(".wacli/wacli.db"), "");
  }
  void TearDown() override {
    for (auto& process : processes_) process->terminate();
  }

  void run(const std::string& name) {
    processes_.push_back(runAs(name));
    ASSERT_TRUE(processes_.back());
  }

  std::vector<std::unique_ptr<Subprocess>> processes_;
};

TEST_F(ServiceStatusScannerTest, ReportsWhatTheSeededHomeHoldsWithoutDecidingAnyPermission) {
  Calendar work;
  work.title = "Work";
  work.entityType = EntityType::event;
  ASSERT_TRUE(PimStore::shared().saveCalendar(work).ok());
  const auto decisions = Paths::appSupport() / "pim/authorization.json";
  test::writeFile(decisions, R"({"calendar": "granted", "contacts": "denied"})");
  // A grant remembered from earlier: the store itself has not decided reminders now.
  test::writeFile(Paths::appSupport() / "tcc-cache.json", R"({"reminders": "granted"})");
  ConfigManager::shared().save({{"m365_access_token", "token"},
                                {"m365_account_email", "me@contoso.example"},
                                {"disabled_services", {"notes"}}});
  run("thunderbird");
  run("nautilus");

  json entries = ServiceStatusScanner::scan();

  const json calendars = entries["calendar"]["calendars"];
  EXPECT_EQ(entries["calendar"]["running"], true);
  EXPECT_NE(std::find(calendars.begin(), calendars.end(), "Work"), calendars.end()) << calendars;
  entries.erase("calendar");
  const json expected = {
      {"email", {{"running", true}, {"accounts", {"Work", "Home"}}}},
      {"contacts", {{"running", false}, {"sources", json::array()}}},
      {"reminders", {{"running", false}, {"lists", json::array()}}},
      {"notes", {{"running", false}, {"disabled_by_user", true}}},
      {"messages", {{"running", false}}},
      {"finder", {{"running", true}}},
      {"safari", {{"running", false}}},
      {"omnifocus", {{"running", false}, {"projects", 0}, {"inbox", 0}}},
      {"teams", {{"available", true}, {"running", false}, {"conversations", 0}, {"tenants", 1}}},
      {"onedrive", {"OneDrive-Contoso", "OneDrive-Personal"}},
      {"slack", {{"available", true}, {"has_local_data", true}}},
      {"nordvpn", {{"installed", true}}},
      {"whatsapp", {{"available", true}, {"authenticated", true}}},
      {"m365", {{"connected", true}, {"email", "me@contoso.example"}}},
  };
  EXPECT_EQ(entries, expected) << entries.dump(2);
  EXPECT_EQ(test::readFile(decisions), R"({"calendar": "granted", "contacts": "denied"})");

  const auto decoded = test::decodeStatus(
      {{"server", "connected"},
       {"version", "1"},
       {"url", "unix://x"},
       {"port", 1},
       {"services", ServiceStatusScanner::scan()},
       {"security", {{"api_key_enabled", false}, {"network_mode", "localhost"}}}});
  EXPECT_FALSE(decoded.failure);
  EXPECT_TRUE(decoded.droppedServices.empty());
}

TEST_F(ServiceStatusScannerTest, DisabledServicesAreReportedOffWithoutLookingAtThem) {
  ConfigManager::shared().save(
      {{"disabled_services", {"email", "teams", "slack", "whatsapp", "onedrive", "calendar"}}});
  test::writeFile(Paths::appSupport() / "pim/authorization.json", R"({"calendar": "granted"})");
  run("thunderbird");

  const json entries = ServiceStatusScanner::scan();
  struct Row {
    const char* key;
    json entry;
  };
  const Row rows[] = {
      {"email", {{"running", false}, {"disabled_by_user", true}}},
      {"calendar", {{"running", false}, {"disabled_by_user", true}}},
      {"onedrive", {{"running", false}, {"disabled_by_user", true}}},
      {"teams",
       {{"running", false},
        {"disabled_by_user", true},
        {"available", false},
        {"conversations", 0},
        {"tenants", 0}}},
      {"slack", {{"available", false}, {"has_local_data", false}, {"disabled_by_user", true}}},
      {"whatsapp", {{"available", false}, {"authenticated", false}, {"disabled_by_user", true}}},
  };
  for (const Row& row : rows) EXPECT_EQ(entries[row.key], row.entry) << row.key;
  EXPECT_FALSE(std::filesystem::exists(test::home() / "osascript-runs.log"));
}

TEST_F(ServiceStatusScannerTest, ScansAtOnceOnItsOwnThreadAndStopsWhenAsked) {
  auto& scanner = ServiceStatusScanner::shared();
  EXPECT_EQ(scanner.current(), ServiceStatusScanner::defaultEntries());
  scanner.start();
  const auto until = std::chrono::steady_clock::now() + 10s;
  while (std::chrono::steady_clock::now() < until &&
         scanner.current()["slack"]["available"] != true) {
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_EQ(scanner.current()["slack"]["available"], true);
  // The next scan is a minute away; stopping does not wait for it.
  scanner.stop();
  std::filesystem::remove_all(Paths::underHome("Applications/Slack.app"));
  EXPECT_EQ(scanner.current()["slack"]["available"], true);
}

}  // namespace
}  // namespace tvrn
