// The system family's support tools: the on-demand update and the updater's health, problem
// reports and feature requests, and QA runs.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <nlohmann/json.hpp>

#include "base/Timestamp.h"
#include "core/ConfigManager.h"
#include "core/DateFormat.h"
#include "core/EnvironmentSources.h"
#include "core/Timeouts.h"
#include "core/ToolResponse.h"
#include "manifest/EngineVersion.h"
#include "platform/Endpoints.h"
#include "platform/ExecutablePath.h"
#include "platform/HttpClient.h"
#include "platform/Paths.h"
#include "tools/common/SystemToolHandlers.h"
#include "tools/support/StateTools.h"
#include "tools/support/SupportToolsTexts.h"

namespace tvrn::SystemTools {
namespace {

namespace Texts = SupportTexts;
namespace fs = std::filesystem;
using nlohmann::json;

constexpr std::int64_t kDefaultAttempts = 10;
constexpr std::int64_t kMaxAttempts = 50;
constexpr std::string_view kProbeName = ".write-probe";

// The server binary's other homes, where a stale copy may shadow the updated one; relative
// paths are under the user's home.
constexpr std::array<std::string_view, 6> kBinaryCandidates = {
    "/usr/local/bin/tavrin-server",
    "/opt/homebrew/bin/tavrin-server",
    ".npm-global/bin/tavrin-server",
    ".local/bin/tavrin-server",
    "bin/tavrin-server",
    ".local/share/tavrin/bin/tavrin-server"};

std::chrono::milliseconds millisecondsOf(double seconds) {
  return std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
}

// Writes the probe beside the updates and removes it again. The folder is opened without
// following a link and never created; the probe is renamed into place, so a link or file that
// already bears its name is replaced rather than written through.
bool cacheWritable(const fs::path& folder) {
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dir < 0) return false;
  const std::string temporary = std::string(kProbeName) + "." + std::to_string(::getpid());
  bool written = false;
  const int fd =
      ::openat(dir, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd >= 0) {
    constexpr std::string_view kProbe = "probe";
    written = ::write(fd, kProbe.data(), kProbe.size()) == static_cast<ssize_t>(kProbe.size());
    written = ::close(fd) == 0 && written;
    written = written && ::renameat(dir, temporary.c_str(), dir, kProbeName.data()) == 0;
    ::unlinkat(dir, written ? kProbeName.data() : temporary.c_str(), 0);
  }
  ::close(dir);
  return written;
}

json binaryObject(const fs::path& path, const std::string& shown) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return {{"path", shown}, {"size", 0}, {"modified", ""}};
  const auto modified = std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(
          std::chrono::seconds(info.st_mtim.tv_sec) +
          std::chrono::nanoseconds(info.st_mtim.tv_nsec)));
  return {{"path", shown},
          {"size", static_cast<std::int64_t>(info.st_size)},
          {"modified", Timestamp::iso8601UTC(modified)}};
}

json binariesFound() {
  json found = json::array();
  for (const std::string_view candidate : kBinaryCandidates) {
    const fs::path path =
        candidate.starts_with('/') ? fs::path(candidate) : Paths::home() / fs::path(candidate);
    std::error_code error;
    if (!fs::exists(path, error)) continue;
    found.push_back(binaryObject(path, std::string(candidate)));
  }
  return found;
}

std::string stringMember(const json& object, const char* name) {
  const auto found = object.find(name);
  return found != object.end() && found->is_string() ? found->get<std::string>() : "";
}

// Why the back end turned a request down: its "detail", else the status.
std::string rejection(const HttpResponse& reply) {
  const json body = json::parse(reply.body, nullptr, false);
  if (body.is_object()) {
    if (const auto detail = body.find("detail"); detail != body.end() && detail->is_string()) {
      return detail->get<std::string>();
    }
  }
  return "HTTP " + std::to_string(reply.status);
}

