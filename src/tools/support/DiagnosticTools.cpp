#include "tools/support/DiagnosticTools.h"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <utility>

#include "base/Strings.h"
#include "base/Utf8.h"
#include "core/AuditLog.h"
#include "core/Config.h"
#include "core/ConfigManager.h"
#include "core/Params.h"
#include "core/Timeouts.h"
#include "core/ToolResponse.h"
#include "core/ToolSchema.h"
#include "platform/Endpoints.h"
#include "platform/HttpClient.h"
#include "platform/OperatingSystem.h"
#include "tools/common/SettingsHandler.h"
#include "tools/support/DiagnosticTexts.h"

namespace tvrn {
namespace {

namespace Texts = DiagnosticTexts;
using nlohmann::json;
using ToolSchema::property;
using ToolSchema::schema;

constexpr std::size_t kLabelWidth = 20;
constexpr int kAuditWindow = 500;
constexpr std::int64_t kAuditDefaultLimit = 50;
constexpr std::int64_t kAuditMaxLimit = 200;

std::string rule() {
  std::string line;
  for (int i = 0; i < 50; ++i) line += "─";
  return line;
}

std::string_view markOf(CheckStatus status) {
  switch (status) {
    case CheckStatus::ok:
      return "✓ ";
    case CheckStatus::warning:
      return "⚠ ";
    case CheckStatus::error:
      return "✗ ";
    case CheckStatus::permission:
      return "🔒";
    case CheckStatus::notRunning:
      return "○ ";
    case CheckStatus::skip:
    case CheckStatus::unavailable:
      break;
  }
  return "– ";
}

std::string padded(std::string_view label) {
  std::string out = Utf8::firstCharacters(label, kLabelWidth);
  out.append(kLabelWidth - Utf8::characterCount(out), ' ');
  return out;
}

bool isFailure(CheckStatus s) { return s == CheckStatus::error || s == CheckStatus::permission; }
bool isWarning(CheckStatus s) { return s == CheckStatus::warning || s == CheckStatus::notRunning; }

std::string summaryOf(const std::vector<DiagCheck>& checks) {
  std::vector<std::string> failed, hints, warned;
  std::size_t okCount = 0, ran = 0;
  for (const DiagCheck& check : checks) {
    ran += check.status != CheckStatus::unavailable;
    if (check.status == CheckStatus::ok) ++okCount;
    if (isWarning(check.status)) warned.push_back(check.label);
    if (!isFailure(check.status)) continue;
    failed.push_back(check.label);
    if (!check.fixHint.empty()) hints.push_back(check.fixHint);
  }
  if (ran == 0) return std::string(Texts::kNothingRan);
  const std::string total = std::to_string(ran);
  if (failed.empty() && warned.empty()) return "Summary: All " + total + " integrations working.";
  std::vector<std::string> notes;
  if (!failed.empty()) {
    notes.push_back("Problems with: " + Strings::joined(failed, ", ") + ".");
    if (!hints.empty()) notes.push_back(Strings::joined(hints, " "));
  }
  if (!warned.empty())
    notes.push_back("Not running (optional): " + Strings::joined(warned, ", ") + ".");
  return "Summary: " + std::to_string(okCount) + " of " + total + " integrations working. " +
         Strings::joined(notes, " ");
}

bool submitDiagnosticReport(const std::vector<DiagCheck>& checks, const std::string& version,
                            const std::string& focus) {
  json results = json::array();
  for (const DiagCheck& check : checks) {
    results.push_back({{"tool", check.tool},
                       {"status", toRaw(check.status)},
                       {"detail", check.detail},
                       {"fix_hint", check.fixHint}});
  }
  const json body = {{"version", version},
                     {"os_version", OperatingSystem::versionNumbers(3)},
                     {"arch", OperatingSystem::buildArchitecture()},
                     {"focus", focus},
                     {"results", std::move(results)}};
  const auto answer = HttpClient::postJSON(
      Endpoints::backend() + "/diagnostics", body,
      std::chrono::milliseconds(static_cast<long>(Timeouts::networkDefault * 1000)));
  return answer.ok() && answer.value().status == 201;
}

ToolResult runDiagnostics(const AutomationBridges& with, const std::string& version,
                          const Params::Arguments& arguments) {
  const std::string focus = Utf8::lowercased(Params::optional("focus", arguments, ""));
  const bool submit = Params::optionalBool("submit", arguments, false);
  const std::vector<DiagCheck> checks = DiagnosticTools::runAllChecks(with, focus);
  std::string text = DiagnosticTools::report(checks, version);
  if (submit) {
    text += submitDiagnosticReport(checks, version, focus) ? Texts::kSent : Texts::kNotSent;
  } else if (std::any_of(checks.begin(), checks.end(),
                         [](const DiagCheck& c) { return isFailure(c.status); })) {
    text += Texts::kInvitation;
  }
  return ToolResponse::text(text);
}

// Stored secrets never leave the machine in the clear: API keys, tokens, credentials and the
// pending sign-in code.
bool isSecretKey(std::string_view key) {
  const std::string lowered = Utf8::lowercased(key);
  return lowered == "api_key" || lowered == "m365_pending_device_code" ||
         lowered.ends_with("_token") || lowered.ends_with("_auth") ||
         lowered.find("secret") != std::string::npos ||
         lowered.find("password") != std::string::npos;
}

// A non-empty secret text as asterisks, one per character up to eight; members of nested
// objects by the same rule.
json masked(const std::string& key, const json& value) {
  if (isSecretKey(key) && value.is_string() && !value.get_ref<const std::string&>().empty()) {
    return std::string(
        std::min<std::size_t>(Utf8::characterCount(value.get_ref<const std::string&>()), 8), '*');
  }
  if (value.is_object()) {
    json out = json::object();
    for (const auto& [member, inner] : value.items()) out[member] = masked(member, inner);
    return out;
  }
  if (value.is_array()) {
    json out = json::array();
    for (const json& inner : value) out.push_back(masked("", inner));
    return out;
  }
  return value;
}

ToolResult getConfig(const ConfigManager& settings, const Params::Arguments&) {
  const json stored = Config(settings).load();
  json shown = json::object();
  for (const auto& [key, value] : stored.items()) {
    const json safe = masked(key, value);
    if (safe.is_string() || safe.is_boolean() || safe.is_number_integer()) {
      shown[key] = safe;
    } else {
      shown[key] = safe.dump(-1, ' ', false, json::error_handler_t::replace);
    }
  }
  return ToolResponse::json(JSONValue::fromRaw(shown).value_or(JSONValue::Object{}));
}

std::string stringMember(const json& entry, const char* name) {
  const auto found = entry.find(name);
  return found != entry.end() && found->is_string() ? found->get<std::string>() : "";
}

ToolResult getAuditLog(const Params::Arguments& arguments) {
  std::int64_t limit = Params::optionalInt("limit", arguments, kAuditDefaultLimit);
  limit = std::clamp<std::int64_t>(limit, 0, kAuditMaxLimit);
  const std::string tool = Params::optional("tool", arguments, "");
  std::optional<bool> ok;
  if (const JSONValue* given = arguments ? (*arguments)["ok"] : nullptr) ok = given->asBool();

  json entries = json::array();
  for (const json& entry : AuditLog::recent(kAuditWindow)) {
    if (static_cast<std::int64_t>(entries.size()) >= limit) break;
    if (!tool.empty() && stringMember(entry, "tool") != tool) continue;
    const auto success = entry.find("ok");
    const bool hasOk = success != entry.end() && success->is_boolean();
    if (ok && (!hasOk || success->get<bool>() != *ok)) continue;
    const auto ms = entry.find("ms");
    entries.push_back({{"ts", stringMember(entry, "ts")},
                       {"tool", stringMember(entry, "tool")},
                       {"source", stringMember(entry, "source")},
                       {"ok", hasOk && success->get<bool>()},
                       {"ms", ms != entry.end() && ms->is_number_integer() ? *ms : json(0)}});
  }
  const std::size_t count = entries.size();
  return ToolResponse::json(
      JSONValue::fromRaw(json{{"count", count}, {"entries", std::move(entries)}})
          .value_or(JSONValue::Object{}));
}

}  // namespace

std::string_view toRaw(CheckStatus status) {
  switch (status) {
    case CheckStatus::ok:
      return "ok";
    case CheckStatus::warning:
      return "warning";
    case CheckStatus::error:
      return "error";
    case CheckStatus::permission:
      return "permission";
    case CheckStatus::notRunning:
      return "not_running";
    case CheckStatus::unavailable:
      return "unavailable";
    case CheckStatus::skip:
      break;
  }
  return "skip";
}

namespace DiagnosticTools {

std::string report(const std::vector<DiagCheck>& checks, std::string_view version) {
  std::size_t okCount = 0, warnCount = 0, failCount = 0;
  std::vector<std::string> lines{"🔍 TVRN Diagnostics v" + std::string(version) + " — Linux " +
                                     OperatingSystem::versionNumbers(2),
                                 summaryOf(checks), rule()};
  for (const DiagCheck& check : checks) {
    okCount += check.status == CheckStatus::ok;
    warnCount += isWarning(check.status);
    failCount += isFailure(check.status);
    lines.push_back(std::string(markOf(check.status)) + " " + padded(check.label) + " " +
                    check.detail);
    if (check.status != CheckStatus::ok && !check.fixHint.empty()) {
      lines.push_back("   → " + check.fixHint);
    }
  }
  lines.push_back(rule());
  lines.push_back("✓ " + std::to_string(okCount) + " OK   ⚠ " + std::to_string(warnCount) +
                  " warnings   ✗ " + std::to_string(failCount) + " problems");
  return Strings::joined(lines, "\n");
}

void registerTools(ToolRegistry& registry, AutomationBridges with, std::string version) {
  registry.registerTool({"get_config", std::string(Texts::kConfigDescription),
                         schema(json::object(), json::array()), ToolKind::readOnly,
                         withSettings(*registry.context().settings, getConfig)});
  registry.registerTool({"run_diagnostics", std::string(Texts::kDiagnosticsDescription),
                         schema({{"focus", property("string", Texts::kFocus)},
                                 {"submit", property("boolean", Texts::kSubmit)}},
                                json::array()),
                         ToolKind::readOnly,
                         [with, version = std::move(version)](const Params::Arguments& arguments) {
                           return runDiagnostics(with, version, arguments);
                         }});
  registry.registerTool({"get_audit_log", std::string(Texts::kAuditDescription),
                         schema({{"limit", property("integer", Texts::kAuditLimit)},
                                 {"tool", property("string", Texts::kAuditTool)},
                                 {"ok", property("boolean", Texts::kAuditOk)}},
                                json::array()),
                         ToolKind::readOnly, getAuditLog});
}

}  // namespace DiagnosticTools
}  // namespace tvrn
