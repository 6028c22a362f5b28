#include "bridges/RemindersService.h"

#include <algorithm>
#include <chrono>

#include "bridges/LocalDataArgs.h"
#include "bridges/PlatformStores.h"
#include "pim/PrivacyGate.h"

namespace tvrn::LocalData {
namespace {

constexpr const char* kCannotComplete = "Cannot complete reminder: ";
constexpr const char* kCannotDelete = "Cannot delete reminder: ";

std::optional<PimTime> dueDate(const Reminder& reminder) {
  if (!reminder.dueDateComponents) return std::nullopt;
  return reminder.dueDateComponents->date();
}

std::string orText(const std::string& text, const std::string& fallback) {
  return text.empty() ? fallback : text;
}

// The list a new reminder goes into: the first the name picks, else the default list. A name
// that finds nothing is no error, but the default standing in for it is said.
CreateTarget newReminderTarget(const std::string& listName, const PimStore& store) {
  if (!listName.empty()) {
    const auto named = pickedByName(store.calendars(EntityType::reminder), listName, titleOf);
    if (!named.empty()) return {named.front(), {}};
  }
  return {store.defaultCalendarForNewReminders(),
          listName.empty() ? std::string() : "no list matches '" + listName + "'"};
}

// The preview's list: the one asked for as sent, "(default)" without one. Where the default will
// stand in for it, that is said; before the user allows access the store is not read (the
// platform's own store shows nothing then), so the default is named unless the list is found then.
std::string createPreview(const PlatformStores& stores, const std::string& title,
                          const nlohmann::json& args) {
  const auto listName = stringArg(args, "list_name");
  std::string list = listName.value_or("(default)");
  if (listName && !listName->empty()) {
    if (stores.events.authorizationStatus(EntityType::reminder) != AuthorizationStatus::granted) {
      list = uncheckedTarget("a list matches '" + *listName + "'");
    } else if (const auto target = newReminderTarget(*listName, stores.data);
               !target.unmatched.empty()) {
      list = shownTarget(target);
    }
  }
  return "Preview — Reminder to be created:\n  Title:    " + title +
         "\n  Due date: " + stringArg(args, "due_date").value_or("(none)") +
         "\n  Notes:    " + stringArg(args, "notes").value_or("(none)") + "\n  List:     " + list +
         "\n\nTo confirm, call again with confirm: true";
}

Reply createConfirmed(PlatformStores& stores, const std::string& title,
                      const nlohmann::json& args) {
  PimStore& store = stores.data;
  Reminder reminder;
  reminder.title = title;
  reminder.notes = stringArgOrEmpty(args, "notes");
  const std::string due = stringArgOrEmpty(args, "due_date");
  if (!due.empty()) {
    // A date that does not read must not quietly become a reminder without one.
    const auto date = parseISO8601(due);
    if (!date) return error(invalidDate("due_date", due));
    // A bare date names its day wherever the user is; read as midnight UTC it would fall on the
    // day before west of UTC.
    if (isBareDate(due)) {
      DateComponents day = dueDayOf(due, *date);
      day.hour = 0;
      day.minute = 0;
      reminder.dueDateComponents = day;
    } else {
      reminder.dueDateComponents = DateComponents::fromDate(*date, true);
    }
  }
  CreateTarget target = newReminderTarget(stringArgOrEmpty(args, "list_name"), store);
  reminder.listId = target.calendar ? target.calendar->id : std::string();
  auto saved = store.saveReminder(reminder);
  if (!saved) return error("Cannot create reminder: " + saved.error().message);
  if (target.unmatched.empty()) return okText("Reminder created: " + title);
  if (!target.calendar) target.calendar = store.calendar(saved.value().listId);
  return okText("Reminder created: " + title + " — list: " + shownTarget(target));
}

// What complete and delete share: the identifier check, the preview and the lookup.
// The preview reads "Preview — <verb> reminder '<id>'<after>. Call again with confirm: true";
// `failure` begins the reply when the reminders cannot be read.
Reply withReminder(PlatformStores& stores, const nlohmann::json& args, const char* verb,
                   const char* after, const char* failure,
                   const std::function<Reply(const Reminder&, const std::string&)>& change) {
  const std::string id = stringArgOrEmpty(args, "reminder_id");
  if (id.empty()) return error("reminder_id is required");
  if (!confirmed(args)) {
    return okText(std::string("Preview — ") + verb + " reminder '" + id + "'" + after +
                  ". Call again with confirm: true");
  }
  return withReminderAccess(stores.events, [&] {
    PimUnreadable unreadable;
    auto reminder = stores.data.reminder(id, &unreadable);
    if (unreadable) return error(failure + *unreadable);
    if (!reminder) return error("Reminder '" + id + "' not found");
    return change(*reminder, id);
  });
}

}  // namespace

Reply withReminderAccess(const EventStore& events, const std::function<Reply()>& work) {
  const AuthorizationStatus status = events.authorizationStatus(EntityType::reminder);
  if (status == AuthorizationStatus::restricted || status == AuthorizationStatus::denied) {
    return permissionError(calendarDeniedMsg("Reminders"));
  }
  if (status == AuthorizationStatus::granted) return work();
  const AccessAnswer answer = events.requestAccess(EntityType::reminder);
  if (answer.granted) return work();
  return permissionError(answer.error ? calendarDeniedMsg("Reminders")
                                      : remindersNotDeterminedMsg());
}

nlohmann::json reminderToDict(const Reminder& reminder) {
  const auto due = dueDate(reminder);
  return {{"id", reminder.id},
          {"title", reminder.title},
          {"completed", reminder.completed},
          {"due_date", due ? iso8601(*due) : std::string()},
          {"notes", reminder.notes},
          {"list", reminder.listTitle}};
}

void sortByDueDate(std::vector<Reminder>& reminders) {
  std::vector<std::pair<PimTime, Reminder>> keyed;
  keyed.reserve(reminders.size());
  for (auto& reminder : reminders) {
    keyed.emplace_back(dueDate(reminder).value_or(PimTime::max()), std::move(reminder));
  }
  std::stable_sort(keyed.begin(), keyed.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (size_t i = 0; i < keyed.size(); ++i) reminders[i] = std::move(keyed[i].second);
}

Reply remindersList(PlatformStores& stores, const nlohmann::json& args) {
  return withReminderAccess(stores.events, [&stores, &args] {
    const PimStore& store = stores.data;
    ReminderQuery query;
    if (auto completed = boolArg(args, "completed")) {
      query.filter = *completed ? ReminderFilter::completed : ReminderFilter::incomplete;
    }
    if (auto name = stringArg(args, "list_name")) {
      // A name that matches no list lists nothing, never every list.
      query.listIds.emplace();
      for (const auto& list : store.calendars(EntityType::reminder)) {
        if (caselessContains(list.title, *name)) query.listIds->push_back(list.id);
      }
    }
    std::vector<Reminder> reminders = store.reminders(query);
    sortByDueDate(reminders);
    BoundedRecords records;
    for (const auto& reminder : reminders) {
      if (!records.add(reminderToDict(reminder))) break;
    }
    const std::size_t count = records.size();
    nlohmann::json result{{"reminders", std::move(records).take()}, {"count", count}};
    if (count < reminders.size()) {
      result["truncated"] = true;
      result["note"] = cutNote(count, reminders.size(), false, "reminders",
                               "name a list (list_name) or ask for the completed or the "
                               "incomplete ones alone (completed)");
    }
    return ok(std::move(result));
  });
}

Reply remindersListLists(PlatformStores& stores) {
  return withReminderAccess(stores.events, [&stores] {
    const auto lists = stores.data.calendars(EntityType::reminder);
    nlohmann::json records = nlohmann::json::array();
    for (const auto& list : lists) {
      records.push_back({{"id", list.id}, {"name", list.title}, {"color", hexColor(list.color)}});
    }
    return ok({{"lists", records}, {"count", lists.size()}});
  });
}

Reply remindersCreate(PlatformStores& stores, const nlohmann::json& args) {
  const std::string title = stringArgOrEmpty(args, "title");
  if (title.empty()) return error("title is required");
  if (!confirmed(args)) return okText(createPreview(stores, title, args));
  return withReminderAccess(stores.events, [&] { return createConfirmed(stores, title, args); });
}

Reply remindersComplete(PlatformStores& stores, const nlohmann::json& args) {
  const auto complete = [&stores](const Reminder& found, const std::string& id) {
    Reminder reminder = found;
    reminder.completed = true;
    reminder.completionDate = std::chrono::system_clock::now();
    auto saved = stores.data.saveReminder(reminder);
    if (!saved) return error(kCannotComplete + saved.error().message);
    return okText("Reminder completed: " + orText(found.title, id));
  };
  return withReminder(stores, args, "mark", " complete", kCannotComplete, complete);
}

Reply remindersDelete(PlatformStores& stores, const nlohmann::json& args) {
  const auto remove = [&stores](const Reminder& found, const std::string& id) {
    auto removed = stores.data.removeReminder(id);
    if (!removed) return error(kCannotDelete + removed.error().message);
    return okText("Reminder deleted: " + orText(found.title, id));
  };
  return withReminder(stores, args, "delete", "", kCannotDelete, remove);
}

Reply probeRemindersTCC(PlatformStores& stores) {
  return probeAccess(stores.gate, "reminders",
                     stores.events.authorizationStatus(EntityType::reminder), tccStatusString,
                     PrivacyEntity::reminders);
}

}  // namespace tvrn::LocalData
