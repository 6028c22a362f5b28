// What the Slack, Teams and WhatsApp tools say: their descriptions, parameter descriptions and
// the answers they give without reaching their co-process.
#pragma once

namespace tvrn::MessagingTexts {

// Slack

inline constexpr const char* kSlackListWorkspaces =
    "Lists the Slack workspaces (teams) the user has connected in Slack Desktop. Reads from the "
    "local IndexedDB cache — no token needed. Only workspaces that have been synced to disk are "
    "returned.";
inline constexpr const char* kSlackListChannels =
    "Lists channels in a Slack workspace, including public channels, private channels, and "
    "direct messages (DMs). Reads from the local IndexedDB cache — only channels that Slack "
    "Desktop has synced to disk are returned. Pass workspace_id from slack_list_workspaces to "
    "filter to a specific workspace.";
inline constexpr const char* kSlackReadChannelMessages =
    "Reads recent messages from a Slack channel or DM. Reads from the local IndexedDB cache — "
    "only messages that Slack Desktop has synced to disk are available (typically the last few "
    "hundred messages for active channels). channel_id must come from slack_list_channels.";
inline constexpr const char* kSlackSearchMessages =
    "Searches Slack messages across locally-cached channels using full-text substring matching. "
    "Only messages that Slack Desktop has synced to disk are searched — this is not the Slack "
    "cloud search API. Optionally restrict search to a specific channel_id.";

inline constexpr const char* kSlackWorkspaceId =
    "Workspace ID from slack_list_workspaces (optional — omit to list channels across all "
    "workspaces)";
inline constexpr const char* kSlackChannelsLimit = "Max channels to return (default 200)";
inline constexpr const char* kSlackChannelId = "Channel ID from slack_list_channels";
inline constexpr const char* kSlackMessagesLimit = "Max messages to return (default 50)";
inline constexpr const char* kSlackQuery = "Search text (case-insensitive substring match)";
inline constexpr const char* kSlackSearchChannelId = "Optional channel ID to restrict search";
inline constexpr const char* kSlackResultsLimit = "Max results to return (default 50)";

inline constexpr const char* kSlackDownloadPage = "slack.com/downloads";
inline constexpr const char* kSlackNotInstalledStart =
    "Slack Desktop is not installed. Install Slack from ";
inline constexpr const char* kSlackNotInstalledEnd =
    ", sign in to your workspace, and these tools will work automatically.";
inline constexpr const char* kSlackUpdateStart = "Slack tools require an update. Run: curl -fsSL ";
inline constexpr const char* kSlackUpdateEnd = " | bash";

// Teams

inline constexpr const char* kTeamsListChats =
    "Lists Microsoft Teams chats (direct messages and group chats).";
inline constexpr const char* kTeamsReadChatMessages =
    "Reads messages from a Teams chat or direct message thread.";
inline constexpr const char* kTeamsListTeams =
    "Lists all Microsoft Teams workspaces the user belongs to.";
inline constexpr const char* kTeamsListChannels =
    "Lists channels in a Microsoft Teams workspace. Returns channels that are cached in the local "
    "Teams client. If the result is empty, the channels have not been loaded into the local "
    "cache yet — ask the user to open Microsoft Teams and browse to the team's channels, then "
    "try again.";
inline constexpr const char* kTeamsReadChannelMessages =
    "Reads messages from a Microsoft Teams channel.";
inline constexpr const char* kTeamsSendMessage =
    "Sends a text message to a Microsoft Teams chat or channel.\nRequires Microsoft Teams to be "
    "running and signed in (token is read fresh from Teams' local cookies on each call). The "
    "chat_id MUST come from a previous teams_list_chats call — never fabricate ids. This is a "
    "write operation: the first call returns a preview, the second call (with confirm=true) "
    "actually sends.";

inline constexpr const char* kTeamsChatsLimit = "Max chats to return (default 50)";
inline constexpr const char* kTeamsChatId = "Chat ID from list_teams_chats";
inline constexpr const char* kTeamsMessagesLimit = "Max messages (default 50)";
inline constexpr const char* kTeamsTeamIdFromList = "Team ID from list_teams";
inline constexpr const char* kTeamsTeamId = "Team ID";
inline constexpr const char* kTeamsChannelId = "Channel ID from list_teams_channels";
inline constexpr const char* kTeamsSendChatId =
    "Thread id from teams_list_chats (e.g. '19:<uuid>_<uuid>@unq.gbl.spaces' for 1:1, "
    "'19:<uuid>@thread.tacv2' for group)";
inline constexpr const char* kTeamsSendText =
    "Plain-text message body. Max 28000 chars. No formatting / mentions / attachments in v1.";
inline constexpr const char* kTeamsSendConfirm =
    "Must be true to actually send. Without it, returns a preview without making any network "
    "call.";

inline constexpr const char* kTeamsNoAccount =
    "No Microsoft Teams account connected. Sign into Teams and restart Tavrin.";
inline constexpr const char* kTeamsNoChannels =
    "No channels found for this team in the local Teams cache. Open Microsoft Teams, navigate to "
    "the team, and browse its channels — Teams will populate the local cache. Then call this "
    "tool again.";

// WhatsApp

inline constexpr const char* kWhatsAppWarning =
    "⚠️ Uses Wacli (unofficial WhatsApp client). Accounts may be restricted for ToS "
    "violations.";
inline constexpr const char* kWhatsAppListChats =
    "Lists WhatsApp conversations with last message preview. Returns chat IDs, contact names, and "
    "recent message snippets. Some contacts may appear with @lid identifiers (e.g. 123456@lid) "
    "instead of phone numbers — this is a WhatsApp privacy feature for certain account types; "
    "use the Name field for display and the JID/chat_id for subsequent calls. ";
inline constexpr const char* kWhatsAppReadMessages =
    "Reads messages from a specific WhatsApp chat. The chat_id must come from a previous "
    "whatsapp_list_chats call. ";
inline constexpr const char* kWhatsAppSearchMessages =
    "Offline full-text search across all WhatsApp chats. Only locally-cached messages are "
    "searched — no network access required. Optionally restrict search to a specific chat_id. ";
inline constexpr const char* kWhatsAppSendMessage =
    "Sends a text message to a WhatsApp chat. The chat_id MUST come from a previous "
    "whatsapp_list_chats call — never fabricate IDs. This is a write operation: the first call "
    "(confirm=false) returns a preview without sending; set confirm=true to actually send. ";
inline constexpr const char* kWhatsAppSendFile =
    "Sends a file attachment to a WhatsApp chat. The chat_id MUST come from a previous "
    "whatsapp_list_chats call — never fabricate IDs. file_path must be an absolute path to a "
    "local file. This is a write operation: the first call (confirm=false) returns a preview "
    "without sending; set confirm=true to actually send. ";

inline constexpr const char* kWhatsAppChatsLimit = "Max chats to return (default 50)";
inline constexpr const char* kWhatsAppChatId = "Chat ID from whatsapp_list_chats";
inline constexpr const char* kWhatsAppMessagesLimit = "Max messages to return (default 50)";
inline constexpr const char* kWhatsAppQuery = "Search text (case-insensitive substring match)";
inline constexpr const char* kWhatsAppSearchChatId = "Optional chat ID to restrict search";
inline constexpr const char* kWhatsAppResultsLimit = "Max results to return (default 50)";
inline constexpr const char* kWhatsAppText = "Plain-text message body";
inline constexpr const char* kWhatsAppConfirm =
    "Must be true to actually send. Without it, returns a preview.";
inline constexpr const char* kWhatsAppFilePath = "Absolute path to the local file to send";
inline constexpr const char* kWhatsAppCaption = "Optional caption text to accompany the file";

inline constexpr const char* kWhatsAppNotAuthenticated =
    "WhatsApp is not authenticated. Open Wacli, scan the QR code, and try again.";
inline constexpr const char* kWhatsAppPreviewNote =
    "Preview only. Call again with confirm=true to send.";

}  // namespace tvrn::MessagingTexts
