#include "platform/Endpoints.h"

#include <charconv>
#include <cstdlib>
#include <string_view>

namespace tvrn::Endpoints {
namespace {

constexpr int kDefaultStatusPort = 8765;

std::string baseFromEnvironment(const char* name, std::string_view fallback) {
  const char* value = std::getenv(name);
  std::string base = (value != nullptr && *value != '\0') ? value : std::string(fallback);
  // Callers append paths that start with "/", so a trailing one would double it.
  while (!base.empty() && base.back() == '/') base.pop_back();
  return base;
}

}  // namespace

std::string backend() {
  return baseFromEnvironment("TVRN_BACKEND_URL", "https://api.tavrin.invalid");
}
std::string web() { return baseFromEnvironment("TVRN_WEB_URL", "https://tavrin.invalid"); }
std::string login() {
  return baseFromEnvironment("TVRN_LOGIN_URL", "https://login.microsoftonline.com");
}
std::string graph() { return baseFromEnvironment("TVRN_GRAPH_URL", "https://graph.microsoft.com"); }
std::string finance() {
  return baseFromEnvironment("TVRN_FINANCE_URL", "https://query1.finance.yahoo.com");
}
std::string evernote() {
  return baseFromEnvironment("TVRN_EVERNOTE_URL", "https://www.evernote.com");
}
std::string vpnAPI() { return baseFromEnvironment("TVRN_VPN_API_URL", "https://api.nordvpn.com"); }

Result<std::optional<int>, std::string> statusPortSetting() {
  const char* value = std::getenv("TVRN_STATUS_PORT");
  if (value == nullptr || *value == '\0') return std::optional<int>();
  const std::string_view text(value);
  int port = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
  if (error != std::errc() || end != text.data() + text.size() || port < 1 || port > 65535) {
    return fail("TVRN_STATUS_PORT=\"" + std::string(text) +
                "\" is not a port (a whole number from 1 to 65535)");
  }
  return std::optional<int>(port);
}

int statusPort() {
  const auto setting = statusPortSetting();
  return setting && setting.value() ? *setting.value() : kDefaultStatusPort;
}

std::string statusBaseURL() { return "http://127.0.0.1:" + std::to_string(statusPort()); }

std::string statusBaseURLv6() { return "http://[::1]:" + std::to_string(statusPort()); }

}  // namespace tvrn::Endpoints
