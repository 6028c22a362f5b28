// The tool registry's fixed data: the refusal texts a client sees and the table that says which
// service a tool belongs to, so the disabled-services setting can reach it.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <utility>

namespace tvrn::ToolRegistryTexts {

inline std::string unknownTool(std::string_view name) { return "tool '" + std::string(name) + "'"; }

inline std::string disabledByPolicy(std::string_view name) {
  return "'" + std::string(name) + "' is disabled by your organisation's IT policy";
}

inline std::string notAllowedReadOnly(std::string_view name) {
  return "'" + std::string(name) + "' is not allowed in read-only mode";
}

inline std::string serviceDisabled(std::string_view service) {
  return "'" + std::string(service) +
         "' service is disabled. Enable it in TVRN Settings \u2192 Services.";
}

inline std::string noLongerAvailable(std::string_view name) {
  return "tool '" + std::string(name) + "' is no longer available";
}

inline constexpr std::string_view kRemovedDescription = "[removed]";

// The welcome tool is listed only until the first tool call has been recorded.
inline constexpr std::string_view kWelcomeTool = "tvrn_welcome";
inline constexpr std::string_view kFirstToolCallKey = "first_tool_call_at";

using ServiceEntry = std::pair<std::string_view, std::string_view>;  // (tool or prefix, service)

// Tools whose name carries no service prefix. Looked up before the prefixes.
inline constexpr std::array<ServiceEntry, 48> kServiceByName{{
    {"list_emails", "mail"},
    {"read_email", "mail"},
    {"search_emails", "mail"},
    {"send_email", "mail"},
    {"reply_email", "mail"},
    {"move_email", "mail"},
    {"save_attachment", "mail"},
    {"list_email_accounts", "mail"},
    {"create_email_folder", "mail"},
    {"list_calendar_names", "calendar"},
    {"list_calendar_events", "calendar"},
    {"create_calendar_event", "calendar"},
    {"update_calendar_event", "calendar"},
    {"delete_calendar_event", "calendar"},
    {"list_contacts", "contacts"},
    {"search_contacts", "contacts"},
    {"get_contact", "contacts"},
    {"list_reminders", "reminders"},
    {"create_reminder", "reminders"},
    {"complete_reminder", "reminders"},
    {"delete_reminder", "reminders"},
    {"list_reminder_lists", "reminders"},
    {"todo_list_lists", "reminders"},
    {"todo_list_tasks", "reminders"},
    {"todo_create_task", "reminders"},
    {"todo_complete_task", "reminders"},
    {"list_notes", "notes"},
    {"create_note", "notes"},
    {"read_note", "notes"},
    {"search_notes", "notes"},
    {"list_message_chats", "messages"},
    {"read_messages", "messages"},
    {"search_messages", "messages"},
    {"list_safari_bookmarks", "safari"},
    {"finder_list", "finder"},
    {"finder_search", "finder"},
    {"pdf_read", "office"},
    {"word_create", "office"},
    {"word_read", "office"},
    {"word_append", "office"},
    {"excel_create", "office"},
    {"excel_read", "office"},
    {"excel_write_cell", "office"},
    {"ppt_create", "office"},
    {"ppt_read", "office"},
    {"search_m365_directory", "m365"},
    {"get_m365_person", "m365"},
    {"list_m365_people_insights", "m365"},
}};

// Tried in this order; the first prefix the name starts with decides.
inline constexpr std::array<ServiceEntry, 10> kServiceByPrefix{{
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

}  // namespace tvrn::ToolRegistryTexts
