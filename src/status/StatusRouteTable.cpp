#include "status/StatusRouteTable.h"

#include <algorithm>
#include <array>
#include <exception>
#include <string_view>
#include <utility>

#include "core/Logger.h"

namespace tvrn {
namespace {

namespace http = boost::beast::http;

// The longest request line, and the longest header line, served; each counts its line end.
constexpr std::size_t kMaxLine = 8192;
// The methods of HTTP; any other makes no request at all.
constexpr std::array<std::string_view, 10> kMethods = {
    "GET", "HEAD", "POST", "PUT", "DELETE", "CONNECT", "OPTIONS", "TRACE", "PATCH", "PRI"};
// Methods a route could take: without one, what they ask for is not found rather than refused.
constexpr std::array<std::string_view, 4> kUnroutedMethods = {"PUT", "DELETE", "OPTIONS", "PATCH"};

std::string_view view(boost::beast::string_view text) { return {text.data(), text.size()}; }

bool contains(const auto& methods, std::string_view method) {
  return std::find(methods.begin(), methods.end(), method) != methods.end();
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The target's path: what comes before the query, its percent-escapes decoded.
std::string pathOf(std::string_view target) {
  target = target.substr(0, target.find('?'));
  std::string path;
  path.reserve(target.size());
  for (std::size_t at = 0; at < target.size(); ++at) {
    const bool escape = target[at] == '%' && at + 2 < target.size() &&
                        hexValue(target[at + 1]) >= 0 && hexValue(target[at + 2]) >= 0;
    if (escape) {
      path += static_cast<char>(hexValue(target[at + 1]) * 16 + hexValue(target[at + 2]));
      at += 2;
    } else {
      path += target[at];
    }
  }
  return path;
}

// The status a request is refused with before anything looks at it; 0 when it may be served.
// Lines count as "METHOD target HTTP/1.1" and "Name: value", each with its line end.
int refusal(const StatusRequest& request) {
  constexpr std::size_t kRequestLineFrame = std::string_view("  HTTP/1.1\r\n").size();
  constexpr std::size_t kHeaderLineFrame = std::string_view(": \r\n").size();
  const std::string_view method = view(request.method_string());
  if (method.size() + request.target().size() + kRequestLineFrame > kMaxLine) return 414;
  for (const auto& field : request) {
    if (field.name_string().size() + field.value().size() + kHeaderLineFrame > kMaxLine) {
      return 400;
    }
  }
  return contains(kMethods, method) ? 0 : 400;
}

// Every answer closes the connection and gives its length; a HEAD answer leaves out the body.
void finish(const StatusRequest& request, StatusResponse& response) {
  response.version(11);
  response.keep_alive(false);
  if (!response.body().empty() && response.find(http::field::content_type) == response.end()) {
    response.set(http::field::content_type, "text/plain");
  }
  response.content_length(response.body().size());
  if (request.method() == http::verb::head) response.body().clear();
}

// A handler that throws leaves no half-made answer behind.
void fail(StatusResponse& response, std::string_view reason) {
  Logger::error("status", "A status route failed: " + std::string(reason));
  response = StatusResponse{http::status::internal_server_error, 11};
}

}  // namespace

void StatusRouteTable::screen(Screen screen) { screen_ = std::move(screen); }

void StatusRouteTable::get(std::string path, Handler handler) {
  get_.insert_or_assign(std::move(path), std::move(handler));
}

void StatusRouteTable::post(std::string path, Handler handler) {
  post_.insert_or_assign(std::move(path), std::move(handler));
}

StatusResponse StatusRouteTable::answer(const StatusRequest& request) const {
  StatusResponse response{http::status::ok, 11};
  if (const int refused = refusal(request); refused != 0) {
    response.result(static_cast<unsigned>(refused));
  } else {
    try {
      if (!screen_ || !screen_(request, response)) route(request, response);
    } catch (const std::exception& failure) {
      fail(response, failure.what());
    } catch (...) {
      fail(response, "an unknown exception");
    }
  }
  finish(request, response);
  return response;
}

void StatusRouteTable::route(const StatusRequest& request, StatusResponse& response) const {
  const std::string_view method = view(request.method_string());
  const Routes* routes = method == "GET" || method == "HEAD" ? &get_
                         : method == "POST"                  ? &post_
                                                             : nullptr;
  if (routes == nullptr) {
    response.result(contains(kUnroutedMethods, method) ? http::status::not_found
                                                       : http::status::bad_request);
    return;
  }
  const auto found = routes->find(pathOf(view(request.target())));
  if (found == routes->end()) {
    response.result(http::status::not_found);
    return;
  }
  found->second(request, response);
}

}  // namespace tvrn
