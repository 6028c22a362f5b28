// The popover drawn from fixture statuses: which sections stand, what its controls do, and a
// screenshot of each state in screens/ of the test's temporary folder for a person to look at.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QtTest/QTest>
#include <algorithm>
#include <map>

#include "base/Timestamp.h"
#include "core/ConfigManager.h"
#include "fakes/support/RecordingHttpServer.h"
#include "pim/PrivacyGate.h"
#include "platform/Endpoints.h"
#include "server/StartupJobs.h"
#include "support/TestEnv.h"
#include "tray/ManualScheduler.h"
#include "tray/PrivacySettingsDialog.h"
#include "tray/TrayFixtures.h"
#include "tray/TrayStrings.h"
#include "tray/popover/MenuBarView.h"

namespace tvrn {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;
using S = PopoverSection;

class MenuBarViewTest : public ::testing::Test {
 protected:
  PrivacyGate gate_;  // the tray's, over the test's own access file
  void SetUp() override {
    test::useUnusedStatusPort();
    ::setenv("TVRN_WEB_URL", web_.baseURL().c_str(), 1);
    approvals(R"({"requests": []})");
    view_.show();
  }

  void approvals(std::string list) {
    test::CannedResponse reply;
    reply.body = std::move(list);
    web_.respond("/oauth/list-tray-approvals", reply);
  }

  // The busy fixture merged with the changes (null removes a member) as a fresh status.json,
  // then polled.
  void apply(const json& changes) {
    json status = test::statusFixture("status-busy.json");
    status.merge_patch(changes);
    test::writeStatusFile(status, clock_.now());
    if (polling_) return clock_.advance(StatusMonitor::kPollInterval);
    monitor_.startPolling();
    polling_ = true;
  }

  // The column of these upper sections with the lower ones that follow them: the services list
  // in the disconnected section's place, the app section and the footer.
  static std::vector<S> withLower(std::vector<S> sections) {
    if (std::find(sections.begin(), sections.end(), S::disconnected) == sections.end()) {
      const auto clients = std::find(sections.begin(), sections.end(), S::aiClients);
      sections.insert(clients, S::services);
    }
    sections.push_back(S::appSection);
    sections.push_back(S::footer);
    return sections;
  }

  // Checks the column and writes its picture.
  void shoot(const std::string& name, const std::vector<S>& sections) {
    SCOPED_TRACE(name);
    QCoreApplication::processEvents();
    EXPECT_EQ(view_.shownSections(), withLower(sections));
    EXPECT_EQ(view_.width(), MenuBarView::kWidth);
    const auto screens = test::testTemp() / "screens";
    std::filesystem::create_directories(screens);
    EXPECT_TRUE(view_.grab().save(QString::fromStdString((screens / (name + ".png")).string())));
  }

  bool shows(S section, const std::string& text) const {
    for (auto* label : view_.sectionWidget(section)->findChildren<QLabel*>()) {
      if (label->text().toStdString() == text) return true;
    }
    return false;
  }

  // The file the addresses the popover opens are written to, one a line.
  static std::filesystem::path recordOpened() {
    const auto opened = test::home() / "opened.txt";
    const auto opener = test::home() / "opener.sh";
    test::writeFile(opener, "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" + opened.string() + "'\n");
    std::filesystem::permissions(opener, std::filesystem::perms::owner_all);
    ::setenv("TVRN_OPEN_COMMAND", opener.c_str(), 1);
    return opened;
  }

  QPushButton* button(const char* name) {
    auto* found = view_.findChild<QPushButton*>(QString::fromLatin1(name));
    EXPECT_TRUE(found) << name;
    return found;
  }

