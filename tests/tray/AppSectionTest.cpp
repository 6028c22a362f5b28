// The app section's notice and nudge on the manual scheduler, against a recording status server,
// and the addresses the section and the footer open.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QUrl>
#include <QUrlQuery>
#include <algorithm>

#include "core/ConfigManager.h"
#include "fakes/support/RecordingHttpServer.h"
#include "platform/Paths.h"
#include "tray/AppSection.h"
#include "tray/ManualScheduler.h"
#include "tray/StatusMonitor.h"
#include "tray/TrayFixtures.h"

namespace tvrn {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

json busyWith(const std::function<void(json&)>& change) {
  json status = test::statusFixture("status-busy.json");
  change(status);
  return status;
}

json offering(const std::string& version, std::int64_t behind) {
  return busyWith([&](json& s) {
    s.erase("pending_restart_version");
    s["update"] = {{"version", version}, {"versions_behind", behind}};
  });
}

std::optional<ServerStatus> decoded(const json& document) {
  auto status = decodeServerStatus(document);
  EXPECT_TRUE(status.ok()) << status.error();
  return std::move(status).value();
}

TEST(AppSectionNoticeTest, RestartWinsThenANewerCandidateIsOffered) {
  struct Case {
    const char* label;
    json status;         // null: no status
    std::string notice;  // "", "restart: <text>" or "offer: <title> / <button>"
  };
  const Case cases[] = {
      {"no status", nullptr, ""},
      {"pending restart beside an update", test::statusFixture("status-busy.json"),
       "restart: v3.0.101 ready — restart your AI clients"},
      {"empty pending version", busyWith([](json& s) { s["pending_restart_version"] = ""; }),
       "restart: v ready — restart your AI clients"},
      {"ten behind", offering("3.0.110", 10), "offer: v3.0.110 available / Install"},
      {"eleven behind", offering("3.0.111", 11),
       "offer: v3.0.111 required (11 releases behind) / Update Now"},
      {"not newer", offering("3.0.100", 20), ""},
      {"update without a version", busyWith([](json& s) {
         s.erase("pending_restart_version");
         s["update"] = {{"versions_behind", 30}};
       }),
       ""},
  };
  for (const auto& c : cases) {
    const AppNotice notice = appNotice(c.status.is_null() ? std::nullopt : decoded(c.status));
    std::string shown;
    if (const auto* restart = std::get_if<RestartNotice>(&notice))
      shown = "restart: " + restart->text;
    if (const auto* offer = std::get_if<UpdateOffer>(&notice)) {
      shown = "offer: " + offer->title + " / " + offer->button;
      EXPECT_EQ(offer->warning.has_value(), offer->required) << c.label;
    }
    EXPECT_EQ(shown, c.notice) << c.label;
  }
}

TEST(AppSectionNoticeTest, RequiredOfferCarriesTheInstallLine) {
  ::setenv("TVRN_WEB_URL", "https://web.example", 1);
  const auto offer = std::get<UpdateOffer>(appNotice(decoded(offering("3.0.200", 11))));
  EXPECT_EQ(*offer.warning,
            "Auto-update may be stuck. If 'Update Now' doesn't apply within a few minutes, "
            "reinstall: curl -fsSL https://web.example/install | sh");
  ::unsetenv("TVRN_WEB_URL");
}

// A monitor on the manual scheduler polling status.json, against a recording status server.
class AppSectionNudgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TVRN_STATUS_PORT", std::to_string(server_.port()).c_str(), 1);
    monitor_ = std::make_unique<StatusMonitor>(ConfigManager::shared(), clock_);
  }

  void serve(const json& status) {
    test::writeFile(Paths::appSupport() / "status.json", status.dump());
    if (!polling_) monitor_->startPolling();
    polling_ = true;
    clock_.advance(StatusMonitor::kPollInterval);
  }

  // The popover opens with whatever offer the status holds.
  void open() {
    if (const auto* offer = std::get_if<UpdateOffer>(&(notice_ = appNotice(monitor_->status())))) {
      nudge_.offerShown(*offer, *monitor_);
    }
  }

  // "event:<name>:<behind>" and "update" in the order the server got them, once `count` came.
  std::vector<std::string> sent(std::size_t count) {
    EXPECT_TRUE(test::processEventsUntil([&] { return server_.requestCount() >= count; }));
    std::vector<std::string> log;
    for (const auto& request : server_.requests()) {
      const json body = request.json();
      if (request.path == "/tray-event") {
        log.push_back("event:" + body["event"].get<std::string>() + ":" +
                      std::to_string(body.value("versions_behind", 0)));
      } else if (body == json({{"action", "update"}})) {
        log.push_back("update");
      }
    }
    return log;
  }

  test::ManualScheduler clock_;
  test::RecordingHttpServer server_;
  std::unique_ptr<StatusMonitor> monitor_;
  UpdateNudge nudge_;
  AppNotice notice_;
  bool polling_ = false;
};

