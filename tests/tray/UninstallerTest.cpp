// Removing the system: the feedback record, the guard that keeps every delete inside HOME, and
// the whole run on a home where the system and its client entries are installed.
#include <gtest/gtest.h>

#include <QSysInfo>
#include <atomic>
#include <cstdlib>
#include <set>
#include <thread>

#include "fakes/support/RecordingHttpServer.h"
#include "pim/PimStore.h"
#include "platform/Keychain.h"
#include "platform/Paths.h"
#include "platform/Subprocess.h"
#include "status/AIClientCatalog.h"
#include "support/OwnProcesses.h"
#include "tray/ClientConfigEditor.h"
#include "tray/ManualScheduler.h"
#include "tray/TrayFixtures.h"
#include "tray/Uninstaller.h"

namespace tvrn {
namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;

std::optional<ServerStatus> statusWith(const std::string& version,
                                       std::optional<std::string> machineId) {
  ServerStatus status;
  status.version = version;
  status.machineId = std::move(machineId);
  return status;
}

TEST(UninstallerTest, FeedbackRecord) {
  struct Case {
    std::string what, reason;
    std::optional<ServerStatus> status;
    std::optional<std::string> idFile;
    std::string message, version, machineId;
  };
  const std::vector<Case> cases{
      {"blank reason, no status, no file", " \n", std::nullopt, std::nullopt,
       "Uninstall: ", "unknown", "unknown"},
      {"no status", "too slow\n", std::nullopt, " M-FILE \n", "Uninstall: too slow", "unknown",
       "M-FILE"},
      {"status says unknown", "", statusWith("1.2.3", "unknown"), "M-FILE", "Uninstall: ", "1.2.3",
       "M-FILE"},
      {"blank id, empty file", "", statusWith("1.2.3", "  "), "", "Uninstall: ", "1.2.3", ""},
      {"a real id", "", statusWith("1.2.3", " M-S "), "M-FILE", "Uninstall: ", "1.2.3", "M-S"},
  };
  const auto idFile = Paths::localShare() / "bin/.machine-id";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(idFile);
    if (c.idFile) test::writeFile(idFile, *c.idFile);
    const json record = Uninstaller::feedback(c.reason, c.status);
    EXPECT_EQ(record, json({{"message", c.message},
                            {"type", "uninstall"},
                            {"source", "tray"},
                            {"version", c.version},
                            {"machine_id", c.machineId},
                            {"email", ""},
                            {"os_version", QSysInfo::prettyProductName().toStdString()}}));
  }
  test::writeFile(Paths::localShare() / "bin/.email", " me@example.org\n");
  EXPECT_EQ(Uninstaller::feedback("", std::nullopt)["email"], "me@example.org");
}

TEST(UninstallerTest, DeletesOnlyStrictlyBelowAnAbsoluteHome) {
  const std::string home = test::home().string();
  struct Case {
    const char* home;  // nullptr: unset
    std::string item;
    bool removed;
  };
  const std::vector<Case> cases{
      {home.c_str(), home + "/.local/share/tavrin", true},
      {home.c_str(), home, false},
      {home.c_str(), home + "/../elsewhere", false},
      {"", "/.local/share/tavrin", false},
      {nullptr, "/.local/share/tavrin", false},
      {"/", "/.local/share/tavrin", false},
      {"home", "home/.local/share/tavrin", false},
  };
  const auto sibling = test::home().parent_path() / "elsewhere";
  std::filesystem::create_directories(sibling);
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.home ? c.home : "(unset)") + " " + c.item);
    std::filesystem::create_directories(test::home() / ".local/share/tavrin");
    if (c.home) {
      ::setenv("HOME", c.home, 1);
    } else {
      ::unsetenv("HOME");
    }
    EXPECT_EQ(Uninstaller::removeBelowHome(c.item), c.removed);
    ::setenv("HOME", home.c_str(), 1);
    EXPECT_EQ(std::filesystem::exists(test::home() / ".local/share/tavrin"), !c.removed);
    EXPECT_TRUE(std::filesystem::exists(test::home()));
    EXPECT_TRUE(std::filesystem::exists(sibling));
  }
}

class UninstallProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TVRN_BACKEND_URL", backend_.baseURL().c_str(), 1);
    // The stdio servers it ends are the ones this test started, never the user's.
    settings_.pkill = test::childrenOnlyPkill();
  }

  QObject context_;
  test::ManualScheduler clock_;
  test::RecordingHttpServer backend_;
  Uninstaller::Settings settings_;
};

