#include "tools/m365/M365Graph.h"

#include <chrono>
#include <nlohmann/json.hpp>
#include <utility>

#include "base/PercentEncoding.h"
#include "platform/Endpoints.h"
#include "platform/HttpClient.h"
#include "tools/m365/M365Account.h"
#include "tools/m365/M365Records.h"
#include "tools/m365/M365Texts.h"

namespace tvrn::M365Tools {
namespace {

using nlohmann::json;
namespace Texts = M365Texts;

constexpr std::chrono::seconds kGraphTimeout{20};

std::string httpError(int status) {
  return std::string(Texts::kGraphHTTPError) + std::to_string(status);
}

// The text member `name` of Graph's {"error": {...}} object in an error answer, if it has one.
std::optional<std::string> graphErrorMember(const std::string& body, const char* name) {
  const json parsed = json::parse(body, nullptr, false);
  if (!parsed.is_object()) return std::nullopt;
  const auto error = parsed.find("error");
  if (error == parsed.end() || !error->is_object()) return std::nullopt;
  const auto member = error->find(name);
  if (member == error->end() || !member->is_string()) return std::nullopt;
  return member->get<std::string>();
}

ToolError postFailure(const HttpResponse& response) {
  if (response.status == 403) {
    const auto code = graphErrorMember(response.body, "code");
    if (code && code->find("InsufficientPrivileges") != std::string::npos) {
      return failure(Texts::kNeedsExpandedPermissions);
    }
    return failure(Texts::kAccessDeniedAction);
  }
  return failure(graphErrorMember(response.body, "message").value_or(httpError(response.status)));
}

ToolError statusFailure(const HttpRequest& request, const HttpResponse& response) {
  const int status = response.status;
  if (status == 401) return failure(Texts::kSessionExpired);
  if (request.method == "POST") return postFailure(response);
  if (request.method == "DELETE") {
    return failure(status == 404 ? std::string(Texts::kEventNotFound) : httpError(status));
  }
  return failure(status == 403 ? std::string(Texts::kAccessDeniedRead) : httpError(status));
}

GraphBody exchange(std::string method, const std::string& url, const std::string& token,
                   HttpHeaders extraHeaders, std::string body = {}) {
  HttpRequest request;
  request.method = std::move(method);
  request.url = url;
  request.headers = {{"Authorization", "Bearer " + token}};
  for (auto& header : extraHeaders) request.headers.push_back(std::move(header));
  request.body = std::move(body);
  request.timeout = kGraphTimeout;
  HttpResult answer = HttpClient::perform(request);
  if (!answer) return fail(failure(std::string(Texts::kNetworkError) + answer.error().message));
  if (answer.value().status >= 400) return fail(statusFailure(request, answer.value()));
  return std::move(answer).value().body;
}

}  // namespace

std::string graphRoot() { return Endpoints::graph() + "/v1.0"; }

GraphBody m365GET(const std::string& url, const std::string& token, bool consistencyLevel) {
  HttpHeaders headers{{"Accept", "application/json"}};
  if (consistencyLevel) headers.emplace_back("ConsistencyLevel", "eventual");
  return exchange("GET", url, token, std::move(headers));
}

GraphBody m365POST(const std::string& url, const std::string& token, std::string body) {
  return exchange("POST", url, token, {{"Content-Type", "application/json"}}, std::move(body));
}

Result<std::monostate, ToolError> m365DELETE(const std::string& url, const std::string& token) {
  GraphBody answer = exchange("DELETE", url, token, {});
  if (!answer) return fail(answer.error());
  return std::monostate{};
}

Result<std::optional<std::string>, ToolError> m365PostMessage(const std::string& url,
                                                              const std::string& token,
                                                              std::string_view text) {
  const json message = {{"body", {{"content", text}, {"contentType", "text"}}}};
  GraphBody sent = m365POST(url, token, jsonText(message));
  if (!sent) return fail(sent.error());
  return textOf(json::parse(sent.value(), nullptr, false), "id");
}

std::optional<GraphBody> m365TeamsChatSendViaGraph(const ConfigManager& settings,
                                                   std::string_view chatId, std::string_view text) {
  auto token = m365AccessToken(settings);
  if (!token) return std::nullopt;
  auto sent =
      m365PostMessage(graphRoot() + "/chats/" + PercentEncoding::pathSegment(chatId) + "/messages",
                      token.value(), text);
  if (!sent) return GraphBody(fail(sent.error()));
  return GraphBody(Texts::messageSent(sent.value()));
}

}  // namespace tvrn::M365Tools