  test::RecordingHttpServer web_;
  test::ManualScheduler clock_;
  StatusMonitor monitor_{ConfigManager::shared(), clock_};
  MenuBarView view_{monitor_, gate_, [] {}, clock_};
  bool polling_ = false;
};

TEST_F(MenuBarViewTest, BeforeTheFirstStatusAndOfflineAfterAFailedPoll) {
  shoot("before-first-status", {S::header, S::cloudRelay, S::disconnected, S::aiClients});
  apply({{"push_message", nullptr}});
  EXPECT_TRUE(shows(S::header, "Running"));
  // The file goes stale and the route is silent.
  clock_.advance(StatusMonitor::kStatusFileMaxAge + StatusMonitor::kPollInterval);
  ASSERT_TRUE(test::processEventsUntil([&] { return !monitor_.isConnected(); }));
  shoot("offline-header", {S::header, S::cloudRelay, S::aiClients});
  EXPECT_TRUE(shows(S::header, "Offline") && shows(S::header, "v3.0.100"));
}

TEST_F(MenuBarViewTest, FourGroupsStandInOrderAndFollowTheLanguage) {
  ASSERT_TRUE(ConfigManager::shared().save({{"cloud_token", "relay-token"}}));
  approvals(R"({"requests": [
      {"request_id": "r1", "client_name": "ChatGPT <b>web</b>", "client_id": "c1",
       "redirect_uri": "https://chat.example/cb", "expires_at": 1},
      {"request_id": "r2", "client_name": "", "client_id": "c2",
       "redirect_uri": "https://x.example/cb", "expires_at": 1}]})");
  apply({{"push_message", nullptr}});
  ASSERT_TRUE(test::processEventsUntil([&] { return monitor_.pendingApprovals().size() == 2; }));
  const json denied = {{"push_message", nullptr}, {"permissions", {{"calendar", "denied"}}}};
  apply(denied);
  monitor_.setJustUpdatedToVersion("3.0.101");
  const std::vector<S> four = {S::header,      S::regressionBanner, S::updatedBanner, S::approvals,
                               S::permissions, S::cloudRelay,       S::aiClients};
  shoot("four-groups", four);
  EXPECT_TRUE(shows(S::approvals, "ChatGPT <b>web</b>") && shows(S::approvals, "Unknown client"));
  for (const char* language : {"de", "ja"}) {
    TrayStrings::setLanguage(language);
    apply(denied);
    shoot(std::string("regressed-") + language, four);
    EXPECT_TRUE(shows(S::permissions, TrayStrings::L("permissions_needed")));
  }

  QTest::mouseClick(view_.sectionWidget(S::updatedBanner)->findChild<QPushButton*>(),
                    Qt::LeftButton);  // dismiss
  EXPECT_EQ(monitor_.justUpdatedToVersion(), std::nullopt);
  EXPECT_EQ(view_.shownSections(), withLower({S::header, S::regressionBanner, S::approvals,
                                              S::permissions, S::cloudRelay, S::aiClients}));
}

TEST_F(MenuBarViewTest, WriteOnlyAloneAndTheRelayStates) {
  apply({{"push_message", nullptr},
         {"permissions",
          {{"calendar", "writeOnly"}, {"reminders", nullptr}, {"contacts", nullptr}}}});
  shoot("write-only", {S::header, S::permissions, S::cloudRelay, S::aiClients});

  ASSERT_TRUE(ConfigManager::shared().save({{"cloud_token", "relay-token"}}));
  const auto ago = [&](auto span) { return Timestamp::iso8601UTC(clock_.now() - span); };
  const std::vector<std::tuple<std::string, std::string, bool, std::string>> states = {
      {"relay-connecting", ago(30s), false, "Connecting…"},
      {"relay-not-connected", ago(90s), false, "Not connected"},
      {"relay-forwarding", ago(90s), true, "On · forwarding"},
  };
  for (const auto& [name, startedAt, tunnel, text] : states) {
    apply({{"push_message", nullptr}, {"started_at", startedAt}, {"tunnel_connected", tunnel}});
    shoot(name, {S::header, S::cloudRelay, S::aiClients});
    EXPECT_TRUE(shows(S::cloudRelay, text)) << text;
  }
}

