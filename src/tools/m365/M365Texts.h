// What the Microsoft 365 tools say to the user and send to the identity platform, word for word.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tvrn::M365Texts {

// The identity platform's public sign-in page for device codes.
inline constexpr std::string_view kDeviceLoginPage = "https://microsoft.com/devicelogin";
inline constexpr std::string_view kClientId = "9e1b7c35-2a4f-4d68-b0e3-7f5c1a9d8e26";
inline constexpr std::string_view kScopes =
    "People.Read User.Read User.ReadBasic.All Mail.Read Mail.Send Calendars.ReadWrite "
    "Contacts.Read Chat.ReadWrite ChannelMessage.Send offline_access";
inline constexpr std::string_view kDeviceCodeGrant = "urn:ietf:params:oauth:grant-type:device_code";

// The account name stored and shown when the token names none.
inline constexpr std::string_view kYourAccount = "your account";

inline constexpr std::string_view kNotConnected =
    "Not connected to Microsoft 365. Use connect_m365_account first.";
inline constexpr std::string_view kSessionExpired =
    "Microsoft 365 session expired. Use connect_m365_account to reconnect.";
inline constexpr std::string_view kCouldNotSave = "Could not save Microsoft 365 tokens";
inline constexpr std::string_view kNetworkError = "Network error: ";
inline constexpr std::string_view kAuthError = "Auth error: ";
inline constexpr std::string_view kInvalidAuthResponse =
    "Invalid response from Microsoft auth server";
inline constexpr std::string_view kInvalidTokenResponse = "Invalid token response";
inline constexpr std::string_view kRefreshFailed = "Refresh failed";
inline constexpr std::string_view kInvalidRefreshResponse = "Invalid refresh response";

inline std::string alreadyConnected(std::string_view email) {
  return "Already connected as " + std::string(email) +
         ". Use disconnect_m365_account to sign out.";
}

inline std::string connected(std::string_view account) {
  return "Connected to Microsoft 365 as " + std::string(account) +
         ". You can now use: search_m365_directory, get_m365_person, list_m365_people_insights, "
         "m365_list_emails, m365_read_email, m365_send_email, m365_reply_email, "
         "m365_search_emails, m365_list_events, m365_create_event, m365_delete_event.";
}

inline std::string stillWaiting(long long minutes, std::string_view userCode) {
  return "Still waiting for authentication. Code expires in ~" + std::to_string(minutes) +
         " min.\n\n1. Go to: " + std::string(kDeviceLoginPage) +
         "\n2. Enter code: " + std::string(userCode) +
         "\n3. Call connect_m365_account again once done.";
}

inline std::string codeExpired(std::string_view reason) {
  return "Device code expired or invalid (" + std::string(reason) +
         "). Call connect_m365_account again to get a new code.";
}

inline std::string signInSteps(std::string_view page, std::string_view userCode,
                               long long minutes) {
  return "To connect your Microsoft 365 account:\n\n1. Go to: " + std::string(page) +
         "\n2. Enter code: " + std::string(userCode) +
         "\n3. Sign in with your Microsoft account\n4. Come back and call connect_m365_account "
         "again to confirm\n\nCode expires in " +
         std::to_string(minutes) + " minutes.";
}

inline std::string disconnected(std::string_view email) {
  if (email.empty()) return "Microsoft 365 account disconnected.";
  return "Disconnected from " + std::string(email) + ".";
}

// Graph answers.
inline constexpr std::string_view kAccessDeniedRead =
    "Access denied. Your account may not have permission to access this data.";
inline constexpr std::string_view kAccessDeniedAction =
    "Access denied. Your account may not have permission for this action.";
inline constexpr std::string_view kNeedsExpandedPermissions =
    "Your Microsoft 365 connection needs expanded permissions. Call connect_m365_account to "
    "re-authenticate.";
inline constexpr std::string_view kEventNotFound = "Event not found.";
inline constexpr std::string_view kGraphHTTPError = "Graph API error HTTP ";
inline constexpr std::string_view kGraphError = "Graph API error: ";
inline constexpr std::string_view kUnexpectedGraphResponse =
    "Unexpected response from Microsoft Graph";

inline std::string messageSent(const std::optional<std::string>& id) {
  return id ? "Message sent (id: " + *id + ")" : std::string("Message sent");
}

