#include "platform/HttpClient.h"

#include <curl/curl.h>
#include <netdb.h>
#include <strings.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
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

using ParsedURL = std::unique_ptr<CURLU, decltype(&curl_url_cleanup)>;

std::optional<std::string> urlPart(const ParsedURL& parsed, CURLUPart part) {
  char* text = nullptr;
  if (curl_url_get(parsed.get(), part, &text, 0) != CURLUE_OK) return std::nullopt;
  std::string value(text);
  curl_free(text);
  return value;
}

ParsedURL parseURL(std::string_view url) {
  ParsedURL parsed(curl_url(), curl_url_cleanup);
  if (parsed &&
      curl_url_set(parsed.get(), CURLUPART_URL, std::string(url).c_str(), 0) != CURLUE_OK) {
    parsed.reset();
  }
  return parsed;
}

std::string lowerCase(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

std::optional<HttpError> checkURL(const std::string& url) {
  const ParsedURL parsed = parseURL(url);
  const auto scheme = parsed ? urlPart(parsed, CURLUPART_SCHEME) : std::nullopt;
  if (!scheme || (*scheme != "http" && *scheme != "https")) {
    return makeError(HttpError::Kind::unsupportedURL, "unsupported URL: " + url);
  }
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

// Where the answer's body goes, and how much of it may come.
struct BodySink {
  std::string* body;
  std::size_t limit;  // 0: none
  bool exceeded = false;
};

size_t appendBody(char* data, size_t size, size_t count, void* target) {
  auto* sink = static_cast<BodySink*>(target);
  if (sink->limit != 0 && sink->body->size() + size * count > sink->limit) {
    sink->exceeded = true;
    return 0;  // curl ends the transfer with a write error
  }
  sink->body->append(data, size * count);
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

// The first of the variables that is set and not empty.
const char* environmentValue(std::initializer_list<const char*> names) {
  for (const char* name : names) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return value;
  }
  return nullptr;
}

// Whether a no_proxy list names the host: "*" alone names every host, an entry names itself and
// the names under it (a leading dot is optional), compared without regard to case.
bool excludedFromProxy(std::string_view host, std::string_view list) {
  if (list == "*") return true;
  const std::string name = lowerCase(host);
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t end = list.find(',', start);
    if (end == std::string_view::npos) end = list.size();
    std::string entry = lowerCase(list.substr(start, end - start));
    entry.erase(0, entry.find_first_not_of(" \t"));
    entry.erase(entry.find_last_not_of(" \t") + 1);
    if (!entry.empty() && entry.front() == '.') entry.erase(0, 1);
    if (!entry.empty() &&
        (name == entry || (name.size() > entry.size() && name.ends_with("." + entry)))) {
      return true;
    }
    start = end + 1;
  }
  return false;
}

// The proxy curl would take from the environment for the URL, or nothing for a direct request.
// Like curl, plain http reads only the lower-case http_proxy.
std::optional<std::string> environmentProxy(const std::string& url) {
  const ParsedURL parsed = parseURL(url);
  if (!parsed) return std::nullopt;
  const auto scheme = urlPart(parsed, CURLUPART_SCHEME);
  const auto host = urlPart(parsed, CURLUPART_HOST);
  if (!scheme || !host) return std::nullopt;
  const char* proxy = *scheme == "https" ? environmentValue({"https_proxy", "HTTPS_PROXY"})
                                         : environmentValue({"http_proxy"});
  if (proxy == nullptr) proxy = environmentValue({"all_proxy", "ALL_PROXY"});
  if (proxy == nullptr) return std::nullopt;
  std::string bare = *host;
  if (bare.size() > 1 && bare.front() == '[') bare = bare.substr(1, bare.size() - 2);
  if (excludedFromProxy(bare, noProxyHosts())) return std::nullopt;
  return std::string(proxy);
}

curl_socket_t openCheckedSocket(void* policy, curlsocktype, curl_sockaddr* address) {
  if (!(*static_cast<const ConnectPolicy*>(policy))(address->addr)) return CURL_SOCKET_BAD;
  return ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

// Decides the proxy here so that the policy is asked exactly for the direct connections.
void applyConnectPolicy(CURL* easy, const std::string& url, const ConnectPolicy* policy) {
  if (policy == nullptr || !*policy) return;
  if (auto proxy = environmentProxy(url)) {
    curl_easy_setopt(easy, CURLOPT_PROXY, proxy->c_str());  // copied by curl
    return;
  }
  curl_easy_setopt(easy, CURLOPT_PROXY, "");
  curl_easy_setopt(easy, CURLOPT_OPENSOCKETFUNCTION, openCheckedSocket);
  curl_easy_setopt(easy, CURLOPT_OPENSOCKETDATA, policy);
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

void configure(CURL* easy, const HttpRequest& request, const ConnectPolicy* policy, bool sendsBody,
               curl_slist* headers, BodySink* body, char* errorText) {
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
  if (body->limit != 0) {
    curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(body->limit));
  }
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorText);
  applyConnectPolicy(easy, request.url, policy);
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
  return perform(request, ConnectPolicy(), std::move(stop));
}

HttpResult perform(const HttpRequest& request, const ConnectPolicy& policy, std::stop_token stop) {
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
  BodySink sink{&response.body, request.maxBodyBytes};
  configure(easy.get(), request, &policy, sendsBody, headers.list, &sink, errorText);

  auto code = drive(easy.get(), std::move(stop));
  if (!code.ok()) return fail(code.error());
  if (sink.exceeded || code.value() == CURLE_FILESIZE_EXCEEDED) {
    return fail(
        makeError(HttpError::Kind::tooLarge,
                  "the answer is larger than " + std::to_string(request.maxBodyBytes) + " bytes"));
  }
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

std::optional<std::string> hostOf(std::string_view url) {
  const ParsedURL parsed = parseURL(url);
  if (!parsed) return std::nullopt;
  const auto scheme = urlPart(parsed, CURLUPART_SCHEME);
  auto host = urlPart(parsed, CURLUPART_HOST);
  if (!scheme || (*scheme != "http" && *scheme != "https") || !host || host->empty()) {
    return std::nullopt;
  }
  if (host->size() > 1 && host->front() == '[') *host = host->substr(1, host->size() - 2);
  return host;
}

std::vector<sockaddr_storage> resolve(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return {};
  std::vector<sockaddr_storage> addresses;
  for (addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_addrlen > sizeof(sockaddr_storage)) continue;
    sockaddr_storage address{};
    std::memcpy(&address, entry->ai_addr, entry->ai_addrlen);
    addresses.push_back(address);
  }
  ::freeaddrinfo(found);
  return addresses;
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

}  // namespace HttpClient

BackgroundPoster::BackgroundPoster(std::size_t capacity)
    : capacity_(std::max<std::size_t>(capacity, 1)),
      worker_([this](std::stop_token stop) { run(std::move(stop)); }) {}

BackgroundPoster::~BackgroundPoster() { stop(); }

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
