// The diagnostics family's texts as users and clients see them: tool descriptions, the checks'
// details and fix hints, and the pieces of the report.
#pragma once

#include <string_view>

namespace tvrn::DiagnosticTexts {

constexpr std::string_view kConfigDescription =
    "Returns the current TVRN configuration (api_key masked).";
constexpr std::string_view kDiagnosticsDescription =
    "Runs a fast health check of all TVRN integrations on this machine. Shows what works, what "
    "doesn't, and how to fix it. Optionally submits a report to the TVRN team.";
constexpr std::string_view kFocus =
    "Integration to focus on: calendar, mail, contacts, reminders, omnifocus, outlook, notes, "
    "finder, onedrive. Leave empty to check all.";
constexpr std::string_view kSubmit =
    "Send the diagnostic report to the TVRN team for analysis (default: false)";
constexpr std::string_view kAuditDescription =
    "Returns recent TVRN tool call history from the local audit log. Each entry shows timestamp, "
    "tool name, call source (local/cloud), success status, and duration. Useful for GDPR Article "
    "30 compliance reporting and debugging.";
constexpr std::string_view kAuditLimit = "Number of recent entries to return (default 50, max 200)";
constexpr std::string_view kAuditTool = "Filter to entries for a specific tool name (optional)";
constexpr std::string_view kAuditOk =
    "Filter to successes (true) or failures (false) only (optional)";

// The summary when every check selected needs what this system cannot run.
constexpr std::string_view kNothingRan = "Summary: No check could run on this system.";

// Permission checks.
constexpr std::string_view kAccessGranted = "Access granted";
constexpr std::string_view kNoAccess = "No access permission";
constexpr std::string_view kNotYetGranted = "Permission not yet granted";
constexpr std::string_view kCalendarWriteOnly =
    "Write-only access (reading events requires Full Access)";
// The hints for refused access: "Open " + where this system grants it + one of these.
constexpr std::string_view kOpen = "Open ";
constexpr std::string_view kCalendarWriteOnlyAction =
    " → find tavrin-helper → switch to 'Full Access'";
constexpr std::string_view kDeniedAction = " and enable tavrin-helper";
constexpr std::string_view kCalendarPromptHint =
    "Use a Calendar tool once — it will prompt for access in tavrin-helper";
constexpr std::string_view kRemindersPromptHint =
    "Use a Reminders tool once — it will prompt for access in tavrin-helper";
constexpr std::string_view kContactsPromptHint =
    "Use a Contacts tool once — it will prompt for access in tavrin-helper";
constexpr std::string_view kHelperMissingHint =
    "The tavrin-helper binary must be present alongside tavrin-server";

// Script checks.
constexpr std::string_view kMailScript =
    "var app = Application('Mail');\nif (!app.running()) return { running: false };\nvar count = "
    "0;\napp.accounts().forEach(function(a) { count += a.mailboxes().length; });\nreturn { ok: "
    "true, mailboxes: count };";
constexpr std::string_view kNotesScript =
    "var app = Application('Notes');\nif (!app.running()) return { running: false };\nvar count = "
    "app.notes().length;\nreturn { ok: true, count: count };";
constexpr std::string_view kOmniFocusScript =
    "var app = Application('OmniFocus');\nif (!app.running()) return { running: false };\nvar "
    "count = app.defaultDocument.flattenedTasks.whose({ effectivelyCompleted: false "
    "})().length;\nreturn { ok: true, tasks: count };";
constexpr std::string_view kOutlookScript =
    "var app = Application('Microsoft Outlook');\nif (!app.running()) return { running: false "
    "};\nreturn { ok: true, running: true };";
constexpr std::string_view kNoAutomation = "No Automation permission";
constexpr std::string_view kAutomationHint =
    "Open System Settings → Privacy & Security → Automation → TVRN → ";
constexpr std::string_view kMailRestartHint = "Restarting Mail.app may resolve the issue";
constexpr std::string_view kMailNotOpen = "Mail is not open";
constexpr std::string_view kMailOpenHint = "Open Mail.app to enable email tools";
constexpr std::string_view kNotesNotOpen = "Notes is not open";
constexpr std::string_view kNotesOpenHint = "Open Notes.app to enable notes tools";
constexpr std::string_view kNotOpen = "Not open";
constexpr std::string_view kOmniFocusOpenHint = "Open OmniFocus to enable task management";
constexpr std::string_view kOutlookNotOpen = "Not open (optional)";
constexpr std::string_view kOutlookOpenHint = "Open Outlook to enable corporate email tools";

// File checks.
constexpr std::string_view kNoFilesystemAccess = "No filesystem access";
constexpr std::string_view kNoLocalFiles = "No access to local files";
constexpr std::string_view kItemsInHome = " items in the home folder";
constexpr std::string_view kOneDriveMissing = "OneDrive folder not found at ~/OneDrive";
constexpr std::string_view kOneDriveInstallHint = "Install and configure OneDrive for Mac";

// A check that did not finish in time.
constexpr std::string_view kTimedOut = "Timeout (check timed out)";
constexpr std::string_view kTimedOutHint = "Integration did not respond in time";

// The report.
constexpr std::string_view kInvitation =
    "\n\nWant to report this to the TVRN team? Call run_diagnostics with submit: true.";
constexpr std::string_view kSent = "\n✓ Report sent to the TVRN team.";
constexpr std::string_view kNotSent = "\n⚠ Could not send report (no connection).";

}  // namespace tvrn::DiagnosticTexts
