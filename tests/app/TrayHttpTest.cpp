#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>

#include "app/TrayFixtures.h"
#include "app/TrayHttp.h"
#include "fakes/support/RecordingHttpServer.h"

namespace tvrn {
namespace {

using namespace std::chrono_literals;

test::CannedResponse canned(int status, std::string body, std::chrono::milliseconds delay = 0ms) {
  test::CannedResponse response;
  response.status = status;
  response.body = std::move(body);
  response.delay = delay;
  return response;
}

struct Outcome {
  bool arrived = false;
  TrayHttp::Reply reply;
};

// Sends through the tray's HTTP and waits for the completion.
Outcome fetch(const std::function<void(QObject*, TrayHttp::Completion)>& send) {
  QObject context;
  Outcome outcome;
  send(&context, [&outcome](const TrayHttp::Reply& reply) {
    outcome.arrived = true;
    outcome.reply = reply;
  });
  EXPECT_TRUE(test::processEventsUntil([&outcome] { return outcome.arrived; }));
  return outcome;
}

TEST(TrayHttpTest, RepliesAreReadUpToOneMebibyte) {
  test::RecordingHttpServer server;
  const std::string limit(TrayHttp::kMaxReplyBytes, 'x');
  const std::vector<std::tuple<const char*, test::CannedResponse, std::optional<std::size_t>>>
      cases = {
          {"a small body", canned(200, "{}"), 2},
          {"an error status keeps its body", canned(500, "oops"), 4},
          {"exactly the limit", canned(200, limit), limit.size()},
          {"twice the limit", canned(200, limit + limit), std::nullopt},
          {"past the time-out", canned(200, "late", 3s), std::nullopt},
      };
  for (const auto& [name, response, size] : cases) {
    SCOPED_TRACE(name);
    server.respond("/reply", response);
    const auto outcome = fetch([&](QObject* context, TrayHttp::Completion done) {
      TrayHttp::shared().get(server.baseURL() + "/reply", 1s, context, std::move(done));
    });
    ASSERT_EQ(outcome.reply.body.has_value(), size.has_value()) << outcome.reply.error;
    if (size) {
      EXPECT_EQ(outcome.reply.body->size(), *size);
      EXPECT_EQ(outcome.reply.status, response.status);
    } else {
      EXPECT_FALSE(outcome.reply.error.empty());
    }
  }
}

TEST(TrayHttpTest, OutsideServicesGoThroughTheSystemProxy) {
  test::RecordingHttpServer proxy;
  ::setenv("http_proxy", proxy.baseURL().c_str(), 1);
  fetch([&](QObject* context, TrayHttp::Completion done) {
    TrayHttp::shared().get("http://api.tavrin.invalid/runtime/latest", 2s, context,
                           std::move(done));
  });
  ASSERT_EQ(proxy.requestCount(), 1u);
  EXPECT_EQ(proxy.requests()[0].header("Host"), "api.tavrin.invalid");
}

TEST(TrayHttpTest, PostsCompactJSONAndReachesLoopbackPastAProxy) {
  // A proxy that does not exist: used for 127.0.0.1, every request would fail.
  ::setenv("http_proxy", "http://127.0.0.1:9", 1);
  test::RecordingHttpServer server;
  const nlohmann::json body = {{"event", "opened"}, {"list", {1, 2}}, {"bad", "a\xff"}};
  const auto outcome = fetch([&](QObject* context, TrayHttp::Completion done) {
    TrayHttp::shared().postJSON(server.baseURL() + "/tray-event", body, 2s, context,
                                std::move(done));
  });
  EXPECT_EQ(outcome.reply.status, 200) << outcome.reply.error;
  const auto requests = server.requestsTo("/tray-event");
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].header("Content-Type"), "application/json");
  EXPECT_EQ(requests[0].body, "{\"bad\":\"a\xEF\xBF\xBD\",\"event\":\"opened\",\"list\":[1,2]}");
}

TEST(TrayHttpTest, NoCompletionOnceItsObjectIsGone) {
  test::RecordingHttpServer server;
  server.respond("/slow", canned(200, "{}", 200ms));
  bool called = false;
  auto context = std::make_unique<QObject>();
  TrayHttp::shared().get(server.baseURL() + "/slow", 2s, context.get(),
                         [&called](const TrayHttp::Reply&) { called = true; });
  ASSERT_TRUE(server.waitForRequests(1, 2s));
  context.reset();
  // A second request sent later completes after the first one has.
  const auto later = fetch([&](QObject* alive, TrayHttp::Completion done) {
    TrayHttp::shared().get(server.baseURL() + "/slow", 2s, alive, std::move(done));
  });
  EXPECT_TRUE(later.arrived);
  EXPECT_FALSE(called);
}

}  // namespace
}  // namespace tvrn
