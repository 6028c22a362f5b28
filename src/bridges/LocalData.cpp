#include "bridges/LocalData.h"

#include <functional>
#include <string>
#include <variant>

#include "bridges/CalendarService.h"
#include "bridges/ContactsService.h"
#include "bridges/LocalDataArgs.h"
#include "bridges/RemindersService.h"
#include "bridges/ToDoService.h"

namespace tvrn::LocalData {
namespace {

using WithArgs = Reply (*)(PlatformStores&, const nlohmann::json&);
using WithoutArgs = Reply (*)(PlatformStores&);

struct Method {
  std::string_view name;
  std::variant<WithArgs, WithoutArgs> handler;
  // What a change method's arguments must be when given; the services read any other value as
  // absent, so one of the wrong type is refused before they see it.
  std::span<const TypedArg> changes = {};
  bool readsData = true;  // false for the permission methods, which answer without the store
};

// The answer of a method that reads the store once the server is stopping.
constexpr const char* kStopping =
    "The server is stopping and no longer reads the calendars, reminders and contacts; try again "
    "once it has started.";

constexpr ArgType kText = ArgType::string;
constexpr TypedArg kCreateEvent[] = {{"title", kText},    {"start_date", kText},
                                     {"end_date", kText}, {"notes", kText},
                                     {"location", kText}, {"calendar_id", kText},
                                     {"calendar", kText}, {"attendees", ArgType::stringList}};
constexpr TypedArg kUpdateEvent[] = {{"event_id", kText}, {"title", kText}, {"start_date", kText},
                                     {"end_date", kText}, {"notes", kText}, {"location", kText},
                                     {"span", kText}};
constexpr TypedArg kEventId[] = {{"event_id", kText}};
constexpr TypedArg kCreateReminder[] = {
    {"title", kText}, {"due_date", kText}, {"notes", kText}, {"list_name", kText}};
constexpr TypedArg kReminderId[] = {{"reminder_id", kText}};
constexpr TypedArg kCreateTask[] = {{"title", kText},
                                    {"list", kText},
                                    {"due_date", kText},
                                    {"notes", kText},
                                    {"priority", ArgType::integer}};
constexpr TypedArg kCompleteTask[] = {{"task_id", kText}, {"title", kText}, {"list", kText}};

// Tested in this order; names match exactly.
const Method kMethods[] = {
    {"list_calendar_names", calendarListNames},
    {"list_calendar_events", calendarListEvents},
    {"create_calendar_event", calendarCreateEvent, kCreateEvent},
    {"update_calendar_event", calendarUpdateEvent, kUpdateEvent},
    {"delete_calendar_event", calendarDeleteEvent, kEventId},
    {"list_reminders", remindersList},
    {"create_reminder", remindersCreate, kCreateReminder},
    {"list_reminder_lists", remindersListLists},
    {"complete_reminder", remindersComplete, kReminderId},
    {"delete_reminder", remindersDelete, kReminderId},
    {"list_contacts", contactsList},
    {"search_contacts", contactsSearch},
    {"get_contact", contactsGet},
    {"todo_list_lists", todoListLists},
    {"todo_list_tasks", todoListTasks},
    {"todo_create_task", todoCreateTask, kCreateTask},
    {"todo_complete_task", todoCompleteTask, kCompleteTask},
    {"get_tcc_status", getTCCStatus, {}, false},
    {"probe_contacts_tcc", probeContactsTCC, {}, false},
    {"probe_calendar_tcc", probeCalendarTCC, {}, false},
    {"probe_reminders_tcc", probeRemindersTCC, {}, false},
    {"calendar_for_new_event", calendarForNewEvent, kCreateEvent},
};

const Method* methodNamed(std::string_view name) {
  for (const auto& entry : kMethods) {
    if (entry.name == name) return &entry;
  }
  return nullptr;
}

std::optional<ToolError> refusal(const Method& method, const nlohmann::json& args) {
  auto mistyped = mistypedArg(args, method.changes);
  if (!mistyped) return std::nullopt;
  return ToolError::invalidParam(std::move(mistyped->key), std::move(mistyped->expected));
}

}  // namespace

std::optional<ToolError> refusedArgument(std::string_view method, const nlohmann::json& args) {
  const Method* entry = methodNamed(method);
  return entry ? refusal(*entry, args) : std::nullopt;
}

Reply dispatch(PlatformStores& stores, std::string_view method, const nlohmann::json& args) {
  static const nlohmann::json kNoArgs = nlohmann::json::object();
  const nlohmann::json& given = args.is_object() ? args : kNoArgs;
  const Method* entry = methodNamed(method);
  if (entry == nullptr) return error("unknown method: " + std::string(method));
  if (auto refused = refusal(*entry, given)) return error(refused->description());
  // What the store answers then may lack what it had not read yet: no answer is better.
  if (entry->readsData && stores.data.stopped()) return error(kStopping);
  if (const auto* handler = std::get_if<WithArgs>(&entry->handler)) {
    return (*handler)(stores, given);
  }
  return std::get<WithoutArgs>(entry->handler)(stores);
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
