// The popover drawn from fixture statuses: which sections stand, what its controls do, and a
// screenshot of each state in build-test/screens/ for a person to look at.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QtTest/QTest>

#include "app/ManualScheduler.h"
#include "app/PrivacySettingsDialog.h"
#include "app/StatusMonitor.h"
#include "app/TrayFixtures.h"
#include "app/TrayStrings.h"
#include "app/popover/MenuBarView.h"
#include "core/ConfigManager.h"
#include "fakes/support/RecordingHttpServer.h"
#include "platform/Paths.h"
#include "platform/PrivacyGate.h"
#include "platform/Timestamp.h"

namespace tvrn {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;
using S = PopoverSection;

std::filesystem::path screensDir() {
  return std::filesystem::path(TVRN_FAKES_DIR).parent_path().parent_path() / "screens";
}

class MenuBarViewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::useUnusedStatusPort();
    ::setenv("TVRN_WEB_URL", web_.baseURL().c_str(), 1);
    test::CannedResponse none;
    none.body = R"({"requests": []})";
    web_.respond("/oauth/list-tray-approvals", none);
    view_.show();
  }

  void TearDown() override { TrayStrings::setLanguage("en"); }

  // The busy fixture with the changes (null removes a member), as status.json written now.
  void apply(const json& changes) {
    json status = test::statusFixture("status-busy.json");
    for (const auto& [key, value] : changes.items()) {
      if (value.is_null()) {
        status.erase(key);
      } else {
        status[key] = value;
      }
    }
    const auto file = Paths::appSupport() / "status.json";
    test::writeFile(file, status.dump());
    const auto since1970 = clock_.now().time_since_epoch();
    const auto seconds = std::chrono::floor<std::chrono::seconds>(since1970);
    const timespec at{seconds.count(), static_cast<long>((since1970 - seconds) / 1ns)};
    const timespec times[2] = {at, at};
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
    if (polling_) {
      clock_.advance(StatusMonitor::kPollInterval);
    } else {
      monitor_.startPolling();
      polling_ = true;
    }
  }

  std::string ago(std::chrono::seconds span) { return Timestamp::iso8601UTC(clock_.now() - span); }

  // Checks the column and writes its picture.
  void shoot(const std::string& name, const std::vector<S>& sections) {
    SCOPED_TRACE(name);
    QCoreApplication::processEvents();
    EXPECT_EQ(view_.shownSections(), sections);
    EXPECT_EQ(view_.width(), MenuBarView::kWidth);
    std::filesystem::create_directories(screensDir());
    EXPECT_TRUE(
        view_.grab().save(QString::fromStdString((screensDir() / (name + ".png")).string())));
  }

  template <typename Widget = QPushButton>
  Widget* find(const char* name) {
    auto* widget = view_.findChild<Widget*>(QString::fromLatin1(name));
    EXPECT_TRUE(widget) << name;
    return widget;
  }

  test::RecordingHttpServer web_;
  test::ManualScheduler clock_;
  StatusMonitor monitor_{clock_};
  MenuBarView view_{monitor_, [] {}, clock_};
  bool polling_ = false;
};

TEST_F(MenuBarViewTest, BeforeTheFirstStatusAndOfflineAfterAFailedPoll) {
  shoot("before-first-status", {S::header, S::cloudRelay, S::disconnected, S::aiClients});
  EXPECT_EQ(find<QLabel>("exclamationmark.triangle")->isHidden(), false);

  apply({{"push_message", nullptr}});
  ASSERT_TRUE(monitor_.isConnected());
  // The file goes stale and the route is silent.
  clock_.advance(StatusMonitor::kStatusFileMaxAge + StatusMonitor::kPollInterval);
  ASSERT_TRUE(test::processEventsUntil([&] { return !monitor_.isConnected(); }));
  shoot("offline-header", {S::header, S::cloudRelay, S::aiClients});
}