// Messages come from outside: shown as written, never as markup; a nudge opens the settings
// page on the port of the status at hand.
TEST_F(MenuBarViewTest, PushMessagesShowVerbatimAndANudgeOpensTheConnectTab) {
  const auto opened = recordOpened();

  const std::string markup = "<b>Sale</b> <a href='https://x.example'>now</a> & more";
  apply({{"push_message", markup}});
  shoot("push-message", {S::header, S::cloudRelay, S::aiClients, S::pushMessage});
  EXPECT_TRUE(shows(S::pushMessage, markup));
  for (auto* label : view_.findChildren<QLabel*>()) {
    EXPECT_EQ(label->textFormat(), Qt::PlainText) << label->text().toStdString();
  }
  QTest::mouseClick(view_.sectionWidget(S::pushMessage), Qt::LeftButton);  // no action

  apply({{"push_message", "[NUDGE] Connect your first AI client to TVRN in two clicks."},
         {"port", 9000}});
  shoot("push-nudge", {S::header, S::cloudRelay, S::aiClients, S::pushMessage});
  auto* row = view_.sectionWidget(S::pushMessage);
  QTest::mouseClick(row, Qt::LeftButton, {}, QPoint(row->width() - 3, row->height() - 3));
  ASSERT_TRUE(test::processEventsUntil([&] { return !test::readFile(opened).empty(); }));
  EXPECT_EQ(test::readFile(opened), "http://localhost:9000/app#tab-connect\n");
}

// Another copy's status server may hold the port: while the tray's own waits for it the popover
// says so, its switch and pages are off, and a page opens only on an address its server holds.
TEST_F(MenuBarViewTest, WhileItsStatusServerWaitsNoPageOpensOnThePort) {
  const auto opened = recordOpened();
  std::vector<std::string> hosts;
  monitor_.setStatusServerHosts([&hosts] { return hosts; });
  const json nudge = {{"push_message", "[NUDGE] Connect"}, {"port", 9000}};
  const std::string notice = "The status server is waiting for port " +
                             std::to_string(Endpoints::statusPort()) +
                             ", held by another program: Settings and auto-update are off until "
                             "it is free.";
  auto* row = view_.sectionWidget(S::pushMessage);
  for (const bool waits : {true, false}) {
    if (!waits) hosts = {"::1"};
    apply(nudge);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);  // a notice taken away
    EXPECT_EQ(shows(S::appSection, notice), waits);
    EXPECT_EQ(button("settings")->isEnabled(), !waits);
    QTest::mouseClick(row, Qt::LeftButton, {}, QPoint(row->width() - 3, row->height() - 3));
  }
  ASSERT_TRUE(test::processEventsUntil([&] { return !test::readFile(opened).empty(); }));
  EXPECT_EQ(test::readFile(opened), "http://[::1]:9000/app#tab-connect\n");
}

TEST_F(MenuBarViewTest, PermissionButtonsAskForAccessOrOpenThePrivacyPageInPlace) {
  const json permissions = {
      {"permissions",
       {{"calendar", "denied"}, {"contacts", "notDetermined"}, {"automation", "denied"}}}};
  apply(permissions);
  auto* fix = button("permission:calendar");
  for (const auto& [name, selected] : std::vector<std::pair<const char*, std::string>>{
           {"permission:calendar", "calendar"}, {"permission:automation", ""}}) {
    QTest::mouseClick(button(name), Qt::LeftButton);
    std::vector<std::string> dialogs;
    for (auto* widget : QApplication::topLevelWidgets()) {
      if (auto* dialog = qobject_cast<PrivacySettingsDialog*>(widget)) {
        dialogs.push_back(dialog->selectedService());
        delete dialog;
      }
    }
    EXPECT_EQ(dialogs, std::vector<std::string>{selected}) << name;
  }

  // Keys without a permission behind them ask for nothing; with no prompt registered the gate
  // grants what nobody has decided.
  MenuBarView::requestTCCPermission(gate_, "automation");
  MenuBarView::requestTCCPermission(gate_, "photos");
  EXPECT_FALSE(std::filesystem::exists(PrivacyGate::file()));
  QTest::mouseClick(button("permission:contacts"), Qt::LeftButton);
  EXPECT_TRUE(test::processEventsUntil(
      [this] { return gate_.status(PrivacyEntity::contacts) == AuthorizationStatus::granted; }));

  // A new status with the same rows keeps their widgets.
  json newer = permissions;
  newer["version"] = "3.0.102";
  apply(newer);
  EXPECT_EQ(button("permission:calendar"), fix);
  EXPECT_TRUE(shows(S::header, "v3.0.102"));
}