TEST_F(UninstallProcessTest, RemovesEverythingOfOursInsideHomeThenQuits) {
  // Our entry beside another server in every client's file, but Cursor's and VS Code's, which
  // hold nothing else: Cursor's the set-up made, VS Code's the user had before the set-up.
  const std::set<std::string> skeletons{"cursor", "vscode"};
  for (const auto& client : AIClientCatalog::clients(AIClientCatalog::Job::uninstall)) {
    if (client.def.id == "cursor") {
      ASSERT_TRUE(ClientConfigEditor::addEntry(client.def, "x"));
      continue;
    }
    json servers{{"tavrin", {{"command", "x"}}}};
    if (!skeletons.contains(client.def.id)) servers["keep"] = json::object();
    test::writeFile(client.def.cfgPath,
                    json({{ClientConfigEditor::serversKey(client.def), servers}}).dump());
  }
  // The user's own event in the default folders, and the access decisions.
  Event event;
  event.title = "Dentist";
  event.start = std::chrono::system_clock::now();
  event.end = event.start + 1h;
  PimStore store;
  event.calendarId = store.defaultCalendarForNewEvents().value().id;
  const auto saved = store.saveEvent(event);
  ASSERT_TRUE(saved.ok());
  const auto pim = Paths::appSupport() / "pim";
  const auto kept = test::contentsOf(pim);
  ASSERT_TRUE(kept.contains("calendars/calendar/" + saved.value().id + ".ics"));
  test::writeFile(pim / "authorization.json", R"({"calendar": "authorized"})");
  const auto autostart = Uninstaller::autostartEntry();
  test::writeFile(autostart, "[Desktop Entry]\n");
  test::writeFile(Paths::localShare() / "tray/tavrin-tray", "");
  test::writeFile(Paths::localShare() / "bin/.machine-id", "M-FILE\n");
  test::writeFile(Paths::appSupport() / "config.json", "{}");
  const auto outside = std::filesystem::path(std::getenv("TMPDIR")) / "outside";
  test::writeFile(outside / "kept.txt", "kept");
  std::filesystem::create_symlink(outside, Paths::localShare() / "linked");

  // A stdio server of ours, and a process that only mentions the name in its arguments.
  const auto fakeServer = test::home() / "fake/tavrin-server";
  std::filesystem::create_directories(fakeServer.parent_path());
  std::filesystem::copy_file("/bin/sleep", fakeServer);
  auto server = test::startChild({fakeServer.string(), "30"});
  auto bystander = test::startChild({"/bin/sh", "-c", "sleep 30; echo tavrin-server"});
  ASSERT_TRUE(server && bystander);

  bool quit = false;
  Uninstaller::perform(
      "  \n", std::nullopt, clock_, &context_, [&] { quit = true; }, settings_);

  ASSERT_TRUE(test::processEventsUntil([&] { return backend_.requestCount() == 1; }));
  const auto sent = backend_.requestsTo("/feedback");
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].json()["message"], "Uninstall: ");
  EXPECT_EQ(sent[0].json()["machine_id"], "M-FILE");
  for (const auto& client : AIClientCatalog::clients(AIClientCatalog::Job::uninstall)) {
    SCOPED_TRACE(client.def.id);
    if (client.def.id == "cursor") {
      EXPECT_FALSE(std::filesystem::exists(client.def.cfgPath));
      EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(client.def.cfgPath).parent_path()));
      continue;
    }
    if (client.def.id == "vscode") {
      EXPECT_EQ(json::parse(test::readFile(client.def.cfgPath)),
                json({{"servers", json::object()}}));
      continue;
    }
    const std::string text = test::readFile(client.def.cfgPath);
    EXPECT_EQ(text.find("tavrin"), std::string::npos) << text;
    EXPECT_NE(text.find("keep"), std::string::npos) << text;
  }
  EXPECT_FALSE(std::filesystem::exists(autostart));
  EXPECT_TRUE(server->waitForExit(SubprocessClock::now() + 10s));
  EXPECT_TRUE(bystander->isRunning());
  EXPECT_FALSE(std::filesystem::exists(Paths::localShare()));
  EXPECT_EQ(test::namesIn(Paths::appSupport()), std::vector<std::string>{"pim"});
  EXPECT_EQ(test::contentsOf(pim), kept);
  EXPECT_EQ(test::readFile(outside / "kept.txt"), "kept");

  clock_.advance(999ms);
  EXPECT_FALSE(quit);
  clock_.advance(1ms);
  EXPECT_TRUE(quit);
  bystander->terminate();
}

// The server this process hosts keeps writing its files until it is stopped: the uninstall
// stops it (after the stdio servers) before it removes anything, and nothing comes back.
TEST_F(UninstallProcessTest, StopsTheHostedServerBeforeItDeletesAndLeavesNothing) {
  const auto fakeServer = test::home() / "fake/tavrin-server";
  std::filesystem::create_directories(fakeServer.parent_path());
  std::filesystem::copy_file("/bin/sleep", fakeServer);
  auto stdioServer = test::startChild({fakeServer.string(), "30"});
  ASSERT_TRUE(stdioServer);

  std::atomic<bool> serving{true};
  std::atomic<int> writes{0};
  std::thread writer([&] {
    while (serving) {
      static_cast<void>(Keychain::writeGenericPassword(
          "com.tavrin.test", "writer",
          std::to_string(++writes)));  // races the uninstall on purpose: a write may fail
      std::this_thread::sleep_for(1ms);
    }
  });
  ASSERT_TRUE(test::processEventsUntil([&] { return writes > 0; }));

  std::vector<std::string> steps;
  Uninstaller::Settings settings = settings_;
  settings.stopWriters = [&] {
    steps.push_back(std::string("stop, folders ") +
                    (std::filesystem::exists(Paths::appSupport()) ? "there" : "gone"));
    serving = false;
    writer.join();
  };
  Uninstaller::perform(
      "", std::nullopt, clock_, &context_, [&] { steps.push_back("quit"); }, settings);
  EXPECT_FALSE(std::filesystem::exists(Paths::appSupport()));
  EXPECT_FALSE(std::filesystem::exists(Paths::localShare()));
  clock_.advance(Uninstaller::kQuitDelay);
  EXPECT_EQ(steps, (std::vector<std::string>{"stop, folders there", "quit"}));
  EXPECT_TRUE(stdioServer->waitForExit(SubprocessClock::now() + 10s));
  EXPECT_FALSE(std::filesystem::exists(Paths::appSupport()));
  if (writer.joinable()) {
    serving = false;
    writer.join();
  }
}

}  // namespace
}  // namespace tvrn
