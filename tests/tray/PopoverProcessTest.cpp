// The popover's actions that end and start programs: the server restart and the Claude Desktop
// restart, against stand-in programs of the right names.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <QPushButton>
#include <QSignalSpy>
#include <QtTest/QTest>

#include "core/ConfigManager.h"
#include "platform/ProcessInfo.h"
#include "platform/RunningApps.h"
#include "support/ChildTestRun.h"
#include "support/OwnProcesses.h"
#include "tray/ManualScheduler.h"
#include "tray/StatusMonitor.h"
#include "tray/TrayFixtures.h"
#include "tray/popover/MenuBarView.h"
#include "tray/popover/PopoverSections.h"

namespace tvrn {
namespace {

using namespace std::chrono_literals;

// A program that waits, under the given name, in a folder of the private home.
std::filesystem::path standIn(const std::string& name) {
  const auto program = test::home() / "bin" / name;
  std::filesystem::create_directories(program.parent_path());
  std::filesystem::copy_file("/bin/sleep", program,
                             std::filesystem::copy_options::overwrite_existing);
  return program;
}

// Whether the program runs, started by its path; one that has ended and waits to be reaped does
// not (it shows no command line).
bool runs(const std::filesystem::path& program) {
  for (const pid_t pid : ProcessInfo::allPids()) {
    const auto entry = ProcessInfo::lookup(pid);
    if (entry && !entry->arguments.empty() && entry->arguments.front() == program) return true;
  }
  return false;
}

class PopoverProcessTest : public ::testing::Test {
 protected:
  PrivacyGate gate_;  // the tray's, over the test's own access file
  void SetUp() override {
    test::useUnusedStatusPort();
    ::setenv("TVRN_WEB_URL", "http://127.0.0.1:9", 1);
  }

  test::ManualScheduler clock_;
  StatusMonitor monitor_{ConfigManager::shared(), clock_};
};

// Only processes named exactly tavrin-server end: a program whose command line merely mentions
// the server (an editor, the user's own Python server) keeps running.
TEST_F(PopoverProcessTest, RestartEndsOnlyTheServerAndHoldsTheRestartingLookFor8Seconds) {
  const auto program = standIn("tavrin-server").string();
  auto server = test::startChild({program, "60"});
  const auto waiting = standIn("waiting");
  auto bystander = test::startChild(
      {"/bin/sh", "-c", waiting.string() + " 60; :", "tavrin-server", "server.py"});
  ASSERT_TRUE(server && bystander);
  ASSERT_TRUE(test::waitForCommandLine(server->pid(), program));
  ASSERT_TRUE(test::processEventsUntil([&] { return runs(waiting); })) << "the shell's program";

  MenuBarView view(
      monitor_, gate_, [] {}, clock_);
  view.restartSettings.pause = 10ms;
  view.restartSettings.pkill = test::childrenOnlyPkill();
  view.show();
  QSignalSpy ended(&view, &MenuBarView::serverRestartEnded);
  auto* restart = view.findChild<QPushButton*>("restart-server");
  ASSERT_TRUE(restart && restart->isVisible());
  QTest::mouseClick(restart, Qt::LeftButton);
  EXPECT_FALSE(restart->isVisible());
  auto* arrow = dynamic_cast<SymbolLabel*>(view.findChild<QLabel*>("arrow.clockwise"));
  ASSERT_TRUE(arrow && arrow->isSpinning());

  ASSERT_TRUE(test::processEventsUntil([&] { return ended.count() == 1; }));
  EXPECT_TRUE(test::processEventsUntil([&] { return !server->isRunning(); }));
  EXPECT_TRUE(server->exitStatus() && server->exitStatus()->signalled);
  EXPECT_TRUE(bystander->isRunning());

  clock_.advance(MenuBarView::kRestartingHeldFor - 1ms);
  EXPECT_FALSE(restart->isVisible());
  clock_.advance(1ms);
  EXPECT_TRUE(restart->isVisible() && !arrow->isSpinning());
  // Nothing the test started is left: the program the shell waits for ends with it.
  bystander->terminate();
  EXPECT_TRUE(test::processEventsUntil([&] { return !runs(waiting); }));
}

// In a PID namespace of its own: the restart ends whichever Claude Desktop it finds running.
TEST_F(PopoverProcessTest, ClaudeDesktopRestartEndsItAndStartsItAgainFromPath) {
  if (!test::runsInOwnPidNamespace()) return;
  const auto claude = standIn("claude-desktop");
  // What PATH starts is a launcher that becomes the waiting program.
  const auto launcher = test::home() / "path" / "claude-desktop";
  test::writeFile(launcher, "#!/bin/sh\nexec '" + claude.string() + "' 60\n");
  std::filesystem::permissions(launcher, std::filesystem::perms::owner_all);
  ::setenv("PATH", (launcher.parent_path().string() + ":" + ::getenv("PATH")).c_str(), 1);
  MenuBarView view(
      monitor_, gate_, [] {}, clock_);
  view.show();

  // Not running: the banner offers no restart.
  monitor_.setJustUpdatedToVersion("3.0.101");
  auto* restart = view.findChild<QPushButton*>("restart-claude");
  ASSERT_TRUE(restart);
  EXPECT_FALSE(restart->isVisible());

  auto running = test::startChild({claude.string(), "60"});
  ASSERT_TRUE(running && test::waitForCommandLine(running->pid(), claude.string()));
  monitor_.setJustUpdatedToVersion("3.0.102");
  ASSERT_TRUE(restart->isVisible());
  EXPECT_TRUE(restart->text().endsWith("Restart Claude Desktop"));
  QTest::mouseClick(restart, Qt::LeftButton);
  EXPECT_EQ(monitor_.justUpdatedToVersion(), std::nullopt);
  EXPECT_TRUE(test::processEventsUntil([&] { return !running->isRunning(); }));

  clock_.advance(MenuBarView::kClaudeReopenDelay - 1ms);
  EXPECT_FALSE(RunningApps::isRunning(MenuBarView::kClaudeBundleId));
  clock_.advance(1ms);
  std::vector<pid_t> started;
  EXPECT_TRUE(test::processEventsUntil([&] {
    started = RunningApps::processIds(MenuBarView::kClaudeBundleId);
    return !started.empty();
  }));
  for (const pid_t pid : started) ::kill(pid, SIGKILL);
}

}  // namespace
}  // namespace tvrn
