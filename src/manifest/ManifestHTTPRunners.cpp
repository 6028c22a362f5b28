#include "manifest/ManifestHTTPRunners.h"

#include <netinet/in.h>
#include <strings.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>

#include "base/Utf8.h"
#include "bridges/JXARunner.h"
#include "core/JSONValue.h"
#include "core/ToolResponse.h"
#include "manifest/ManifestRunnerTexts.h"
#include "manifest/TemplateEngine.h"

namespace tvrn {
namespace {

namespace Texts = ManifestRunnerTexts;

ToolResult wrongBehavior() {
  return fail(ToolError::executionFailed(std::string(Texts::kWrongBehavior)));
}

ToolResult replyBody(const std::string& body) {
  const auto parsed = JSONValue::parseUntyped(body);
  if (parsed && (parsed->is_object() || parsed->is_array())) {
    return ToolResponse::json(anyToJSONValue(*parsed));
  }
  return ToolResponse::text(Utf8::isValid(body) ? body : std::string());
}

ToolResult syncHTTP(const std::string& url, const std::string& method, HttpHeaders headers,
                    std::int64_t timeoutMs, const ConnectPolicy& policy = {}) {
  const HttpRequest request{method, url, std::move(headers), "",
                            std::chrono::milliseconds(effectiveTimeoutMs(timeoutMs))};
  const HttpResult reply = HttpClient::perform(request, policy);
  if (!reply.ok()) {
    return fail(ToolError::executionFailed(std::string(Texts::kHTTPError) + reply.error().message));
  }
  return replyBody(reply.value().body);
}

bool isLocalhostName(std::string host) {
  for (char& c : host) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (host.ends_with('.')) host.pop_back();  // the root's dot names the same host
  return host == "localhost" || host.ends_with(".localhost");
}

// Header names compare without regard to case; a later one replaces an earlier one.
void setHeader(HttpHeaders& headers, std::string name, std::string value) {
  std::erase_if(headers, [&](const auto& header) {
    return ::strcasecmp(header.first.c_str(), name.c_str()) == 0;
  });
  headers.emplace_back(std::move(name), std::move(value));
}

ToolResult refused() {
  return fail(ToolError::permissionDenied(std::string(Texts::kRemoteLoopback)));
}

}  // namespace

ToolResult ManifestHTTPLocalRunner::execute(const BehaviorSpec& behavior,
                                            const nlohmann::json& params, std::int64_t timeoutMs,
                                            int) {
  const auto* local = behavior.as<BehaviorSpec::HttpLocal>();
  if (local == nullptr) return wrongBehavior();
  const TemplateVars vars = TemplateEngine::vars(params);
  const std::string url =
      TemplateEngine::render(local->baseURL, vars) + TemplateEngine::render(local->path, vars);
  if (!HttpClient::hostOf(url)) {
    return fail(ToolError::executionFailed(std::string(Texts::kLocalInvalidURL) + url));
  }
  return syncHTTP(url, local->httpMethod, {}, timeoutMs);
}

bool ManifestHTTPRemoteRunner::isOwnMachineAddress(const sockaddr& address) {
  if (address.sa_family == AF_INET) {
    const auto& ipv4 = reinterpret_cast<const sockaddr_in&>(address);
    const std::uint32_t host = ntohl(ipv4.sin_addr.s_addr);
    return (host >> 24) == 127 || host == INADDR_ANY;
  }
  if (address.sa_family == AF_INET6) {
    const in6_addr& ipv6 = reinterpret_cast<const sockaddr_in6&>(address).sin6_addr;
    if (IN6_IS_ADDR_LOOPBACK(&ipv6) || IN6_IS_ADDR_UNSPECIFIED(&ipv6)) return true;
    if (IN6_IS_ADDR_V4MAPPED(&ipv6)) {
      const std::uint8_t first = ipv6.s6_addr[12];
      const bool any =
          first == 0 && ipv6.s6_addr[13] == 0 && ipv6.s6_addr[14] == 0 && ipv6.s6_addr[15] == 0;
      return first == 127 || any;
    }
  }
  return false;
}

ManifestHTTPRemoteRunner::ManifestHTTPRemoteRunner(ConnectPolicy allowed)
    : allowed_(allowed ? std::move(allowed)
                       : [](const sockaddr& address) { return !isOwnMachineAddress(address); }) {}

ToolResult ManifestHTTPRemoteRunner::execute(const BehaviorSpec& behavior,
                                             const nlohmann::json& params, std::int64_t timeoutMs,
                                             int) {
  const auto* remote = behavior.as<BehaviorSpec::HttpRemote>();
  if (remote == nullptr) return wrongBehavior();
  const TemplateVars vars = TemplateEngine::vars(params);
  const std::string url = TemplateEngine::render(remote->url, vars);
  const auto host = HttpClient::hostOf(url);
  if (!host) return fail(ToolError::executionFailed(std::string(Texts::kRemoteInvalidURL) + url));
  if (isLocalhostName(*host)) return refused();
  for (const sockaddr_storage& address : HttpClient::resolve(*host)) {
    if (!allowed_(reinterpret_cast<const sockaddr&>(address))) return refused();
  }

  HttpHeaders headers;
  for (const auto& [name, value] : remote->headers) {
    setHeader(headers, TemplateEngine::render(name, vars), TemplateEngine::render(value, vars));
  }
  std::atomic<bool> refusedAtConnect = false;
  const ConnectPolicy checked = [&](const sockaddr& address) {
    if (allowed_(address)) return true;
    refusedAtConnect = true;
    return false;
  };
  ToolResult result = syncHTTP(url, remote->httpMethod, std::move(headers),
                               remote->timeoutMs >= 1 ? remote->timeoutMs : timeoutMs, checked);
  if (!result.ok() && refusedAtConnect) return refused();
  return result;
}

}  // namespace tvrn
