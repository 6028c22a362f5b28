#include "manifest/ManifestToolServices.h"

#include <array>
#include <utility>

namespace tvrn::ManifestToolServices {
namespace {

using ServiceEntry = std::pair<std::string_view, std::string_view>;  // (tool or prefix, service)

// Tools whose name carries no service prefix. Looked up before the prefixes.
constexpr std::array<ServiceEntry, 15> kServiceByName{{
    {"list_emails", "mail"},
    {"read_email", "mail"},
    {"search_emails", "mail"},
    {"send_email", "mail"},
    {"reply_email", "mail"},
    {"move_email", "mail"},
    {"save_attachment", "mail"},
    {"list_email_accounts", "mail"},
    {"delete_reminder", "reminders"},
    {"list_notes", "notes"},
    {"create_note", "notes"},
    {"read_note", "notes"},
    {"search_notes", "notes"},
    {"list_message_chats", "messages"},
    {"read_messages", "messages"},
}};

// Tried in this order; the first prefix the name starts with decides.
constexpr std::array<ServiceEntry, 10> kServiceByPrefix{{
    {"teams_", "teams"},
    {"onedrive_", "onedrive"},
    {"omnifocus_", "omnifocus"},
    {"safari_", "safari"},
    {"whatsapp_", "whatsapp"},
    {"slack_", "slack"},
    {"nordvpn_", "nordvpn"},
    {"servicenow_", "servicenow"},
    {"m365_", "m365"},
    {"stocks_", "stocks"},
}};

}  // namespace

std::string serviceFor(std::string_view tool) {
  for (const auto& [name, service] : kServiceByName) {
    if (tool == name) return std::string(service);
  }
  for (const auto& [prefix, service] : kServiceByPrefix) {
    if (tool.starts_with(prefix)) return std::string(service);
  }
  return {};
}

}  // namespace tvrn::ManifestToolServices
