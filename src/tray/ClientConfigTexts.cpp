#include "tray/ClientConfigTexts.h"

#include <nlohmann/json.hpp>

namespace tvrn::ClientConfigTexts {
namespace {

// The server's entry under "mcpServers"; `members` are its lines, six spaces in.
std::string wrapped(const std::string& members) {
  return "{\n"
         "  \"mcpServers\": {\n"
         "    \"tavrin\": {\n" +
         members +
         "\n"
         "    }\n"
         "  }\n"
         "}";
}

}  // namespace

std::string jsonString(std::string_view value) {
  return nlohmann::json(std::string(value))
      .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string relayConfig(std::string_view cloudMCPURL, std::string_view token) {
  return wrapped("      \"url\": " + jsonString(cloudMCPURL) +
                 ",\n"
                 "      \"headers\": {\n"
                 "        \"x-token\": " +
                 jsonString(token) +
                 "\n"
                 "      }");
}

std::string localConfig(std::string_view mcpURL) {
  return wrapped("      \"url\": " + jsonString(mcpURL));
}

std::string desktopConfig(std::string_view command) {
  return wrapped("      \"command\": " + jsonString(command) +
                 ",\n"
                 "      \"args\": []");
}

std::string diagnostics(const ServerStatus& status) {
  const Services& services = status.services;
  const nlohmann::json brief = {{"version", status.version},
                                {"tunnel_connected", status.tunnelConnected.value_or(false)},
                                {"services",
                                 {{"email", services.email && services.email->running},
                                  {"calendar", services.calendar && services.calendar->running},
                                  {"contacts", services.contacts && services.contacts->running},
                                  {"onedrive", services.onedrive && !services.onedrive->empty()},
                                  {"teams", services.teams && services.teams->available}}}};
  return brief.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace tvrn::ClientConfigTexts
