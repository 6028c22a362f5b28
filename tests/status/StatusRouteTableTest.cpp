#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "status/StatusRouteTable.h"

namespace tvrn {
namespace {

namespace http = boost::beast::http;

// What reaches a handler, and how requests that no route takes are answered.
TEST(StatusRouteTableTest, AnswersByMethodAndPathAndRefusesTheRest) {
  StatusRouteTable routes;
  std::vector<std::string> reached;
  routes.screen([&](const StatusRequest& request, StatusResponse& response) {
    if (request.find("X-Refuse") == request.end()) return false;
    response.result(http::status::forbidden);
    response.set(http::field::content_type, "application/json");
    response.body() = "refused";
    return true;
  });
  routes.get("/page", [&](const StatusRequest& request, StatusResponse& response) {
    reached.emplace_back(request.target());
    response.body() = "page";
  });
  routes.post("/echo", [&](const StatusRequest& request, StatusResponse& response) {
    reached.emplace_back(request.target());
    response.set(http::field::content_type, "application/json");
    response.body() = request.body();
  });
  routes.get("/broken", [](const StatusRequest&, StatusResponse& response) {
    response.body() = "half";
    throw std::runtime_error("no answer");
  });

  struct Case {
    std::string method, target;
    unsigned status;
    std::string body, type, length;  // type empty: no Content-Type
    bool refuse = false;
    std::size_t headerValue = 0;  // an X-Big header of that many bytes
  };
  const std::string longPath = "/" + std::string(8176, 'a');  // a request line of 8192 bytes
  const Case cases[] = {
      {"GET", "/page", 200, "page", "text/plain", "4"},
      {"HEAD", "/page", 200, "", "text/plain", "4"},
      {"GET", "/page?x=/echo", 200, "page", "text/plain", "4"},
      {"GET", "/p%61ge", 200, "page", "text/plain", "4"},
      {"POST", "/echo", 200, "{\"a\":1}", "application/json", "7"},
      {"GET", "/page/", 404, "", "", "0"},
      {"GET", "/echo", 404, "", "", "0"},
      {"POST", "/page", 404, "", "", "0"},
      {"PUT", "/page", 404, "", "", "0"},
      {"TRACE", "/page", 400, "", "", "0"},
      {"BREW", "/page", 400, "", "", "0"},
      {"get", "/page", 400, "", "", "0"},
      {"GET", longPath, 404, "", "", "0"},
      {"GET", longPath + "a", 414, "", "", "0"},
      // "X-Big: ", the value and the line end: 8192 bytes, then one more.
      {"GET", "/page", 200, "page", "text/plain", "4", false, 8183},
      {"GET", "/page", 400, "", "", "0", false, 8184},
      {"GET", "/broken", 500, "", "", "0"},
      {"POST", "/echo", 403, "refused", "application/json", "7", true},
      {"TRACE", "/nowhere", 403, "refused", "application/json", "7", true},
      {"BREW", "/page", 400, "", "", "0", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method + " " + c.target.substr(0, 20) + (c.refuse ? " refused" : "") + " " +
                 std::to_string(c.headerValue));
    StatusRequest request;
    request.method_string(c.method);
    request.target(c.target);
    request.version(10);
    if (c.refuse) request.set("X-Refuse", "1");
    if (c.headerValue != 0) request.set("X-Big", std::string(c.headerValue, 'b'));
    if (c.method == "POST") request.body() = R"({"a":1})";
    const StatusResponse response = routes.answer(request);
    EXPECT_EQ(response.result_int(), c.status);
    EXPECT_EQ(response.version(), 11u);
    EXPECT_EQ(response.body(), c.body);
    EXPECT_EQ(response[http::field::content_type], c.type);
    EXPECT_EQ(response[http::field::content_length], c.length);
    EXPECT_EQ(response[http::field::connection], "close");
  }
  EXPECT_EQ(reached, (std::vector<std::string>{"/page", "/page", "/page?x=/echo", "/p%61ge",
                                               "/echo", "/page"}));
}

}  // namespace
}  // namespace tvrn
