#include "bridges/ToDoService.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <string>
#include <vector>

#include "base/Utf8.h"
#include "bridges/LocalDataArgs.h"
#include "bridges/PlatformStores.h"
#include "bridges/RemindersService.h"
#include "core/DateFormat.h"
#include "core/JSONText.h"

namespace tvrn::LocalData {
namespace {

using nlohmann::json;

constexpr std::size_t kTaskLimit = 50;

constexpr int kDueHour = 9;
// A preview shows only the opening of long notes.
constexpr std::size_t kNotesPreviewCharacters = 50;

constexpr std::string_view kAccessDenied = "Reminders access denied.";
constexpr std::string_view kNoListsSetUp =
    "No task lists found. To use Microsoft To Do:\n"
    "1. Open System Settings → Internet Accounts\n"
    "2. Add your Microsoft account (Microsoft Exchange or Outlook.com)\n"
    "3. Enable Reminders for that account\n"
    "4. Open Microsoft To Do — your lists will sync automatically.";
constexpr std::string_view kListsNote =
    "Lists from Microsoft To Do appear once your Microsoft account is connected in System "
    "Settings → Internet Accounts.";
constexpr std::string_view kNoListsCreate =
    "No Reminders lists found. Connect your Microsoft account in System Settings → Internet "
    "Accounts.";
constexpr std::string_view kSyncs = " It will sync to Microsoft To Do automatically.";
constexpr const char* kCannotComplete = "Failed to complete task: ";

// A negative "limit" keeps nothing rather than everything.
std::size_t limitOf(const json& args, std::size_t fallback) {
  const auto limit = intArg(args, "limit");
  if (!limit) return fallback;
  return *limit <= 0 ? 0 : static_cast<std::size_t>(*limit);
}

// Built member by member: an initializer list makes each member a two-element array first and
// takes it apart again, several times the cost of the record on a call that is little else.
json listRecord(const Calendar& list) {
  const bool titled = list.source && !list.source->title.empty();
  json record = json::object();
  record["id"] = list.id;
  record["name"] = list.title;
  record["account"] = titled ? list.source->title : std::string("local");
  record["type"] = sourceTypeName(list.source ? std::optional(list.source->type) : std::nullopt);
  return record;
}

// About what one list takes printed, its identifier a folder's path.
constexpr std::size_t kPrintedBytes = 256;

// The listing's result as the tree of listRecord's would print, written straight from the lists;
// nothing when a text is not UTF-8, which the tree's printing answers in its own way.
std::optional<std::string> printedLists(const std::vector<Calendar>& lists) {
  JSONText::Writer out(2, kPrintedBytes * (lists.size() + 1));
  out.beginObject();
  if (!out.key("count")) return std::nullopt;
  out.integer(static_cast<std::int64_t>(lists.size()));
  if (!out.key("lists")) return std::nullopt;
  out.beginArray();
  for (const auto& list : lists) {
    const bool titled = list.source && !list.source->title.empty();
    out.beginObject();
    if (!out.key("account") || !out.string(titled ? list.source->title : "local") ||
        !out.key("id") || !out.string(list.id) || !out.key("name") || !out.string(list.title) ||
        !out.key("type") ||
        !out.string(sourceTypeName(list.source ? std::optional(list.source->type) : std::nullopt))) {
      return std::nullopt;
    }
    out.endObject();
  }
  out.endArray();
  if (!out.key("note") || !out.string(kListsNote)) return std::nullopt;
  out.endObject();
  return std::move(out).take();
}

std::optional<PimTime> dueDateOf(const Reminder& reminder) {
  return reminder.dueDateComponents ? reminder.dueDateComponents->date() : std::nullopt;
}

json taskRecord(const Reminder& reminder) {
  json record = {{"id", reminder.id},
                 {"title", reminder.title},
                 {"completed", reminder.completed},
                 {"list", reminder.listTitle}};
  if (const auto due = dueDateOf(reminder)) record["due"] = iso8601Date(*due);
  if (!reminder.notes.empty()) record["notes"] = reminder.notes;
  if (reminder.priority >= 1) record["priority"] = reminder.priority;
  return record;
}

std::vector<std::string> idsOf(const std::vector<Calendar>& lists) {
  std::vector<std::string> ids;
  for (const auto& list : lists) ids.push_back(list.id);
  return ids;
}

std::vector<Calendar> listsNamed(const std::vector<Calendar>& lists, const std::string& name) {
  std::vector<Calendar> kept;
  std::copy_if(lists.begin(), lists.end(), std::back_inserter(kept),
               [&](const Calendar& list) { return caselessContains(list.title, name); });
  return kept;
}

std::string joinedTitles(const std::vector<Calendar>& lists) {
  std::string text;
  for (const auto& list : lists) {
    if (!text.empty()) text += ", ";
    text += list.title;
  }
  return text;
}

std::vector<Reminder> remindersIn(const PimStore& store, const std::vector<Calendar>& lists) {
  ReminderQuery query;
  query.listIds = idsOf(lists);
  return store.reminders(query);
}

std::string createPreview(const std::string& title, const std::string& list,
                          const std::string& dueDate, const std::string& notes) {
  std::string text = "Preview — create task '" + title + "'";
  if (!list.empty()) text += " in '" + list + "'";
  if (!dueDate.empty()) text += ", due " + dueDate;
  if (!notes.empty()) text += ", notes: " + Utf8::firstCharacters(notes, kNotesPreviewCharacters);
  return text + ". Call again with confirm: true to create.";
}

// The day the caller means, due at nine in the morning local time.
DateComponents dueComponents(const std::string& text, PimTime date) {
  DateComponents components = dueDayOf(text, date);
  components.hour = kDueHour;
  return components;
}

std::optional<Calendar> targetList(const PimStore& store, const std::vector<Calendar>& lists,
                                   const std::string& name) {
  if (!name.empty()) {
    const auto named = pickedByName(lists, name, titleOf);
    if (named.empty()) return std::nullopt;
    return named.front();
  }
  if (auto fallback = store.defaultCalendarForNewReminders()) return fallback;
  return lists.front();
}

}  // namespace

Reply withToDoReminderAccess(const EventStore& events, const std::function<Reply()>& work) {
  // Asked on every call, without looking at the recorded answer first.
  if (!events.requestAccess(EntityType::reminder).granted) {
    return permissionError(std::string(kAccessDenied));
  }
  return work();
}

Reply todoListLists(PlatformStores& stores) {
  return withToDoReminderAccess(stores.events, [&stores] {
    const auto lists = stores.data.calendars(EntityType::reminder);
    if (lists.empty()) {
      const auto trouble = stores.settingsTrouble();
      return okText(trouble ? noneWhileSettingsUnreadable("task lists", "list", *trouble)
                            : std::string(kNoListsSetUp));
    }
    if (auto printed = printedLists(lists)) return okPrinted(*std::move(printed));
    json result = json::object();
    json& records = result["lists"] = json::array();
    for (const auto& list : lists) records.push_back(listRecord(list));
    result["count"] = records.size();
    result["note"] = kListsNote;
    return ok(std::move(result));
  });
}

Reply todoListTasks(PlatformStores& stores, const json& args) {
  const std::string listName = stringArgOrEmpty(args, "list");
  const bool includeCompleted = boolArg(args, "include_completed").value_or(false);
  const std::size_t limit = limitOf(args, kTaskLimit);
  return withToDoReminderAccess(stores.events, [&] {
    const auto all = stores.data.calendars(EntityType::reminder);
    const auto chosen = listName.empty() ? all : listsNamed(all, listName);
    if (chosen.empty() && !listName.empty()) {
      return error("List '" + listName + "' not found. Available: " + joinedTitles(all));
    }
    auto tasks = remindersIn(stores.data, chosen);
    if (!includeCompleted) std::erase_if(tasks, [](const Reminder& r) { return r.completed; });
    sortByDueDate(tasks);
    const std::size_t matched = tasks.size();
    if (tasks.size() > limit) tasks.resize(limit);
    BoundedRecords records;
    for (const auto& task : tasks) {
      if (!records.add(taskRecord(task))) break;
    }
    const auto count = records.size();
    json result{{"tasks", std::move(records).take()}, {"count", count}};
    if (count < tasks.size()) {
      result["truncated"] = true;
      result["note"] = cutNote(count, matched, false, "tasks", "name a list (list)");
    } else if (matched > count) {
      result["truncated"] = true;
      result["note"] = leftOutNote(count, matched, false, "tasks",
                                   "name a list (list) or ask for a higher limit (limit)");
    }
    return ok(std::move(result));
  });
}

Reply todoCreateTask(PlatformStores& stores, const json& args) {
  const std::string title = stringArgOrEmpty(args, "title");
  if (title.empty()) return error("title is required");
  const std::string listName = stringArgOrEmpty(args, "list");
  const std::string dueText = stringArgOrEmpty(args, "due_date");
  const std::string notes = stringArgOrEmpty(args, "notes");
  if (!confirmed(args)) return okText(createPreview(title, listName, dueText, notes));

  // A date that was asked for but cannot be read must not quietly become "no due date".
  std::optional<PimTime> due;
  if (!dueText.empty()) {
    due = parseISO8601(dueText);
    if (!due) return error(invalidDate("due_date", dueText));
  }
  const int priority = static_cast<int>(std::clamp<std::int64_t>(
      intArg(args, "priority").value_or(0), 0, std::numeric_limits<int>::max()));

  return withToDoReminderAccess(stores.events, [&] {
    const auto lists = stores.data.calendars(EntityType::reminder);
    if (lists.empty()) return error(std::string(kNoListsCreate));
    const auto target = targetList(stores.data, lists, listName);
    if (!target) {
      return error("List '" + listName +
                   "' not found. Run todo_list_lists to see available lists.");
    }
    Reminder task;
    task.title = title;
    task.listId = target->id;
    task.notes = notes;
    task.priority = priority;
    if (due) task.dueDateComponents = dueComponents(dueText, *due);
    const auto saved = stores.data.saveReminder(task);
    if (!saved.ok()) return error("Failed to create task: " + saved.error().message);
    return okText("Task '" + title + "' created in '" + target->title + "'." + std::string(kSyncs));
  });
}

Reply todoCompleteTask(PlatformStores& stores, const json& args) {
  const std::string taskId = stringArgOrEmpty(args, "task_id");
  const std::string title = stringArgOrEmpty(args, "title");
  if (taskId.empty() && title.empty()) return error("task_id or title is required");
  if (!confirmed(args)) {
    const std::string label = taskId.empty() ? "'" + title + "'" : taskId;
    return okText("Preview — complete task " + label + ". Call again with confirm: true.");
  }
  const std::string listName = stringArgOrEmpty(args, "list");
  return withToDoReminderAccess(stores.events, [&] {
    const auto all = stores.data.calendars(EntityType::reminder);
    const auto tasks =
        remindersIn(stores.data, listName.empty() ? all : pickedByName(all, listName, titleOf));
    const auto found = std::find_if(tasks.begin(), tasks.end(), [&](const Reminder& task) {
      if (!taskId.empty()) return task.id == taskId;
      return !task.completed && caselessContains(task.title, title);
    });
    if (found == tasks.end()) {
      // An identifier that fits several tasks (a UID two lists share) names them, as completing
      // a reminder does; none is guessed at.
      PimUnreadable unreadable;
      if (!taskId.empty() && !stores.data.reminder(taskId, &unreadable) && unreadable) {
        return error(kCannotComplete + *unreadable);
      }
      return error("Task not found. Run todo_list_tasks to see available tasks.");
    }
    Reminder task = *found;
    task.completed = true;
    task.completionDate = std::chrono::system_clock::now();
    const auto saved = stores.data.saveReminder(task);
    if (!saved.ok()) return error(kCannotComplete + saved.error().message);
    return okText("Task '" + task.title + "' marked as complete." + std::string(kSyncs));
  });
}

}  // namespace tvrn::LocalData
