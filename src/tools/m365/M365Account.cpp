#include "tools/m365/M365Account.h"

#include <string>
#include <utility>
#include <vector>

#include "base/Base64.h"
#include "base/PercentEncoding.h"
#include "base/WallClock.h"
#include "core/ConfigManager.h"
#include "core/Timeouts.h"
#include "core/ToolResponse.h"
#include "platform/Endpoints.h"
#include "platform/HttpClient.h"
#include "tools/m365/M365Texts.h"

namespace tvrn::M365Tools {
namespace {

using nlohmann::json;
namespace Texts = M365Texts;

constexpr double kRenewWithin = 300;        // seconds of life left at which the gate renews
constexpr double kConnectedMargin = 60;     // the connect tool's own, shorter margin
constexpr double kDefaultTokenLife = 3600;  // when a token answer names none
constexpr long long kDefaultCodeLife = 900;

ToolError failure(std::string_view text) { return ToolError::executionFailed(std::string(text)); }

std::string textOf(const json& object, const char* key) {
  const auto found = object.find(key);
  return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

std::optional<double> numberOf(const json& object, const char* key) {
  const auto found = object.find(key);
  if (found == object.end() || !found->is_number()) return std::nullopt;
  return found->get<double>();
}

bool hasText(const json& object, const char* key) {
  const auto found = object.find(key);
  return found != object.end() && found->is_string();
}

// The failure every step reports when its change could not be stored; the file is then as it was.
Result<std::monostate, ToolError> store(const ConfigManager& settings, const json& updates) {
  if (!settings.save(updates)) return fail(failure(Texts::kCouldNotSave));
  return std::monostate{};
}

json clearedPending() {
  return {{kPendingDeviceCodeKey, ""}, {kPendingUserCodeKey, ""}, {kPendingExpiryKey, 0}};
}

// What came back from the identity platform: a transport failure's message, or the answer parsed
// when it is a JSON object. The HTTP status is not looked at: the body alone decides.
using IdentityAnswer = Result<std::optional<json>, std::string>;

IdentityAnswer postForm(std::string_view endpoint,
                        const std::vector<std::pair<std::string_view, std::string_view>>& fields) {
  std::string form;
  for (const auto& [name, value] : fields) {
    if (!form.empty()) form += '&';
    form += std::string(name) + "=" + PercentEncoding::formValue(value);
  }
  HttpRequest request;
  request.method = "POST";
  request.url = Endpoints::login() + "/common/oauth2/v2.0/" + std::string(endpoint);
  request.headers = {{"Content-Type", "application/x-www-form-urlencoded"}};
  request.body = std::move(form);
  request.timeout = std::chrono::seconds(static_cast<int>(Timeouts::networkMedium));
  HttpResult answer = HttpClient::perform(request);
  if (!answer) return fail(answer.error().message);
  json body = json::parse(answer.value().body, nullptr, false);
  if (!body.is_object()) return std::optional<json>();
  return std::optional<json>(std::move(body));
}

bool hasAccessToken(const json& answer) { return !textOf(answer, "access_token").empty(); }

}  // namespace

TokenAnswer m365RequestDeviceCode() {
  IdentityAnswer answer =
      postForm("devicecode", {{"client_id", Texts::kClientId}, {"scope", Texts::kScopes}});
  if (!answer) return fail(failure(std::string(Texts::kNetworkError) + answer.error()));
  const std::optional<json>& object = answer.value();
  if (!object) return fail(failure(Texts::kInvalidAuthResponse));
  if (hasText(*object, "error")) {
    const std::string reason = hasText(*object, "error_description")
                                   ? textOf(*object, "error_description")
                                   : textOf(*object, "error");
    return fail(failure(std::string(Texts::kAuthError) + reason));
  }
  // Without both codes the user could be shown no code, or sign in to a code never polled.
  if (textOf(*object, "device_code").empty() || textOf(*object, "user_code").empty()) {
    return fail(failure(Texts::kInvalidAuthResponse));
  }
  return *object;
}

TokenAnswer m365PollToken(std::string_view deviceCode) {
  IdentityAnswer answer = postForm("token", {{"grant_type", Texts::kDeviceCodeGrant},
                                             {"device_code", deviceCode},
                                             {"client_id", Texts::kClientId}});
  if (!answer) return fail(failure(std::string(Texts::kNetworkError) + answer.error()));
  const std::optional<json>& object = answer.value();
  if (object && hasText(*object, "error")) return fail(failure(textOf(*object, "error")));
  // An answer that grants no token is no sign-in: storing it would leave a connected-looking
  // account that no tool can use.
  if (!object || !hasAccessToken(*object)) return fail(failure(Texts::kInvalidTokenResponse));
  return *object;
}

TokenAnswer m365RefreshToken(std::string_view refreshToken) {
  IdentityAnswer answer = postForm("token", {{"grant_type", "refresh_token"},
                                             {"refresh_token", refreshToken},
                                             {"client_id", Texts::kClientId},
                                             {"scope", Texts::kScopes}});
  if (!answer) return fail(failure(answer.error()));
  const std::optional<json>& object = answer.value();
  if (object && object->contains("error")) return fail(failure(Texts::kRefreshFailed));
  // Without a new access token the renewal failed, and the stored tokens must stay as they are.
  if (!object || !hasAccessToken(*object)) return fail(failure(Texts::kInvalidRefreshResponse));
  return *object;
}

Result<std::string, ToolError> m365AccessToken(const ConfigManager& settings) {
  const json config = settings.load();
  const std::string accessToken = textOf(config, kAccessTokenKey);
  std::string refreshToken = textOf(config, kRefreshTokenKey);
  const double expiry = numberOf(config, kTokenExpiryKey).value_or(0);
  if (accessToken.empty()) return fail(failure(Texts::kNotConnected));
  if (expiry - WallClock::secondsSince1970() > kRenewWithin) return accessToken;
  if (refreshToken.empty()) return fail(failure(Texts::kSessionExpired));

  TokenAnswer renewed = m365RefreshToken(refreshToken);
  if (!renewed) return fail(failure(Texts::kSessionExpired));
  const json& answer = renewed.value();
  const std::string newAccessToken = textOf(answer, "access_token");
  if (hasText(answer, "refresh_token")) refreshToken = textOf(answer, "refresh_token");
  const double life = numberOf(answer, "expires_in").value_or(kDefaultTokenLife);
  auto saved = store(settings, {{kAccessTokenKey, newAccessToken},
                                {kRefreshTokenKey, refreshToken},
                                {kTokenExpiryKey, WallClock::secondsSince1970() + life}});
  if (!saved) return fail(saved.error());
  return newAccessToken;
}

std::optional<std::string> jwtEmail(std::string_view token) {
  std::vector<std::string_view> pieces;
  std::size_t start = 0;
  while (start <= token.size()) {
    const std::size_t dot = std::min(token.find('.', start), token.size());
    if (dot > start) pieces.push_back(token.substr(start, dot - start));
    start = dot + 1;
  }
  if (pieces.size() < 2) return std::nullopt;
  const std::optional<std::string> payload = Base64::decodeURL(pieces[1]);
  if (!payload) return std::nullopt;
  const json claims = json::parse(*payload, nullptr, false);
  if (!claims.is_object()) return std::nullopt;
  for (const char* claim : {"preferred_username", "upn", "email"}) {
    if (hasText(claims, claim)) return textOf(claims, claim);
  }
  return std::nullopt;
}

namespace {

ToolResult finishSignIn(const ConfigManager& settings, const json& tokens) {
  const std::string accessToken = textOf(tokens, "access_token");
  const std::string account = jwtEmail(accessToken).value_or(std::string(Texts::kYourAccount));
  const double life = numberOf(tokens, "expires_in").value_or(kDefaultTokenLife);
  json updates = clearedPending();
  updates[kAccessTokenKey] = accessToken;
  updates[kRefreshTokenKey] = textOf(tokens, "refresh_token");
  updates[kTokenExpiryKey] = WallClock::secondsSince1970() + life;
  updates[kAccountEmailKey] = account;
  auto saved = store(settings, updates);
  if (!saved) return fail(saved.error());
  return ToolResponse::text(Texts::connected(account));
}

ToolResult pollPendingSignIn(const ConfigManager& settings, const std::string& deviceCode,
                             const std::string& userCode, double pendingExpiry) {
  TokenAnswer tokens = m365PollToken(deviceCode);
  if (tokens) return finishSignIn(settings, tokens.value());
  const std::string& reason = tokens.error().payload();
  if (reason.find("authorization_pending") != std::string::npos ||
      reason.find("slow_down") != std::string::npos) {
    const auto secondsLeft = static_cast<long long>(pendingExpiry - WallClock::secondsSince1970());
    return ToolResponse::text(Texts::stillWaiting(secondsLeft / 60, userCode));
  }
  auto saved = store(settings, clearedPending());
  if (!saved) return fail(saved.error());
  return fail(failure(Texts::codeExpired(reason)));
}

ToolResult startSignIn(const ConfigManager& settings) {
  TokenAnswer code = m365RequestDeviceCode();
  if (!code) return fail(code.error());
  const json& answer = code.value();
  const std::string userCode = textOf(answer, "user_code");
  const std::string page = hasText(answer, "verification_uri")
                               ? textOf(answer, "verification_uri")
                               : std::string(Texts::kDeviceLoginPage);
  const auto life = answer.find("expires_in");
  const long long seconds =
      life != answer.end() && life->is_number_integer() ? life->get<long long>() : kDefaultCodeLife;
  auto saved = store(settings, {{kPendingDeviceCodeKey, textOf(answer, "device_code")},
                                {kPendingUserCodeKey, userCode},
                                {kPendingExpiryKey, WallClock::secondsSince1970() + seconds}});
  if (!saved) return fail(saved.error());
  return ToolResponse::text(Texts::signInSteps(page, userCode, seconds / 60));
}

}  // namespace

ToolResult connectM365Account(const ConfigManager& settings, const Params::Arguments&) {
  const json config = settings.load();
  const double now = WallClock::secondsSince1970();
  const std::optional<double> tokenExpiry = numberOf(config, kTokenExpiryKey);
  if (!textOf(config, kAccessTokenKey).empty() && tokenExpiry &&
      now + kConnectedMargin < *tokenExpiry) {
    const std::string email = hasText(config, kAccountEmailKey) ? textOf(config, kAccountEmailKey)
                                                                : std::string(Texts::kYourAccount);
    return ToolResponse::text(Texts::alreadyConnected(email));
  }
  const std::string deviceCode = textOf(config, kPendingDeviceCodeKey);
  const std::optional<double> pendingExpiry = numberOf(config, kPendingExpiryKey);
  if (!deviceCode.empty() && pendingExpiry && now < *pendingExpiry) {
    return pollPendingSignIn(settings, deviceCode, textOf(config, kPendingUserCodeKey),
                             *pendingExpiry);
  }
  return startSignIn(settings);
}

ToolResult disconnectM365Account(const ConfigManager& settings, const Params::Arguments&) {
  const std::string email = textOf(settings.load(), kAccountEmailKey);
  auto saved = store(settings, {{kAccessTokenKey, ""},
                                {kRefreshTokenKey, ""},
                                {kTokenExpiryKey, 0},
                                {kAccountEmailKey, ""},
                                {kPendingDeviceCodeKey, ""},
                                {kPendingUserCodeKey, ""},
                                {kPendingExpiryKey, 0}});
  if (!saved) return fail(saved.error());
  return ToolResponse::text(Texts::disconnected(email));
}

AccountState accountState(const ConfigManager& settings) {
  const json config = settings.load();
  return {!textOf(config, kAccessTokenKey).empty(), textOf(config, kAccountEmailKey)};
}

}  // namespace tvrn::M365Tools
