#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <string>
#include <thread>

#include "fakes/support/RecordingHttpServer.h"
#include "platform/Endpoints.h"
#include "platform/HttpClient.h"

namespace tvrn {
namespace {

using namespace std::chrono_literals;
using test::CannedResponse;
using test::RecordingHttpServer;

constexpr auto kWait = 30s;

std::chrono::milliseconds since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start);
}

TEST(HttpClientTest, ExchangesMethodsHeadersAndBodies) {
  RecordingHttpServer server;
  server.respond("/ok", {200, R"({"a":1})", "application/json", {}, {{"X-Reply", "yes"}}});
  server.respond("/missing", {404, "nope", "text/plain", {}, {}});
  struct Row {
    std::string method, path, body;
    int status;
    std::string reply;
  };
  const Row rows[] = {
      {"GET", "/ok", "", 200, R"({"a":1})"},
      {"POST", "/ok", "hello", 200, R"({"a":1})"},
      {"PUT", "/ok", "replace", 200, R"({"a":1})"},
      {"DELETE", "/missing", "", 404, "nope"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.method);
    auto result = HttpClient::perform(
        {row.method, server.baseURL() + row.path, {{"X-Trace", row.method}}, row.body, 2s});
    ASSERT_TRUE(result.ok()) << result.error().message;
    EXPECT_EQ(result.value().status, row.status);
    EXPECT_EQ(result.value().body, row.reply);
    EXPECT_EQ(result.value().isSuccess(), row.status < 300);
    const auto sent = server.requests().back();
    EXPECT_EQ(sent.method, row.method);
    EXPECT_EQ(sent.body, row.body);
    EXPECT_EQ(sent.header("X-Trace"), row.method);
    // A body sent without a type must not be labelled as a form.
    EXPECT_EQ(sent.header("Content-Type"), "");
  }
  EXPECT_EQ(server.requestCount(), std::size(rows));

  auto ok = HttpClient::get(server.baseURL() + "/ok", 2s);
  ASSERT_TRUE(ok.ok());
  EXPECT_EQ(ok.value().header("x-reply").value_or(""), "yes");
  EXPECT_EQ(ok.value().header("CONTENT-TYPE").value_or(""), "application/json");
  EXPECT_FALSE(ok.value().header("X-Absent").has_value());
}

TEST(HttpClientTest, FollowsRedirectsOnlyToWebAddresses) {
  RecordingHttpServer server;
  server.respond("/moved", {302, "", "text/plain", {}, {{"Location", "/final"}}});
  server.respond("/final", {200, "arrived", "text/plain", {}, {{"X-Final", "1"}}});
  server.respond("/to-file", {302, "", "text/plain", {}, {{"Location", "file:///etc/passwd"}}});

  auto moved = HttpClient::get(server.baseURL() + "/moved", 2s);
  ASSERT_TRUE(moved.ok()) << moved.error().message;
  EXPECT_EQ(moved.value().status, 200);
  EXPECT_EQ(moved.value().body, "arrived");
  EXPECT_EQ(moved.value().header("X-Final").value_or(""), "1");

  auto toFile = HttpClient::get(server.baseURL() + "/to-file", 2s);
  ASSERT_FALSE(toFile.ok());
  EXPECT_EQ(toFile.error().kind, HttpError::Kind::unsupportedURL);
}

TEST(HttpClientTest, RefusesWhatItMustNotSend) {
  RecordingHttpServer server;
  const std::string port = std::to_string(server.port());
  struct Row {
    HttpRequest request;
    HttpError::Kind kind;
  };
  const Row rows[] = {
      {{"GET", "file:///etc/passwd", {}, "", 1s}, HttpError::Kind::unsupportedURL},
      {{"GET", "ftp://127.0.0.1:" + port + "/", {}, "", 1s}, HttpError::Kind::unsupportedURL},
      {{"GET", "gopher://127.0.0.1:" + port + "/", {}, "", 1s}, HttpError::Kind::unsupportedURL},
      {{"GET", "127.0.0.1:" + port + "/no-scheme", {}, "", 1s}, HttpError::Kind::unsupportedURL},
      {{"GET", "", {}, "", 1s}, HttpError::Kind::unsupportedURL},
      {{"GET", server.baseURL() + "/h", {{"X-A", "v\r\nX-Injected: 1"}}, "", 1s},
       HttpError::Kind::invalidRequest},
      {{"GET", server.baseURL() + "/h", {{"Bad Name", "v"}}, "", 1s},
       HttpError::Kind::invalidRequest},
      {{"GE T", server.baseURL() + "/m", {}, "", 1s}, HttpError::Kind::invalidRequest},
      {{"GET", server.baseURL() + "/t", {}, "", 0ms}, HttpError::Kind::invalidRequest},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.request.method + " " + row.request.url);
    auto result = HttpClient::perform(row.request);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind, row.kind);
    EXPECT_FALSE(result.error().message.empty());
  }
  EXPECT_EQ(server.requestCount(), 0u);
}

