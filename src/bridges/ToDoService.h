// Microsoft To Do lists and tasks as they reach this machine: every reminder list is a task list
// and every reminder a task, once the user's Microsoft account syncs its lists into the reminders.
#pragma once

#include <functional>
#include <nlohmann/json.hpp>

#include "bridges/LocalDataReply.h"
#include "bridges/PlatformStores.h"

namespace tvrn::LocalData {

// "todo_list_lists": the lists with their accounts, or the set-up text when there are none.
Reply todoListLists(PlatformStores& stores);
// "todo_list_tasks": {"list"?: text, "include_completed"?: bool (false), "limit"?: int (50)}.
Reply todoListTasks(PlatformStores& stores, const nlohmann::json& args);
// "todo_create_task": {"title": text, "list"?, "due_date"?, "notes"?: text, "priority"?: int,
// "confirm"?: bool}; a preview unless "confirm" is true.
Reply todoCreateTask(PlatformStores& stores, const nlohmann::json& args);
// "todo_complete_task": {"task_id"? or "title"?: text, "list"?: text, "confirm"?: bool}; a preview
// unless "confirm" is true.
Reply todoCompleteTask(PlatformStores& stores, const nlohmann::json& args);

// Runs `work` on this thread once the user allows access to reminders, asking on every call;
// otherwise answers "Reminders access denied." without running it.
Reply withToDoReminderAccess(const EventStore& events, const std::function<Reply()>& work);

}  // namespace tvrn::LocalData
