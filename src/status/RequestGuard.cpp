#include "status/RequestGuard.h"

#include <array>
#include <string>

#include "platform/SocketOwner.h"

namespace tvrn::RequestGuard {
namespace {

constexpr std::array<std::string_view, 3> kLoopbackHosts = {"127.0.0.1", "localhost", "[::1]"};

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// "<loopback host>:<port>".
bool isLoopbackAuthority(std::string_view authority, int port) {
  for (const auto host : kLoopbackHosts) {
    if (equalsIgnoringCase(authority, std::string(host) + ":" + std::to_string(port))) return true;
  }
  return false;
}

bool isOwnOrigin(std::string_view origin, int port) {
  constexpr std::string_view kScheme = "http://";
  if (origin.size() <= kScheme.size() ||
      !equalsIgnoringCase(origin.substr(0, kScheme.size()), kScheme)) {
    return false;
  }
  return isLoopbackAuthority(origin.substr(kScheme.size()), port);
}

// "application/json", in any letter case, with or without parameters such as a charset.
bool isJSON(std::string_view contentType) {
  const auto end = contentType.find(';');
  std::string_view type = contentType.substr(0, end);
  while (!type.empty() && (type.back() == ' ' || type.back() == '\t')) type.remove_suffix(1);
  while (!type.empty() && (type.front() == ' ' || type.front() == '\t')) type.remove_prefix(1);
  return equalsIgnoringCase(type, "application/json");
}

}  // namespace

int refusal(const Request& request, int port) {
  if (!request.host || !isLoopbackAuthority(*request.host, port)) return 403;
  if (request.method != "POST") return 0;
  if (request.origin && !isOwnOrigin(*request.origin, port)) return 403;
  if (!request.contentType || !isJSON(*request.contentType)) return 415;
  return 0;
}

std::optional<std::string> strangerRefusal(const Result<uid_t, std::string>& owner) {
  if (!owner) return "who made it cannot be told (" + owner.error() + ")";
  if (SocketOwner::isUsersOwn(owner.value())) return std::nullopt;
  return "made by another user (uid " + std::to_string(owner.value()) + ")";
}

}  // namespace tvrn::RequestGuard