// A quiet server rewrites its status with only the age of its last call changed: the open popover
// draws nothing. A poll that changes what one section shows draws that section alone.
TEST_F(MenuBarViewTest, APollDrawsOnlyTheSectionsWhoseDataChanged) {
  const auto cursorFile = test::home() / ".cursor" / "mcp.json";
  std::filesystem::create_directories(cursorFile.parent_path());  // Cursor is installed
  json now = {{"last_activity", {{"ago_s", 30}}}};
  apply(now);
  const auto drawings = [&] {
    std::map<S, int> counted;
    for (int s = 0; s <= static_cast<int>(S::footer); ++s) counted[S(s)] = view_.drawings(S(s));
    return counted;
  };
  const struct {
    const char* change;
    json patch;                // merged into the status
    const char* cursorConfig;  // written to Cursor's file, when given
    std::vector<S> drawn;
  } cases[] = {
      {"a quiet poll", {{"last_activity", {{"ago_s", 32}}}}, nullptr, {}},
      {"another quiet poll", {{"last_activity", {{"ago_s", 34}}}}, nullptr, {}},
      {"a push message", {{"push_message", "Maintenance tonight."}}, nullptr, {S::pushMessage}},
      {"a version, and its banner",
       {{"version", "3.0.101"}},
       nullptr,
       {S::header, S::updatedBanner}},
      {"more notes", {{"services", {{"notes", {{"count", 43}}}}}}, nullptr, {S::services}},
      {"Cursor set up", json::object(), R"({"mcpServers": {"tavrin": {}}})", {S::aiClients}},
      {"Cursor's entry gone", json::object(), R"({"mcpServers": {}})", {S::aiClients}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.change);
    auto expected = drawings();
    for (const S section : c.drawn) ++expected[section];
    now.merge_patch(c.patch);
    if (c.cursorConfig) test::writeFile(cursorFile, c.cursorConfig);
    apply(now);
    EXPECT_EQ(drawings(), expected);
  }
  auto* cursor = view_.sectionWidget(S::aiClients)->findChild<QWidget*>(QStringLiteral("cursor"));
  ASSERT_TRUE(cursor);
  EXPECT_TRUE(cursor->findChild<QPushButton*>());  // "Fix" again, read from the file
}

// The server's own texts may carry emoji; they draw with an installed font, not as empty boxes.
TEST_F(MenuBarViewTest, EmojiInServerTextsHaveGlyphs) {
  const QString reminder = QString::fromUtf8(StartupJobs::kCloudDataReminder.data(),
                                             StartupJobs::kCloudDataReminder.size());
  apply({{"push_message", reminder.toStdString()}});
  QLabel* label = nullptr;
  for (auto* shown : view_.sectionWidget(S::pushMessage)->findChildren<QLabel*>()) {
    if (shown->text() == reminder) label = shown;
  }
  ASSERT_TRUE(label);
  for (const char32_t character : reminder.toUcs4()) {
    EXPECT_TRUE(QFontMetrics(label->font()).inFontUcs4(character))
        << std::hex << static_cast<unsigned>(character);
  }
}

}  // namespace
}  // namespace tvrn
