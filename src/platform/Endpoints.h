// Where the outside services live: one table of base addresses, each overridable from the
// environment (read at every call) so tests and deployments can point them elsewhere.
#pragma once

#include <optional>
#include <string>

#include "base/Result.h"

namespace tvrn::Endpoints {

// Base addresses: scheme and host (and port), never a trailing slash. An override that is set
// but empty counts as unset.
std::string backend();   // TVRN_BACKEND_URL, default https://api.tavrin.invalid
std::string web();       // TVRN_WEB_URL, default https://tavrin.invalid
std::string login();     // TVRN_LOGIN_URL, default https://login.microsoftonline.com
std::string graph();     // TVRN_GRAPH_URL, default https://graph.microsoft.com
std::string finance();   // TVRN_FINANCE_URL, default https://query1.finance.yahoo.com
std::string evernote();  // TVRN_EVERNOTE_URL, default https://www.evernote.com
std::string vpnAPI();    // TVRN_VPN_API_URL, default https://api.nordvpn.com

// TVRN_STATUS_PORT as the user set it: nothing when it is unset or empty, the port when it is a
// whole number from 1 to 65535 (no sign, blanks or other characters), else why it is no port.
Result<std::optional<int>, std::string> statusPortSetting();

// The loopback status server's port: TVRN_STATUS_PORT when it names one, else 8765. A start
// refuses a TVRN_STATUS_PORT that names no port (statusPortSetting) before this is asked.
int statusPort();

// http://127.0.0.1:<statusPort()>
std::string statusBaseURL();
// The same server on the IPv6 loopback: http://[::1]:<statusPort()>
std::string statusBaseURLv6();

}  // namespace tvrn::Endpoints
