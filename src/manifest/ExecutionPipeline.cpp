#include "manifest/ExecutionPipeline.h"

#include "bridges/TCCStatusChecker.h"
#include "core/ToolResponse.h"
#include "manifest/ManifestRunnerTexts.h"
#include "manifest/ParameterValidator.h"
#include "manifest/RunnerDispatch.h"
#include "manifest/TelemetryEngine.h"
#include "manifest/TemplateEngine.h"

namespace tvrn {
namespace {

namespace Texts = ManifestRunnerTexts;

bool isConfirmed(const nlohmann::json& params) {
  auto confirm = params.find("confirm");
  return confirm != params.end() && confirm->is_boolean() && confirm->get<bool>();
}

ToolResult preview(const ToolSpec& spec, const nlohmann::json& params) {
  const std::string text = spec.previewTemplate.value_or(Texts::defaultPreview(spec.name));
  return ToolResponse::text(TemplateEngine::render(text, params) +
                            std::string(Texts::kConfirmHint));
}

bool satisfies(const TCCRequirement& requirement, const PermissionStatusMap& statuses) {
  auto found = statuses.find(requirement.service);
  const std::string status = found == statuses.end() ? "notDetermined" : found->second;
  return status == "granted" || (status == "writeOnly" && requirement.level != "full_access");
}

// The first requirement the current permissions do not meet, if any.
const TCCRequirement* unmetRequirement(const std::vector<TCCRequirement>& requirements,
                                       const PermissionSource& permissions) {
  if (requirements.empty()) return nullptr;
  const PermissionStatusMap statuses = permissions ? permissions() : PermissionStatusMap();
  for (const TCCRequirement& requirement : requirements) {
    if (!satisfies(requirement, statuses)) return &requirement;
  }
  return nullptr;
}

}  // namespace

ToolResult ExecutionPipeline::execute(const ToolSpec& spec,
                                      const std::optional<JSONValue>& rawParams,
                                      const std::optional<std::string>& machineId,
                                      const PermissionSource& permissions,
                                      const RunnerTable& runners, BackgroundPoster& telemetry) {
  auto validated = ParameterValidator::validate(rawParams, spec.params);
  if (!validated.ok()) return fail(validated.error());
  const nlohmann::json& params = validated.value();

  if (spec.destructive && !isConfirmed(params)) return preview(spec, params);
  if (const TCCRequirement* unmet = unmetRequirement(spec.tccRequirements, permissions)) {
    return fail(ToolError::permissionDenied(unmet->deniedMessage));
  }
  ToolResult result = runners.execute(spec.behavior, params, spec.timeoutMs);
  if (result.ok() && spec.telemetry) {
    TelemetryEngine::fire(telemetry, *spec.telemetry, params, machineId);
  }
  return result;
}

}  // namespace tvrn
