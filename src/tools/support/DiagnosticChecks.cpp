// The nine integration checks and running them side by side against one deadline.
#include <unistd.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include "base/Utf8.h"
#include "bridges/HelperProxy.h"
#include "bridges/TCCMessages.h"
#include "platform/Paths.h"
#include "tools/common/LocalFiles.h"
#include "tools/support/DiagnosticTexts.h"
#include "tools/support/DiagnosticTools.h"

namespace tvrn {
namespace {

namespace Texts = DiagnosticTexts;
using nlohmann::json;

// ---- Permission checks: the helper's permission word for the entity, then its list's size.

struct PermissionCheck {
  std::string_view name;  // also the entity's member in the helper's status reply
  std::string_view label;
  std::string_view service;  // as the hint names it where access is granted
  std::string_view promptHint;
  std::string_view countMethod;  // empty: granted access is the whole answer
  std::string_view countMember;
  std::string_view countSuffix;
};

constexpr PermissionCheck kCalendar{"calendar",
                                    "Calendar",
                                    "Calendars",
                                    Texts::kCalendarPromptHint,
                                    "list_calendar_names",
                                    "calendars",
                                    " calendars available"};
constexpr PermissionCheck kReminders{
    "reminders",           "Reminders", "Reminders", Texts::kRemindersPromptHint,
    "list_reminder_lists", "lists",     " lists"};
constexpr PermissionCheck kContacts{"contacts", "Contacts", "Contacts", Texts::kContactsPromptHint,
                                    "",         "",         ""};

// What to do about refused access: where this system grants it, then the action there.
std::string accessHint(const PermissionCheck& check, std::string_view action) {
  return std::string(Texts::kOpen) + TCCMessages::grantPlace(check.service) + std::string(action);
}

DiagCheck made(std::string_view tool, std::string_view label, CheckStatus status,
               std::string detail, std::string_view fixHint = {}) {
  return {std::string(tool), std::string(label), status, std::move(detail), std::string(fixHint)};
}

std::string permissionState(HelperProxy& helper, std::string_view entity) {
  const json reply = helper.callDict("get_tcc_status").value_or(json::object());
  const auto found = reply.find(entity);
  return found != reply.end() && found->is_string() ? found->get<std::string>()
                                                    : "helper_unavailable";
}

std::string countDetail(HelperProxy& helper, const PermissionCheck& check) {
  const auto reply = helper.callDict(check.countMethod);
  if (reply) {
    const auto list = reply->find(check.countMember);
    if (list != reply->end() && list->is_array() && !list->empty()) {
      return std::to_string(list->size()) + std::string(check.countSuffix);
    }
  }
  return std::string(Texts::kAccessGranted);
}

DiagCheck permissionCheck(HelperProxy& helper, const PermissionCheck& check) {
  const std::string state = permissionState(helper, check.name);
  const bool counts = !check.countMethod.empty();
  if (state == "authorized" || (state == "fullAccess" && counts)) {
    return made(check.name, check.label, CheckStatus::ok,
                counts ? countDetail(helper, check) : std::string(Texts::kAccessGranted));
  }
  if (state == "writeOnly" && check.name == kCalendar.name) {
    return made(check.name, check.label, CheckStatus::permission,
                std::string(Texts::kCalendarWriteOnly),
                accessHint(check, Texts::kCalendarWriteOnlyAction));
  }
  if (state == "denied" || state == "restricted") {
    return made(check.name, check.label, CheckStatus::permission, std::string(Texts::kNoAccess),
                accessHint(check, Texts::kDeniedAction));
  }
  if (state == "notDetermined") {
    return made(check.name, check.label, CheckStatus::warning, std::string(Texts::kNotYetGranted),
                check.promptHint);
  }
  return made(check.name, check.label, CheckStatus::warning, "Helper not available (" + state + ")",
              Texts::kHelperMissingHint);
}

DiagCheck checkCalendar(const AutomationBridges& with) {
  return permissionCheck(with.helper, kCalendar);
}
DiagCheck checkReminders(const AutomationBridges& with) {
  return permissionCheck(with.helper, kReminders);
}
DiagCheck checkContacts(const AutomationBridges& with) {
  return permissionCheck(with.helper, kContacts);
}

// ---- Script checks: a short script on the diagnostics runner, its answer sorted into four.

enum class JXAOutcome { success, failure, permissionDenied, notRunning };

struct JXACheckResult {
  JXAOutcome outcome;
  std::string text;
};

bool readsAsRefusal(std::string_view text) {
  const std::string lowered = Utf8::lowercased(text);
  return lowered.find("not allowed") != std::string::npos ||
         lowered.find("access denied") != std::string::npos;
}

JXACheckResult fromValue(const json& value) {
  if (!value.is_object()) {
    return {JXAOutcome::success, Utf8::firstCharacters(value.dump(), 80)};
  }
  if (value.contains("__not_running__")) return {JXAOutcome::notRunning, {}};
  if (const auto thrown = value.find("__error__"); thrown != value.end() && thrown->is_string()) {
    const auto& text = thrown->get_ref<const std::string&>();
    if (readsAsRefusal(text)) return {JXAOutcome::permissionDenied, {}};
    return {JXAOutcome::failure, Utf8::firstCharacters(text, 100)};
  }
  if (const auto running = value.find("running");
      running != value.end() && running->is_boolean() && !running->get<bool>()) {
    return {JXAOutcome::notRunning, {}};
  }
  std::string pieces;
  for (const auto& [member, suffix] :
       {std::pair{"mailboxes", " mailboxes"}, std::pair{"count", " items"},
        std::pair{"tasks", " tasks"}}) {
    const auto number = value.find(member);
    if (number == value.end() || !number->is_number_integer()) continue;
    pieces += (pieces.empty() ? "" : ", ") + number->dump() + suffix;
  }
  return {JXAOutcome::success, pieces.empty() ? "OK" : pieces};
}

JXACheckResult fromError(const JXAError& error) {
  switch (error.kind()) {
    case JXAError::Case::scriptError:
      if (readsAsRefusal(error.payload())) return {JXAOutcome::permissionDenied, {}};
      return {JXAOutcome::failure, Utf8::firstCharacters(error.payload(), 120)};
    case JXAError::Case::jsonParseError:
      return {JXAOutcome::success, Utf8::firstCharacters(error.payload(), 80)};
    case JXAError::Case::permissionDenied:
      return {JXAOutcome::permissionDenied, {}};
    case JXAError::Case::timeout:
      break;
  }
  return {JXAOutcome::failure, "Timeout"};
}

// The runner already turns the body's value into JSON and a throw into {"__error__": text}; a
// body that finds its application closed answers with the not-running marker. The runner's own
// time-out bounds every check.
JXACheckResult runJXACheck(JXARunning& scripts, std::string_view body) {
  std::string script = "var result = (function() { ";
  script += body;
  script +=
      " })();\nif (result && result.running === false) return { __not_running__: true };\n"
      "return result;";
  const JXAResult ran = scripts.run(script);
  return ran ? fromValue(ran.value()) : fromError(ran.error());
}

// What a script check reports for each outcome besides success.
struct ScriptCheck {
  std::string_view name;
  std::string_view label;
  std::string_view script;
  CheckStatus failureStatus;
  std::string_view failureHint;
  std::string_view application;  // as the Automation settings name it
  std::string_view notRunningDetail;
  std::string_view notRunningHint;
  bool fixedSuccessDetail;  // "Running" instead of what the script found
};

constexpr ScriptCheck kMail{"mail",
                            "Mail.app",
                            Texts::kMailScript,
                            CheckStatus::error,
                            Texts::kMailRestartHint,
                            "Mail",
                            Texts::kMailNotOpen,
                            Texts::kMailOpenHint,
                            false};
constexpr ScriptCheck kNotes{"notes", "Notes", Texts::kNotesScript,  CheckStatus::error,
                             "",      "Notes", Texts::kNotesNotOpen, Texts::kNotesOpenHint,
                             false};
constexpr ScriptCheck kOmniFocus{
    "omnifocus", "OmniFocus", Texts::kOmniFocusScript, CheckStatus::warning,
    "",          "OmniFocus", Texts::kNotOpen,         Texts::kOmniFocusOpenHint,
    false};
constexpr ScriptCheck kOutlook{
    "outlook", "Outlook", Texts::kOutlookScript,  CheckStatus::warning,
    "",        "Outlook", Texts::kOutlookNotOpen, Texts::kOutlookOpenHint,
    true};

DiagCheck scriptCheck(JXARunning& scripts, const ScriptCheck& check) {
  if (!scripts.canRun()) {
    return made(check.name, check.label, CheckStatus::unavailable,
                std::string(kScriptsUnavailable));
  }
  const JXACheckResult result = runJXACheck(scripts, check.script);
  switch (result.outcome) {
    case JXAOutcome::success:
      return made(check.name, check.label, CheckStatus::ok,
                  check.fixedSuccessDetail ? "Running" : result.text);
    case JXAOutcome::failure:
      return made(check.name, check.label, check.failureStatus, result.text, check.failureHint);
    case JXAOutcome::permissionDenied:
      return made(check.name, check.label, CheckStatus::permission,
                  std::string(Texts::kNoAutomation),
                  std::string(Texts::kAutomationHint) + std::string(check.application));
    case JXAOutcome::notRunning:
      break;
  }
  return made(check.name, check.label, CheckStatus::notRunning, std::string(check.notRunningDetail),
              check.notRunningHint);
}

DiagCheck checkMail(const AutomationBridges& with) { return scriptCheck(with.scripts, kMail); }
DiagCheck checkNotes(const AutomationBridges& with) { return scriptCheck(with.scripts, kNotes); }
DiagCheck checkOmniFocus(const AutomationBridges& with) {
  return scriptCheck(with.scripts, kOmniFocus);
}
DiagCheck checkOutlook(const AutomationBridges& with) {
  return scriptCheck(with.scripts, kOutlook);
}

// ---- File checks.

std::size_t entryCount(const std::string& dir) {
  auto names = LocalFiles::entriesOf(dir);
  return names.ok() ? names.value().size() : 0;
}

// Linux desktops need no Desktop folder; the home folder is where the file tools start.
DiagCheck checkFinder(const AutomationBridges&) {
  const std::string home = Paths::home().string();
  if (::access(home.c_str(), R_OK) != 0) {
    return made("finder", "Finder / Files", CheckStatus::permission,
                std::string(Texts::kNoFilesystemAccess), Texts::kNoLocalFiles);
  }
  return made("finder", "Finder / Files", CheckStatus::ok,
              std::to_string(entryCount(home)) + std::string(Texts::kItemsInHome));
}

DiagCheck checkOneDrive(const AutomationBridges&) {
  for (const char* candidate : {"OneDrive", "Library/CloudStorage"}) {
    const std::string path = Paths::underHome(candidate).string();
    if (!LocalFiles::exists(path)) continue;
    return made("onedrive", "OneDrive", CheckStatus::ok,
                std::to_string(entryCount(path)) + " items at " + path);
  }
  return made("onedrive", "OneDrive", CheckStatus::warning, std::string(Texts::kOneDriveMissing),
              Texts::kOneDriveInstallHint);
}

// ---- The table and the run.

struct Row {
  std::string_view name;
  std::string_view label;  // shown only when the check does not finish in time
  DiagCheck (*check)(const AutomationBridges& with);
};

constexpr Row kRows[] = {
    {"calendar", "Calendar", checkCalendar}, {"reminders", "Reminders", checkReminders},
    {"contacts", "Contacts", checkContacts}, {"mail", "mail", checkMail},
    {"notes", "notes", checkNotes},          {"omnifocus", "omnifocus", checkOmniFocus},
    {"outlook", "outlook", checkOutlook},    {"finder", "finder", checkFinder},
    {"onedrive", "onedrive", checkOneDrive},
};

std::vector<const Row*> selectedRows(std::string_view focus) {
  std::vector<const Row*> rows;
  for (const Row& row : kRows) {
    if (focus.empty() || row.name.find(focus) != std::string_view::npos ||
        row.label.find(focus) != std::string_view::npos) {
      rows.push_back(&row);
    }
  }
  if (rows.empty()) {
    for (const Row& row : kRows) rows.push_back(&row);
  }
  return rows;
}

// Shared by the waiting caller and the check threads, which may outlive the wait.
struct Slots {
  std::mutex mutex;  // guards checks and finished
  std::condition_variable changed;
  std::vector<std::optional<DiagCheck>> checks;
  std::size_t finished = 0;
};

}  // namespace

std::vector<DiagCheck> DiagnosticTools::runAllChecks(const AutomationBridges& with,
                                                     std::string_view focus,
                                                     std::chrono::milliseconds deadline) {
  const auto until = std::chrono::steady_clock::now() + deadline;
  const std::vector<const Row*> rows = selectedRows(focus);
  auto slots = std::make_shared<Slots>();
  slots->checks.resize(rows.size());
  std::size_t started = 0;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    try {
      std::thread([slots, i, check = rows[i]->check, with] {
        DiagCheck result = check(with);
        std::lock_guard hold(slots->mutex);
        slots->checks[i] = std::move(result);
        ++slots->finished;
        slots->changed.notify_all();
      }).detach();
      ++started;
    } catch (const std::system_error&) {
      // No thread to be had: the row is reported as not finished.
    }
  }

  std::vector<DiagCheck> checks;
  std::unique_lock hold(slots->mutex);
  slots->changed.wait_until(hold, until, [&] { return slots->finished == started; });
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (slots->checks[i]) {
      checks.push_back(*slots->checks[i]);
    } else {
      checks.push_back(made(rows[i]->name, rows[i]->label, CheckStatus::skip,
                            std::string(Texts::kTimedOut), Texts::kTimedOutHint));
    }
  }
  return checks;
}

}  // namespace tvrn
