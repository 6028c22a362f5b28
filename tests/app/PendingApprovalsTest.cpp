#include <gtest/gtest.h>
#include <stdlib.h>

#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest/QTest>

#include "app/ManualScheduler.h"
#include "app/StatusMonitor.h"
#include "app/TrayFixtures.h"
#include "app/popover/MenuBarView.h"
#include "core/ConfigManager.h"
#include "fakes/support/RecordingHttpServer.h"

namespace tvrn {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

constexpr const char* kList = "/oauth/list-tray-approvals";
constexpr const char* kComplete = "/oauth/complete-tray-approval";
// Every character that means something in a query.
const std::string kToken = "tok+en/&a=b c%?#é";

std::string listOf(const std::vector<std::string>& ids) {
  json requests = json::array();
  for (const auto& id : ids) {
    requests.push_back({{"request_id", id},
                        {"client_name", "Client " + id},
                        {"client_id", "cid-" + id},
                        {"redirect_uri", "https://client.example/cb"},
                        {"expires_at", 1.0}});  // long past: still listed
  }
  return json{{"requests", requests}}.dump();
}

test::CannedResponse ok(std::string body) {
  test::CannedResponse response;
  response.body = std::move(body);
  return response;
}

// A web site that accepts a connection and closes it without a word.
class ClosingServer {
 public:
  ClosingServer() {
    server_.listen(QHostAddress::LocalHost);
    QObject::connect(&server_, &QTcpServer::newConnection, &server_, [this] {
      while (QTcpSocket* socket = server_.nextPendingConnection()) {
        ++accepted;
        socket->close();
        socket->deleteLater();
      }
    });
  }
  std::string baseURL() const { return "http://127.0.0.1:" + std::to_string(server_.serverPort()); }
  int accepted = 0;

 private:
  QTcpServer server_;
};

class PendingApprovalsTest : public ::testing::Test {
 protected:
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

  std::vector<std::string> shownIds() const {
    std::vector<std::string> ids;
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
  void nextList(const std::string& body) {
    const auto before = web_.requestsTo(kList).size();
    web_.enqueue(kList, {ok(body)});
    clock_.advance(StatusMonitor::kApprovalPollInterval);
    awaitLists(before + 1);
  }

  test::RecordingHttpServer web_;
  test::ManualScheduler clock_;
  StatusMonitor monitor_{clock_};
  std::vector<std::string> notified_;
};

TEST_F(PendingApprovalsTest, WithoutARelayTokenNothingIsAskedAndTheListEmpties) {
  EXPECT_EQ(StatusMonitor::relayToken(), std::nullopt);
  setToken("");
  EXPECT_EQ(StatusMonitor::relayToken(), std::nullopt);
  ASSERT_TRUE(ConfigManager::shared().save({{"cloud_token", 42}}));
  EXPECT_EQ(StatusMonitor::relayToken(), std::nullopt);

  setToken(kToken);
  web_.respond(kList, ok(listOf({"r1"})));
  monitor_.startPolling();
  awaitLists(1);
  ASSERT_EQ(shownIds(), std::vector<std::string>{"r1"});
  EXPECT_EQ(web_.requestsTo(kList)[0].queryItem("token"), kToken);

  setToken("");
  clock_.advance(StatusMonitor::kApprovalPollInterval);
  EXPECT_TRUE(shownIds().empty());
  monitor_.respondToApproval("r1", "approve");
  test::processEventsUntil([] { return false; }, 150ms);
  EXPECT_EQ(web_.requestCount(), 1u);
}

TEST_F(PendingApprovalsTest, EachNewRequestIsAnnouncedOnceInTheWebSitesOrder) {
  setToken(kToken);
  web_.enqueue(kList, {ok(listOf({"r1", "r2"}))});
  monitor_.startPolling();
  awaitLists(1);
  struct Step {
    std::string reply;
    std::vector<std::string> shown;
    std::vector<std::string> announced;  // by this step
  };
  const std::vector<Step> steps = {
      {listOf({"r1", "r2"}), {"r1", "r2"}, {}},
      {listOf({"r1", "r3", "r2"}), {"r1", "r3", "r2"}, {"r3"}},
      {"<html>busy</html>", {"r1", "r3", "r2"}, {}},
      {"{\"requests\": [{\"request_id\": 7}]}", {"r1", "r3", "r2"}, {}},
      {listOf({"r1", "r3", "r2"}), {"r1", "r3", "r2"}, {}},
      {listOf({"r4", "r4"}), {"r4", "r4"}, {"r4", "r4"}},
      {listOf({}), {}, {}},
  };
  EXPECT_EQ(notified_, (std::vector<std::string>{"r1", "r2"}));
  for (const auto& [reply, shown, announced] : steps) {
    SCOPED_TRACE(reply);
    notified_.clear();
    nextList(reply);
    EXPECT_EQ(shownIds(), shown);
    EXPECT_EQ(notified_, announced);
  }
}

// The buttons of the popover answer through the web site; the row goes once the answer is done,
// whatever its outcome, and a request the site still lists returns as a new one.
TEST_F(PendingApprovalsTest, ApproveAndDenySendTheDecisionDropTheRowAndFetchAgain) {
  setToken(kToken);
  web_.enqueue(kList,
               {ok(listOf({"r1", "r2", "r3"})), ok(listOf({"r2", "r3"})), ok(listOf({"r3"}))});
  MenuBarView view(
      monitor_, [] {}, clock_);
  view.show();
  monitor_.startPolling();
  awaitLists(1);
  ASSERT_EQ(shownIds(), (std::vector<std::string>{"r1", "r2", "r3"}));

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
    const auto shown = shownIds();
    EXPECT_EQ(std::count(shown.begin(), shown.end(), id), 0);
  }
  EXPECT_EQ(shownIds(), std::vector<std::string>{"r3"});

  // The site hangs up on the answer: the row goes all the same, and returns with a new notice
  // while the site still lists it.
  notified_.clear();
  ClosingServer closing;
  ::setenv("TVRN_WEB_URL", closing.baseURL().c_str(), 1);
  auto* deny = view.findChild<QPushButton*>("deny:r3");
  ASSERT_TRUE(deny);
  QTest::mouseClick(deny, Qt::LeftButton);
  ASSERT_TRUE(test::processEventsUntil([&] { return closing.accepted >= 2; }));
  test::processEventsUntil([] { return false; }, 150ms);
  EXPECT_TRUE(shownIds().empty());
  EXPECT_EQ(view.shownSections().size(), 4u);  // header, relay, disconnected, AI clients
  ::setenv("TVRN_WEB_URL", web_.baseURL().c_str(), 1);
  web_.respond(kList, ok(listOf({"r3"})));
  nextList(listOf({"r3"}));
  EXPECT_EQ(shownIds(), std::vector<std::string>{"r3"});
  EXPECT_EQ(notified_, std::vector<std::string>{"r3"});
}

}  // namespace
}  // namespace tvrn
