#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <string>

#include "fakes/support/RecordingHttpServer.h"
#include "manifest/TelemetryEngine.h"
#include "support/CapturedStderr.h"

namespace tvrn {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

TelemetryTag literal(std::string name, std::string value, bool redact = false) {
  return {std::move(name), std::move(value), std::nullopt, redact, std::nullopt};
}

TelemetryTag fromParam(std::string name, std::string param,
                       std::optional<std::string> transform = std::nullopt, bool redact = false) {
  return {std::move(name), std::nullopt, std::move(param), redact, std::move(transform)};
}

TEST(TelemetryEngineTest, PostsTheEventTheTagsDescribe) {
  test::RecordingHttpServer backend;
  BackgroundPoster poster;
  ::setenv("TVRN_BACKEND_URL", backend.baseURL().c_str(), 1);
  const json params = {{"query", "mail"}, {"empty", ""}, {"count", 5}, {"flag", true}};
  const struct {
    std::string what;
    TelemetrySpec spec;
    std::optional<std::string> machineId;
    std::string body;
  } cases[] = {
      {"every kind of tag",
       {"searched",
        {literal("kind", "search"), fromParam("query", "query"), fromParam("count", "count"),
         fromParam("gone", "absent"), fromParam("has_query", "query", "non_empty"),
         fromParam("has_empty", "empty", "non_empty"), fromParam("has_count", "count", "non_empty"),
         fromParam("hidden", "query", "non_empty", true), literal("secret", "s3cret", true),
         fromParam("flag", "flag", "upper"), literal("kind", "replaced")}},
       "M-1",
       R"({"type": "searched", "machine_id": "M-1", "source": "manifest_engine", "data": {
           "kind": "replaced", "query": "mail", "count": 5, "has_query": true, "has_empty": false,
           "has_count": false, "hidden": "[redacted]", "secret": "[redacted]", "flag": true}})"},
      {"no tag gives a value",
       {"quiet", {fromParam("gone", "absent")}},
       "",
       R"({"type": "quiet", "machine_id": "", "source": "manifest_engine"})"},
      {"no machine identifier",
       {"", {}},
       std::nullopt,
       R"({"type": "", "source": "manifest_engine"})"},
  };
  for (const auto& c : cases) TelemetryEngine::fire(poster, c.spec, params, c.machineId);

  ASSERT_TRUE(backend.waitForRequests(std::size(cases), 10s));
  const auto requests = backend.requests();
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].what);
    EXPECT_EQ(requests[i].method, "POST");
    EXPECT_EQ(requests[i].path, "/events");
    EXPECT_EQ(requests[i].header("Content-Type"), "application/json");
    EXPECT_EQ(requests[i].json(), json::parse(cases[i].body));
  }
}

TEST(TelemetryEngineTest, NeitherWaitsForNorReportsOnTheBackEnd) {
  test::RecordingHttpServer backend;
  test::CannedResponse slow;
  slow.status = 500;
  slow.delay = 60s;
  backend.respond("/events", slow);
  BackgroundPoster poster;
  const TelemetrySpec spec{"ran", {}};
  {
    // The test environment's back end address refuses connections.
    test::CapturedStderr log;
    TelemetryEngine::fire(poster, spec, json::object(), "M");
    // The variable exists already, so replacing it does not move the environment under the
    // sending thread.
    ::setenv("TVRN_BACKEND_URL", backend.baseURL().c_str(), 1);
    TelemetryEngine::fire(poster, spec, json::object(), "M");
    TelemetryEngine::fire(poster, spec, json::object(), "M");
    // Events go out one after another, so the first one reaching the fake means the refused
    // one is over; the fake has not answered yet, and every fire has returned.
    ASSERT_TRUE(backend.waitForRequests(1, 10s));
    EXPECT_EQ(log.text(), "");
  }
  EXPECT_EQ(backend.requestCount(), 1u);
}

}  // namespace
}  // namespace tvrn
