#include <gtest/gtest.h>
#include <stdlib.h>

#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest/QTest>

#include "core/ConfigManager.h"
#include "fakes/support/RecordingHttpServer.h"
#include "tray/ManualScheduler.h"
#include "tray/StatusMonitor.h"
#include "tray/TrayFixtures.h"
#include "tray/popover/MenuBarView.h"

namespace tvrn {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

constexpr const char* kList = "/oauth/list-tray-approvals";
constexpr const char* kComplete = "/oauth/complete-tray-approval";
// Every character that means something in a query.
const std::string kToken = "tok+en/&a=b c%?#é";

using Ids = std::vector<std::string>;

// The list as the web site sends it; every request long expired, which changes nothing.
test::CannedResponse listOf(const Ids& ids) {
  test::CannedResponse reply;
  json requests = json::array();
  for (const auto& id : ids) {
    requests.push_back({{"request_id", id},
                        {"client_name", "Client " + id},
                        {"client_id", id},
                        {"redirect_uri", "https://client.example/cb"},
                        {"expires_at", 1.0}});
  }
  reply.body = json{{"requests", requests}}.dump();
  return reply;
}

class PendingApprovalsTest : public ::testing::Test {
 protected:
  PrivacyGate gate_;  // the tray's, over the test's own access file
  void SetUp() override {
    test::useUnusedStatusPort();
    ::setenv("TVRN_WEB_URL", web_.baseURL().c_str(), 1);
    monitor_.onNewApproval = [this](const PendingApproval& request) {
      notified_.push_back(request.requestId);
    };
  }

  static void setToken(const std::string& token) {
    ASSERT_TRUE(ConfigManager::shared().save({{"cloud_token", token}}));
  }

  Ids shownIds() const {
    Ids ids;
    for (const auto& request : monitor_.pendingApprovals()) ids.push_back(request.requestId);
    return ids;
  }

  // Waits until the web site has had `count` list requests and the monitor has taken the last
  // reply (a reply that changes nothing shows only in the time it takes: a short wait).
  void awaitLists(std::size_t count) {
    ASSERT_TRUE(test::processEventsUntil([&] { return web_.requestsTo(kList).size() >= count; }));
    test::processEventsUntil([] { return false; }, 150ms);
  }

  // Serves the list once and lets the approvals timer fetch it.
  void nextList(const test::CannedResponse& reply) {
    const auto before = web_.requestsTo(kList).size();
    web_.enqueue(kList, {reply});
    clock_.advance(StatusMonitor::kApprovalPollInterval);
    awaitLists(before + 1);
  }

