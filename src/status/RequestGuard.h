// Keeps the loopback status server to this machine's own clients, and to the user's own: other
// users' programs, web pages the user happens to open (or a rebound DNS name pointing at
// 127.0.0.1) must neither read the status nor change a setting. The tray, the counters' reports
// and the server's own settings page pass.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

#include "base/Result.h"

namespace tvrn::RequestGuard {

struct Request {
  std::string_view method;
  std::optional<std::string_view> host;
  std::optional<std::string_view> origin;
  std::optional<std::string_view> contentType;
};

// 0 when the request may go on; else the status it is refused with: 403 for a Host other than
// 127.0.0.1, localhost or [::1] with `port`, or a POST from another origin; 415 for a POST whose
// body is not declared application/json.
int refusal(const Request& request, int port);

// Why a connection whose socket `owner` made (or why the kernel could not say who) is refused on
// every route; nothing when it is served. Only the user's own are served (SocketOwner::isUsersOwn);
// a connection whose owner cannot be told is refused, since it may be anyone's.
std::optional<std::string> strangerRefusal(const Result<uid_t, std::string>& owner);

}  // namespace tvrn::RequestGuard
