// The popover's AI-clients rows and the uninstall panel, drawn and clicked off screen.
#include <gtest/gtest.h>

#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QtTest/QTest>

#include "core/ConfigManager.h"
#include "fakes/support/RecordingHttpServer.h"
#include "platform/Paths.h"
#include "tray/ManualScheduler.h"
#include "tray/StatusMonitor.h"
#include "tray/TrayFixtures.h"
#include "tray/popover/AIClientsSection.h"
#include "tray/popover/MenuBarView.h"
#include "tray/popover/UninstallPanel.h"

namespace tvrn {
namespace {

using namespace std::chrono_literals;

std::vector<std::string> labelsOf(QWidget* widget) {
  std::vector<std::string> texts;
  for (const auto* label : widget->findChildren<QLabel*>()) {
    if (!label->text().isEmpty()) texts.push_back(label->text().toStdString());
  }
  return texts;
}

class AIClientsPopover : public ::testing::Test {
 protected:
  PrivacyGate gate_;  // the tray's, over the test's own access file
  void SetUp() override {
    test::useUnusedStatusPort();
    ::setenv("TVRN_BACKEND_URL", backend_.baseURL().c_str(), 1);
    ::setenv("TVRN_WEB_URL", backend_.baseURL().c_str(), 1);
    ::setenv("PATH", (test::home() / "bin").c_str(), 1);
  }

  QWidget* section() { return view_->sectionWidget(PopoverSection::aiClients); }

  test::RecordingHttpServer backend_;
  test::ManualScheduler clock_;
  StatusMonitor monitor_{ConfigManager::shared(), clock_};
  std::unique_ptr<MenuBarView> view_;
};

TEST_F(AIClientsPopover, ListsTheClientsFoundAndFixesOne) {
  view_ = std::make_unique<MenuBarView>(
      monitor_, gate_, [] {}, clock_);
  EXPECT_EQ(labelsOf(section()), std::vector<std::string>{"No AI clients detected"});

  std::filesystem::create_directories(Paths::underHome(".cursor"));
  test::writeFile(Paths::underHome(".config/zed/settings.json"), "// mine\n{\"tavrin\":1,}");
  std::filesystem::create_directories(Paths::underHome(".config/com.openai.chat"));
  view_ = std::make_unique<MenuBarView>(
      monitor_, gate_, [] {}, clock_);
  const auto labels = labelsOf(section());
  for (const char* text : {"Cursor", "Zed", "configured", "ChatGPT", "cloud config"}) {
    EXPECT_NE(std::find(labels.begin(), labels.end(), text), labels.end()) << text;
  }
  auto buttons = section()->findChildren<QPushButton*>();
  ASSERT_EQ(buttons.size(), 1u);
  EXPECT_EQ(buttons.front()->text(), "Fix");
  QTest::mouseClick(buttons.front(), Qt::LeftButton);
  EXPECT_NE(test::readFile(Paths::underHome(".cursor/mcp.json")).find("tavrin"), std::string::npos);
  ASSERT_TRUE(
      test::processEventsUntil([&] { return backend_.requestsTo("/install-event").size() == 1; }));
  EXPECT_EQ(backend_.requestsTo("/install-event")[0].json()["method"], "tray-fix");
}

TEST_F(AIClientsPopover, UninstallPanelCancelsOrUninstalls) {
  view_ = std::make_unique<MenuBarView>(
      monitor_, gate_, [] {}, clock_);
  view_->show();
  auto* panel = view_->uninstallPanel();
  EXPECT_FALSE(panel->isVisible());
  view_->showUninstallConfirm();
  EXPECT_TRUE(panel->isVisible());
  const auto* kept = panel->findChild<QLabel*>("keptData");
  ASSERT_TRUE(kept);
  EXPECT_EQ(kept->text(), "Your calendars, reminders and contacts stay in ~/.config/tavrin/pim.");
  QTest::keyClicks(panel->reasonEditor(), "too noisy");
  QTest::mouseClick(panel->cancelButton(), Qt::LeftButton);
  EXPECT_FALSE(panel->isVisible());
  view_->showUninstallConfirm();
  EXPECT_TRUE(panel->reasonEditor()->toPlainText().isEmpty());

  bool quit = false;
  panel->quit = [&] { quit = true; };
  panel->settings.pkill = "true";  // nothing of this user's is ended from here
  test::writeFile(Paths::localShare() / "bin/.machine-id", "M-1");
  QTest::keyClicks(panel->reasonEditor(), " too noisy ");
  QTest::mouseClick(panel->uninstallButton(), Qt::LeftButton);
  ASSERT_TRUE(
      test::processEventsUntil([&] { return backend_.requestsTo("/feedback").size() == 1; }));
  EXPECT_EQ(backend_.requestsTo("/feedback")[0].json()["message"], "Uninstall: too noisy");
  EXPECT_FALSE(std::filesystem::exists(Paths::localShare()));
  EXPECT_TRUE(panel->isVisible());
  clock_.advance(1s);
  EXPECT_TRUE(quit);
}

}  // namespace
}  // namespace tvrn