TEST(HttpClientTest, ReportsRefusedConnectionsAndTimeOuts) {
  int closedPort = 0;
  {
    RecordingHttpServer gone;
    closedPort = gone.port();
  }
  auto refused = HttpClient::get("http://127.0.0.1:" + std::to_string(closedPort) + "/x", 2s);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().kind, HttpError::Kind::cannotConnect);

  RecordingHttpServer server;
  server.respond("/slow", {200, "late", "text/plain", 30s, {}});
  const auto start = std::chrono::steady_clock::now();
  auto slow = HttpClient::get(server.baseURL() + "/slow", 200ms);
  ASSERT_FALSE(slow.ok());
  EXPECT_EQ(slow.error().kind, HttpError::Kind::timedOut);
  EXPECT_NE(slow.error().message.find("timed out"), std::string::npos) << slow.error().message;
  EXPECT_LT(since(start), 10s);  // far less than the answer takes, on a busy machine too
}

TEST(HttpClientTest, LoopbackNeverGoesThroughAProxy) {
  RecordingHttpServer server;
  RecordingHttpServer proxy;
  for (const char* variable : {"http_proxy", "https_proxy", "ALL_PROXY", "all_proxy"}) {
    ::setenv(variable, proxy.baseURL().c_str(), 1);
  }
  ::unsetenv("no_proxy");
  ::unsetenv("NO_PROXY");
  const std::string port = std::to_string(server.port());
  for (const std::string host : {"127.0.0.1", "localhost"}) {
    auto result = HttpClient::get("http://" + host + ":" + port + "/direct", 2s);
    ASSERT_TRUE(result.ok()) << host << ": " << result.error().message;
  }
  EXPECT_EQ(server.requestsTo("/direct").size(), 2u);
  // The test server listens on IPv4 only, so this one is refused rather than relayed.
  EXPECT_FALSE(HttpClient::get("http://[::1]:" + port + "/direct", 2s).ok());
  EXPECT_EQ(proxy.requestCount(), 0u);

  // Other hosts still use the proxy the user set.
  auto relayed = HttpClient::get("http://tavrin.invalid/elsewhere", 2s);
  ASSERT_TRUE(relayed.ok()) << relayed.error().message;
  EXPECT_EQ(proxy.requestCount(), 1u);
}

TEST(BackgroundPosterTest, KeepsOnlyTheNewestWhileBusy) {
  RecordingHttpServer server;
  server.respond("/slow", {200, "", "text/plain", 2s, {}});
  BackgroundPoster poster;
  poster.post({"POST", server.baseURL() + "/slow", {}, "first", 2s});
  ASSERT_TRUE(server.waitForRequests(1, kWait));

  // The worker is held up by the slow answer: posting never waits for it.
  const auto start = std::chrono::steady_clock::now();
  constexpr int kPosted = 300;
  for (int i = 0; i < kPosted; ++i) {
    poster.post({"POST", server.baseURL() + "/report", {}, std::to_string(i), 2s});
  }
  EXPECT_LT(since(start), 1s);  // less than the slow answer takes, on a busy machine too

  const std::size_t kept = BackgroundPoster::kDefaultCapacity;
  ASSERT_TRUE(server.waitForRequests(1 + kept, kWait));
  std::this_thread::sleep_for(50ms);  // nothing beyond the bound may follow
  const auto reports = server.requestsTo("/report");
  ASSERT_EQ(reports.size(), kept);
  for (std::size_t i = 0; i < kept; ++i) {
    EXPECT_EQ(reports[i].body, std::to_string(kPosted - kept + i));
  }
}

