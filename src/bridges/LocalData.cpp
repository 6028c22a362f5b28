#include "bridges/LocalData.h"

#include <functional>
#include <string>
#include <variant>

#include "bridges/CalendarService.h"
#include "bridges/ContactsService.h"
#include "bridges/RemindersService.h"
#include "bridges/ToDoService.h"

namespace tvrn::LocalData {
namespace {

using WithArgs = Reply (*)(PlatformStores&, const nlohmann::json&);
using WithoutArgs = Reply (*)(PlatformStores&);

struct Method {
  std::string_view name;
  std::variant<WithArgs, WithoutArgs> handler;
};

// Tested in this order; names match exactly.
const Method kMethods[] = {
    {"list_calendar_names", calendarListNames},
    {"list_calendar_events", calendarListEvents},
    {"create_calendar_event", calendarCreateEvent},
    {"update_calendar_event", calendarUpdateEvent},
    {"delete_calendar_event", calendarDeleteEvent},
    {"list_reminders", remindersList},
    {"create_reminder", remindersCreate},
    {"list_reminder_lists", remindersListLists},
    {"complete_reminder", remindersComplete},
    {"delete_reminder", remindersDelete},
    {"list_contacts", contactsList},
    {"search_contacts", contactsSearch},
    {"get_contact", contactsGet},
    {"todo_list_lists", todoListLists},
    {"todo_list_tasks", todoListTasks},
    {"todo_create_task", todoCreateTask},
    {"todo_complete_task", todoCompleteTask},
    {"get_tcc_status", getTCCStatus},
    {"probe_contacts_tcc", probeContactsTCC},
    {"probe_calendar_tcc", probeCalendarTCC},
    {"probe_reminders_tcc", probeRemindersTCC},
};

}  // namespace

Reply dispatch(PlatformStores& stores, std::string_view method, const nlohmann::json& args) {
  static const nlohmann::json kNoArgs = nlohmann::json::object();
  const nlohmann::json& given = args.is_object() ? args : kNoArgs;
  for (const auto& entry : kMethods) {
    if (entry.name != method) continue;
    if (const auto* handler = std::get_if<WithArgs>(&entry.handler)) {
      return (*handler)(stores, given);
    }
    return std::get<WithoutArgs>(entry.handler)(stores);
  }
  return error("unknown method: " + std::string(method));
}

Reply dispatch(PlatformStores& stores, std::string_view request) {
  const auto parsed = nlohmann::json::parse(request, nullptr, false);
  if (parsed.is_discarded() || !parsed.is_object()) return error("invalid request");
  const auto method = parsed.find("method");
  if (method == parsed.end() || !method->is_string()) return error("invalid request");
  const auto args = parsed.find("args");
  Reply reply = dispatch(stores, method->get_ref<const std::string&>(),
                         args != parsed.end() ? *args : nlohmann::json());
  // A line carries the object itself, as it always has.
  if (const auto printed = reply.find("printed"); printed != reply.end()) {
    auto result = nlohmann::json::parse(printed->get_ref<const std::string&>(), nullptr, false);
    reply.erase(printed);
    reply["result"] = std::move(result);
  }
  return reply;
}

}  // namespace tvrn::LocalData
