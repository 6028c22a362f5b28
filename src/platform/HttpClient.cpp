#include "platform/HttpClient.h"

#include <curl/curl.h>
#include <strings.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

#include "Version.h"

namespace tvrn {
namespace {

constexpr long kMaxRedirects = 10;
constexpr int kPollMilliseconds = 1000;

HttpError makeError(HttpError::Kind kind, std::string message) {
  return {kind, std::move(message)};
}

bool isToken(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || c == '.';
  });
}

// A header that carried a line break would let its value write further header lines.
bool isSafeHeaderValue(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

bool hasHeader(const HttpHeaders& headers, std::string_view name) {
  return std::any_of(headers.begin(), headers.end(), [&](const auto& header) {
    return header.first.size() == name.size() &&
           ::strncasecmp(header.first.c_str(), name.data(), name.size()) == 0;
  });
}

std::optional<HttpError> checkURL(const std::string& url) {
  std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> parsed(curl_url(), curl_url_cleanup);
  if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) {
    return makeError(HttpError::Kind::unsupportedURL, "unsupported URL: " + url);
  }
  char* scheme = nullptr;
  if (curl_url_get(parsed.get(), CURLUPART_SCHEME, &scheme, 0) != CURLUE_OK) {
    return makeError(HttpError::Kind::unsupportedURL, "unsupported URL: " + url);
  }
  const std::string_view name(scheme);
  const bool allowed = name == "http" || name == "https";
  curl_free(scheme);
  if (!allowed) return makeError(HttpError::Kind::unsupportedURL, "unsupported URL: " + url);
  return std::nullopt;
}

struct HeaderList {
  curl_slist* list = nullptr;
  ~HeaderList() { curl_slist_free_all(list); }
  bool add(const std::string& line) {
    curl_slist* grown = curl_slist_append(list, line.c_str());
    if (grown == nullptr) return false;
    list = grown;
    return true;
  }
};

std::optional<HttpError> buildHeaders(const HttpRequest& request, bool sendsBody, HeaderList& out) {
  for (const auto& [name, value] : request.headers) {
    if (!isToken(name) || !isSafeHeaderValue(value)) {
      return makeError(HttpError::Kind::invalidRequest, "invalid header: " + name);
    }
    // curl drops "Name:" as a removal; "Name;" is how an empty value is sent.
    const std::string line = value.empty() ? name + ";" : name + ": " + value;
    if (!out.add(line)) return makeError(HttpError::Kind::failed, "out of memory");
  }
  // curl would otherwise wait for "100 Continue" on large bodies and label bodies as forms.
  if (!out.add("Expect:")) return makeError(HttpError::Kind::failed, "out of memory");
  if (sendsBody && !hasHeader(request.headers, "Content-Type") && !out.add("Content-Type:")) {
    return makeError(HttpError::Kind::failed, "out of memory");
  }
  return std::nullopt;
}

size_t appendBody(char* data, size_t size, size_t count, void* target) {
  static_cast<std::string*>(target)->append(data, size * count);
  return size * count;
}

HttpError::Kind kindOf(CURLcode code) {
  switch (code) {
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
      return HttpError::Kind::unsupportedURL;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_CONNECT:
      return HttpError::Kind::cannotConnect;
    case CURLE_OPERATION_TIMEDOUT:
      return HttpError::Kind::timedOut;
    default:
      return HttpError::Kind::failed;
  }
}

// Reports to this machine's own services name tools the user ran; a proxy from the environment
// must never see them. Setting the list replaces the user's own no_proxy, so that is kept too.
std::string noProxyHosts() {
  std::string hosts = "localhost,127.0.0.1,::1";
  const char* user = std::getenv("no_proxy");
  if (user == nullptr || *user == '\0') user = std::getenv("NO_PROXY");
  if (user == nullptr || *user == '\0') return hosts;
  if (std::string_view(user) == "*") return user;  // the wildcard only counts on its own
  return hosts + "," + user;
}

HttpHeaders responseHeaders(CURL* easy) {
  HttpHeaders headers;
  curl_header* previous = nullptr;
  // -1: the last request of the transfer, i.e. the answer after any redirects.
  while (curl_header* header = curl_easy_nextheader(easy, CURLH_HEADER, -1, previous)) {
    headers.emplace_back(header->name, header->value);
    previous = header;
  }
  return headers;
}

void configure(CURL* easy, const HttpRequest& request, bool sendsBody, curl_slist* headers,
               std::string* body, char* errorText) {
  curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(easy, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl_easy_setopt(easy, CURLOPT_NOPROXY, noProxyHosts().c_str());  // copied by curl
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(request.timeout.count()));
  curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "");
  const std::string agent = std::string("Tavrin/") + kAppVersion;
  curl_easy_setopt(easy, CURLOPT_USERAGENT, agent.c_str());  // copied by curl
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, appendBody);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, body);
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorText);
  if (request.method == "HEAD") {
    curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
  } else if (sendsBody) {
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(request.body.size()));
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, request.body.data());
    if (request.method != "POST") {
      curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    }
  } else if (request.method != "GET") {
    curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.method.c_str());
  }
}

