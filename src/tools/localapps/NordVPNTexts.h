// The fixed texts and tables of the NordVPN tools.
#pragma once

#include <string_view>
#include <utility>

namespace tvrn::NordVPNTexts {

inline constexpr std::pair<std::string_view, std::string_view> kServerGroups[] = {
    {"standard", "servers_standard"},         {"p2p", "servers_p2p"},
    {"double_vpn", "servers_double_vpn"},     {"onion", "servers_onion_over_vpn"},
    {"dedicated_ip", "servers_dedicated_ip"},
};

inline constexpr const char* kStatusDescription =
    "Check NordVPN connection status: connected/disconnected, auto-connect, snooze, and last known "
    "location. Does NOT open NordVPN.";
inline constexpr const char* kServersDescription =
    "Get recommended NordVPN servers by country or specialty. Uses NordVPN public API (no account "
    "needed). Returns server name, hostname, country, city, load %, and supported technologies.";
inline constexpr const char* kDiagnoseDescription =
    "Run a diagnostic check on NordVPN: installation, login state, connection status, kill "
    "switch, and supported protocols. Useful for troubleshooting.";

inline constexpr const char* kCountryHelp =
    "Country name or 2-letter code (e.g. 'US', 'United States', 'JP'). Omit for "
    "auto-recommendation.";
inline constexpr const char* kTypeHelp =
    "Server type filter: 'standard', 'p2p', 'double_vpn', 'onion', 'dedicated_ip'. Default: "
    "standard.";
inline constexpr const char* kLimitHelp = "Number of servers to return (1-10). Default: 5.";

inline constexpr const char* kNotInstalledError = "NordVPN is not installed on this Mac.";
inline constexpr const char* kCountryExpectation =
    "valid country name or 2-letter code (e.g. 'US', 'Germany')";
inline constexpr const char* kServersNote =
    "These are recommended servers. Connect/disconnect must be done manually in the NordVPN app.";
inline constexpr const char* kDownloadHint =
    "\nNordVPN is not installed. Download from the App Store or nordvpn.com.";
inline constexpr const char* kOpenAction =
    "- **Action:** Open NordVPN from Applications or menu bar";
inline constexpr const char* kConnectAction =
    "- **Action:** Connect via the NordVPN app (Quick Connect or choose a country)";
inline constexpr const char* kDiagnoseNote =
    "*Note: TVRN can check NordVPN status and recommend servers, but connect/disconnect must be "
    "done in the NordVPN app.*";

}  // namespace tvrn::NordVPNTexts
