#include "tools/servicenow/ServiceNowConnection.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <utility>

#include "base/Base64.h"
#include "base/Utf8.h"
#include "core/ConfigManager.h"
#include "core/ToolResponse.h"
#include "platform/HttpClient.h"
#include "tools/servicenow/ServiceNowTexts.h"

namespace tvrn::ServiceNowTools {
namespace {

using nlohmann::json;
namespace Texts = ServiceNowTexts;

constexpr std::chrono::seconds kRequestTimeout{20};
constexpr std::size_t kErrorBodyCharacters = 200;

ToolError failure(std::string_view text) { return ToolError::executionFailed(std::string(text)); }

std::string textSetting(const json& settings, const char* key) {
  const auto found = settings.find(key);
  return found != settings.end() && found->is_string() ? found->get<std::string>() : std::string();
}

void removeAll(std::string& text, std::string_view piece) {
  for (auto at = text.find(piece); at != std::string::npos; at = text.find(piece, at)) {
    text.erase(at, piece.size());
  }
}

bool isHostCharacter(char ch) {
  return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') ||
         ch == '.' || ch == '-';
}

bool isPort(std::string_view text) {
  if (text.empty() || text.size() > 5 || text.front() == '0') return false;
  int port = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
  return error == std::errc() && end == text.data() + text.size() && port >= 1 && port <= 65535;
}

// The start of an error body as a reader sees it, or nothing when it is not UTF-8.
std::string bodyExcerpt(const std::string& body) {
  return Utf8::isValid(body) ? Utf8::firstCharacters(body, kErrorBodyCharacters) : "";
}

SNBody exchange(std::string method, const std::string& url, const std::string& auth,
                std::string body = {}) {
  HttpRequest request;
  request.method = std::move(method);
  request.url = url;
  request.headers = {{"Authorization", "Basic " + auth}, {"Accept", "application/json"}};
  if (request.method != "GET") request.headers.emplace_back("Content-Type", "application/json");
  request.body = std::move(body);
  request.timeout = kRequestTimeout;
  HttpResult answer = HttpClient::perform(request);
  if (!answer) return fail(failure(answer.error().message));
  const HttpResponse& response = answer.value();
  const int status = response.status;
  if (status <= 0) return fail(failure(Texts::kNoHTTPResponse));
  if (status == 401) return fail(failure(Texts::kAuthFailed));
  if (status >= 400 && request.method == "GET") {
    if (status == 403) return fail(failure(Texts::kAccessDenied));
    return fail(failure("ServiceNow returned HTTP " + std::to_string(status)));
  }
  if (status >= 400) {
    return fail(failure("ServiceNow error HTTP " + std::to_string(status) + ": " +
                        bodyExcerpt(response.body)));
  }
  return std::move(answer).value().body;
}

}  // namespace

std::string normaliseInstance(std::string text) {
  removeAll(text, "https://");
  removeAll(text, "http://");
  const auto first = text.find_first_not_of('/');
  text =
      first == std::string::npos ? "" : text.substr(first, text.find_last_not_of('/') - first + 1);
  // A bare name takes the suffix before its port: "mycompany:8443" is mycompany's instance.
  const std::size_t nameEnd = std::min(text.find(':'), text.size());
  if (text.find('.') >= nameEnd) text.insert(nameEnd, Texts::kHostedSuffix);
  return text;
}

bool isPlainHost(std::string_view host) {
  const auto colon = host.find(':');
  const std::string_view name = host.substr(0, colon);
  // Empty labels ("", ".x", "x..y") name no host.
  if (name.empty() || name.front() == '.' || name.back() == '.' ||
      name.find("..") != std::string_view::npos) {
    return false;
  }
  for (const char ch : name) {
    if (!isHostCharacter(ch)) return false;
  }
  return colon == std::string_view::npos || isPort(host.substr(colon + 1));
}

std::string instanceOrigin(const std::string& host) {
  const char* scheme = std::getenv("TVRN_SERVICENOW_SCHEME");
  const bool loopback = host == "127.0.0.1" || host.starts_with("127.0.0.1:");
  if (loopback && scheme != nullptr && std::string_view(scheme) == "http") return "http://" + host;
  return "https://" + host;
}

Result<Credentials, ToolError> snCredentials(const ConfigManager& settings) {
  const json values = settings.load();
  Credentials credentials{textSetting(values, kInstanceKey), textSetting(values, kAuthKey),
                          textSetting(values, kUsernameKey)};
  if (credentials.host.empty() || credentials.auth.empty() || !isPlainHost(credentials.host)) {
    return fail(failure(Texts::kNotConnected));
  }
  return credentials;
}

SNBody snGET(const std::string& url, const std::string& auth) { return exchange("GET", url, auth); }

SNBody snPOST(const std::string& url, const std::string& auth, std::string body) {
  return exchange("POST", url, auth, std::move(body));
}

SNBody snPATCH(const std::string& url, const std::string& auth, std::string body) {
  return exchange("PATCH", url, auth, std::move(body));
}

ToolResult connectServiceNow(const ConfigManager& settings, const Params::Arguments& arguments) {
  std::string values[3];
  const char* names[3] = {"instance", "username", "password"};
  for (int i = 0; i < 3; ++i) values[i] = Params::optional(names[i], arguments, "");
  for (int i = 0; i < 3; ++i) {
    if (values[i].empty()) return fail(ToolError::missingParam(names[i]));
  }
  const std::string& username = values[1];
  const std::string host = normaliseInstance(values[0]);
  // Anything beyond a host name ("@", "/", "?") would send the credentials to another server.
  if (!isPlainHost(host)) return fail(failure(std::string(Texts::kInvalidInstance) + host));

  const std::string auth = Base64::encode(username + ":" + values[2]);
  SNBody check = snGET(
      instanceOrigin(host) + "/api/now/table/incident?sysparm_limit=1&sysparm_fields=sys_id", auth);
  if (!check) {
    return fail(failure("Could not connect to " + host + ": " + check.error().description()));
  }
  if (!settings.save({{kInstanceKey, host}, {kAuthKey, auth}, {kUsernameKey, username}})) {
    return fail(failure(Texts::kCouldNotSave));
  }
  return ToolResponse::text(Texts::connected(host, username));
}

ToolResult disconnectServiceNow(const ConfigManager& settings, const Params::Arguments&) {
  const std::string previous = textSetting(settings.load(), kInstanceKey);
  if (!settings.save({{kInstanceKey, ""}, {kAuthKey, ""}, {kUsernameKey, ""}})) {
    return fail(failure(Texts::kCouldNotSave));
  }
  if (previous.empty()) return ToolResponse::text(Texts::kDisconnected);
  return ToolResponse::text("Disconnected from " + previous + ".");
}

}  // namespace tvrn::ServiceNowTools