TEST(BackgroundPosterTest, StopsPromptlyAndDropsLaterPosts) {
  RecordingHttpServer server;
  server.respond("/slow", {200, "", "text/plain", 30s, {}});
  auto poster = std::make_unique<BackgroundPoster>(4);
  poster->post({"POST", server.baseURL() + "/slow", {}, "", 60s});
  poster->post({"POST", server.baseURL() + "/queued", {}, "", 10s});
  ASSERT_TRUE(server.waitForRequests(1, kWait));

  const auto start = std::chrono::steady_clock::now();
  poster->stop();
  EXPECT_LT(since(start), 10s);  // far less than the answer takes
  poster->post({"POST", server.baseURL() + "/after", {}, "", 1s});
  poster.reset();
  EXPECT_EQ(server.requestCount(), 1u);
}

TEST(BackgroundPosterTest, SendsCompactJSONToTheStatusServer) {
  RecordingHttpServer server;
  ::setenv("TVRN_STATUS_PORT", std::to_string(server.port()).c_str(), 1);
  const nlohmann::json body = {{"tool", "list_emails"}, {"ai_client", "CLI"}};
  BackgroundPoster poster;
  poster.post(HttpClient::jsonPostRequest(Endpoints::statusBaseURL() + "/tool-call", body, 1s));
  // Bytes that are not UTF-8 do not stop a report; they are replaced.
  poster.post(HttpClient::jsonPostRequest(Endpoints::statusBaseURL() + "/tool-error",
                                          {{"tool", "a\xff"}}, 1s));
  ASSERT_TRUE(server.waitForRequests(2, kWait));
  const auto sent = server.requestsTo("/tool-call").at(0);
  EXPECT_EQ(sent.method, "POST");
  EXPECT_EQ(sent.header("Content-Type"), "application/json");
  EXPECT_EQ(sent.body, body.dump());
  EXPECT_EQ(server.requestsTo("/tool-error").at(0).json()["tool"], "a\xEF\xBF\xBD");
}

TEST(EndpointsTest, OverridesAndStatusPort) {
  const std::pair<const char*, std::string (*)()> bases[] = {
      {"TVRN_BACKEND_URL", Endpoints::backend}, {"TVRN_WEB_URL", Endpoints::web},
      {"TVRN_LOGIN_URL", Endpoints::login},     {"TVRN_GRAPH_URL", Endpoints::graph},
      {"TVRN_FINANCE_URL", Endpoints::finance}, {"TVRN_EVERNOTE_URL", Endpoints::evernote},
      {"TVRN_VPN_API_URL", Endpoints::vpnAPI},
  };
  for (const auto& [variable, read] : bases) {
    SCOPED_TRACE(variable);
    ::unsetenv(variable);
    const std::string fallback = read();
    EXPECT_EQ(fallback.rfind("https://", 0), 0u);
    ::setenv(variable, "", 1);
    EXPECT_EQ(read(), fallback);
    ::setenv(variable, "http://127.0.0.1:4000//", 1);
    EXPECT_EQ(read(), "http://127.0.0.1:4000");
  }
  ::unsetenv("TVRN_BACKEND_URL");
  EXPECT_EQ(Endpoints::backend(), "https://api.tavrin.invalid");

  const std::pair<const char*, int> ports[] = {
      {"8123", 8123}, {"1", 1},      {"65535", 65535}, {"0", 8765},   {"65536", 8765},
      {"-5", 8765},   {"80x", 8765}, {"", 8765},       {" 80", 8765},
  };
  for (const auto& [text, port] : ports) {
    ::setenv("TVRN_STATUS_PORT", text, 1);
    EXPECT_EQ(Endpoints::statusPort(), port) << "'" << text << "'";
  }
  ::unsetenv("TVRN_STATUS_PORT");
  EXPECT_EQ(Endpoints::statusBaseURL(), "http://127.0.0.1:8765");
}

}  // namespace
}  // namespace tvrn
