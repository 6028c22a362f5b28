// The popover's actions that end and start programs: the server restart and the Claude Desktop
// restart, against stand-in programs of the right names.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest/QTest>

#include "core/ConfigManager.h"
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
  QProcess server;
  server.start(QString::fromStdString(standIn("tavrin-server").string()), {"60"});
  QProcess bystander;
  bystander.start("/bin/sh", {"-c", "sleep 60; :", "tavrin-server", "server.py"});
  ASSERT_TRUE(server.waitForStarted() && bystander.waitForStarted());

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
  EXPECT_TRUE(test::processEventsUntil([&] { return server.state() == QProcess::NotRunning; }));
  EXPECT_EQ(server.exitStatus(), QProcess::CrashExit);  // ended by a signal
  EXPECT_EQ(bystander.state(), QProcess::Running);

  clock_.advance(MenuBarView::kRestartingHeldFor - 1ms);
  EXPECT_FALSE(restart->isVisible());
  clock_.advance(1ms);
  EXPECT_TRUE(restart->isVisible() && !arrow->isSpinning());
  bystander.kill();
  bystander.waitForFinished();
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

  QProcess running;
  running.start(QString::fromStdString(claude.string()), {"60"});
  ASSERT_TRUE(running.waitForStarted());
  ASSERT_TRUE(test::waitForCommandLine(static_cast<pid_t>(running.processId()), claude.string()));
  monitor_.setJustUpdatedToVersion("3.0.102");
  ASSERT_TRUE(restart->isVisible());
  EXPECT_TRUE(restart->text().endsWith("Restart Claude Desktop"));
  QTest::mouseClick(restart, Qt::LeftButton);
  EXPECT_EQ(monitor_.justUpdatedToVersion(), std::nullopt);
  EXPECT_TRUE(test::processEventsUntil([&] { return running.state() == QProcess::NotRunning; }));

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
