// What the Evernote tools say to the user, show in the browser and send to Evernote, word for word.
#pragma once

#include <string>
#include <string_view>

namespace tvrn::EvernoteTexts {

inline constexpr std::string_view kClientId = "ferrowik-4821";
inline constexpr std::string_view kScope = "note.read note.create note.update notebook.read";
inline constexpr std::string_view kEnmlDTD = "http://xml.evernote.com/pub/enml2.dtd";

// The account name stored when Evernote names none.
inline constexpr std::string_view kYourAccount = "your Evernote account";

inline constexpr std::string_view kNoPort =
    "Could not bind a local port for OAuth redirect. Try again.";
inline constexpr std::string_view kTimedOut =
    "Evernote login timed out (120s). Call connect_evernote again to retry.";
inline constexpr std::string_view kLoginFailed = "Evernote login failed: ";
inline constexpr std::string_view kDeclined = "Evernote declined authorization: ";
inline constexpr std::string_view kStateMismatch = "State mismatch — possible CSRF. Try again.";
inline constexpr std::string_view kNoCode =
    "No authorization code received from Evernote. Try again.";
inline constexpr std::string_view kExchangeFailed = "Token exchange failed: ";
inline constexpr std::string_view kInvalidTokenResponse = "Invalid token response from Evernote";
inline constexpr std::string_view kTokenError = "Evernote token error: ";
inline constexpr std::string_view kNoAccessToken = "No access token in Evernote response";
inline constexpr std::string_view kCouldNotSave = "Could not save Evernote tokens";
inline constexpr std::string_view kNotConnected =
    "Not connected to Evernote. Use connect_evernote first.";
inline constexpr std::string_view kSessionExpired =
    "Evernote session expired. Use connect_evernote to reconnect.";
inline constexpr std::string_view kDisconnected =
    "Evernote disconnected. Call connect_evernote to reconnect.";

inline constexpr std::string_view kAuthFailed =
    "Evernote authentication failed. Use connect_evernote to reconnect.";
inline constexpr std::string_view kEmptyResponse = "Empty response from Evernote";
inline constexpr std::string_view kUnexpectedResponse = "Unexpected response from Evernote";
inline constexpr std::string_view kUnexpectedSearch = "Unexpected search response from Evernote";
inline constexpr std::string_view kApiError = "Evernote error: ";
inline constexpr std::string_view kNothingToUpdate =
    "Provide at least 'title' or 'content' to update.";
inline constexpr std::string_view kNoNotebooks = "No notebooks found in your Evernote account.";

inline constexpr std::string_view kSuccessPage =
    "<!DOCTYPE html><html><head><title>TVRN — Evernote Connected</title></head><body "
    "style=\"font-family:system-ui;text-align:center;padding:60px\">\n<h2>✅ Evernote "
    "connected!</h2><p>You can close this tab and return to your AI chat.</p>\n</body></html>";

// The error value arrives HTML-escaped.
inline std::string errorPage(std::string_view escapedError) {
  return "<!DOCTYPE html><html><head><title>TVRN — Error</title></head><body "
         "style=\"font-family:system-ui;text-align:center;padding:60px\">\n<h2>❌ Evernote "
         "connection failed</h2><p>" +
         std::string(escapedError) +
         "</p><p>Return to your chat and try again.</p>\n</body></html>";
}

inline std::string alreadyConnected(std::string_view email) {
  return "Already connected as " + std::string(email) + ". Use disconnect_evernote to sign out.";
}

inline std::string connected(std::string_view email) {
  return "Connected to Evernote as " + std::string(email) +
         ". You can now use: list_notebooks, search_evernote, read_note, create_note, "
         "update_note.";
}

struct ToolText {
  std::string_view name;
  std::string_view description;
};

inline constexpr ToolText kConnect{
    "connect_evernote",
    "Connect your Evernote account. Opens a browser window for secure login — no password is "
    "shared with your AI. Call once; tokens are stored locally."};
inline constexpr ToolText kDisconnect{"disconnect_evernote",
                                      "Disconnect your Evernote account and remove stored tokens."};
inline constexpr ToolText kListNotebooks{
    "list_notebooks", "List all your Evernote notebooks with their names and note counts."};
inline constexpr ToolText kSearch{
    "search_evernote",
    "Search your Evernote notes by keyword, tag, or notebook. Returns matching note titles and "
    "GUIDs."};
inline constexpr ToolText kRead{
    "read_note",
    "Read the full content of an Evernote note by its GUID. Get GUIDs from search_evernote."};
inline constexpr ToolText kCreate{
    "create_note", "Create a new note in Evernote. Returns the note GUID for future reference."};
inline constexpr ToolText kUpdate{
    "update_note", "Update the title or content of an existing Evernote note by its GUID."};

inline constexpr std::string_view kQueryArg =
    "Search query — supports Evernote search syntax (e.g. 'meeting' or 'tag:work')";
inline constexpr std::string_view kSearchNotebookArg =
    "Limit search to a specific notebook GUID (optional — get GUIDs from list_notebooks)";
inline constexpr std::string_view kLimitArg = "Max results (default 20, max 50)";
inline constexpr std::string_view kReadGuidArg =
    "Note GUID from search_evernote or list_notebooks results";
inline constexpr std::string_view kTitleArg = "Note title";
inline constexpr std::string_view kContentArg = "Note content (plain text)";
inline constexpr std::string_view kCreateNotebookArg =
    "Notebook GUID to create the note in (optional — uses default notebook if omitted)";
inline constexpr std::string_view kUpdateGuidArg = "Note GUID from search_evernote";
inline constexpr std::string_view kNewTitleArg = "New title (optional)";
inline constexpr std::string_view kNewContentArg = "New content in plain text (optional)";

}  // namespace tvrn::EvernoteTexts
