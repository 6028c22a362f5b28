// The reminders half of the personal-data service: listing reminders and reminder lists, and
// creating, completing and deleting reminders, behind the reminders permission gate.
#pragma once

#include <functional>
#include <vector>

#include "bridges/LocalDataReply.h"
#include "bridges/PlatformStores.h"
#include "pim/PimTypes.h"

namespace tvrn::LocalData {

// Runs `work` when reminders access is (or, after asking the user, becomes) granted; otherwise
// answers the permission failure without running it.
Reply withReminderAccess(const EventStore& events, const std::function<Reply()>& work);

// {"id", "title", "completed", "due_date" (UTC text, "" without one), "notes", "list"}.
nlohmann::json reminderToDict(const Reminder& reminder);

// Earliest due date first; undated reminders last; equal keys keep their order.
void sortByDueDate(std::vector<Reminder>& reminders);

// "list_reminders": {"reminders", "count"}, filtered by "completed" and "list_name".
Reply remindersList(PlatformStores& stores, const nlohmann::json& args);
// "list_reminder_lists": {"lists": [{"id", "name", "color"}], "count"}.
Reply remindersListLists(PlatformStores& stores);
// "create_reminder", "complete_reminder", "delete_reminder": a text preview without
// "confirm": true, the change with it.
Reply remindersCreate(PlatformStores& stores, const nlohmann::json& args);
Reply remindersComplete(PlatformStores& stores, const nlohmann::json& args);
Reply remindersDelete(PlatformStores& stores, const nlohmann::json& args);
// "probe_reminders_tcc": the status word, or "requested" after starting a request without
// waiting for it.
Reply probeRemindersTCC(PlatformStores& stores);

}  // namespace tvrn::LocalData
