// Keeps the loopback status server to this machine's own clients: web pages the user happens to
// open (or a rebound DNS name pointing at 127.0.0.1) must neither read the status nor change a
// setting. The tray, the counters' reports and the server's own settings page pass.
#pragma once

#include <optional>
#include <string_view>

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

}  // namespace tvrn::RequestGuard