  test::RecordingHttpServer web_;
  test::ManualScheduler clock_;
  StatusMonitor monitor_{ConfigManager::shared(), clock_};
  Ids notified_;
};

// The token goes in the query; each new request is announced once, in the web site's order; and
// without a token nothing is asked and the list empties.
TEST_F(PendingApprovalsTest, EachNewRequestIsAnnouncedOnceAndNothingIsAskedWithoutAToken) {
  for (const json& token : {json(""), json(42)}) {
    ASSERT_TRUE(ConfigManager::shared().save({{"cloud_token", token}}));
    EXPECT_EQ(monitor_.relayToken(), std::nullopt);
  }
  setToken(kToken);
  web_.enqueue(kList, {listOf({"r1", "r2"})});
  monitor_.startPolling();
  awaitLists(1);
  const auto raw = [](const char* body) {
    test::CannedResponse reply;
    reply.body = body;
    return reply;
  };
  // The reply, then the list shown and the requests announced.
  const std::vector<std::tuple<test::CannedResponse, Ids, Ids>> steps = {
      {listOf({"r1", "r2"}), {"r1", "r2"}, {}},
      {listOf({"r1", "r3", "r2"}), {"r1", "r3", "r2"}, {"r3"}},
      {raw("<html>busy</html>"), {"r1", "r3", "r2"}, {}},
      {raw(R"({"requests": [{"request_id": 7}]})"), {"r1", "r3", "r2"}, {}},
      {listOf({"r1", "r3", "r2"}), {"r1", "r3", "r2"}, {}},
      {listOf({"r4", "r4"}), {"r4", "r4"}, {"r4", "r4"}},
      {listOf({}), {}, {}},
  };
  EXPECT_EQ(notified_, (Ids{"r1", "r2"}));
  for (const auto& [reply, shown, announced] : steps) {
    SCOPED_TRACE(reply.body);
    notified_.clear();
    nextList(reply);
    EXPECT_EQ(shownIds(), shown);
    EXPECT_EQ(notified_, announced);
  }
  EXPECT_EQ(web_.requestsTo(kList)[0].queryItem("token"), kToken);

  web_.respond(kList, listOf({"r1"}));
  nextList(listOf({"r1"}));
  setToken("");
  const auto asked = web_.requestCount();
  clock_.advance(StatusMonitor::kApprovalPollInterval);
  EXPECT_TRUE(shownIds().empty());
  monitor_.respondToApproval("r1", "approve");
  test::processEventsUntil([] { return false; }, 150ms);
  EXPECT_EQ(web_.requestCount(), asked);
}

// The buttons of the popover answer through the web site; the row goes once the answer is done,
// whatever its outcome, and a request the site still lists returns as a new one.
TEST_F(PendingApprovalsTest, ApproveAndDenySendTheDecisionDropTheRowAndFetchAgain) {
  setToken(kToken);
  web_.enqueue(kList, {listOf({"r1", "r2", "r3"}), listOf({"r2", "r3"}), listOf({"r3"})});
  MenuBarView view(
      monitor_, gate_, [] {}, clock_);
  view.show();
  monitor_.startPolling();
  awaitLists(1);
  ASSERT_EQ(shownIds(), (Ids{"r1", "r2", "r3"}));

  const std::vector<std::pair<std::string, std::string>> clicks = {{"approve", "r1"},
                                                                   {"deny", "r2"}};
  for (std::size_t index = 0; index < clicks.size(); ++index) {
    const auto& [decision, id] = clicks[index];
    auto* button = view.findChild<QPushButton*>(QString::fromStdString(decision + ":" + id));
    ASSERT_TRUE(button) << decision;
    QTest::mouseClick(button, Qt::LeftButton);
    ASSERT_TRUE(
        test::processEventsUntil([&] { return web_.requestsTo(kComplete).size() > index; }));
    awaitLists(index + 2);
    const auto answer = web_.requestsTo(kComplete)[index];
    EXPECT_EQ(answer.header("Content-Type"), "application/json");
    EXPECT_EQ(answer.json(),
              (json{{"request_id", id}, {"cloud_token", kToken}, {"decision", decision}}));
    EXPECT_EQ(shownIds(), (index == 0 ? Ids{"r2", "r3"} : Ids{"r3"}));
  }

  // The site hangs up on the answer: the row goes all the same, and returns with a new notice
  // while the site still lists it.
  notified_.clear();
  QTcpServer closing;
  int accepted = 0;
  closing.listen(QHostAddress::LocalHost);
  QObject::connect(&closing, &QTcpServer::newConnection, [&] {
    ++accepted;
    closing.nextPendingConnection()->close();
  });
  const auto closingURL = "http://127.0.0.1:" + std::to_string(closing.serverPort());
  ::setenv("TVRN_WEB_URL", closingURL.c_str(), 1);
  auto* deny = view.findChild<QPushButton*>("deny:r3");
  ASSERT_TRUE(deny);
  QTest::mouseClick(deny, Qt::LeftButton);
  ASSERT_TRUE(test::processEventsUntil([&] { return accepted >= 2; }));
  test::processEventsUntil([] { return false; }, 150ms);
  EXPECT_TRUE(shownIds().empty());
  // header, relay, disconnected, AI clients, app, footer
  EXPECT_EQ(view.shownSections().size(), 6u);
  ::setenv("TVRN_WEB_URL", web_.baseURL().c_str(), 1);
  nextList(listOf({"r3"}));
  EXPECT_EQ(shownIds(), Ids{"r3"});
  EXPECT_EQ(notified_, Ids{"r3"});
}

}  // namespace
}  // namespace tvrn
