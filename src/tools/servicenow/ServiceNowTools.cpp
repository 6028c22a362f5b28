#include "tools/servicenow/ServiceNowTools.h"

#include "core/ToolSchema.h"
#include "tools/common/SettingsHandler.h"
#include "tools/servicenow/ServiceNowConnection.h"
#include "tools/servicenow/ServiceNowIncidents.h"
#include "tools/servicenow/ServiceNowTexts.h"

namespace tvrn::ServiceNowTools {
namespace {

using nlohmann::json;
using ToolSchema::property;
using ToolSchema::schema;
namespace Texts = ServiceNowTexts;

json text(std::string_view description) { return property("string", description); }
json integer(std::string_view description) { return property("integer", description); }

void add(ToolRegistry& registry, const Texts::ToolText& tool, json inputSchema, ToolKind kind,
         ToolHandler handler) {
  registry.registerTool({std::string(tool.name), std::string(tool.description),
                         std::move(inputSchema), kind, std::move(handler)});
}

}  // namespace

void registerTools(ToolRegistry& registry) {
  using enum ToolKind;
  const ConfigManager& settings = *registry.context().settings;
  add(registry, Texts::kConnect,
      schema({{"instance", text(Texts::kInstanceArg)},
              {"username", text(Texts::kUsernameArg)},
              {"password", text(Texts::kPasswordArg)}},
             json::array({"instance", "username", "password"})),
      readOnly, withSettings(settings, connectServiceNow));
  add(registry, Texts::kDisconnect, schema(json::object(), json::array()), readOnly,
      withSettings(settings, disconnectServiceNow));
  // Connecting and disconnecting stay within reach while the service is turned off.
  ToolRegistry::ServiceScope scope(registry, "servicenow");
  add(registry, Texts::kListMine,
      schema({{"state", text(Texts::kStateFilterArg)}, {"limit", integer(Texts::kListLimitArg)}},
             json::array()),
      readOnly, withSettings(settings, servicenowListMyIncidents));
  add(registry, Texts::kSearch,
      schema({{"query", text(Texts::kSearchQueryArg)}, {"limit", integer(Texts::kSearchLimitArg)}},
             json::array({"query"})),
      readOnly, withSettings(settings, servicenowSearchIncidents));
  add(registry, Texts::kGet, schema({{"id", text(Texts::kIdArg)}}, json::array({"id"})), readOnly,
      withSettings(settings, servicenowGetIncident));
  // Creating writes to the instance, so read-only mode holds it back like update and comment.
  add(registry, Texts::kCreate,
      schema({{"short_description", text(Texts::kShortDescriptionArg)},
              {"description", text(Texts::kDescriptionArg)},
              {"urgency", text(Texts::kCreateUrgencyArg)},
              {"category", text(Texts::kCategoryArg)}},
             json::array({"short_description"})),
      write, withSettings(settings, servicenowCreateIncident));
  add(registry, Texts::kUpdate,
      schema({{"sys_id", text(Texts::kSysIdArg)},
              {"state", text(Texts::kStateArg)},
              {"priority", text(Texts::kPriorityArg)},
              {"urgency", text(Texts::kUrgencyArg)},
              {"assigned_to", text(Texts::kAssignedToArg)},
              {"short_description", text(Texts::kUpdatedSummaryArg)},
              {"close_notes", text(Texts::kCloseNotesArg)}},
             json::array({"sys_id"})),
      write, withSettings(settings, snDoUpdateIncident));
  add(registry, Texts::kComment,
      schema({{"sys_id", text(Texts::kSysIdArg)},
              {"text", text(Texts::kTextArg)},
              {"type", text(Texts::kTypeArg)}},
             json::array({"sys_id", "text"})),
      write, withSettings(settings, servicenowAddComment));
  add(registry, Texts::kSearchKB,
      schema({{"query", text(Texts::kKBQueryArg)}, {"limit", integer(Texts::kKBLimitArg)}},
             json::array({"query"})),
      readOnly, withSettings(settings, servicenowSearchKB));
}

}  // namespace tvrn::ServiceNowTools
