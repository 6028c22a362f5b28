// What the ServiceNow tools say to the user and to the AI client, word for word.
#pragma once

#include <string>
#include <string_view>

namespace tvrn::ServiceNowTexts {

// Appended to a bare instance name: the vendor's hosted instances.
inline constexpr std::string_view kHostedSuffix = ".service-now.com";

inline constexpr std::string_view kNotConnected =
    "Not connected to ServiceNow. Use connect_servicenow first.";
inline constexpr std::string_view kCouldNotSave = "Could not save ServiceNow credentials";
inline constexpr std::string_view kInvalidInstance = "Invalid instance URL: ";
inline constexpr std::string_view kNoHTTPResponse = "No HTTP response";
inline constexpr std::string_view kAuthFailed =
    "Authentication failed. Use connect_servicenow to reconnect.";
inline constexpr std::string_view kAccessDenied =
    "Access denied. Your account may not have permission to access this data.";
inline constexpr std::string_view kDisconnected = "ServiceNow disconnected.";

inline constexpr std::string_view kFailedToBuildURL = "Failed to build URL";
inline constexpr std::string_view kFailedToBuildRequest = "Failed to build request";
inline constexpr std::string_view kUnparsedCreate = "Incident created but could not parse response";
inline constexpr std::string_view kNothingToUpdate =
    "Provide at least one field to update: state, priority, urgency, assigned_to, "
    "short_description, or close_notes";
inline constexpr std::string_view kUnexpectedResponse = "Unexpected response from ServiceNow";
inline constexpr std::string_view kUnexpectedKBResponse = "Unexpected response";

// What an argument that would change the instance's query must look like instead.
inline constexpr std::string_view kNoCaret = "text without '^'";
inline constexpr std::string_view kIncidentId =
    "an incident number (INC...) or a sys_id of 32 hexadecimal characters";
inline constexpr std::string_view kSysId = "a sys_id of 32 hexadecimal characters";

inline std::string connected(std::string_view host, std::string_view user) {
  return "Connected to " + std::string(host) + " as " + std::string(user) +
         ". You can now use servicenow_list_my_incidents, servicenow_search_incidents, "
         "servicenow_get_incident, servicenow_create_incident, and servicenow_search_kb.";
}

struct ToolText {
  std::string_view name;
  std::string_view description;
};

inline constexpr ToolText kConnect{
    "connect_servicenow",
    "Connect to your ServiceNow instance using your username and password. Credentials are "
    "stored locally and never sent to Claude's servers."};
inline constexpr ToolText kDisconnect{"disconnect_servicenow",
                                      "Disconnect from ServiceNow and remove stored credentials."};
inline constexpr ToolText kListMine{
    "servicenow_list_my_incidents",
    "List incidents assigned to you or opened by you in ServiceNow."};
inline constexpr ToolText kSearch{"servicenow_search_incidents",
                                  "Search incidents in ServiceNow by keyword, number, or caller."};
inline constexpr ToolText kGet{
    "servicenow_get_incident",
    "Get full details of a specific ServiceNow incident by number or sys_id."};
inline constexpr ToolText kCreate{"servicenow_create_incident",
                                  "Create a new incident in ServiceNow."};
inline constexpr ToolText kUpdate{
    "servicenow_update_incident",
    "Update fields on an existing ServiceNow incident — state, priority, assignment. Use sys_id "
    "from servicenow_get_incident."};
inline constexpr ToolText kComment{
    "servicenow_add_comment",
    "Add a comment or work note to a ServiceNow incident. Comments are visible to the caller; "
    "work notes are internal only."};
inline constexpr ToolText kSearchKB{"servicenow_search_kb",
                                    "Search the ServiceNow Knowledge Base for articles."};

inline constexpr std::string_view kInstanceArg =
    "Your ServiceNow instance hostname, e.g. 'mycompany.service-now.com' or just 'mycompany'";
inline constexpr std::string_view kUsernameArg = "Your ServiceNow username";
inline constexpr std::string_view kPasswordArg = "Your ServiceNow password";
inline constexpr std::string_view kStateFilterArg =
    "Filter by state: 'open' (default), 'resolved', 'all'";
inline constexpr std::string_view kListLimitArg = "Max results (default 20, max 50)";
inline constexpr std::string_view kSearchQueryArg =
    "Free-text search or incident number (e.g. 'INC0012345' or 'printer not working')";
inline constexpr std::string_view kSearchLimitArg = "Max results (default 10, max 50)";
inline constexpr std::string_view kIdArg = "Incident number (e.g. 'INC0012345') or sys_id";
inline constexpr std::string_view kShortDescriptionArg = "Brief summary of the issue (required)";
inline constexpr std::string_view kDescriptionArg = "Full description of the issue";
inline constexpr std::string_view kCreateUrgencyArg =
    "1=Critical, 2=High, 3=Medium (default), 4=Low";
inline constexpr std::string_view kCategoryArg =
    "Incident category, e.g. 'software', 'hardware', 'network'";
inline constexpr std::string_view kSysIdArg = "Incident sys_id from servicenow_get_incident";
inline constexpr std::string_view kStateArg =
    "1=New, 2=In Progress, 3=On Hold, 6=Resolved, 7=Closed";
inline constexpr std::string_view kPriorityArg =
    "1=Critical, 2=High, 3=Moderate, 4=Low, 5=Planning";
inline constexpr std::string_view kUrgencyArg = "1=Critical, 2=High, 3=Medium, 4=Low";
inline constexpr std::string_view kAssignedToArg = "Username or email to assign to";
inline constexpr std::string_view kUpdatedSummaryArg = "Updated summary";
inline constexpr std::string_view kCloseNotesArg = "Resolution notes (required when state=6 or 7)";
inline constexpr std::string_view kTextArg = "Comment or work note text";
inline constexpr std::string_view kTypeArg =
    "'comment' (visible to caller, default) or 'work_note' (internal only)";
inline constexpr std::string_view kKBQueryArg =
    "Search terms, e.g. 'reset password' or 'VPN setup'";
inline constexpr std::string_view kKBLimitArg = "Max results (default 5, max 20)";

}  // namespace tvrn::ServiceNowTexts
