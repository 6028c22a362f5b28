// The tray's notifications as a notification server on a private session bus receives them.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDBusConnection>

#include "core/ConfigManager.h"
#include "pim/PrivacyGate.h"
#include "platform/Paths.h"
#include "platform/Subprocess.h"
#include "platform/UserDefaults.h"
#include "support/TestEnv.h"
#include "tray/Desktop.h"
#include "tray/ManualScheduler.h"
#include "tray/Notifier.h"
#include "tray/PrivacySettingsDialog.h"
#include "tray/TrayFixtures.h"
#include "tray/TrayNotifications.h"

namespace tvrn {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

const std::string kTail = " Then ask: \"What's on my calendar today?\"";

class NotifierTest : public ::testing::Test {
 protected:
  PrivacyGate gate_;  // the tray's, over the test's own access file
  void SetUp() override {
    SpawnOptions options({"dbus-daemon", "--config-file=" + test::privateBusConfig().string(),
                          "--nofork", "--print-address"});
    options.searchPath = true;
    auto daemon = Subprocess::start(options);
    ASSERT_TRUE(daemon.ok()) << daemon.error();
    bus_ = std::move(daemon).value();
    address_ = bus_->readLine(SubprocessClock::now() + 10s).text;
    ASSERT_FALSE(address_.empty());
    connection_ = std::make_unique<QDBusConnection>(
        QDBusConnection::connectToBus(QString::fromStdString(address_), connectionName_));
    ASSERT_TRUE(connection_->isConnected());
    notifier_ = std::make_unique<Notifier>(*connection_);
    // Tests run one after another in one home too: none finds another's throttle times.
    for (const char* key : {TrayNotifications::kNudgeKey, TrayNotifications::kRegressionKey,
                            TrayNotifications::kDeniedKey, TrayNotifications::kPermissionKey}) {
      static_cast<void>(UserDefaults::removeObject(key));  // an absent key is fine
    }
    notifications_ = std::make_unique<TrayNotifications>(
        *notifier_, clock_, [this](const std::string& source) { pulses_.push_back(source); },
        ConfigManager::shared());
  }

  void TearDown() override {
    notifications_.reset();
    notifier_.reset();
    connection_.reset();
    QDBusConnection::disconnectFromBus(connectionName_);
  }

  void startServer(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> argv{(test::fakesDir() / "fake-notifications").string(),
                                  log_.string()};
    argv.insert(argv.end(), extra.begin(), extra.end());
    SpawnOptions options(argv);
    std::vector<std::string> env{"DBUS_SESSION_BUS_ADDRESS=" + address_,
                                 "HOME=" + test::home().string(), "QT_QPA_PLATFORM=offscreen"};
    options.environment = env;
    auto server = Subprocess::start(options);
    ASSERT_TRUE(server.ok()) << server.error();
    server_ = std::move(server).value();
    ASSERT_EQ(server_->readLine(SubprocessClock::now() + 10s).text, "ready");
  }

  std::vector<json> calls() {
    std::vector<json> parsed;
    std::istringstream lines(test::readFile(log_));
    for (std::string line; std::getline(lines, line);) parsed.push_back(json::parse(line));
    return parsed;
  }

  double nowSeconds() {
    return std::chrono::duration<double>(clock_.now().time_since_epoch()).count();
  }

