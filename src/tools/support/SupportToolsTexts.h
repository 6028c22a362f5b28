// The texts of the self-update, problem-report and QA tools of the system family.
#pragma once

#include <string>
#include <string_view>

namespace tvrn::SupportTexts {

inline constexpr std::string_view kUpdateDescription = "Checks for and installs TVRN updates.";
inline constexpr std::string_view kUpdateCheckOnly =
    "Only check whether an update is available; download and install nothing (default false)";
// Only when start-up has not connected the updater (a test's registry, a stand-alone family).
inline constexpr std::string_view kUpdateUnavailable = "The self-updater is not available.";
inline constexpr std::string_view kDiagnosisDescription =
    "Returns the self-update health state: current version, last N update attempts (with "
    "errors), writability of the update cache, and any stale TVRN binaries found at alternate "
    "paths. Call this when auto-update seems stuck or when you need to explain to a user why "
    "they're on an old version.";
inline constexpr std::string_view kDiagnosisLimit = "Max recent attempts to return (default 10)";
inline constexpr std::string_view kReportDescription =
    "Report a problem, feature request, or integration request to the TVRN team. IMPORTANT: Do "
    "NOT call this tool automatically. ALWAYS ask the user first: \"Would you like me to report "
    "this issue to the TVRN team?\" Only call this tool if the user explicitly agrees. When called "
    "without confirm=true, returns a preview of the anonymous data that will be sent. Show this "
    "preview to the user and only set confirm=true after they approve. No personal data is "
    "included — only version, OS, and permission status. Use type='feature' when the user wants "
    "a new capability. Use type='integration' when the user wants to connect an unsupported app.";
inline constexpr std::string_view kReportType = "'problem' (default) | 'feature' | 'integration'";
inline constexpr std::string_view kReportSymptom =
    "Required for type=problem: what is broken, in your own words.";
inline constexpr std::string_view kReportDescriptionParam =
    "Required for type=feature or integration: what the user wants.";
inline constexpr std::string_view kReportTool =
    "For type=problem: name of the TVRN tool that failed.";
inline constexpr std::string_view kReportError =
    "For type=problem: verbatim error string from the failed tool.";
inline constexpr std::string_view kReportUserRequest =
    "What the user originally asked the AI to do.";
inline constexpr std::string_view kReportExpected = "What you or the user expected to happen.";
inline constexpr std::string_view kReportConfirm =
    "Must be true to submit the report. Without it, shows a preview.";
inline constexpr std::string_view kRunQADescription =
    "Returns a QA test protocol listing every TVRN tool to test, sample params, and what a passing "
    "result looks like. Execute each test, collect results, then call submit_qa_report. Use this "
    "before reporting a release or when the user asks to verify TVRN is working correctly.";
inline constexpr std::string_view kSubmitDescription =
    "Submits an automated QA run report to the TVRN team. It is used by an automated AI agent "
    "that exercises the tools for continuous quality monitoring.";
inline constexpr std::string_view kSubmitRunId =
    "Unique identifier for this QA run (e.g. ISO timestamp)";
inline constexpr std::string_view kSubmitResults =
    "JSON array of {tool, status, detail} objects. status: ok|preview|error|permission|skip";
inline constexpr std::string_view kSubmitDuration = "Total duration of the QA run in seconds";
inline constexpr std::string_view kSubmitBugs = "Number of tools that returned unexpected errors";
inline constexpr std::string_view kSubmitNotes = "Summary notes from the QA run";
inline constexpr std::string_view kSubmitVersion = "TVRN version tested";

// Problem reports and feature requests.
inline constexpr std::string_view kFeatureExpected = "description of the feature or integration";
inline constexpr std::string_view kSymptomExpected = "description of what is broken";

inline std::string requestPreview(const std::string& type, const std::string& text) {
  return "Preview — will submit " + type + " request:\n  " + text +
         "\n\nCall again with confirm: true to submit.";
}

inline std::string problemPreview(const std::string& symptom, const std::string& tool,
                                  const std::string& error, const std::string& tcc) {
  return "Preview — problem report to be sent to TVRN team:\n  Symptom: " + symptom +
         "\n  Tool: " + tool + "\n  Error: " + error +
         "\n\nAnonymous diagnostic data included:\n  Version, OS, architecture, TCC status\n"
         "  TCC: " +
         tcc +
         "\n  Service availability (counts only, no account names)\n\n"
         "NOT included: email account names, logs, recent activity, user requests.\n\n"
         "Call again with confirm: true to submit, or omit to cancel.";
}

inline constexpr std::string_view kNetworkError = "Network error: ";
inline constexpr std::string_view kProblemRejected = "Problem report rejected: ";
inline constexpr std::string_view kFeedbackRejected = "Feedback rejected: ";
inline constexpr std::string_view kReported = "Problem reported to the TVRN team";
inline constexpr std::string_view kCase = " — case ";
inline constexpr std::string_view kDeduplicated =
    " (deduplicated — same problem reported recently)";
// Only what the report really carries is named.
inline constexpr std::string_view kReportedTail =
    ". Full context (versions, permissions) was captured automatically. "
    "The team typically responds within 24 hours.";

inline std::string feedbackThanks(const std::string& type) {
  return "Thank you! Your " + type + " has been submitted to the TVRN team";
}

// The back end reads where feedback came from by this word.
inline constexpr std::string_view kFeedbackSource = "tavrin-swift";

// QA runs.
inline constexpr std::string_view kSerializeFailed = "Failed to serialize QA protocol";
inline constexpr std::string_view kResultsExpected = "JSON array of {tool, status, detail}";
inline constexpr std::string_view kQARejected = "QA report rejected: ";

inline std::string qaInstructions(const std::string& runId) {
  return "Execute each test in the 'tests' array:\n"
         "1. Call the tool with the given params.\n"
         "2. Record status: 'ok' (got expected data), 'error' (tool returned error), 'permission' "
         "(access denied), 'skip' (service not installed/running).\n"
         "3. Record a short 'detail' string (e.g. \"3 emails\", \"permission denied\", "
         "\"OmniFocus not running\").\n"
         "4. Track start/end time for duration_seconds.\n"
         "5. When all tests are done, call submit_qa_report with run_id='" +
         runId +
         "', results=[{tool, status, detail}], duration_seconds, bugs_found (count of "
         "error/permission statuses), and a brief notes summary.";
}

inline constexpr std::string_view kQASubmitted = "QA report submitted ✓\nRun: ";
inline constexpr std::string_view kQAViewPath = "/admin/qa";

}  // namespace tvrn::SupportTexts