TEST_F(AppSectionNudgeTest, EachCandidateIsReportedAndForcedOnce) {
  serve(offering("3.0.111", 11));
  open();
  open();
  serve(offering("3.0.112", 12));
  open();
  open();
  auto log = sent(4);
  std::sort(log.begin(), log.end());  // the requests of one opening may pass each other
  EXPECT_EQ(log, (std::vector<std::string>{"event:tray_nudge_shown:11", "event:tray_nudge_shown:12",
                                           "update", "update"}));
  EXPECT_FALSE(test::processEventsUntil([&] { return server_.requestCount() > 4; }, 200ms));
}

TEST_F(AppSectionNudgeTest, AnOfferTenBehindIsReportedButNotForced) {
  serve(offering("3.0.110", 10));
  open();
  open();
  EXPECT_EQ(sent(1), std::vector<std::string>{"event:tray_nudge_shown:10"});
  EXPECT_FALSE(test::processEventsUntil([&] { return server_.requestCount() > 1; }, 200ms));
}

TEST_F(AppSectionNudgeTest, EveryPressSendsBoth) {
  serve(offering("3.0.110", 10));
  const auto offer = std::get<UpdateOffer>(appNotice(monitor_->status()));
  for (int press = 0; press < 3; ++press) UpdateNudge::pressed(offer, *monitor_);
  const std::vector<std::string> once{"event:tray_update_started:10", "update"};
  std::vector<std::string> thrice;
  for (int press = 0; press < 3; ++press) thrice.insert(thrice.end(), once.begin(), once.end());
  auto log = sent(6);
  // Requests of one press may arrive in either order; the counts are what matter.
  std::sort(log.begin(), log.end());
  std::sort(thrice.begin(), thrice.end());
  EXPECT_EQ(log, thrice);
}

TEST_F(AppSectionNudgeTest, SwitchingAutoUpdateOnAlsoAsksForACheck) {
  serve(offering("3.0.100", 0));
  autoUpdateSwitched(false, *monitor_);
  ASSERT_TRUE(test::processEventsUntil([&] { return server_.requestCount() >= 1; }));
  autoUpdateSwitched(true, *monitor_);
  ASSERT_TRUE(test::processEventsUntil([&] { return server_.requestCount() >= 3; }));
  std::vector<json> bodies;
  for (const auto& request : server_.requestsTo("/config")) bodies.push_back(request.json());
  EXPECT_EQ(bodies,
            (std::vector<json>{
                {{"auto_update", false}}, {{"auto_update", true}}, {{"auto_update", true}}}));
}

TEST(AppSectionAddressTest, PagesFollowTheStatusPortAndTheMailKeepsTheText) {
  const auto on9000 = decoded(busyWith([](json& s) { s["port"] = 9000; }));
  EXPECT_EQ(settingsPageURL(on9000), "http://localhost:9000/app");
  EXPECT_EQ(helpPageURL(on9000), "http://localhost:9000/app#tab-help");
  EXPECT_EQ(settingsPageURL(std::nullopt), "http://localhost:8765/app");

  struct Case {
    std::optional<ServerStatus> status;
    std::string text;
    std::string subject;
    std::string body;
  };
  const Case cases[] = {
      {std::nullopt, "", "Bug Report — TVRN vunknown", "(describe the issue here)"},
      {on9000, "\n  a & b = c + d?#\n", "Bug Report — TVRN v3.0.100", "\n  a & b = c + d?#\n"},
  };
  for (const auto& c : cases) {
    const QUrl url(QString::fromStdString(bugReportMailURL(c.status, c.text)));
    EXPECT_EQ(url.scheme(), "mailto");
    EXPECT_EQ(url.path().toStdString(), "support@tavrin.invalid");
    const QUrlQuery query(url);
    EXPECT_EQ(query.queryItemValue("subject", QUrl::FullyDecoded).toStdString(), c.subject);
    EXPECT_EQ(query.queryItemValue("body", QUrl::FullyDecoded).toStdString(), c.body);
  }
}

}  // namespace
}  // namespace tvrn