  test::ManualScheduler clock_;
  // One connection per test, as the bus of each test is its own.
  const QString connectionName_ =
      QString::fromStdString(::testing::UnitTest::GetInstance()->current_test_info()->name());
  std::unique_ptr<Subprocess> bus_;
  std::unique_ptr<Subprocess> server_;
  std::string address_;
  std::unique_ptr<QDBusConnection> connection_;
  std::unique_ptr<Notifier> notifier_;
  std::unique_ptr<TrayNotifications> notifications_;
  std::vector<std::string> pulses_;
  std::filesystem::path log_ = test::home() / "notifications.jsonl";
};

TEST_F(NotifierTest, TheCatalogueSaysWhatItShouldUnderItsIdentifiers) {
  ASSERT_TRUE(ConfigManager::shared().save({{"clients_seen_ids", {"cursor", "claude"}}}));
  startServer();
  ServerStatus green;
  green.aiClientHealth = "green";
  const json noHints = json::object();
  const json settingsActions = {"default", "", "TVRN_OPEN_SETTINGS", "Open System Settings"};
  struct Case {
    std::function<void()> show;
    std::string id, title, body;
    json hints = json::object();
    json actions = json::array();
    std::string pulse;
  };
  const std::vector<Case> cases{
      {[&] { notifications_->showSetupNudge(green); }, "tvrn-first-tool-nudge",
       "TVRN is ready — one step left",
       "Quit and reopen Claude Desktop, then start a new chat. Then try: \"Read my latest "
       "emails\" or \"What's on my calendar?\"",
       noHints, json::array(), "local"},
      {[&] {
         PendingApproval approval;
         approval.requestId = "r1";
         notifications_->showApproval(approval);
       },
       "tvrn-approval-r1", "TVRN — approval requested",
       "An MCP client wants to access your Mac apps. Open the TVRN menu bar to Approve or Deny.",
       noHints, json::array(), "cloud"},
      {[&] { notifications_->showTCCRegression(); }, "tvrn-tcc-regression",
       "TVRN — permissions lost after update",
       "Calendar, Contacts or Reminders access was reset. Open the TVRN menu bar icon to "
       "re-grant access.",
       noHints, json::array(), "cloud"},
      {[&] {
         notifications_->showTCCDenied({"reminders", "calendar"});
       },
       "tvrn-tcc-denied-calendar-reminders", "TVRN — Calendar and Reminders access blocked",
       "Open System Settings → Privacy & Security to re-enable access.", noHints, settingsActions,
       ""},
      {[&] {
         notifications_->showTCCPermission({"contacts", "calendar"});
       },
       "tvrn-tcc-permission-needed",
       "Grant TVRN access to unlock all features",
       "Grant TVRN access to Calendar And Contacts so your AI can read your calendar, contacts, "
       "and reminders.",
       {{"suppress-sound", "true"}},
       json::array(),
       ""},
      {[&] { notifications_->showClientsConfigured({"Windsurf"}); }, "tvrn-auto-config",
       "TVRN connected to Windsurf", "Restart Windsurf." + kTail, noHints, json::array(), ""},
      {[&] {
         notifications_->showClientsConfigured({"Aider", "Cline"});
       },
       "tvrn-auto-config", "TVRN connected to Aider, Cline", "Restart them." + kTail, noHints,
       json::array(), ""},
  };
  std::map<std::string, unsigned> ids;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.id + " " + c.title);
    pulses_.clear();
    const auto before = calls().size();
    c.show();
    const auto all = calls();
    ASSERT_EQ(all.size(), before + 1);
    const json& call = all.back();
    EXPECT_EQ(call["summary"], c.title);
    EXPECT_EQ(call["body"], c.body);
    EXPECT_EQ(call["hints"], c.hints);
    EXPECT_EQ(call["actions"], c.actions);
    // A second showing under an identifier replaces the first.
    const unsigned previous = ids.contains(c.id) ? ids[c.id] : 0;
    EXPECT_EQ(call["replaces_id"], previous);
    ids[c.id] = call["id"];
    EXPECT_EQ(pulses_,
              c.pulse.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.pulse});
  }
}

