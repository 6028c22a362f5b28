// The tray shell's start-up, its delayed work and the icon's pulse, with the server and the
// other copies replaced by recorders and time moved by hand.
#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QPushButton>
#include <QWidget>

#include "cloud/UpdateManager.h"
#include "core/ConfigManager.h"
#include "core/Logger.h"
#include "pim/PrivacyGate.h"
#include "platform/Paths.h"
#include "support/TestEnv.h"
#include "tray/AppDelegate.h"
#include "tray/ManualScheduler.h"
#include "tray/TrayColors.h"
#include "tray/popover/MenuBarView.h"

namespace tvrn {
namespace {

using namespace std::chrono_literals;

class AppDelegateTest : public ::testing::Test {
 protected:
  PrivacyGate gate_;  // the tray's, over the test's own access file
  void SetUp() override { test::useUnusedStatusPort(); }

  std::unique_ptr<AppDelegate> makeDelegate() {
    StartupHooks hooks;
    hooks.terminateExistingInstances = [this] { events_.push_back("terminate"); };
    hooks.startServer = [this] {
      // Everything the server may report to exists before it starts.
      EXPECT_TRUE(delegate_->popover());
      EXPECT_TRUE(delegate_->statusMonitor().onStateChange);
      EXPECT_TRUE(delegate_->statusMonitor().onTCCRestored);
      events_.push_back("start");
      return true;
    };
    hooks.stopServer = [this] { events_.push_back("stop"); };
    hooks.takeJustUpdatedVersion = [] { return UpdateManager::takeJustUpdatedVersion(); };
    hooks.autoConfigureClients = [this] { events_.push_back("configure"); };
    hooks.registerPermissionPrompt = [this] { events_.push_back("prompt"); };
    return std::make_unique<AppDelegate>(hooks, gate_, ConfigManager::shared(), clock_,
                                         QDBusConnection(QString()));
  }

  std::string log() { return test::readFile(logFile_); }

