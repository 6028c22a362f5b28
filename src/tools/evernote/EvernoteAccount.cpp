#include "tools/evernote/EvernoteAccount.h"

#include <openssl/rand.h>
#include <openssl/sha.h>

#include <nlohmann/json.hpp>
#include <utility>
#include <vector>

#include "base/Base64.h"
#include "base/PercentEncoding.h"
#include "base/WallClock.h"
#include "core/ConfigManager.h"
#include "core/ToolResponse.h"
#include "platform/Endpoints.h"
#include "platform/HttpClient.h"
#include "platform/Opener.h"
#include "tools/evernote/EvernoteCallback.h"
#include "tools/evernote/EvernoteTexts.h"

namespace tvrn::EvernoteTools {
namespace {

using nlohmann::json;
namespace Texts = EvernoteTexts;

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~";
constexpr double kRenewWithin = 300;
constexpr double kConnectedMargin = 60;
constexpr double kDefaultTokenLife = 3600;
constexpr std::chrono::seconds kTokenTimeout{20};
constexpr std::chrono::seconds kUserTimeout{10};

ToolError failure(std::string_view text) { return ToolError::executionFailed(std::string(text)); }

std::string textOf(const json& object, const char* key) {
  const auto found = object.find(key);
  return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

bool hasText(const json& object, const char* key) {
  const auto found = object.find(key);
  return found != object.end() && found->is_string();
}

std::optional<double> numberOf(const json& object, const char* key) {
  const auto found = object.find(key);
  if (found == object.end() || !found->is_number()) return std::nullopt;
  return found->get<double>();
}

using Fields = std::vector<std::pair<std::string_view, std::string_view>>;

std::string encodedQuery(const Fields& fields, std::string (*encode)(std::string_view)) {
  std::string text;
  for (const auto& [name, value] : fields) {
    if (!text.empty()) text += '&';
    text += std::string(name) + "=" + encode(value);
  }
  return text;
}

// A form POST to the token endpoint; every value is form-encoded, so none can add a field.
HttpResult postTokenForm(const Fields& fields) {
  HttpRequest request;
  request.method = "POST";
  request.url = Endpoints::evernote() + "/oauth2/token";
  request.headers = {{"Content-Type", "application/x-www-form-urlencoded"}};
  request.body = encodedQuery(fields, PercentEncoding::formValue);
  request.timeout = kTokenTimeout;
  return HttpClient::perform(request);
}

Result<std::monostate, ToolError> store(const ConfigManager& settings, const json& updates) {
  if (!settings.save(updates)) return fail(failure(Texts::kCouldNotSave));
  return std::monostate{};
}

std::string redirectURI(int port) {
  return "http://127.0.0.1:" + std::to_string(port) + "/callback";
}

ToolResult exchangeCode(const ConfigManager& settings, const std::string& code,
                        const std::string& redirect, const std::string& verifier) {
  HttpResult answer = postTokenForm({{"grant_type", "authorization_code"},
                                     {"code", code},
                                     {"redirect_uri", redirect},
                                     {"client_id", Texts::kClientId},
                                     {"code_verifier", verifier}});
  if (!answer) return fail(failure(std::string(Texts::kExchangeFailed) + answer.error().message));
  const json tokens = json::parse(answer.value().body, nullptr, false);
  if (!tokens.is_object()) return fail(failure(Texts::kInvalidTokenResponse));
  if (hasText(tokens, "error_description")) {
    return fail(failure(std::string(Texts::kTokenError) + textOf(tokens, "error_description")));
  }
  const std::string accessToken = textOf(tokens, "access_token");
  if (accessToken.empty()) return fail(failure(Texts::kNoAccessToken));
  const double expiry =
      WallClock::secondsSince1970() + numberOf(tokens, "expires_in").value_or(kDefaultTokenLife);
  const std::string email =
      enFetchUserEmail(accessToken).value_or(std::string(Texts::kYourAccount));
  auto saved = store(settings, {{kAccessTokenKey, accessToken},
                                {kRefreshTokenKey, textOf(tokens, "refresh_token")},
                                {kTokenExpiryKey, expiry},
                                {kAccountEmailKey, email}});
  if (!saved) return fail(saved.error());
  return ToolResponse::text(Texts::connected(email));
}

}  // namespace

std::string enRandomString(std::size_t length) {
  // 198 = 3 × 66: bytes from 198 up are drawn again, so every character is equally likely.
  constexpr unsigned kUsable = 3 * kAlphabet.size();
  std::string text;
  unsigned char byte = 0;
  while (text.size() < length) {
    if (RAND_bytes(&byte, 1) != 1) std::abort();  // no secure randomness: nothing safe to do
    if (byte < kUsable) text += kAlphabet[byte % kAlphabet.size()];
  }
  return text;
}

std::string enCodeChallenge(std::string_view verifier) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(verifier.data()), verifier.size(), digest);
  return Base64::encodeURL(std::string_view(reinterpret_cast<const char*>(digest), sizeof digest));
}

