// The ServiceNow incident and knowledge-base tools: their handlers and the text a reader gets
// of the instance's records.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "core/ConfigManager.h"
#include "core/Params.h"
#include "core/ToolDefinition.h"

namespace tvrn::ServiceNowTools {

ToolResult servicenowListMyIncidents(const ConfigManager& settings,
                                     const Params::Arguments& arguments);
ToolResult servicenowSearchIncidents(const ConfigManager& settings,
                                     const Params::Arguments& arguments);
ToolResult servicenowGetIncident(const ConfigManager& settings, const Params::Arguments& arguments);
ToolResult servicenowCreateIncident(const ConfigManager& settings,
                                    const Params::Arguments& arguments);
ToolResult snDoUpdateIncident(const ConfigManager& settings, const Params::Arguments& arguments);
ToolResult servicenowAddComment(const ConfigManager& settings, const Params::Arguments& arguments);
ToolResult servicenowSearchKB(const ConfigManager& settings, const Params::Arguments& arguments);

// A field as a string: a display value, else a value, else a plain string, else "".
std::string snField(const nlohmann::json& record, const char* name);
// One record as lines; `full` adds the caller, category, dates, description and resolution.
std::string formatIncident(const nlohmann::json& record, const std::string& host, bool full);

}  // namespace tvrn::ServiceNowTools