  test::ManualScheduler clock_;
  std::vector<std::string> events_;
  std::unique_ptr<AppDelegate> delegate_;
  std::filesystem::path logFile_ = test::home() / "tray.log";
};

TEST_F(AppDelegateTest, StartsUpInOrderAndAnnouncesAnUpdateFromEitherMarker) {
  struct Case {
    std::string marker;
    std::string text;
    bool announced;
  };
  const std::vector<Case> cases{{"tray/.tray-just-updated", "1.2.4\n", true},
                                {".tray-just-updated", "1.2.4\n", true},
                                {"tray/.tray-just-updated", "", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.marker + " \"" + c.text + "\"");
    events_.clear();
    const auto marker = Paths::localShare() / c.marker;
    test::writeFile(marker, c.text);
    delegate_ = makeDelegate();
    ASSERT_TRUE(delegate_->applicationDidFinishLaunching());
    EXPECT_EQ(events_, (std::vector<std::string>{"terminate", "prompt", "start"}));
    // As tall as the popover's column, which is 300 wide.
    EXPECT_EQ(delegate_->popover()->size(), QSize(320, delegate_->menuBarView()->height()));
    EXPECT_EQ(delegate_->menuBarView()->width(), 300);
    EXPECT_EQ(delegate_->popover()->windowFlags() & Qt::Popup, Qt::Popup);
    EXPECT_EQ(std::filesystem::exists(marker), !c.announced);

    clock_.advance(4999ms);
    EXPECT_EQ(events_.back(), "configure");
    EXPECT_FALSE(delegate_->statusMonitor().justUpdatedToVersion());
    clock_.advance(1ms);
    EXPECT_EQ(delegate_->statusMonitor().justUpdatedToVersion(),
              c.announced ? std::optional<std::string>(c.text) : std::nullopt);
    std::filesystem::remove(marker);
  }
}

TEST_F(AppDelegateTest, HidingTheIconLeavesTheServerRunning) {
  delegate_ = makeDelegate();
  ASSERT_TRUE(delegate_->applicationDidFinishLaunching());
  delegate_->popover()->show();
  delegate_->hideIcon();
  EXPECT_FALSE(delegate_->popover()->isVisible());
  EXPECT_EQ(std::count(events_.begin(), events_.end(), "stop"), 0);
  delegate_->applicationWillTerminate();
  EXPECT_EQ(events_.back(), "stop");
}

// The footer's "Hide icon", confirmed in the popover, is the shell's hideIcon.
TEST_F(AppDelegateTest, TheFootersHideIconHidesTheIconOnly) {
  delegate_ = makeDelegate();
  ASSERT_TRUE(delegate_->applicationDidFinishLaunching());
  delegate_->popover()->show();
  for (const char* name : {"hideIcon", "confirmHide"}) {
    auto* button = delegate_->menuBarView()->findChild<QPushButton*>(QString::fromLatin1(name));
    ASSERT_NE(button, nullptr) << name;
    button->click();
  }
  EXPECT_FALSE(delegate_->popover()->isVisible());
  EXPECT_EQ(std::count(events_.begin(), events_.end(), "stop"), 0);
  delegate_->applicationWillTerminate();
}

TEST_F(AppDelegateTest, ProbesUndecidedPermissionsOnceTwoSecondsAfterStartUp) {
  Logger::configure(logFile_);
  auto& gate = gate_;
  ASSERT_TRUE(gate.setStatus(PrivacyEntity::calendar, AuthorizationStatus::writeOnly).ok());
  ASSERT_TRUE(gate.setStatus(PrivacyEntity::reminders, AuthorizationStatus::denied).ok());
  ASSERT_TRUE(gate.setStatus(PrivacyEntity::contacts, AuthorizationStatus::notDetermined).ok());
  delegate_ = makeDelegate();
  ASSERT_TRUE(delegate_->applicationDidFinishLaunching());
  const std::string line = "Startup TCC reset detected — requesting: calendar, contacts";
  clock_.advance(1999ms);
  EXPECT_EQ(log().find(line), std::string::npos);
  clock_.advance(1ms);
  EXPECT_NE(log().find(line), std::string::npos) << log();

  delegate_->requestTCCIfResetByOS();
  const std::string text = log();
  EXPECT_EQ(text.find("Startup TCC", text.find(line) + 1), std::string::npos) << text;
}

// Orange from the start until a status decides: a failed poll sent before the server answered
// keeps it orange; one that fails once the server has had its time turns it red.
TEST_F(AppDelegateTest, TheIconIsOrangeUntilTheFirstStatusDecides) {
  const struct {
    std::chrono::milliseconds after;
    const char* state;
    const char* shown;
  } cases[] = {
      {0ms, "error", "starting"},
      {AppDelegate::kStartingGrace - 1ms, "error", "starting"},
      {AppDelegate::kStartingGrace, "error", "error"},
      {0ms, "connected", "connected"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.state) + " after " + std::to_string(c.after.count()) + " ms");
    delegate_ = makeDelegate();
    ASSERT_TRUE(delegate_->applicationDidFinishLaunching());
    EXPECT_EQ(delegate_->shownDot().color, StatusIcon::steady("starting").color);
    EXPECT_EQ(StatusIcon::steady("starting").color, TrayColors::orange());
    clock_.advance(c.after);
    delegate_->statusMonitor().onStateChange(c.state);
    EXPECT_EQ(delegate_->shownDot().color, StatusIcon::steady(c.shown).color);
  }
}

TEST_F(AppDelegateTest, APulseRunsTenTicksRestartsOnNewActivityAndEndsInTheLatestState) {
  delegate_ = makeDelegate();
  delegate_->updateIcon("connected");
  delegate_->startPulse("cloud");
  clock_.advance(80ms * 3);  // frames 0, 1, 2
  EXPECT_EQ(delegate_->shownDot().diameter,
            StatusIcon::pulseFrame(2, "connected", "cloud")->diameter);

  delegate_->startPulse("local");  // starts over from frame 0
  clock_.advance(80ms);
  EXPECT_EQ(delegate_->shownDot().diameter, 6);
  clock_.advance(80ms * 3);
  EXPECT_EQ(delegate_->shownDot().color, StatusIcon::pulseFrame(3, "connected", "local")->color);

  delegate_->updateIcon("error");  // shown by the next frame, not at once
  EXPECT_EQ(delegate_->shownDot().color, StatusIcon::pulseFrame(3, "connected", "local")->color);
  clock_.advance(80ms);
  EXPECT_EQ(delegate_->shownDot().color, StatusIcon::pulseFrame(4, "error", "local")->color);

  clock_.advance(80ms * 4);  // frames 5 to 8
  EXPECT_TRUE(delegate_->isPulsing());
  clock_.advance(80ms);  // the tenth tick ends it
  EXPECT_FALSE(delegate_->isPulsing());
  EXPECT_EQ(delegate_->shownDot().color, TrayColors::red());
  EXPECT_EQ(delegate_->shownDot().diameter, 6);
}

}  // namespace
}  // namespace tvrn
