#include <gtest/gtest.h>
#include <stdlib.h>

#include "fakes/support/RecordingHttpServer.h"
#include "tray/TrayFixtures.h"
#include "tray/TrayHttp.h"

namespace tvrn {
namespace {

using namespace std::chrono_literals;

// The reply of one GET, or of a POST when `body` is given, once its completion has run. The
// time-out leaves a sanitized build on a busy machine time to spare.
TrayHttp::Reply send(const std::string& url, std::optional<nlohmann::json> body = {},
                     std::chrono::milliseconds timeout = 20s) {
  QObject context;
  std::optional<TrayHttp::Reply> outcome;
  const auto done = [&outcome](const TrayHttp::Reply& reply) { outcome = reply; };
  if (body) {
    TrayHttp::shared().postJSON(url, *body, timeout, &context, done);
  } else {
    TrayHttp::shared().get(url, timeout, &context, done);
  }
  EXPECT_TRUE(test::processEventsUntil([&outcome] { return outcome.has_value(); }));
  return outcome.value_or(TrayHttp::Reply{});
}

TEST(TrayHttpTest, ReadsRepliesUpToOneMebibyteWithinTheirTimeOut) {
  test::RecordingHttpServer server;
  const std::string limit(TrayHttp::kMaxReplyBytes, 'x');
  const std::vector<std::tuple<int, std::string, std::chrono::milliseconds, bool>> cases = {
      {500, "oops", 0ms, true},  // a body with an error status is still a body
      {200, limit, 0ms, true},
      {200, limit + "x", 0ms, false},
      {200, "late", 10s, false},  // long past a time-out of 1 s
  };
  for (const auto& [status, body, delay, read] : cases) {
    test::CannedResponse response;
    response.status = status;
    response.body = body;
    response.delay = delay;
    server.respond("/reply", response);
    const auto reply = send(server.baseURL() + "/reply", {}, delay > 0ms ? 1s : 20s);
    ASSERT_EQ(reply.body.has_value(), read) << body.size() << " " << reply.error;
    EXPECT_EQ(reply.body ? reply.body->size() : 0, read ? body.size() : 0);
    EXPECT_EQ(reply.error.empty(), status == 200 && read);
  }
}

TEST(TrayHttpTest, PostsCompactJSONAndGoesToLoopbackDirectly) {
  test::RecordingHttpServer proxy;
  ::setenv("http_proxy", proxy.baseURL().c_str(), 1);
  send("http://api.tavrin.invalid/runtime/latest");
  ASSERT_EQ(proxy.requestCount(), 1u);  // outside services follow the system's proxy
  EXPECT_EQ(proxy.requests()[0].header("Host"), "api.tavrin.invalid");

  test::RecordingHttpServer server;
  EXPECT_EQ(
      send(server.baseURL() + "/tray-event", {{{"event", "opened"}, {"bad", "a\xff"}}}).status,
      200);
  ASSERT_EQ(server.requestCount(), 1u);
  EXPECT_EQ(server.requests()[0].header("Content-Type"), "application/json");
  EXPECT_EQ(server.requests()[0].body, "{\"bad\":\"a\xEF\xBF\xBD\",\"event\":\"opened\"}");
  EXPECT_EQ(proxy.requestCount(), 1u);
}

TEST(TrayHttpTest, NoCompletionOnceItsObjectIsGone) {
  test::RecordingHttpServer server;
  test::CannedResponse slow;
  slow.delay = 200ms;
  server.respond("/slow", slow);
  bool called = false;
  auto context = std::make_unique<QObject>();
  TrayHttp::shared().get(server.baseURL() + "/slow", 2s, context.get(),
                         [&called](const TrayHttp::Reply&) { called = true; });
  ASSERT_TRUE(server.waitForRequests(1, 30s));
  context.reset();
  send(server.baseURL() + "/slow");  // sent later, so it completes after the first
  EXPECT_FALSE(called);
}

}  // namespace
}  // namespace tvrn