// POSTs the body to the back end; its reply (discarded when not JSON) once `accepted` takes its
// status, else the failure to hand back.
Result<json, ToolError> post(const std::string& path, const json& body, double timeoutSeconds,
                             bool (*accepted)(int status), std::string_view rejected) {
  const auto answer =
      HttpClient::postJSON(Endpoints::backend() + path, body, millisecondsOf(timeoutSeconds));
  if (!answer) {
    return fail(
        ToolError::executionFailed(std::string(Texts::kNetworkError) + answer.error().message));
  }
  if (!accepted(answer.value().status)) {
    return fail(ToolError::executionFailed(std::string(rejected) + rejection(answer.value())));
  }
  return json::parse(answer.value().body, nullptr, false);
}

ToolResult postProblemReport(const AutomationBridges& with, const std::string& version,
                             const ServerContext& context, const std::string& symptom,
                             const std::string& toolAttempted, const std::string& errorMessage) {
  const json state = StateTools::snapshot(with, version, context);
  const std::array<std::pair<const char*, json>, 10> members = {{
      {"version", version},
      {"tray_version", ""},
      {"os_version", ""},
      {"arch", ""},
      {"machine_id", ""},
      {"ai_client", ""},
      {"cloud_data_enabled", false},
      {"tunnel_connected", false},
      {"tcc", json::object()},
      {"services", json::object()},
  }};
  json reduced = json::object();
  for (const auto& [name, fallback] : members) reduced[name] = state.value(name, fallback);
  json body = {{"symptom", symptom}, {"snapshot", std::move(reduced)}};
  if (!toolAttempted.empty()) body["tool_attempted"] = toolAttempted;
  if (!errorMessage.empty()) body["error_message"] = errorMessage;

  const auto answer = post(
      "/problem-reports", body, Timeouts::networkMedium,
      [](int status) { return status == 200 || status == 201; }, Texts::kProblemRejected);
  if (!answer) return fail(answer.error());
  std::string text(Texts::kReported);
  const json& replyBody = answer.value();
  if (replyBody.is_object()) {
    if (const std::string caseId = stringMember(replyBody, "case_id"); !caseId.empty()) {
      text += std::string(Texts::kCase) + caseId;
    }
    if (replyBody.value("deduplicated", json()) == json(true)) text += Texts::kDeduplicated;
  }
  return ToolResponse::text(text + std::string(Texts::kReportedTail));
}

ToolResult postFeedback(const ConfigManager& settings, const std::string& type,
                        const std::string& message) {
  const json body = {{"type", type},
                     {"message", message},
                     {"source", Texts::kFeedbackSource},
                     {"machine_id", settings.getMachineId()},
                     {"version", kEngineVersion}};
  const auto answer = post(
      "/feedback", body, Timeouts::networkMedium, [](int status) { return status == 201; },
      Texts::kFeedbackRejected);
  if (!answer) return fail(answer.error());
  std::string text = Texts::feedbackThanks(type);
  const json& replyBody = answer.value();
  if (replyBody.is_object() && replyBody.contains("case_id") && replyBody["case_id"].is_string()) {
    text += " (case " + replyBody["case_id"].get<std::string>() + ")";
  }
  return ToolResponse::text(text + ".");
}

json builtInTests() {
  const std::string today = iso8601Date(std::chrono::system_clock::now());
  const auto test = [](const char* tool, json params, const char* category, const char* expect) {
    return json{
        {"tool", tool}, {"params", std::move(params)}, {"category", category}, {"expect", expect}};
  };
  const json none = json::object();
  return json::array({
      test("tvrn_state", none, "system", "JSON snapshot with version, services, tunnel state"),
      test("list_emails", {{"max", 3}}, "mail", "array of emails or permission error"),
      test("list_accounts", none, "mail", "array of mail accounts"),
      test("list_calendar_events", {{"start_date", today}, {"end_date", today}}, "calendar",
           "array of events (can be empty)"),
      test("list_calendar_names", none, "calendar", "array of calendar names"),
      test("list_contacts", {{"max", 5}}, "contacts", "array of contacts or permission error"),
      test("list_reminder_lists", none, "reminders", "array of reminder lists or permission error"),
      test("list_notes", {{"max", 3}}, "notes", "array of notes or permission/not-running error"),
      test("finder_list", {{"path", "~/Desktop"}}, "finder", "array of files on Desktop"),
      test("onedrive_root", none, "onedrive", "OneDrive root folders or 'not found'"),
      test("teams_list_chats", {{"max", 3}}, "teams",
           "array of chats, or skip if Teams not installed"),
      test("whatsapp_list_chats", {{"max", 3}}, "whatsapp",
           "array of chats, or skip if wacli not installed"),
      test("update_tavrin", {{"check_only", true}}, "system",
           "current version and whether update is available"),
  });
}