TEST_F(MenuBarViewTest, FourGroupsStandInOrderAndFollowTheLanguage) {
  ASSERT_TRUE(ConfigManager::shared().save({{"cloud_token", "relay-token"}}));
  test::CannedResponse two;
  two.body = R"({"requests": [
      {"request_id": "r1", "client_name": "ChatGPT <b>web</b>", "client_id": "c1",
       "redirect_uri": "https://chat.example/cb", "expires_at": 1},
      {"request_id": "r2", "client_name": "", "client_id": "c2",
       "redirect_uri": "https://x.example/cb", "expires_at": 1}]})";
  web_.respond("/oauth/list-tray-approvals", two);
  apply({{"push_message", nullptr}});
  ASSERT_TRUE(test::processEventsUntil([&] { return monitor_.pendingApprovals().size() == 2; }));
  apply({{"push_message", nullptr},
         {"permissions",
          {{"calendar", "denied"}, {"reminders", "granted"}, {"contacts", "granted"}}}});
  monitor_.setJustUpdatedToVersion("3.0.101");
  ASSERT_TRUE(monitor_.tccRegressed());
  const std::vector<S> four = {S::header,      S::regressionBanner, S::updatedBanner, S::approvals,
                               S::permissions, S::cloudRelay,       S::aiClients};
  shoot("four-groups", four);
  EXPECT_EQ(find<QLabel>("key.horizontal.fill")->isHidden(), false);

  for (const char* language : {"de", "ja"}) {
    TrayStrings::setLanguage(language);
    apply({{"push_message", nullptr},
           {"permissions",
            {{"calendar", "denied"}, {"reminders", "granted"}, {"contacts", "granted"}}}});
    shoot(std::string("regressed-") + language, four);
  }

  // Dismissing the update banner takes it away at once.
  auto* dismiss = view_.sectionWidget(S::updatedBanner)->findChildren<QPushButton*>().front();
  QTest::mouseClick(dismiss, Qt::LeftButton);
  EXPECT_EQ(monitor_.justUpdatedToVersion(), std::nullopt);
  EXPECT_EQ(view_.shownSections(), (std::vector<S>{S::header, S::regressionBanner, S::approvals,
                                                   S::permissions, S::cloudRelay, S::aiClients}));
}

TEST_F(MenuBarViewTest, WriteOnlyAloneShowsThePermissionsSection) {
  apply({{"push_message", nullptr}, {"permissions", {{"calendar", "writeOnly"}}}});
  shoot("write-only", {S::header, S::permissions, S::cloudRelay, S::aiClients});
}

TEST_F(MenuBarViewTest, RelayRowConnectingNotConnectedAndForwarding) {
  ASSERT_TRUE(ConfigManager::shared().save({{"cloud_token", "relay-token"}}));
  const std::vector<std::tuple<std::string, json, bool, std::string>> states = {
      {"relay-connecting", ago(30s), false, "Connecting…"},
      {"relay-not-connected", ago(90s), false, "Not connected"},
      {"relay-forwarding", ago(90s), true, "On · forwarding"},
  };
  for (const auto& [name, startedAt, tunnel, text] : states) {
    apply({{"push_message", nullptr}, {"started_at", startedAt}, {"tunnel_connected", tunnel}});
    shoot(name, {S::header, S::cloudRelay, S::aiClients});
    bool found = false;
    for (auto* label : view_.sectionWidget(S::cloudRelay)->findChildren<QLabel*>()) {
      found = found || label->text().toStdString() == text;
    }
    EXPECT_TRUE(found) << text;
  }
}

