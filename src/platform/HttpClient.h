// HTTP requests to outside services and to the loopback status server, over libcurl: each
// request blocks its caller's thread until an answer, a transport failure or its own time-out.
// Only http and https are spoken, and certificates are always verified.
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "base/Result.h"

namespace tvrn {

// Asked before each connection of a request is opened, redirects included, with the address
// about to be reached; false refuses it.
using ConnectPolicy = std::function<bool(const sockaddr& address)>;

// Header lines in order; lookups compare names case-insensitively.
using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
  std::string method = "GET";  // an upper-case token: GET, POST, PUT, PATCH, DELETE, HEAD, ...
  std::string url;             // http:// or https:// only
  HttpHeaders headers;
  std::string body;  // sent for every method except GET and HEAD
  std::chrono::milliseconds timeout{std::chrono::seconds(30)};  // the whole exchange; must be > 0
  // The most body bytes (after decoding) the answer may carry; a longer one fails the request
  // with `tooLarge`. Zero: no limit.
  std::size_t maxBodyBytes = 0;
};

struct HttpResponse {
  int status = 0;
  HttpHeaders headers;  // of the final answer when redirects were followed
  std::string body;     // decoded when the server compressed it

  // The first header of that name (case-insensitive), or nothing.
  std::optional<std::string> header(std::string_view name) const;
  bool isSuccess() const { return status >= 200 && status < 300; }
};

struct HttpError {
  enum class Kind {
    invalidRequest,  // a method, header or time-out that cannot be sent
    unsupportedURL,  // not a valid http or https address
    cannotConnect,   // name not resolved, connection refused
    timedOut,
    cancelled,  // the caller's stop token fired
    tooLarge,   // the answer's body passed the request's maxBodyBytes
    failed,     // any other transport failure (TLS, reset, ...)
  };
  Kind kind = Kind::failed;
  std::string message;  // a readable description of the failure
};

using HttpResult = Result<HttpResponse, HttpError>;

namespace HttpClient {

// Sends one request and waits for it. A stop request on `stop` abandons it at once with
// `cancelled`. Any HTTP status is a response; only transport failures are errors.
HttpResult perform(const HttpRequest& request, std::stop_token stop = {});
// The same, asking the policy before each connection. The proxy the environment names for the
// URL is decided here, as curl would (http_proxy, https_proxy, all_proxy, no_proxy), and kept
// for the whole exchange; the policy is asked only when no proxy is used, since otherwise every
// connection goes to the proxy. A refused connection fails the request with cannotConnect.
HttpResult perform(const HttpRequest& request, const ConnectPolicy& policy,
                   std::stop_token stop = {});

// The host of an http or https URL without the brackets of an IPv6 literal; nothing for another
// scheme, no host or text that is not a URL.
std::optional<std::string> hostOf(std::string_view url);

// The addresses the host resolves to (a literal address gives itself); empty when none.
std::vector<sockaddr_storage> resolve(const std::string& host);

HttpResult get(std::string url, std::chrono::milliseconds timeout, HttpHeaders headers = {});

// A POST whose body is the value as compact JSON, with "Content-Type: application/json".
HttpRequest jsonPostRequest(std::string url, const nlohmann::json& body,
                            std::chrono::milliseconds timeout, HttpHeaders headers = {});
HttpResult postJSON(std::string url, const nlohmann::json& body, std::chrono::milliseconds timeout,
                    HttpHeaders headers = {});

}  // namespace HttpClient

// Sends requests one after another on a worker thread of its own, so reports never hold up the
// caller. Only the newest requests wait: past the capacity the oldest waiting one is dropped.
class BackgroundPoster {
 public:
  static constexpr std::size_t kDefaultCapacity = 256;

  explicit BackgroundPoster(std::size_t capacity = kDefaultCapacity);
  ~BackgroundPoster();
  BackgroundPoster(const BackgroundPoster&) = delete;
  BackgroundPoster& operator=(const BackgroundPoster&) = delete;

  // Queues the request and returns without waiting; after stop() it is dropped.
  void post(HttpRequest request);

  // Drops what still waits, abandons the request in flight and joins the worker. Idempotent.
  void stop();

 private:
  void run(std::stop_token stop);

  const std::size_t capacity_;
  std::mutex mutex_;  // guards queue_ and stopped_
  std::condition_variable_any ready_;
  std::deque<HttpRequest> queue_;
  bool stopped_ = false;
  std::once_flag joined_;  // a second stop() waits for the first one's join
  std::jthread worker_;    // last, so it starts after the members it uses exist
};

}  // namespace tvrn