// The back end's suite when it offers a non-empty list of test objects; its status is not
// looked at, only what it sent.
std::optional<json> fetchRemoteQASuite() {
  const auto answer = HttpClient::get(Endpoints::backend() + "/runtime/qa-suite",
                                      millisecondsOf(Timeouts::networkShort));
  if (!answer) return std::nullopt;
  const json reply = json::parse(answer.value().body, nullptr, false);
  if (!reply.is_object()) return std::nullopt;
  const auto tests = reply.find("tests");
  if (tests == reply.end() || !tests->is_array() || tests->empty() ||
      !std::all_of(tests->begin(), tests->end(), [](const json& t) { return t.is_object(); })) {
    return std::nullopt;
  }
  return *tests;
}

bool isArrayOfObjects(const json& value) {
  return value.is_array() &&
         std::all_of(value.begin(), value.end(), [](const json& item) { return item.is_object(); });
}

std::int64_t intOr(const json& object, const char* name, std::int64_t fallback) {
  const auto found = object.find(name);
  return found != object.end() && found->is_number_integer() ? found->get<std::int64_t>()
                                                             : fallback;
}

}  // namespace

ToolResult updateTavrin(const ServerContext& context, const Params::Arguments& arguments) {
  const bool checkOnly = Params::optionalBool("check_only", arguments, false);
  const auto report =
      EnvironmentSources::updateCheck(context.environment, checkOnly)
          .value_or(EnvironmentSources::UpdateReport{std::string(Texts::kUpdateUnavailable), true});
  JSONValue result = ToolResponse::text(report.text);
  return report.failed ? ToolResponse::failure(std::move(result)) : result;
}

ToolResult updateSelfDiagnosis(const std::string& version, const ServerContext& context,
                               const Params::Arguments& arguments) {
  const std::int64_t limit = std::clamp<std::int64_t>(
      Params::optionalInt("limit", arguments, kDefaultAttempts), 1, kMaxAttempts);
  const EnvironmentSources::UpdateHistory history =
      EnvironmentSources::updateHistory(context.environment);
  const fs::path cacheDir = Paths::localShare() / "bin";
  const fs::path running = ExecutablePath::file();

  json attempts = json::array();
  const auto count = std::min<std::size_t>(history.attempts.size(), limit);
  for (auto it = history.attempts.rbegin(); it != history.attempts.rbegin() + count; ++it) {
    attempts.push_back(*it);
  }
  const json report = {{"current_version", version},
                       {"running_from", running.empty() ? "(unknown)" : running.string()},
                       {"cache_dir", cacheDir.string()},
                       {"cache_writable", cacheWritable(cacheDir)},
                       {"last_success_at", history.lastSuccessAt},
                       {"consecutive_failures", history.consecutiveFailures},
                       {"binaries_found", binariesFound()},
                       {"recent_attempts_count", attempts.size()},
                       {"recent_attempts", std::move(attempts)}};
  return ToolResponse::json(JSONValue::fromRaw(report).value_or(JSONValue()));
}