// Messages come from outside: shown as written, never as markup; a nudge opens the settings
// page on the port of the status at hand.
TEST_F(MenuBarViewTest, PushMessagesShowVerbatimAndANudgeOpensTheConnectTab) {
  const auto opened = test::home() / "opened.txt";
  const auto opener = test::home() / "opener.sh";
  test::writeFile(opener, "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" + opened.string() + "'\n");
  std::filesystem::permissions(opener, std::filesystem::perms::owner_all);
  ::setenv("TVRN_OPEN_COMMAND", opener.c_str(), 1);

  const std::string markup = "<b>Sale</b> <a href='https://x.example'>now</a> & more";
  apply({{"push_message", markup}});
  shoot("push-message", {S::header, S::cloudRelay, S::aiClients, S::pushMessage});
  QTest::mouseClick(view_.sectionWidget(S::pushMessage), Qt::LeftButton);

  apply({{"push_message", "[NUDGE] Connect your first AI client to TVRN in two clicks."},
         {"port", 9000}});
  shoot("push-nudge", {S::header, S::cloudRelay, S::aiClients, S::pushMessage});
  auto* row = view_.sectionWidget(S::pushMessage);
  QTest::mouseClick(row, Qt::LeftButton, {}, QPoint(row->width() - 3, row->height() - 3));
  ASSERT_TRUE(test::processEventsUntil([&] { return !test::readFile(opened).empty(); }));
  EXPECT_EQ(test::readFile(opened), "http://localhost:9000/app#tab-connect\n");

  bool shownVerbatim = false;
  for (auto* label : view_.findChildren<QLabel*>()) {
    EXPECT_EQ(label->textFormat(), Qt::PlainText)
        << label->text().toStdString() << label->parent()->metaObject()->className();
    EXPECT_FALSE(label->openExternalLinks());
  }
  apply({{"push_message", markup}});
  for (auto* label : view_.sectionWidget(S::pushMessage)->findChildren<QLabel*>()) {
    shownVerbatim = shownVerbatim || label->text().toStdString() == markup;
  }
  EXPECT_TRUE(shownVerbatim);
}

TEST_F(MenuBarViewTest, PermissionButtonsAskForAccessOrOpenThePrivacyPage) {
  apply({{"permissions",
          {{"calendar", "denied"}, {"contacts", "notDetermined"}, {"automation", "denied"}}}});
  for (const auto& [button, selected] : std::vector<std::pair<const char*, std::string>>{
           {"permission:calendar", "calendar"}, {"permission:automation", ""}}) {
    QTest::mouseClick(find(button), Qt::LeftButton);
    std::vector<std::string> dialogs;
    for (auto* widget : QApplication::topLevelWidgets()) {
      if (auto* dialog = qobject_cast<PrivacySettingsDialog*>(widget)) {
        dialogs.push_back(dialog->selectedService());
        delete dialog;
      }
    }
    EXPECT_EQ(dialogs, std::vector<std::string>{selected}) << button;
  }

  // With no prompt registered the gate grants what nobody has decided.
  MenuBarView::requestTCCPermission("automation");
  MenuBarView::requestTCCPermission("photos");
  EXPECT_FALSE(std::filesystem::exists(PrivacyGate::shared().file()));
  QTest::mouseClick(find("permission:contacts"), Qt::LeftButton);
  EXPECT_TRUE(test::processEventsUntil([] {
    return PrivacyGate::shared().status(PrivacyEntity::contacts) == AuthorizationStatus::granted;
  }));
  EXPECT_EQ(PrivacyGate::shared().status(PrivacyEntity::calendar),
            AuthorizationStatus::notDetermined);
}

TEST_F(MenuBarViewTest, ColumnStaysInPlaceAcrossUpdates) {
  apply({{"permissions", {{"calendar", "denied"}}}});
  QWidget* header = view_.sectionWidget(S::header);
  auto* fix = find("permission:calendar");
  apply({{"permissions", {{"calendar", "denied"}}}, {"version", "3.0.102"}});
  EXPECT_EQ(view_.sectionWidget(S::header), header);
  EXPECT_EQ(find("permission:calendar"), fix);  // same rows: same buttons
  bool badge = false;
  for (auto* label : header->findChildren<QLabel*>()) badge = badge || label->text() == "v3.0.102";
  EXPECT_TRUE(badge);
}

}  // namespace
}  // namespace tvrn