// Runs the transfer on a multi handle so that a stop request can wake the wait at once.
Result<CURLcode, HttpError> drive(CURL* easy, std::stop_token stop) {
  std::unique_ptr<CURLM, decltype(&curl_multi_cleanup)> multi(curl_multi_init(),
                                                              curl_multi_cleanup);
  if (!multi || curl_multi_add_handle(multi.get(), easy) != CURLM_OK) {
    return fail(makeError(HttpError::Kind::failed, "could not start the request"));
  }
  std::optional<CURLcode> outcome;
  bool cancelled = false;
  {
    std::stop_callback wake(stop, [handle = multi.get()] { curl_multi_wakeup(handle); });
    int running = 1;
    while (true) {
      if (stop.stop_requested()) {
        cancelled = true;
        break;
      }
      if (curl_multi_perform(multi.get(), &running) != CURLM_OK) break;
      if (running == 0) break;
      if (curl_multi_poll(multi.get(), nullptr, 0, kPollMilliseconds, nullptr) != CURLM_OK) break;
    }
  }
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(multi.get(), &left)) {
    if (message->msg == CURLMSG_DONE && message->easy_handle == easy) {
      outcome = message->data.result;
    }
  }
  curl_multi_remove_handle(multi.get(), easy);
  if (cancelled) return fail(makeError(HttpError::Kind::cancelled, "cancelled"));
  if (!outcome) return fail(makeError(HttpError::Kind::failed, "the request did not finish"));
  return *outcome;
}

}  // namespace

std::optional<std::string> HttpResponse::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (key.size() == name.size() && ::strncasecmp(key.c_str(), name.data(), name.size()) == 0) {
      return value;
    }
  }
  return std::nullopt;
}

namespace HttpClient {

HttpResult perform(const HttpRequest& request, std::stop_token stop) {
  if (!isToken(request.method)) {
    return fail(makeError(HttpError::Kind::invalidRequest, "invalid method: " + request.method));
  }
  if (request.timeout.count() <= 0) {
    return fail(makeError(HttpError::Kind::invalidRequest, "the time-out must be positive"));
  }
  if (auto error = checkURL(request.url)) return fail(std::move(*error));

  const bool sendsBody = request.method != "GET" && request.method != "HEAD";
  HeaderList headers;
  if (auto error = buildHeaders(request, sendsBody, headers)) return fail(std::move(*error));

  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> easy(curl_easy_init(), curl_easy_cleanup);
  if (!easy) return fail(makeError(HttpError::Kind::failed, "could not create a request"));
  HttpResponse response;
  char errorText[CURL_ERROR_SIZE] = {};
  configure(easy.get(), request, sendsBody, headers.list, &response.body, errorText);

  auto code = drive(easy.get(), std::move(stop));
  if (!code.ok()) return fail(code.error());
  if (code.value() != CURLE_OK) {
    std::string message = errorText[0] != '\0' ? errorText : curl_easy_strerror(code.value());
    return fail(makeError(kindOf(code.value()), std::move(message)));
  }
  long status = 0;
  curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &status);
  response.status = static_cast<int>(status);
  response.headers = responseHeaders(easy.get());
  return response;
}

HttpResult get(std::string url, std::chrono::milliseconds timeout, HttpHeaders headers) {
  return perform({"GET", std::move(url), std::move(headers), "", timeout});
}

HttpRequest jsonPostRequest(std::string url, const nlohmann::json& body,
                            std::chrono::milliseconds timeout, HttpHeaders headers) {
  headers.emplace_back("Content-Type", "application/json");
  // Text that is not valid UTF-8 is replaced rather than failing the whole report.
  std::string text = body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  return {"POST", std::move(url), std::move(headers), std::move(text), timeout};
}

HttpResult postJSON(std::string url, const nlohmann::json& body, std::chrono::milliseconds timeout,
                    HttpHeaders headers) {
  return perform(jsonPostRequest(std::move(url), body, timeout, std::move(headers)));
}

void postInBackground(HttpRequest request) { BackgroundPoster::shared().post(std::move(request)); }

void postJSONInBackground(std::string url, const nlohmann::json& body,
                          std::chrono::milliseconds timeout) {
  postInBackground(jsonPostRequest(std::move(url), body, timeout));
}

}  // namespace HttpClient

BackgroundPoster::BackgroundPoster(std::size_t capacity)
    : capacity_(std::max<std::size_t>(capacity, 1)),
      worker_([this](std::stop_token stop) { run(std::move(stop)); }) {}

BackgroundPoster::~BackgroundPoster() { stop(); }

BackgroundPoster& BackgroundPoster::shared() {
  static BackgroundPoster poster;
  return poster;
}

void BackgroundPoster::post(HttpRequest request) {
  {
    std::lock_guard lock(mutex_);
    if (stopped_) return;
    if (queue_.size() >= capacity_) queue_.pop_front();
    queue_.push_back(std::move(request));
  }
  ready_.notify_one();
}

void BackgroundPoster::stop() {
  {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    queue_.clear();
  }
  worker_.request_stop();
  std::call_once(joined_, [this] { worker_.join(); });
}

void BackgroundPoster::run(std::stop_token stop) {
  while (true) {
    HttpRequest request;
    {
      std::unique_lock lock(mutex_);
      if (!ready_.wait(lock, stop, [this] { return !queue_.empty(); })) return;
      request = std::move(queue_.front());
      queue_.pop_front();
    }
    // The answer does not matter to anyone: reports are best effort and never retried.
    (void)HttpClient::perform(request, stop);
  }
}

}  // namespace tvrn
