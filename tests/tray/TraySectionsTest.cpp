// The services list, the app section and the footer drawn off screen in the popover, clicked
// through, and saved as screenshots (screens/ in the test's temporary folder) for a reader
// to look at.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QActionGroup>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QToolButton>

#include "core/ConfigManager.h"
#include "fakes/support/RecordingHttpServer.h"
#include "platform/Paths.h"
#include "tray/ManualScheduler.h"
#include "tray/StatusMonitor.h"
#include "tray/TrayFixtures.h"
#include "tray/TrayStrings.h"
#include "tray/popover/MenuBarView.h"

namespace tvrn {
namespace {

using nlohmann::json;

class TraySectionsTest : public ::testing::Test {
 protected:
  PrivacyGate gate_;  // the tray's, over the test's own access file
  void SetUp() override {
    TrayStrings::setLanguage("en");
    ::setenv("TVRN_STATUS_PORT", std::to_string(statusServer_.port()).c_str(), 1);
    ::setenv("TVRN_BACKEND_URL", backend_.baseURL().c_str(), 1);
  }
  void TearDown() override {
    view_.reset();
    TrayStrings::setLanguage("en");
    ::setenv("TVRN_BACKEND_URL", "http://127.0.0.1:9", 1);  // as the test main leaves it
  }

  void show(const json& status) {
    // Fresh by the manual clock, however far it has been moved.
    test::writeStatusFile(status, clock_.now() + StatusMonitor::kPollInterval);
    if (!view_) {
      monitor_.startPolling();
      view_ = std::make_unique<MenuBarView>(
          monitor_, gate_, [this] { ++hidden_; }, clock_);
      view_->show();
    } else {
      clock_.advance(StatusMonitor::kPollInterval);
    }
  }

  template <typename Widget = QPushButton>
  Widget* child(const char* name) {
    auto* found = view_->findChild<Widget*>(QString::fromLatin1(name));
    EXPECT_NE(found, nullptr) << name;
    return found;
  }

  // Every text of a visible label or button in the popover, joined by "|".
  std::string visibleTexts() {
    std::string texts;
    for (auto* label : view_->findChildren<QLabel*>()) {
      if (label->isVisibleTo(view_.get())) texts += label->text().toStdString() + "|";
    }
    for (auto* button : view_->findChildren<QAbstractButton*>()) {
      if (button->isVisibleTo(view_.get())) texts += button->text().toStdString() + "|";
    }
    return texts;
  }

  void screenshot(const std::string& name) {
    const auto folder = test::testTemp() / "screens";
    std::filesystem::create_directories(folder);
    QCoreApplication::processEvents();  // layouts settle, widgets cleared away go
    view_->adjustSize();
    const auto file = folder / (name + "-" + TrayStrings::lang() + ".png");
    EXPECT_TRUE(view_->grab().save(QString::fromStdString(file.string())));
  }

  void checkBugReportForm();

