// The fixed texts of the Outlook diagnosis report.
#pragma once

namespace tvrn::OutlookTexts {

inline constexpr const char* kNotInstalled =
    "## Outlook Not Installed\n"
    "\n"
    "Microsoft Outlook is not installed on this Mac.\n"
    "\n"
    "outlook_diagnose checks which email accounts are configured in Outlook and compares them "
    "with Mail.app. Since Outlook is not installed, there is nothing to check.\n"
    "\n"
    "To use TVRN email tools with an Outlook/Exchange account, add the account directly to "
    "Mail.app:\n"
    "1. Open **Mail.app** → **Settings** → **Accounts**\n"
    "2. Click **+** → Choose **Microsoft Exchange**\n"
    "3. Sign in with your work or school credentials";

inline constexpr const char* kActionSteps[] = {
    "",
    "To use all email tools (read, send, reply, search, move, attachments), add these accounts to "
    "Mail.app:",
    "1. Open **Mail.app** → **Settings** → **Accounts**",
    "2. Click **+** → Choose **Microsoft Exchange** (for work/school) or **Other Mail Account** "
    "(for Outlook.com/Hotmail)",
    "3. Sign in with your Outlook credentials",
    "4. Once added, all email tools will work with these accounts automatically",
    "",
    "**Why Mail.app?** TVRN's email tools work through Mail.app, which supports Exchange, "
    "Outlook.com, Gmail, iCloud, and IMAP accounts. This gives you the full set of tools: read, "
    "send, reply, forward, move, search, attachments, and folder management.",
};

inline constexpr const char* kAllGood =
    "All your Outlook accounts are already in Mail.app. You can use all email tools (list_emails, "
    "read_email, send_email, reply_email, search_emails, etc.) right now.";

inline constexpr const char* kMailScript =
    "var app = Application('Mail');\n"
    "return app.accounts().map(function(a) {\n"
    "  return { name: a.name(), emails: a.emailAddresses(), type: a.accountType() };\n"
    "});";

}  // namespace tvrn::OutlookTexts
