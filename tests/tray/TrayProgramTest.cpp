// The program as a user starts it: the tray under an off-screen display, the headless server,
// and the hand-over from a running copy to a new one. Each test runs in a PID namespace of its
// own, so the trays it starts end only each other, never the user's.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "core/ConfigManager.h"
#include "core/IPCServer.h"
#include "platform/HttpClient.h"
#include "platform/Paths.h"
#include "platform/Subprocess.h"
#include "support/ChildTestRun.h"
#include "support/SocketClient.h"
#include "support/TestEnv.h"

extern char** environ;

namespace tvrn {
namespace {

using namespace std::chrono_literals;

// `extra`, then this process's environment without the variables that name a display.
std::vector<std::string> environmentWith(bool display, const std::vector<std::string>& extra = {}) {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry; ++entry) {
    const std::string_view text(*entry);
    const bool names = text.starts_with("DISPLAY=") || text.starts_with("WAYLAND_DISPLAY=") ||
                       text.starts_with("QT_QPA_PLATFORM=");
    if (!names) entries.emplace_back(text);
  }
  if (display) entries.emplace_back("QT_QPA_PLATFORM=offscreen");
  entries.insert(entries.begin(), extra.begin(), extra.end());  // the first of a name counts
  return entries;
}

std::unique_ptr<Subprocess> start(std::vector<std::string> argv, std::vector<std::string> env) {
  SpawnOptions options(std::move(argv));
  options.environment = std::move(env);
  auto started = Subprocess::start(options);
  if (!started.ok()) ADD_FAILURE() << started.error();
  return started.ok() ? std::move(started).value() : nullptr;
}

std::unique_ptr<Subprocess> startTray(const std::vector<std::string>& arguments = {},
                                      bool display = true,
                                      const std::vector<std::string>& extra = {}) {
  std::vector<std::string> argv{TVRN_PROGRAM};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return start(argv, environmentWith(display, extra));
}

// A stand-in copy under another program's name: a shell script whose process carries the
// script's name. `onTerm` is what it does when asked to quit; `extra` is added to its environment.
std::unique_ptr<Subprocess> startScript(const std::string& name, const std::string& onTerm,
                                        const std::vector<std::string>& extra = {}) {
  const auto script = Paths::tempDir() / ("tray-copies-" + std::to_string(::getpid())) / name;
  test::writeFile(script, "#!/bin/sh\ntrap '" + onTerm +
                              "' TERM\necho up\n"
                              "while :; do sleep 0.05; done\n");
  std::filesystem::permissions(script, std::filesystem::perms::owner_all);
  auto copy = start({script.string()}, environmentWith(false, extra));
  if (copy) {
    EXPECT_EQ(copy->readLine(SubprocessClock::now() + 10s).text, "up");
  }
  return copy;
}

std::string serverLog() { return test::readFile(ConfigManager::shared().logPath()); }

// Whether a server answers "initialize" on the socket; when none does, standard error shows the
// server log, which says why a start failed.
bool answersInitialize() {
  auto client = test::SocketClient::connect(IPCServer::socketPath(), 20s);
  const auto reply =
      client ? client->call(test::request(1, "initialize",
                                          {{"protocolVersion", "2024-11-05"},
                                           {"capabilities", nlohmann::json::object()},
                                           {"clientInfo", {{"name", "t"}, {"version", "1"}}}}),
                            20s)
             : std::nullopt;
  if (reply && reply->contains("result")) return true;
  std::fprintf(stderr, "No answer to initialize at %s; the server log:\n%s\n",
               IPCServer::socketPath().c_str(), serverLog().c_str());
  return false;
}

class TrayProgramTest : public ::testing::Test {
 protected:
  void SetUp() override { statusPort_ = test::useUnusedStatusPort(); }
  int statusPort_ = 0;
};

// Without a display nothing but the start-up runs, and it alone puts the stdio server program in
// place, the one the settings page then tells clients to start.
TEST_F(TrayProgramTest, TheHeadlessStartInstallsTheStdioServerThePageNames) {
  if (!test::runsInOwnPidNamespace()) return;  // the start-up ends older servers by name
  auto server = startTray({}, false);
  ASSERT_TRUE(server);
  ASSERT_TRUE(answersInitialize());
  const std::filesystem::path installed = Paths::stdioServer();
  EXPECT_EQ(test::readFile(installed), test::readFile(TVRN_BRIDGE_PROGRAM));
  EXPECT_EQ(std::filesystem::status(installed).permissions() & std::filesystem::perms::all,
            std::filesystem::perms(0755));
  const auto page = HttpClient::get("http://127.0.0.1:" + std::to_string(statusPort_) + "/app", 5s);
  ASSERT_TRUE(page.ok());
  EXPECT_NE(page.value().body.find("\"stdio_server\":\"" + installed.string() + "\""),
            std::string::npos)
      << page.value().body;
  ASSERT_EQ(::kill(server->pid(), SIGTERM), 0);
  EXPECT_TRUE(server->waitForExit(SubprocessClock::now() + 20s));
}

// A display that is named but cannot be opened (a stale ssh session's DISPLAY) is served
// headless, with one line saying why, where Qt alone would abort. A server still reading a
// calendar whose event repeats every second on a few days quits when asked, as the others do.
TEST_F(TrayProgramTest, ServesInEachModeAndStopsOnSigterm) {
  if (!test::runsInOwnPidNamespace()) return;
  if (std::filesystem::exists("/tmp/.X11-unix/X99")) GTEST_SKIP() << "an X server may run on :99";
  const struct {
    std::vector<std::string> arguments;
    bool display;
    std::vector<std::string> extra;
    std::string line;          // in the log, when not empty
    std::string repeats = "";  // a rule of an event in the user's calendar, when not empty
  } modes[]{{{}, true, {}, ""},
            {{"--headless"}, true, {}, ""},
            {{}, false, {}, ""},
            {{},
             false,
             {"DISPLAY=:99"},
             "[tray] WARN  The display cannot be opened (DISPLAY=:99); serving without a user "
             "interface"},
            {{"--headless"},
             false,
             {},
             "",
             "FREQ=SECONDLY;BYMONTH=2;BYMONTHDAY=29;BYHOUR=10;BYMINUTE=0;BYSECOND=0"}};
  for (const auto& [arguments, display, extra, line, repeats] : modes) {
    SCOPED_TRACE(std::string(display ? "display" : "no display") +
                 (arguments.empty() ? "" : " --headless") + (extra.empty() ? "" : " " + extra[0]) +
                 (repeats.empty() ? "" : ", a calendar"));
    if (!repeats.empty()) {
      test::writeFile(Paths::appSupport() / "pim" / "calendars" / "home" / "leap.ics",
                      "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Other//EN\r\nBEGIN:VEVENT\r\n"
                      "UID:leap\r\nDTSTAMP:20240101T000000Z\r\nDTSTART:19960229T100000Z\r\n"
                      "RRULE:" +
                          repeats + "\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n");
    }
    const auto stoppedBefore = serverLog().size();
    auto tray = startTray(arguments, display, extra);
    ASSERT_TRUE(tray);
    ASSERT_TRUE(answersInitialize());
    if (!line.empty()) {
      EXPECT_NE(serverLog().find(line, stoppedBefore), std::string::npos);
    }
    ASSERT_EQ(::kill(tray->pid(), SIGTERM), 0);
    ASSERT_TRUE(tray->waitForExit(SubprocessClock::now() + 20s));
    EXPECT_EQ(tray->exitStatus()->status, 0);
    EXPECT_FALSE(tray->exitStatus()->signalled);
    EXPECT_NE(serverLog().find("ServerCore stopped", stoppedBefore), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(IPCServer::socketPath()));
  }
}

TEST_F(TrayProgramTest, ANewTrayEndsTheRunningCopy) {
  if (!test::runsInOwnPidNamespace()) return;
  auto first = startTray({"--headless"});
  ASSERT_TRUE(first);
  ASSERT_TRUE(answersInitialize());

  auto second = startTray();
  ASSERT_TRUE(second);
  ASSERT_TRUE(first->waitForExit(SubprocessClock::now() + 20s));
  EXPECT_FALSE(first->exitStatus()->signalled) << "asked to quit, it quits on its own";
  EXPECT_TRUE(answersInitialize());
  EXPECT_TRUE(second->isRunning());
}

// A copy that ignores the request is killed after the grace period; a program whose name only
// begins like the tray's is not a copy; a copy that has become another program by the time the
// grace period ends is not killed; a copy of another home serves its own socket and is left, as
// is one with an empty HOME, which serves the home the password database gives.
TEST_F(TrayProgramTest, CopiesThatStayAreKilledOthersAreLeftAlone) {
  if (!test::runsInOwnPidNamespace()) return;
  auto stubborn = startScript("tavrin-tray", "");
  auto lookalike = startScript("tavrin-tray-x", "");
  auto changed = startScript("tavrin-tray", "exec sleep 30");
  auto otherHome = startScript("tavrin-tray", "", {"HOME=" + (test::home() / "other").string()});
  auto passwdHome = startScript("tavrin-tray", "", {"HOME="});
  ASSERT_TRUE(stubborn && lookalike && changed && otherHome && passwdHome);

  const auto started = std::chrono::steady_clock::now();
  auto tray = startTray();
  ASSERT_TRUE(tray);
  ASSERT_TRUE(stubborn->waitForExit(SubprocessClock::now() + 20s));
  EXPECT_GE(std::chrono::steady_clock::now() - started, 1900ms);
  EXPECT_TRUE(stubborn->exitStatus()->signalled);
  EXPECT_EQ(stubborn->exitStatus()->status, SIGKILL);
  ASSERT_TRUE(answersInitialize());
  EXPECT_TRUE(lookalike->isRunning());
  EXPECT_TRUE(changed->isRunning());
  EXPECT_TRUE(otherHome->isRunning());
  EXPECT_TRUE(passwdHome->isRunning());
}

}  // namespace
}  // namespace tvrn
