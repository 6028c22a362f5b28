#include "tools/todo/ToDoTools.h"

#include <nlohmann/json.hpp>
#include <string>

#include "bridges/HelperProxy.h"
#include "core/Params.h"
#include "core/ToolSchema.h"
#include "tools/common/HelperTools.h"

namespace tvrn::ToDoTools {
namespace {

using HelperTools::confirmedForward;
using HelperTools::forwardTo;
using nlohmann::json;
using ToolSchema::property;
using ToolSchema::schema;

std::string createPreview(const Params::Arguments& arguments) {
  return "Preview — create task '" + Params::optional("title", arguments, "(no title)") + "' in '" +
         Params::optional("list", arguments, "default list") +
         "'. Call again with confirm: true to create.";
}

std::string completePreview(const Params::Arguments& arguments) {
  std::string label = Params::optional("title", arguments, "");
  if (label.empty()) label = Params::optional("task_id", arguments, "");
  if (label.empty()) label = "?";
  return "Preview — mark task '" + label + "' as complete. Call again with confirm: true to apply.";
}

ToolHandler todoListLists(HelperProxy& helper) { return forwardTo(helper, "todo_list_lists"); }
ToolHandler todoListTasks(HelperProxy& helper) { return forwardTo(helper, "todo_list_tasks"); }
ToolHandler todoCreateTask(HelperProxy& helper) {
  return confirmedForward(helper, "todo_create_task", createPreview);
}
ToolHandler todoCompleteTask(HelperProxy& helper) {
  return confirmedForward(helper, "todo_complete_task", completePreview);
}

}  // namespace

void registerTools(ToolRegistry& registry, HelperProxy& helper) {
  ToolRegistry::ServiceScope scope(registry, "reminders");
  registry.registerTool(
      {"todo_list_lists",
       "Lists Microsoft To Do task lists. Requires Microsoft account in Reminders sync (System "
       "Settings → Internet Accounts → Microsoft Exchange → enable Reminders).",
       schema(json::object(), json::array()), ToolKind::readOnly, todoListLists(helper)});
  registry.registerTool(
      {"todo_list_tasks",
       "Lists tasks from a Microsoft To Do list (or any Reminders list). Syncs via macOS "
       "Reminders.",
       schema(
           {{"list",
             property("string", "List name (from todo_list_lists). Leave empty to show all.")},
            {"include_completed", property("boolean", "Include completed tasks (default false)")},
            {"limit", property("integer", "Max tasks to return (default 50)")}},
           json::array()),
       ToolKind::readOnly, todoListTasks(helper)});
  registry.registerTool(
      {"todo_create_task",
       "Creates a task in Microsoft To Do (via Reminders sync). Task appears in To Do "
       "automatically once synced.",
       schema({{"title", property("string", "Task title")},
               {"list", property("string",
                                 "List name (from todo_list_lists). Defaults to first available "
                                 "list.")},
               {"due_date", property("string", "Due date (YYYY-MM-DD, optional)")},
               {"notes", property("string", "Task notes (optional)")},
               {"priority", property("integer", "Priority: 1=high, 5=medium, 9=low (optional)")},
               {"confirm", property("boolean", "Must be true to create")}},
              json::array({"title"})),
       ToolKind::write, todoCreateTask(helper)});
  registry.registerTool(
      {"todo_complete_task", "Marks a Microsoft To Do task as complete (via Reminders sync).",
       schema({{"task_id", property("string", "Task ID from todo_list_tasks")},
               {"title", property("string", "Task title (partial match, alternative to task_id)")},
               {"list", property("string", "List name to narrow search by title (optional)")},
               {"confirm", property("boolean", "Must be true to complete")}},
              json::array()),
       ToolKind::write, todoCompleteTask(helper)});
}

}  // namespace tvrn::ToDoTools