std::optional<std::string> enFetchUserEmail(const std::string& token) {
  HttpResult answer =
      HttpClient::get(Endpoints::evernote() + "/edam/user", kUserTimeout,
                      {{"Authorization", "Bearer " + token}, {"Accept", "application/json"}});
  if (!answer) return std::nullopt;
  const json user = json::parse(answer.value().body, nullptr, false);
  if (!user.is_object()) return std::nullopt;
  if (hasText(user, "email")) return textOf(user, "email");
  if (hasText(user, "username")) return textOf(user, "username");
  const auto attributes = user.find("attributes");
  if (attributes != user.end() && attributes->is_object() && hasText(*attributes, "email")) {
    return textOf(*attributes, "email");
  }
  return std::nullopt;
}

ToolResult connectEvernote(const ConfigManager& settings, std::chrono::milliseconds wait) {
  const json config = settings.load();
  const std::string accessToken = textOf(config, kAccessTokenKey);
  const std::string email = textOf(config, kAccountEmailKey);
  const double expiry = numberOf(config, kTokenExpiryKey).value_or(0);
  if (!accessToken.empty() && !email.empty() &&
      (!textOf(config, kRefreshTokenKey).empty() ||
       expiry > WallClock::secondsSince1970() + kConnectedMargin)) {
    return ToolResponse::text(Texts::alreadyConnected(email));
  }

  const std::string verifier = enRandomString(64);
  const std::string state = enRandomString(16);
  CallbackListener listener(state);
  if (listener.port() == 0) return fail(failure(Texts::kNoPort));
  const std::string redirect = redirectURI(listener.port());
  const std::string challenge = enCodeChallenge(verifier);
  const std::string authorize = Endpoints::evernote() + "/oauth2/authorize?" +
                                encodedQuery({{"response_type", "code"},
                                              {"client_id", Texts::kClientId},
                                              {"redirect_uri", redirect},
                                              {"scope", Texts::kScope},
                                              {"state", state},
                                              {"code_challenge", challenge},
                                              {"code_challenge_method", "S256"}},
                                             PercentEncoding::queryValue);
  // When no browser opens, the wait below ends the attempt.
  static_cast<void>(Opener::open(authorize));

  const std::optional<CallbackOutcome> outcome = listener.waitForCallback(wait);
  if (!outcome) return fail(failure(Texts::kTimedOut));
  if (outcome->error) return fail(failure(std::string(Texts::kLoginFailed) + *outcome->error));
  if (!outcome->code || outcome->code->empty()) return fail(failure(Texts::kNoCode));
  return exchangeCode(settings, *outcome->code, redirect, verifier);
}

ToolResult disconnectEvernote(const ConfigManager& settings, const Params::Arguments&) {
  auto saved = store(settings, {{kAccessTokenKey, ""},
                                {kRefreshTokenKey, ""},
                                {kAccountEmailKey, ""},
                                {kTokenExpiryKey, 0}});
  if (!saved) return fail(saved.error());
  return ToolResponse::text(Texts::kDisconnected);
}

Result<std::string, ToolError> enAccessToken(const ConfigManager& settings) {
  const json config = settings.load();
  const std::string accessToken = textOf(config, kAccessTokenKey);
  const std::string refreshToken = textOf(config, kRefreshTokenKey);
  const double expiry = numberOf(config, kTokenExpiryKey).value_or(0);
  if (accessToken.empty()) return fail(failure(Texts::kNotConnected));
  if (expiry - WallClock::secondsSince1970() > kRenewWithin) return accessToken;
  if (refreshToken.empty()) return fail(failure(Texts::kSessionExpired));

  HttpResult answer = postTokenForm({{"grant_type", "refresh_token"},
                                     {"refresh_token", refreshToken},
                                     {"client_id", Texts::kClientId}});
  if (!answer) return fail(failure(answer.error().message));
  const json tokens = json::parse(answer.value().body, nullptr, false);
  if (!tokens.is_object() || !hasText(tokens, "access_token")) {
    return fail(failure(Texts::kSessionExpired));
  }
  const std::string renewed = textOf(tokens, "access_token");
  const double life = numberOf(tokens, "expires_in").value_or(kDefaultTokenLife);
  auto saved = store(settings, {{kAccessTokenKey, renewed},
                                {kRefreshTokenKey, hasText(tokens, "refresh_token")
                                                       ? textOf(tokens, "refresh_token")
                                                       : refreshToken},
                                {kTokenExpiryKey, WallClock::secondsSince1970() + life}});
  if (!saved) return fail(saved.error());
  return renewed;
}

AccountState accountState(const ConfigManager& settings) {
  const json config = settings.load();
  return {!textOf(config, kAccessTokenKey).empty(), textOf(config, kAccountEmailKey)};
}

}  // namespace tvrn::EvernoteTools