// Directory tools.
inline std::string noUsersFound(std::string_view query) {
  return "No users found matching '" + std::string(query) + "' in your organization's directory.";
}
inline std::string usersFound(std::size_t count, std::string_view query) {
  return "Found " + std::to_string(count) + " user(s) matching '" + std::string(query) + "':\n\n";
}
inline std::string userNotFound(std::string_view id) {
  return "User '" + std::string(id) + "' not found in directory";
}
inline constexpr std::string_view kNoPeopleInsights =
    "No people insights available. Make sure you're connected and have email/calendar activity "
    "in Microsoft 365.";
inline std::string topContacts(std::size_t count) {
  return "Your top " + std::to_string(count) + " Microsoft 365 contacts:\n\n";
}

// Mail tools.
inline constexpr std::string_view kPreviewHeading =
    "Preview (call again with confirm=true to send):\n\n";
inline constexpr std::string_view kNoEmails = "No emails found.";
inline constexpr std::string_view kUnexpectedResponse = "Unexpected response";
inline constexpr std::string_view kErrorReadingEmail = "Error reading email";
inline constexpr std::string_view kReplySent = "Reply sent.";
inline std::string emailsFound(std::size_t count) {
  return "Found " + std::to_string(count) + " email(s):\n\n";
}
inline std::string noEmailsFor(std::string_view query) {
  return "No emails found for '" + std::string(query) + "'.";
}
inline std::string emailsFoundFor(std::size_t count, std::string_view query) {
  return "Found " + std::to_string(count) + " email(s) for '" + std::string(query) + "':\n\n";
}
inline std::string emailSent(std::string_view to) {
  return "Email sent to " + std::string(to) + ".";
}

// Calendar tools.
inline constexpr std::string_view kUnexpectedCalendars = "Unexpected response listing calendars";
inline constexpr std::string_view kEventDeleted = "Event deleted.";
inline std::string noCalendarMatching(std::string_view name, std::string_view available) {
  return "No M365 calendar matching '" + std::string(name) +
         "' found. Available: " + std::string(available) + ".";
}
inline std::string calendarScope(std::string_view calendar) {
  return calendar.empty() ? std::string() : " in '" + std::string(calendar) + "'";
}
inline std::string noEvents(std::int64_t days, std::string_view calendar) {
  return "No events in the next " + std::to_string(days) + " day(s)" + calendarScope(calendar) +
         ".";
}
inline std::string eventsFound(std::size_t count, std::int64_t days, std::string_view calendar) {
  return "Found " + std::to_string(count) + " event(s) in the next " + std::to_string(days) +
         " day(s)" + calendarScope(calendar) + ":\n\n";
}
inline std::string eventCreated(std::string_view subject, std::string_view start,
                                std::string_view calendar, std::string_view id) {
  return "Event created: '" + std::string(subject) + "' on " + std::string(start) +
         calendarScope(calendar) + ".\nID: " + std::string(id);
}
inline std::string deletionNotConfirmed(std::string_view id) {
  return "Deletion not confirmed. Set confirm=true to delete event '" + std::string(id) + "'.";
}

// Contacts and channel messages.
inline constexpr std::string_view kUnexpectedFromGraph = "Unexpected response from Graph";
inline constexpr std::string_view kNoContacts = "No contacts found in your M365 address book.";
inline std::string contactsFound(std::size_t count) {
  return std::to_string(count) + " contact(s):\n\n";
}
inline std::string noContactsFor(std::string_view query) {
  return "No contacts found for \"" + std::string(query) + "\".";
}
inline std::string contactsFoundFor(std::size_t count, std::string_view query) {
  return std::to_string(count) + " contact(s) for \"" + std::string(query) + "\":\n\n";
}
inline std::string channelPreview(std::string_view text, std::string_view channel,
                                  std::string_view team) {
  return "Preview: post \"" + std::string(text) + "\" to channel " + std::string(channel) +
         " in team " + std::string(team) + ". Set confirm=true to send.";
}
inline std::string channelMessageSent(const std::optional<std::string>& id) {
  return id ? "Message sent to channel (id: " + *id + ")" : std::string("Message sent to channel");
}

}  // namespace tvrn::M365Texts