  test::ManualScheduler clock_;
  test::RecordingHttpServer statusServer_;
  test::RecordingHttpServer backend_;
  StatusMonitor monitor_{ConfigManager::shared(), clock_};
  std::unique_ptr<MenuBarView> view_;
  int hidden_ = 0;
};

// 61 characters: the row shows the first 60 and "…".
const std::string kLongError = "The IMAP server closed the connection while listing INBOX (1)";

json servicesShowcase() {
  json status = test::statusFixture("status-busy.json");
  status.erase("pending_restart_version");
  status.erase("update");
  status["services"]["email"] = {{"running", true}, {"accounts", {"me@example.com"}}};
  status["service_errors"] = {{"mail", {{"error", kLongError}, {"suggestion", "Restart Mail"}}}};
  status["services"]["calendar"] = {{"running", false}, {"calendars", json::array()}};
  status["permissions"]["calendar"] = "writeOnly";
  status["services"]["onedrive"] = json::array();
  status["services"]["slack"] = {{"available", true}};
  status["services"]["nordvpn"] = {{"installed", true}, {"connected", true}};
  status["services"]["whatsapp"] = {{"available", true}, {"authenticated", false}};
  return status;
}

TEST_F(TraySectionsTest, ScreensInEnglishAndSpanish) {
  for (const char* language : {"en", "es"}) {
    TrayStrings::setLanguage(language);
    view_.reset();
    show(servicesShowcase());
    const std::string texts = visibleTexts();
    EXPECT_NE(texts.find(kLongError.substr(0, 60) + "…|"), std::string::npos);
    EXPECT_NE(texts.find("Write-only — full access needed|"), std::string::npos);
    EXPECT_NE(texts.find("SCAN QR|"), std::string::npos);
    screenshot("services");

    json m365 = servicesShowcase();
    m365["services"]["whatsapp"]["authenticated"] = true;
    std::filesystem::create_directories(test::home() / "Applications/Microsoft Outlook.app");
    monitor_.startPolling();
    show(m365);
    EXPECT_NE(visibleTexts().find("M365|"), std::string::npos);
    EXPECT_NE(visibleTexts().find("ON|"), std::string::npos);
    screenshot("outlook-m365-whatsapp-on");
    m365["services"].erase("m365");
    show(m365);
    EXPECT_NE(visibleTexts().find("OK|"), std::string::npos);
    screenshot("outlook-ok");
    std::filesystem::remove_all(test::home() / "Applications");

    show(test::statusFixture("status-busy.json"));
    EXPECT_NE(visibleTexts().find("v3.0.101 ready — restart your AI clients|"), std::string::npos);
    screenshot("restart-notice");
    for (const int behind : {10, 11}) {
      json offer = test::statusFixture("status-busy.json");
      offer.erase("pending_restart_version");
      offer["update"] = {{"version", "3.0.1" + std::to_string(behind)},
                         {"versions_behind", behind},
                         {"notes", "Faster mail search."}};
      show(offer);
      EXPECT_NE(visibleTexts().find(behind > 10 ? "Update Now|" : "Install|"), std::string::npos)
          << visibleTexts();
      screenshot("update-offer-" + std::to_string(behind));
    }
  }
}

TEST_F(TraySectionsTest, BugReportFormThroughItsStates) {
  for (const char* language : {"en", "es"}) {
    TrayStrings::setLanguage(language);
    view_.reset();
    checkBugReportForm();
  }
}

void TraySectionsTest::checkBugReportForm() {
  test::RecordingHttpServer backend;
  ::setenv("TVRN_BACKEND_URL", backend.baseURL().c_str(), 1);
  test::CannedResponse refused, stored;
  refused.status = 500;
  stored.status = 201;
  stored.body = R"({"case_id":"TV-9"})";
  backend.enqueue("/feedback", {refused, stored});
  show(test::statusFixture("status-busy.json"));
  child("reportBug")->click();
  auto* editor = child<QPlainTextEdit>("bugText");
  auto* send = child("sendReport");
  editor->setPlainText(" \n\t ");
  EXPECT_FALSE(send->isEnabled());
  send->click();
  EXPECT_TRUE(backend.requestsTo("/feedback").empty());
  editor->setPlainText("\n  Mail stopped  \n");
  ASSERT_TRUE(send->isEnabled());
  screenshot("bug-input");
  send->click();
  EXPECT_NE(visibleTexts().find("Sending...|"), std::string::npos);
  screenshot("bug-sending");
  ASSERT_TRUE(test::processEventsUntil(
      [&] { return visibleTexts().find("Couldn't send") != std::string::npos; }));
  EXPECT_EQ(backend.requestsTo("/feedback").front().json()["message"], "Mail stopped");
  screenshot("bug-failure");
  child("retryReport")->click();
  EXPECT_EQ(editor->toPlainText().toStdString(), "\n  Mail stopped  \n");
  send->click();
  ASSERT_TRUE(test::processEventsUntil(
      [&] { return visibleTexts().find("Case ID: TV-9|") != std::string::npos; }));
  screenshot("bug-success");
  child("closeReport")->click();
  EXPECT_FALSE(child<QFrame>("bugForm")->isVisible());
  child("reportBug")->click();
  EXPECT_EQ(editor->toPlainText().toStdString(), "");
  EXPECT_TRUE(send->isVisible());
}

TEST_F(TraySectionsTest, JapaneseRedrawsTheTableTextsButNotTheFootersOwn) {
  show(servicesShowcase());
  QMenu* menu = child<QToolButton>("language")->menu();
  QAction* japanese = nullptr;
  for (auto* action : menu->actions()) {
    if (action->text().startsWith(QStringLiteral("日本語"))) japanese = action;
  }
  ASSERT_NE(japanese, nullptr);
  japanese->trigger();
  EXPECT_EQ(TrayStrings::lang(), "ja");
  const std::string texts = visibleTexts();
  EXPECT_NE(texts.find(TrayStrings::L("help") + "|"), std::string::npos);
  EXPECT_NE(texts.find(TrayStrings::L("auto_update") + "|"), std::string::npos);
  EXPECT_EQ(texts.find("|Help|"), std::string::npos);
  EXPECT_NE(texts.find("Hide icon|"), std::string::npos);
  EXPECT_NE(texts.find("Uninstall|"), std::string::npos);
  // One choice: every language in the same exclusive group, the chosen one marked.
  std::vector<std::string> marked;
  for (auto* action : child<QToolButton>("language")->menu()->actions()) {
    if (action->isChecked()) marked.push_back(action->text().toStdString());
    EXPECT_EQ(action->actionGroup(), japanese->actionGroup());
  }
  EXPECT_EQ(marked, std::vector<std::string>{"日本語"});
  ASSERT_NE(japanese->actionGroup(), nullptr);
  EXPECT_TRUE(japanese->actionGroup()->isExclusive());
}

TEST_F(TraySectionsTest, HideIconAsksFirstAndCancelLeavesAllAsItWas) {
  TrayStrings::setLanguage("es");
  show(test::statusFixture("status-busy.json"));
  child("hideIcon")->click();
  EXPECT_TRUE(child<QFrame>("hideConfirm")->isVisible());
  screenshot("hide-confirm");
  child("cancelHide")->click();
  TrayStrings::setLanguage("en");
  view_.reset();
  show(test::statusFixture("status-busy.json"));
  child("hideIcon")->click();
  screenshot("hide-confirm");
  child("cancelHide")->click();
  EXPECT_FALSE(child<QFrame>("hideConfirm")->isVisible());
  EXPECT_EQ(hidden_, 0);
  child("hideIcon")->click();
  child("confirmHide")->click();
  EXPECT_EQ(hidden_, 1);
}

}  // namespace
}  // namespace tvrn
