// The Microsoft To Do tools: task lists and tasks as they sync into the reminders, answered by the
// To Do data service through the helper bridge. Creating and completing preview first.
#pragma once

#include "bridges/HelperProxy.h"
#include "core/ToolRegistry.h"

namespace tvrn::ToDoTools {

// Adds todo_list_lists, todo_list_tasks (read-only), todo_create_task and todo_complete_task
// (write), in that order.
void registerTools(ToolRegistry& registry, HelperProxy& helper);

}  // namespace tvrn::ToDoTools
