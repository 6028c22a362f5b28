// The system tool family's texts as users and clients see them: descriptions, previews,
// failures and the fixed automation scripts.
#pragma once

#include <string_view>

namespace tvrn::SystemTexts {

constexpr std::string_view kFinderListDescription =
    "Lists files and folders at any path on the filesystem.";
constexpr std::string_view kFinderListPath = "Absolute path to list (default: ~)";
constexpr std::string_view kFinderListLimit = "Max items (default 100)";
constexpr std::string_view kFinderSearchDescription =
    "Searches for files by name anywhere on the filesystem (uses mdfind/Spotlight).";
constexpr std::string_view kFinderSearchQuery = "Filename or content to search for";
constexpr std::string_view kFinderSearchPath = "Limit search to this directory (optional)";
constexpr std::string_view kFinderSearchLimit = "Max results (default 50)";

constexpr std::string_view kBookmarksDescription =
    "Lists bookmarks from Safari via Automation (no Full Disk Access required).";
constexpr std::string_view kBookmarksLimit = "Max bookmarks to return (default 100)";
constexpr std::string_view kAccountsDescription = "Lists email accounts configured in Mail.app.";
constexpr std::string_view kFolderDescription = "Creates a new mailbox folder in Mail.app.";
constexpr std::string_view kFolderName = "Folder name";
constexpr std::string_view kFolderAccount = "Account name (optional, uses default)";
constexpr std::string_view kFolderConfirm = "Must be true to create";

constexpr std::string_view kWriteDescription = "Writes text content to a file in OneDrive.";
constexpr std::string_view kWritePath = "Absolute path to the file in OneDrive";
constexpr std::string_view kWriteContent = "Text content to write";
constexpr std::string_view kWriteConfirm = "Must be true to write";
constexpr std::string_view kDeleteDescription = "Deletes a file or empty folder from OneDrive.";
constexpr std::string_view kDeletePath = "Absolute path to the file or folder";
constexpr std::string_view kDeleteConfirm = "Must be true to delete";
constexpr std::string_view kMoveDescription = "Moves or renames a file/folder within OneDrive.";
constexpr std::string_view kMoveSource = "Source path";
constexpr std::string_view kMoveDestination = "Destination path";
constexpr std::string_view kMoveConfirm = "Must be true to move";

constexpr std::string_view kReminderListsDescription =
    "Lists all reminder lists (folders) in Reminders.app.";
constexpr std::string_view kCompleteDescription = "Marks a reminder as complete.";
constexpr std::string_view kCompleteId = "Reminder ID from list_reminders";
constexpr std::string_view kCompleteConfirm = "Must be true to complete";

constexpr std::string_view kBriefDescription =
    "Returns a single morning briefing combining today's calendar events, overdue and due-today "
    "reminders, and unread inbox email count + subjects. Perfect for starting each day: one call "
    "gives you everything on your plate.";
constexpr std::string_view kBriefEmails =
    "Include unread email summary from Mail.app (default true, skipped gracefully if Mail is not "
    "running)";

constexpr std::string_view kCallAgain = "'. Call again with confirm: true";
constexpr std::string_view kDeletePreview = "Preview — permanently delete '";
// A folder: kDeleteFolderPreview, the path, kDeleteFolderContents, then the count of the entries
// at its top level (when it can be listed) in kDeleteFolderCount, and kDeleteFolderTail.
constexpr std::string_view kDeleteFolderPreview = "Preview — permanently delete the folder '";
constexpr std::string_view kDeleteFolderContents = "' with everything in it";
constexpr std::string_view kDeleteFolderCount = " entries at its top level)";
constexpr std::string_view kDeleteFolderOneEntry = " (1 entry at its top level)";
constexpr std::string_view kDeleteFolderTail = ". Call again with confirm: true";
constexpr std::string_view kOutsideOneDriveStart = "Path '";
constexpr std::string_view kOutsideOneDriveEnd = "' is outside your OneDrive folders.";
constexpr std::string_view kOneDriveFolder = "OneDrive folder";
constexpr std::string_view kMailSkipped = "Mail.app is not running";

constexpr std::string_view kAccountsScript =
    "var app = Application('Mail');\n"
    "return app.accounts().map(function(a) {\n"
    "  return { name: a.name(), email: a.emailAddresses().join(', '), type: a.accountType() };\n"
    "});";

// The limit follows as a number, then kBookmarksScriptBody.
constexpr std::string_view kBookmarksScriptHead =
    "var app = Application('Safari');\nvar results = [];\nvar limit = ";
constexpr std::string_view kBookmarksScriptBody = R"(;
function collect(item) {
  if (results.length >= limit) return;
  try {
    var kind = item.class ? item.class() : null;
    if (kind === 'bookmarks folder' || kind === 'bookmarks bar') {
      var children = item.bookmarkItems ? item.bookmarkItems() : [];
      for (var i = 0; i < children.length; i++) collect(children[i]);
    } else if (kind === 'bookmark') {
      results.push({ title: item.name() || '', url: item.url() || '' });
    }
  } catch (e) {}
}
try {
  if (app.bookmarksBar) collect(app.bookmarksBar());
  if (app.bookmarksMenu) collect(app.bookmarksMenu());
} catch (e) {
  return { error: 'Safari automation error: ' + e.toString() + '. Ensure TVRN has Automation access to Safari in System Settings → Privacy & Security → Automation.', bookmarks: [], count: 0 };
}
if (results.length === 0) {
  return { bookmarks: [], count: 0, note: 'No bookmarks found. If you have Safari bookmarks, ensure TVRN has Automation access: System Settings → Privacy & Security → Automation → TVRN → enable Safari.' };
}
return { bookmarks: results, count: results.length };)";

// Unread inbox mail over all accounts: the count, and up to 15 of the messages.
constexpr std::string_view kUnreadMailScript = R"(var mail = Application('Mail');
mail.includeStandardAdditions = true;
var result = { unread_count: 0, recent_unread: [], accounts: [] };
var inboxNames = ['inbox', 'bandeja de entrada', 'boîte de réception', 'posteingang',
  'posta in arrivo', 'caixa de entrada', '受信トレイ', '받은 편지함', '收件箱', '收件匣'];
var recent = [];
try {
  var accounts = mail.accounts();
  result.accounts = accounts.map(function(a) { return a.name(); });
  accounts.forEach(function(account) {
    try {
      account.mailboxes().forEach(function(box) {
        try {
          if (inboxNames.indexOf(box.name().toLowerCase()) < 0) return;
          var unread = box.messages.whose({ readStatus: false })();
          result.unread_count += unread.length;
          var take = Math.min(unread.length, 15 - recent.length);
          for (var i = 0; i < take; i++) {
            try {
              var m = unread[i];
              var sent = m.dateSent();
              recent.push({ subject: m.subject() || '(no subject)', sender: m.sender() || '',
                date: sent ? sent.toISOString() : '' });
            } catch (e) {}
          }
        } catch (e) {}
      });
    } catch (e) {}
  });
} catch (e) {
  result.error = e.toString();
}
result.recent_unread = recent;
return result;)";

}  // namespace tvrn::SystemTexts
