// Checks a manifest tool call's arguments against the tool's parameters and converts them into
// the validated parameters (a JSON object of plain values) that the pipeline, the templates, the
// runners and the telemetry read.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

#include "core/JSONValue.h"
#include "core/ToolDefinition.h"
#include "manifest/Manifest.h"

namespace tvrn::ParameterValidator {

// Each declared parameter converted by its type (a JSON null counts as absent; an absent one
// takes its default), then every undeclared argument as it came. The first parameter that is
// missing or does not convert fails the whole call.
Result<nlohmann::json, ToolError> validate(const std::optional<JSONValue>& raw,
                                           const std::vector<ParamSpec>& params);

}  // namespace tvrn::ParameterValidator
