#include "manifest/ManifestAppleScriptRunner.h"

#include <chrono>
#include <string>

#include "bridges/ScriptText.h"
#include "core/ToolResponse.h"
#include "manifest/ManifestRunnerTexts.h"
#include "manifest/TemplateEngine.h"
#include "platform/ScriptHost.h"

namespace tvrn {

namespace Texts = ManifestRunnerTexts;

ToolResult ManifestAppleScriptRunner::execute(const BehaviorSpec& behavior,
                                              const nlohmann::json& params, std::int64_t timeoutMs,
                                              int) {
  const auto* script = behavior.as<BehaviorSpec::AppleScript>();
  if (script == nullptr)
    return fail(ToolError::executionFailed(std::string(Texts::kWrongBehavior)));
  return runAppleScript(TemplateEngine::renderScript(script->script, params,
                                                     TemplateEngine::ScriptSyntax::appleScript),
                        timeoutMs);
}

ToolResult ManifestAppleScriptRunner::runAppleScript(std::string_view script,
                                                     std::int64_t timeoutMs) {
  const std::int64_t limit = effectiveTimeoutMs(timeoutMs);
  const CompletedProcess run = ScriptHost::run(ScriptHost::ScriptLanguage::appleScript, script,
                                               std::chrono::milliseconds(limit));
  if (!run.launched) {
    return fail(ToolError::executionFailed(std::string(Texts::kLaunchFailed) + run.launchError));
  }
  if (run.timedOut) return fail(ToolError::executionFailed(Texts::appleScriptTimedOut(limit)));
  if (!run.exit.signalled && run.exit.status == 0) {
    return ToolResponse::text(ScriptText::decodeTrimmed(run.standardOutput));
  }
  std::string reason = ScriptText::decodeTrimmed(run.standardError);
  if (reason.empty()) reason = "exit " + std::to_string(run.exit.status);
  return fail(ToolError::executionFailed(std::string(Texts::kAppleScriptPrefix) + reason));
}

}  // namespace tvrn