ToolResult reportProblem(const AutomationBridges& with, const std::string& version,
                         const ServerContext& context, const Params::Arguments& arguments) {
  const std::string type = Params::optional("report_type", arguments, "");
  const std::string symptom = Params::optional("symptom", arguments, "");
  const bool confirm = Params::optionalBool("confirm", arguments, false);
  if (type == "feature" || type == "integration") {
    std::string text = Params::optional("description", arguments, "");
    if (text.empty()) text = symptom;
    if (text.empty()) {
      return fail(ToolError::invalidParam("description", std::string(Texts::kFeatureExpected)));
    }
    if (confirm) return postFeedback(*context.settings, type, text);
    return ToolResponse::text(Texts::requestPreview(type, text));
  }
  if (symptom.empty()) {
    return fail(ToolError::invalidParam("symptom", std::string(Texts::kSymptomExpected)));
  }
  const std::string tool = Params::optional("tool_attempted", arguments, "");
  const std::string error = Params::optional("error_message", arguments, "");
  if (confirm) return postProblemReport(with, version, context, symptom, tool, error);

  const json tcc = StateTools::snapshot(with, version, context).value("tcc", json::object());
  std::string permissions;
  if (tcc.is_object()) {
    for (const auto& [name, value] : tcc.items()) {
      if (!permissions.empty()) permissions += ", ";
      permissions += name + ": " + (value.is_string() ? value.get<std::string>() : value.dump());
    }
  }
  return ToolResponse::text(Texts::problemPreview(symptom, tool, error, permissions));
}

ToolResult runQA(const std::string& version) {
  const json tests = fetchRemoteQASuite().value_or(builtInTests());
  const std::string runId = Timestamp::iso8601UTC(std::chrono::system_clock::now());
  const json protocol = {{"run_id", runId},
                         {"version", version},
                         {"test_count", tests.size()},
                         {"instructions", Texts::qaInstructions(runId)},
                         {"tests", tests}};
  try {
    return ToolResponse::text(protocol.dump(2));
  } catch (const json::exception&) {  // a suite text that is not UTF-8
    return fail(ToolError::executionFailed(std::string(Texts::kSerializeFailed)));
  }
}

ToolResult submitQAReport(const Params::Arguments& arguments) {
  return Params::withRequired2(
      "run_id", "results", arguments,
      [&arguments](const std::string& runId, const std::string& resultsText) -> ToolResult {
        const json results = json::parse(resultsText, nullptr, false);
        if (!isArrayOfObjects(results)) {
          return fail(ToolError::invalidParam("results", std::string(Texts::kResultsExpected)));
        }
        const std::int64_t bugs = Params::optionalInt("bugs_found", arguments, 0);
        const json body = {
            {"run_id", runId},
            {"results", results},
            {"duration_seconds", Params::optionalInt("duration_seconds", arguments, 0)},
            {"bugs_found", bugs},
            {"notes", Params::optional("notes", arguments, "")},
            {"version", Params::optional("version", arguments, "")}};
        const auto answer = post(
            "/qa-reports", body, Timeouts::networkLong, [](int status) { return status < 400; },
            Texts::kQARejected);
        if (!answer) return fail(answer.error());
        const json& summary = answer.value();
        if (!summary.is_object()) {
          return fail(ToolError::executionFailed(std::string(Texts::kNetworkError) + "unknown"));
        }
        const auto coverage = summary.find("coverage_pct");
        const double coveragePct =
            coverage != summary.end() && coverage->is_number() ? coverage->get<double>() : 0.0;
        return ToolResponse::text(
            std::string(Texts::kQASubmitted) + runId + "\nTools tested: " +
            std::to_string(intOr(summary, "total", static_cast<std::int64_t>(results.size()))) +
            " | Passed: " + std::to_string(intOr(summary, "passed", 0)) +
            " | Failed: " + std::to_string(intOr(summary, "failed", 0)) +
            "\nCoverage: " + json(coveragePct).dump() + "% | Bugs found: " + std::to_string(bugs) +
            "\nView at: " + Endpoints::web() + std::string(Texts::kQAViewPath));
      });
}

}  // namespace tvrn::SystemTools