TEST_F(NotifierTest, ThrottledNotificationsWaitTheirPeriodAndStoreTheTimeEvenWithoutAServer) {
  struct Case {
    std::function<void()> show;
    const char* key;
    std::chrono::seconds period;
  };
  const std::vector<Case> cases{
      {[&] { notifications_->showSetupNudge(std::nullopt); }, TrayNotifications::kNudgeKey,
       TrayNotifications::kDay},
      {[&] { notifications_->showTCCRegression(); }, TrayNotifications::kRegressionKey,
       TrayNotifications::kDay},
      {[&] { notifications_->showTCCDenied({"contacts"}); }, TrayNotifications::kDeniedKey,
       TrayNotifications::kDay},
      {[&] { notifications_->showTCCPermission({"calendar"}); }, TrayNotifications::kPermissionKey,
       TrayNotifications::kWeek},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    // No server: what is posted only with permission is dropped, the time is stored anyway.
    EXPECT_FALSE(notifier_->isAuthorized());
    c.show();
    EXPECT_DOUBLE_EQ(UserDefaults::doubleForKey(c.key), nowSeconds());
  }
  startServer();
  EXPECT_TRUE(notifier_->isAuthorized());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    ASSERT_TRUE(UserDefaults::removeObject(c.key));
    const auto before = calls().size();
    c.show();
    EXPECT_EQ(calls().size(), before + 1);
    const auto stored = UserDefaults::doubleForKey(c.key);
    clock_.advance(c.period - 1s);
    pulses_.clear();
    c.show();
    EXPECT_EQ(calls().size(), before + 1);
    EXPECT_TRUE(pulses_.empty());
    EXPECT_EQ(UserDefaults::doubleForKey(c.key), stored);
    clock_.advance(1s);
    c.show();
    EXPECT_EQ(calls().size(), before + 2);
    EXPECT_DOUBLE_EQ(UserDefaults::doubleForKey(c.key), nowSeconds());
  }
}

TEST_F(NotifierTest, TheSettingsActionOpensThePrivacyPageAndRestoreClosesEveryDenial) {
  startServer();
  std::vector<std::string> opened;
  notifier_->openURL = [&](const std::string& url) {
    opened.push_back(url);
    Desktop::open(url, gate_);
  };
  notifications_->showTCCDenied({"reminders", "calendar"});
  const unsigned first = calls().back()["id"];
  clock_.advance(TrayNotifications::kDay);
  notifications_->showTCCDenied({"contacts"});
  const unsigned second = calls().back()["id"];
  notifications_->showTCCRegression();

  notifier_->handleAction(first, "dismissed");
  notifier_->handleAction(first + 100, "default");
  EXPECT_TRUE(opened.empty());
  notifier_->handleAction(first, "TVRN_OPEN_SETTINGS");
  notifier_->handleAction(second, "default");
  EXPECT_EQ(opened,
            (std::vector<std::string>{
                "x-apple.systempreferences:com.apple.preference.security?Privacy_Calendars",
                "x-apple.systempreferences:com.apple.preference.security?Privacy_Contacts"}));
  std::vector<std::string> selected;
  for (auto* widget : QApplication::topLevelWidgets()) {
    if (auto* dialog = qobject_cast<PrivacySettingsDialog*>(widget)) {
      selected.push_back(dialog->selectedService());
      dialog->answer(false);
    }
  }
  std::sort(selected.begin(), selected.end());
  EXPECT_EQ(selected, (std::vector<std::string>{"calendar", "contacts"}));
  EXPECT_EQ(gate_.status(PrivacyEntity::contacts), AuthorizationStatus::denied);

  const auto before = calls().size();
  notifications_->removeDenied();
  std::vector<unsigned> closed;
  const auto after = calls();
  for (const auto& call : std::vector<json>(after.begin() + before, after.end())) {
    EXPECT_EQ(call["call"], "CloseNotification");
    closed.push_back(call["id"]);
  }
  std::sort(closed.begin(), closed.end());
  EXPECT_EQ(closed, (std::vector<unsigned>{first, second}));
}

TEST_F(NotifierTest, BodiesAreEscapedForServersThatReadMarkup) {
  startServer({"markup"});
  Notification notification;
  notification.identifier = "x";
  notification.title = "a < b";
  notification.body = "Tom & <b>Jerry</b>";
  notifier_->post(notification);
  EXPECT_EQ(calls().back()["body"], "Tom &amp; &lt;b&gt;Jerry&lt;/b&gt;");
  EXPECT_EQ(calls().back()["summary"], "a < b");
}

}  // namespace
}  // namespace tvrn
