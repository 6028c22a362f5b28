// The road of every manifest tool call: validate the arguments, hold back an unconfirmed
// destructive tool with a preview, check the declared privacy permissions, run the behaviour and
// report a success to telemetry.
#pragma once

#include <optional>
#include <string>

#include "bridges/TCCStatusChecker.h"
#include "core/JSONValue.h"
#include "core/ToolDefinition.h"
#include "manifest/Manifest.h"
#include "platform/HttpClient.h"

namespace tvrn {
class RunnerTable;
}

namespace tvrn::ExecutionPipeline {

// The runner's result unchanged, or the validation, confirmation or permission outcome that
// stopped the call before it ran. The declared permissions are checked against `permissions`;
// without one, none is granted. The behaviour runs through `runners`; a success's telemetry
// event goes out on `telemetry`.
ToolResult execute(const ToolSpec& spec, const std::optional<JSONValue>& rawParams,
                   const std::optional<std::string>& machineId, const PermissionSource& permissions,
                   const RunnerTable& runners, BackgroundPoster& telemetry);

}  // namespace tvrn::ExecutionPipeline
